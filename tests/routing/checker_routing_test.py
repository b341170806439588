"""The file checker's routing part on a converted map with one wrong value
in each region it checks: section 10 (header, road references, edge
targets, marks, shortcut costs, the storage rule), section 11, section 8
and the road blocks. The map: a street grid without boundary nodes (its
nodes are contracted, so shortcuts exist) joined to a star of eight roads
whose ends are boundary nodes (core nodes, an external-node tree, and
junctions with seven or more exits)."""
import hashlib
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "mapfile"))
import qxmaps  # noqa: E402
from qxmaps import qxcheck  # noqa: E402

sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import qxrouting  # noqa: E402

args, check, conv = qxmaps.start()


def pt(x, y):
    return "(%.6f,%.6f)" % (46 + y / 1000.0, 8 + x / 1000.0)


def road(rid, points, nodes, one_way=False):
    text = "[POLYLINE]\nType=0x04\nRoadID=%d\nRouteParam=4,2,%d,0,0,0,0,0,0,0,0,0\n" % (rid, 1 if one_way else 0)
    text += "Data0=" + ",".join(pt(x, y) for x, y in points) + "\n"
    text += "".join("Nod%d=%d,%s\n" % (i + 1, i, n) for i, n in enumerate(nodes))
    return text + "[END]\n"


MAP = qxmaps.header("Routes", (24, 20))
rid = 1000
for y in range(4):  # grid nodes 1..16, one link per road
    for x in range(4):
        n = 1 + 4 * y + x
        if x < 3:
            MAP += road(rid, [(x, y), (x + 1, y)], [str(n), str(n + 1)], one_way=(x + y) % 5 == 0)
            rid += 1
        if y < 3:
            MAP += road(rid, [(x, y), (x, y + 1)], [str(n), str(n + 4)])
            rid += 1
MAP += road(rid, [(3, 3), (5, 5)], ["16", "100"])
rid += 1
for k, (dx, dy) in enumerate(((1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1))):
    if (dx, dy) == (-1, -1):
        continue  # the way back to the grid
    MAP += road(rid, [(5, 5), (5 + dx, 5 + dy)], ["100", "%d,1" % (101 + k)])
    rid += 1
MAP += road(rid, [(5, 5), (7, 4)], ["100", "120,1"])
MAP += "[Restrict]\nTraffPoints=1,2,3,7\nTraffRoads=1000,1002,1005\n[END]\n"

mf, out = conv.converted(check, "routes", MAP, compress=False)
check.true("core and tree", "Distance graph:" in out and mf is not None and mf.sections[11][1] > 0, out)
if mf is None:
    check.finish()
data = mf.file
img = mf.image
ch_start, ch_end = mf.section(10)
header, records = qxrouting.read_ch(img, ch_start, ch_end)
at = {r.pos: r for r in records}


def u32(pos):
    return struct.unpack_from("<I", data, pos)[0]


def faults_with(changes, name):
    b = bytearray(data)
    for pos, value in changes:
        struct.pack_into("<I", b, pos, value)
    b[8:24] = hashlib.md5(bytes(b[24:])).digest()
    path = os.path.join(args.tmp, name + ".qx")
    with open(path, "wb") as f:
        f.write(bytes(b))
    return qxcheck.check_file(path)


def expect(name, changes, words):
    faults = faults_with(changes, name)
    check.true(name, any(words in f for f in faults), "expected %r in %r" % (words, faults))


def edge_pos(r, outgoing, i):
    """Image offset of an edge of a record."""
    n_in, n_out = len(r.ins), len(r.outs)
    p = r.pos + 12 + (2 if n_in >= 255 else 0) + (2 if n_out >= 255 else 0)
    p = (p + 3) & ~3
    return p + 12 * ((n_in if outgoing else 0) + i)


check.equal("the checker passes the map", qxcheck.check_file(os.path.join(args.tmp, "routes", "out", "routes.qx")), [])

expect("core count", [(ch_start, header[0] + 1)], "section 10 header")
first = records[0]
expect("record road reference", [(first.pos, 12345)], "names no link")
plain = next((r, o, i) for r in records for o in (False, True) for i, e in enumerate(r.outs if o else r.ins)
             if e[4] == 0)
p = edge_pos(*plain)
expect("edge target", [(p + 4, u32(p + 4) + 4)], "no record of its graph")
expect("plain edge marks", [(p, u32(p) ^ 2)], "plain edge marks")
expect("turn cost", [(p, u32(p) + (500 << 2))], "turn cost")
shortcut = next(((r, o, i) for r in records for o in (False, True) for i, e in enumerate(r.outs if o else r.ins)
                 if e[4]), None)
check.true("the map has shortcuts", shortcut is not None)
if shortcut:
    p = edge_pos(*shortcut)
    expect("shortcut cost", [(p, u32(p) + 4)], "not the sum of its halves")
    expect("shortcut via", [(p + 8, shortcut[0].pos)], "not the sum of its halves")
# An edge stored only at the later of two records: the other end lost it.
pair = next((r, o, i, e) for r in records for o in (False, True) for i, e in enumerate(r.outs if o else r.ins)
            if e[2] < r.pos)
p = edge_pos(*pair[:3])
earlier = at[pair[3][2]]
twin = next(i for i, e in enumerate(earlier.ins if pair[1] else earlier.outs) if e[2] == pair[0].pos)
q = edge_pos(earlier, not pair[1], twin)
expect("storage rule", [(q, u32(q) + 4)], "not stored there too")

tree_start, tree_end = mf.section(11)
expect("tree reference", [(tree_start + 12, u32(tree_start + 12) ^ (1 << 3))], "section 11")
check.true("the tree root has a left subtree", u32(tree_start + 8) >> 9 > 0)
expect("tree point", [(tree_start + 4, (u32(tree_start + 4) - 1000000) & 0xFFFFFFFF)], "wrong side")

s8 = mf.section(8)[0]
flagged = u32(s8 + 4)
entry = s8 + 8 + 8 * flagged
expect("section 8 index", [(s8 + 12, u32(s8 + 12) + 8)], "index")
expect("section 8 node id", [(entry + 16 + 8, 0)], "section 8")

roads = mf.lines.roads
road0 = next(r for r in roads if r.blocks)
block = road0.blocks[0]
expect("block CH record", [(block.pos, block.time[0] + 4)], "CH record")
item_road = next(r for r in roads if any(b.items[0] for b in r.blocks))
b = next(b for b in item_road.blocks if b.items[0])
items = b.pos + (8 if item_road.one_way else 16) + 4 + (4 if (data[b.pos + (8 if item_road.one_way else 16) + 2] & 0x3F) == 0x3F else 0)
expect("item link index", [(items + 4, u32(items + 4) | 0xFFF)], "names no link")
escaped = next((r, b) for r in roads for b in r.blocks if max(len(x) for x in b.items) >= 7)
counts = escaped[1].pos + (8 if escaped[0].one_way else 16) + 2
# The forward byte no longer escapes: it reads as 6 exits and 7 entries.
expect("escape", [(counts, u32(counts) & ~0x3F | 0x3E)], "without the escape")
expect("route-node reference", [(road0.blocks[0].pos - 4 * len(road0.node_refs), 8)], "section 8 entry")

check.finish()
