#!/usr/bin/env python3
"""Carving as a used disk's free space asks for it: files of every type the deep scan
knows, written by real programs (bench/make_carving_corpus.sh), laid at sector
boundaries between pseudo-random old data and a few zero runs, several copies over.
Carved in the same run by kestrune's deep scan, PhotoRec (every file type enabled) and
foremost (every built-in type); scores the files each gives back byte for byte, per
type, and the time each takes against reading the image with cat.

    bench/carve_fidelity.py BUILD_FOLDER [WORK_FOLDER] [--copies N]

A file counts as given back once per copy only: a tool that writes one copy of a file
found four times scores one.
"""
import collections
import hashlib
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SECTOR = 512
# Extensions of the same type of the deep scan's table, scored together.
SAME_TYPE = {"webm": "mkv", "vob": "mpg", "wma": "wmv", "mts": "m2ts"}


def type_of(name):
    extension = os.path.splitext(name)[1][1:].lower()
    return SAME_TYPE.get(extension, extension)


def build_image(corpus, image, copies):
    """Truth: (type, sha256) once per file laid down."""
    rnd = random.Random(20261207)
    names = sorted(os.listdir(corpus))
    truth = []
    with open(image, "wb") as out:
        for _ in range(copies):
            rnd.shuffle(names)
            for i, name in enumerate(names):
                with open(os.path.join(corpus, name), "rb") as f:
                    data = f.read()
                gap = SECTOR * rnd.randint(1, 64)
                # Old data mostly; now and then a run of zeros, as a quick-formatted
                # or trimmed area leaves.
                out.write(bytes(gap) if i % 7 == 3 else rnd.randbytes(gap))
                out.write(data)
                out.write(rnd.randbytes(-len(data) % SECTOR))
                truth.append((type_of(name), hashlib.sha256(data).hexdigest()))
        out.write(rnd.randbytes(64 * SECTOR))
    return truth


def timed(command, cwd=None, env=None):
    start = time.monotonic()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                   cwd=cwd, env=env, check=False)
    return time.monotonic() - start


def hashes_under(folder):
    found = collections.Counter()
    reports = {"report.xml", "audit.txt", "photorec.log"}
    for root, _, names in os.walk(folder):
        for n in names:
            if n in reports:
                continue
            digest = hashlib.sha256()
            with open(os.path.join(root, n), "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    digest.update(block)
            found[digest.hexdigest()] += 1
    return found


def exact_per_type(truth, found):
    """Per type: (files given back whole, files laid down)."""
    left = collections.Counter(found)
    scores = collections.defaultdict(lambda: [0, 0])
    for kind, digest in truth:
        scores[kind][1] += 1
        if left[digest] > 0:
            left[digest] -= 1
            scores[kind][0] += 1
    return scores


def main():
    args = [a for a in sys.argv[1:]]
    copies = 4
    if "--copies" in args:
        at = args.index("--copies")
        copies = int(args[at + 1])
        del args[at:at + 2]
    build = os.path.abspath(args[0] if args else "build")
    work = os.path.abspath(args[1] if len(args) > 1 else "/tmp/kestrune-bench/carve-fidelity")
    corpus = os.path.join(work, "corpus")
    if not os.path.isdir(corpus):
        subprocess.run([os.path.join(HERE, "make_carving_corpus.sh"), corpus], check=True, stdout=subprocess.DEVNULL)
    for stale in ("out", "data", "image.img"):
        path = os.path.join(work, stale)
        shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else None
    image = os.path.join(work, "image.img")
    truth = build_image(corpus, image, copies)
    megabytes = os.path.getsize(image) / 1e6
    kestrune = os.path.join(build, "bin", "kestrune")
    env = dict(os.environ, KESTRUNE_DATA_HOME=os.path.join(work, "data"))

    timed(["cat", image])  # warms the page cache for every tool alike
    seconds = {"cat": min(timed(["sh", "-c", f"cat '{image}' > /dev/null"]) for _ in range(3))}
    # The deep pass alone, best of three as for cat; the runs below also write files.
    seconds["kestrune scan"] = min(timed([kestrune, "scan", "--mode", "deep", "--restart", image], env=env)
                                   for _ in range(3))
    tools = {"kestrune": lambda out: [kestrune, "recover", "--mode", "deep", "--restart", "--to", out, image]}
    if shutil.which("photorec"):
        tools["photorec"] = lambda out: ["photorec", "/log", "/d", os.path.join(out, "recup"), "/cmd", image,
                                         "partition_none,fileopt,everything,enable,search"]
    if shutil.which("foremost"):
        tools["foremost"] = lambda out: ["foremost", "-q", "-t", "all", "-o", os.path.join(out, "f"), image]
    scores, written = {}, {}
    for name, command in tools.items():
        out = os.path.join(work, "out", name)
        os.makedirs(out)
        seconds[name] = timed(command(out), cwd=out, env=env)
        found = hashes_under(out)
        written[name] = sum(found.values())
        scores[name] = exact_per_type(truth, found)

    names = list(tools)
    print(f"image: {megabytes:.0f} MB, {len(truth)} files ({copies} copies of {len(truth) // copies})")
    print(f"{'type':<6} {'files':>5} " + " ".join(f"{n:>9}" for n in names))
    totals = collections.Counter()
    behind = []
    for kind in sorted(scores[names[0]]):
        laid = scores[names[0]][kind][1]
        row = [scores[n][kind][0] for n in names]
        for n, got in zip(names, row):
            totals[n] += got
        if "photorec" in scores and row[0] < scores["photorec"][kind][0]:
            behind.append(kind)
        print(f"{kind:<6} {laid:>5} " + " ".join(f"{got:>9}" for got in row))
    print(f"{'all':<6} {len(truth):>5} " + " ".join(f"{totals[n]:>9}" for n in names))
    print(f"{'%':<6} {'':>5} " + " ".join(f"{100 * totals[n] / len(truth):>8.1f}%" for n in names))
    print("files written: " + ", ".join(f"{n} {written[n]}" for n in names))
    if behind:
        print("types where kestrune gives back fewer than photorec: " + " ".join(behind))
    print(f"raw read (cat): {megabytes / seconds['cat']:.0f} MB/s")
    for name in ["kestrune scan"] + names:
        print(f"{name:<14} {seconds[name]:7.2f} s  {seconds['cat'] / seconds[name]:5.2f} x raw read", end="")
        if "photorec" in seconds and name != "photorec":
            print(f"  {seconds['photorec'] / seconds[name]:5.2f} x photorec", end="")
        print()


if __name__ == "__main__":
    main()
