#!/usr/bin/env bash
# The NTFS quick scan against The Sleuth Kit's `fls -r -d` on one image of 100,000
# deleted files in 1,000 folders (made with mkntfs and ntfs-3g; needs root for FUSE).
#   bench/ntfs_quick_scan.sh [build folder]
# Prints records per second for both and their ratio. The image is cached in
# ${KESTRUNE_BENCH_DIR:-/tmp/kestrune-bench}.
set -euo pipefail
build=${1:-build}
kestrune=$(realpath "$build/bin/kestrune")
work=${KESTRUNE_BENCH_DIR:-/tmp/kestrune-bench}
image=$work/ntfs-100k.img
mkdir -p "$work"
if [ ! -f "$image" ]; then
    truncate -s 1G "$image.tmp"
    mkntfs -q -F -Q -p 0 -S 63 -H 255 "$image.tmp" 2>/dev/null
    mkdir -p "$work/m"
    ntfs-3g "$image.tmp" "$work/m"
    python3 - "$work/m" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(1000):
    folder = os.path.join(root, "folder%04d" % d)
    os.mkdir(folder)
    for f in range(100):
        with open(os.path.join(folder, "file%03d.txt" % f), "wb") as out:
            out.write(b"x" * (f * 37 % 900))
PY
    # Keep one file in ten; delete the rest with most of their folders.
    python3 - "$work/m" <<'PY'
import os, shutil, sys
root = sys.argv[1]
for d in range(1000):
    folder = os.path.join(root, "folder%04d" % d)
    if d % 10 == 0:
        for f in range(100):
            if f % 10: os.remove(os.path.join(folder, "file%03d.txt" % f))
    else:
        shutil.rmtree(folder)
PY
    umount "$work/m"
    mv "$image.tmp" "$image"
fi
# MFT records: the size of $MFT's data over 1,024 bytes a record.
mft_bytes=$(ntfsinfo -i 0 "$image" 2>/dev/null | awk '/Dumping attribute \$DATA/ {d=1} d && /Data size/ {print $NF; exit}' | sed 's/[()]//g')
records=$(( ${mft_bytes:-0} / 1024 ))
cat "$image" > /dev/null
start=$(date +%s.%N)
KESTRUNE_DATA_HOME="$work/data" "$kestrune" scan "$image" > "$work/kestrune.txt"
ours=$(echo "$(date +%s.%N) - $start" | bc)
found=$(head -1 "$work/kestrune.txt" | awk '{print $1}')
if command -v fls >/dev/null; then
    start=$(date +%s.%N)
    fls -r -d "$image" > "$work/fls.txt"
    theirs=$(echo "$(date +%s.%N) - $start" | bc)
    listed=$(wc -l < "$work/fls.txt")
else
    theirs=""; listed=""
fi
printf 'image: %s, %s MFT records\n' "$image" "$records"
printf 'kestrune quick scan: %s s, %s deleted files found, %.0f records/s\n' "$ours" "$found" "$(echo "$records / $ours" | bc -l)"
[ -n "$theirs" ] && printf 'fls -r -d: %s s, %s deleted entries listed, %.0f records/s\n' "$theirs" "$listed" "$(echo "$records / $theirs" | bc -l)"
[ -n "$theirs" ] && printf 'ratio (fls time / kestrune time): %.2f\n' "$(echo "$theirs / $ours" | bc -l)"
true
