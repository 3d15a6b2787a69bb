#!/usr/bin/env python3
"""`peiboard image` beside UEFIExtract's report, on the intact volume and on damaged copies.

    image_tree_vs_uefiextract.py UEFIEXTRACT PEIBOARD VOLUME WORK

Every volume, file, section and free-space row UEFIExtract reports must be a part of ours at
the same offset and size, in the JSON and in the text; every checksum UEFIExtract calls
invalid must be marked on the same part, with the same held and right values where it gives
them; the intact volume exits 0 and each damaged copy 1.
"""
import json
import os
import re
import shutil
import subprocess
import sys

UEFIEXTRACT, PEIBOARD, VOLUME, WORK = sys.argv[1:5]
KINDS = {"Volume": "volume", "File": "file", "Section": "section", "Free space": "free space",
         "Padding": "section"}


def fail(why):
    sys.exit(f"FAIL: {why}")


def uefiextract(path):
    """UEFIExtract's rows (kind, offset, size, name) and its messages about the volume."""
    report = path + ".report.txt"
    if os.path.exists(report):
        os.remove(report)
    run = subprocess.run([UEFIEXTRACT, os.path.basename(path), "report"], cwd=os.path.dirname(path),
                         capture_output=True, text=True)
    messages = [m for m in (run.stdout + run.stderr).splitlines()
                if m.strip() and "Volume Top File" not in m]
    rows = []
    with open(report) as lines:
        for line in list(lines)[1:]:
            cells = [c.strip() for c in line.split("|")]
            if cells[0] in KINDS:
                rows.append((KINDS[cells[0]], int(cells[2], 16), int(cells[3], 16), cells[5]))
    return rows, messages


def peiboard(path, *options):
    return subprocess.run([PEIBOARD, "image", path, *options], capture_output=True, text=True)


def parts(node, found):
    found.append(node)
    for child in node["children"]:
        parts(child, found)
    return found


def compare(name, path, expected_exit):
    rows, messages = uefiextract(path)
    out = peiboard(path, "--json")
    text = peiboard(path)
    if out.returncode != expected_exit or text.returncode != expected_exit:
        fail(f"{name}: exit {out.returncode}/{text.returncode}, expected {expected_exit}\n{text.stdout}")
    ours = parts(json.loads(out.stdout)["tree"], [])
    at = {(p["kind"], p["offset"], p["size"]): p for p in ours}
    for kind, offset, size, label in rows:
        part = at.get((kind, offset, size))
        if part is None:
            fail(f"{name}: UEFIExtract's {kind} at {offset:#x}, {size:#x} bytes is not in our tree")
        line = f"0x{offset:08X}  0x{size:08X}  "
        if not any(l.startswith(line) and kind in l for l in text.stdout.splitlines()):
            fail(f"{name}: the text lacks the {kind} at {offset:#x}\n{text.stdout}")
        guid = re.search(r"[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}", label)
        if guid and guid.group(0) not in part["title"]:
            fail(f"{name}: the {kind} at {offset:#x} is {guid.group(0)} to UEFIExtract, {part['title']} to us")
    theirs = {(kind, offset, size) for kind, offset, size, _ in rows}
    for p in ours:
        if p["kind"] in ("volume", "file", "free space") and (p["kind"], p["offset"], p["size"]) not in theirs:
            fail(f"{name}: our {p['kind']} at {p['offset']:#x} is not in UEFIExtract's report")
    problems = [(p, q) for p in ours for q in p["problems"]]
    for message in messages:
        checksum = re.search(r"invalid (header|data) checksum ([0-9A-F]{2})h, should be ([0-9A-F]{2})h", message)
        if checksum:
            what, holds, should = f"{checksum.group(1)} checksum", f"0x{checksum.group(2)}", f"0x{checksum.group(3)}"
            if not any(q["what"] == what and q["holds"] == holds and q["should"] == should for _, q in problems):
                fail(f"{name}: UEFIExtract says '{message}'; we mark {[q for _, q in problems]}")
            if f"!! {what}: holds {holds}, should hold {should}" not in text.stdout:
                fail(f"{name}: the text does not mark the {what}\n{text.stdout}")
        elif "volume header checksum is invalid" in message:
            if not any(p["kind"] == "volume" and q["what"] == "checksum" for p, q in problems):
                fail(f"{name}: UEFIExtract says '{message}'; we mark {problems}")
        elif "non-UEFI data found in sections area" in message:
            if not any(p["kind"] == "section" and q["what"] == "size" for p, q in problems):
                fail(f"{name}: UEFIExtract says '{message}'; we mark {problems}")
        else:
            fail(f"{name}: UEFIExtract says '{message}', which this check does not know")
    if bool(messages) != bool(problems):
        fail(f"{name}: UEFIExtract says {messages}, we mark {problems}")
    return len(rows), len(messages)


def damaged(name, offset, change):
    path = os.path.join(WORK, name + ".fv")
    with open(VOLUME, "rb") as f:
        data = bytearray(f.read())
    data[offset] = change(data[offset])
    with open(path, "wb") as f:
        f.write(data)
    return path


shutil.rmtree(WORK, ignore_errors=True)
os.makedirs(WORK)
intact = os.path.join(WORK, "intact.fv")
shutil.copy(VOLUME, intact)
rows, _ = compare("intact", intact, 0)
cases = [("code-byte", 0x2000, lambda b: (b + 1) & 0xFF),
         ("file-header-checksum", 0x48 + 16, lambda b: (b + 1) & 0xFF),
         ("volume-checksum", 50, lambda b: b ^ 1),
         ("section-size", 0x60, lambda b: 0x02)]
said = 0
for name, offset, change in cases:
    said += compare(name, damaged(name, offset, change), 1)[1]
if said < len(cases):
    fail("UEFIExtract found fewer faults than there are damaged copies: this check sees nothing")
print(f"image agrees with UEFIExtract: {rows} parts of the intact volume, {len(cases)} damaged copies")
