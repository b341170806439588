"""Shared pieces of the map file script tests: fixture maps converted by the
real program, and the file checker to read the results back."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import harness  # noqa: E402
import qxcheck  # noqa: E402

HEADER = "[IMG ID]\nName=%s\nCodePage=65001\n%s[END-IMG ID]\n"


def header(name="Fixture", levels=(24, 22, 20), extra=""):
    keys = "".join("Level%d=%d\n" % (i, v) for i, v in enumerate(levels))
    return HEADER % (name, keys + extra)


def write(path, text, encoding="utf-8"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding=encoding, newline="") as f:
        f.write(text)


class Converter:
    def __init__(self, args):
        self.args = args

    def convert(self, name, mp_text, params="", compress=True, encoding="utf-8"):
        """Converts one map; returns (exit code, transcript, .qx path)."""
        base = os.path.join(self.args.tmp, name)
        mp = os.path.join(base, name + ".mp")
        write(mp, mp_text, encoding)
        out = os.path.join(base, "out") + "/"
        cfg = os.path.join(base, name + ".cfg")
        write(cfg, "map=%s\noutput=%s\natlas=none\ncompress=%d\n%s" % (mp, out, 1 if compress else 0, params))
        qx = os.path.join(out, name + ".qx")
        if os.path.exists(qx):
            os.remove(qx)
        rc, text = harness.run(self.args.program, cfg)
        return rc, text, qx

    def converted(self, check, name, mp_text, **kw):
        """Converts a map that must convert; returns (parsed file or None, transcript)."""
        rc, out, qx = self.convert(name, mp_text, **kw)
        check.true(name + " converted", rc == 0 and "Ok (" in out, out)
        try:
            return load(qx), out
        except (AssertionError, OSError) as e:
            check.true(name + " checker", False, str(e))
            return None, out

    def params_file(self, name, text):
        path = os.path.join(self.args.tmp, name)
        write(path, text)
        return path


def start():
    """The script test's arguments, its failure collector and a converter."""
    args = harness.parse_args()
    return args, harness.Checker(), Converter(args)


def load(path):
    """A checked map file, parsed; raises AssertionError listing its faults."""
    mf = qxcheck.MapFile(path)
    faults = mf.check()
    if faults:
        raise AssertionError("%s: %s" % (path, "; ".join(faults)))
    return mf


def image_bytes(mf):
    return mf.image.data


def u32(data, pos):
    return struct.unpack_from("<I", data, pos)[0]


def u16(data, pos):
    return struct.unpack_from("<H", data, pos)[0]


def text_at(data, pos):
    n = u16(data, pos)
    return data[pos + 2:pos + 2 + 2 * n].decode("utf-16-le"), pos + 2 + 2 * n


def trees(mf, sid):
    """Leaf items of each tree level of section 5 or 6."""
    return mf.parse_trees(sid)
