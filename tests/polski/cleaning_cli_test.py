"""The real maps convert with the three cleaning passes switched on by the converter's keys."""
import gzip
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harness  # noqa: E402

args = harness.parse_args()
check = harness.Checker()

# The passes' lines in the order they come, after the driver's heading of each.
ORDER = [
    "Removing jitters...", "Input polygon vertex count\t: ", "Output polygon vertex count\t: ",
    "Equal consequent vertices deleted: ", "Jitters deleted: ",
    "Removing duplicates...", "Searching poi duplicates", " poi duplicates found", "Searching polyline duplicates",
    " polyline duplicates found", "Fixing restrictions", "Restrictions fixed: ", "Searching polygon duplicates",
    " polygon duplicates found", "Deleting duplicates", "Polylines\t", "Polygons\t", "POIs\t",
    "Generalization...", "Processing polygons", "Processing polylines", "Level\tinput\tadded\tdeleted\toutput",
    "Converting... ", "Ok (",
]


def number(log, prefix):
    m = re.search(r"(?m)^(?:T: )?" + re.escape(prefix) + r"(\d+)$", log)
    return int(m.group(1)) if m else None


corpus = os.path.join(args.shared, "corpus")
for name in sorted(os.listdir(corpus)):
    if not name.endswith(".mp.gz"):
        continue
    mp = os.path.join(args.tmp, name[:-3])
    with gzip.open(os.path.join(corpus, name), "rb") as src, open(mp, "wb") as dst:
        shutil.copyfileobj(src, dst)
    out_dir = os.path.join(args.tmp, "out-" + name[:-6])
    os.makedirs(out_dir, exist_ok=True)
    cfg = os.path.join(args.tmp, name + ".cfg")
    with open(cfg, "w") as f:
        f.write("map=%s\noutput=%s\nremoveJitters=1\nremoveDupes=1\ngeneralize=1\natlas=none\n" % (mp, out_dir))
    rc, out = harness.run(args.program, cfg)
    log = harness.mask(out)
    check.equal(name + " exit code", rc, 0)
    at = 0
    for text in ORDER:
        found = log.find(text, at)
        check.true(name + ": %r in order" % text, found >= 0, log[-2000:])
        at = max(at, found)
    qx = os.path.join(out_dir, name[:-6] + ".qx")
    check.true(name + ": map written", os.path.isfile(qx), log[-2000:])
    if os.path.isfile(qx):
        checker = subprocess.run([sys.executable, os.path.join(args.source, "tools", "qxcheck.py"), qx],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check.equal(name + ": qxcheck", checker.stdout.decode("utf-8", "replace"), "")
    vin = number(log, "Input polygon vertex count\t: ")
    vout = number(log, "Output polygon vertex count\t: ")
    equal = number(log, "Equal consequent vertices deleted: ")
    jitters = number(log, "Jitters deleted: ")
    check.true(name + ": vertex counts add up", None not in (vin, vout, equal, jitters) and
               vin == vout + equal + 2 * jitters, "%r" % ((vin, vout, equal, jitters),))
    levels = re.findall(r"(?m)^(?:T: )?(\d+):\t(\d+)\t(\d+)\t(\d+)\t(\d+)$", log)
    check.true(name + ": level table", len(levels) >= 2, log[-2000:])
    for level, inp, added, deleted, output in levels:
        check.true(name + ": level %s adds up" % level, int(inp) + int(added) - int(deleted) == int(output))

check.finish()
