#!/usr/bin/env bash
# The FAT quick scan against The Sleuth Kit's `fls -r -d` on one FAT32 image of 50,000
# entries in 2,000 folders, a fifth of them deleted (made with mkfs.fat and mtools).
#   bench/fat_quick_scan.sh [build folder]
# Prints entries per second for both and their ratio. The image is cached in
# ${KESTRUNE_BENCH_DIR:-/tmp/kestrune-bench}.
set -euo pipefail
build=${1:-build}
kestrune=$(realpath "$build/bin/kestrune")
work=${KESTRUNE_BENCH_DIR:-/tmp/kestrune-bench}
image=$work/fat-50k.img
export MTOOLS_SKIP_CHECK=1
mkdir -p "$work"
if [ ! -f "$image" ]; then
    rm -rf "$work/tree" && mkdir -p "$work/tree"
    python3 - "$work/tree" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(2000):
    folder = os.path.join(root, "F%04d" % d)
    os.mkdir(folder)
    for f in range(24):
        with open(os.path.join(folder, "FILE%02d.TXT" % f), "wb") as out:
            out.write(b"x" * (f * 21))
PY
    mkfs.fat -C -F 32 -s 1 "$image.tmp" $((160 * 1024)) >/dev/null
    mcopy -s -i "$image.tmp" "$work"/tree/* ::/
    for d in $(seq 0 5 1999); do mdeltree -i "$image.tmp" "::/$(printf 'F%04d' "$d")"; done
    mv "$image.tmp" "$image"
fi
entries=50000
cat "$image" > /dev/null
start=$(date +%s.%N)
KESTRUNE_DATA_HOME="$work/data" "$kestrune" scan "$image" > "$work/kestrune-fat.txt"
ours=$(echo "$(date +%s.%N) - $start" | bc)
printf 'image: %s, %s entries in 2,000 folders, a fifth deleted\n' "$image" "$entries"
printf 'kestrune quick scan: %s s, %s, %.0f entries/s\n' "$ours" "$(head -1 "$work/kestrune-fat.txt")" "$(echo "$entries / $ours" | bc -l)"
if command -v fls >/dev/null; then
    start=$(date +%s.%N)
    fls -r -d "$image" > "$work/fls-fat.txt"
    theirs=$(echo "$(date +%s.%N) - $start" | bc)
    printf 'fls -r -d: %s s, %s deleted entries listed, %.0f entries/s\n' "$theirs" "$(wc -l < "$work/fls-fat.txt")" "$(echo "$entries / $theirs" | bc -l)"
    printf 'ratio (fls time / kestrune time): %.2f\n' "$(echo "$theirs / $ours" | bc -l)"
fi
