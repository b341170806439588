#!/usr/bin/env python3
"""Runs the crash program in each of its modes and checks the crash report.

usage: crashprog_check.py [--skip MODE,...] -- [emulator args...] crashprog
"""
import re
import shutil
import subprocess
import sys

STAMP = re.compile(r"^\d{1,2}:\d\d:\d\d\.\d{3}: ")
REGISTER = re.compile(r"(\w+)=([0-9A-F]+)")
# Registers that the capture of a C++ throw does not fill (getcontext saves
# only what a call preserves), by the number of register lines.
UNFILLED = {5: ["rax", "r10", "r11", "eflags"], 2: ["eflags"]}
# Bits of eflags that are always zero: 3, 5, 15 and 22-31.
EFLAGS_RESERVED = 0xFFC08028

# mode -> (exception code, number of parameter lines)
MODES = {
    "null": ("C0000005", 2),
    "divide": ("C0000094", 0),
    "throw": ("E06D7363", 3),
    "recurse": ("C00000FD", 2),
    "abort": ("40000015", 0),
}


def layout(bits):
    h = "[0-9A-F]{16}" if bits == 64 else "[0-9A-F]{8}"
    if bits == 64:
        registers = [
            f"rax={h} rbx={h} rcx={h} rdx={h}",
            f"rsp={h} rbp={h} rsi={h} rdi={h}",
            f" r8={h}  r9={h} r10={h} r11={h}",
            f"r12={h} r13={h} r14={h} r15={h}",
            f"rip=(?P<ip>{h}) eflags=[0-9A-F]{{8}}",
        ]
    else:
        registers = [
            f"eax={h} ebx={h} ecx={h} edx={h} esi={h} edi={h}",
            f"ebp={h} esp={h} eip=(?P<ip>{h}) eflags=[0-9A-F]{{8}}",
        ]
    return {
        "record": re.compile(f"^Unhandled exception (?P<code>[0-9A-F]{{8}}) at {h}$"),
        "parameter": re.compile(f"^(?P<value>{h})$"),
        "registers": [re.compile(f"^{r}$") for r in registers],
        "frame": re.compile(f"^return {h}, frame {h}, params: {h}, {h}, {h}, {h}$"),
    }


def elf_bits(path):
    with open(path, "rb") as f:
        head = f.read(5)
    return 64 if head[4] == 2 else 32


def check_report(mode, lines, formats, failures):
    """Checks the lines after "Crashing: MODE"; returns the reported instruction pointer."""
    def fail(text):
        failures.append(f"{mode}: {text}\n  " + "\n  ".join(lines))

    code, parameter_count = MODES[mode]
    if sum(1 for l in lines if l.startswith("Unhandled exception")) != 1:
        return fail("expected exactly one 'Unhandled exception' line")
    m = formats["record"].match(lines[0])
    if not m or m.group("code") != code:
        return fail(f"first line is not the record of exception {code}")
    at = 1
    parameters = []
    while at < len(lines) and formats["parameter"].match(lines[at]):
        parameters.append(int(lines[at], 16))
        at += 1
    if len(parameters) != parameter_count:
        return fail(f"{len(parameters)} parameter lines, expected {parameter_count}")
    if mode == "throw":
        if parameters[0] != 0x19930520:
            return fail("first parameter of a C++ exception is not its magic")
        if lines[at] != "C++ exception std::runtime_error: thrown on purpose":
            return fail("no line with the exception's type and text")
        at += 1
    if mode == "null" and parameters[1] != 0:
        return fail("faulting address is not 0")
    ip = None
    registers = {}
    for pattern in formats["registers"]:
        m = pattern.match(lines[at]) if at < len(lines) else None
        if not m:
            return fail(f"register line {at} does not match {pattern.pattern}")
        ip = m.groupdict().get("ip") or ip
        registers.update(REGISTER.findall(lines[at]))
        at += 1
    if int(registers["eflags"], 16) & EFLAGS_RESERVED:
        return fail("eflags has a reserved bit set")
    if mode == "throw":
        # The capture of a throw takes the registers a call preserves and no
        # others: those must read as zero, not as old stack bytes.
        stale = [r for r in UNFILLED[len(formats["registers"])] if int(registers[r], 16) != 0]
        if stale:
            return fail(f"registers the capture does not fill are not zero: {stale}")
    frames = lines[at:]
    if len(frames) < 2 or not all(formats["frame"].match(f) for f in frames):
        return fail("expected at least two frame lines and nothing else after the registers")
    if len(frames) > 20:
        return fail("more than 20 frames")
    return int(ip, 16), parameters


def function_at(program, address):
    out = subprocess.run(["addr2line", "-f", "-C", "-e", program, hex(address)],
                         capture_output=True, text=True, check=True).stdout
    return out.splitlines()[0]


def main():
    args = sys.argv[1:]
    command = args[args.index("--") + 1:]
    skip = set()
    if args[0] == "--skip":
        skip = set(args[1].split(","))
    program = command[-1]
    bits = elf_bits(program)
    formats = layout(bits)
    failures = []
    modes = [m for m in list(MODES) + ["none"] if m not in skip]
    # What a stale register holds depends on the run: the throw runs thrice.
    runs = [m for m in modes for _ in range(3 if m == "throw" else 1)]
    for mode in runs:
        run = subprocess.run(command + [mode], capture_output=True, text=True, timeout=240)
        lines = [STAMP.sub("", l, count=1) for l in run.stdout.splitlines()]
        if mode == "none":
            if run.returncode != 0 or any("Unhandled" in l for l in lines):
                failures.append(f"none: exit code {run.returncode}, output {lines}")
            continue
        if run.returncode != 1:
            failures.append(f"{mode}: exit code {run.returncode}, expected 1\n{run.stdout}{run.stderr}")
            continue
        if not all(STAMP.match(l) for l in run.stdout.splitlines()):
            failures.append(f"{mode}: a line without the log's time prefix\n{run.stdout}")
        if lines[:1] != [f"Crashing: {mode}"]:
            failures.append(f"{mode}: unexpected start of output {lines[:1]}")
            continue
        result = check_report(mode, lines[1:], formats, failures)
        if not result:
            continue
        ip, parameters = result
        # The emulator does not pass on whether the faulting access was a write.
        if mode == "null" and bits == 64 and parameters[0] != 1:
            failures.append("null: the access is not reported as a write")
        # Built without PIE: the instruction pointer names the crashing function.
        expected = {"null": "CrashNullWrite", "divide": "CrashDivide", "recurse": "CrashRecurse"}.get(mode)
        if expected and shutil.which("addr2line"):
            name = function_at(program, ip)
            if expected not in name:
                failures.append(f"{mode}: instruction pointer {ip:#x} resolves to {name}, not {expected}")
    for f in failures:
        print("FAIL", f)
    print(f"{bits}-bit crash program: {len(modes)} modes, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
