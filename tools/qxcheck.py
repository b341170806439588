#!/usr/bin/env python3
"""Checks .qx map files, written from the file format's tables alone.

usage: qxcheck.py [-v] FILE_OR_DIRECTORY...

Rebuilds the uncompressed image (raw area plus snappy blocks), then checks
the header, the section directory, the block layout, the MD5 id and every
section this checker knows. Atlas files ("atlas-%08x.dat") named or found
in the directories are checked by atlascheck.py. Prints one line per fault
and exits with 1 when any file has a fault; otherwise prints how many files
it checked (-v: also one line per file). Plain python3, no extra packages.
"""

import hashlib
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxrouting  # noqa: E402

MAGIC = b"qzorvane"
VERSION = 66
OLDEST_READER = 65
SECTION_COUNT = 12
BLOCK = 1024
HEAD = 188  # header 36 + directory 144 + 8 bytes
IMAGE_ORDER = [1, 10, 11, 7, 3, 2, 4, 5, 6, 8, 9, 12]
# Sections that follow their predecessor directly instead of at a 4-aligned offset.
UNALIGNED = {1, 11, 7}


class Fault(Exception):
    pass


# ---- snappy raw format -------------------------------------------------------

def snappy_decode(buf, start, end):
    """Decodes one raw snappy stream from buf[start:end].

    Returns (data, position after the stream)."""
    pos = start
    length = 0
    shift = 0
    while True:
        if pos >= end:
            raise Fault("snappy: truncated length")
        b = buf[pos]
        pos += 1
        length |= (b & 0x7F) << shift
        if not b & 0x80:
            break
        shift += 7
        if shift > 28:
            raise Fault("snappy: length varint too long")
    out = bytearray()
    while len(out) < length:
        if pos >= end:
            raise Fault("snappy: stream ends before %d bytes" % length)
        tag = buf[pos]
        pos += 1
        kind = tag & 3
        if kind == 0:
            n = tag >> 2
            if n >= 60:
                extra = n - 59
                if pos + extra > end:
                    raise Fault("snappy: truncated literal length")
                n = int.from_bytes(buf[pos:pos + extra], "little")
                pos += extra
            n += 1
            if pos + n > end:
                raise Fault("snappy: literal runs past the block")
            out += buf[pos:pos + n]
            pos += n
            continue
        if kind == 1:
            if pos + 1 > end:
                raise Fault("snappy: truncated copy")
            n = 4 + ((tag >> 2) & 7)
            off = ((tag >> 5) << 8) | buf[pos]
            pos += 1
        elif kind == 2:
            if pos + 2 > end:
                raise Fault("snappy: truncated copy")
            n = 1 + (tag >> 2)
            off = buf[pos] | buf[pos + 1] << 8
            pos += 2
        else:
            if pos + 4 > end:
                raise Fault("snappy: truncated copy")
            n = 1 + (tag >> 2)
            off = int.from_bytes(buf[pos:pos + 4], "little")
            pos += 4
        if off == 0 or off > len(out):
            raise Fault("snappy: copy offset %d outside the output" % off)
        s = len(out) - off
        if off >= n:
            out += out[s:s + n]
        else:
            for i in range(n):  # overlapping copy: repeats the last off bytes
                out.append(out[s + i])
    if len(out) != length:
        raise Fault("snappy: %d bytes decoded, %d announced" % (len(out), length))
    return bytes(out), pos


# ---- image reader -----------------------------------------------------------

class Image:
    """Little-endian reads from the rebuilt image; every read is bounds-checked."""

    def __init__(self, data):
        self.data = data

    def need(self, pos, n, what):
        if pos < 0 or pos + n > len(self.data):
            raise Fault("%s at %d runs past the image end" % (what, pos))

    def u8(self, pos):
        self.need(pos, 1, "u8")
        return self.data[pos]

    def u16(self, pos):
        self.need(pos, 2, "u16")
        return struct.unpack_from("<H", self.data, pos)[0]

    def u32(self, pos):
        self.need(pos, 4, "u32")
        return struct.unpack_from("<I", self.data, pos)[0]

    def i32(self, pos):
        self.need(pos, 4, "i32")
        return struct.unpack_from("<i", self.data, pos)[0]

    def text(self, pos, end, what):
        """A u16 unit count and the units; returns (units as a tuple, end)."""
        if pos + 2 > end:
            raise Fault("%s: count at %d past the section end" % (what, pos))
        n = self.u16(pos)
        if pos + 2 + 2 * n > end:
            raise Fault("%s: %d units at %d run past the section end" % (what, n, pos))
        units = struct.unpack_from("<%dH" % n, self.data, pos + 2)
        return units, pos + 2 + 2 * n

    def zeros(self, pos, end, what):
        if any(self.data[pos:end]):
            raise Fault("%s: non-zero padding in [%d, %d)" % (what, pos, end))


def is_separator(u):
    if 1 <= u <= 0x7F:
        return not (0x30 <= u <= 0x39 or 0x41 <= u <= 0x5A or 0x61 <= u <= 0x7A)
    return 0x2000 <= u <= 0x206F or u in (0xAB, 0xB7, 0xBB)


# ---- case folding and the orders of the indexes ---------------------------------

# Units that fold to another unit: (amount added, step, ranges). Every unit
# not listed folds to itself.
_FOLD_CHANGES = (
    (32, 1, ((0x41, 0x5A), (0xC0, 0xD6), (0xD8, 0xDE), (0x391, 0x3A1), (0x3A3, 0x3AB), (0x410, 0x42F),
             (0xFF21, 0xFF3A))),
    (1, 2, ((0x100, 0x12E), (0x132, 0x136), (0x139, 0x147), (0x14A, 0x176), (0x179, 0x17D), (0x182, 0x184),
            (0x1A0, 0x1A4), (0x1B3, 0x1B5), (0x1CB, 0x1DB), (0x1DE, 0x1EE), (0x1FA, 0x216), (0x3E2, 0x3EE),
            (0x460, 0x480), (0x490, 0x4BE), (0x4C1, 0x4C3), (0x4D0, 0x4EA), (0x4EE, 0x4F4), (0x1E00, 0x1E94),
            (0x1EA0, 0x1EF8))),
    (1, 1, tuple((u, u) for u in (0x187, 0x18B, 0x191, 0x198, 0x1A7, 0x1AC, 0x1AF, 0x1B8, 0x1BC, 0x1C5, 0x1C8,
                                  0x1F4, 0x4C7, 0x4CB, 0x4F8))),
    (2, 1, tuple((u, u) for u in (0x1C4, 0x1C7, 0x1CA, 0x1F1))),
    (26, 1, ((0x24B6, 0x24CF),)),
    (37, 1, ((0x388, 0x38A),)),
    (38, 1, ((0x386, 0x386),)),
    (48, 1, ((0x531, 0x556),)),
    (63, 1, ((0x38E, 0x38F),)),
    (64, 1, ((0x38C, 0x38C),)),
    (80, 1, ((0x401, 0x40C), (0x40E, 0x40F))),
    (202, 1, ((0x18E, 0x18F),)),
    (203, 1, ((0x190, 0x190),)),
    (205, 1, ((0x18A, 0x18A), (0x193, 0x193))),
    (206, 1, ((0x186, 0x186),)),
    (207, 1, ((0x194, 0x194),)),
    (209, 1, ((0x197, 0x197),)),
    (210, 1, ((0x181, 0x181),)),
    (211, 1, ((0x196, 0x196), (0x19C, 0x19C))),
    (213, 1, ((0x19D, 0x19D),)),
    (214, 1, ((0x19F, 0x19F),)),
    (217, 1, ((0x1B1, 0x1B2),)),
    (218, 1, ((0x1A9, 0x1A9), (0x1AE, 0x1AE))),
    (219, 1, ((0x1B7, 0x1B7),)),
    (-8, 1, ((0x1F08, 0x1F0F), (0x1F18, 0x1F1D), (0x1F28, 0x1F2F), (0x1F38, 0x1F3F), (0x1F48, 0x1F4D),
             (0x1F68, 0x1F6F), (0x1F88, 0x1F8F), (0x1F98, 0x1F9F), (0x1FA8, 0x1FAF), (0x1FB8, 0x1FB9),
             (0x1FD8, 0x1FD9), (0x1FE8, 0x1FE9))),
    (-8, 2, ((0x1F59, 0x1F5F),)),
    (-48, 1, ((0x10F6, 0x10FF),)),
    (-121, 1, ((0x178, 0x178),)),
    (-199, 1, ((0x130, 0x130),)),
)
FOLD = {}
for _delta, _step, _ranges in _FOLD_CHANGES:
    for _first, _last in _ranges:
        for _u in range(_first, _last + 1, _step):
            FOLD[_u] = _u + _delta


def fold(u):
    return FOLD.get(u, u)


def folded(units):
    """A title as a list of folded units: lists compare as the case-insensitive
    order does (unit by unit, unsigned; a prefix first)."""
    return [fold(u) for u in units]


def house_number_key(units):
    """The leading signed decimal number (spaces skipped; 0 without digits;
    a parse stopped by a too long number keeps the digits read), then the
    folded rest after the number and its trailing spaces."""
    i, n = 0, len(units)
    while i < n and units[i] == 0x20:
        i += 1
    rest = i
    negative = False
    if i < n and units[i] in (0x2B, 0x2D):
        negative = units[i] == 0x2D
        i += 1
    value = 0
    if i < n and 0x30 <= units[i] <= 0x39:
        while i < n and 0x30 <= units[i] <= 0x39:
            if value >= 214748364:
                return value, folded(units[i:])
            value = value * 10 + units[i] - 0x30
            i += 1
        if negative:
            value = -value
        while i < n and units[i] == 0x20:
            i += 1
        rest = i
    return value, folded(units[rest:])


def check_ascending(keys, what):
    for i in range(1, len(keys)):
        if keys[i] < keys[i - 1]:
            raise Fault("%s: record %d sorts before the one in front of it" % (what, i))


def align4(x):
    return (x + 3) & ~3


class MapFile:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.file = f.read()
        self.faults = []
        self.sections = {}  # id -> (offset, size)
        self.image = None

    def fault(self, region, message):
        self.faults.append("%s: %s" % (region, message))

    # Header and directory.
    def check_head(self):
        f = self.file
        if len(f) < HEAD:
            raise Fault("header: file of %d bytes is shorter than the %d-byte head" % (len(f), HEAD))
        if f[0:8] != MAGIC:
            self.fault("header", "bad magic %r" % f[0:8])
        version, oldest, count, block = struct.unpack_from("<HHII", f, 24)
        if version != VERSION:
            self.fault("header", "version %d, expected %d" % (version, VERSION))
        if oldest != OLDEST_READER:
            self.fault("header", "oldest reader version %d, expected %d" % (oldest, OLDEST_READER))
        if count != SECTION_COUNT:
            self.fault("header", "section count %d, expected %d" % (count, SECTION_COUNT))
        if block not in (0, BLOCK):
            raise Fault("header: block size %d" % block)
        self.block = block
        if any(f[180:186]):
            self.fault("header", "reserved bytes 180-185 not zero")
        if struct.unpack_from("<H", f, 186)[0] != 166:
            self.fault("header", "bytes 186-187 hold %d, expected 166" % struct.unpack_from("<H", f, 186)[0])
        for i in range(SECTION_COUNT):
            off, size, sid = struct.unpack_from("<III", f, 36 + 12 * i)
            if sid != i + 1:
                self.fault("directory", "entry %d has id %d" % (i, sid))
            self.sections[i + 1] = (off, size)
        self.end = max(off + size for off, size in self.sections.values())
        # Placement: the image order with the alignment rules and no gap.
        pos = HEAD
        for sid in IMAGE_ORDER:
            off, size = self.sections[sid]
            expected = pos if sid in UNALIGNED else align4(pos)
            if off != expected:
                self.fault("directory", "section %d at %d, expected %d" % (sid, off, expected))
            if sid not in UNALIGNED and off % 4:
                self.fault("directory", "section %d at %d is not 4-aligned" % (sid, off))
            pos = off + size
        if pos != self.end:
            self.fault("directory", "section 12 ends at %d, the image at %d" % (pos, self.end))
        if self.end > 0x7FFFFFFF:
            self.fault("directory", "image of %d bytes" % self.end)

    def check_md5(self):
        digest = hashlib.md5(self.file[24:]).digest()
        if digest != self.file[8:24]:
            self.fault("md5", "stored %s, computed %s" % (self.file[8:24].hex(), digest.hex()))

    # Rebuilding the image from the stored file.
    def rebuild(self):
        f = self.file
        e = self.end
        if e < HEAD:
            raise Fault("directory: image end %d before the head" % e)
        if self.block == 0:
            if len(f) != e:
                self.fault("blocks", "plain file of %d bytes, image end %d" % (len(f), e))
            if len(f) < e:
                raise Fault("blocks: plain file shorter than the image")
            self.image = Image(f[:e])
            return
        s1_off, s1_size = self.sections[1]
        a = min((s1_off + s1_size + BLOCK - 1) // BLOCK * BLOCK, e)
        count = (e - a + BLOCK - 1) // BLOCK if e > a else 0
        table = len(f) - 4 * count
        if table < a:
            raise Fault("blocks: file of %d bytes too short for raw area %d and %d blocks" % (len(f), a, count))
        if table % 4:
            self.fault("blocks", "block table at %d is not 4-aligned" % table)
        image = bytearray(f[:a])
        entries = struct.unpack_from("<%dI" % count, f, table) if count else ()
        if not count:
            # Raw area up to the image end, zero padding to 4, empty table.
            if len(f) != align4(a):
                self.fault("blocks", "file of %d bytes without blocks, expected %d" % (len(f), align4(a)))
            elif any(f[a:]):
                self.fault("blocks", "non-zero padding after the raw area")
        elif entries[0] != a:
            self.fault("blocks", "first block at %d, expected %d" % (entries[0], a))
        for k in range(count):
            start = entries[k]
            stop = entries[k + 1] if k + 1 < count else table
            if stop <= start:
                raise Fault("blocks: table not strictly increasing at block %d" % k)
            if stop > table:
                raise Fault("blocks: block %d ends at %d behind the table" % (k, stop))
            want = min(BLOCK, e - (a + k * BLOCK))
            try:
                data, after = snappy_decode(f, start, stop)
            except Fault as x:
                raise Fault("blocks: block %d: %s" % (k, x))
            if len(data) != want:
                self.fault("blocks", "block %d holds %d bytes, expected %d" % (k, len(data), want))
            if k + 1 < count:
                if after != stop:
                    self.fault("blocks", "block %d: %d bytes between its stream and the next block" % (k, stop - after))
            else:
                pad = stop - after
                if pad != (-after) % 4 or any(f[after:stop]):
                    self.fault("blocks", "last block followed by %d bytes before the table, expected %d zeros"
                               % (pad, (-after) % 4))
            image += data
        if len(image) != e:
            raise Fault("blocks: rebuilt image of %d bytes, expected %d" % (len(image), e))
        self.image = Image(bytes(image))

    # Sections.
    def section(self, sid):
        off, size = self.sections[sid]
        return off, off + size

    def check_section_1(self):
        img = self.image
        pos, end = self.section(1)
        for what in ("map name", "copyright", "revision"):
            _, pos = img.text(pos, end, "section 1 " + what)
        if pos + 1 > end:
            raise Fault("section 1: no level count")
        n = img.u8(pos)
        pos += 1
        if n < 2:
            self.fault("section 1", "level count %d, at least 2 needed" % n)
        if pos + n > end:
            raise Fault("section 1: level table runs past the section")
        self.levels = list(img.data[pos:pos + n])
        pos += n
        if pos % 2:
            img.zeros(pos, pos + 1, "section 1 level table padding")
            pos += 1
        _, pos = img.text(pos, end, "section 1 url")
        if pos != end:
            self.fault("section 1", "ends at %d, directory says %d" % (pos, end))

    def check_section_12(self):
        img = self.image
        start, end = self.section(12)
        pos = align4(start)
        img.zeros(start, pos, "section 12 padding")
        count = img.u32(pos)
        pos += 4
        if pos + 8 * count > end:
            raise Fault("section 12: table of %d types runs past the section" % count)
        previous = None
        for i in range(count):
            t = img.i32(pos + 8 * i)
            block = img.u32(pos + 8 * i + 4)
            if previous is not None and t <= previous:
                self.fault("section 12", "type %d after %d: not ascending" % (t, previous))
            previous = t
            expected = pos + 8 * count if i == 0 else self._tags_block_end
            if block != expected:
                self.fault("section 12", "block of type %d at %d, expected %d" % (t, block, expected))
            words = img.u32(block)
            p = block + 4
            for _ in range(words):
                if p % 2:
                    img.zeros(p, p + 1, "section 12 word padding")
                    p += 1
                _, p = img.text(p, end, "section 12 word")
            self._tags_block_end = p
        last = self._tags_block_end if count else pos
        if last != end:
            self.fault("section 12", "ends at %d, directory says %d" % (last, end))

    def check(self):
        try:
            self.check_head()
            self.check_md5()
            self.rebuild()
            self.check_gaps()
            self.levels = None
            steps = [(12, self.check_section_12), (1, self.check_section_1)]
            if not self.old_layout():
                steps += [(3, self.check_polylines), (2, self.check_pois), (4, self.check_polygons),
                          (5, self.check_polyline_trees), (6, self.check_item_trees),
                          (7, self.check_address), (9, self.check_words), (0, self.check_object_refs),
                          (10, self.check_routing)]
            for sid, fn in steps:
                try:
                    fn()
                except (Fault, qxrouting.Fault, IndexError, ValueError, struct.error) as x:
                    self.fault("section %d" % sid if sid else "records", str(x))
                    if sid != 12:
                        break  # later sections need this one's levels or records
        except (Fault, IndexError, ValueError, struct.error) as x:
            self.faults.append(str(x))
        return self.faults

    def old_layout(self):
        """Files whose record and index sections are all empty (written
        before those sections existed) are checked for placement only."""
        return all(self.sections[sid][1] == 0 for sid in (2, 3, 4, 5, 6, 7, 9))

    # Sections 8, 10 and 11 with the road blocks (tools/qxrouting.py).
    def check_routing(self):
        qxrouting.check_routing(self)

    # Sections 2 to 6.
    def check_polylines(self):
        self.lines = parse_record_section(self, 3, parse_polyline)

    def check_pois(self):
        self.pois = parse_record_section(self, 2, parse_poi)

    def check_polygons(self):
        self.polygons = parse_record_section(self, 4, parse_polygon)

    def parse_trees(self, sid):
        start, end = self.section(sid)
        trees, pos = [], start
        for level in range(len(self.levels) - 1):
            pos, leaves = parse_tree(self.image, pos, end, "section %d tree %d" % (sid, level))
            trees.append(leaves)
        if pos != end:
            raise Fault("%d trees end at %d, the section at %d" % (len(self.levels) - 1, pos, end))
        return trees

    def check_polyline_trees(self):
        trees = self.parse_trees(5)
        order = first_visits(trees)
        if order != self.lines.starts:
            raise Fault("polyline records are not in the trees' first-visit order (or a leaf names no record)")

    def check_item_trees(self):
        trees = self.parse_trees(6)
        order = first_visits(trees)
        pois = [i for i in order if not i & 0x80000000]
        polygons = [i & 0x7FFFFFFF for i in order if i & 0x80000000]
        if pois != self.pois.starts:
            raise Fault("POI records are not in the trees' first-visit order (or a leaf names no record)")
        if polygons != self.polygons.starts:
            raise Fault("polygon records are not in the trees' first-visit order (or a leaf names no record)")

    # Section 7.
    def check_address(self):
        img = self.image
        start, end = self.section(7)
        lines = set(self.lines.starts)
        pois, polygons = set(self.pois.starts), set(self.polygons.starts)
        countries = img.u32(start)
        pos = start + 4
        self.countries, self.cities, self.streets, self.numbers = set(), set(), set(), set()
        crecs = []
        country_titles = []
        for _ in range(countries):
            cur = Cursor(img, pos, end, "country at %d" % pos)
            first_city, ncity, first_region, nregion = cur.u32(), cur.u32(), cur.u32(), cur.u32()
            title = cur.text()
            if title == ():
                raise Fault("%s: empty title" % cur.what)
            country_titles.append(folded(title))
            cur.pad(4)
            self.countries.add(pos)
            crecs.append((first_city, ncity, first_region, nregion))
            pos = cur.pos
        check_ascending(country_titles, "countries")
        region_of = []  # per country: region title offsets
        region_title = {}
        for first_city, ncity, first_region, nregion in crecs:
            if (nregion == 0) != (first_region == 0) or (nregion and first_region != pos):
                raise Fault("region titles of a country do not start at %d" % pos)
            titles = []
            for _ in range(nregion):
                titles.append(pos)
                units, after = img.text(pos, end, "region title")
                region_title[pos] = folded(units)
                pos = after
            check_ascending([region_title[t] for t in titles], "regions of a country")
            region_of.append(set(titles))
        p4 = align4(pos)
        img.zeros(pos, p4, "region titles padding")
        pos = p4
        srecs = []
        for (first_city, ncity, _, _), regions in zip(crecs, region_of):
            if (ncity == 0) != (first_city == 0) or (ncity and first_city != pos):
                raise Fault("cities of a country do not start at %d" % pos)
            city_keys = []
            for _ in range(ncity):
                cur = Cursor(img, pos, end, "city at %d" % pos)
                first_street, word, region = cur.u32(), cur.u32(), cur.u32()
                x, y = cur.i32(), cur.i32()
                if region not in regions:
                    raise Fault("%s: region title %d is not one of its country's" % (cur.what, region))
                if (x, y) != (0x7FFFFFFF, 0x7FFFFFFF) and not -0x5A000000 <= x <= 0x59FFFFFF:
                    raise Fault("%s: centre x %d" % (cur.what, x))
                title = cur.text()
                if title == ():
                    raise Fault("%s: empty title" % cur.what)
                # Cities with a city POI first, by its type (of which the
                # record keeps bits 8-15); the others by title, then region.
                poi = word >> 24
                city_keys.append((0, poi) if poi else (1, folded(title), region_title[region]))
                cur.pad(4)
                self.cities.add(pos)
                srecs.append((first_street, word & 0xFFFFFF))
                pos = cur.pos
            check_ascending(city_keys, "cities of a country")
        # Streets: each city's run, the room behind each street's references
        # zero up to the next street.
        house_area = None
        nrecs = []
        for first_street, nstreet in srecs:
            if (nstreet == 0) != (first_street == 0) or (nstreet and first_street != pos):
                raise Fault("streets of a city do not start at %d" % pos)
            street_titles = []
            for i in range(nstreet):
                if i:
                    pos = self.skip_room(pos, end, self.plausible_street)
                cur = Cursor(img, pos, end, "street at %d" % pos)
                first, count = cur.u32(), cur.u32()
                title = cur.text()
                if title == ():
                    raise Fault("%s: empty title" % cur.what)
                street_titles.append(folded(title))
                refs = cur.u16()
                cur.pad(4)
                for _ in range(refs):
                    r = cur.u32()
                    if r not in lines:
                        raise Fault("%s: reference %d is no polyline record" % (cur.what, r))
                self.streets.add(pos)
                nrecs.append((first, count))
                pos = cur.pos
            if nstreet:
                pos = self.skip_room(pos, end, self.plausible_next_street)
            check_ascending(street_titles, "streets of a city")
        for first, count in nrecs:
            if (count == 0) != (first == 0) or (count and first != pos):
                raise Fault("house numbers of a street do not start at %d" % pos)
            number_keys = []
            for i in range(count):
                if i:
                    pos = self.skip_room(pos, end, self.plausible_number)
                cur = Cursor(img, pos, end, "house number at %d" % pos)
                title = cur.text()
                if title == ():
                    raise Fault("%s: empty title" % cur.what)
                number_keys.append(house_number_key(title))
                refs = [None] * cur.u16()
                cur.pad(4)
                for j in range(len(refs)):
                    refs[j] = cur.u32()
                    if not (refs[j] in pois or (refs[j] & 1 and refs[j] - 1 in polygons)):
                        raise Fault("%s: reference %d is no POI or polygon record" % (cur.what, refs[j]))
                if len(refs) > 1 and any(not r & 1 for r in refs):
                    raise Fault("%s: a POI reference beside others" % cur.what)
                self.numbers.add(pos)
                pos = cur.pos
            if count:
                pos = self.skip_room(pos, end, self.plausible_number)
            check_ascending(number_keys, "house numbers of a street")
        img.zeros(pos, end, "address index tail")
        if pos > end:
            raise Fault("address records run past the section")

    def plausible_street(self, pos, end):
        img = self.image
        if pos + 12 > end:
            return False
        first, count, n = img.u32(pos), img.u32(pos + 4), img.u16(pos + 8)
        if (first == 0) != (count == 0) or n == 0 or pos + 10 + 2 * n + 2 > end:
            return False
        return all(img.u16(pos + 10 + 2 * i) for i in range(n))

    def plausible_next_street(self, pos, end):
        return pos >= end or self.plausible_street(pos, end) or self.plausible_number(pos, end)

    def plausible_number(self, pos, end):
        img = self.image
        if pos >= end:
            return True
        if pos + 4 > end:
            return False
        n = img.u16(pos)
        if n == 0 or pos + 2 + 2 * n + 2 > end:
            return False
        return all(img.u16(pos + 2 + 2 * i) for i in range(n))

    def skip_room(self, pos, end, plausible):
        """Steps over zero words of unused reference room to the next record."""
        while not plausible(pos, end):
            if pos + 4 > end or self.image.u32(pos):
                raise Fault("non-zero bytes at %d in reference room, or no record where one must be" % pos)
            pos += 4
        return pos

    def check_object_refs(self):
        for records, kind in ((self.pois, "POI"), (self.lines, "polyline"), (self.polygons, "polygon")):
            for rec, country, city, street, number in records.address_refs:
                for value, valid, what in ((country, self.countries, "country"), (city, self.cities, "city"),
                                           (street, self.streets, "street"), (number, self.numbers, "house number")):
                    if value and value not in valid:
                        raise Fault("%s record at %d: %s reference %d names no %s record"
                                    % (kind, rec, what, value, what))

    # Section 9.
    def check_words(self):
        img = self.image
        start, end = self.section(9)
        table = img.u32(start)
        if not start + 4 <= table <= end - 4 or table % 4:
            raise Fault("word table at %d" % table)
        pois, polygons = set(self.pois.starts), set(self.polygons.starts)
        pos, offsets, previous = start + 4, [], None
        while pos < table:
            offsets.append(pos)
            cur = Cursor(img, pos, table, "word at %d" % pos)
            cur.pad(2)
            word = cur.text()
            cur.pad(4)
            refs = [cur.u32() for _ in range(cur.u32())]
            pos = cur.pos
            if not word or not refs:
                raise Fault("%s: empty word or no reference" % cur.what)
            if previous is not None and word <= previous:
                raise Fault("%s: not above the word before it" % cur.what)
            previous = word
            for u in word:
                if fold(u) != u or u == 0x0451 or is_separator(u):
                    raise Fault("%s: unit %#x is not folded or separates words" % (cur.what, u))
            if refs != sorted(set(refs)):
                raise Fault("%s: references not ascending and unique" % cur.what)
            for r in refs:
                if not (r in pois if r < 0x80000000 else (r & 0x7FFFFFFF) in polygons):
                    raise Fault("%s: reference %#x names no record of its kind" % (cur.what, r))
        if pos != table:
            raise Fault("word entries end at %d, the table is at %d" % (pos, table))
        count = img.u32(table)
        listed = [img.u32(table + 4 + 4 * i) for i in range(count)] if table + 4 + 4 * count <= end else None
        if listed != offsets:
            raise Fault("word table does not list the entries")
        if table + 4 + 4 * count != end:
            raise Fault("word table ends at %d, the section at %d" % (table + 4 + 4 * count, end))

    def check_gaps(self):
        """Alignment gaps between sections hold zeros."""
        pos = HEAD
        for sid in IMAGE_ORDER:
            off, size = self.sections[sid]
            if off > pos:
                self.image.zeros(pos, off, "gap before section %d" % sid)
            pos = max(pos, off + size)


# ---- records of sections 2, 3 and 4 -----------------------------------------------

class Cursor:
    """Reads one record field by field; every read stays inside the record."""

    def __init__(self, img, start, end, what):
        self.img, self.pos, self.end, self.what = img, start, end, what

    def need(self, n):
        if self.pos + n > self.end:
            raise Fault("%s: field at %d runs past its end %d" % (self.what, self.pos, self.end))

    def u8(self):
        self.need(1)
        self.pos += 1
        return self.img.data[self.pos - 1]

    def u16(self):
        self.need(2)
        self.pos += 2
        return self.img.u16(self.pos - 2)

    def u32(self):
        self.need(4)
        self.pos += 4
        return self.img.u32(self.pos - 4)

    def i32(self):
        self.need(4)
        self.pos += 4
        return self.img.i32(self.pos - 4)

    def skip(self, n):
        self.need(n)
        self.pos += n

    def text(self):
        units, self.pos = self.img.text(self.pos, self.end, self.what)
        return units

    def pad(self, to):
        n = (-self.pos) % to
        self.need(n)
        self.img.zeros(self.pos, self.pos + n, self.what + " padding")
        self.pos += n

    def point(self):
        x, y = self.i32(), self.i32()
        if not (-0x5A000000 <= x <= 0x59FFFFFF) or not (-0x2D000000 <= y <= 0x2D000000):
            raise Fault("%s: point (%d, %d) outside the map" % (self.what, x, y))
        return x, y


def check_level_code(cur, levels, code, what):
    if code != 255 and code - 1 not in levels:
        raise Fault("%s: lower level code %d matches no level" % (cur.what, code))


def check_level_bits(cur, levels, bits):
    if bits != 0 and bits not in levels:
        raise Fault("%s: level bits %d not in the level table" % (cur.what, bits))


def check_opening_hours(cur):
    size = cur.u16()
    end = cur.pos + size
    if end > cur.end:
        raise Fault("%s: opening hours of %d bytes run past the record" % (cur.what, size))
    saved_end, cur.end = cur.end, end
    while cur.pos < end:
        flags = cur.u8()
        if flags & 0xF8:
            raise Fault("%s: opening rule flags %#x" % (cur.what, flags))
        if flags & 2:
            mask = cur.u8()
            if mask & 0x80:
                while cur.u8() & 0x40:
                    pass
        if flags & 1:
            cur.pad(4)
            while True:
                months, start_day, end_day, more = cur.u8(), cur.u8(), cur.u8(), cur.u8()
                if more not in (0, 0x80):
                    raise Fault("%s: date continuation byte %#x" % (cur.what, more))
                if not more:
                    break
        if flags & 4:
            cur.pad(4)
            while True:
                start, stop = cur.u16(), cur.u16()
                if start & 0x8000 or (start >> 12) & 7 > 5 or (stop >> 12) & 7 > 5:
                    raise Fault("%s: bad time span %#x-%#x" % (cur.what, start, stop))
                if not stop & 0x8000:
                    break
    cur.end = saved_end
    if cur.pos != end:
        raise Fault("%s: opening hours end at %d, their count says %d" % (cur.what, cur.pos, end))


def check_extra_texts(cur):
    cur.pad(2)
    for _ in range(5):
        cur.text()


def check_entry_points(cur):
    cur.pad(2)
    for _ in range(cur.u16()):
        cur.text()
        cur.pad(4)
        cur.point()


class RecordSection:
    def __init__(self, sid):
        self.sid = sid
        self.roads = []  # routing roads with their segment blocks (section 3)
        self.starts = []  # in section order
        self.address_refs = []  # (record start, country, city, street, house number)


def parse_record_section(mf, sid, parse_one):
    img = mf.image
    start, end = mf.section(sid)
    result = RecordSection(sid)
    total = img.u32(start)
    pos = start + 4
    while pos < end:
        rec = align4(pos)
        if rec >= end:
            break
        img.zeros(pos, rec, "section %d record padding" % sid)
        length = img.u32(rec)
        if length < 8 or rec + length > end:
            raise Fault("record at %d: length %d leaves the section" % (rec, length))
        cur = Cursor(img, rec + 4, rec + length, "record at %d" % rec)
        parse_one(mf, cur, result, rec)
        if cur.pos != rec + length:
            raise Fault("record at %d: fields end at %d, its length says %d" % (rec, cur.pos, rec + length))
        result.starts.append(rec)
        pos = rec + length
    img.zeros(pos, end, "section %d tail" % sid)
    if len(result.starts) > total:
        raise Fault("%d records, more than the count %d" % (len(result.starts), total))
    return result


def parse_poi(mf, cur, out, rec):
    cur.u32()  # type
    refs = (cur.u32(), cur.u32(), cur.u32(), cur.u32())
    out.address_refs.append((rec,) + refs)
    cur.text()
    cur.text()
    if cur.u8() > 1:
        raise Fault("%s: overnight parking flag above 1" % cur.what)
    check_level_code(cur, mf.levels, cur.u8(), "lower")
    check_level_bits(cur, mf.levels, cur.u8())
    cur.pad(4)
    cur.point()
    check_opening_hours(cur)
    check_extra_texts(cur)
    check_entry_points(cur)


def parse_polyline(mf, cur, out, rec):
    cur.u32()  # type
    refs = (cur.u32(), cur.u32(), cur.u32(), 0)
    out.address_refs.append((rec,) + refs)
    block = cur.pos
    cur.skip(58)
    road = mf.image.data[block + 4] != 0  # a road's speed limit is never 0
    if not road and any(mf.image.data[block:block + 58]):
        raise Fault("%s: plain polyline with a non-zero road block" % cur.what)
    nodes = mf.image.u16(block + 56) if road else 0
    segments = []
    if road:
        segments = [cur.u16() for _ in range(max(nodes - 1, 0))]
        indexes = [cur.u16() for _ in range(nodes)]
        if indexes != sorted(indexes):
            raise Fault("%s: route-node point indexes go back" % cur.what)
    cur.text()
    m = cur.u8()
    check_level_code(cur, mf.levels, cur.u8(), "lower")
    for _ in range(m):
        check_level_bits(cur, mf.levels, cur.u8())
    intervals = cur.u8()
    if intervals and not road:
        raise Fault("%s: house numbers on a plain polyline" % cur.what)
    cur.pad(4)
    cur.skip(12 * intervals)
    counts = [cur.u32() for _ in range(m)]
    if m == 0:
        raise Fault("%s: no geometry" % cur.what)
    for n in counts:
        for _ in range(n):
            cur.point()
    if road:
        if nodes and indexes[-1] >= counts[0]:
            raise Fault("%s: route node at point %d of %d" % (cur.what, indexes[-1], counts[0]))
        refs = [cur.u32() for _ in range(nodes)]  # section 8 entries of the route nodes
        # A file written without routing has no blocks: offsets and
        # references all 0.
        one_way = mf.image.u16(block + 6) & 1
        blocks = qxrouting.parse_blocks(cur, rec, segments, one_way) if any(segments) or any(refs) else []
        out.roads.append(qxrouting.Road(rec, mf.image.u32(block), one_way, indexes, refs, blocks))
    heights = cur.u16()
    if heights and not road:
        raise Fault("%s: height levels on a plain polyline" % cur.what)
    cur.skip(4 * heights)
    check_extra_texts(cur)


def parse_polygon(mf, cur, out, rec):
    cur.u32()  # type
    refs = (cur.u32(), cur.u32(), cur.u32(), cur.u32())
    out.address_refs.append((rec,) + refs)
    x, y = cur.i32(), cur.i32()
    cur.text()
    k = cur.u16()
    if k == 0:
        raise Fault("%s: no ring" % cur.what)
    check_level_code(cur, mf.levels, cur.u8(), "lower")
    for _ in range(k):
        check_level_bits(cur, mf.levels, cur.u8())
    if cur.u8() & 0xFC:
        raise Fault("%s: polygon flags above bit 1" % cur.what)
    cur.u8()  # draw depth - 1
    cur.pad(4)
    counts = [cur.u32() for _ in range(k)]
    for n in counts:
        for _ in range(n):
            cur.point()
    if (x, y) != (0x7FFFFFFF, 0x7FFFFFFF) and not (-0x5A000000 <= x <= 0x59FFFFFF):
        raise Fault("%s: label point x %d" % (cur.what, x))
    check_opening_hours(cur)
    check_extra_texts(cur)
    check_entry_points(cur)


# ---- saved trees of sections 5 and 6 ------------------------------------------------

def parse_tree(img, pos, end, what):
    """One saved tree at pos; returns (end position, leaf items in
    depth-first, left-to-right order)."""
    if pos + 20 > end:
        raise Fault("%s: tree at %d runs past the section" % (what, pos))
    x1 = img.i32(pos)
    count = img.u8(pos + 16)
    if x1 == 0x7FFFFFFF:
        if any(img.data[pos + 4:pos + 20]):
            raise Fault("%s: empty tree at %d with non-zero bytes" % (what, pos))
        return pos + 20, []
    if count == 0:
        raise Fault("%s: tree at %d has a root rectangle and no child" % (what, pos))
    leaves = []
    stop = parse_node(img, pos + 16, end, what, leaves)
    return stop, leaves


def parse_node(img, pos, end, what, leaves, depth=0):
    if depth > 64:
        raise Fault("%s: tree deeper than 64 at %d" % (what, pos))
    if pos + 4 > end:
        raise Fault("%s: node at %d runs past the section" % (what, pos))
    count, mask, zero = img.u8(pos), img.u8(pos + 1), img.u16(pos + 2)
    if not 1 <= count <= 4 or mask >> count or zero:
        raise Fault("%s: bad node header at %d" % (what, pos))
    base = pos + 4 + 20 * count
    child = base
    for i in range(count):
        stop = base + img.u32(pos + 4 + 20 * i + 16)
        if img.i32(pos + 4 + 20 * i) == 0x7FFFFFFF:
            raise Fault("%s: empty child rectangle at %d" % (what, pos))
        if mask >> i & 1:
            if stop != child + 4:
                raise Fault("%s: leaf of node %d ends at %d, expected %d" % (what, pos, stop, child + 4))
            leaves.append(img.u32(child))
        else:
            inner_end = parse_node(img, child, end, what, leaves, depth + 1)
            if inner_end != stop:
                raise Fault("%s: child of node %d ends at %d, its entry says %d" % (what, pos, inner_end, stop))
        child = stop
    return child


def first_visits(trees):
    order, seen = [], set()
    for leaves in trees:
        for item in leaves:
            if item not in seen:
                seen.add(item)
                order.append(item)
    return order


def check_file(path):
    """Returns the list of faults of one file (empty when it passes)."""
    return MapFile(path).check()


def counted(n, what):
    return "%d %s%s" % (n, what, "" if n == 1 else "s")


def main(argv):
    # Imported here: atlascheck imports this module in turn.
    import atlascheck
    verbose = False
    paths = []
    for a in argv:
        if a == "-v":
            verbose = True
        else:
            paths.append(a)
    if not paths:
        print(__doc__.strip().splitlines()[2])
        return 2
    files, atlases = [], []
    for p in paths:
        if os.path.isdir(p):
            for root, _, names in os.walk(p):
                for n in sorted(names):
                    if n.lower().endswith(".qx"):
                        files.append(os.path.join(root, n))
                    elif atlascheck.ATLAS_NAME.match(n):
                        atlases.append(os.path.join(root, n))
        elif atlascheck.ATLAS_NAME.match(os.path.basename(p)):
            atlases.append(p)
        else:
            files.append(p)
    if not files and not atlases:
        print("no .qx or atlas files found")
        return 1
    bad = 0
    for path in files:
        faults = check_file(path)
        if faults:
            bad += 1
            for fault in faults:
                print("%s: %s" % (path, fault))
        elif verbose:
            print("%s: ok" % path)
    bad_atlases, alone = atlascheck.check_files(atlases, verbose)
    bad += bad_atlases
    if bad:
        return 1
    print("%s and %s checked: all valid%s" % (
        counted(len(files), "map file"), counted(len(atlases), "atlas file"),
        " (%d without its maps, which were not found)" % alone if alone else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
