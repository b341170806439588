"""The map writer through the real program: the checker passes on every
file written here, plain and compressed; images, ids and repeated runs agree;
the level and failure cases leave no file behind; the checker run as a
program says what it checked, or names the faults."""
import hashlib
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxmaps  # noqa: E402
from qxmaps import harness, header, load  # noqa: E402

args, check, conv = qxmaps.start()
samples = os.path.join(args.source, "examples", "maps")

POI = "[POI]\nType=0x2a00\nLabel=Cafe\nData0=(45.1,13.5)\n[END]\n"


def converted(name, text, **kw):
    return conv.converted(check, name, text, **kw)[0]


# Every sample map, plain and compressed: same image, and the id is the MD5
# of the stored file from byte 24.
for name in sorted(os.listdir(samples)):
    if not name.endswith(".mp"):
        continue
    with open(os.path.join(samples, name), encoding="utf-8") as f:
        text = f.read()
    base = name[:-3]
    packed = converted(base, text)
    plain = converted(base + "_plain", text, compress=False)
    if packed and plain:
        check.true(base + " plain and compressed images agree", packed.image.data[36:] == plain.image.data[36:])
        check.equal(base + " block size", qxmaps.u32(packed.file, 32), 1024)
        check.equal(base + " id", packed.file[8:24], hashlib.md5(packed.file[24:]).digest())
    again = converted(base + "_again", text)
    if packed and again:
        check.true(base + " converted twice is byte-identical", again.file == packed.file)

# Section 1 ending exactly on 1024 bytes: 200 + 2 x 412 (three titles, two
# levels, one pad byte, an empty url).
mf = converted("s1_1024", header(name="N" * 412, levels=(24, 20)) + POI * 50)
if mf:
    off, size = mf.sections[1]
    check.equal("section 1 ends on 1024", off + size, 1024)
    check.equal("first block right behind it", qxmaps.u32(mf.file, len(mf.file) - 4 * ((mf.end - 1024 + 1023) // 1024)), 1024)

# An image that ends before the raw area's end: no block, an empty table.
mf = converted("tiny", header(levels=(24, 20)) + POI)
if mf:
    check.true("tiny image below 1024", mf.end < 1024, str(mf.end))
    check.equal("tiny file: image padded to 4, no table", len(mf.file), (mf.end + 3) // 4 * 4)

# A short last block.
mf = converted("short_block", header() + POI * 40)
if mf:
    a = (sum(mf.sections[1]) + 1023) // 1024 * 1024
    check.true("last block is short", (mf.end - a) % 1024 != 0, str(mf.end - a))

# Section 1 fields and the url of the parameter file.
mf = converted("info", header(name="Ab", levels=(24, 22, 20), extra="Copyright=C\u00e9\nRevision=7\n") + POI,
               params="url=http://x.example/\u00e9\n")
if mf:
    data = mf.image.data
    name, p = qxmaps.text_at(data, 188)
    copy, p = qxmaps.text_at(data, p)
    rev, p = qxmaps.text_at(data, p)
    check.equal("section 1 titles", (name, copy, rev), ("Ab", "C\u00e9", "7"))
    check.equal("section 1 levels", list(data[p:p + 4]), [3, 24, 22, 20])
    url, p = qxmaps.text_at(data, p + 4)
    check.equal("section 1 url", url, "http://x.example/\u00e9")

# Level tables outside 2..255 give the map up: no file.
for name, text in (("no_levels", header(levels=()) + POI), ("one_level", header(levels=(24,)) + POI)):
    rc, out, qx = conv.convert(name, text)
    check.true(name + " refused", "Wrong number of levels" in out and "Ok (" not in out, out)
    check.true(name + " leaves no file", not os.path.exists(qx))
layers = conv.params_file("layers256.txt", "".join("level%d=%d\n" % (i, 1 + i % 20) for i in range(256)))
rc, out, qx = conv.convert("layers256", header() + POI, params="layers=%s\n" % layers)
check.true("256 levels refused", "Wrong number of levels (256)" in out, out)
check.true("256 levels leave no file", not os.path.exists(qx))
# A layers file of one level is not used: the header's table is written.
mf = converted("layers_one", header(levels=(24, 20)) + POI,
               params="layers=%s\n" % conv.params_file("layers_one.txt", "level0=10\nlevel1=9\n"))
if mf:
    check.equal("two-level layers replace the header's", mf.levels, [10, 9])

# Output directories are created.
rc, out, qx = conv.convert("deep", header() + POI, params="output=%s\n" % os.path.join(args.tmp, "deep", "a", "b"))
check.true("missing output directories created", os.path.exists(os.path.join(args.tmp, "deep", "out", "deep.qx")))

# The tags table of the parameter file is written into every map.
tags = conv.params_file("tags.xml", '<tags version="1.00"><poi type="0x2a00"><tag>coffee tea</tag></poi></tags>')
mf = converted("tags", header() + POI, params="tags=%s\n" % tags)
if mf:
    off, size = mf.sections[12]
    check.equal("tags table", bytes(mf.image.data[off:off + size]),
                b"\x01\0\0\0\x00\x2a\0\0" + (off + 12).to_bytes(4, "little") + b"\x02\0\0\0"
                + b"\x06\0" + "coffee".encode("utf-16-le") + b"\x03\0" + "tea".encode("utf-16-le"))

# The demo parameter file's samples convert and pass the checker.
demo = os.path.join(args.source, "examples", "demo.cfg")
with open(demo) as f:
    lines = [l for l in f.read().splitlines() if l.lower().startswith("map=")]
check.true("demo converts the sample maps", "map=examples/maps/" in lines, str(lines))
out_dir = os.path.join(args.tmp, "demo") + "/"
cfg = conv.params_file("demo.cfg", "map=%s/\noutput=%s\natlas=input\n" % (samples, out_dir))
rc, out = harness.run(args.program, cfg)
names = sorted(n for n in os.listdir(out_dir) if n.endswith(".qx")) if os.path.isdir(out_dir) else []
check.true("demo writes every sample", len(names) >= 2, str(names))
for n in names:
    check.equal("demo " + n, qxmaps.qxcheck.check_file(os.path.join(out_dir, n)), [])

# The checker as the README runs it: a program of its own, one line saying what it checked.
checker = os.path.join(args.source, "tools", "qxcheck.py")
run = subprocess.run([checker, out_dir], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
check.equal("checker on the demo", (run.returncode, run.stdout),
            (0, "%d map files and 1 atlas file checked: all valid\n" % len(names)))
bad_dir = os.path.join(args.tmp, "demo-bad")
shutil.rmtree(bad_dir, ignore_errors=True)
shutil.copytree(out_dir, bad_dir)
bad = os.path.join(bad_dir, names[0])
with open(bad, "r+b") as f:
    f.truncate(os.path.getsize(bad) // 2)
run = subprocess.run([checker, bad_dir], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
check.true("checker on a cut file: exit code 1, faults named, no summary",
           run.returncode == 1 and run.stdout.startswith(bad + ": ") and "checked" not in run.stdout, run.stdout)

check.finish()
