"""The atlas checker (tools/atlascheck.py) on atlases the program writes: it passes them, with the maps
and alone, and reports one wrong value in each region it checks.

The maps are a street grid cut into two tiles at a column of nodes, bound in both tiles; the grid's
outer columns are bound too, so that the atlas has entry and exit nodes and a tree."""
import os
import shutil
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harness  # noqa: E402

args = harness.parse_args()
check = harness.Checker()
sys.path.insert(0, os.path.join(args.source, "tools"))
import atlascheck  # noqa: E402

W, H, CUT = 9, 6, 4
HEADER = "[IMG ID]\nName=Tile\nLevel0=24\nLevel1=20\n[END-IMG ID]\n"


def point(x, y):
    return "(%.6f,%.6f)" % (46 + y * 0.001 + (x * 7 % 5) * 0.0001, 8 + x * 0.001 + (y * 3 % 4) * 0.0001)


def node(x, y, tile):
    bound = x in (0, W - 1) or x == CUT
    return "%d,%d%s" % (tile, y * W + x + 1, ",1" if bound else "")


def tiles():
    texts = [HEADER, HEADER]
    road = 100
    for y in range(H):
        for x in range(W):
            for dx, dy in ((1, 0), (0, 1)):
                if x + dx >= W or y + dy >= H or (x * 5 + y * 3 + dx) % 7 == 0:
                    continue
                tile = 0 if max(x, x + dx) <= CUT else 1
                params = "%d,%d,%d,0,0,0,0,0,0,0,0,0" % ((x + y) % 8, y % 5, (x * y) % 6 == 1)
                extra = "RouteParamExt=1\n" if 1 <= x <= 3 and 1 <= y <= 3 else ""
                kind = "0x0a" if (x + 2 * y) % 9 == 0 else "0x04"
                texts[tile] += ("[POLYLINE]\nType=%s\nRoadID=%d\nRouteParam=%s\n%sData0=%s,%s\nNod1=%s\nNod2=%s\n[END]\n"
                                % (kind, road, params, extra, point(x, y), point(x + dx, y + dy),
                                   node(x, y, 0), node(x + dx, y + dy, 1)))
                road += 1
    return texts


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="") as f:
        f.write(text)


src = os.path.join(args.tmp, "in")
out = os.path.join(args.tmp, "out") + "/"
for d in (src, out):
    shutil.rmtree(d, ignore_errors=True)
for i, text in enumerate(tiles()):
    write(os.path.join(src, "tile%d.mp" % i), text)
cfg = os.path.join(args.tmp, "p.cfg")
write(cfg, "map=%s/\noutput=%s\natlas=input\n" % (src, out))
rc, log = harness.run(args.program, cfg)
check.equal("program exit code", rc, 0)
atlases = [n for n in os.listdir(out) if n.startswith("atlas-")]
check.equal("one atlas", len(atlases), 1)
if not atlases:
    check.finish()
path = os.path.join(out, atlases[0])
faults, maps = atlascheck.check_file(path)
check.equal("the written atlas passes", faults, [])
check.true("the maps were found and read", maps)
alone = os.path.join(args.tmp, "alone")
shutil.rmtree(alone, ignore_errors=True)
os.makedirs(alone)
shutil.copy(path, alone)
faults, maps = atlascheck.check_file(os.path.join(alone, atlases[0]))
check.equal("the atlas alone passes", faults, [])
check.true("alone: no maps", not maps)

# Where things are, found with the checker's own reader.
data = open(path, "rb").read()
img = atlascheck.qxcheck.Image(data)
count = struct.unpack_from("<H", data, 10)[0]
nodes, at, end = atlascheck.read_graph(img, 12 + 16 * count, count, 0, [])
tree = atlascheck.read_graph(img, end, count, 1, [])[2]
check.true("the atlas has entry and exit nodes", any(n.entry for n in nodes) and any(n.exit for n in nodes))


def head_end(n):
    """Where a record's points (or edges) begin."""
    ins = len([e for e in n.edges if not e.out])
    q = n.offset + 8 + (2 if ins >= 255 else 0) + (2 if len(n.edges) - ins >= 255 else 0)
    return (q + 3) & ~3


def edge_places():
    """(node, edge, offset of the edge) of graph 0."""
    for n in nodes:
        q = head_end(n) + (8 if n.entry else 0) + (12 if n.exit else 0)
        for e in n.edges:
            yield n, e, q
            q += 12


places = list(edge_places())
shortcut = next(((n, e, q) for n, e, q in places if e.via & 1 and not e.below), None)
map_edge = next(((n, e, q) for n, e, q in places if not e.via & 1 and at[e.other].map == n.map), None)
upward = next(((n, e, q) for n, e, q in places if not e.below), None)
exit_node = next(n for n in nodes if n.exit)
check.true("the atlas has a shortcut and a map edge", shortcut is not None and map_edge is not None)
tables = 12 + 16 * count


def u32_at(offset, change):
    def apply(b):
        v = struct.unpack_from("<I", b, offset)[0]
        struct.pack_into("<I", b, offset, change(v))
    return apply


mutations = [
    ("version", lambda b: struct.pack_into("<H", b, 8, 6), "header: version 6"),
    ("map ids", lambda b: b.__setitem__(slice(12, 44), b[28:44] + b[12:28]), "not ascending"),
    ("table offset", u32_at(tables + 8, lambda v: v + 4), "table"),
    ("rank order: below bit", u32_at(upward[2] + 4, lambda v: v | 2), "below bit"),
    ("shortcut cost", u32_at(shortcut[2], lambda v: v + 4), "no sum of two edges"),
    ("map edge cost", u32_at(map_edge[2], lambda v: v + 4), "section 10"),
    ("exit cost", u32_at(head_end(exit_node) + (8 if exit_node.entry else 0) + 8, lambda v: v + 1), "cost"),
    ("area bit", lambda b: struct.pack_into("<H", b, nodes[0].offset + 4,
                                            struct.unpack_from("<H", b, nodes[0].offset + 4)[0] ^ 1), "area bit"),
    ("tree point", u32_at(tree, lambda v: v + 1), "tree:"),
]

# Wrong files beside copies of the maps, so that the checks against the maps run too.
bad_dir = os.path.join(out, "bad")
os.makedirs(bad_dir)
for n in os.listdir(out):
    if n.endswith(".qx"):
        shutil.copy(os.path.join(out, n), bad_dir)
bad = os.path.join(bad_dir, atlases[0])
for name, mutate, expected in mutations:
    b = bytearray(data)
    mutate(b)
    open(bad, "wb").write(bytes(b))
    faults, _ = atlascheck.check_file(bad)
    check.true("%s: reported" % name, any(expected in f for f in faults), faults)

# The command line: exit code 1 and a line per fault.
rc = atlascheck.main([bad_dir])
check.equal("command line exit code on a bad file", rc, 1)
check.equal("command line exit code on the good one", atlascheck.main([out]), 0)
check.finish()
