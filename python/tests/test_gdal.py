"""GDAL reading and writing varda stores through the plugin.

The rasters come from the Jacksboro fault elevation model that Debian's
matplotlib ships (sample_data/jacksboro_fault_dem.npz), cut small and cast
to every type."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import varda
from varda import store
from varda.raster import Meta, read, writing_geotiff

from conftest import DTYPES

DEM = pathlib.Path("/usr/share/matplotlib/mpl-data/sample_data/jacksboro_fault_dem.npz")
PLUGIN_DIR = os.environ.get("VARDA_GDAL_PLUGIN_DIR") or str(
    pathlib.Path(__file__).resolve().parents[2] / "build" / "gdalplugins")

pytestmark = [
    pytest.mark.skipif(shutil.which("gdal_translate") is None, reason="GDAL's tools (gdal-bin) "
                       "are not installed"),
    pytest.mark.skipif(not (pathlib.Path(PLUGIN_DIR) / "gdal_varda.so").exists(),
                       reason=f"the GDAL plugin is not built (looked in {PLUGIN_DIR})"),
    pytest.mark.skipif(not DEM.exists(), reason=f"{DEM} (python3-matplotlib) is missing"),
]

# GDAL 3.6 has no signed byte or half float type: its Zarr driver reads
# int8 as int16 and float16 as float32, value for value.
GDAL_READS = {"int8": "int16", "float16": "float32"}
GDAL_TYPES = {"uint8": "Byte", "int8": "Int16", "float16": "Float32"}


def gdal(*args, check=True):
    env = {**os.environ, "GDAL_DRIVER_PATH": PLUGIN_DIR}
    run = subprocess.run(args, capture_output=True, text=True, env=env)
    if check:
        assert run.returncode == 0, run.stderr
    return run


def dem(dtype="int16", rows=40, cols=56):
    with np.load(DEM) as f:
        z = f["elevation"][:rows, :cols]
        west, north, step = float(f["xmin"]), max(float(f["ymin"]), float(f["ymax"])), float(f["dx"])
    z = z.astype(np.float64)
    dt = np.dtype(dtype)
    if dt.kind in "iu":
        lo, hi = np.iinfo(dt).min, np.iinfo(dt).max
        z = np.clip(z - z.min() + max(lo, 0) if dt.itemsize == 1 else z, lo, hi)
    z = z.astype(dt)
    meta = Meta(crs="EPSG:4326", transform=(step, 0.0, west, 0.0, -step, north),
                nodata=int(z[0, 0]) if dt.kind in "iu" else float(z[0, 0]))
    return z, meta


@pytest.mark.parametrize("dtype", DTYPES)
def test_gdal_decodes_a_store_to_the_same_samples(tmp_path, dtype):
    z, meta = dem(dtype)
    store.compress(z, tmp_path / "s.zarr", tile=16, meta=meta)
    run = gdal("gdalinfo", "-json", str(tmp_path / "s.zarr"))
    info = json.loads(run.stdout)
    assert info["size"] == [z.shape[1], z.shape[0]]
    assert tuple(info["geoTransform"]) == pytest.approx(
        (meta.transform[2], meta.transform[0], 0, meta.transform[5], 0, meta.transform[4]))
    assert 'ID["EPSG",4326]' in info["coordinateSystem"]["wkt"]
    band = info["bands"][0]
    assert band["type"] == GDAL_TYPES.get(dtype, dtype.capitalize().replace("int", "Int"))
    assert band["block"] == [16, 16]
    assert band["noDataValue"] == pytest.approx(meta.nodata)
    gdal("gdal_translate", "-q", str(tmp_path / "s.zarr"), str(tmp_path / "out.tif"))
    back, _ = read(tmp_path / "out.tif")
    want = z.astype(GDAL_READS.get(dtype, dtype))
    # rasterio 1.3 reads a UInt64 GeoTIFF as int64; gdalinfo gave the type.
    assert back.dtype.itemsize == want.itemsize
    np.testing.assert_array_equal(back[0].view(f"u{want.itemsize}"),
                                  want.view(f"u{want.itemsize}"))


def test_a_store_gdal_writes_reads_back_with_varda(tmp_path):
    z, meta = dem("uint16")
    # A projected EPSG CRS: GDAL writes its WKT as UTF-8 (the area of use
    # has degree signs), which zarr's own attribute reader refuses.
    utm = Meta(crs="EPSG:32633", transform=(30.0, 0.0, 500000.0, 0.0, -30.0, 4000000.0),
               nodata=meta.nodata)
    with writing_geotiff(tmp_path / "in.tif", (1, *z.shape), z.dtype, utm) as dst:
        dst.write(z[None])
    out = tmp_path / "g.zarr"
    gdal("gdal_translate", "-q", "-of", "ZARR", "-co", "COMPRESS=VARDA", "-co", "BLOCKSIZE=16,24",
         "-co", "VARDA_DTYPE=uint16", "-co", "VARDA_WIDTH=24", "-co", "VARDA_CHAIN=planar",
         "-co", f"VARDA_NODATA={meta.nodata}", str(tmp_path / "in.tif"), str(out))
    codec = json.loads((out / "g" / ".zarray").read_text())["compressor"]
    assert codec["nodata"] == str(meta.nodata) and codec["width"] == 24
    np.testing.assert_array_equal(np.asarray(store.open(out)), z)
    assert store.info(out)["layout"] == "group (variable g)"
    assert "°" in (out / "g" / ".zattrs").read_text(encoding="utf-8")
    assert "UTM zone 33N" in store.meta_of(store.open_array(out)).crs
    # Without the chunk's type and width GDAL cannot give the codec a tile.
    # (gdal_translate 3.6 reports the failed chunks but still exits 0.)
    run = gdal("gdal_translate", "-q", "-of", "ZARR", "-co", "COMPRESS=VARDA",
               str(tmp_path / "in.tif"), str(tmp_path / "h.zarr"), check=False)
    assert "varda: GDAL does not tell a compressor" in run.stderr and "VARDA_DTYPE" in run.stderr
    # GDAL hands samples in the machine's order, so another order is refused
    # (it stored byte-swapped values, which GDAL read back as others), and a
    # recipe is refused by name rather than dropped.
    other = ">u2" if sys.byteorder == "little" else "<u2"
    for option, message in ((f"VARDA_DTYPE={other}", "other byte order"),
                            ("VARDA_RECIPE=LINEAR:MAX_ERROR=1", "lossy recipe")):
        name = option.split("=")[0]
        args = ["-co", "VARDA_DTYPE=uint16"] if name != "VARDA_DTYPE" else []
        run = gdal("gdal_translate", "-q", "-of", "ZARR", "-co", "COMPRESS=VARDA", "-co",
                   "BLOCKSIZE=16,24", "-co", "VARDA_WIDTH=24", *args, "-co", option,
                   str(tmp_path / "in.tif"), str(tmp_path / f"{name}.zarr"), check=False)
        assert message in run.stderr, (option, run.stderr)


def test_a_corrupt_chunk_is_a_gdal_error_not_a_crash(tmp_path):
    z, meta = dem("float32")
    store.compress(z, tmp_path / "s.zarr", tile=16, meta=meta)
    chunk = next(p for p in (tmp_path / "s.zarr").rglob("0.0*") if p.is_file())
    blob = bytearray(chunk.read_bytes())
    blob[len(blob) // 2] ^= 0x5A
    chunk.write_bytes(bytes(blob))
    run = gdal("gdal_translate", "-q", str(tmp_path / "s.zarr"), str(tmp_path / "out.tif"),
               check=False)
    assert run.returncode == 1 and "varda:" in run.stderr


def test_rasterio_opens_a_store_through_gdal(tmp_path):
    z, meta = dem("int16")
    store.compress(z, tmp_path / "s.zarr", tile=16, meta=meta)
    # In a fresh interpreter: GDAL looks for plugins when it first registers.
    code = ("import sys, rasterio, numpy as np\n"
            "with rasterio.open(sys.argv[1]) as src:\n"
            "    np.save(sys.argv[2], src.read(1))\n")
    env = {**os.environ, "GDAL_DRIVER_PATH": PLUGIN_DIR}
    subprocess.run([sys.executable, "-c", code, str(tmp_path / "s.zarr"),
                    str(tmp_path / "r.npy")], check=True, env=env)
    np.testing.assert_array_equal(np.load(tmp_path / "r.npy"), z)


def test_gdal_reads_each_band_of_a_multiband_store(tmp_path):
    z, meta = dem("uint16")
    bands = np.stack([z, z // 2, z + 3])
    store.compress(bands, tmp_path / "s.zarr", tile=16, meta=meta)
    # GDAL gives a 3-D array one sub-dataset per index of its first axis.
    info = gdal("gdalinfo", str(tmp_path / "s.zarr")).stdout
    assert 'SUBDATASET_3_NAME=ZARR:"' in info and '/raster:2' in info
    gdal("gdal_translate", "-q", f'ZARR:"{tmp_path / "s.zarr"}":/raster:1', str(tmp_path / "b.tif"))
    back, got = read(tmp_path / "b.tif")
    np.testing.assert_array_equal(back[0], bands[1])
    assert got.transform == pytest.approx(meta.transform)


# After `import varda`, the process's GDAL reads varda stores with nothing
# set: the package loads its plugin into GDAL, whichever is imported first.
@pytest.mark.parametrize("code", [
    "import varda, rasterio; print(int(rasterio.open(sys.argv[1]).read(1).sum()))",
    "import rasterio, varda; print(int(rasterio.open(sys.argv[1]).read(1).sum()))",
    "import varda; from osgeo import gdal; gdal.UseExceptions(); "
    "print(int(gdal.Open(sys.argv[1]).ReadAsArray().sum()))",
])
def test_gdal_in_the_process_reads_a_store_after_import_varda(tmp_path, code):
    pytest.importorskip("rasterio")
    pytest.importorskip("osgeo.gdal")
    z, meta = dem("int16")
    store.compress(z, tmp_path / "s.zarr", tile=16, meta=meta)
    env = {k: v for k, v in os.environ.items() if k != "GDAL_DRIVER_PATH"}
    run = subprocess.run([sys.executable, "-W", "ignore", "-c", "import sys\n" + code,
                          str(tmp_path / "s.zarr")], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) == int(z.astype(np.int64).sum())


def test_what_gdal_trusts_in_a_lying_array_and_what_varda_refuses(tmp_path):
    # GDAL hands the decompressor only the chunk's buffer: a chunk shape of
    # another size is refused by the plugin, one of the same size (and a
    # dtype of the same width) only by varda, as docs/gdal.md says.
    z, meta = dem("int16", rows=32, cols=32)
    path = tmp_path / "s.zarr"
    store.compress(z, path, tile=32, meta=meta, layout="array")
    text = (path / ".zarray").read_text()
    meta_json = json.loads(text)
    meta_json["chunks"] = meta_json["compressor"]["chunks"] = [16, 32]
    (path / ".zarray").write_text(json.dumps(meta_json))
    run = gdal("gdal_translate", "-q", str(path), str(tmp_path / "a.tif"), check=False)
    assert "varda: the tile holds 2048 bytes, the chunk 1024" in run.stderr, run.stderr
    meta_json = json.loads(text)
    meta_json["dtype"], meta_json["compressor"]["dtype"] = "<u2", "uint16"
    (path / ".zarray").write_text(json.dumps(meta_json))
    with pytest.raises(varda.StoreError, match="the product codes int16 samples, the array is <u2"):
        varda.open(path)
