"""Pipes and FIFOs around a run: a console whose reader has gone, and FIFOs
where files are expected. Neither may end or hang the run."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harness  # noqa: E402

args = harness.parse_args()
check = harness.Checker()
MAP = ("[IMG ID]\nName=T\nLevel0=24\nLevel1=20\n[END-IMG ID]\n"
       "[POI]\nType=0x2a00\nLabel=Cafe\nData0=(45.1,13.5)\n[END]\n")
TIMEOUT = 60  # a blocked open would hang the run for good


def run(params_path):
    """(exit code, log); exit code None when the run hung."""
    try:
        return harness.run(args.program, params_path, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, ""


def fresh(name):
    path = os.path.join(args.tmp, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def params(name, inputs, output):
    text = "".join("map=%s\n" % i for i in inputs) + "output=%s/\natlas=none\n" % output
    return write(os.path.join(args.tmp, name + ".cfg"), text)


def outputs(directory):
    return sorted(os.listdir(directory)) if os.path.isdir(directory) else []


# An input directory with a FIFO among its maps (x.mp, between the others in
# name order).
inputs = fresh("in")
for name in ("a", "b", "z"):
    write(os.path.join(inputs, name + ".mp"), MAP)
os.mkfifo(os.path.join(inputs, "x.mp"))

# The FIFO gets the loader's error; the others are converted; exit code 0.
out = fresh("out-fifo")
rc, log = run(params("fifo", [inputs + "/"], out))
check.equal("FIFO input: exit code", rc, 0)
check.equal("FIFO input: maps written", outputs(out), ["a.qx", "b.qx", "z.qx"])
lines = harness.mask(log).splitlines()
at = [i for i, l in enumerate(lines) if l.endswith("/x.mp... ")]
check.true("FIFO input: the loader's error follows its loading line",
           len(at) == 1 and lines[at[0] + 1:at[0] + 2] == ["T: Error loading file."], log)

# A FIFO as the parameter file is a file that cannot be loaded.
fifo_params = os.path.join(args.tmp, "params.fifo")
if os.path.exists(fifo_params):
    os.unlink(fifo_params)
os.mkfifo(fifo_params)
rc, log = run(fifo_params)
check.equal("FIFO parameter file: exit code", rc, 1)
check.true("FIFO parameter file: the config error", "Error loading config file." in log, log)

# A FIFO where a map file is to be written: that map fails, the FIFO stays.
out = fresh("out-onto-fifo")
os.mkfifo(os.path.join(out, "a.qx"))
rc, log = run(params("onto-fifo", [os.path.join(inputs, "a.mp"), os.path.join(inputs, "b.mp")], out))
check.equal("FIFO output: exit code", rc, 0)
check.true("FIFO output: the write error", "Error creating out file" in log, log)
check.equal("FIFO output: the others written", outputs(out), ["a.qx", "b.qx"])
check.true("FIFO output: the FIFO is left alone", not os.path.isfile(os.path.join(out, "a.qx")))

# Standard output is a pipe whose reader has gone before the run starts (as
# with "| head -0"): every map is converted all the same, exit code 0.
out = fresh("out-pipe")
read_end, write_end = os.pipe()
os.close(read_end)
try:
    run = subprocess.run(args.program + [params("pipe", [inputs + "/"], out)], stdout=write_end,
                         stderr=subprocess.PIPE, timeout=TIMEOUT)
finally:
    os.close(write_end)
check.equal("closed pipe: exit code", run.returncode, 0)
check.equal("closed pipe: maps written", outputs(out), ["a.qx", "b.qx", "z.qx"])

check.finish()
