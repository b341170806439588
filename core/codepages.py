#!/usr/bin/env python3
"""Writes codepages.cpp beside this script: the byte-to-UTF-16 tables of the
Windows single-byte code pages, from Python's own codecs. The tables are fixed
data so that every build and machine decodes a map's texts the same way; run
this again only to add a code page. Windows-1251 keeps its table in
widestring.cpp. A byte a code page leaves unassigned becomes '?'."""
import os

CODE_PAGES = (874, 1250, 1252, 1253, 1254, 1255, 1256, 1257, 1258)


def table(number):
    units = []
    for b in range(256):
        try:
            text = bytes([b]).decode("cp%d" % number)
        except UnicodeDecodeError:
            text = "?"
        assert len(text) == 1 and ord(text) <= 0xFFFF, (number, b)
        units.append(ord(text))
    assert units[:0x80] == list(range(0x80)), number
    return units


def main():
    out = ["// Written by codepages.py: do not edit.", '#include "core/widestring.h"', "", "namespace {", "",
           "// clang-format off"]
    for number in CODE_PAGES:
        units = table(number)
        out.append("const char16_t kCp%dTable[256] = {" % number)
        for row in range(0, 256, 16):
            out.append("  " + " ".join("0x%04X," % u for u in units[row:row + 16]))
        out.append("};")
    out += ["// clang-format on", "", "}  // namespace", "",
            "const char16_t* SingleByteCodePage(uint32_t number) {", "  switch (number) {"]
    for number in sorted(CODE_PAGES + (1251,)):
        name = "g_Cp1251Table" if number == 1251 else "kCp%dTable" % number
        out.append("    case %d: return %s;" % (number, name))
    out += ["    default: return nullptr;", "  }", "}", ""]
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "codepages.cpp")
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main()
