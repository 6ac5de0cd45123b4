#!/usr/bin/python3
"""Reads a DFXML report back the way a forensic tool does: for every file it says was
written, the bytes its byte runs give on the source (holes between runs read as zeros,
as a sparse file's do) must have the SHA-256 the report gives, which must be that of
the written file. Prints "files N exact M" and exits 1 on the first mismatch.

    check_dfxml.py SOURCE REPORT
"""
import hashlib
import sys
import xml.etree.ElementTree as ET

source, report = sys.argv[1:3]
ns = {"d": "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML",
      "k": "https://kestrune.org/dfxml"}
tree = ET.parse(report)
files = exact = 0
with open(source, "rb") as image:
    for obj in tree.getroot().iter("{%s}fileobject" % ns["d"]):
        files += 1
        digest = obj.find("d:hashdigest", ns)
        runs = obj.find("d:byte_runs", ns)
        written = obj.find("k:written_to", ns)
        if digest is None or runs is None or written is None:
            continue
        size = int(obj.find("d:filesize", ns).text)
        data = bytearray(size)
        for run in runs.findall("d:byte_run", ns):
            offset, at, length = (int(run.get(k)) for k in ("file_offset", "img_offset", "len"))
            image.seek(at)
            data[offset:offset + length] = image.read(length)
        fromRuns = hashlib.sha256(bytes(data[:size])).hexdigest()
        fromFile = hashlib.sha256(open(written.text, "rb").read()).hexdigest()
        if fromRuns != digest.text or fromFile != digest.text:
            print(f"mismatch: {obj.find('d:filename', ns).text}: runs {fromRuns}, file {fromFile}, "
                  f"report {digest.text}")
            sys.exit(1)
        exact += 1
print(f"files {files} exact {exact}")
