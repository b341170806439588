"""A small map, converted plain, against its whole image built here field by
field from the format tables: section 1, the address index, the three
record kinds, the saved trees, the word index and the tags table. The
expected bytes come from the layouts alone (neither the writer nor the
checker is used to make them), so a field order, size, alignment or flag
that writer and checker both got wrong shows here."""
import math
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxmaps  # noqa: E402

args, check, conv = qxmaps.start()

U = 1 << 23  # map units per degree


def units(deg):
    """Degrees to map units, rounded half away from zero."""
    v = deg * U
    return int(v + 0.5) if v > 0 else -int(-v + 0.5)


def u8(v):
    return struct.pack("<B", v)


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def i32(v):
    return struct.pack("<i", v)


def text(s):
    b = s.encode("utf-16-le")
    return u16(len(b) // 2) + b


def point(lon, lat):
    return i32(units(lon)) + i32(units(lat))


def rect(west, east, south, north):
    return i32(units(west)) + i32(units(east)) + i32(units(south)) + i32(units(north))


# ---- the distances of the routing data, from the geographic maths ----------

RAD = 0.017453292519943295
COS = [int(math.cos(i * RAD) * 1024.0) for i in range(360)]  # x 1024, truncated


def round_shift10(v):
    return (v + 512) >> 10 if v > 0 else -((512 - v) >> 10)


def geo_distance(a, b):
    """Whole metres between two points in map units: the longitude offset
    scaled by the cosine of the mean latitude in whole degrees."""
    m = (int(a[1] / 2) + int(b[1] / 2)) >> 23
    c = COS[m % 360]
    d = b[0] - a[0]
    dx = round_shift10(d * c) if abs(d) < 0x200000 else c * round_shift10(d)
    dy = b[1] - a[1]
    r = math.isqrt(dx * dx + dy * dy)
    return (r * 3643808073 + (1 << 37)) >> 38


def chord_distance(a, b):
    """Straight chord between two (lon, lat) points in degrees, metres."""
    la, pa, lb, pb = a[0] * RAD, a[1] * RAD, b[0] * RAD, b[1] * RAD
    x = math.cos(la) * math.cos(pa) - math.cos(lb) * math.cos(pb)
    y = math.sin(la) * math.cos(pa) - math.sin(lb) * math.cos(pb)
    z = math.sin(pa) - math.sin(pb)
    return math.sqrt(x * x + y * y + z * z) * 6371302.0


def packed_length(metres):
    v, e = int(metres * 128), 0
    while v > 4095:
        v >>= 1
        e += 1
    return v << 4 | e


class Record:
    """One record at image offset `at`: its length first, pads by image offset."""

    def __init__(self, at):
        self.at = at
        self.b = bytearray(u32(0))

    def add(self, data):
        self.b += data

    def pad(self, to):
        while (self.at + len(self.b)) % to:
            self.b.append(0)

    def extra_texts(self):
        self.pad(2)
        self.add(text("") * 5)  # phone, fax, e-mail, web page, text

    def bytes(self):
        self.b[0:4] = u32(len(self.b))
        return bytes(self.b)


class Image:
    """The image from offset 188; pads follow image offsets."""

    def __init__(self):
        self.b = bytearray(188)

    def pos(self):
        return len(self.b)

    def add(self, data):
        self.b += data

    def pad(self, to):
        while len(self.b) % to:
            self.b.append(0)


MAP = """[IMG ID]
Name=Gold
CodePage=65001
Copyright=C
Revision=1
Level0=24
Level1=18
[END-IMG ID]
[Countries]
Country1=Land
[END-Countries]
[Regions]
Region1=North
CountryIdx1=1
[END-Regions]
[Cities]
City1=Town
RegionIdx1=1
[END-Cities]
[POI]
Type=0x2a00
Label=Cafe Bar
CityIdx=1
StreetDesc=Main
HouseNumber=5
OpeningHours=Mo-Fr 08:00-18:00
EntryPoint=(45.5,13.375),Door
Data0=(45.5,13.25)
[END]
[POLYLINE]
Type=0x06
Label=Main
CityIdx=1
StreetDesc=Main
RoadID=9
RouteParam=4,3,0,1,0,0,0,0,0,0,0,0
Data0=(45,13),(45.5,13.5),(46,14)
Nod1=0,100,0
Nod2=2,101,0
Numbers1=0,O,1,9,E,2,10
HLevel0=(1,1)
[END]
[POLYGON]
Type=0x13
Label=Hall
CityIdx=1
StreetDesc=Main
HouseNumber=7
Data0=(45,20),(45.5,20),(45.5,20.5),(45,20.5)
[END]
"""

TAGS = '<tags version="1.00"><poi type="0x2a00"><tag>coffee</tag></poi></tags>'

img = Image()
directory = {}


def begin(sid, align=True):
    if align:
        img.pad(4)
    directory[sid] = img.pos()


def end(sid):
    directory[sid] = (directory[sid], img.pos() - directory[sid])


# Section 1: three titles, level count and table, pad to even, url.
begin(1)
img.add(text("Gold") + text("C") + text("1") + u8(2) + u8(24) + u8(18))
img.pad(2)
img.add(text(""))
end(1)
# Section 10: the road's two directions, A = 100 -> 101 and B = 101 -> 100.
# No route node is external, so there is no core: both are contracted, A
# first on the tie-break of equal priority (start node 100 before 101), so
# A has rank 0 and B rank 1. Each turns back onto the other (a U-turn mark)
# at the cost of its own link; both edges are stored at A, the lower end.
ROAD_POINTS = [(13, 45), (13.5, 45.5), (14, 46)]
metres = sum(geo_distance((units(a[0]), units(a[1])), (units(b[0]), units(b[1])))
             for a, b in zip(ROAD_POINTS, ROAD_POINTS[1:]))
costs = {"distance": metres, "time": metres * 576 // (10 * 85)}  # 80 km/h, road class 3: +5
begin(10)
img.add(bytes(16))                                  # no core node in either graph
graph_at = {}
ref_places = []                                     # (place, road link word), patched with the road
for metric in ("distance", "time"):
    a = img.pos()
    b = a + 12 + 24
    graph_at[metric] = (a, b)
    edge = u32(costs[metric] << 2 | 1) + u32(b) + u32(0)
    ref_places.append((a, 1 << 16 | 0))             # link 0 of the road, along it
    img.add(bytes(8) + u8(0) + u8(0) + u8(1) + u8(1) + edge + edge)  # in: B -> A, out: A -> B
    ref_places.append((b, 0))                       # link 0, against the road
    img.add(bytes(8) + u8(0) + u8(0) + u8(0) + u8(0))
end(10)
begin(11, align=False)                              # no external node
end(11)

# Section 7, laid out first: offsets of every address record.
s7 = img.pos()
country = s7 + 4                        # 16 + "Land" (10) -> 28
region = country + 28                   # "North": 12, then 4-aligned
city = region + 12                      # 20 + "Town" (10) -> 32
street = city + 32                      # 8 + "Main" (10) + 2 -> 20, + 4 x 1 reference
house5 = street + 24                    # "5" (4) + 2 -> 8, + 4 x 1
house7 = house5 + 12
s7_end = house7 + 12

# Record offsets follow from the record layouts below; computed as we go.
road_at = (s7_end + 3) // 4 * 4 + 4     # section 3: count, then the road
img.b += bytes(s7_end - img.pos())      # room of section 7, written below

# Section 3: the road.
begin(3)
img.add(u32(1))
assert img.pos() == road_at
rec = Record(img.pos())
rec.add(u32(0x06) + u32(country) + u32(city) + u32(street))
rec.add(u32(9))                                      # road id
rec.add(u8(80))                                      # speed class 4
rec.add(u8(94))                                      # 80 + 5 (road class 3) km/h: floor(85 x 4 / 3.6 + 0.5)
rec.add(u16(1 << 1 | 3 << 11))                       # toll, road class 3
rec.add(bytes(48))                                   # speed pairs
rec.add(u16(2))                                      # route nodes
segment_table = len(rec.b)
rec.add(u16(0))                                      # offset of the segment block, below
rec.add(u16(0) + u16(2))                             # node point indexes
rec.add(text("Main"))
rec.add(u8(1) + u8(255) + u8(0))                     # one entry: level 0, EndLevel unset
rec.add(u8(1))                                       # one house-number interval
rec.pad(4)
rec.add(u16(0) + u16(1) + u16(9) + u16(2) + u16(10) + u8(2) + u8(1))  # point 0: left O 1-9, right E 2-10
rec.add(u32(3) + point(13, 45) + point(13.5, 45.5) + point(14, 46))
node_refs = rec.at + len(rec.b)                      # section 8 entries of nodes 100 and 101, below
rec.add(bytes(8))
rec.b[segment_table:segment_table + 2] = u16(len(rec.b))
# The segment: CH node records (Time, Distance) both ways, the packed
# length, and at either end a dead end where only turning back is allowed:
# the U-turn bit and no items.
rec.add(u32(graph_at["time"][0]) + u32(graph_at["distance"][0]))
rec.add(u32(graph_at["time"][1]) + u32(graph_at["distance"][1]))
pts = [(p[0], p[1]) for p in ROAD_POINTS]
rec.add(u16(packed_length(chord_distance(pts[0], pts[1]) + chord_distance(pts[1], pts[2]))))
rec.add(u8(0x80) + u8(0x80))
rec.add(u16(1) + u16(1) + u16(1))                    # one height level: point 1, level 1
rec.extra_texts()
img.add(rec.bytes())
end(3)

# Section 2: the POI.
begin(2)
img.add(u32(1))
poi_at = img.pos()
rec = Record(poi_at)
rec.add(u32(0x2a00) + u32(country) + u32(city) + u32(street) + u32(house5))
rec.add(text("Cafe Bar") + text(""))                 # label, highway
rec.add(u8(0) + u8(255) + u8(24))                    # overnight parking, levels 0-0
rec.pad(4)
rec.add(point(13.25, 45.5))
hours_at = len(rec.b)
rec.add(u16(0) + u8(2 | 4) + u8(0x3E))               # weekdays Mo-Fr, time spans
rec.pad(4)
rec.add(u16(480 | 1 << 12) + u16(1080 | 1 << 12))    # 08:00-18:00, clock kind 1
rec.b[hours_at:hours_at + 2] = u16(len(rec.b) - hours_at - 2)
rec.extra_texts()
rec.pad(2)
rec.add(u16(1) + text("Door"))
rec.pad(4)
rec.add(point(13.375, 45.5))
img.add(rec.bytes())
end(2)

# Section 4: the polygon, a clockwise square (kept as it is).
begin(4)
img.add(u32(1))
polygon_at = img.pos()
rec = Record(polygon_at)
rec.add(u32(0x13) + u32(country) + u32(city) + u32(street) + u32(house7))
rec.add(point(20.25, 45.25))                         # label point: the middle of the scan line
rec.add(text("Hall") + u16(1) + u8(255) + u8(0))     # one ring, level 0, EndLevel unset
rec.add(u8(1))                                       # convex, no background
rec.add(u8(0))                                       # draw depth 1
rec.pad(4)
rec.add(u32(4) + point(20, 45) + point(20, 45.5) + point(20.5, 45.5) + point(20.5, 45))
rec.add(u16(0))                                      # no opening hours
rec.extra_texts()
rec.pad(2)
rec.add(u16(0))                                      # no entry points
img.add(rec.bytes())
end(4)

# Section 5: one tree level, one polyline: a root leaf saved as a node of one child.
begin(5)
img.add(rect(13, 14, 45, 46) + bytes([1, 1, 0, 0]) + rect(13, 14, 45, 46) + u32(4) + u32(road_at))
end(5)

# Section 6: the POI and the polygon, disjoint in longitude: two leaves in
# order of their east edges.
begin(6)
img.add(rect(13.25, 20.5, 45, 45.5) + bytes([2, 3, 0, 0]))
img.add(rect(13.25, 13.25, 45.5, 45.5) + u32(4) + rect(20, 20.5, 45, 45.5) + u32(8))
img.add(u32(poi_at) + u32(polygon_at | 0x80000000))
end(6)

# Section 7 into its room: country, region title, city, street, house numbers.
sums_x = 13.25 + (13 + 13.5 + 14) / 3 + (20 + 20 + 20.5 + 20.5) / 4
sums_y = 45.5 + (45 + 45.5 + 46) / 3 + (45 + 45.5 + 45.5 + 45) / 4
s7_bytes = bytearray(u32(1))
s7_bytes += u32(city) + u32(1) + u32(region) + u32(1) + text("Land") + bytes(2)
s7_bytes += text("North")
s7_bytes += u32(street) + u32(1) + u32(region) + i32(units(sums_x / 3)) + i32(units(sums_y / 3))
s7_bytes += text("Town") + bytes(2)
s7_bytes += u32(house5) + u32(2) + text("Main") + u16(1) + u32(road_at)
s7_bytes += text("5") + u16(1) + bytes(2) + u32(poi_at)
s7_bytes += text("7") + u16(1) + bytes(2) + u32(polygon_at | 1)
assert len(s7_bytes) == s7_end - s7
img.b[s7:s7_end] = s7_bytes
directory[7] = (s7, s7_end - s7)

# Section 8: nodes 100 and 101, neither bound, each on the road once.
begin(8)
img.add(u32(2) + u32(0))
entry100 = img.pos()
img.add(u32(100) + u8(0) + u8(1) + u16(0) + u32(road_at) + u32(0))
entry101 = img.pos()
img.add(u32(101) + u8(0) + u8(1) + u16(0) + u32(road_at) + u32(2))
end(8)
img.b[node_refs:node_refs + 8] = u32(entry100) + u32(entry101)
for place, word in ref_places:
    img.b[place:place + 8] = u32(road_at) + u32(word)

# Section 9: bar, cafe, coffee (the type's tag), hall, in unit order.
begin(9)
start = img.pos()
img.add(u32(0))
table = []
for word, ref in (("bar", poi_at), ("cafe", poi_at), ("coffee", poi_at), ("hall", polygon_at | 0x80000000)):
    table.append(img.pos())
    img.pad(2)
    img.add(text(word))
    img.pad(4)
    img.add(u32(1) + u32(ref))
img.b[start:start + 4] = u32(img.pos())
img.add(u32(len(table)) + b"".join(u32(t) for t in table))
end(9)

# Section 12: one type with one word.
begin(12)
img.add(u32(1) + u32(0x2a00) + u32(img.pos() + 12) + u32(1) + text("coffee"))  # block behind the table
end(12)

tags = conv.params_file("golden_tags.xml", TAGS)
rc, out, qx = conv.convert("golden", MAP, params="tags=%s\n" % tags, compress=False)
check.true("golden map converted", rc == 0 and "Ok (" in out, out)
if os.path.exists(qx):
    with open(qx, "rb") as f:
        data = f.read()
    for sid in range(1, 13):
        off, size = struct.unpack_from("<II", data, 36 + 12 * (sid - 1))
        want = directory[sid]
        check.equal("section %d placement" % sid, (off, size), want)
        check.equal("section %d bytes" % sid, data[want[0]:want[0] + want[1]].hex(),
                    bytes(img.b[want[0]:want[0] + want[1]]).hex())
    check.equal("image length", len(data), len(img.b))
    check.equal("checker", qxmaps.qxcheck.check_file(qx), [])

check.finish()
