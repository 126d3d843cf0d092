#!/usr/bin/env python3
# Writes hostile copies of a launcher stub into a folder, each named for what
# is wrong with it: layouts no valid image has (file data in the headers,
# alignments of 0 or huge, sections out of order or overlapping), resource
# trees whose leaves share one block or run out of their section, base
# relocations that would patch the payload, a data directory that runs into
# the resources, data after the last section. Also manifest-tab.exe, a sound
# stub whose manifest has a tab before version=.
# Sections are keyed by index (the x86 image has two of one name).
# Usage: hostile-stubs.py STUB FOLDER
import struct, sys
stub, outdir = sys.argv[1], sys.argv[2]
base = open(stub, "rb").read()
pe = struct.unpack_from("<I", base, 0x3C)[0]
count, optsize = struct.unpack_from("<H", base, pe + 6)[0], struct.unpack_from("<H", base, pe + 20)[0]
opt = pe + 24
dirs = opt + (112 if struct.unpack_from("<H", base, opt)[0] == 0x20B else 96)
table = opt + optsize
def sec(i): return table + 40 * i  # header offset, sections keyed by index
fields = lambda d, i: struct.unpack_from("<IIII", d, sec(i) + 8)  # vsize, va, raw, ptr
rsrc_va = struct.unpack_from("<I", base, dirs + 16)[0]
r = next(i for i in range(count) if fields(base, i)[1] == rsrc_va)
rv, ra, rr, rp = fields(base, r)
crafts = {}
def craft(name, *puts):
    d = bytearray(base)
    for at, value in puts: struct.pack_into("<I", d, at, value)
    crafts[name] = d
# 1: the resources' file data inside the headers, the section before stretched over it; and at 0
prev = fields(base, r - 1)
craft("resources-in-headers", (opt + 36, 0x200), (sec(r) + 20, 0x200), (sec(r - 1) + 16, prev[2] + rr))
craft("resources-at-0", (sec(r) + 20, 0))
# 2, 3: alignments
craft("file-alignment-0", (opt + 36, 0))
craft("section-alignment-0", (opt + 32, 0))
for a in (0x10000000, 0xFFFF0000, 0xFFFFFFF8): craft("file-alignment-%X" % a, (opt + 36, a))
# 4: a section before the resources with its data after them, or overlapping them
craft("section-data-after-resources", (sec(r - 1) + 20, rp + rr))
craft("section-data-over-resources", (sec(r - 1) + 16, prev[2] + 0x1000))
# 6 and 8: resource trees; walk to the icon's leaf
def entries(d, off):
    named, ids = struct.unpack_from("<HH", d, rp + off + 12)
    return [(off + 16 + 8 * i,) + struct.unpack_from("<II", d, rp + off + 16 + 8 * i) for i in range(named + ids)]
icon_type = next(e for e in entries(base, 0) if e[1] == 3)
icon_name = entries(base, icon_type[2] & 0x7FFFFFFF)[0]
icon_lang = entries(base, icon_name[2] & 0x7FFFFFFF)[0]
# 6: the slack after the tree holds a language table of many leaves sharing one data entry for the whole tree
d = bytearray(base)
t = (rv + 7) & ~7
n = (rr - t - 32) // 8
struct.pack_into("<HH", d, rp + t + 12, 0, n)
for i in range(n): struct.pack_into("<II", d, rp + t + 16 + 8 * i, i, t + 16 + 8 * n)
struct.pack_into("<II", d, rp + t + 16 + 8 * n, ra, t)
struct.pack_into("<I", d, rp + icon_name[0] + 4, 0x80000000 | t)
struct.pack_into("<I", d, sec(r) + 8, rr)
struct.pack_into("<I", d, dirs + 20, rr)
crafts["resources-sharing-data"] = d
# 8: the icon's data runs past the section
craft("icon-data-outside", (rp + icon_lang[2] + 4, 0x100000))
# 10: the first base relocation block moved to the resources' first page
reloc_rva = struct.unpack_from("<I", base, dirs + 40)[0]
x = next(i for i in range(count) if fields(base, i)[1] <= reloc_rva < fields(base, i)[1] + fields(base, i)[0])
craft("relocations-into-resources", (fields(base, x)[3] + reloc_rva - fields(base, x)[1], ra))
# 11: the import directory's size running on into the resources
import_rva = struct.unpack_from("<I", base, dirs + 8)[0]
craft("import-directory-into-resources", (dirs + 12, ra + 16 - import_rva))
# 12: an overlay after the last section
crafts["overlay"] = bytearray(base) + bytes(512)
for name, d in crafts.items(): open("%s/%s.exe" % (outdir, name), "wb").write(d)
# 9: the manifest's version attribute after a tab
i = base.index(b'name="Vantor.VantorSetup" version=')
d = bytearray(base); d[i + 25] = 9
open("%s/manifest-tab.exe" % outdir, "wb").write(d)
