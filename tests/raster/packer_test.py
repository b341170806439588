"""The converter packing the sample tile tree: its transcript, and the .qxr file read back
by a reader written from the file layout, with hashlib's MD5 and zlib as independent checks."""
import hashlib
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harness  # noqa: E402

args = harness.parse_args()
check = harness.Checker()
HEAD = "Orlumo converter 1.24.166\nDD.MM.YYYY\n"
SAMPLE = os.path.join(args.source, "examples", "tiles", "sample")


def u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


def read_qxr(path):
    """Every check of the layout; returns {(level, x, y): (stored bytes or None, size field, jpeg)}."""
    with open(path, "rb") as f:
        b = f.read()
    assert b[:8] == b"qxr\0\0\0\0\0", "magic"
    assert u32(b, 24) == 0x00030003 and u32(b, 28) == 2, "version"
    end = u32(b, 44)
    assert (u32(b, 32), u32(b, 36), u32(b, 40)) == (56, end - 56, 1), "section 1"
    assert u32(b, 52) == 2 and end + u32(b, 48) == len(b), "section 2"
    assert hashlib.md5(bytes(32) + b[56:]).digest() == b[8:24], "digest"
    tiles = {}
    state = {"data": 56}

    def subtree(at, level, axis, lo, hi):
        key, offset, word = struct.unpack_from("<QII", b, at)
        y, x, size, jpeg = key & 0x7FFFFF, key >> 23 & 0x7FFFFF, key >> 46 & 0x1FFFF, key >> 63
        k = (y, x)[axis]
        assert lo[axis] <= k <= hi[axis] and lo[1 - axis] <= (y, x)[1 - axis] <= hi[1 - axis], "tree order"
        left_len, has_right = word & 0x7FFFFFFF, word >> 31
        left = 0
        if left_len:
            h = list(hi)
            h[axis] = k
            left = subtree(at + 16, level, 1 - axis, lo, h)
            assert left == left_len, "left length"
        data = None
        if offset:
            n = size or 0x20000
            assert offset == state["data"] and offset + n <= end, "data in order"
            data = b[offset:offset + n]
            state["data"] += n
        tiles[(level, x, y)] = (data, size, jpeg)
        right = 0
        if has_right:
            lo2 = list(lo)
            lo2[axis] = k + 1
            right = subtree(at + 16 + left, level, 1 - axis, lo2, hi)
        return 16 + left + right

    tree_at = end + 480
    for level in range(24):
        offset, min_y, min_x, max_y, max_x = struct.unpack_from("<5I", b, end + 20 * level)
        if not offset:
            continue
        assert offset == tree_at, "tree offset"
        before = set(tiles)
        tree_at += subtree(offset, level, 1, (0, 0), (2 ** level - 1, 2 ** level - 1))
        mine = [t for t in tiles if t not in before]
        assert (min_y, min_x, max_y, max_x) == (min(t[2] for t in mine), min(t[1] for t in mine),
                                                max(t[2] for t in mine), max(t[1] for t in mine)), "bounds"
    assert tree_at == len(b) and state["data"] == end, "sizes"
    return tiles


def rgb565_of_png(path):
    """8-bit RGB, not interlaced, filters 0-4: the pixels as RGB565 little-endian."""
    with open(path, "rb") as f:
        b = f.read()
    at, idat, width, height = 8, b"", 0, 0
    while at < len(b):
        n, kind = struct.unpack_from(">I4s", b, at)
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack_from(">IIBBBBB", b, at + 8)
            assert (depth, colour, interlace) == (8, 2, 0)
        elif kind == b"IDAT":
            idat += b[at + 8:at + 8 + n]
        at += 12 + n
    raw, stride, prev, out = zlib.decompress(idat), width * 3, bytes(width * 3), bytearray()
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a, up, c = line[i - 3] if i >= 3 else 0, prev[i], prev[i - 3] if i >= 3 else 0
            p = a + up - c
            pred = [0, a, up, (a + up) // 2,
                    a if abs(p - a) <= abs(p - up) and abs(p - a) <= abs(p - c) else up if abs(p - up) <= abs(p - c) else c][f]
            line[i] = (line[i] + pred) & 0xFF
        for i in range(0, stride, 3):
            out += struct.pack("<H", (line[i] >> 3) << 11 | (line[i + 1] >> 2) << 5 | line[i + 2] >> 3)
        prev = line
    return bytes(out)


def params(name, text):
    path = os.path.join(args.tmp, name)
    with open(path, "w") as f:
        f.write(text)
    return path


# The sample tree, named without a trailing separator, into an output directory that does not exist yet.
out = os.path.join(args.tmp, "out")
empty = os.path.join(args.tmp, "empty")
os.makedirs(empty, exist_ok=True)
cfg = params("tiles.cfg", "output=%s\ntiles=%s\ntiles=%s\natlas=none\n" % (out, SAMPLE, empty))
rc, text = harness.run(args.program, cfg)
check.equal("exit code", rc, 0)
check.equal("transcript", harness.mask(text),
            HEAD + "T: Converting tiles %s...\nT: 8 tiles processed.\nT: Converting tiles %s...\nT: Error: No input files.\n"
            % (SAMPLE, empty))

try:
    tiles = read_qxr(os.path.join(out, "sample.qxr"))
except (AssertionError, struct.error, OSError) as e:
    check.true("sample.qxr reads back", False, str(e))
    tiles = {}
check.equal("tile places", sorted(tiles), sorted(
    (int(z[1:]), int(x), int(name.split(".")[0]))
    for z in os.listdir(SAMPLE) for x in os.listdir(os.path.join(SAMPLE, z))
    for name in os.listdir(os.path.join(SAMPLE, z, x))))
for (level, x, y), (data, size, jpeg) in sorted(tiles.items()):
    base = os.path.join(SAMPLE, "z%d" % level, str(x), str(y))
    path = base + (".jpg" if jpeg else ".png")
    if not os.path.exists(path):
        path = base + ".png"
    with open(path, "rb") as f:
        source = f.read()
    if len(source) <= 120000:
        check.true("%s stored as is" % path, data == source and size == len(source))
    else:
        check.true("%s stored as RGB565" % path, size == 0 and not jpeg and data == rgb565_of_png(path))
check.true("one tile decoded", any(size == 0 and data for data, size, _ in tiles.values()))

check.finish()
