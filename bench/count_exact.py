#!/usr/bin/env python3
"""How many of the files a tool wrote under FOLDER are byte for byte one of the files in
TRUTH (a file of sha256 digests, one a line), each digest counted as often as it is listed.

    bench/count_exact.py FOLDER TRUTH
"""
import collections
import hashlib
import os
import sys

wanted = collections.Counter(open(sys.argv[2]).read().split())
got = 0
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        if wanted[digest] > 0:
            wanted[digest] -= 1
            got += 1
print(got)
