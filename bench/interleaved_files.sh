#!/usr/bin/env bash
# Deleted FAT and exFAT files written round each other (tests/fixtures/make_interleaved_images.sh):
# how many of them Kestrune's quick scan and The Sleuth Kit's `tsk_recover` bring back
# byte for byte, on the same images in the same run, with the seconds each took.
#   bench/interleaved_files.sh [build folder]
set -euo pipefail
build=${1:-build}
kestrune=$(realpath "$build/bin/kestrune")
here="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"
printf '%-20s %-12s %8s %12s %8s\n' image tool exact interleaved seconds
for fixture in fat/interleaved12 fat/interleaved16 fat/interleaved32 exfat/interleaved; do
    name=${fixture//\//-}
    gunzip -c "$here/tests/fixtures/$fixture.img.gz" > "$work/$name.img"
    json="$here/tests/fixtures/$fixture.json"
    python3 -c "import json,sys; [print(f['sha256']) for f in json.load(open(sys.argv[1]))['deleted']]" "$json" > "$work/all"
    python3 -c "import json,sys; [print(f['sha256']) for f in json.load(open(sys.argv[1]))['deleted'] if f['note']]" "$json" > "$work/inter"
    for tool in kestrune tsk_recover; do
        out="$work/$name-$tool"
        start=$(date +%s.%N)
        if [ "$tool" = kestrune ]; then
            "$kestrune" recover "$work/$name.img" --to "$out" >/dev/null || true
        else
            tsk_recover "$work/$name.img" "$out" >/dev/null || true
        fi
        seconds=$(echo "$(date +%s.%N) - $start" | bc)
        printf '%-20s %-12s %4s/%-3s %8s/%-3s %8.2f\n' "$name" "$tool" \
            "$(python3 "$here/bench/count_exact.py" "$out" "$work/all")" "$(wc -l < "$work/all")" \
            "$(python3 "$here/bench/count_exact.py" "$out" "$work/inter")" "$(wc -l < "$work/inter")" "$seconds"
    done
done
