"""Makes the sample tile tree examples/tiles/sample/ of the demo.

Small PNG and JPEG tiles at levels 0 to 2, and one PNG tile over 120000 bytes
(256 x 256, noisy so that it compresses badly) that the packer stores as
RGB565 pixels. JPEGs are made with cjpeg (Debian package libjpeg-turbo-progs)
when it is there.
The output is deterministic: run it again and nothing changes.
"""
import os
import shutil
import struct
import subprocess
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample")


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def rows(width, height, pixel):
    raw = bytearray()
    for y in range(height):
        for x in range(width):
            raw.extend(pixel(x, y))
    return bytes(raw)


def png(width, height, pixel, level=9):
    """An 8-bit RGB PNG with the Sub filter; pixel(x, y) gives (r, g, b)."""
    flat = rows(width, height, pixel)
    raw = bytearray()
    for y in range(height):
        line = flat[y * width * 3:(y + 1) * width * 3]
        raw.append(1)
        raw.extend((line[i] - (line[i - 3] if i >= 3 else 0)) & 0xFF for i in range(len(line)))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), level))
            + chunk(b"IEND", b""))


def noise(seed):
    state = [seed]

    def next_byte():
        state[0] = (state[0] * 1103515245 + 12345) & 0x7FFFFFFF
        return state[0] >> 16 & 0xFF
    return next_byte


def write(relative, data):
    path = os.path.join(ROOT, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    shutil.rmtree(ROOT, ignore_errors=True)
    # Smooth tiles: a few kilobytes each, stored as they are.
    write("z0/0/0.png", png(256, 256, lambda x, y: (x, y, 128)))
    write("z1/0/0.png", png(256, 256, lambda x, y: (x // 2, y // 2, 200)))
    write("z1/1/1.png", png(256, 256, lambda x, y: (128 + x // 2, 128 + y // 2, 60)))
    write("z2/2/1.png", png(256, 256, lambda x, y: ((x ^ y) & 0xF0, x, y)))
    # The large one: noise over a gradient.
    rnd = noise(7)
    write("z2/1/1.png", png(256, 256, lambda x, y: (x ^ rnd() & 0x1F, y ^ rnd() & 0x1F, (x + y) // 2 ^ rnd() & 0x1F)))
    if shutil.which("cjpeg"):
        for name, pixel in (("z1/0/1.jpg", lambda x, y: (0, y // 2, 128 + x // 2)),
                            ("z1/1/0.jpg", lambda x, y: (x // 3, 100 + y // 3, 40)),
                            ("z2/1/2.jpg", lambda x, y: (((x // 32) + (y // 32)) % 2 * 200, 90, 160))):
            ppm = b"P6 256 256 255\n" + rows(256, 256, pixel)
            jpeg = subprocess.run(["cjpeg", "-quality", "80"], input=ppm, stdout=subprocess.PIPE, check=True).stdout
            write(name, jpeg)
    for dirpath, _, files in sorted(os.walk(ROOT)):
        for f in sorted(files):
            p = os.path.join(dirpath, f)
            print("%7d %s" % (os.path.getsize(p), os.path.relpath(p, ROOT)))


if __name__ == "__main__":
    main()
