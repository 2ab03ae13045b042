#!/usr/bin/env python3
"""Makes a GIF image from a readable pixel source (see data/images-source/README).

    gif_maker.py SOURCE OUTPUT

The source names a scale, a palette of one-character colour names and a grid of
those characters; every grid cell becomes a square of scale by scale pixels. The
image is written as GIF89a with one global colour table and LZW-compressed pixels;
a palette entry named "transparent" becomes the transparent colour.
"""
import re
import struct
import sys


class SourceError(Exception):
    pass


def read_source(path):
    scale, palette, rows, section = 1, {}, [], None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\r\n")
            if section != "pixels" and (not line.strip() or line.startswith("#")):
                continue
            words = line.split()
            if section == "pixels":
                if line:
                    rows.append(line)
            elif words[0] == "scale" and len(words) == 2 and words[1].isdigit():
                scale = int(words[1])
            elif words[0] in ("palette", "pixels") and len(words) == 1:
                section = words[0]
            elif section == "palette" and len(words) == 2 and len(words[0]) == 1:
                if words[1] == "transparent":
                    palette[words[0]] = None
                elif re.fullmatch(r"#[0-9a-fA-F]{6}", words[1]):
                    palette[words[0]] = bytes.fromhex(words[1][1:])
                else:
                    raise SourceError(f"{path}:{number}: bad colour {words[1]}")
            else:
                raise SourceError(f"{path}:{number}: cannot read {line!r}")
    if not rows or not palette or not 1 <= scale <= 16:
        raise SourceError(f"{path}: needs a scale of 1 to 16, a palette and pixels")
    if len(palette) > 256 or sum(1 for c in palette.values() if c is None) > 1:
        raise SourceError(f"{path}: at most 256 colours, one of them transparent")
    width = len(rows[0])
    for n, row in enumerate(rows, 1):
        if len(row) != width:
            raise SourceError(f"{path}: pixel row {n} is {len(row)} wide, not {width}")
        unknown = set(row) - set(palette)
        if unknown:
            raise SourceError(f"{path}: pixel row {n} uses {''.join(sorted(unknown))} outside the palette")
    return scale, palette, rows


class BitWriter:
    """Codes packed least significant bit first, as GIF stores them."""

    def __init__(self):
        self.data = bytearray()
        self.bits = 0
        self.count = 0

    def write(self, code, size):
        self.bits |= code << self.count
        self.count += size
        while self.count >= 8:
            self.data.append(self.bits & 0xFF)
            self.bits >>= 8
            self.count -= 8

    def finish(self):
        if self.count:
            self.data.append(self.bits & 0xFF)
        return bytes(self.data)


def lzw(indices, min_size):
    clear, end = 1 << min_size, (1 << min_size) + 1
    out = BitWriter()
    size, table, next_code = min_size + 1, {}, end + 1
    out.write(clear, size)
    prefix = None
    for k in indices:
        if prefix is None:
            prefix = k
            continue
        if (prefix, k) in table:
            prefix = table[(prefix, k)]
            continue
        out.write(prefix, size)
        if next_code < 4096:
            table[(prefix, k)] = next_code
            next_code += 1
            # The decoder learns each code one step later, hence ">" here.
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            out.write(clear, size)
            size, table, next_code = min_size + 1, {}, end + 1
        prefix = k
    if prefix is not None:
        out.write(prefix, size)
    out.write(end, size)
    return out.finish()


def gif(scale, palette, rows):
    names = list(palette)
    index = {name: i for i, name in enumerate(names)}
    table_bits = max(1, (len(names) - 1).bit_length())
    colours = b"".join(palette[n] or b"\xff\xff\xff" for n in names)
    colours += b"\0" * (3 * (1 << table_bits) - len(colours))
    width, height = len(rows[0]) * scale, len(rows) * scale
    pixels = []
    for row in rows:
        line = [index[c] for c in row for _ in range(scale)]
        pixels.extend(line * scale)
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", width, height, 0x80 | ((table_bits - 1) << 4) | (table_bits - 1), 0, 0)
    out += colours
    transparent = [i for i, n in enumerate(names) if palette[n] is None]
    if transparent:
        out += struct.pack("<BBBBHBB", 0x21, 0xF9, 4, 1, 0, transparent[0], 0)
    out += struct.pack("<BHHHHB", 0x2C, 0, 0, width, height, 0)
    min_size = max(2, table_bits)
    data = lzw(pixels, min_size)
    out.append(min_size)
    for at in range(0, len(data), 255):
        block = data[at:at + 255]
        out.append(len(block))
        out += block
    out += b"\0;"
    return bytes(out)


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    try:
        image = gif(*read_source(argv[1]))
    except (OSError, SourceError) as error:
        print(f"gif_maker: {error}", file=sys.stderr)
        return 1
    with open(argv[2], "wb") as f:
        f.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
