#!/usr/bin/env bash
# Reading a disk through its container, and an encrypted volume through its key, against
# the same disk as a raw image, side by side in one run: the quick scan's and the deep
# pass's time as a ratio to the raw image's, and whether the same files are listed.
#
# The disk: 1 GiB, an MBR, a FAT32 volume filled with 3,000 notes in 12 folders, a third
# of them deleted. It is then kept as QCOW2, VMDK, VHD, VHDX (qemu-img), EnCase (ewfacquire,
# deflate "fast", segments of 256 MiB), raw in 256 MiB pieces (split), and its volume as
# LUKS2 (aes-xts-plain64, encrypted in user space as tests/fixtures/make_luks_images.sh
# does). Images are made once and kept in /tmp/kestrune-bench/image-formats.
#
#   bench/image_formats.sh [build/bin/kestrune]
set -euo pipefail
kestrune="$(realpath "${1:-build/bin/kestrune}")"
cache=/tmp/kestrune-bench/image-formats
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1 LANG=C.UTF-8 TZ=UTC KESTRUNE_DATA_HOME="$cache/home"
passphrase="bench passphrase"

make_images() {
    [ -f "$cache/ready" ] && return
    rm -rf "$cache"/*
    local disk="$cache/disk.img" volume="$cache/volume.img"
    truncate -s 1G "$disk"
    printf 'label: dos\nstart=2048, type=c\n' | sfdisk -q "$disk"
    truncate -s $(((1024 - 1) * 1024 * 1024)) "$volume"
    mkfs.fat -F 32 -n BENCHFAT "$volume" > /dev/null
    python3 - "$volume" <<'PY'
import os, random, subprocess, sys, tempfile
volume = sys.argv[1]
rng = random.Random(11)
words = "river garden budget letter winter station ticket doctor engine school harbour".split()
work = tempfile.mkdtemp()
for d in range(12):
    subprocess.check_call(["mmd", "-i", volume, "::/folder%d" % d])
names = []
for i in range(3000):
    path = os.path.join(work, "note %d.txt" % i)
    with open(path, "w") as f:
        f.write(" ".join(rng.choice(words) for _ in range(rng.randrange(2000, 40000))))
    names.append(("::/folder%d/" % (i % 12)) + "note %d.txt" % i)
    subprocess.check_call(["mcopy", "-i", volume, path, names[-1]])
    os.remove(path)
subprocess.check_call(["mdel", "-i", volume] + names[::3])
PY
    dd if="$volume" of="$disk" bs=1M seek=1 conv=notrunc status=none
    qemu-img convert -q -f raw -O qcow2 "$disk" "$cache/disk.qcow2"
    qemu-img convert -q -f raw -O vmdk "$disk" "$cache/disk.vmdk"
    qemu-img convert -q -f raw -O vpc "$disk" "$cache/disk.vhd"
    qemu-img convert -q -f raw -O vhdx "$disk" "$cache/disk.vhdx"
    ewfacquire -u -q -c fast -S 256MiB -t "$cache/disk" "$disk" > /dev/null
    mkdir -p "$cache/split" && split -b 256M -d -a 3 --numeric-suffixes=1 "$disk" "$cache/split/disk."
    # The volume alone, raw and as LUKS2: the ratio is of the same volume.
    local key="$cache/luks.key"
    head -c 64 /dev/urandom > "$key"
    truncate -s $((16 * 1024 * 1024 + $(stat -c %s "$volume"))) "$cache/luks2.img"
    printf '%s' "$passphrase" | cryptsetup luksFormat --batch-mode --type luks2 --cipher aes-xts-plain64 \
        --key-size 512 --sector-size 512 --volume-key-file "$key" --pbkdf pbkdf2 --pbkdf-force-iterations 1000 --key-file - \
        "$cache/luks2.img"
    python3 - "$volume" "$cache/luks2.img" "$key" <<'PY'
import struct, sys
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
plain, image, keyfile = sys.argv[1:4]
key = open(keyfile, "rb").read()
with open(plain, "rb") as src, open(image, "r+b") as out:
    out.seek(16 * 1024 * 1024)
    number = 0
    while True:
        block = src.read(1 << 20)
        if not block:
            break
        pieces = []
        for i in range(0, len(block), 512):
            enc = Cipher(algorithms.AES(key), modes.XTS(struct.pack("<Q", number) + bytes(8))).encryptor()
            pieces.append(enc.update(block[i:i + 512]) + enc.finalize())
            number += 1
        out.write(b"".join(pieces))
PY
    printf '%s' "$passphrase" > "$cache/passphrase"
    touch "$cache/ready"
}

# Seconds one scan takes, and the files it lists (name and size, sorted) into $2.
measure() {  # mode source listing [options...]
    local mode=$1 source=$2 listing=$3
    shift 3
    local t0 t1
    t0=$(date +%s.%N)
    "$kestrune" scan --restart --mode "$mode" "$@" "$source" > /dev/null 2>&1 || true
    t1=$(date +%s.%N)
    # An encrypted source's stored scan is opened again with its passphrase too.
    "$kestrune" list --json "$@" 2>/dev/null | python3 -c '
import json, sys
rows = sorted((r["name"], r["size"]) for r in map(json.loads, sys.stdin) if not r.get("isFolder"))
print("\n".join("%s\t%s" % row for row in rows))' > "$listing"
    echo "$t1 - $t0" | bc
}

make_images
cd "$cache"
printf '%-12s %-6s %9s %9s %7s  %s\n' format mode raw\ s format\ s ratio "same files as raw"
for mode in quick deep; do
    sync
    for entry in "QCOW2|disk.qcow2" "VMDK|disk.vmdk" "VHD|disk.vhd" "VHDX|disk.vhdx" "EnCase|disk.E01" \
                 "split raw|split/disk.001" "LUKS2|luks2.img"; do
        name=${entry%%|*}
        source=${entry#*|}
        raw=disk.img
        options=()
        [ "$name" = LUKS2 ] && raw=volume.img && options=(--key-file passphrase)
        # Side by side: the raw image first, then the container, each read from the cache.
        cat "$raw" > /dev/null
        raw_s=$(measure "$mode" "$raw" raw.list)
        format_s=$(measure "$mode" "$source" format.list "${options[@]}")
        same=$(cmp -s raw.list format.list && echo "yes ($(wc -l < raw.list) files)" || echo "NO: $(diff raw.list format.list | grep -c '^[<>]') differ")
        printf '%-12s %-6s %9.2f %9.2f %7.2f  %s\n' "$name" "$mode" "$raw_s" "$format_s" \
            "$(echo "$format_s / $raw_s" | bc -l)" "$same"
    done
done
