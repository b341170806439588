"""Whole transcripts of the converter on its command line and parameter file."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harness  # noqa: E402

args = harness.parse_args()
check = harness.Checker()
BANNER = "Orlumo converter 1.24.166\n"
USAGE = "Converts maps from .mp (Polish format) to .qx\nusage: converter config_file\n"


def params(name, text):
    path = os.path.join(args.tmp, name)
    with open(path, "w", newline="") as f:
        f.write(text)
    return path


for extra in ([], ["a", "b"]):
    rc, out = harness.run(args.program, extra_args=extra)
    check.equal("usage %r exit code" % extra, rc, 1)
    check.equal("usage %r transcript" % extra, out, BANNER + USAGE)

missing = os.path.join(args.tmp, "missing.cfg")
cases = [
    # (name, parameter file text or None for a missing file, exit code, transcript after banner and date)
    ("nothing", "output=%s\n" % args.tmp, 0, "Nothing to do!\n"),
    ("missing", None, 1, "T: Error loading config file.\n"),
    ("noequals", "map\n", 1, "T: Error loading config file.\n"),
    ("badbool", "subdirs=2\n", 1, 'T: Bad "subdirs" value.\n'),
    ("badatlas", "atlas=all\n", 1, 'T: Bad "atlas" value.\n'),
    ("badtags", "tags=%s\n" % missing, 1, "T: Error loading tags config.\n"),
    ("badlayers", "layers=%s\n" % missing, 1, "T: Error loading layers config.\n"),
    ("warn", "unknown=1\natlas=none\n", 0, 'T: Wrong param "unknown".\nNothing to do!\n'),
    ("baddir", "map=/nonexistent-dir/\natlas=none\n", 0, "T: Bad directory /nonexistent-dir/\n"),
    # Atlas over an output directory without map files: nothing to do and nothing printed.
    ("atlasoutput", "atlas=output\noutput=%s\n" % os.path.join(args.tmp, "empty-out"), 0, ""),
]
os.makedirs(os.path.join(args.tmp, "empty-out"), exist_ok=True)
for name, text, code, expected in cases:
    path = missing if text is None else params(name + ".cfg", text)
    rc, out = harness.run(args.program, path)
    check.equal(name + " exit code", rc, code)
    check.equal(name + " transcript", harness.mask(out), BANNER + "DD.MM.YYYY\n" + expected)

# A malformed tags file is not caught: the crash report ends the run with exit code 1 and names the
# file and line.
bad_tags = params("bad-tags.xml", '<tags version="1.00">\n<tag\n')
rc, out = harness.run(args.program, params("badxml.cfg", "tags=%s\n" % bad_tags))
check.equal("malformed tags exit code", rc, 1)
lines = harness.mask(out).splitlines()
check.equal("malformed tags: one exception line",
            len([l for l in lines if l.startswith("T: Unhandled exception E06D7363 at ")]), 1)
check.true("malformed tags: the XML error is named",
           any(l.endswith("Wrong xml structure at %s:2" % bad_tags) for l in lines), out)

check.finish()
