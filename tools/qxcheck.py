#!/usr/bin/env python3
"""Checks .qx map files, written from the file format's tables alone.

usage: qxcheck.py [-v] FILE_OR_DIRECTORY...

Rebuilds the uncompressed image (raw area plus snappy blocks), then checks
the header, the section directory, the block layout, the MD5 id and every
section this checker knows. Prints one line per fault and exits with 1 when
any file has a fault. Plain python3, no extra packages.
"""

import hashlib
import os
import struct
import sys

MAGIC = b"qzorvane"
VERSION = 66
OLDEST_READER = 65
SECTION_COUNT = 12
BLOCK = 1024
HEAD = 188  # header 36 + directory 144 + 8 bytes
IMAGE_ORDER = [1, 10, 11, 7, 3, 2, 4, 5, 6, 8, 9, 12]
# Sections that follow their predecessor directly instead of at a 4-aligned offset.
UNALIGNED = {1, 11, 7}
# Sections written by the routing stage; checked for placement only.
ROUTING = {8, 10, 11}


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
            for sid, fn in ((1, self.check_section_1), (12, self.check_section_12)):
                try:
                    fn()
                except Fault as x:
                    self.fault("section %d" % sid, str(x))
        except Fault as x:
            self.faults.append(str(x))
        return self.faults

    def check_gaps(self):
        """Alignment gaps between sections hold zeros."""
        pos = HEAD
        for sid in IMAGE_ORDER:
            off, size = self.sections[sid]
            if off > pos:
                self.image.zeros(pos, off, "gap before section %d" % sid)
            pos = max(pos, off + size)


def check_file(path):
    """Returns the list of faults of one file (empty when it passes)."""
    return MapFile(path).check()


def main(argv):
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
    files = []
    for p in paths:
        if os.path.isdir(p):
            for root, _, names in os.walk(p):
                files += [os.path.join(root, n) for n in sorted(names) if n.lower().endswith(".qx")]
        else:
            files.append(p)
    bad = 0
    for path in files:
        faults = check_file(path)
        if faults:
            bad += 1
            for fault in faults:
                print("%s: %s" % (path, fault))
        elif verbose:
            print("%s: ok" % path)
    if not files:
        print("no .qx files found")
        return 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
