"""The libraries form layers: their link graph in CMakeLists.txt has no cycle,
and a library's sources include only its own headers and those of the
libraries it links (directly or below them)."""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "support"))
import harness  # noqa: E402

args = harness.parse_args()
check = harness.Checker()
LIBRARIES = ("core", "polski", "mapfile", "routing", "raster", "app")

with open(os.path.join(args.source, "CMakeLists.txt")) as f:
    cmake = f.read()
links = {lib: set() for lib in LIBRARIES}
for lib, deps in re.findall(r"target_link_libraries\((\w+)\s+PUBLIC\s+([^)]*)\)", cmake):
    if lib in links:
        links[lib] |= {d for d in deps.split() if d in LIBRARIES}


def below(lib, seen=None):
    """Every library that lib links, directly or through others."""
    seen = set() if seen is None else seen
    for d in links[lib]:
        if d not in seen:
            seen.add(d)
            below(d, seen)
    return seen


for lib in LIBRARIES:
    check.true("%s does not link itself through others (%s)" % (lib, sorted(below(lib))), lib not in below(lib))

include = re.compile(r'^\s*#\s*include\s+"(\w+)/', re.M)
for lib in LIBRARIES:
    allowed = below(lib) | {lib}
    for root, _, files in os.walk(os.path.join(args.source, lib)):
        for name in sorted(files):
            if not name.endswith((".cpp", ".h")) or (lib == "app" and name == "main.cpp"):
                continue
            path = os.path.join(root, name)
            with open(path, errors="replace") as f:
                used = set(include.findall(f.read()))
            wrong = sorted(u for u in used if u in LIBRARIES and u not in allowed)
            check.equal("%s includes only what %s links" % (os.path.relpath(path, args.source), lib), wrong, [])

sys.exit(check.finish())
