#!/usr/bin/env bash
# The exFAT quick scan against The Sleuth Kit on one card image of 20,000 files in 800
# folders, written through exfat-fuse: a fifth of the folders deleted whole and one file
# in seven deleted from the others. Times the listing (kestrune scan, fls -r -d) and
# counts the deleted files each gives back byte for byte (kestrune recover, tsk_recover).
#   bench/exfat_quick_scan.sh [build folder]
# Needs root (FUSE and a loop device), exfatprogs, exfat-fuse and sleuthkit. The image
# is cached in ${KESTRUNE_BENCH_DIR:-/tmp/kestrune-bench}.
set -euo pipefail
build=${1:-build}
kestrune=$(realpath "$build/bin/kestrune")
work=${KESTRUNE_BENCH_DIR:-/tmp/kestrune-bench}
image=$work/exfat-20k.img
truth=$work/exfat-20k.deleted
mkdir -p "$work"
if [ ! -f "$image" ]; then
    mnt=$(mktemp -d)
    truncate -s 512M "$image.tmp"
    mkfs.exfat -c 4K "$image.tmp" >/dev/null
    loop=$(losetup -f --show "$image.tmp")
    mount.exfat-fuse "$loop" "$mnt" >/dev/null
    python3 - "$mnt" "$truth" <<'PY'
import hashlib, os, shutil, sys
root, truth = sys.argv[1:3]
deleted = []
for d in range(800):
    folder = os.path.join(root, "Folder %03d" % d)
    os.mkdir(folder)
    for f in range(25):
        data = (b"folder %d file %d; " % (d, f)) * ((d * 7 + f * 131) % 1500 + 5)
        with open(os.path.join(folder, "file %02d.txt" % f), "wb") as out:
            out.write(data)
        if d % 5 == 0 or f % 7 == 3:
            deleted.append(hashlib.sha256(data).hexdigest())
for d in range(800):
    folder = os.path.join(root, "Folder %03d" % d)
    if d % 5 == 0:
        shutil.rmtree(folder)
        continue
    for f in range(3, 25, 7):
        os.remove(os.path.join(folder, "file %02d.txt" % f))
open(truth, "w").write("\n".join(deleted) + "\n")
PY
    umount "$mnt" && losetup -d "$loop" && rmdir "$mnt"
    mv "$image.tmp" "$image"
fi

exact() { "$(dirname "$0")/count_exact.py" "$1" "$truth"; }  # deleted files held byte for byte
seconds() { local start=$(date +%s.%N); "$@" >/dev/null 2>&1; echo "$(date +%s.%N) - $start" | bc; }

deletedCount=$(wc -l < "$truth")
cat "$image" > /dev/null
export KESTRUNE_DATA_HOME="$work/data"
ours=$(seconds "$kestrune" scan "$image")
printf 'image: %s, 20,000 files in 800 folders, %s deleted\n' "$image" "$deletedCount"
printf 'kestrune scan (quick): %s s, %s\n' "$ours" "$("$kestrune" scan "$image" | head -1)"
rm -rf "$work/exfat-out" && "$kestrune" recover --to "$work/exfat-out" "$image" >/dev/null
printf 'kestrune recover: %s of %s deleted files byte-exact\n' "$(exact "$work/exfat-out")" "$deletedCount"
if command -v fls >/dev/null; then
    theirs=$(seconds fls -r -d "$image")
    printf 'fls -r -d: %s s, %s deleted entries listed\n' "$theirs" "$(fls -r -d "$image" | wc -l)"
    printf 'ratio (fls time / kestrune time): %.2f\n' "$(echo "$theirs / $ours" | bc -l)"
    rm -rf "$work/exfat-tsk" && tsk_recover "$image" "$work/exfat-tsk" >/dev/null 2>&1 || true
    printf 'tsk_recover: %s of %s deleted files byte-exact\n' "$(exact "$work/exfat-tsk")" "$deletedCount"
fi
