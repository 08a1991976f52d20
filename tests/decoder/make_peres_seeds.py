#!/usr/bin/env python3
# make_peres_seeds.py: writes the resource reader fuzzer's starting inputs into
# peres-seeds/ (run by hand; the files are committed): small PE32 i386 images
# laid out here from the PE/COFF format, not by selfextr's own writer.
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, "peres-seeds")
os.makedirs(out, exist_ok=True)

RSRC_RVA, RAW_AT, ALIGN = 0x1000, 0x200, 0x200


def string_block(strings):
    """16 counted UTF-16LE strings; strings maps a slot to its text."""
    data = b""
    for slot in range(16):
        text = strings.get(slot, "").encode("utf-16-le")
        data += struct.pack("<H", len(text) // 2) + text
    return data


def rsrc(tree):
    """tree: {type: {name: {lang: bytes}}}, numbers only; directories
    breadth-first, then data entries, then the data, as linkers lay them out."""
    def dir_size(n):
        return 16 + 8 * n
    dirs = [tree]
    for t in sorted(tree):
        dirs.append(tree[t])
    for t in sorted(tree):
        for n in sorted(tree[t]):
            dirs.append(tree[t][n])
    offsets, at = [], 0
    for d in dirs:
        offsets.append(at)
        at += dir_size(len(d))
    leaves = [(t, n, l) for t in sorted(tree) for n in sorted(tree[t]) for l in sorted(tree[t][n])]
    entries_at = at
    data_at = entries_at + 16 * len(leaves)
    body = bytearray()
    # The directories, each entry pointing at the next level.
    index = {id(d): i for i, d in enumerate(dirs)}
    leaf_no = 0
    for d in dirs:
        keys = sorted(d)
        body += struct.pack("<IIHHHH", 0, 0, 4, 0, 0, len(keys))
        for k in keys:
            child = d[k]
            if isinstance(child, dict):
                body += struct.pack("<II", k, 0x80000000 | offsets[index[id(child)]])
            else:
                body += struct.pack("<II", k, entries_at + 16 * leaf_no)
                leaf_no += 1
    data = bytearray()
    for t, n, l in leaves:
        blob = tree[t][n][l]
        where = data_at + len(data)
        body += struct.pack("<IIII", RSRC_RVA + where, len(blob), 0, 0)
        data += blob + b"\0" * (-len(blob) % 8)
    return bytes(body + data)


def image(tree):
    section = rsrc(tree)
    raw = section + b"\0" * (-len(section) % ALIGN)
    dos = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40)
    file_header = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x0102)
    opt = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII",
                      0x10B, 2, 30, 0, len(raw), 0, 0, 0, 0, 0x400000, 0x1000, ALIGN, 4, 0, 0, 0, 4, 0, 0,
                      RSRC_RVA + 0x1000, RAW_AT, 0, 2, 0x8140, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    directories = [(0, 0)] * 16
    directories[2] = (RSRC_RVA, len(section))
    opt += b"".join(struct.pack("<II", *d) for d in directories)
    section_header = struct.pack("<8sIIIIIIHHI", b".rsrc", len(section), RSRC_RVA, len(raw), RAW_AT, 0, 0, 0, 0, 0x40000040)
    head = dos + b"PE\0\0" + file_header + opt + section_header
    return head + b"\0" * (RAW_AT - len(head)) + raw


marker = {10: {2: {0x0409: b"selfextr package 1"}}}
package = {
    6: {7: {0x0409: string_block({4: "Example Setup", 5: "Install?"}),
            0x0007: string_block({4: "Beispiel-Setup", 5: "Installieren?"})},
        188: {0x0409: string_block({8: "0", 9: "payload-0123456789abcdef.tar.xz", 10: "app\\setup.exe /quiet"})}},
    10: {2: {0x0409: b"selfextr package 1"}},
}
for name, tree in {"marker": marker, "package": package}.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(image(tree))
