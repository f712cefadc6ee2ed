#!/usr/bin/env python3
"""Wrap a 24-bit BMP into a single-image .ico that keeps 24 bits per pixel."""
import struct
import sys


def main(src, dst):
    data = open(src, "rb").read()
    if data[:2] != b"BM":
        sys.exit("not a BMP")
    pixel_offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _planes, bpp = struct.unpack_from("<iiHH", data, 18)
    if bpp != 24 or width <= 0 or height <= 0 or width > 256 or height > 256:
        sys.exit("need a bottom-up 24-bit BMP of at most 256 x 256")
    row = (width * 3 + 3) & ~3
    pixels = data[pixel_offset:pixel_offset + row * height]
    mask_row = ((width + 31) // 32) * 4
    mask = bytes(mask_row * height)  # every pixel opaque
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 24, 0, len(pixels) + len(mask),
                         0, 0, 0, 0)
    image = header + pixels + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack(
        "<BBBBHHII", width % 256, height % 256, 0, 0, 1, 24, len(image), 22)
    open(dst, "wb").write(directory + image)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
