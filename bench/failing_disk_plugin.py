# An nbdkit plugin for bench/failing_disk.sh: a disk image whose reads fail or stall where
# it is told, as a dying disk's do, and which may stop answering altogether.
#
#   nbdkit python failing_disk_plugin.py image=DISK.img bad=POS:LEN,... slow=POS:LEN,...
#          bad-delay=0.2 slow-delay=0.05 stop-after=N log=READS.log
#
# A read touching a bad area waits bad-delay seconds, then fails; one touching a slow area
# waits slow-delay seconds, then succeeds. After stop-after reads (0: never) every read
# waits bad-delay and fails. Every read is noted in log as "offset length ok|fail".
import builtins
import errno
import time

import nbdkit

API_VERSION = 2
settings = {"bad": [], "slow": [], "bad-delay": 0.2, "slow-delay": 0.05, "stop-after": 0}
image = None
log = None
reads = 0


def areas(text):
    out = []
    for part in filter(None, text.split(",")):
        pos, length = part.split(":")
        out.append((int(pos, 0), int(pos, 0) + int(length, 0)))
    return out


def config(key, value):
    global image, log
    if key == "image":
        image = value
    elif key in ("bad", "slow"):
        settings[key] = areas(value)
    elif key in ("bad-delay", "slow-delay"):
        settings[key] = float(value)
    elif key == "stop-after":
        settings[key] = int(value)
    elif key == "log":
        log = builtins.open(value, "a", buffering=1)
    else:
        raise RuntimeError("unknown parameter " + key)


def open(readonly):
    return builtins.open(image, "rb")


def get_size(h):
    h.seek(0, 2)
    return h.tell()


def touches(ranges, offset, end):
    return any(a < end and offset < b for a, b in ranges)


def pread(h, buf, offset, flags):
    global reads
    reads += 1
    end = offset + len(buf)
    dead = settings["stop-after"] and reads > settings["stop-after"]
    if dead or touches(settings["bad"], offset, end):
        time.sleep(settings["bad-delay"])
        if log:
            log.write("%d %d fail\n" % (offset, len(buf)))
        nbdkit.set_error(errno.EIO)
        raise OSError(errno.EIO, "unreadable sector")
    if touches(settings["slow"], offset, end):
        time.sleep(settings["slow-delay"])
    h.seek(offset)
    buf[:] = h.read(len(buf))
    if log:
        log.write("%d %d ok\n" % (offset, len(buf)))
