"""The atlas step through the program: atlas=input and atlas=output (with and without subdirs) give
the file named after the CRC-32 of the sorted map ids; old atlas files of the output directory go,
other files stay; a damaged map ends the step with a line naming it, no atlas file and exit code 0. A
country of tile maps gives the same files converted in one run or in runs side by side and a joining run."""
import os
import shutil
import struct
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import harness  # noqa: E402

args = harness.parse_args()
check = harness.Checker()
sys.path.insert(0, os.path.join(args.source, "tools"))
import atlascheck  # noqa: E402

HEADER = "[IMG ID]\nName=Tile\nLevel0=24\nLevel1=20\n[END-IMG ID]\n"


def road(road_id, lon0, lon1, nodes):
    return ("[POLYLINE]\nType=0x04\nRoadID=%d\nRouteParam=4,2,0,0,0,0,0,0,0,0,0,0\n"
            "Data0=(46.000000,%.6f),(46.000000,%.6f)\n%s[END]\n"
            % (road_id, lon0, lon1, "".join("Nod%d=%s\n" % (i + 1, n) for i, n in enumerate(nodes))))


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="") as f:
        f.write(text)


def params(name, text):
    path = os.path.join(args.tmp, name)
    write(path, text)
    return path


def atlas_files(directory):
    return sorted(n for n in os.listdir(directory) if n.startswith("atlas-"))


def expected_name(qx_paths):
    ids = sorted(open(p, "rb").read()[8:24] for p in qx_paths)
    return "atlas-%08x.dat" % zlib.crc32(b"".join(ids))


def swap_sections(path, a, b):
    """Swaps the (offset, size) of two sections in a plain map file's directory."""
    data = bytearray(open(path, "rb").read())
    where = {}
    for i in range(12):
        sid = struct.unpack_from("<I", data, 44 + 12 * i)[0]
        where[sid] = 36 + 12 * i
    ea, eb = where[a], where[b]
    data[ea:ea + 8], data[eb:eb + 8] = data[eb:eb + 8], data[ea:ea + 8]
    open(path, "wb").write(bytes(data))


src = os.path.join(args.tmp, "in")
shutil.rmtree(src, ignore_errors=True)
write(os.path.join(src, "west.mp"), HEADER + road(1, 8.0, 8.01, ["0,1", "1,2,1"]))
write(os.path.join(src, "sub", "east.mp"), HEADER + road(2, 8.01, 8.02, ["0,2,1", "1,3"]))
out = os.path.join(args.tmp, "out") + "/"
shutil.rmtree(out, ignore_errors=True)
os.makedirs(os.path.join(out, "sub"))
for name, text in (("atlas-00000000.dat", "old"), ("ATLAS-DEADBEEF.DAT", "old"), ("mine.dat", "user"),
                   ("atlas-0000000.dat", "user"), ("sub/atlas-12345678.dat", "user")):
    write(os.path.join(out, name), text)
maps = [os.path.join(out, "west.qx"), os.path.join(out, "sub", "east.qx")]

# atlas=input: the maps of this run, from both directories.
rc, log = harness.run(args.program, params("input.cfg", "map=%s/\noutput=%s\nsubdirs=1\natlas=input\ncompress=0\n"
                                          % (src, out)))
log = harness.mask(log)
check.equal("input: exit code", rc, 0)
name = expected_name(maps)
check.equal("input: old atlas files gone, the new one there", atlas_files(out), sorted([name, "atlas-0000000.dat"]))
for user in ("mine.dat", "atlas-0000000.dat", "sub/atlas-12345678.dat"):
    check.equal("input: %s kept" % user, open(os.path.join(out, user)).read(), "user")
tail = log[log.find("T: Creating atlas file..."):]
check.true("input: atlas lines", tail.startswith("T: Creating atlas file...\nT: 2 files loaded\n"
                                                "T: Distance graph: 4 (0, 0, 0), 6, ") and "T: Ok (" in tail, log)
first = open(os.path.join(out, name), "rb").read()
check.equal("input: the checker passes it, with the maps", atlascheck.check_file(os.path.join(out, name)), ([], True))
check.equal("input: magic, version, map count", first[:12], b"qx atlas\x05\x00\x02\x00")

# atlas=output with subdirs: the same two maps, the same file.
rc, log = harness.run(args.program, params("output.cfg", "output=%s\nsubdirs=1\natlas=output\n" % out))
check.equal("output: exit code", rc, 0)
check.equal("output: same name", atlas_files(out), sorted([name, "atlas-0000000.dat"]))
check.equal("output: same bytes", open(os.path.join(out, name), "rb").read(), first)
check.true("output: no 'Nothing to do!'", "Nothing to do!" not in log, log)

# Without subdirs only the west map: its border node is an exit, its start node an entry.
rc, log = harness.run(args.program, params("top.cfg", "output=%s\natlas=output\n" % out))
check.equal("top only: exit code", rc, 0)
check.equal("top only: the one-map atlas", atlas_files(out), sorted([expected_name(maps[:1]), "atlas-0000000.dat"]))
check.true("top only: graph line", "T: 1 files loaded\nT: Distance graph: 2 (1, 1, 2), 2, 0, 1\n" in harness.mask(log),
           log)

# A damaged map in the output directory: a line naming it, no atlas file, the run goes on.
damaged = os.path.join(args.tmp, "damaged") + "/"
shutil.rmtree(damaged, ignore_errors=True)
shutil.copytree(out, damaged)
swap_sections(os.path.join(damaged, "sub", "east.qx"), 10, 11)
rc, log = harness.run(args.program, params("damaged.cfg", "output=%s\nsubdirs=1\natlas=output\ntiles=%s\n"
                                          % (damaged, os.path.join(args.tmp, "no-tiles"))))
log = harness.mask(log)
check.equal("damaged: exit code", rc, 0)
check.true("damaged: error lines", "T: Error reading file east.qx\nT: Error creating atlas file.\n" in log, log)
check.true("damaged: the run goes on to the tiles", "T: Converting tiles " in log, log)
check.equal("damaged: no atlas file", atlas_files(damaged), ["atlas-0000000.dat"])
check.equal("damaged: user file kept", open(os.path.join(damaged, "mine.dat")).read(), "user")

# A truncated map cannot be loaded: it is left out and the atlas holds the other one.
truncated = os.path.join(args.tmp, "truncated") + "/"
shutil.rmtree(truncated, ignore_errors=True)
shutil.copytree(out, truncated)
east = os.path.join(truncated, "sub", "east.qx")
data = open(east, "rb").read()
open(east, "wb").write(data[:len(data) // 2])
rc, log = harness.run(args.program, params("truncated.cfg", "output=%s\nsubdirs=1\natlas=output\n" % truncated))
log = harness.mask(log)
check.equal("truncated: exit code", rc, 0)
check.true("truncated: load error", "T: Error loading file %s\nT: 1 files loaded\n" % east in log, log)
check.equal("truncated: atlas of the other map", atlas_files(truncated),
            sorted([expected_name(maps[:1]), "atlas-0000000.dat"]))

# A country of tile maps converted both ways: one run over all of them with atlas=input; or one run per
# map with atlas=none, side by side into one directory, then one run with no map and atlas=output.
# The map files and the atlas file are the same, byte for byte.
country = os.path.join(args.tmp, "country")
shutil.rmtree(country, ignore_errors=True)
subprocess.run(args.mpgen + ["--country", "3", "--objects", "200", "--seed", "7", "-o", country], check=True,
               stderr=subprocess.DEVNULL)
tiles = sorted(os.listdir(country))
one, many = os.path.join(args.tmp, "one") + "/", os.path.join(args.tmp, "many") + "/"
for d in (one, many):
    shutil.rmtree(d, ignore_errors=True)
rc, log = harness.run(args.program, params("one.cfg", "map=%s/\noutput=%s\natlas=input\n" % (country, one)))
check.equal("one run: exit code", rc, 0)
runs = [subprocess.Popen(args.program + [params(t + ".cfg", "map=%s\noutput=%s\natlas=none\n"
                                                % (os.path.join(country, t), many))],
                         stdout=subprocess.DEVNULL) for t in tiles]
check.equal("side by side: exit codes", [r.wait(timeout=600) for r in runs], [0] * len(tiles))
rc, log = harness.run(args.program, params("join.cfg", "output=%s\natlas=output\n" % many))
check.equal("joining run: exit code", rc, 0)
names = sorted(os.listdir(one))
check.equal("both ways: the file names", sorted(os.listdir(many)), names)
check.equal("one run: every tile and one atlas", (len(names), len(atlas_files(one))), (len(tiles) + 1, 1))
for n in names:
    check.true("both ways: %s byte-identical" % n,
               open(os.path.join(one, n), "rb").read() == open(os.path.join(many, n), "rb").read())

check.finish()
