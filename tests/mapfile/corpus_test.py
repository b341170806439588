"""The real maps of the shared corpus convert, and the checker passes on
every file (run under the sanitizers in that build)."""
import gzip
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
    check.equal(label + " maps written", out.count("Ok ("), len(names))
    for n in sorted(os.listdir(out_dir)) if os.path.isdir(out_dir) else []:
        check.equal("%s %s" % (label, n), qxmaps.qxcheck.check_file(os.path.join(out_dir, n)), [])

check.finish()
