#!/usr/bin/env bash
# Lost partitions: a 2 GiB disk with NTFS, FAT32, exFAT and ext4 volumes, each holding
# 300 files of which a third were deleted, once as GPT and once as MBR, each with its
# table wiped (sgdisk --zap-all; the MBR sector zeroed). On each wiped disk:
#   - the volumes found (start and size, against the table the disk had) and the time,
#     by `kestrune partitions` and by TestDisk's analyse (its quick search);
#   - the deleted files given back byte-exact with their names: kestrune's script
#     applied by sfdisk to a copy, then `kestrune recover --keep-folders` per partition,
#     against `tsk_recover` told each volume's true offset.
# Needs root (FUSE, loop mounts), fdisk, gdisk, dosfstools, mtools, ntfs-3g, exfatprogs,
# exfat-fuse, e2fsprogs, sleuthkit, testdisk and python3. Usage: lost_partitions.sh KESTRUNE
set -euo pipefail
kestrune="$(realpath "${1:-build/bin/kestrune}")"
cache=/tmp/kestrune-bench/lost-partitions
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1 LANG=C.UTF-8 TZ=UTC KESTRUNE_DATA_HOME="$cache/home"

make_disk() {  # label (gpt|dos)
    local label=$1 disk="$cache/$1.img" work="$cache/work-$1"
    [ -f "$disk" ] && [ -f "$cache/$1.json" ] && return
    rm -rf "$work"; mkdir -p "$work/m"
    truncate -s 2G "$disk"
    if [ "$label" = gpt ]; then
        printf 'label: gpt\nstart=2048, size=524288\nstart=526336, size=524288\nstart=1050624, size=524288\nstart=1574912, size=2617344\n' | sfdisk -q "$disk"
    else
        printf 'label: dos\nstart=2048, size=524288, type=7\nstart=526336, size=524288, type=c\nstart=1050624, size=524288, type=7\nstart=1574912, size=2617344, type=83\n' | sfdisk -q "$disk"
    fi
    python3 - "$disk" "$work" "$cache/$1.json" <<'PY'
import hashlib, json, os, random, subprocess, sys
disk, work, manifest = sys.argv[1:4]
rng = random.Random(7)
words = "river garden budget letter winter station ticket doctor engine school".split()
starts = [2048, 526336, 1050624, 1574912]
sizes = [524288, 524288, 524288, 2617344]
kinds = ["ntfs", "fat32", "exfat", "ext4"]
volumes = []
for kind, start, size in zip(kinds, starts, sizes):
    vol = os.path.join(work, kind + ".img")
    subprocess.check_call(["truncate", "-s", str(size * 512), vol])
    files = {}
    for i in range(300):
        data = (" ".join(rng.choice(words) for _ in range(rng.randrange(1500, 12000)))).encode()
        files["folder%d/note %s %d.txt" % (i % 6, rng.choice(words), i)] = data
    if kind == "fat32":
        subprocess.check_call(["mkfs.fat", "-F", "32", "-n", "BENCHFAT", vol], stdout=subprocess.DEVNULL)
        for d in sorted({p.split("/")[0] for p in files}):
            subprocess.check_call(["mmd", "-i", vol, "::/" + d])
        for p, data in files.items():
            open(os.path.join(work, "f"), "wb").write(data)
            subprocess.check_call(["mcopy", "-i", vol, os.path.join(work, "f"), "::/" + p])
        deleted = [p for i, p in enumerate(files) if i % 3 == 0]
        for p in deleted:
            subprocess.check_call(["mdel", "-i", vol, "::/" + p])
    else:
        mnt = os.path.join(work, "m")
        loop = None
        if kind == "ntfs":
            subprocess.check_call(["mkntfs", "-q", "-F", "-Q", "-p", str(start), "-L", "BENCHNTFS", vol], stderr=subprocess.DEVNULL)
            subprocess.check_call(["ntfs-3g", vol, mnt])
        elif kind == "exfat":
            subprocess.check_call(["mkfs.exfat", "-L", "BENCHEXFAT", vol], stdout=subprocess.DEVNULL)
            loop = subprocess.check_output(["losetup", "-f", "--show", vol], text=True).strip()
            subprocess.check_call(["mount.exfat-fuse", loop, mnt], stdout=subprocess.DEVNULL)
        else:
            subprocess.check_call(["mkfs.ext4", "-q", "-L", "BENCHEXT4", vol])
            subprocess.check_call(["mount", "-o", "loop", vol, mnt])
        for p, data in files.items():
            os.makedirs(os.path.join(mnt, os.path.dirname(p)), exist_ok=True)
            open(os.path.join(mnt, p), "wb").write(data)
        os.sync()
        deleted = [p for i, p in enumerate(files) if i % 3 == 0]
        for p in deleted:
            os.remove(os.path.join(mnt, p))
        os.sync()
        subprocess.check_call(["umount", mnt])
        if loop:
            subprocess.check_call(["losetup", "-d", loop])
    subprocess.check_call(["dd", "if=" + vol, "of=" + disk, "bs=1M", "seek=%d" % (start * 512 // 1048576),
                           "conv=notrunc,sparse", "status=none"])
    os.remove(vol)
    volumes.append({"fs": kind, "start": start, "sectors": size,
                    "deleted": {p: hashlib.sha256(files[p]).hexdigest() for p in deleted}})
json.dump(volumes, open(manifest, "w"))
PY
    if [ "$label" = gpt ]; then sgdisk --zap-all "$disk" >/dev/null; else dd if=/dev/zero of="$disk" bs=512 count=1 conv=notrunc status=none; fi
    rm -rf "$work"
}

measure() {  # label
    local label=$1 disk="$cache/$1.img" out="$cache/out-$1"
    rm -rf "$out"; mkdir -p "$out"
    local t0 t1 t2
    t0=$(date +%s.%N)
    "$kestrune" partitions --json --sfdisk "$out/restore.sfdisk" "$disk" > "$out/kestrune.json" 2>/dev/null
    t1=$(date +%s.%N)
    (cd "$out" && testdisk /log /cmd "$disk" analyze > /dev/null 2>&1 || true)
    t2=$(date +%s.%N)
    cp --sparse=always "$disk" "$out/restored.img"
    sfdisk -q "$out/restored.img" < "$out/restore.sfdisk" > /dev/null 2>&1
    for k in 1 2 3 4; do
        "$kestrune" recover --partition $k --keep-folders --to "$out/kestrune-$k" "$out/restored.img" > /dev/null 2>&1 || true
    done
    # The wiped disk as it is, in one formatted pass: each volume found comes under a
    # folder of its own. Timed against reading the disk once.
    local t3 t4 t5
    t3=$(date +%s.%N)
    cat "$disk" > /dev/null
    t4=$(date +%s.%N)
    "$kestrune" recover --mode formatted --keep-folders --to "$out/whole" "$disk" > /dev/null 2>&1 || true
    t5=$(date +%s.%N)
    python3 - "$cache/$label.json" "$out" "$disk" "$label" "$(echo "$t1 - $t0" | bc)" "$(echo "$t2 - $t1" | bc)" \
        "$(echo "$t4 - $t3" | bc)" "$(echo "$t5 - $t4" | bc)" <<'PY'
import hashlib, json, os, re, subprocess, sys
manifest, out, disk, label, ours_s, td_s, read_s, whole_s = sys.argv[1:9]
volumes = json.load(open(manifest))
ours = json.load(open(os.path.join(out, "kestrune.json")))["volumes"]
exact = lambda v: sum(1 for f in ours if f["start"] == v["start"] and f["sectors"] == v["sectors"])
found_ours = sum(exact(v) > 0 for v in volumes)
# TestDisk's log gives each volume's CHS start and its size in sectors (255 heads, 63 sectors).
log = open(os.path.join(out, "testdisk.log"), errors="replace").read().split("search_part()")[-1]
td = []
for m in re.finditer(r"^\s{5}\S.*?\s(\d+)\s+(\d+)\s+(\d+)\s+\d+\s+\d+\s+\d+\s+(\d+)", log, re.M):
    c, h, s, n = map(int, m.groups())
    td.append(((c * 255 + h) * 63 + s - 1, n))
found_td = sum(any(st == v["start"] and n == v["sectors"] for st, n in td) for v in volumes)
starts_td = sum(any(st == v["start"] for st, n in td) for v in volumes)
def tree_hashes(root):
    got = {}
    for d, _, names in os.walk(root):
        for n in names:
            p = os.path.join(d, n)
            got[os.path.relpath(p, root)] = hashlib.sha256(open(p, "rb").read()).hexdigest()
    return got
ours_exact = tsk_exact = total = 0
per_fs = []
for k, v in enumerate(volumes, 1):
    total += len(v["deleted"])
    got = tree_hashes(os.path.join(out, "kestrune-%d" % k))
    ours = sum(got.get(p) == h for p, h in v["deleted"].items())
    tdir = os.path.join(out, "tsk-%d" % k)
    subprocess.run(["tsk_recover", "-o", str(v["start"]), disk, tdir], capture_output=True)
    got = tree_hashes(tdir)
    tsk = sum(got.get(p) == h for p, h in v["deleted"].items())
    ours_exact += ours
    tsk_exact += tsk
    per_fs.append("%s %d/%d" % (v["fs"], ours, tsk))
print("%s: volumes exact (start and size) kestrune %d/4 in %.2f s, TestDisk %d/4 (%d/4 starts) in %.2f s; "
      "deleted files back byte-exact with their names: kestrune %d/%d, tsk_recover given the offsets %d/%d"
      % (label.upper(), found_ours, float(ours_s), found_td, starts_td, float(td_s), ours_exact, total, tsk_exact, total))
print("  per volume, kestrune/tsk_recover: " + ", ".join(per_fs))
# The formatted pass of the wiped disk: the deleted files under their volume's folder.
whole = tree_hashes(os.path.join(out, "whole"))
named = 0
for v in volumes:
    folder = [d for d in os.listdir(os.path.join(out, "whole")) if d.endswith(" at sector %d)" % v["start"]) or d.endswith(" at sector %d" % v["start"])]
    named += sum(bool(folder) and whole.get(os.path.join(folder[0], p)) == h for p, h in v["deleted"].items())
print("  one formatted pass of the wiped disk: %d/%d deleted files byte-exact under their volume's folder, "
      "%d files written in all, %.2f s = %.2f x one read of the disk (%.2f s)"
      % (named, total, len(whole), float(whole_s), float(whole_s) / float(read_s), float(read_s)))
PY
}

for label in gpt dos; do
    make_disk "$label"
    measure "$label"
done
