#!/usr/bin/env python3
"""Builds the seed corpus of every fuzz target into OUT/<target>/: the
committed seeds of fuzz/seeds/, the test fixtures, excerpts of the real maps
of the shared corpus (never whole maps: small inputs fuzz faster) and small
generated maps.

    fuzz/seeds.py OUT [--shared /work/shared] [--mpgen build/fuzz/bench/mpgen]
                      [--converter build/fuzz/atlasmaker64]
"""
import argparse
import glob
import gzip
import os
import shutil
import subprocess

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXCERPT_BLOCKS = 30
EXCERPTS_PER_MAP = 10
MAX_SEED = 24 * 1024


def copy_all(paths, target, prefix):
    for path in sorted(set(paths)):
        if os.path.isfile(path):
            name = prefix + os.path.relpath(path, SOURCE).replace("/", "_") if path.startswith(SOURCE) \
                else prefix + os.path.basename(path)
            shutil.copyfile(path, os.path.join(target, name))


def fixtures(*patterns):
    found = []
    for pattern in patterns:
        for top in ("tests", "examples"):
            found += glob.glob(os.path.join(SOURCE, top, "**", pattern), recursive=True)
    return found


def blocks(data):
    """The map's lines grouped into bracketed sections (opening line to [END line)."""
    result, current = [], []
    for line in data.split(b"\n"):
        if line.startswith(b"[") and not line.upper().startswith(b"[END"):
            current = [line]
        elif current:
            current.append(line)
            if line.startswith(b"[END"):
                result.append(b"\n".join(current) + b"\n")
                current = []
    return result


def map_excerpts(path, target):
    with gzip.open(path, "rb") as f:
        sections = blocks(f.read())
    if not sections:
        return
    header, body = sections[0], sections[1:]
    name = os.path.basename(path).split(".")[0]
    step = max(1, (len(body) - EXCERPT_BLOCKS) // max(1, EXCERPTS_PER_MAP - 1))
    for i in range(EXCERPTS_PER_MAP):
        text = header
        for section in body[i * step:i * step + EXCERPT_BLOCKS]:
            if len(text) + len(section) > MAX_SEED:
                break
            text += section
        with open(os.path.join(target, f"corpus-{name}-{i}.mp"), "wb") as f:
            f.write(text)
    # The restrictions stand at the end of the real maps; one seed with some of them.
    with open(os.path.join(target, f"corpus-{name}-tail.mp"), "wb") as f:
        f.write(header + b"".join(body[-EXCERPT_BLOCKS:]))


def map_files(converter, mpgen, target):
    """Small .qx files written by the converter, plain and compressed."""
    work = os.path.join(target, "work")
    os.makedirs(work)
    inputs = [os.path.join(SOURCE, "examples", "maps", "crossing.mp"),
              os.path.join(SOURCE, "examples", "maps", "harbour.mp"),
              os.path.join(SOURCE, "tests", "polski", "data", "fixture.mp")]
    if mpgen:
        inputs.append(os.path.join(work, "generated.mp"))
        subprocess.run([mpgen, "--objects", "8", "--seed", "5", "-o", inputs[-1]], check=True,
                       stderr=subprocess.DEVNULL)
    for compress in (0, 1):
        out = os.path.join(work, f"out{compress}") + "/"
        cfg = os.path.join(work, "run.cfg")
        with open(cfg, "w") as f:
            f.write(f"output={out}\natlas=none\ncompress={compress}\n")
            f.writelines(f"map={path}\n" for path in inputs)
        subprocess.run([converter, cfg], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for name in sorted(os.listdir(out)):
            shutil.copyfile(os.path.join(out, name), os.path.join(target, f"c{compress}-{name}"))
    shutil.rmtree(work)


def tile_files(converter, mpgen, target):
    """The tiles of a small generated country, converted: maps with bound nodes."""
    work = os.path.join(target, "work")
    os.makedirs(work)
    subprocess.run([mpgen, "--country", "2", "--objects", "12", "--seed", "6", "-o", work], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out = os.path.join(work, "out") + "/"
    cfg = os.path.join(work, "run.cfg")
    with open(cfg, "w") as f:
        f.write(f"output={out}\natlas=none\ncompress=0\nmap={work}/\n")
    subprocess.run([converter, cfg], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for name in sorted(os.listdir(out)):
        shutil.copyfile(os.path.join(out, name), os.path.join(target, f"tile-{name}"))
    shutil.rmtree(work)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--shared", default=os.path.join(os.path.dirname(SOURCE), "shared"))
    ap.add_argument("--mpgen")
    ap.add_argument("--converter")
    args = ap.parse_args()

    def target_dir(name):
        path = os.path.join(args.out, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        copy_all(glob.glob(os.path.join(SOURCE, "fuzz", "seeds", name, "*")), path, "")
        return path

    copy_all(fixtures("*.cfg", "*.ini"), target_dir("config"), "fixture-")
    copy_all(fixtures("*layers*"), target_dir("layers"), "fixture-")
    copy_all(fixtures("*.xml"), target_dir("tags"), "fixture-")
    copy_all(fixtures("*.xml"), target_dir("xml"), "fixture-")
    png = target_dir("png")
    copy_all(fixtures("*.png") + glob.glob(os.path.join(args.shared, "testdata", "*", "*.png")), png, "")
    mp = target_dir("mp")
    copy_all(fixtures("*.mp"), mp, "fixture-")
    for path in sorted(glob.glob(os.path.join(args.shared, "corpus", "*.mp.gz"))):
        map_excerpts(path, mp)
    if args.mpgen:
        for seed, objects in ((1, 10), (2, 30), (3, 60)):
            subprocess.run([args.mpgen, "--objects", str(objects), "--seed", str(seed), "-o",
                            os.path.join(mp, f"generated-{seed}.mp")], check=True, stderr=subprocess.DEVNULL)
        subprocess.run([args.mpgen, "--objects", "10", "--seed", "4", "--cp1252", "--crlf", "-o",
                        os.path.join(mp, "generated-4.mp")], check=True, stderr=subprocess.DEVNULL)
    # The loader-only target reads the same maps.
    shutil.rmtree(os.path.join(args.out, "mpload"), ignore_errors=True)
    shutil.copytree(mp, os.path.join(args.out, "mpload"))
    qx = target_dir("mapfile")
    if args.converter:
        map_files(args.converter, args.mpgen, qx)
    # The atlas reads the same files; tiles give it core nodes and borders.
    atlas = target_dir("atlas")
    copy_all(glob.glob(os.path.join(qx, "*.qx")), atlas, "")
    if args.converter and args.mpgen:
        tile_files(args.converter, args.mpgen, atlas)


if __name__ == "__main__":
    main()
