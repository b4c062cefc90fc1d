#!/usr/bin/env python3
"""Real rasters for bench_codec, from data Debian packages ship.

Writes NAME.TYPE.WIDTHxHEIGHT.raw files (native byte order) into a folder;
point VARDA_BENCH_RASTERS at it when running build/bench/bench_codec:

    python3 bench/real_rasters.py /tmp/rasters
    VARDA_BENCH_RASTERS=/tmp/rasters build/bench/bench_codec

Sources (package python-matplotlib-data, /usr/share/matplotlib/mpl-data/
sample_data): grace_hopper.jpg (a photograph; its green channel, u8),
jacksboro_fault_dem.npz (an elevation model in metres, i16),
topobathy.npz (topography and bathymetry, f32), s1045.ima.gz (a 256 x 256
MRI slice, big-endian u16). From python3-skimage (skimage/data):
camera.png (a photograph, u8), moon.png (the moon through a telescope,
u8), cell.png (a microscope frame, u8), gravel.png (a texture: fine
noise, u8), phantom.png (a drawn phantom of six grey levels: flat areas,
u8) and simple.fits (M51 through a telescope, 600 s in the B band,
big-endian i16). Missing sources are skipped.
"""
import gzip
import os
import sys

import numpy as np

SAMPLE_DATA = "/usr/share/matplotlib/mpl-data/sample_data"
SKIMAGE_DATA = "/usr/lib/python3/dist-packages/skimage/data"
TYPES = {np.dtype("uint8"): "u8", np.dtype("uint16"): "u16", np.dtype("int16"): "i16",
         np.dtype("float32"): "f32"}


def sources():
    path = os.path.join(SAMPLE_DATA, "grace_hopper.jpg")
    if os.path.exists(path):
        from matplotlib import image
        yield "grace_hopper_green", np.asarray(image.imread(path))[:, :, 1]
    path = os.path.join(SAMPLE_DATA, "jacksboro_fault_dem.npz")
    if os.path.exists(path):
        yield "jacksboro_dem", np.load(path)["elevation"].astype(np.int16)
    path = os.path.join(SAMPLE_DATA, "topobathy.npz")
    if os.path.exists(path):
        yield "topobathy", np.load(path)["topo"].astype(np.float32)
    path = os.path.join(SAMPLE_DATA, "s1045.ima.gz")
    if os.path.exists(path):
        with gzip.open(path) as f:
            mri = np.frombuffer(f.read(), ">u2").reshape(256, 256)
        yield "s1045_mri", mri.astype(np.uint16)
    yield from skimage_sources()


def fits_image(path):
    """The primary image of a FITS file of 16-bit integers, as stored."""
    with open(path, "rb") as f:
        data = f.read()
    cards, offset = {}, 0
    while True:
        block = data[offset:offset + 2880].decode("ascii")
        offset += 2880
        for k in range(0, 2880, 80):
            key, _, value = block[k:k + 80].partition("=")
            cards[key.strip()] = value.split("/")[0].strip()
        if "END" in cards:
            break
    if cards.get("BITPIX") != "16" or cards.get("NAXIS") != "2":
        return None
    width, height = int(cards["NAXIS1"]), int(cards["NAXIS2"])
    return np.frombuffer(data, ">i2", width * height, offset).reshape(height, width)


def skimage_sources():
    if not os.path.isdir(SKIMAGE_DATA):
        return
    from PIL import Image
    for name, file in (("camera", "camera.png"), ("moon", "moon.png"), ("cell", "cell.png"),
                       ("gravel", "gravel.png"), ("phantom", "phantom.png")):
        path = os.path.join(SKIMAGE_DATA, file)
        if os.path.exists(path):
            array = np.asarray(Image.open(path))
            yield name, array if array.ndim == 2 else array[:, :, 0]
    path = os.path.join(SKIMAGE_DATA, "simple.fits")
    if os.path.exists(path):
        m51 = fits_image(path)
        if m51 is not None:
            yield "m51_telescope", m51.astype(np.int16)


def main(folder):
    os.makedirs(folder, exist_ok=True)
    for name, array in sources():
        array = np.ascontiguousarray(array)
        height, width = array.shape
        out = os.path.join(folder, f"{name}.{TYPES[array.dtype]}.{width}x{height}.raw")
        array.tofile(out)
        print(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "real-rasters")
