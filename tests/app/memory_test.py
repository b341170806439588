"""A map that runs out of memory fails alone: the run logs it and goes on with the next map."""
import os
import resource
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harness  # noqa: E402

args = harness.parse_args()
check = harness.Checker()

program = args.program[-1]
if any("qemu" in part for part in args.program):
    print("skipped: an address-space limit also limits the emulator that runs the 32-bit build")
    sys.exit(0)
with open(program, "rb") as f:
    if b"__asan_init" in f.read():
        print("skipped: the sanitizers reserve more address space than any useful limit")
        sys.exit(0)

# The loader holds a whole file in memory: a 300 MB map cannot load under a 200 MB limit.
big = os.path.join(args.tmp, "big.mp")
with open(big, "w") as f:
    f.write("[IMG ID]\nName=Big\nLevel0=24\nLevel1=20\n[END-IMG ID]\n")
    filler = ";" + "x" * 1022 + "\n"
    block = filler * 1024
    for _ in range(300):
        f.write(block)
small = os.path.join(args.tmp, "small.mp")
shutil.copy(os.path.join(args.source, "examples", "maps", "harbour.mp"), small)
out = os.path.join(args.tmp, "out")
shutil.rmtree(out, ignore_errors=True)
cfg = os.path.join(args.tmp, "params.cfg")
with open(cfg, "w") as f:
    f.write("map=%s\nmap=%s\noutput=%s\natlas=none\n" % (big, small, out))


def limit():
    resource.setrlimit(resource.RLIMIT_AS, (200 << 20, 200 << 20))


p = subprocess.run(args.program + [cfg], stdout=subprocess.PIPE, preexec_fn=limit, timeout=600)
text = harness.mask(p.stdout.decode("utf-8", "replace"))
os.remove(big)
check.equal("exit code", p.returncode, 0)
lines = text.splitlines()
check.true("the big map fails with Out of memory",
           "T: Loading %s... " % big in lines and "T: Out of memory" in lines, text)
check.true("the next map converts", "T: Loading %s... " % small in lines and any(
    l.startswith("T: Ok (") for l in lines), text)
check.true("no file for the failed map", not os.path.exists(os.path.join(out, "big.qx")))
check.true("a file for the next map", os.path.exists(os.path.join(out, "small.qx")))
check.finish()
