#!/usr/bin/python3
"""Photoshop fixtures of what the file marks: transparency and orientation.

    /usr/bin/python3 tests/data/formats/psd/make_alpha.py

needs Debian's imagemagick (/usr/bin/convert), openimageio-tools (oiiotool) and python3-pil.

- im_cmyka_rle.psd: ImageMagick's CMYK with alpha (marked by a negative layer count);
  expected colours by the CMYK rule of generate_paint.py from ImageMagick's ink amounts, alpha
  from its pixel listing.
- flat_extra_channel.psd: no tool writes an RGB document whose fourth channel is not its
  transparency, so ImageMagick's RGBA file is cut here byte by byte after the public format
  description: its layer section is emptied (a flattened document). ImageMagick and
  OpenImageIO both show it opaque; expected pixels are OpenImageIO's.
- matted/rgba.psd: Photoshop stores the merged image of a transparent document matted
  against white and writes a version-information resource (1057); built here from
  ImageMagick's uncompressed RGBA file by matting its colours and adding that resource.
  OpenImageIO and ImageMagick both un-matte it; expected pixels are OpenImageIO's (the test
  allows two levels: it truncates where the reader rounds).
- palette_transparent.psd: ImageMagick's indexed file with a transparency-index resource
  (1047) added; expected colours are Pillow's, the index's alpha 0 (no installed peer reads
  the resource: ImageMagick does not read its indexed files, OpenImageIO fails on them).
- exif_orientation.psd: ImageMagick's RGB file with an EXIF resource (1058) stating the
  orientation 6, the EXIF from Pillow; OpenImageIO reads the orientation 6 from it (ImageMagick
  does not read the resource). Its pixels are ImageMagick's file's, as stored.
"""
import os
import struct
import subprocess
import sys

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from generate import sample_image, write_reference  # noqa: E402

TRANSPARENT_INDEX = 3


def sections(data):
    """Offsets of the resources section, the layer section, the image data."""
    at = 26
    at += 4 + struct.unpack(">I", data[at : at + 4])[0]
    resources = at
    at += 4 + struct.unpack(">I", data[at : at + 4])[0]
    layers = at
    at += 4 + struct.unpack(">I", data[at : at + 4])[0]
    return resources, layers, at


def add_resource(data, rid, payload):
    resources, _, _ = sections(data)
    length = struct.unpack(">I", data[resources : resources + 4])[0]
    block = b"8BIM" + struct.pack(">H", rid) + b"\0\0" + struct.pack(">I", len(payload)) + payload
    block += b"\0" * (len(payload) % 2)
    end = resources + 4 + length
    return (data[:resources] + struct.pack(">I", length + len(block)) +
            data[resources + 4 : end] + block + data[end:])


def listing(path):
    """The alpha of each pixel, from ImageMagick's pixel listing."""
    text = subprocess.run(["/usr/bin/convert", path, "-depth", "8", "txt:-"], check=True,
                          capture_output=True, text=True).stdout
    out = bytearray()
    for line in text.splitlines()[1:]:
        # The last value is the alpha, after the colour's three or four.
        out.append(int(float(line.split("(", 1)[1].split(")", 1)[0].split(",")[-1])))
    return out


def oiio(path):
    out = os.path.join(HERE, "oiio.tif")
    subprocess.run(["oiiotool", path, "--subimage", "0", "-d", "uint8", "-o", out], check=True)
    im = Image.open(out).convert("RGBA")
    os.remove(out)
    return im.size, im.tobytes()


def sample_with_alpha(w, h):
    """The sample picture with an alpha ramp from 0 in steps of 40 over its first 7 columns,
    opaque beyond."""
    im = sample_image(w, h)
    im.putalpha(Image.frombytes("L", (w, h), bytes((x * 40) % 256 if x < 7 else 255
                                                   for y in range(h) for x in range(w))))
    return im


def main():
    w, h = 13, 7
    src = os.path.join(HERE, "src.png")
    sample_with_alpha(w, h).save(src)
    raw = os.path.join(HERE, "raw.psd")
    subprocess.run(["/usr/bin/convert", src, "-compress", "None", raw], check=True)
    data = open(raw, "rb").read()
    _, layers, image = sections(data)

    path = os.path.join(HERE, "im_cmyka_rle.psd")
    subprocess.run(["/usr/bin/convert", src, "-colorspace", "CMYK", "-compress", "RLE", path],
                   check=True)
    inks = subprocess.run(["/usr/bin/convert", path + "[0]", "-alpha", "off", "-depth", "16",
                           "-endian", "MSB", "cmyk:-"], check=True, capture_output=True).stdout
    values = struct.unpack(">%dH" % (len(inks) // 2), inks)
    alpha = listing(path + "[0]")
    rgba = bytearray()
    for i in range(0, len(values), 4):
        k8 = values[i + 3] * 255 // 65535
        for x in values[i : i + 3]:
            x = x * 255 // 65535
            rgba.append(max(0, min(255, x * k8 // 255 - x - k8 + 255)))
        rgba.append(alpha[i // 4])
    write_reference(path, w, h, rgba)

    path = os.path.join(HERE, "flat_extra_channel.psd")
    open(path, "wb").write(data[:layers] + struct.pack(">I", 0) + data[image:])
    size, rgba = oiio(path)
    write_reference(path, size[0], size[1], rgba)

    # The planes of the uncompressed merged image, matted against white.
    pixels = data[image + 2 :]
    plane = w * h
    matted = bytearray(pixels)
    for i in range(plane):
        a = pixels[3 * plane + i]
        for c in range(3):
            v = pixels[c * plane + i]
            matted[c * plane + i] = (v * a + 255 * (255 - a) + 127) // 255
    os.makedirs(os.path.join(HERE, "matted"), exist_ok=True)
    path = os.path.join(HERE, "matted", "rgba.psd")
    version = struct.pack(">IB", 1, 1) + struct.pack(">I", 0) + struct.pack(">I", 0) + \
        struct.pack(">I", 1)
    open(path, "wb").write(add_resource(data[: image + 2] + bytes(matted), 1057, version))
    size, rgba = oiio(path)
    write_reference(path, size[0], size[1], rgba)

    palette = os.path.join(HERE, "im_palette_raw.psd")
    path = os.path.join(HERE, "palette_transparent.psd")
    open(path, "wb").write(add_resource(open(palette, "rb").read(), 1047,
                                        struct.pack(">H", TRANSPARENT_INDEX)))
    indexed = Image.open(path)
    colours = indexed.convert("RGB").tobytes()
    rgba = bytearray()
    for i, index in enumerate(indexed.getdata()):
        rgba += colours[3 * i : 3 * i + 3] + bytes([0 if index == TRANSPARENT_INDEX else 255])
    write_reference(path, indexed.size[0], indexed.size[1], rgba)

    exif = Image.Exif()
    exif[274] = 6  # orientation
    tiff = exif.tobytes()
    tiff = tiff[6:] if tiff.startswith(b"Exif\0\0") else tiff
    rgb = os.path.join(HERE, "im_rgb_rle.psd")
    path = os.path.join(HERE, "exif_orientation.psd")
    open(path, "wb").write(add_resource(open(rgb, "rb").read(), 1058, tiff))
    with open(path + ".rgba.gz", "wb") as f:
        f.write(open(rgb + ".rgba.gz", "rb").read())

    os.remove(src)
    os.remove(raw)


if __name__ == "__main__":
    main()
