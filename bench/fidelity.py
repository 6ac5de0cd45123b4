#!/usr/bin/env python3
"""How many files each tool gives back byte-exact, on images made by real tools whose
ground truth is known, in the same run: kestrune, and where installed The Sleuth Kit
(tsk_recover), PhotoRec and foremost. One table row per image and tool.

    bench/fidelity.py BUILD_FOLDER [WORK_FOLDER]

The images are the committed test fixtures (mkfs.fat + mtools, mkntfs + ntfs-3g, with
the manifests their scripts wrote) and a carving area of the committed real files laid
between seeded random filler.
"""
import gzip
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "tests", "fixtures")
WORK_REPORTS = "/tmp"


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def run_measured(command, env=None, cwd=None):
    """Seconds and peak resident MiB of one command, measured by GNU time so that the
    figure is the command's own and not this interpreter's."""
    report = os.path.join(WORK_REPORTS, "time.txt")
    start = time.monotonic()
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=env, cwd=cwd)
    seconds = time.monotonic() - start
    with open(report) as f:
        return seconds, int(f.read().split()[-1]) / 1024


def fixture_image(work, relative, manifest, key):
    image = os.path.join(work, os.path.basename(relative)[:-3])
    with gzip.open(os.path.join(FIXTURES, relative)) as src, open(image, "wb") as out:
        shutil.copyfileobj(src, out)
    with open(os.path.join(FIXTURES, manifest)) as f:
        entries = json.load(f)[key]
    # Files overwritten since their deletion cannot come back whole from any tool.
    truth = [e["sha256"] for e in entries if e.get("note", "") != "overwritten"]
    return image, truth


def carve_area(work):
    folder = os.path.join(FIXTURES, "carve")
    files = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        files.append(gzip.decompress(data) if name.endswith(".gz") else data)
    r = random.Random(20261207)
    image = os.path.join(work, "carve-area.img")
    with open(image, "wb") as out:
        for data in files:
            out.write(r.randbytes(64 * 1024))
            out.write(data + bytes(-len(data) % 512))
        out.write(bytes(64 * 1024))
    return image, [hashlib.sha256(d).hexdigest() for d in files]


def outputs(folder):
    """The recovered files a tool wrote, without its own reports."""
    reports = {"report.xml", "audit.txt", "photorec.log"}
    return [os.path.join(root, n) for root, _, names in os.walk(folder) for n in names if n not in reports]


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    work = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else "/tmp/kestrune-bench/fidelity")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    global WORK_REPORTS
    WORK_REPORTS = work
    kestrune = os.path.join(build, "bin", "kestrune")
    images = [
        ("FAT12, deleted files", "quick") + fixture_image(work, "fat/fat12.img.gz", "fat/fat12.json", "deleted"),
        ("FAT16, deleted files", "quick") + fixture_image(work, "fat/fat16.img.gz", "fat/fat16.json", "deleted"),
        ("FAT32, deleted files", "quick") + fixture_image(work, "fat/fat32.img.gz", "fat/fat32.json", "deleted"),
        ("FAT16, 20-entry long names", "quick") + fixture_image(work, "fat/long_names.img.gz", "fat/long_names.json", "files"),
        ("camera card, DCIM deleted", "quick") + fixture_image(work, "fat/camera.img.gz", "fat/camera.json", "photos"),
        ("camera card, formatted mode", "formatted") + fixture_image(work, "fat/camera.img.gz", "fat/camera.json", "photos"),
        ("phone, 4 folders deleted", "quick") + fixture_image(work, "fat/phone.img.gz", "fat/phone.json", "photos"),
        ("FAT16 card, phone names", "quick") + fixture_image(work, "fat/camera16.img.gz", "fat/camera16.json", "photos"),
        ("NTFS, deleted files", "quick") + fixture_image(work, "ntfs/deleted.img.gz", "ntfs/deleted.json", "deleted"),
        ("FAT32 reformatted", "formatted") + fixture_image(work, "formatted/fat.img.gz", "formatted/fat.json", "files"),
        ("NTFS reformatted", "formatted") + fixture_image(work, "formatted/ntfs.img.gz", "formatted/ntfs.json", "files"),
        ("carving area, 48 real files", "deep") + carve_area(work),
    ]
    print(f"{'image':<28} {'tool':<22} {'byte-exact':>10} {'output':>7} {'seconds':>8} {'MB/s':>8} "
          f"{'vs cat':>7} {'peak MiB':>9}")
    for label, mode, image, truth in images:
        megabytes = os.path.getsize(image) / 1e6
        cat_seconds, _ = run_measured(["sh", "-c", f"cat '{image}' > /dev/null"])
        tools = [(f"kestrune {mode}", lambda out: [kestrune, "recover", "--mode", mode, "--restart", "--to", out, image])]
        if shutil.which("tsk_recover") and mode == "quick":
            tools.append(("tsk_recover", lambda out: ["tsk_recover", image, out]))
        if shutil.which("photorec"):
            tools.append(("photorec", lambda out: ["photorec", "/log", "/d", os.path.join(out, "recup"),
                                                   "/cmd", image, "search"]))
        if shutil.which("foremost"):
            tools.append(("foremost", lambda out: ["foremost", "-q", "-o", os.path.join(out, "f"), image]))
        for name, command in tools:
            out = os.path.join(work, "out", label.replace(" ", "_").replace(",", ""), name.split()[0])
            os.makedirs(out, exist_ok=True)
            env = dict(os.environ, KESTRUNE_DATA_HOME=os.path.join(work, "data"))
            seconds, peak = run_measured(command(out), env, cwd=out)
            files = outputs(out)
            hashes = {sha256_of(p) for p in files}
            exact = sum(1 for h in truth if h in hashes)
            print(f"{label:<28} {name:<22} {exact:>4} / {len(truth):<3} {len(files):>7} {seconds:>8.2f} "
                  f"{megabytes / seconds:>8.0f} {cat_seconds / seconds:>7.2f} {peak:>9.0f}")


if __name__ == "__main__":
    main()
