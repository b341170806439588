#!/usr/bin/env python3
"""Many maps on all cores: the corpus maps and a generated country converted in one run (one core,
atlas=input) and side by side (one atlas=none run per map under `xargs -P $(nproc)`, then one
atlas=output run, as the README's recipe does), against `mkgmap --route` on the same files with its
own threads. Wall time, processor time and peak memory; whether both ways wrote the same files. See
bench/README.md.

    bench/cores.py --results bench/RESULTS.md   # replaces (or appends) the "## All cores" section
"""
import argparse
import datetime
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the benchmark's helpers)

HEADING = "## All cores"
SIDE_BY_SIDE = ('printf "%s\\n" "$3"/*.cfg | xargs -P "$1" -I{} sh -c \'"$1" "$2" > "$2.log"\' sh "$2" {}')


def tree_rss(root):
    """Resident bytes of a process and all its descendants."""
    children, rss = {}, {}
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        pid = int(stat.split("/")[2])
        children.setdefault(int(fields[1]), []).append(pid)
        rss[pid] = int(fields[21])
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        total += rss.get(pid, 0)
        todo += children.get(pid, [])
    return total * os.sysconf("SC_PAGE_SIZE")


def measured(command, cwd=None):
    """Runs a command under GNU time; returns (exit code, output, wall s, CPU s of it and all its
    children, peak RSS of its largest process, peak RSS of all its processes at once, sampled every
    20 ms)."""
    with tempfile.TemporaryDirectory() as tmp:
        usage = os.path.join(tmp, "usage")
        output = os.path.join(tmp, "output")
        with open(output, "wb") as out:
            start = time.monotonic()
            proc = subprocess.Popen(["/usr/bin/time", "-o", usage, "-f", "%U %S %M", *command], cwd=cwd,
                                    stdout=out, stderr=subprocess.STDOUT)
            peak = [0]

            def sample():
                while proc.poll() is None:
                    peak[0] = max(peak[0], tree_rss(proc.pid))
                    time.sleep(0.02)
            sampler = threading.Thread(target=sample)
            sampler.start()
            code = proc.wait()
            wall = time.monotonic() - start
            sampler.join()
        with open(usage) as f:
            user, system, rss_kb = f.read().split()[-3:]
        with open(output, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    return code, text, wall, float(user) + float(system), int(rss_kb) * 1024, peak[0]


def write_params(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def files_of(directory):
    return {n: open(os.path.join(directory, n), "rb").read() for n in sorted(os.listdir(directory))}


def atlas_start(text):
    """Seconds from the run's first log line to "Creating atlas file..."; None without one."""
    lines = run.stamped(text)
    at = next((ms for ms, msg in lines if msg == "Creating atlas file..."), None)
    return None if at is None or not lines else (at - lines[0][0]) / 1000.0


def ours_both_ways(program, maps, work, jobs):
    """One run over all maps, then the side-by-side runs and the joining run; returns the two rows."""
    one, many, cfgs = (os.path.join(work, d) for d in ("one", "many", "cfg"))
    for d in (one, many, cfgs):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    params = write_params(os.path.join(work, "one.cfg"),
                          "".join(f"map={m}\n" for m in maps) + f"output={one}/\natlas=input\n")
    code, text, wall, cpu, rss, at_once = measured([program, params])
    split = atlas_start(text)
    rows = [{"way": "ours, one run (one core)", "ok": code == 0 and split is not None, "wall": wall, "cpu": cpu,
             "rss": rss, "at_once": at_once, "maps": split, "atlas": None if split is None else wall - split,
             "error": run.last_message(text)}]
    for m in maps:
        write_params(os.path.join(cfgs, os.path.basename(m)[:-3] + ".cfg"), f"map={m}\noutput={many}/\natlas=none\n")
    code, text, wall, cpu, rss, at_once = measured(["sh", "-c", SIDE_BY_SIDE, "sh", str(jobs), program, cfgs])
    failed = [c for c in glob.glob(os.path.join(cfgs, "*.log")) if "Ok (" not in open(c).read()]
    joining = write_params(os.path.join(work, "join.cfg"), f"output={many}/\natlas=output\n")
    code2, text2, wall2, cpu2, rss2, at_once2 = measured([program, joining])
    same = files_of(one) == files_of(many)
    rows.append({"way": f"ours, side by side (xargs -P {jobs}) + atlas=output run",
                 "ok": code == 0 and code2 == 0 and not failed, "wall": wall + wall2, "cpu": cpu + cpu2,
                 "rss": max(rss, rss2), "at_once": max(at_once, at_once2), "maps": wall, "atlas": wall2,
                 "same": "yes" if same else "NO",
                 "error": f"{len(failed)} maps failed" if failed else run.last_message(text2)})
    return rows


def peer(maps, work):
    mkgmap = shutil.which("mkgmap")
    if not mkgmap:
        return {"way": "mkgmap --route", "ok": False, "error": "not installed"}
    out = os.path.join(work, "mkgmap-out")
    shutil.rmtree(out, ignore_errors=True)
    code, text, wall, cpu, rss, at_once = measured(
        [mkgmap, "--route", "--code-page=1252", f"--output-dir={out}", *maps], cwd=work)
    ok = code == 0 and "SEVERE" not in text
    return {"way": "mkgmap --route (its own threads)", "ok": ok, "wall": wall, "cpu": cpu, "rss": rss,
            "at_once": at_once, "maps": None, "atlas": None,
            "error": None if ok else next((l for l in text.splitlines() if "SEVERE" in l), "failed")}


def fastest(rows):
    """Of the tries of one way, the fastest that worked (others on the machine only ever add time)."""
    return min(rows, key=lambda r: (not r["ok"], r.get("wall", 0)))


def table(sets):
    head = ("| input | maps | MB | way | wall s | maps s | atlas s | CPU s | peak RSS MB, largest process | "
            "peak RSS MB, all at once | same files as one run |")
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for label, maps, rows in sets:
        mb = sum(os.path.getsize(m) for m in maps) / 1e6
        for r in rows:
            first = f"| {label} | {len(maps)} | {mb:.1f} | {r['way']} | "
            if not r["ok"]:
                lines.append(first + f"failed: {r['error']} |" + " |" * 6)
                continue
            lines.append(first + f"{r['wall']:.2f} | {run.fmt_s(r['maps'])} | {run.fmt_s(r['atlas'])} | "
                         f"{r['cpu']:.2f} | {r['rss'] / 1e6:.0f} | {r['at_once'] / 1e6:.0f} | {r.get('same', '-')} |")
    return "\n".join(lines)


def wait_for_quiet(max_load, minutes):
    """Waits until the 1-minute load average is at most max_load, for up to the given minutes."""
    deadline = time.monotonic() + 60 * minutes
    while os.getloadavg()[0] > max_load and time.monotonic() < deadline:
        run.log(f"load {os.getloadavg()[0]:.2f} above {max_load}: waiting")
        time.sleep(30)
    return os.getloadavg()


def uptime():
    return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--country", default="4x2000", help="the generated country: K x K tiles of N objects each")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeat", type=int, default=3, help="tries of each way; the fastest counts")
    ap.add_argument("--jobs", type=int, default=os.cpu_count(), help="runs side by side (default: every core)")
    ap.add_argument("--work", default=os.path.join(run.SOURCE, "build", "bench-data"))
    ap.add_argument("--build", default=os.path.join(run.SOURCE, "build", "bench"))
    ap.add_argument("--no-build", action="store_true", help="use the programs already in the build directory")
    ap.add_argument("--max-load", type=float, default=1.5, help="wait for a load average at most this")
    ap.add_argument("--wait", type=float, default=30, help="minutes to wait for it at the most")
    ap.add_argument("--results", help=f"replace (or append) the \"{HEADING}\" section of this Markdown file")
    args = ap.parse_args()
    tiles, objects = (int(v) for v in args.country.split("x"))

    os.makedirs(args.work, exist_ok=True)
    if args.no_build:
        program, mpgen = os.path.join(args.build, "atlasmaker64"), os.path.join(args.build, "bench", "mpgen")
    else:
        program, mpgen = run.build(args.build)
    corpus = [path for _, path in run.corpus_cp1252(args.work)]
    # The peer reads neither UTF-8 nor multi-part streets: the country in code page 1252, without them.
    src = os.path.join(args.work, f"country-{tiles}x{tiles}-{objects}-s{args.seed}-peer")
    run.generate_country(mpgen, tiles, objects, args.seed, src, ("--cp1252", "--peer"))
    country = sorted(glob.glob(os.path.join(src, "*.mp")))

    load = wait_for_quiet(args.max_load, args.wait)
    before = uptime()
    sets = []
    for label, maps in (("corpus", corpus), (f"country {tiles}x{tiles} of {objects}", country)):
        run.log(f"cores: {label}")
        work = os.path.join(args.work, "cores")
        os.makedirs(work, exist_ok=True)
        tries = [ours_both_ways(program, maps, work, args.jobs) + [peer(maps, work)] for _ in range(args.repeat)]
        sets.append((label, maps, [fastest(rows) for rows in zip(*tries)]))
    command = ("bench/cores.py " + " ".join(sys.argv[1:])).strip()
    text = "\n".join([
        HEADING,
        "",
        f"- Date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}, commit {run.git_commit()}, "
        f"machine {run.machine()}",
        f"- Load: `{before}` when the timed runs started (load average {load[0]:.2f}), `{uptime()}` at the end",
        f"- Command: `{command}`",
        "",
        "The corpus maps (in code page 1252) and a generated country (`bench/mpgen --country %d --objects %d "
        "--seed %d --cp1252 --peer`: the peer reads neither UTF-8 nor multi-part streets), each set the same files "
        "for both programs, %d tries of each way, the fastest counts. Ours, compressed, no passes: one run over all maps with `atlas=input`; "
        "or the README's recipe: one `atlas=none` run per map under `xargs -P`, then one run with `atlas=output` "
        "(maps s and atlas s are its two steps; for the one run they are split at \"Creating atlas file...\"). "
        "CPU s counts every process; peak RSS is that of the largest process (GNU time) and that of all processes "
        "at once (sampled every 20 ms). The last column compares every file of the two output directories byte "
        "for byte. mkgmap `--route --code-page=1252` over the same files, its default threads; it writes no "
        "atlas." % (tiles, objects, args.seed, args.repeat),
        "",
        table(sets)]) + "\n"
    print(text)
    if args.results:
        run.replace_section(args.results, HEADING, text)


if __name__ == "__main__":
    main()
