#!/usr/bin/python3
"""What bench/failing_disk.sh asks of GNU ddrescue mapfiles (ours or ddrescue's).

    rescue_maps.py rescued MAP                  bytes the map says were rescued ('+')
    rescue_maps.py check DISK IMAGE MAP         "right" when the image holds the disk's bytes
                                                wherever the map says rescued
    rescue_maps.py again MAP READS              bytes of the map's rescued areas that the
                                                reads (nbdkit plugin log) read again
"""
import sys


def blocks(path):
    """(pos, size, status) of every block, after the position line."""
    seen = False
    for line in open(path):
        fields = line.split()
        if not fields or line.startswith("#"):
            continue
        if not seen:
            seen = True
            continue
        yield int(fields[0], 0), int(fields[1], 0), fields[2]


def rescued_areas(path):
    return [(pos, pos + size) for pos, size, status in blocks(path) if status == "+"]


def main():
    what = sys.argv[1]
    if what == "rescued":
        try:
            print(sum(end - pos for pos, end in rescued_areas(sys.argv[2])))
        except (OSError, ValueError, IndexError):
            print(0)
    elif what == "check":
        disk, image = open(sys.argv[2], "rb").read(), open(sys.argv[3], "rb").read()
        wrong = sum(1 for pos, end in rescued_areas(sys.argv[4])
                    if disk[pos:end] != image[pos:end].ljust(end - pos, b"\0"))
        print("right" if wrong == 0 else "WRONG in %d areas" % wrong)
    elif what == "again":
        safe = rescued_areas(sys.argv[2])
        again = 0
        for line in open(sys.argv[3]):
            offset, length, _ = line.split()
            start, end = int(offset), int(offset) + int(length)
            again += sum(max(0, min(end, b) - max(start, a)) for a, b in safe)
        print(again)


main()
