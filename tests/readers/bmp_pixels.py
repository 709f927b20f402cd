"""Decodes a BMP file with Pillow and writes "W H\n" and its pixels as RGB
bytes, top row first, for the C++ tests to compare with the frame."""
import sys

from PIL import Image

with Image.open(sys.argv[1]) as image:
    if image.format != "BMP" or image.mode != "RGB":
        sys.exit("%s: read as %s %s, not a 24-bit BMP" % (sys.argv[1], image.format, image.mode))
    with open(sys.argv[2], "wb") as out:
        out.write(b"%d %d\n" % image.size)
        out.write(image.tobytes())
