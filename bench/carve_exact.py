#!/usr/bin/env python3
"""Byte-exact carving per type: the structure-walk fixtures (and a few older ones) laid
on sector boundaries between seeded pseudo-random filler, carved by the deep scan of a
kestrune binary and, when installed, by PhotoRec; counts the files given back whole.
--video adds the video and animation fixtures (tests/fixtures/carve_video); --video-only
lays those alone.

    bench/carve_exact.py KESTRUNE_BINARY [--photorec] [--video | --video-only] [WORK_FOLDER]
"""
import hashlib
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "tests", "fixtures")
OLDER = ["photo.jpg", "thumb.jpg", "letter.docx", "sheet.xlsx", "slides.pptx", "files.zip", "files.7z",
         "letter.pdf", "archive.gz", "data.db", "image.tif", "image.png", "anim.gif", "image.bmp"]


def fixtures_in(folder):
    return [os.path.join(FIXTURES, folder, n) for n in sorted(os.listdir(os.path.join(FIXTURES, folder)))]


def build_image(path, pictures=True, video=False, copies=4):
    rnd = random.Random(2026)
    files = []
    if pictures:
        files += fixtures_in("carve_structure")
        files += [os.path.join(FIXTURES, "carve", n) for n in OLDER]
    if video:
        files += fixtures_in("carve_video")
    truth = []
    with open(path, "wb") as out:
        for _ in range(copies):
            for f in files:
                data = open(f, "rb").read()
                out.write(rnd.randbytes(512 * rnd.randint(1, 16)))
                out.write(data)
                out.write(rnd.randbytes((512 - len(data) % 512) % 512))
                truth.append((os.path.splitext(f)[1][1:], hashlib.sha256(data).hexdigest()))
        out.write(rnd.randbytes(512 * 8))
    return truth


def hashes_under(folder):
    found = set()
    for root, _, names in os.walk(folder):
        for n in names:
            with open(os.path.join(root, n), "rb") as f:
                found.add(hashlib.sha256(f.read()).hexdigest())
    return found


def score(name, truth, found, seconds):
    per_type = {}
    for ext, digest in truth:
        got, total = per_type.get(ext, (0, 0))
        per_type[ext] = (got + (digest in found), total + 1)
    exact = sum(g for g, _ in per_type.values())
    print(f"{name}: {exact}/{len(truth)} byte-exact in {seconds:.2f} s  " +
          " ".join(f"{e}={g}/{t}" for e, (g, t) in sorted(per_type.items())))


def main():
    binary = os.path.abspath(sys.argv[1])
    photorec = "--photorec" in sys.argv
    video_only = "--video-only" in sys.argv
    video = video_only or "--video" in sys.argv
    rest = [a for a in sys.argv[2:] if not a.startswith("--")]
    work = os.path.abspath(rest[0] if rest else "/tmp/kestrune-carve-exact")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    image = os.path.join(work, "area.img")
    truth = build_image(image, pictures=not video_only, video=video)
    env = dict(os.environ, KESTRUNE_DATA_HOME=os.path.join(work, "data"))
    out = os.path.join(work, "kestrune")
    start = time.monotonic()
    subprocess.run([binary, "recover", "--mode", "deep", "--restart", "--to", out, image], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    score("kestrune", truth, hashes_under(out), time.monotonic() - start)
    if photorec and shutil.which("photorec"):
        out = os.path.join(work, "photorec")
        start = time.monotonic()
        subprocess.run(["photorec", "/log", "/d", out, "/cmd", image, "partition_none,options,paranoid,search"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=work, check=False)
        score("photorec", truth, hashes_under(out + ".1"), time.monotonic() - start)


if __name__ == "__main__":
    main()
