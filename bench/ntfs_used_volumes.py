#!/usr/bin/env python3
"""The NTFS quick scan on volumes as they look after years of use (the committed
fixtures of tests/fixtures/ntfs_fragmented and ntfs_compressed), against The Sleuth Kit:

- time: `kestrune scan` (quick) against `fls -r -d`, best of three runs each, image in
  the page cache;
- fidelity: the deleted files each tool gives back byte-exact (`kestrune recover`
  against `tsk_recover`), compared with what the fixture scripts wrote.

    bench/ntfs_used_volumes.py BUILD_FOLDER [WORK_FOLDER]
"""
import gzip
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "tests", "fixtures")


def fill_content(i):
    head, tail = b"fill/f%05d.txt\n" % i, b"end of fill/f%05d.txt\n" % i
    return head + bytes(4096 - len(head) - len(tail)) + tail


def expected_files(kind, name):
    """name -> sha256 of every deleted file the fixture script wrote."""
    manifest = json.load(open(os.path.join(FIXTURES, kind, name + ".json")))
    if kind == "ntfs_fragmented":
        files = {"f%05d.txt" % i: hashlib.sha256(fill_content(i)).hexdigest()
                 for i in range(1, manifest["files"], 2)}
        files["big.bin"] = manifest["big"]["sha256"]
        return files
    return {f["name"]: f["sha256"] for f in manifest["files"]}


def byte_exact(folder, expected):
    exact = 0
    for root, _, names in os.walk(folder):
        for n in names:
            if n in expected:
                with open(os.path.join(root, n), "rb") as f:
                    exact += hashlib.sha256(f.read()).hexdigest() == expected[n]
    return exact


def best_of(command, runs=3, env=None):
    best = None
    for _ in range(runs):
        start = time.monotonic()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, env=env)
        took = time.monotonic() - start
        best = took if best is None else min(best, took)
    return best


def main():
    build = os.path.abspath(sys.argv[1])
    work = sys.argv[2] if len(sys.argv) > 2 else "/tmp/kestrune-bench/used-ntfs"
    kestrune = os.path.join(build, "bin", "kestrune")
    os.makedirs(work, exist_ok=True)
    env = dict(os.environ, KESTRUNE_DATA_HOME=os.path.join(work, "data"))
    print("| image | MFT runs | deleted files | kestrune quick scan | fls -r -d | byte-exact: kestrune | tsk_recover |")
    print("|---|---|---|---|---|---|---|")
    for kind, name in [("ntfs_fragmented", "few_runs"), ("ntfs_fragmented", "many_runs"),
                       ("ntfs_fragmented", "attribute_list"), ("ntfs_compressed", "deleted")]:
        image = os.path.join(work, name + ".img")
        with gzip.open(os.path.join(FIXTURES, kind, name + ".img.gz")) as src, open(image, "wb") as dst:
            shutil.copyfileobj(src, dst)
        manifest = json.load(open(os.path.join(FIXTURES, kind, name + ".json")))
        expected = expected_files(kind, name)
        ours = best_of([kestrune, "scan", "--mode", "quick", image], env=env)
        theirs = best_of(["fls", "-r", "-d", image])
        out_ours, out_theirs = os.path.join(work, "ours"), os.path.join(work, "theirs")
        for folder in (out_ours, out_theirs):
            shutil.rmtree(folder, ignore_errors=True)
        subprocess.run([kestrune, "recover", "--mode", "quick", "--types", "photo,audio,video,document,archive,other",
                        "--to", out_ours, image], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        subprocess.run(["tsk_recover", image, out_theirs], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print("| %s/%s | %s | %d | %.3f s | %.3f s | %d | %d |" % (
            kind, name, manifest.get("mft_runs_listed_by_ntfsinfo", "-"), len(expected), ours, theirs,
            byte_exact(out_ours, expected), byte_exact(out_theirs, expected)))


if __name__ == "__main__":
    main()
