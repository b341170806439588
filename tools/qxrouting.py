"""Routing checks of tools/qxcheck.py: the segment blocks of the road
records, section 10 (CH graphs), section 11 (external-node tree) and
section 8 (graph node table), from the file format's tables alone.

Road segment block (segment g from route node g to g + 1):
  u32 Time and u32 Distance CH record of g -> g+1; two-way roads also of
  g+1 -> g; u16 packed length; u8 forward (bits 0-2 exits, 3-5 entries,
  6 bound g+1, 7 U-turn at g+1); u8 backward (the same at g); when both
  hold 0x3f in bits 0-5 four u8 counts follow; then 8-byte items: forward
  exits at g+1, forward entries at g, backward exits at g, backward
  entries at g+1 (u32 road record, u32 link index | direction << 16, exits
  also mark << 17 | class << 18 | lane code << 21 | lane byte << 24).
Section 10: 16-byte header (Distance core count and first core record,
  the same for Time), then the records of the Distance graph and of the
  Time graph by rank; a record is u32 road record, u32 link index |
  direction << 16, u8 flags (start external, type 0x0a, area), u8 end
  external, u8/u16 edge counts in and out, pad to 4, 12-byte edges (u32
  cost << 2 | marks, u32 other record | bit 30, u32 via record or 0), and
  the u32 Time cost when the end is external.
Section 11: 2-d tree nodes (i32 x, i32 y, u32 links: list words, right
  flag << 8, left words << 9; reference words, a second u32 after a word
  with bit 0).
Section 8: u32 count, u32 bound count F, F x (node id, entry offset), then
  entries (u32 node id, u8 bound, u8 pairs, u16 0, pairs of u32 road record
  and u32 point index), bound first, each group by node id.
"""


class Fault(Exception):
    pass


MAX_COST = 0x3FFFFFFF


class Block:
    def __init__(self, pos):
        self.pos = pos
        self.time = [0, 0]
        self.distance = [0, 0]
        self.items = [[], [], [], []]


class Road:
    def __init__(self, rec, road_id, one_way, point_indexes, node_refs, blocks):
        self.rec, self.road_id, self.one_way = rec, road_id, one_way
        self.point_indexes, self.node_refs, self.blocks = point_indexes, node_refs, blocks
        self.node_ids = None  # from section 8


def parse_blocks(cur, rec, segments, one_way):
    """The segment blocks of a road record at the cursor; returns them."""
    blocks = []
    for g, off in enumerate(segments):
        if rec + off != cur.pos:
            raise Fault("%s: block of segment %d at %d, its offset says %d" % (cur.what, g, cur.pos, rec + off))
        b = Block(cur.pos)
        b.time[0], b.distance[0] = cur.u32(), cur.u32()
        if not one_way:
            b.time[1], b.distance[1] = cur.u32(), cur.u32()
        b.length = cur.u16()
        fwd, bwd = cur.u8(), cur.u8()
        escaped = fwd & 0x3F == 0x3F and bwd & 0x3F == 0x3F
        if escaped:
            counts = [cur.u8() for _ in range(4)]
            if max(counts) < 7:
                raise Fault("%s: segment %d escapes counts below 7" % (cur.what, g))
        else:
            counts = [fwd & 7, fwd >> 3 & 7, bwd & 7, bwd >> 3 & 7]
            if max(counts) == 7:
                raise Fault("%s: segment %d has a count of 7 without the escape" % (cur.what, g))
        if one_way and (counts[2] or counts[3] or bwd & 0x80):
            raise Fault("%s: one-way segment %d has backward items or a U-turn" % (cur.what, g))
        for k in range(4):
            for _ in range(counts[k]):
                record, word = cur.u32(), cur.u32()
                if k % 2 and word >> 17:
                    raise Fault("%s: segment %d entry item with exit bits %#x" % (cur.what, g, word))
                if word >> 18 & 7 != 0 and word >> 21 & 7:
                    raise Fault("%s: segment %d lane-change code on a turn" % (cur.what, g))
                b.items[k].append((record, word))
        blocks.append(b)
    return blocks


# ---- section 10 -------------------------------------------------------------------------

class ChRecord:
    __slots__ = ("pos", "road", "link", "flags", "end_ext", "ins", "outs", "time_cost", "graph")


def read_ch(img, start, end):
    header = [img.u32(start + 4 * i) for i in range(4)] if end > start else [0, 0, 0, 0]
    records, p = [], start + 16
    while p < end:
        r = ChRecord()
        r.pos = p
        r.road, r.link, r.flags, r.end_ext = img.u32(p), img.u32(p + 4), img.u8(p + 8), img.u8(p + 9)
        n_in, n_out = img.u8(p + 10), img.u8(p + 11)
        p += 12
        if n_in == 255:
            n_in, p = img.u16(p), p + 2
        if n_out == 255:
            n_out, p = img.u16(p), p + 2
        if p % 4:
            img.zeros(p, (p + 3) & ~3, "section 10 record padding")
            p = (p + 3) & ~3
        edges = []
        for _ in range(n_in + n_out):
            w, o, v = img.u32(p), img.u32(p + 4), img.u32(p + 8)
            if o & 2:
                raise Fault("record %d: edge target %#x has bit 1" % (r.pos, o))
            edges.append((w >> 2, w & 3, o & ~3, o & 1, v))
            p += 12
        r.ins, r.outs = edges[:n_in], edges[n_in:]
        r.time_cost = None
        if r.end_ext:
            r.time_cost, p = img.u32(p), p + 4
        if p > end:
            raise Fault("record %d runs past the section" % r.pos)
        if r.flags & 0xF8 or r.end_ext > 1 or r.link >> 24 or (r.link >> 16 & 0xFF) > 1:
            raise Fault("record %d: bad flags %#x/%d or link word %#x" % (r.pos, r.flags, r.end_ext, r.link))
        records.append(r)
    return header, records


# ---- section 11 -------------------------------------------------------------------------

def read_tree(img, start, end):
    """[(x, y, refs)] of every node, checking the key bounds of the split
    axes; refs are (word, second or None)."""
    nodes = []
    stack = [(start, end, 1, -2**31, 2**31 - 1, -2**31, 2**31 - 1)]  # axis 1 = y
    while stack:
        p, stop, axis, lox, hix, loy, hiy = stack.pop()
        if p >= stop:
            continue
        if p + 12 > stop:
            raise Fault("tree node at %d runs past its subtree" % p)
        x, y, links = img.i32(p), img.i32(p + 4), img.u32(p + 8)
        if not (lox <= x <= hix and loy <= y <= hiy):
            raise Fault("tree node at %d: point (%d, %d) on the wrong side of an ancestor" % (p, x, y))
        q, list_end, refs = p + 12, p + 12 + 4 * (links & 0xFF), []
        while q < list_end:
            w = img.u32(q)
            refs.append((w, img.u32(q + 4) if w & 1 else None))
            q += 8 if w & 1 else 4
        if q != list_end or not refs:
            raise Fault("tree node at %d: reference list of %d words" % (p, links & 0xFF))
        right = list_end + 4 * (links >> 9)
        if right > stop or bool(links & 0x100) == (right == stop):
            raise Fault("tree node at %d: subtree lengths do not fit" % p)
        nodes.append((x, y, refs))
        key = x if axis == 0 else y
        if axis == 0:
            stack.append((list_end, right, 1, lox, key, loy, hiy))
            stack.append((right, stop, 1, key + 1, hix, loy, hiy))
        else:
            stack.append((list_end, right, 0, lox, hix, loy, key))
            stack.append((right, stop, 0, lox, hix, key + 1, hiy))
    return nodes


def tree_nearest(img, start, end, qx, qy):
    """Squared distance to the nearest tree point, searched with pruning."""
    best = [None]

    def visit(p, stop, axis):
        if p >= stop:
            return
        x, y, links = img.i32(p), img.i32(p + 4), img.u32(p + 8)
        d = (x - qx) ** 2 + (y - qy) ** 2
        if best[0] is None or d < best[0]:
            best[0] = d
        list_end = p + 12 + 4 * (links & 0xFF)
        right = list_end + 4 * (links >> 9)
        key, q = (x, qx) if axis == 0 else (y, qy)
        near, far = ((list_end, right), (right, stop)) if q <= key else ((right, stop), (list_end, right))
        visit(near[0], near[1], 1 - axis)
        gap = key + 1 - q if q <= key else q - key
        if gap * gap <= best[0]:
            visit(far[0], far[1], 1 - axis)

    visit(start, end, 1)
    return best[0]


# ---- the whole check ------------------------------------------------------------------------

def check_routing(mf):
    img = mf.image
    roads = mf.lines.roads
    by_rec = {r.rec: r for r in roads}
    ch_start, ch_end = mf.section(10)
    header, records = read_ch(img, ch_start, ch_end)
    at = {r.pos: r for r in records}
    check_node_table(mf, roads)

    # The graphs: Distance records lie before every Time record the roads name.
    times = [b.time[d] for r in roads for b in r.blocks for d in (0, 1) if b.time[d]]
    split = min(times) if times else ch_end
    for r in records:
        r.graph = 1 if r.pos >= split else 0
    for g, (count, first) in enumerate(((header[0], header[1]), (header[2], header[3]))):
        in_graph = [r.pos for r in records if r.graph == g]
        if count == 0:
            if first:
                raise Fault("section 10 header: graph %d has no core but a first core record %d" % (g, first))
        elif first not in at or at[first].graph != g or len([p for p in in_graph if p >= first]) != count:
            raise Fault("section 10 header: graph %d core of %d records from %d" % (g, count, first))

    # Road references of the records, and of the blocks to the records.
    def link_nodes(rec, word, what):
        if rec == 0:
            return None  # a road without a record (the writer warned)
        road = by_rec.get(rec)
        index, direction = word & 0xFFFF, word >> 16 & 1
        if road is None or index + 1 >= len(road.node_ids) or (direction == 0 and road.one_way):
            raise Fault("%s names no link: record %d, link %d, direction %d" % (what, rec, index, direction))
        a, b = road.node_ids[index], road.node_ids[index + 1]
        return (a, b) if direction else (b, a)

    for r in records:
        link_nodes(r.road, r.link, "section 10 record %d" % r.pos)
    for road in roads:
        for g, b in enumerate(road.blocks):
            for d in (0, 1) if not road.one_way else (0,):
                for graph, pos in ((0, b.distance[d]), (1, b.time[d])):
                    r = at.get(pos)
                    if r is None or r.graph != graph:
                        raise Fault("road %d segment %d: CH record %d of graph %d missing" % (road.road_id, g, pos, graph))
                    if (r.road, r.link) != (road.rec, (1 - d) << 16 | g):
                        raise Fault("road %d segment %d: CH record %d names record %d link %#x"
                                    % (road.road_id, g, pos, r.road, r.link))
            junction = [road.node_ids[g + 1], road.node_ids[g], road.node_ids[g], road.node_ids[g + 1]]
            for k in range(4):
                for rec, word in b.items[k]:
                    ends = link_nodes(rec, word, "road %d segment %d item" % (road.road_id, g))
                    if ends and ends[k % 2] != junction[k]:
                        raise Fault("road %d segment %d: item of list %d does not meet node %d"
                                    % (road.road_id, g, k, junction[k]))

    # Edges: targets and vias at record starts of the graph; each edge at its
    # lower-ranked end, equal ranks at both (records come by rank, so an
    # edge to an earlier record is one between equal ranks); a shortcut the
    # sum of its halves at its via record, marks ORed; a plain edge's U-turn
    # mark when it turns back on its link, type mark from its target.
    def stored(rec, outgoing, other, edge):
        return any(e[2] == other and e[0] == edge[0] and e[1] == edge[1] and e[4] == edge[4]
                   for e in (rec.outs if outgoing else rec.ins))

    for r in records:
        for outgoing, edges in ((False, r.ins), (True, r.outs)):
            for e in edges:
                cost, marks, other, bit30, via = e
                o = at.get(other)
                if o is None or o.graph != r.graph:
                    raise Fault("record %d: edge to %d, no record of its graph" % (r.pos, other))
                if other < r.pos and not stored(o, not outgoing, r.pos, e):
                    raise Fault("record %d: edge to earlier record %d not stored there too" % (r.pos, other))
                u, w = (r, o) if outgoing else (o, r)
                if cost == 0:
                    raise Fault("record %d: edge of cost 0" % r.pos)
                if via == 0 and r.graph == 0 and u.road in by_rec:
                    # A turn costs its first link's metres: near the link's
                    # packed length (chord and arc, and a cosine by whole
                    # degrees, differ by a few per cent; each point step is
                    # rounded to a metre).
                    road, g = by_rec[u.road], u.link & 0xFFFF
                    b = road.blocks[g]
                    metres = (b.length >> 4 << (b.length & 15)) / 128
                    steps = road.point_indexes[g + 1] - road.point_indexes[g]
                    saturated = b.length == 0xFFFF and cost > metres  # a link of over 1048 km
                    if abs(cost - metres) > 2 + steps + 0.03 * metres and not saturated:
                        raise Fault("record %d: turn cost %d for a link of %.0f m" % (r.pos, cost, metres))
                if via == 0:
                    same = u.road == w.road and u.link & 0xFFFF == w.link & 0xFFFF and u.link != w.link
                    if u.road == 0 or w.road == 0:  # a road without a record: its links are unknown
                        same = marks & 1
                    if marks != (1 if same else 0) | (w.flags & 2):
                        raise Fault("record %d: plain edge marks %d" % (r.pos, marks))
                    continue
                v = at.get(via)
                if v is None or v.graph != r.graph:
                    raise Fault("record %d: via %d is no record of its graph" % (r.pos, via))
                if not any(min(a[0] + b[0], MAX_COST) == cost and a[1] | b[1] == marks
                           for a in v.ins if a[2] == u.pos for b in v.outs if b[2] == w.pos):
                    raise Fault("record %d: shortcut %d -> %d via %d is not the sum of its halves there"
                                % (r.pos, u.pos, w.pos, via))

    check_tree(mf, at, split)


def check_tree(mf, at, split):
    img = mf.image
    start, end = mf.section(11)
    nodes = read_tree(img, start, end)
    listed = set()
    points = set()
    for x, y, refs in nodes:
        if (x, y) in points:
            raise Fault("section 11: point (%d, %d) in two nodes" % (x, y))
        points.add((x, y))
        for word, second in refs:
            pos, end_node = word >> 3 << 2, word & 1
            r = at.get(pos)
            if r is None or (word >> 1 & 1) != (1 if pos >= split else 0):
                raise Fault("section 11: reference %#x names no record of its metric" % word)
            if end_node:
                if not r.end_ext or second == 0 or word & 4:
                    raise Fault("section 11: end reference %#x to record %d" % (word, pos))
            elif not r.flags & 1 or (word >> 2 & 1) != (r.flags >> 1 & 1):
                raise Fault("section 11: start reference %#x to record %d" % (word, pos))
            if (pos, end_node) in listed:
                raise Fault("section 11: record %d listed twice" % pos)
            listed.add((pos, end_node))
    for r in at.values():
        if (r.flags & 1 and (r.pos, 0) not in listed) or (r.end_ext and (r.pos, 1) not in listed):
            raise Fault("section 11: external record %d not in the tree" % r.pos)
    # Nearest points: the tree's search against every point.
    probes = sorted(points)[:: max(1, len(points) // 50)]
    for x, y in probes:
        for qx, qy in ((x, y), (x + 1000, y - 700), (x - 90000, y + 5)):
            brute = min((px - qx) ** 2 + (py - qy) ** 2 for px, py in points)
            if tree_nearest(img, start, end, qx, qy) != brute:
                raise Fault("section 11: nearest point to (%d, %d) not found" % (qx, qy))


def check_node_table(mf, roads):
    img = mf.image
    start, end = mf.section(8)
    if start == end:
        if roads:
            raise Fault("section 8 empty with roads")
        return
    count, flagged = img.u32(start), img.u32(start + 4)
    index = [(img.u32(start + 8 + 8 * i), img.u32(start + 12 + 8 * i)) for i in range(flagged)]
    p, entries, previous = start + 8 + 8 * flagged, {}, None
    order = []
    for i in range(count):
        node, bound, pairs, zero = img.u32(p), img.u8(p + 4), img.u8(p + 5), img.u16(p + 6)
        if bound > 1 or zero or pairs == 0:
            raise Fault("section 8 entry at %d: bound %d, %d pairs, %d" % (p, bound, pairs, zero))
        key = (1 - bound, node)
        if previous is not None and key <= previous:
            raise Fault("section 8 entry at %d out of order" % p)
        previous = key
        entries[p] = (node, bound, [(img.u32(p + 8 + 8 * k), img.u32(p + 12 + 8 * k)) for k in range(pairs)])
        order.append(p)
        p += 8 + 8 * pairs
    if p != end:
        raise Fault("section 8 entries end at %d, the section at %d" % (p, end))
    if index != [(entries[q][0], q) for q in order[:flagged]] or any(entries[q][1] for q in order[flagged:]):
        raise Fault("section 8 index does not list the bound entries")
    by_rec = {r.rec: r for r in roads}
    unbound = {e[0] for e in entries.values() if not e[1]}
    pairs_of = {}  # node id -> its (road record, point index) pairs
    for q, (node, bound, pairs) in entries.items():
        for rec, point in pairs:
            if rec not in by_rec or point not in by_rec[rec].point_indexes:
                raise Fault("section 8 entry of node %d: pair (%d, %d) names no road node" % (node, rec, point))
            pairs_of.setdefault(node, set()).add((rec, point))
    for r in roads:
        r.node_ids = []
        for i, ref in enumerate(r.node_refs):
            e = entries.get(ref)
            if e is None:
                raise Fault("road %d node %d: reference %d is no section 8 entry" % (r.road_id, i, ref))
            if e[1] and e[0] in unbound:
                raise Fault("road %d node %d: refers to the bound entry of a node that has another" % (r.road_id, i))
            if (r.rec, r.point_indexes[i]) not in pairs_of.get(e[0], ()):
                raise Fault("road %d node %d: not among the pairs of node %d" % (r.road_id, i, e[0]))
            r.node_ids.append(e[0])
