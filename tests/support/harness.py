"""Shared pieces of the script tests: arguments, running the converter, masking."""
import argparse
import os
import re
import subprocess
import sys


def parse_args():
    """--source DIR --shared DIR --tmp DIR [--mpgen PATH] -- program command (emulator prefix included).
    The map generator runs under the program's emulator prefix."""
    argv = sys.argv[1:]
    split = argv.index("--")
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--shared", required=True)
    parser.add_argument("--tmp", required=True)
    parser.add_argument("--mpgen")
    args = parser.parse_args(argv[:split])
    args.program = argv[split + 1:]
    if args.mpgen:
        args.mpgen = args.program[:-1] + [args.mpgen]
    os.makedirs(args.tmp, exist_ok=True)
    return args


def run(program, params=None, cwd=None, extra_args=None, timeout=600):
    """Runs the converter; returns (exit code, stdout text)."""
    cmd = list(program)
    if extra_args is not None:
        cmd += extra_args
    elif params is not None:
        cmd.append(params)
    p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return p.returncode, p.stdout.decode("utf-8", "replace")


def mask(text):
    """Log stamps become 'T: ', the date line becomes DD.MM.YYYY."""
    text = re.sub(r"(?m)^\d{1,2}:\d\d:\d\d\.\d\d\d: ", "T: ", text)
    text = re.sub(r"(?m)^\d\d\.\d\d\.\d{4}$", "DD.MM.YYYY", text)
    return text


class Checker:
    """Collects failures so one run reports them all."""

    def __init__(self):
        self.failures = 0

    def equal(self, what, got, expected):
        if got != expected:
            self.failures += 1
            print("FAIL %s\n--- got:\n%s\n--- expected:\n%s" % (what, got, expected))

    def true(self, what, cond, detail=""):
        if not cond:
            self.failures += 1
            print("FAIL %s %s" % (what, detail))

    def finish(self):
        if self.failures:
            print("%d failure(s)" % self.failures)
            sys.exit(1)
        print("all passed")
