"""The checker on converted files with one wrong byte in each region of
sections 2 to 9 that it checks: it must name the section."""
import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxmaps  # noqa: E402
from qxmaps import harness, load, text_at, u16, u32  # noqa: E402

args, check, conv = qxmaps.start()

with open(os.path.join(args.source, "examples", "maps", "harbour.mp"), encoding="utf-8") as f:
    rc, out, qx = conv.convert("harbour", f.read(), compress=False)
mf = load(qx)
data = mf.file
d = mf.image.data


def faults_with(pos, value, name):
    b = bytearray(data)
    b[pos] = value if value is not None else b[pos] ^ 0x5A
    b[8:24] = hashlib.md5(bytes(b[24:])).digest()
    path = os.path.join(args.tmp, name + ".qx")
    with open(path, "wb") as f:
        f.write(bytes(b))
    return qxmaps.qxcheck.check_file(path)


def expect(name, pos, region, value=None):
    faults = faults_with(pos, value, name)
    check.true(name, any(region in f for f in faults), "expected %r in %r" % (region, faults))


poi = mf.pois.starts[0]
line = mf.lines.starts[-1]
polygon = mf.polygons.starts[0]
s5, s6, s7, s9 = (mf.sections[i][0] for i in (5, 6, 7, 9))

expect("poi length", poi, "section 2")
expect("poi highway text count", text_at(d, poi + 24)[1], "section 2")
expect("poi overnight flag", text_at(d, text_at(d, poi + 24)[1])[1], "section 2", 7)
expect("polyline level count", text_at(d, line + 78)[1], "section 3")
expect("polyline road block", line + 40, "section 3")
_, p = text_at(d, polygon + 32)
k = u16(d, p)
expect("polygon ring count", p, "section 4")
expect("polygon flag bits", p + 3 + k, "section 4", 0x80)
expect("tree node header", s5 + 16 + 1, "section 5", 0xF0)
expect("tree leaf item", s6 + 16 + 4 + 20 * d[s6 + 16], "section 6")
expect("country city count", s7 + 4 + 4, "section 7", 9)
first_street = min(mf.streets)
count_pos = first_street + 8 + 2 + 2 * u16(d, first_street + 8)
check.true("the first street has a reference", u16(d, count_pos) > 0)
street_refs = (count_pos + 2 + 3) // 4 * 4
expect("street reference", street_refs, "section 7")
expect("word table offset", s9, "section 9")
first_word = s9 + 4
expect("word unit folded", first_word + 2, "section 9", ord("A"))
word_refs = (first_word + 2 + 2 * u16(d, first_word) + 3) // 4 * 4 + 4
expect("word reference", word_refs, "section 9", 1)
expect("object address reference", poi + 12, "records", 1)

# Orders of the indexes and the folding of words: the bytes are valid
# records, only out of order or not folded.
first_region = u32(d, s7 + 4 + 8)
check.true("two regions", u32(d, s7 + 4 + 12) >= 2)
expect("region order", first_region + 2, "regions of a country", ord("Z"))
numbers = sorted(mf.numbers)
i = [text_at(d, p)[0] for p in numbers].index("2")
check.equal("house number 2 sorts before 4 of its street", text_at(d, numbers[i + 1])[0], "4")
expect("house number order", numbers[i] + 2, "house numbers of a street", ord("9"))
# A high byte of 1 turns a unit into a Latin Extended capital (U+0100 and
# up, every second unit) that folding would have changed.
units = [u16(d, first_word + 2 + 2 * i) for i in range(u16(d, first_word))]
i = next(i for i, u in enumerate(units) if u % 2 == 0 and 0x4A <= u <= 0x76)
expect("word unit not folded (Latin Extended)", first_word + 2 + 2 * i + 1, "not folded", 1)

check.finish()
