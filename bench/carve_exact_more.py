#!/usr/bin/env python3
"""Byte-exact carving per type for sound, Photoshop and icon, Office 97-2003, cabinet
and program files: tests/fixtures/carve_more (and the older fixtures of those types)
laid on sector boundaries between seeded pseudo-random filler, carved by the deep scan
of a kestrune binary and, when installed, by PhotoRec, as bench/carve_exact.py does.

    bench/carve_exact_more.py KESTRUNE_BINARY [--photorec] [WORK_FOLDER]
"""
import gzip
import hashlib
import os
import random
import shutil
import subprocess
import sys
import time

import carve_exact

FIXTURES = carve_exact.FIXTURES
OLDER = ["tone.mp3", "song.mid", "image.psd", "icon.ico", "letter.doc", "sheet.xls", "slides.ppt.gz", "files.cab"]


def read(path):
    data = open(path, "rb").read()
    return gzip.decompress(data) if path.endswith(".gz") else data


def build_image(path, copies=4):
    rnd = random.Random(2027)
    folder = os.path.join(FIXTURES, "carve_more")
    files = [os.path.join(folder, n) for n in sorted(os.listdir(folder))]
    files += [os.path.join(FIXTURES, "carve", n) for n in OLDER]
    truth = []
    with open(path, "wb") as out:
        for _ in range(copies):
            for f in files:
                data = read(f)
                out.write(rnd.randbytes(512 * rnd.randint(1, 16)))
                out.write(data)
                out.write(rnd.randbytes((512 - len(data) % 512) % 512))
                ext = os.path.splitext(f[:-3] if f.endswith(".gz") else f)[1][1:]
                truth.append((ext, hashlib.sha256(data).hexdigest()))
        out.write(rnd.randbytes(512 * 8))
    return truth


def main():
    carve_exact.build_image = build_image
    carve_exact.main()


if __name__ == "__main__":
    main()
