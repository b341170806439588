"""The file checker on hand-made files: it passes valid ones and reports one
wrong byte in each region it checks.

The files are built here from the format tables, with a literal-only snappy
encoder, so this test depends on neither the writer nor snappy."""

import argparse
import hashlib
import os
import struct
import sys
import unittest

ARGS = None


def load_checker():
    sys.path.insert(0, os.path.join(ARGS.source, "tools"))
    import qxcheck
    return qxcheck


def text(units):
    return struct.pack("<H", len(units)) + b"".join(struct.pack("<H", u) for u in units)


def snappy_literals(data):
    """A valid raw snappy stream made of literals only."""
    n = len(data)
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            break
    pos = 0
    while pos < len(data):
        chunk = data[pos:pos + 60]
        out.append((len(chunk) - 1) << 2)
        out += chunk
        pos += len(chunk)
    return bytes(out)


class Fixture:
    """Image of sections 1 and 12 with empty sections between; saved plain
    or compressed. Records the file offsets of the regions tests corrupt."""

    def __init__(self, name_units=5, tag_words=(b"ab", b"cde"), levels=(24, 20), more_tags=((9, b"f"),)):
        img = bytearray(188)
        img += text([ord("N")] * name_units) + text([]) + text([0x41, 0x42])
        img.append(len(levels))
        img += bytes(levels)
        if len(img) % 2:
            img.append(0)
        img += text([ord("u")])
        self.s1 = (188, len(img) - 188)
        while len(img) % 4:
            img.append(0)
        dirs = {1: self.s1}
        for sid in (10, 11, 7, 3, 2, 4, 5, 6, 8, 9):
            dirs[sid] = (len(img), 0)
        start = len(img)
        tags = [(7, tag_words)] + [(t, [w]) for t, w in more_tags]
        img += struct.pack("<I", len(tags))
        table = len(img)
        img += bytes(8 * len(tags))
        for i, (t, words) in enumerate(tags):
            struct.pack_into("<iI", img, table + 8 * i, t, len(img))
            img += struct.pack("<I", len(words))
            for w in words:
                img += text(list(w))
        dirs[12] = (start, len(img) - start)
        self.dirs = dirs
        self.image = bytes(img)

    def save(self, compress):
        img = self.image
        head = bytearray(b"qzorvane" + bytes(16))
        head += struct.pack("<HHII", 66, 65, 12, 1024 if compress else 0)
        for sid in range(1, 13):
            head += struct.pack("<III", self.dirs[sid][0], self.dirs[sid][1], sid)
        head += bytes(6) + struct.pack("<H", 166)
        body = bytearray(head)
        end = len(img)
        if not compress:
            body += img[188:]
        else:
            a = min((self.s1[0] + self.s1[1] + 1023) // 1024 * 1024, end)
            body += img[188:a]
            table = []
            for k in range((end - a + 1023) // 1024):
                table.append(len(body))
                body += snappy_literals(img[a + 1024 * k:a + 1024 * (k + 1)])
            while len(body) % 4:
                body.append(0)
            body += b"".join(struct.pack("<I", t) for t in table)
        body[8:24] = hashlib.md5(bytes(body[24:])).digest()
        return bytes(body)


def restamp(data):
    """Recomputes the digest, so that a corruption is seen by its own check."""
    b = bytearray(data)
    b[8:24] = hashlib.md5(bytes(b[24:])).digest()
    return bytes(b)


class CheckerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.qx = load_checker()
        os.makedirs(ARGS.tmp, exist_ok=True)

    def faults(self, data, name):
        path = os.path.join(ARGS.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return self.qx.check_file(path)

    def assertFault(self, data, name, region):
        faults = self.faults(data, name)
        self.assertTrue(any(region in f for f in faults), "%s: expected a fault about %r, got %r"
                        % (name, region, faults))

    def test_fold_table_and_house_number_order(self):
        qx = self.qx
        self.assertEqual(len(qx.FOLD), 641)  # the units that fold to another unit
        for unit, want in ((0x41, 0x61), (0x130, 0x69), (0x178, 0xFF), (0x10F6, 0x10C6), (0xFF21, 0xFF41),
                           (0x401, 0x451), (0x1F59, 0x1F51), (0x1F5A, 0x1F5A), (0xDF, 0xDF), (0x590, 0x590),
                           (0x2160, 0x2160)):
            self.assertEqual(qx.fold(unit), want, hex(unit))
        self.assertTrue(all(qx.fold(v) == v for v in qx.FOLD.values()))  # folding twice changes nothing
        key = lambda t: qx.house_number_key([ord(c) for c in t])
        self.assertEqual(sorted(["10a", "2", "b", "10", " 10 A"], key=key), ["b", "2", "10", "10a", " 10 A"])
        self.assertEqual(key("  -12  x"), (-12, [ord("x")]))
        self.assertEqual(key("99999999999"), (999999999, [ord("9")] * 2))

    def test_valid_files_pass(self):
        big = Fixture(name_units=412, tag_words=[bytes([97 + i % 7]) * (1 + i % 9) for i in range(900)])
        for fx, label in ((Fixture(), "small"), (big, "big")):
            for compress in (False, True):
                name = "%s_%d.qx" % (label, compress)
                self.assertEqual(self.faults(fx.save(compress), name), [], name)

    def test_one_wrong_byte_per_region(self):
        fx = Fixture()
        plain = fx.save(False)
        s1, s12 = fx.dirs[1][0], fx.dirs[12][0]
        cases = [
            (0, "magic", False),               # magic
            (24, "version", True),             # format version
            (26, "oldest reader", True),
            (28, "section count", True),
            (40, "directory", True),           # size of section 1
            (44 + 12 * 3, "directory", True),  # id of entry 3
            (36 + 12 * 9, "directory", True),  # offset of section 10
            (182, "reserved", True),
            (186, "166", True),
            (s1 + 12, "section 1", True),      # copyright count: the titles no longer fit
            (s12 + 12, "section 12", True),    # second type
            (s12 + 8, "section 12", True),     # first block offset
            (s12 + 20, "section 12", True),    # first word count
            (len(plain) - 3, "md5", False),    # last byte of a word, digest left stale
        ]
        for pos, region, stamp in cases:
            b = bytearray(plain)
            b[pos] ^= 0x5A if pos != s12 + 12 else 0x0F  # 9 becomes 6: below 7
            data = restamp(bytes(b)) if stamp else bytes(b)
            self.assertFault(data, "plain_%d.qx" % pos, region)

    def test_level_count_and_padding(self):
        self.assertFault(Fixture(levels=(24,)).save(True), "one_level.qx", "level count")
        fx = Fixture(name_units=6, levels=(24, 20))  # the table ends at an odd offset: one pad byte
        b = bytearray(fx.save(False))
        pad = fx.dirs[1][0] + 14 + 2 + 6 + 1 + 2  # name, copyright, revision, count, levels
        self.assertEqual(b[pad], 0)
        b[pad] = 1
        self.assertFault(restamp(bytes(b)), "pad.qx", "padding")
        b = bytearray(fx.save(False))
        gap = fx.dirs[1][0] + fx.dirs[1][1]
        self.assertGreater(fx.dirs[10][0], gap)
        b[gap] = 1
        self.assertFault(restamp(bytes(b)), "gap.qx", "gap before section 10")

    def test_block_layout_faults(self):
        fx = Fixture(name_units=409, tag_words=[b"xyz" * (1 + i % 5) for i in range(700)])
        self.assertEqual(sum(fx.dirs[1]), 1024)  # the blocks start right behind section 1
        good = fx.save(True)
        table_len = 4 * ((len(fx.image) - 1024 + 1023) // 1024)
        table = len(good) - table_len
        # A block's stream broken: its announced length changed.
        b = bytearray(good)
        b[1024] ^= 0x01
        self.assertFault(restamp(bytes(b)), "block_len.qx", "block 0")
        # Table not increasing.
        b = bytearray(good)
        b[table + 4:table + 8] = b[table:table + 4]
        self.assertFault(restamp(bytes(b)), "table.qx", "strictly increasing")
        # Non-zero padding before the table, or a missing table entry.
        last = struct.unpack_from("<I", good, len(good) - 4)[0]
        stream_end = last + len(snappy_literals(fx.image[1024 + 1024 * (table_len // 4 - 1):]))
        self.assertEqual(table - stream_end, (-stream_end) % 4)
        b = bytearray(good)
        if table > stream_end:
            b[table - 1] = 7
            self.assertFault(restamp(bytes(b)), "padbyte.qx", "expected")
        # An extra zero word of padding.
        b = bytearray(good[:table]) + bytes(4) + good[table:]
        self.assertFault(restamp(bytes(b)), "padword.qx", "blocks")
        self.assertFault(restamp(good[:-4]), "short.qx", "blocks")
        # A plain file cut short.
        self.assertFault(restamp(fx.save(False)[:-2]), "plain_short.qx", "blocks")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--shared")
    parser.add_argument("--tmp", required=True)
    parser.add_argument("--mpgen")
    parser.add_argument("program", nargs="*")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + [a for a in rest if a != "--"])


if __name__ == "__main__":
    main()
