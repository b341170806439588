"""The real maps of the shared corpus convert, and the checker passes on
every file (run under the sanitizers in that build). The same map in UTF-8
and in code page 1252 gives the same file; read as code page 1251 it gives
the file it always gave."""
import gzip
import hashlib
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxmaps  # noqa: E402
from qxmaps import harness  # noqa: E402

args = harness.parse_args()
check = harness.Checker()
corpus = os.path.join(args.shared, "corpus")
names = sorted(n for n in os.listdir(corpus) if n.endswith(".mp.gz")) if os.path.isdir(corpus) else []
if not names:
    print("no corpus: skipped")
    sys.exit(0)

maps = os.path.join(args.tmp, "maps")
os.makedirs(maps, exist_ok=True)
for n in names:
    target = os.path.join(maps, n[:-3])
    if not os.path.exists(target):
        with gzip.open(os.path.join(corpus, n)) as src, open(target, "wb") as dst:
            shutil.copyfileobj(src, dst)

# The same map under other "CodePage" values: UTF-8 spelt with a hyphen, and
# the code page 1252 bytes read as 1251.
SAME = [("li2013.mp", "li2013-cp1252.mp"), ("li2013.mp", "li2013-utf-8.mp")]
VARIANTS = {"li2013-utf-8.mp": ("li2013.mp", b"CodePage=65001\n", b"CodePage=UTF-8\n"),
            "li2013-cp1251.mp": ("li2013-cp1252.mp", b"CodePage=1252\n", b"CodePage=1251\n")}
# li2013-cp1251.qx as converted before texts were read by their own code page.
CP1251_MD5 = {"compressed": "85c330877a67195e101d9f13c030585a", "plain": "8012b9862b80c4abe08c403c11d0c307"}
for name, (source, old, new) in VARIANTS.items():
    if os.path.exists(os.path.join(maps, source)):
        with open(os.path.join(maps, source), "rb") as f:
            text = f.read()
        check.true(name + " made", old in text)
        with open(os.path.join(maps, name), "wb") as f:
            f.write(text.replace(old, new, 1))
count = len([n for n in os.listdir(maps) if n.endswith(".mp")])

layers = os.path.join(args.tmp, "layers.txt")
qxmaps.write(layers, "level0=24\nlevel1=22\nlevel2=20\nlevel3=18\n[poi]\n2a00,0,1\n[polyline]\n1,0,2\n2,0,2\n"
             "[polygon]\n4b,0,2\n")
for label, params in (("compressed", ""), ("plain", "compress=0\n"), ("layers", "layers=%s\n" % layers)):
    out_dir = os.path.join(args.tmp, "out-" + label) + "/"
    shutil.rmtree(out_dir, ignore_errors=True)
    cfg = os.path.join(args.tmp, label + ".cfg")
    qxmaps.write(cfg, "map=%s/\noutput=%s\natlas=none\n%s" % (maps, out_dir, params))
    rc, out = harness.run(args.program, cfg, timeout=1200)
    check.equal(label + " exit code", rc, 0)
    check.equal(label + " maps written", out.count("Ok ("), count)
    check.true(label + " no code page warning", "Unknown code page" not in out, out)
    written = sorted(os.listdir(out_dir)) if os.path.isdir(out_dir) else []
    for n in written:
        check.equal("%s %s" % (label, n), qxmaps.qxcheck.check_file(os.path.join(out_dir, n)), [])

    def qx(name):
        path = os.path.join(out_dir, name[:-3] + ".qx")
        if not os.path.exists(path):
            return b""
        with open(path, "rb") as f:
            return f.read()
    for a, b in SAME:
        if os.path.exists(os.path.join(maps, b)):
            check.true("%s %s and %s identical" % (label, a, b), qx(a) and qx(a) == qx(b))
    if label in CP1251_MD5 and "li2013-cp1251.mp" in os.listdir(maps):
        check.equal(label + " code page 1251 as before", hashlib.md5(qx("li2013-cp1251.mp")).hexdigest(),
                    CP1251_MD5[label])

check.finish()
