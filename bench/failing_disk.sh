#!/usr/bin/env bash
# Copying a failing disk: kestrune image --skip-bad against GNU ddrescue, on the same
# simulated disks in one run. The disk is served by nbdkit (bench/failing_disk_plugin.py)
# through nbdfuse, so that both tools read it as a user's program reads a dying disk:
# reads of bad areas wait, then fail; slow areas answer late; one disk stops answering
# altogether after a number of reads.
#
# Per disk and tool: the seconds until 99 % of the readable bytes were safe (as the map
# says, polled every 0.2 s), the total time, the bytes rescued and whether they are the
# disk's; the disk that stops answering gives each tool 60 s. Then a kestrune copy is cut (Ctrl-C) part-way and resumed: the reads the resumed
# copy made of bytes already rescued are counted (the goal is none).
#
# The disks: 128 MiB of random bytes with 40 bad 4 KiB blocks scattered over them, a dead
# 256 KiB stretch, and 4 MiB that answer slowly; each failed read costs 0.05 s (both tools
# end by scraping every bad sector alone: 832 of them).
#
#   bench/failing_disk.sh [build/bin/kestrune]     (root, FUSE, nbdkit-plugin-python, gddrescue)
set -euo pipefail
kestrune="$(realpath "${1:-build/bin/kestrune}")"
plugin="$(realpath "$(dirname "$0")/failing_disk_plugin.py")"
work=/tmp/kestrune-bench/failing-disk
rm -rf "$work" && mkdir -p "$work"
export KESTRUNE_DATA_HOME="$work/home"

size=$((128 * 1024 * 1024))
head -c "$size" /dev/urandom > "$work/disk.img"
bad=$(python3 - "$size" <<'PY'
import random, sys
size = int(sys.argv[1])
rng = random.Random(5)
blocks = sorted(rng.sample(range(size // 4096), 40))
areas = ["0x%x:0x1000" % (b * 4096) for b in blocks]
areas.append("0x%x:0x40000" % (size // 2))  # the dead stretch
print(",".join(areas))
PY
)
slow="0x$(printf '%x' $((size / 4))):0x400000"

serve() {  # serve STOP_AFTER LOG
    mkdir -p "$work/served"
    nbdfuse "$work/served" --command nbdkit -s python "$plugin" image="$work/disk.img" bad="$bad" slow="$slow" \
        bad-delay=0.05 slow-delay=0.02 stop-after="$1" log="$2" > /dev/null 2>&1 &
    for _ in $(seq 100); do [ -e "$work/served/nbd" ] && return; sleep 0.05; done
    echo "nbdfuse did not start" >&2
    exit 1
}
unserve() { fusermount3 -u "$work/served" 2> /dev/null || true; sleep 0.3; }

maps="$(realpath "$(dirname "$0")/rescue_maps.py")"
rescued() { python3 "$maps" rescued "$1"; }
check() { python3 "$maps" check "$work/disk.img" "$1" "$2"; }

readable=$(python3 -c "
bad='$bad'
print($size - sum(int(p.split(':')[1], 0) for p in bad.split(',')))")

run() {  # run NAME STOP_AFTER BUDGET COMMAND... ; the command copies served/nbd into $work/NAME.img
    local name=$1 stop=$2 budget=$3
    shift 3
    rm -f "$work/$name".img* "$work/$name.log"
    serve "$stop" "$work/$name.reads"
    local map="$work/$name.img.map" started t99="" now got
    started=$(date +%s.%N)
    # A disk that stopped answering is never done: each tool gets the same seconds.
    timeout -s INT "$budget" "$@" > "$work/$name.log" 2>&1 &
    local pid=$!
    while kill -0 "$pid" 2> /dev/null; do
        sleep 0.2
        if [ -z "$t99" ] && [ -f "$map" ]; then
            got=$(rescued "$map")
            if [ "$got" -ge $((readable * 99 / 100)) ]; then t99=$(printf '%.1f' "$(echo "$(date +%s.%N) - $started" | bc)"); fi
        fi
    done
    wait "$pid" || true
    now=$(echo "$(date +%s.%N) - $started" | bc)
    unserve
    got=$(rescued "$map")
    [ -z "$t99" ] && [ "$got" -ge $((readable * 99 / 100)) ] && t99=$(printf '%.1f' "$now")
    printf '%-14s 99%% safe after %6s s   total %6.1f s   rescued %10d of %10d readable bytes   %s\n' \
        "$name" "${t99:-never}" "$now" "$got" "$readable" "$(check "$work/$name.img" "$map")"
}

echo "disk: $size bytes, $readable readable; a failed read takes 0.05 s"
for stop in 0 600; do
    if [ "$stop" = 0 ]; then
        echo "== bad and slow areas"
        budget=600
    else
        echo "== the same disk, which stops answering after $stop reads (each tool cut after 60 s)"
        budget=60
    fi
    run "kestrune-$stop" "$stop" "$budget" "$kestrune" image --skip-bad "$work/served/nbd" "$work/kestrune-$stop.img"
    run "ddrescue-$stop" "$stop" "$budget" ddrescue -q "$work/served/nbd" "$work/ddrescue-$stop.img" \
        "$work/ddrescue-$stop.img.map"
done

echo "== a kestrune copy cut after 3 s, then resumed"
rm -f "$work"/cut.img*
serve 0 "$work/cut.reads"
"$kestrune" image --skip-bad "$work/served/nbd" "$work/cut.img" > /dev/null 2>&1 &
sleep 3
kill -INT $! && wait $! || true
unserve
before=$(rescued "$work/cut.img.map")
cp "$work/cut.img.map" "$work/cut.before.map"
serve 0 "$work/resume.reads"
"$kestrune" image --resume "$work/served/nbd" "$work/cut.img" > /dev/null 2>&1 || true
unserve
echo "rescued before the cut: $before bytes; read again by the resumed copy: $(python3 "$maps" again "$work/cut.before.map" "$work/resume.reads") bytes"
echo "after resuming: rescued $(rescued "$work/cut.img.map") of $readable readable bytes, $(check "$work/cut.img" "$work/cut.img.map")"
