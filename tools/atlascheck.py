#!/usr/bin/env python3
"""Checks atlas files ("atlas-%08x.dat"), written from the file's tables alone.

usage: atlascheck.py [-v] ATLAS_OR_DIRECTORY...

For each file: the header and its name (CRC-32 of the sorted map ids); per
graph the map tables (every record once, at a record start, ascending), the
records (4-aligned, zero padding, rank order), the listing rule (an edge at
its lower-ranked end, at both ends between core nodes, the "below" bit
true), the edge order, every atlas shortcut as the sum of two edges at its
via node with their marks ORed and the area bit of the contraction; the
external-node tree (key order, a reference for every entry and exit node
with its point, cost and type bit). When the .qx files of the atlas lie in
its directory tree, they are read too: every node is a core record of its
map's graph with its flags, and every edge within one map is an edge of
that map's section 10. Prints one line per fault; exits with 1 when any file
has a fault, otherwise prints how many files it checked (-v: also one line
per file). Plain python3, no extra packages.
"""

import os
import re
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxcheck  # noqa: E402
import qxrouting  # noqa: E402

MAGIC = b"qx atlas"
VERSION = 5
COST_MASK = 0x3FFFFFFF
ATLAS_NAME = re.compile(r"(?i)^atlas-[0-9a-f]{8}\.dat$")
Fault = qxcheck.Fault


class Node:
    __slots__ = ("offset", "rank", "position", "entry", "exit", "area", "type0a", "map", "entry_point",
                 "exit_point", "exit_cost", "edges")


class Edge:
    """One listing of an edge at a node: `out` when the node is its from end."""
    __slots__ = ("out", "cost", "marks", "other", "below", "bit30", "via")

    def key(self, host):
        """The edge itself, the same at both of its ends."""
        frm, to = (host, self.other) if self.out else (self.other, host)
        return (frm, to, self.cost, self.marks, self.bit30, self.via)


def read_graph(img, p, maps, metric, faults):
    """Reads one graph at p; returns (nodes in file order, end)."""
    what = "graph %d" % metric
    if p % 4:
        faults.append("%s: starts at %d, not 4-aligned" % (what, p))
    tables = []
    for m in range(maps):
        n = img.u32(p)
        pairs = [(img.u32(p + 4 + 8 * i), img.u32(p + 8 + 8 * i)) for i in range(n)]
        tables.append(pairs)
        p += 4 + 8 * n
    size = img.u32(p)
    p += 4
    first, end = p, p + size
    img.need(first, size, what + " records")
    nodes, at = [], {}
    while p < end:
        n = Node()
        n.offset, n.rank = p, len(nodes)
        word, packed, n_in, n_out = img.u32(p), img.u16(p + 4), img.u8(p + 6), img.u8(p + 7)
        n.position, n.entry, n.exit = word & ~3, bool(word & 1), bool(word & 2)
        n.area, n.type0a, n.map = bool(packed & 1), bool(packed & 2), packed >> 2
        q = p + 8
        if n_in == 255:
            n_in, q = img.u16(q), q + 2
        if n_out == 255:
            n_out, q = img.u16(q), q + 2
        if n_in < 255 and img.u8(p + 6) == 255 or n_out < 255 and img.u8(p + 7) == 255:
            faults.append("%s: record %d: a u16 count below 255" % (what, p))
        img.zeros(q, (q + 3) & ~3, "record %d padding" % p)
        q = (q + 3) & ~3
        n.entry_point = n.exit_point = n.exit_cost = None
        if n.entry:
            n.entry_point, q = (img.i32(q), img.i32(q + 4)), q + 8
        if n.exit:
            n.exit_point, n.exit_cost, q = (img.i32(q), img.i32(q + 4)), img.u32(q + 8), q + 12
        if n.type0a and not (n.entry or n.exit):
            faults.append("%s: record %d: type bit on a node that is neither entry nor exit" % (what, p))
        if n.map >= maps:
            faults.append("%s: record %d: map index %d of %d maps" % (what, p, n.map, maps))
        n.edges = []
        for k in range(n_in + n_out):
            e = Edge()
            w, o, v = img.u32(q), img.u32(q + 4), img.u32(q + 8)
            e.out, e.cost, e.marks = k >= n_in, w >> 2, w & 3
            e.other, e.below, e.bit30, e.via = o & ~3, bool(o & 2), bool(o & 1), v
            n.edges.append(e)
            q += 12
        if q > end:
            raise Fault("%s: record %d runs past the records" % (what, p))
        at[p] = n
        nodes.append(n)
        p = q
    # Map tables: every record once, by map, ascending by position.
    listed = set()
    for m, pairs in enumerate(tables):
        positions = [a for a, _ in pairs]
        if positions != sorted(set(positions)):
            faults.append("%s: map %d table not strictly ascending" % (what, m))
        for position, offset in pairs:
            n = at.get(offset)
            if n is None:
                faults.append("%s: map %d table names %d, no record start" % (what, m, offset))
            elif (n.map, n.position) != (m, position):
                faults.append("%s: map %d table pairs position %d with the record of map %d position %d"
                              % (what, m, position, n.map, n.position))
            elif offset in listed:
                faults.append("%s: record %d listed twice" % (what, offset))
            listed.add(offset)
    if len(listed) != len(nodes):
        faults.append("%s: %d records, %d listed in the map tables" % (what, len(nodes), len(listed)))
    if (size == 0) != (not nodes):
        faults.append("%s: records size %d for %d records" % (what, size, len(nodes)))
    return nodes, at, end


def check_graph(nodes, at, metric, faults):
    what = "graph %d" % metric
    for n in nodes:
        for e in n.edges:
            if e.other not in at:
                raise Fault("%s: record %d: edge to %d, no record start" % (what, n.offset, e.other))
            if e.via & 1 and (e.via & ~1) not in at:
                raise Fault("%s: record %d: shortcut via %d, no record start" % (what, n.offset, e.via & ~1))
    # The core: the top ranks. Nodes listing an edge from above, and entry
    # and exit nodes, are core nodes.
    core = len(nodes)
    for n in nodes:
        if n.entry or n.exit:
            core = min(core, n.rank)
        for e in n.edges:
            if e.below:
                core = min(core, at[e.other].rank)
    listings = {}
    for n in nodes:
        last = {False: -1, True: -1}
        for e in n.edges:
            other = at[e.other]
            if e.below != (other.rank < n.rank):
                faults.append("%s: record %d: below bit %d for an end of rank %d at rank %d"
                              % (what, n.offset, e.below, other.rank, n.rank))
            if other.rank < last[e.out]:
                faults.append("%s: record %d: %s edges out of rank order" % (what, n.offset, "out" if e.out else "in"))
            last[e.out] = other.rank
            if other is n:
                faults.append("%s: record %d: edge to itself" % (what, n.offset))
            if (e.via & 1) == 0 and e.via & 2:
                faults.append("%s: record %d: via %#x with bit 1" % (what, n.offset, e.via))
            listings.setdefault(e.key(n.offset), []).append(n.rank)
    for (frm, to, cost, marks, bit30, via), ranks in listings.items():
        lo, hi = sorted((at[frm].rank, at[to].rank))
        want = [lo, hi] if lo >= core else [lo]
        got = sorted(ranks)
        # Parallel edges: each copy is listed once per end it belongs at.
        if len(got) % len(want) or got != sorted(want * (len(got) // len(want))):
            faults.append("%s: edge %d -> %d (cost %d) listed at ranks %s, expected %s"
                          % (what, frm, to, cost, got, want))
    # Atlas shortcuts: the sum of an in edge and an out edge of their via node.
    for n in nodes:
        for e in n.edges:
            if not e.via & 1 or e.below:
                continue
            frm, to = (n, at[e.other]) if e.out else (at[e.other], n)
            v = at[e.via & ~1]
            if v.rank >= frm.rank or v.rank >= to.rank:
                faults.append("%s: shortcut %d -> %d via %d ranks above an end" % (what, frm.offset, to.offset, v.offset))
                continue
            ins = [h for h in v.edges if not h.out and h.other == frm.offset]
            outs = [h for h in v.edges if h.out and h.other == to.offset]
            found = any(min(a.cost + b.cost, COST_MASK) == e.cost and a.marks | b.marks == e.marks and
                        e.bit30 == (frm.area and to.area and (not v.area or a.bit30 or b.bit30))
                        for a in ins for b in outs)
            if not found:
                faults.append("%s: shortcut %d -> %d via %d (cost %d, marks %d) is no sum of two edges there"
                              % (what, frm.offset, to.offset, v.offset, e.cost, e.marks))


def check_tree(img, start, end, graphs, faults):
    try:
        points = qxrouting.read_tree(img, start, end)
    except Fault as x:
        faults.append("tree: %s" % x)
        return
    seen = set()
    for x, y, refs in points:
        for word, second in refs:
            kind, metric, offset = word & 1, word >> 1 & 1, (word >> 3) * 4
            n = graphs[metric][1].get(offset)
            if n is None:
                faults.append("tree: reference %#x names no record of graph %d" % (word, metric))
                continue
            if not (n.exit if kind else n.entry):
                faults.append("tree: reference %#x to a node that is no %s node" % (word, "exit" if kind else "entry"))
                continue
            point = n.exit_point if kind else n.entry_point
            if (x, y) != point:
                faults.append("tree: reference %#x at (%d, %d), the node's point is %s" % (word, x, y, point))
            if bool(word & 4) != n.type0a:
                faults.append("tree: reference %#x: type bit differs from the node's" % word)
            if kind and second != n.exit_cost:
                faults.append("tree: reference %#x: cost %d, the node's %d" % (word, second, n.exit_cost))
            if (metric, offset, kind) in seen:
                faults.append("tree: reference %#x twice" % word)
            seen.add((metric, offset, kind))
    for metric, (nodes, _) in enumerate(graphs):
        for n in nodes:
            for kind, flag in ((0, n.entry), (1, n.exit)):
                if flag and (metric, n.offset, kind) not in seen:
                    faults.append("tree: %s node %d of graph %d has no reference"
                                  % ("exit" if kind else "entry", n.offset, metric))


def find_maps(directory):
    """Map id -> path of the .qx files below the directory."""
    found = {}
    for root, _, names in os.walk(directory):
        for name in names:
            if name.lower().endswith(".qx"):
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    head = f.read(24)
                if len(head) == 24:
                    found.setdefault(head[8:24], path)
    return found


def check_against_maps(ids, graphs, directory, faults):
    """Every node a core record of its map's graph; edges within a map are its edges."""
    paths = find_maps(directory)
    sections = []
    for i, mid in enumerate(ids):
        path = paths.get(mid)
        if path is None:
            return False
        mf = qxcheck.MapFile(path)
        mf.check_head()
        mf.rebuild()
        off, size = mf.sections[10]
        header, records = qxrouting.read_ch(mf.image, off, off + size)
        half = len(records) // 2
        graphs_of_map = []
        for metric in (0, 1):
            own = records[:half] if metric == 0 else records[half:]
            first = header[2 * metric + 1]
            graphs_of_map.append({r.pos: r for r in own if first and r.pos >= first})
            if len(graphs_of_map[-1]) != header[2 * metric]:
                faults.append("map %d: core count %d, %d core records" % (i, header[2 * metric], len(graphs_of_map[-1])))
        sections.append(graphs_of_map)
    for metric, (nodes, at) in enumerate(graphs):
        what = "graph %d" % metric
        count = [0] * len(ids)
        for n in nodes:
            rec = sections[n.map][metric].get(n.position) if n.map < len(ids) else None
            if rec is None:
                faults.append("%s: record %d: no core record at %d of map %d" % (what, n.offset, n.position, n.map))
                continue
            count[n.map] += 1
            if n.area != bool(rec.flags & 4):
                faults.append("%s: record %d: area bit differs from the map's" % (what, n.offset))
            if (n.entry or n.exit) and n.type0a != bool(rec.flags & 2):
                faults.append("%s: record %d: type bit differs from the map's" % (what, n.offset))
            if n.entry and not rec.flags & 1 or n.exit and not rec.end_ext:
                faults.append("%s: record %d: entry or exit without an external node in its map" % (what, n.offset))
            if n.exit and rec.end_ext and n.exit_cost != rec.time_cost:
                faults.append("%s: record %d: exit cost %d, the map's %d" % (what, n.offset, n.exit_cost, rec.time_cost))
            mine = ({(o, c, mk, b30, v) for c, mk, o, b30, v in rec.ins},
                    {(o, c, mk, b30, v) for c, mk, o, b30, v in rec.outs})
            for e in n.edges:
                other = at[e.other]
                if e.via & 1 or other.map != n.map:
                    continue
                if (other.position, e.cost, e.marks, int(e.bit30), e.via) not in mine[e.out]:
                    faults.append("%s: record %d: edge to %d is not in map %d's section 10"
                                  % (what, n.offset, e.other, n.map))
        for i, graph in enumerate(sections):
            if count[i] != len(graph[metric]):
                faults.append("%s: map %d has %d core records, %d atlas nodes" % (what, i, len(graph[metric]), count[i]))
    return True


def check_file(path):
    """Returns (faults, whether the maps were read)."""
    faults = []
    with open(path, "rb") as f:
        data = f.read()
    img = qxcheck.Image(data)
    try:
        if data[:8] != MAGIC:
            raise Fault("header: bad magic %r" % data[:8])
        version, count = img.u16(8), img.u16(10)
        if version != VERSION:
            faults.append("header: version %d, expected %d" % (version, VERSION))
        img.need(12, 16 * count, "map ids")
        ids = [data[12 + 16 * i:28 + 16 * i] for i in range(count)]
        if ids != sorted(ids):
            faults.append("header: map ids not ascending")
        name = "atlas-%08x.dat" % zlib.crc32(b"".join(ids))
        if os.path.basename(path) != name:
            faults.append("name: expected %s" % name)
        p = 12 + 16 * count
        graphs = []
        for metric in (0, 1):
            nodes, at, p = read_graph(img, p, count, metric, faults)
            check_graph(nodes, at, metric, faults)
            graphs.append((nodes, at))
        check_tree(img, p, len(data), graphs, faults)
        maps = check_against_maps(ids, graphs, os.path.dirname(os.path.abspath(path)), faults) if count else True
    except Fault as x:
        faults.append(str(x))
        maps = False
    return faults, maps


def check_files(paths, verbose):
    """Prints the faults of each atlas file (-v: a line for a good one too); returns the number of
    files with faults and of good ones checked without their maps."""
    bad = alone = 0
    for path in paths:
        faults, maps = check_file(path)
        for fault in faults:
            print("%s: %s" % (path, fault))
        bad += bool(faults)
        alone += not faults and not maps
        if verbose and not faults:
            print("%s: ok%s" % (path, "" if maps else " (maps not found: checked alone)"))
    return bad, alone


def main(argv):
    verbose = "-v" in argv
    paths = [a for a in argv if a != "-v"]
    if not paths:
        print(__doc__.strip().splitlines()[2])
        return 2
    files = []
    for p in paths:
        if os.path.isdir(p):
            files += [os.path.join(p, n) for n in sorted(os.listdir(p)) if ATLAS_NAME.match(n)]
        else:
            files.append(p)
    if not files:
        print("no atlas files found")
        return 1
    bad, alone = check_files(files, verbose)
    if bad:
        return 1
    print("%s checked: all valid%s" % (qxcheck.counted(len(files), "atlas file"),
                                       " (%d without its maps, which were not found)" % alone if alone else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
