#!/usr/bin/env bash
# The formatted and deep pass over a 1 GiB image of mixed content (seeded random bytes,
# zeros, and real files laid on sector boundaries), page cache warm, against the raw
# read speed (`cat IMAGE > /dev/null`) and the peers where installed: PhotoRec and
# foremost. Prints MB/s, ratios and peak memory.
#   bench/formatted_pass.sh [build folder] [size in MiB]
set -euo pipefail
build=${1:-build}
size_mib=${2:-1024}
kestrune=$(realpath "$build/bin/kestrune")
here="$(cd "$(dirname "$0")" && pwd)"
work=${KESTRUNE_BENCH_DIR:-/tmp/kestrune-bench}
image=$work/mixed-$size_mib.img
mkdir -p "$work"
if [ ! -f "$image" ]; then
    python3 - "$image" "$size_mib" "$here/../tests/fixtures/carve" <<'PY'
import os, random, sys
path, mib, carve = sys.argv[1], int(sys.argv[2]), sys.argv[3]
files = [open(os.path.join(carve, n), 'rb').read() for n in sorted(os.listdir(carve)) if not n.endswith('.gz')]
r = random.Random(20261207)
with open(path, 'wb') as out:
    written = 0
    while written < mib << 20:
        kind = r.random()
        if kind < 0.45:
            chunk = r.randbytes(1 << 20)            # incompressible data
        elif kind < 0.75:
            chunk = bytes(1 << 20)                   # never-written space
        else:
            chunk = b''.join(f + bytes(-len(f) % 512) for f in r.sample(files, 8))
        chunk = chunk[:(mib << 20) - written]
        out.write(chunk)
        written += len(chunk)
PY
fi
bytes=$(stat -c %s "$image")
mb=$(echo "$bytes / 1000000" | bc -l)
measure() {  # label command...: seconds and peak resident MiB
    local start end rss
    start=$(date +%s.%N)
    rss=$(python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)' "$@")
    end=$(date +%s.%N)
    echo "$(echo "$end - $start" | bc -l) $rss"
}
cat "$image" > /dev/null
read -r cat_s cat_rss <<< "$(measure sh -c "cat '$image' > /dev/null")"
rm -rf "$work/data"
read -r our_s our_rss <<< "$(measure env KESTRUNE_DATA_HOME="$work/data" "$kestrune" scan --mode deep --restart "$image")"
printf '%-28s %8s %10s %10s %10s\n' tool seconds MB/s "vs cat" "peak MiB"
row() { printf '%-28s %8.2f %10.0f %10.2f %10s\n' "$1" "$2" "$(echo "$mb / $2" | bc -l)" "$(echo "$cat_s / $2" | bc -l)" "$3"; }
row "cat > /dev/null" "$cat_s" "$cat_rss"
row "kestrune scan --mode deep" "$our_s" "$our_rss"
if command -v photorec >/dev/null; then
    rm -rf "$work/photorec" && mkdir -p "$work/photorec"
    # photorec writes photorec.log into the folder it runs in: its own scratch folder.
    read -r pr_s pr_rss <<< "$(cd "$work/photorec" && measure photorec /log /d "$work/photorec/out" /cmd "$image" search)"
    row "photorec (search)" "$pr_s" "$pr_rss"
fi
if command -v foremost >/dev/null; then
    rm -rf "$work/foremost"
    read -r fm_s fm_rss <<< "$(measure foremost -q -o "$work/foremost" "$image")"
    row "foremost -q" "$fm_s" "$fm_rss"
fi
