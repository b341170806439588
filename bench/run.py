#!/usr/bin/env python3
"""Converter benchmark: per-stage times, throughput, peak memory, growth
between sizes, and a side-by-side run of the peer converter (Debian's
mkgmap) on the same files. See bench/README.md.

    bench/run.py                       # 10k, 100k, 1M objects; peer on the corpus and a 100k map
    bench/run.py --sizes 10000,100000 --no-peer
    bench/run.py --full --results bench/RESULTS.md
    bench/run.py --atlas-only --results bench/RESULTS.md   # the atlas section alone, replaced in place
"""
import argparse
import datetime
import gzip
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = "/work/shared/corpus"
STAMP = re.compile(r"^(\d+):(\d\d):(\d\d)\.(\d\d\d): (.*)$")
# Log lines that open a stage, in pipeline order.
STAGES = [("load", "Loading "), ("jitters", "Removing jitters..."), ("dupes", "Removing duplicates..."),
          ("generalize", "Generalization..."), ("write", "Converting... ")]


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def build(build_dir):
    """Configures and builds the converter and the generator (tests off)."""
    subprocess.run(["cmake", "-S", SOURCE, "-B", build_dir, "-G", "Ninja", "-DORLUMO_TESTS=OFF",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", build_dir, "-j4", "atlasmaker64", "mpgen", "mapchbench"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "atlasmaker64"), os.path.join(build_dir, "bench", "mpgen")


def run_measured(command, cwd=None):
    """Runs a command; returns (exit code, output text, wall s, cpu s, peak RSS bytes).
    GNU time measures it: a child forked from this process would count our own memory."""
    with tempfile.TemporaryDirectory() as tmp:
        usage_file = os.path.join(tmp, "usage")
        start = time.monotonic()
        proc = subprocess.run(["/usr/bin/time", "-o", usage_file, "-f", "%U %S %M", *command], cwd=cwd,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        wall = time.monotonic() - start
        with open(usage_file) as f:
            user, system, rss_kb = f.read().split()[-3:]
    return (proc.returncode, proc.stdout.decode("utf-8", "replace"), wall, float(user) + float(system),
            int(rss_kb) * 1024)


def generate(mpgen, objects, seed, path, extra=()):
    """Generates a map once; returns the generator's counts."""
    summary = path + ".counts"
    if not (os.path.exists(path) and os.path.exists(summary)):
        log(f"generating {path}")
        result = subprocess.run([mpgen, "--objects", str(objects), "--seed", str(seed), "-o", path, *extra],
                                check=True, stderr=subprocess.PIPE, text=True)
        with open(summary, "w") as f:
            f.write(result.stderr)
    with open(summary) as f:
        return dict((k, int(v)) for k, v in (item.split("=") for item in f.read().split()))


def stage_times(text):
    """Seconds per stage from the converter's time-stamped log lines."""
    marks = []  # (stage or None, ms)
    for line in text.splitlines():
        m = STAMP.match(line)
        if not m:
            continue
        ms = ((int(m[1]) * 60 + int(m[2])) * 60 + int(m[3])) * 1000 + int(m[4])
        if marks and ms < marks[-1][1]:
            ms += 24 * 3600 * 1000  # past midnight
        message = m[5]
        stage = next((name for name, prefix in STAGES if message.startswith(prefix)), None)
        if stage or message.startswith("Ok ("):
            marks.append((stage, ms))
    times = {}
    for (stage, ms), (_, next_ms) in zip(marks, marks[1:]):
        if stage:
            times[stage] = (next_ms - ms) / 1000.0
    return times


def last_message(text):
    lines = [STAMP.sub(r"\5", l) for l in text.splitlines() if l.strip()]
    return lines[-1] if lines else "(no output)"


def convert(program, mp_path, work, compress, passes, repeat=1):
    """Converts one map `repeat` times; the fastest time of each stage and of the whole run counts
    (other work on the machine only ever adds time)."""
    runs = [convert_once(program, mp_path, work, compress, passes) for _ in range(repeat)]
    best = min(runs, key=lambda r: (not r["ok"], r["wall"]))
    if best["ok"]:
        for r in runs:
            for stage, seconds in r["stages"].items():
                best["stages"][stage] = min(best["stages"].get(stage, seconds), seconds)
        best["cpu"] = min(r["cpu"] for r in runs if r["ok"])
    return best


def convert_once(program, mp_path, work, compress, passes):
    """One conversion of one map; returns a result dict."""
    out_dir = os.path.join(work, "out")
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    config = os.path.join(work, "bench.cfg")
    flag = "1" if passes else "0"
    with open(config, "w") as f:
        f.write(f"map={mp_path}\noutput={out_dir}\natlas=none\ncompress={int(compress)}\n"
                f"removeJitters={flag}\nremoveDupes={flag}\ngeneralize={flag}\n")
    code, text, wall, cpu, rss = run_measured([program, config])
    outputs = [os.path.join(out_dir, n) for n in os.listdir(out_dir)]
    ok = code == 0 and "Ok (" in text and outputs
    return {"ok": bool(ok), "wall": wall, "cpu": cpu, "rss": rss, "stages": stage_times(text),
            "out_bytes": sum(os.path.getsize(p) for p in outputs), "error": None if ok else last_message(text)}


ROUTING_STEPS = [("road-graph", "road graph"), ("contract-distance", "Distance contraction"),
                 ("section10-distance", "section 10 Distance"), ("contract-time", "Time contraction"),
                 ("section10-time", "section 10 Time"), ("section11", "section 11"),
                 ("road-blocks", "road blocks"), ("road-references", "road references"), ("section8", "section 8")]
STEP = re.compile(r"^step (\S+) ([\d.]+) s, peak RSS (\d+) MB, \+(\d+) image bytes$")


def routing_steps(mapchbench, mp_path):
    """CPU seconds, peak RSS after the step and image bytes of each routing step of one map."""
    code, text, wall, cpu, rss = run_measured([mapchbench, mp_path])
    steps = {}
    for line in text.splitlines():
        m = STEP.match(line)
        if m:
            steps[m[1]] = (float(m[2]), int(m[3]), int(m[4]))
    return {"ok": code == 0, "steps": steps, "error": None if code == 0 else last_message(text)}


ATLAS_GRAPH = re.compile(r"^(Distance|Time) graph: (\d+) \((\d+), (\d+), (\d+)\), (\d+), (\d+), \S+$")


def stamped(text):
    """(ms, message) of each time-stamped log line."""
    lines = []
    for line in text.splitlines():
        m = STAMP.match(line)
        if m:
            ms = ((int(m[1]) * 60 + int(m[2])) * 60 + int(m[3])) * 1000 + int(m[4])
            if lines and ms < lines[-1][0]:
                ms += 24 * 3600 * 1000  # past midnight
            lines.append((ms, m[5]))
    return lines


def generate_country(mpgen, tiles, objects, seed, directory, extra=()):
    """Generates a country of tiles x tiles maps once; returns the generator's totals."""
    summary = directory + ".counts"
    if not (os.path.isdir(directory) and os.path.exists(summary)):
        log(f"generating {directory}")
        shutil.rmtree(directory, ignore_errors=True)
        result = subprocess.run([mpgen, "--country", str(tiles), "--objects", str(objects), "--seed", str(seed),
                                 "-o", directory, *extra], check=True, stderr=subprocess.PIPE, text=True)
        with open(summary, "w") as f:
            f.write(result.stderr)
    with open(summary) as f:
        return dict((k, int(v)) for k, v in (item.split("=") for item in f.read().split()))


def atlas_run(program, mpgen, work, tiles, objects, seed):
    """Converts a generated country with an atlas over its tiles and checks the atlas file."""
    src = os.path.join(work, f"country-{tiles}x{tiles}-{objects}-s{seed}")
    counts = generate_country(mpgen, tiles, objects, seed, src)
    out_dir = os.path.join(work, "atlas-out")
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    config = os.path.join(work, "atlas.cfg")
    with open(config, "w") as f:
        f.write(f"map={src}/\noutput={out_dir}/\natlas=input\ncompress=1\n")
    log(f"atlas: {tiles}x{tiles} tiles of {objects} objects")
    code, text, wall, cpu, rss = run_measured([program, config])
    row = {"tiles": tiles * tiles, "objects": counts["objects"], "bytes": counts["bytes"], "wall": wall,
           "rss": rss, "graphs": {}, "ok": False, "error": None}
    lines = stamped(text)
    start = next((i for i, (_, msg) in enumerate(lines) if msg == "Creating atlas file..."), None)
    atlas = [n for n in os.listdir(out_dir) if n.startswith("atlas-") and n.endswith(".dat")]
    if code or start is None or len(atlas) != 1:
        row["error"] = last_message(text)
        return row
    t0 = lines[start][0]
    row["conversion"] = (t0 - lines[0][0]) / 1000.0
    marks = {}  # seconds from the atlas start to the end of each graph and of the step
    for ms, msg in lines[start + 1:]:
        m = ATLAS_GRAPH.match(msg)
        if m:
            row["graphs"][m[1]] = tuple(int(v) for v in m.groups()[1:])
            marks[m[1]] = (ms - t0) / 1000.0
        elif msg.startswith("Ok ("):
            marks["end"] = (ms - t0) / 1000.0
        elif not msg.endswith(" files loaded"):
            row.setdefault("messages", []).append(msg)
    row["atlas"] = marks.get("end")
    row["distance"] = marks.get("Distance")
    row["time"] = marks["Time"] - marks["Distance"] if "Time" in marks and "Distance" in marks else None
    path = os.path.join(out_dir, atlas[0])
    row["atlas_bytes"] = os.path.getsize(path)
    row["outer"] = counts.get("outer")
    log("atlas: tools/atlascheck.py")
    check = subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "atlascheck.py"), path],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    faults = [l for l in check.stdout.splitlines() if not l.endswith(": ok")]
    row["check"] = "ok" if check.returncode == 0 else f"{len(faults)} faults: {faults[0] if faults else ''}"
    row["ok"] = row["atlas"] is not None
    return row


def atlas_table(rows):
    head = ("| tiles | objects per tile | MB | run s | conversion s | atlas s | Distance s | Time s | "
            "Distance graph: nodes (entries, exits, core), edges + shortcuts | Time graph | outer-ring stubs | "
            "peak RSS MB | atlas MB | atlascheck |")
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in rows:
        first = f"| {r['tiles']} | {r['objects'] // r['tiles']} | {r['bytes'] / 1e6:.1f} | "
        if not r["ok"]:
            lines.append(first + f"failed: {r['error']} |" + " |" * 10)
            continue

        def graph(name):
            g = r["graphs"].get(name)
            return "-" if g is None else f"{g[0]} ({g[1]}, {g[2]}, {g[3]}), {g[4]} + {g[5]}"
        lines.append(first + f"{r['wall']:.2f} | {r['conversion']:.2f} | {r['atlas']:.2f} | "
                     f"{fmt_s(r['distance'])} | {fmt_s(r['time'])} | {graph('Distance')} | {graph('Time')} | "
                     f"{r['outer'] or '-'} | {r['rss'] / 1e6:.0f} | {r['atlas_bytes'] / 1e6:.1f} | {r['check']} |")
    for r in rows:
        for msg in r.get("messages", []):
            lines.append(f"\n{r['tiles']} tiles, atlas log: `{msg}`")
    return "\n".join(lines)


def atlas_section(rows, seed, command):
    return ["## Atlas",
            "",
            f"- Date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}, commit {git_commit()}, "
            f"machine {machine()}, load average {os.getloadavg()[0]:.1f} at the end",
            f"- Command: `{command}`",
            "",
            "A generated country (`bench/mpgen --country K`, seed %d) cut into K x K tile maps whose streets meet "
            "at bound nodes on the tile sides, converted in one run with `atlas=input` (compressed, no passes, "
            "one run each). Conversion and atlas times come from the log; Distance s runs from the atlas start "
            "to the Distance graph line (load, joins, contraction), Time s from there to the Time graph line "
            "(the Distance graph's writing and the Time graph's build). Entries and exits are the unjoined "
            "stubs of the country's outer ring: each equals the outer-ring stub count when every inner border "
            "node found its partner. Peak RSS is the whole run's: the atlas's, as one tile map converts in far "
            "less (the Sizes table). The atlas file is checked with `tools/atlascheck.py`." % seed,
            "",
            atlas_table(rows)]


def routing_table(rows):
    head = "| objects | " + " | ".join(label for _, label in ROUTING_STEPS) + " |"
    lines = [head, "|" + "---|" * (len(ROUTING_STEPS) + 1)]
    for r in rows:
        res = r["routing"]
        if not res["ok"]:
            lines.append("| %d | failed: %s |" % (r["objects"], res["error"]) + " |" * (len(ROUTING_STEPS) - 1))
            continue
        cells = []
        for name, _ in ROUTING_STEPS:
            step = res["steps"].get(name)
            cells.append("-" if step is None else
                         "%.2f s, %d MB%s" % (step[0], step[1], ", %.1f MB out" % (step[2] / 1e6) if step[2] else ""))
        lines.append("| %d | " % r["objects"] + " | ".join(cells) + " |")
    return "\n".join(lines)


def fmt_s(v):
    return "-" if v is None else f"{v:.2f}"


def size_table(rows):
    """Markdown table of the size runs."""
    head = ("| objects | MB | compress | passes | load s | load MB/s | jitters s | dupes s | generalize s | "
            "write s | write MB/s | load+write MB/s | total s | CPU s | objects/s | peak RSS MB | .qx MB |")
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in rows:
        res, mb = r["result"], r["bytes"] / 1e6
        if not res["ok"]:
            lines.append(f"| {r['objects']} | {mb:.1f} | {int(r['compress'])} | {int(r['passes'])} | "
                         f"failed: {res['error']} |" + " |" * 12)
            continue
        st = res["stages"]
        load, write = st.get("load"), st.get("write")
        lines.append(
            f"| {r['objects']} | {mb:.1f} | {int(r['compress'])} | {int(r['passes'])} | {fmt_s(load)} | "
            f"{mb / load if load else 0:.1f} | {fmt_s(st.get('jitters'))} | {fmt_s(st.get('dupes'))} | "
            f"{fmt_s(st.get('generalize'))} | {fmt_s(write)} | {mb / write if write else 0:.1f} | "
            f"{mb / (load + write) if load and write else 0:.1f} | "
            f"{res['wall']:.2f} | {res['cpu']:.2f} | {r['objects'] / res['wall']:.0f} | {res['rss'] / 1e6:.0f} | "
            f"{res['out_bytes'] / 1e6:.1f} |")
    return "\n".join(lines)


def growth_table(rows):
    """Time growth per stage between consecutive sizes of the same mode, next to the input growth."""
    lines = ["| from -> to objects | compress | passes | input x | load x | jitters x | dupes x | generalize x | "
             "write x | total x | peak RSS x |", "|---|---|---|---|---|---|---|---|---|---|---|"]
    by_mode = {}
    for r in rows:
        by_mode.setdefault((r["compress"], r["passes"]), []).append(r)
    for (compress, passes), runs in sorted(by_mode.items()):
        for a, b in zip(runs, runs[1:]):
            if not (a["result"]["ok"] and b["result"]["ok"]):
                continue

            def ratio(key):
                x, y = a["result"]["stages"].get(key), b["result"]["stages"].get(key)
                return f"{y / x:.1f}" if x and y else "-"
            lines.append(
                f"| {a['objects']} -> {b['objects']} | {int(compress)} | {int(passes)} | "
                f"{b['objects'] / a['objects']:.1f} | {ratio('load')} | {ratio('jitters')} | {ratio('dupes')} | "
                f"{ratio('generalize')} | {ratio('write')} | {b['result']['wall'] / a['result']['wall']:.1f} | "
                f"{b['result']['rss'] / a['result']['rss']:.1f} |")
    return "\n".join(lines)


def to_cp1252(src, dst):
    """The peer reads no UTF-8 maps: the same map in code page 1252."""
    opener = gzip.open if src.endswith(".gz") else open
    with opener(src, "rb") as f:
        data = f.read()
    text = data.decode("utf-8", "replace") if b"CodePage=65001" in data[:4096] else data.decode("cp1252")
    text = text.replace("CodePage=65001", "CodePage=1252", 1)
    with open(dst, "wb") as f:
        f.write(text.encode("cp1252", "replace"))


def corpus_cp1252(work):
    """(name, path) of each corpus map in code page 1252, written into the work directory once."""
    inputs = []
    for name in sorted(os.listdir(CORPUS)) if os.path.isdir(CORPUS) else []:
        if name.endswith(".mp.gz") and "cp1252" not in name:
            dst = os.path.join(work, name[:-3].replace(".mp", "-cp1252.mp"))
            if not os.path.exists(dst):
                to_cp1252(os.path.join(CORPUS, name), dst)
            inputs.append((name[:-3], dst))
    return inputs


def peer_runs(program, mpgen, work, generated_objects, seed, repeat):
    """Both converters on the same files: the corpus and one generated map."""
    mkgmap = shutil.which("mkgmap")
    inputs = corpus_cp1252(work)
    gen = os.path.join(work, f"peer-{generated_objects}-s{seed}.mp")
    generate(mpgen, generated_objects, seed, gen, ("--cp1252", "--peer"))
    inputs.append((f"generated {generated_objects} objects", gen))
    rows = []
    for label, path in inputs:
        log(f"peer: {label}")
        ours = convert(program, path, work, compress=True, passes=False, repeat=repeat)
        ours_passes = convert(program, path, work, compress=True, passes=True, repeat=repeat)
        peer = None
        if mkgmap:
            peer_out = os.path.join(work, "mkgmap-out")
            shutil.rmtree(peer_out, ignore_errors=True)
            code, text, wall, cpu, rss = run_measured(
                [mkgmap, "--route", "--code-page=1252", f"--output-dir={peer_out}", path], cwd=work)
            ok = code == 0 and "SEVERE" not in text
            peer = {"ok": ok, "wall": wall, "cpu": cpu, "rss": rss,
                    "error": None if ok else next((l for l in text.splitlines() if "SEVERE" in l), "failed")}
        rows.append({"label": label, "bytes": os.path.getsize(path), "ours": ours, "ours_passes": ours_passes,
                     "peer": peer})
    return rows


def peer_table(rows):
    lines = ["| input | MB | ours s | ours + passes s | ours RSS MB | mkgmap wall s | mkgmap CPU s | mkgmap RSS MB | "
             "mkgmap wall / ours |", "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        ours, passes, peer = r["ours"], r["ours_passes"], r["peer"]
        o = f"{ours['wall']:.2f}" if ours["ok"] else f"failed: {ours['error']}"
        op = f"{passes['wall']:.2f}" if passes["ok"] else "failed"
        if peer is None:
            p = ("not installed", "-", "-", "-")
        elif not peer["ok"]:
            p = (f"failed: {peer['error']}", "-", "-", "-")
        else:
            ratio = f"{peer['wall'] / ours['wall']:.1f}" if ours["ok"] else "-"
            p = (f"{peer['wall']:.2f}", f"{peer['cpu']:.2f}", f"{peer['rss'] / 1e6:.0f}", ratio)
        lines.append(f"| {r['label']} | {r['bytes'] / 1e6:.1f} | {o} | {op} | {ours['rss'] / 1e6:.0f} | "
                     + " | ".join(p) + " |")
    return "\n".join(lines)


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return f"{model}, {os.cpu_count()} cores, {mem:.0f} GiB RAM, {platform.system()} {platform.release()}"


def git_commit():
    try:
        return subprocess.run(["git", "-C", SOURCE, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def read_text(path):
    """The file's text; empty when there is none."""
    if not os.path.exists(path):
        return ""
    with open(path) as f:
        return f.read()


def find_section(text, heading):
    """(start, end) of the Markdown section under the heading line, up to the next "## " heading; None
    when absent."""
    at = text.find("\n" + heading + "\n")
    if at < 0:
        return None
    end = text.find("\n## ", at + 1)
    return at + 1, len(text) if end < 0 else end + 1


def replace_section(path, heading, text):
    """Replaces the file's Markdown section under the heading with the text (or appends it)."""
    old = read_text(path)
    span = find_section(old, heading)
    if span:
        new = old[:span[0]] + text + ("\n" + old[span[1]:] if span[1] < len(old) else "")
    else:
        new = old.rstrip("\n") + "\n\n" + text if old else text
    with open(path, "w") as f:
        f.write(new)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000,1000000", help="object counts, comma-separated")
    ap.add_argument("--full", action="store_true", help="sizes 10k, 100k, 1M and 2M")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--work", default=os.path.join(SOURCE, "build", "bench-data"),
                    help="generated maps and outputs (kept between runs)")
    ap.add_argument("--build", default=os.path.join(SOURCE, "build", "bench"), help="build directory")
    ap.add_argument("--no-build", action="store_true", help="use the programs already in the build directory")
    ap.add_argument("--no-peer", action="store_true", help="skip the mkgmap comparison")
    ap.add_argument("--peer-objects", type=int, default=100000, help="size of the generated map for the peer")
    ap.add_argument("--repeat", type=int, default=3, help="runs per conversion; the fastest counts")
    ap.add_argument("--results", help="also write the report to this Markdown file")
    ap.add_argument("--no-routing", action="store_true", help="skip the routing steps of each size")
    ap.add_argument("--atlas", default="4x2000",
                    help="countries for the atlas step, comma-separated KxN: K x K tiles of N objects each")
    ap.add_argument("--no-atlas", action="store_true", help="skip the atlas step")
    ap.add_argument("--atlas-only", action="store_true",
                    help="only the atlas step; with --results its section replaces the file's \"## Atlas\" "
                         "(or is appended), the rest stays")
    args = ap.parse_args()
    countries = [tuple(int(v) for v in item.split("x")) for item in args.atlas.split(",")]

    load_before = os.getloadavg()[0]
    sizes = [10000, 100000, 1000000, 2000000] if args.full else [int(s) for s in args.sizes.split(",")]
    os.makedirs(args.work, exist_ok=True)
    if args.no_build:
        program = os.path.join(args.build, "atlasmaker64")
        mpgen = os.path.join(args.build, "bench", "mpgen")
    else:
        program, mpgen = build(args.build)
    mapchbench = os.path.join(os.path.dirname(mpgen), "mapchbench")
    command = ("bench/run.py " + " ".join(sys.argv[1:])).strip()

    if args.atlas_only:
        rows = [atlas_run(program, mpgen, args.work, k, n, args.seed) for k, n in countries]
        text = "\n".join(atlas_section(rows, args.seed, command)) + "\n"
        print(text)
        if args.results:
            replace_section(args.results, "## Atlas", text)
        return

    rows, routing_rows = [], []
    for objects in sizes:
        path = os.path.join(args.work, f"gen-{objects}-s{args.seed}.mp")
        counts = generate(mpgen, objects, args.seed, path)
        for compress in (False, True):
            for passes in (False, True):
                log(f"convert {objects} objects compress={int(compress)} passes={int(passes)}")
                result = convert(program, path, args.work, compress, passes, args.repeat)
                rows.append({"objects": counts["objects"], "bytes": counts["bytes"], "compress": compress,
                             "passes": passes, "result": result})
        if not args.no_routing:
            log(f"routing steps of {objects} objects")
            routing_rows.append({"objects": counts["objects"], "routing": routing_steps(mapchbench, path)})
    peers = None if args.no_peer else peer_runs(program, mpgen, args.work, args.peer_objects, args.seed, args.repeat)
    atlases = None if args.no_atlas else [atlas_run(program, mpgen, args.work, k, n, args.seed)
                                          for k, n in countries]

    report = [f"# Benchmark results\n",
              f"- Date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}",
              f"- Machine: {machine()}; load average {load_before:.1f} when the run started "
              f"(the machine is shared: each conversion ran {args.repeat} times, the fastest time counts)",
              f"- Commit: {git_commit()}, build type RelWithDebInfo (-O2)",
              f"- Command: `{command}`",
              "",
              "## Sizes",
              "",
              "Generated maps (`bench/mpgen`, seed %d). Stage times come from the converter's time-stamped log "
              "lines; MB/s counts .mp text; objects/s is over the whole run; passes = jitter removal, "
              "duplicate removal and generalization." % args.seed,
              "",
              size_table(rows),
              "",
              "## Growth between sizes",
              "",
              "Each stage's time ratio next to the input ratio: linear work grows as the input does.",
              "",
              growth_table(rows)]
    if routing_rows:
        report += ["", "## Routing steps",
                   "",
                   "`bench/mapchbench` runs the routing part of a map write step by step on the same maps: CPU time "
                   "of each step, the process's peak resident memory after it, and the image bytes it wrote.",
                   "", routing_table(routing_rows)]
    if peers is not None:
        report += ["", "## Peer: mkgmap",
                   "",
                   "Both programs read the same code-page-1252 file (the peer reads no UTF-8 maps). Ours: "
                   "compressed output, one thread; mkgmap: `--route`, its default threads (wall and CPU time).",
                   "", peer_table(peers)]
    if atlases is not None:
        report += [""] + atlas_section(atlases, args.seed, command)
    text = "\n".join(report) + "\n"
    print(text)
    if args.results:
        # The hand-written "## Notes" of an earlier report, and what follows them, stay below the new
        # tables; but an atlas section there gives way to this report's.
        old = read_text(args.results)
        span = find_section(old, "## Notes")
        notes = old[span[0]:] if span else ""
        atlas = find_section(notes, "## Atlas") if atlases is not None else None
        if atlas:
            notes = notes[:atlas[0]].rstrip("\n") + "\n" + ("\n" + notes[atlas[1]:] if atlas[1] < len(notes) else "")
        notes = "\n" + notes if notes else ""
        with open(args.results, "w") as f:
            f.write(text + notes)


if __name__ == "__main__":
    main()
