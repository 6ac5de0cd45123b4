#!/usr/bin/env bash
# Two builds of kestrune side by side on the same images, in the same run: the quick
# scans of the FAT32, exFAT and ext4 images the quick-scan scripts beside this one make
# (run them first; they cache their images), the NTFS used-volume fixtures, and the deep
# pass over the mixed image of formatted_pass.sh against `cat`. Each scan runs nine times,
# the builds in turn, and the quickest of each is kept: a single run of 40 ms swings by a
# fifth on a busy machine. fls, where installed, runs as often for the ratio.
#   bench/compare_builds.sh OLD_BUILD NEW_BUILD
set -euo pipefail
old=$(realpath "$1/bin/kestrune")
new=$(realpath "$2/bin/kestrune")
here="$(cd "$(dirname "$0")" && pwd)"
work=${KESTRUNE_BENCH_DIR:-/tmp/kestrune-bench}
runs=${RUNS:-9}
mkdir -p "$work/compare"

quickest() {  # command...: the quickest of $runs runs, in seconds
    python3 - "$runs" "$@" <<'PY'
import subprocess, sys, time
runs, command = int(sys.argv[1]), sys.argv[2:]
best = None
for _ in range(runs):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    best = elapsed if best is None else min(best, elapsed)
print(f"{best:.4f}")
PY
}

compare() {  # label image [scan options...]
    local label=$1 image=$2
    shift 2
    [ -f "$image" ] || { printf '%-34s (no image: %s)\n' "$label" "$image"; return; }
    cat "$image" > /dev/null
    local a b f=-
    a=$(quickest env KESTRUNE_DATA_HOME="$work/compare/old" "$old" scan "$@" "$image")
    b=$(quickest env KESTRUNE_DATA_HOME="$work/compare/new" "$new" scan "$@" "$image")
    if command -v fls >/dev/null && [ $# -eq 0 ]; then f=$(quickest fls -r -d "$image"); fi
    printf '%-34s %9s %9s %7.2f %9s\n' "$label" "$a" "$b" "$(echo "$b / $a" | bc -l)" "$f"
}

printf '%-34s %9s %9s %7s %9s\n' "seconds, quickest of $runs" old new new/old fls
compare "FAT32 quick, 50,000 entries" "$work/fat-50k.img"
compare "exFAT quick, 20,000 files" "$work/exfat-20k.img"
compare "ext4 quick, 20,000 files" "$work/ext4-20k.img"
for name in few_runs many_runs attribute_list; do
    gunzip -c "$here/../tests/fixtures/ntfs_fragmented/$name.img.gz" > "$work/compare/$name.img"
    compare "NTFS quick, used volume $name" "$work/compare/$name.img"
done
mixed=$(ls "$work"/mixed-*.img 2>/dev/null | head -1 || true)
if [ -n "$mixed" ]; then
    runs=3
    cat "$mixed" > /dev/null
    raw=$(quickest sh -c "cat '$mixed' > /dev/null")
    compare "deep pass, $(basename "$mixed")" "$mixed" --mode deep --restart
    printf '%-34s %9s (the raw read of the same image)\n' "cat > /dev/null" "$raw"
fi
