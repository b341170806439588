"""Level trees and object records through the real program: which levels
hold which objects, level bytes, ring orientation, draw depth, opening
hours, entry points, house-number intervals and route-node checks."""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxmaps  # noqa: E402
from qxmaps import harness, header, load, u16, u32  # noqa: E402

args, check, conv = qxmaps.start()


def converted(name, text, params=""):
    return conv.converted(check, name, text, params=params)


def level_items(mf, sid):
    return [sorted(leaves) for leaves in qxmaps.trees(mf, sid)]


def record_levels(mf, sid, start):
    """Tree levels whose leaves name the record."""
    want = start | (0x80000000 if sid == 6 and start in mf.polygons.starts else 0)
    return [level for level, leaves in enumerate(qxmaps.trees(mf, sid)) if want in leaves]


def polyline(label="L", level_keys="Data0=(45.0,13.0),(45.01,13.01)\n", extra=""):
    return "[POLYLINE]\nType=0x06\nLabel=%s\n%s%s[END]\n" % (label, level_keys, extra)


def square(x, y, size, level=0, reverse=False):
    pts = [(y, x), (y + size, x), (y + size, x + size), (y, x + size)]  # (lat, lon), counter-clockwise
    if not reverse:
        pts.reverse()
    return "Data%d=%s\n" % (level, ",".join("(%.6f,%.6f)" % p for p in pts))


def polygon(keys, extra="", label="P"):
    return "[POLYGON]\nType=0x03\nLabel=%s\n%s%s[END]\n" % (label, keys, extra)


def poly_fields(mf, start):
    """(label point, ring level bytes, flags, depth byte, rings of (x, y))."""
    d = mf.image.data
    x, y = struct.unpack_from("<ii", d, start + 24)
    _, p = qxmaps.text_at(d, start + 32)
    k = u16(d, p)
    levels = list(d[p + 3:p + 3 + k])
    flags, depth = d[p + 3 + k], d[p + 4 + k]
    p = (p + 5 + k + 3) // 4 * 4
    counts = [u32(d, p + 4 * i) for i in range(k)]
    p += 4 * k
    rings = []
    for n in counts:
        rings.append([struct.unpack_from("<ii", d, p + 8 * i) for i in range(n)])
        p += 8 * n
    return (x, y), levels, flags, depth, rings


def area2(ring):
    return sum(ring[i - 1][0] * ring[i][1] - ring[i][0] * ring[i - 1][1] for i in range(len(ring)))


# ---- levels -------------------------------------------------------------------

mf, _ = converted("two_levels", header(levels=(24, 20)) + polyline() + "[POI]\nType=1\nData0=(45,13)\n[END]\n")
if mf:
    check.equal("n = 2: one tree per section", (len(qxmaps.trees(mf, 5)), len(qxmaps.trees(mf, 6))), (1, 1))

text = header(levels=(24, 22, 20, 18))
text += polyline("a", "Data1=(45.0,13.0),(45.01,13.01)\n", "EndLevel=3\n")       # levels 1-2 (top tree level 2)
text += polyline("b", "Data0=(45.0,13.0),(45.01,13.01)\n", "EndLevel=9\n")       # EndLevel past the table
text += polyline("c", "Data2=(45.0,13.0),(45.01,13.01)\n", "EndLevel=1\n")       # EndLevel below its entry: no record
text += polyline("d", "Data7=(45.0,13.0),(45.01,13.01)\n")                       # level past the table: no record
text += polyline("e", "Data0=(45.0,13.0),(45.01,13.01)\nData2=(45.0,13.0),(45.01,13.01)\n", "EndLevel=-4\n")
text += "[POI]\nType=1\nData1=(45,13)\nEndLevel=0\n[END]\n"                       # no record
mf, _ = converted("n4", text)
if mf:
    lines = mf.lines.starts
    check.equal("n = 4: three trees each", (len(qxmaps.trees(mf, 5)), len(qxmaps.trees(mf, 6))), (3, 3))
    check.equal("records of a, b, e only", len(lines), 3)
    check.equal("polyline counts all", u32(mf.image.data, mf.sections[3][0]), 5)
    check.equal("POI count all, no POI record", (u32(mf.image.data, mf.sections[2][0]), mf.pois.starts), (1, []))
    by_label = {}
    for s in lines:
        by_label[qxmaps.text_at(mf.image.data, s + 20 + 58)[0]] = s
    check.equal("a on levels 1-2", record_levels(mf, 5, by_label.get("a", 0)), [1, 2])
    check.equal("b on levels 0-2", record_levels(mf, 5, by_label.get("b", 0)), [0, 1, 2])
    check.equal("e on level 0 only", record_levels(mf, 5, by_label.get("e", 0)), [0])
    # Level bytes of b: one entry, lower code 255, EndLevel 9 clamped to the last level (18 bits).
    d = mf.image.data
    _, p = qxmaps.text_at(d, by_label["b"] + 20 + 58)
    check.equal("b level bytes", list(d[p:p + 3]), [1, 255, 18])
    _, p = qxmaps.text_at(d, by_label["e"] + 20 + 58)
    check.equal("e level bytes: negative EndLevel clamps to level 0", list(d[p:p + 4]), [2, 255, 24, 24])

# A polyline with one entry on level 1, EndLevel 3 and n = 3 sits on level 1 only.
mf, _ = converted("n3", header() + polyline("x", "Data1=(45.0,13.0),(45.01,13.01)\n", "EndLevel=3\n"))
if mf:
    check.equal("clamped to the top tree level", level_items(mf, 5)[0], [])
    check.equal("on level 1", len(level_items(mf, 5)[1]), 1)

# With a layers file: the type's range, level 0 for a missing type, first entry only.
layers = conv.params_file("layers.txt", "level0=23\nlevel1=21\nlevel2=19\n[poi]\n2a00,0,1\n[polyline]\n6,1,1\n"
                          "[polygon]\n3,0,0\n")
text = header(levels=(24, 22))
text += polyline("x", "Data0=(45.0,13.0),(45.01,13.01)\nData1=(45.0,13.0),(45.02,13.02)\n")
text += "[POLYLINE]\nType=0x07\nLabel=y\nData0=(45.0,13.0),(45.01,13.01)\n[END]\n"
text += "[POI]\nType=0x2a00\nData0=(45,13)\n[END]\n[POI]\nType=0x2b00\nData1=(45,13)\n[END]\n"
text += polygon(square(13, 45, 0.01) + square(13, 45, 0.002, reverse=True) + square(13, 45, 0.01, level=1))
mf, _ = converted("layers", text, params="layers=%s\n" % layers)
if mf:
    check.equal("layers levels", mf.levels, [23, 21, 19])
    items5 = level_items(mf, 5)
    check.equal("polyline tree sizes", [len(x) for x in items5], [1, 1])  # y on 0, x on 1
    items6 = level_items(mf, 6)
    check.equal("item tree sizes", [len(x) for x in items6], [3, 1])
    _, levels, _, _, rings = poly_fields(mf, mf.polygons.starts[0])
    check.equal("layers: first level run written", (len(rings), levels), (2, [23, 23]))

# A polyline of more than 255 geometry entries (alternating levels, so no
# split) would need more than its count byte: the map is given up.
entries = "".join("Data%d=(45.0,13.0),(45.01,13.01)\n" % (i % 2) for i in range(256))
rc, out, qx = conv.convert("many_entries", header() + polyline("m", entries))
check.true("256 entries refused", "Too many geometry entries (256) in one polyline" in out, out)
check.true("256 entries leave no file", not os.path.exists(qx))

# ---- polygons ---------------------------------------------------------------

text = header()
text += polygon(square(13.0, 45.0, 1.0, reverse=True) + square(13.2, 45.2, 0.2, reverse=True), label="outer ccw")
text += polygon(square(13.1, 45.1, 0.6), label="middle")
text += polygon(square(13.3, 45.3, 0.1), label="inner")
text += polygon(square(20.0, 45.0, 0.1), label="apart")
text += polygon("Data0=(-16.49,179.995),(-16.49,-179.995),(-16.48,-179.995),(-16.48,179.995)\n", label="dateline")
mf, _ = converted("polygons", text)
if mf:
    got = {}
    for s in mf.polygons.starts:
        got[qxmaps.text_at(mf.image.data, s + 32)[0]] = poly_fields(mf, s)
    outer = got.get("outer ccw")
    if outer:
        check.true("outer ring turned clockwise", area2(outer[4][0]) < 0)
        check.true("hole turned counter-clockwise", area2(outer[4][1]) > 0)
    check.equal("draw depths", [got[n][3] for n in ("outer ccw", "middle", "inner", "apart") if n in got], [0, 1, 2, 0])
    check.equal("convex flag", got["middle"][2] & 1, 1)
    x = got["dateline"][0][0] / 2.0 ** 23
    check.true("label point of a polygon across 180 lies at the meridian", abs(abs(x) - 180) < 0.01, str(x))

# Draw depth above 256 clamps to 255.
text = header() + "".join(polygon(square(13 + 0.001 * i, 45 + 0.001 * i, 1 - 0.002 * i)) for i in range(300))
mf, _ = converted("deep_nesting", text)
if mf:
    depths = [poly_fields(mf, s)[3] for s in mf.polygons.starts]
    check.equal("depth byte clamps at 255", max(depths), 255)

# ---- POI blocks -------------------------------------------------------------

text = header() + ("[POI]\nType=0x2a00\nLabel=Shop\nData0=(45.1,13.5)\n"
                   "OpeningHours=Dec 24-Jan 02 Fr-Mo,Su[1,-1] 08:00-12:00,sunset-(sunrise+01:00),18:00+\n"
                   "EntryPoint=(45.1001,13.5001),Gate\nEntryPoint=(45.1002,13.5002)\n[END]\n")
mf, _ = converted("poi_blocks", text)
if mf and mf.pois.starts:
    d = mf.image.data
    s = mf.pois.starts[0]
    _, p = qxmaps.text_at(d, s + 24)
    _, p = qxmaps.text_at(d, p)
    p = (p + 3 + 3) // 4 * 4 + 8
    check.equal("opening hours block", bytes(d[p:p + 24]), bytes(
        [22, 0, 7, 0xE3, 0x40, 0x38, 0, 0, 0x1C, 24, 2, 0,
         0xE0, 0x11, 0xD0, 0x92, 0x00, 0x30, 0x3C, 0xC0, 0x38, 0x14, 0x00, 0x00]))
    p += 24
    for _ in range(5):
        _, p = qxmaps.text_at(d, p)
    p += p % 2
    check.equal("entry points", u16(d, p), 2)
    name, _ = qxmaps.text_at(d, p + 2)
    check.equal("entry point text", name, "Gate")

# ---- roads ------------------------------------------------------------------

pts = ",".join("(45.%04d,13.%04d)" % (i, i) for i in range(10))
road = "[POLYLINE]\nType=0x06\nLabel=R\nRoadID=7\nRouteParam=3,2,1,0,0,0,0,0,0,0,0,0\nData0=%s\n%s[END]\n"
mf, out = converted("nodes_ok", header() + road % (pts, "Nod1=0,1,0\nNod2=5,2,0\nNod3=5,3,0\n"))
if mf and mf.lines.starts:
    s = mf.lines.starts[0]
    d = mf.image.data
    check.equal("road id", u32(d, s + 20), 7)
    check.equal("speed limit of class 3", d[s + 24], 60)
    check.equal("flags: one-way, class 2", u16(d, s + 26), 1 | 2 << 11)
    check.equal("node count", u16(d, s + 76), 3)
    check.equal("point indexes", [u16(d, s + 82 + 2 * i) for i in range(3)], [0, 5, 5])
    blocks = [u16(d, s + 78 + 2 * i) for i in range(2)]
    check.true("segment blocks inside the record, in order", 82 < blocks[0] < blocks[1] < u32(d, s), blocks)
rc, out, qx = conv.convert("nodes_back", header() + road % (pts, "Nod1=0,1,0\nNod2=5,2,0\nNod3=4,3,0\n"))
check.true("0,5,4 refused", "Wrong node point index (RoadId = 7)" in out and "Ok (" not in out, out)
check.true("refused map leaves no file", not os.path.exists(qx))
rc, out, qx = conv.convert("nodes_past", header() + road % (pts, "Nod1=0,1,0\nNod2=10,2,0\n"))
check.true("index past the points refused", "Wrong node point index (RoadId = 7)" in out, out)
# A car-denied road is written as a plain polyline.
mf, _ = converted("no_cars", header() + road.replace("3,2,1,0,0,0,0", "3,2,1,0,0,0,1") % (pts, "Nod1=0,1,0\n"))
if mf and mf.lines.starts:
    s = mf.lines.starts[0]
    check.true("car-denied road block is zero", not any(mf.image.data[s + 20:s + 78]))
# More than 255 house-number intervals: 255 written, with a warning.
numbers = "".join("Numbers%d=0,E,%d,%d,O,1,9\n" % (i + 1, 2 * i, 2 * i + 2) for i in range(300))
mf, out = converted("many_numbers", header() + road % (pts, "Nod1=0,1,0\nNod2=9,2,0\n" + numbers))
check.true("interval warning", "Too many house-number intervals (300, RoadId = 7)" in out, out)
if mf and mf.lines.starts:
    s = mf.lines.starts[0]
    d = mf.image.data
    _, p = qxmaps.text_at(d, s + 78 + 2 + 4)
    check.equal("interval count byte", d[p + 3], 255)

check.finish()
