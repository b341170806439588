"""Every real map of the shared corpus through the converter with all three
cleaning passes (jitters, duplicates, generalization), compressed and plain;
tools/qxcheck.py must pass on every output. In the sanitizer build this is
the real-data run under ASan/UBSan, so standard error is checked too.
(tests/mapfile/corpus_test.py covers the same maps without the passes.)

A map that the program must refuse would be listed in REFUSED with the
message it is refused with and why; every corpus map of today converts."""
import glob
import gzip
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import harness  # noqa: E402
import qxcheck  # noqa: E402

# map file name -> (message of the refusal, why it must be refused).
REFUSED = {}
# Never in the output: the crash report, a sanitizer report, running out of memory.
FATAL = ("Unhandled exception", "Sanitizer", "runtime error:", "Out of memory")

args = harness.parse_args()
check = harness.Checker()
maps = sorted(glob.glob(os.path.join(args.shared, "corpus", "*.mp.gz")))
check.true("corpus present", maps, os.path.join(args.shared, "corpus"))

for gz in maps:
    base = os.path.basename(gz)[:-len(".mp.gz")]
    mp = os.path.join(args.tmp, base + ".mp")
    with gzip.open(gz, "rb") as src, open(mp, "wb") as dst:
        shutil.copyfileobj(src, dst)
    for compress in (1, 0):
        what = "%s compress=%d" % (base, compress)
        out_dir = os.path.join(args.tmp, "out-%d" % compress)
        shutil.rmtree(out_dir, ignore_errors=True)
        params = os.path.join(args.tmp, "passes-%d.cfg" % compress)
        with open(params, "w") as f:
            f.write("map=%s\noutput=%s\natlas=none\ncompress=%d\nremoveJitters=1\nremoveDupes=1\ngeneralize=1\n"
                    % (mp, out_dir, compress))
        run = subprocess.run(args.program + [params], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=850)
        log = harness.mask(run.stdout.decode("utf-8", "replace"))
        errors = run.stderr.decode("utf-8", "replace")
        check.equal(what + " exit code", run.returncode, 0)
        fatal = [line for line in (log + errors).splitlines() if any(word in line for word in FATAL)]
        check.true(what + " no crash", not fatal, "\n".join(fatal[:5]))
        qx = os.path.join(out_dir, base + ".qx")
        if base in REFUSED:
            message, why = REFUSED[base]
            check.true("%s refused (%s)" % (what, why), "T: %s\n" % message in log, log[-2000:])
            check.true(what + " leaves no file", not os.path.exists(qx))
            continue
        check.true(what + " converted", "T: Ok (" in log and os.path.exists(qx), log[-2000:])
        if os.path.exists(qx):
            check.equal(what + " qxcheck", qxcheck.check_file(qx), [])
    os.remove(mp)

check.finish()
