import json
import os
import subprocess
import sys

import numpy as np
import pytest
import rasterio
from affine import Affine
from rasterio.crs import CRS

import varda
from varda.cli import main
from conftest import smooth_array

RASTERIO_DTYPES = ["uint8", "int8", "uint16", "int16", "uint32", "int32", "uint64", "int64",
                   "float32", "float64"]
TRANSFORM = Affine(20.0, 0.0, 600000.0, 0.0, -20.0, 4800000.0)


def write_tif(path, data, nodata=None, names=None):
    bands, rows, cols = data.shape
    with rasterio.open(path, "w", driver="GTiff", width=cols, height=rows, count=bands,
                       dtype=data.dtype.name, crs=CRS.from_epsg(32633), transform=TRANSFORM,
                       nodata=nodata) as dst:
        dst.write(data)
        for i, name in enumerate(names or [], 1):
            dst.set_band_description(i, name)


def _raster(rng, dtype, bands=1, nodata=None):
    data = np.stack([smooth_array(rng, dtype, (150, 133), noise=5) for _ in range(bands)])
    if nodata is not None:
        data[:, 10:30, 40:90] = nodata
    return data


@pytest.mark.parametrize("dtype", RASTERIO_DTYPES)
def test_compress_then_decompress_restores_data_and_georeferencing(rng, tmp_path, dtype):
    # Alternate nodata, bands and store kinds over the dtypes.
    i = RASTERIO_DTYPES.index(dtype)
    nodata = None if i % 2 else (float("nan") if dtype.startswith("float") and i % 4 == 0
                                 else (0 if dtype.startswith("u") else -99))
    bands = 2 if i % 3 == 0 else 1
    data = _raster(rng, dtype, bands, nodata)
    names = [f"b{j}" for j in range(bands)]
    src, store = tmp_path / "in.tif", tmp_path / ("s.zip" if i % 2 else "s.zarr")
    write_tif(src, data, nodata, names)
    assert main(["compress", str(src), str(store), "--tile", "64"]) == 0
    for out in ("out.tif", "out.npy"):
        assert main(["decompress", str(store), str(tmp_path / out)]) == 0
    with rasterio.open(tmp_path / "out.tif") as back:
        restored = back.read()
        assert back.crs == CRS.from_epsg(32633) and back.transform == TRANSFORM
        assert list(back.descriptions) == names
        assert (back.nodata is None) == (nodata is None)
    npy = np.load(tmp_path / "out.npy")
    npy = npy if npy.ndim == 3 else npy[None]
    bits = f"u{data.dtype.itemsize}"
    for got in (restored, npy):
        assert got.dtype == data.dtype and np.array_equal(got.view(bits), data.view(bits))


def test_lossy_compress_keeps_the_bound_and_nodata(rng, tmp_path):
    data = _raster(rng, "float32", nodata=-9999.0)
    src, store, out = tmp_path / "in.tif", tmp_path / "s.zarr", tmp_path / "out.npy"
    write_tif(src, data, -9999.0)
    assert main(["compress", str(src), str(store), "--recipe", "LINEAR:MAX_ERROR=0.02",
                 "--tile", "100"]) == 0
    assert varda.info(store)["recipe"] == "LINEAR:MAX_ERROR=0.02"
    assert main(["decompress", str(store), str(out)]) == 0
    back, holes = np.load(out), data[0] == -9999.0
    assert np.array_equal(back == -9999.0, holes)
    assert np.abs(back[~holes] - data[0][~holes]).max() <= 0.02


def test_a_corrupt_chunk_fails_with_its_name_and_leaves_no_output(rng, tmp_path, capsys):
    src, store = tmp_path / "in.tif", tmp_path / "s.zarr"
    write_tif(src, _raster(rng, "uint16"))
    assert main(["compress", str(src), str(store), "--tile", "64"]) == 0
    chunk = store / "raster" / "1.2"
    blob = bytearray(chunk.read_bytes())
    blob[len(blob) // 2] ^= 0xFF
    chunk.write_bytes(bytes(blob))
    capsys.readouterr()
    for out in ("out.tif", "out.npy"):
        assert main(["decompress", str(store), str(tmp_path / out)]) == 1
        err = capsys.readouterr().err
        assert "chunk 1.2 (rows 64..127, columns 128..132)" in err and "checksum" in err
        assert not (tmp_path / out).exists()
    assert main(["info", str(store)]) == 1
    os.remove(chunk)
    assert main(["decompress", str(store), str(tmp_path / "out.npy")]) == 1
    err = capsys.readouterr().err
    assert "chunk 1.2" in err and "missing" in err


def test_padding_is_not_nodata_and_an_existing_output_is_kept(tmp_path):
    data = np.full((1, 100, 100), 7, np.int16)
    data[0, 5, 5] = -99
    src, store, out = tmp_path / "in.tif", tmp_path / "s.zarr", tmp_path / "out.npy"
    write_tif(src, data, -99)
    assert main(["compress", str(src), str(store), "--tile", "64"]) == 0
    # The three edge tiles are padded with the nodata value but hold none.
    assert varda.info(store)["tiles_with_nodata"] == 1
    out.write_bytes(b"keep me")
    assert main(["decompress", str(store), str(out)]) == 2
    assert out.read_bytes() == b"keep me"


def test_bench_marks_a_recipe_the_raster_refuses(tmp_path, capsys):
    src = tmp_path / "in.tif"
    write_tif(src, (np.arange(96 * 96).reshape(1, 96, 96) % 50 - 25).astype(np.int16))
    refused = "SQRT:MAX_ERROR=1N,A=4,B=0.5"
    assert main(["bench", str(src), "--tile", "32", "--no-reference", "--recipe", refused,
                 "--recipe", "LINEAR:MAX_ERROR=2"]) == 0
    out = capsys.readouterr().out
    assert f"auto {refused}: not applicable: a shot bound is defined at or above -A/B" in out
    assert "auto LINEAR:MAX_ERROR=2" in out
    # A recipe that does not read is the user's mistake, refused up front.
    assert main(["bench", str(src), "--recipe", "LOG:MAX_ERRR=1%"]) == 2
    assert "unknown key" in capsys.readouterr().err


def test_bench_json_lists_every_chain(rng, tmp_path, capsys):
    src = tmp_path / "in.tif"
    write_tif(src, _raster(rng, "int16", nodata=-99), nodata=-99)
    plot = tmp_path / "plot.svg"
    assert main(["bench", str(src), "--tile", "64", "--json", "--recipe", "LINEAR:MAX_ERROR=2",
                 "--plot", str(plot)]) == 0
    [result] = json.loads(capsys.readouterr().out)
    assert result["dtype"] == "int16" and result["nodata"] == -99
    labels = {row["label"] for row in result["rows"]}
    expected = set(varda.chains_for("int16")) | {"auto", "auto LINEAR:MAX_ERROR=2",
                                                 "blosc-zstd-shuffle", "numcodecs-zstd"}
    assert labels == expected
    ratios = [r["ratio"] for r in result["rows"] if r["ratio"] is not None]
    assert ratios == sorted(ratios, reverse=True)
    assert all(r["verified"] for r in result["rows"])
    assert plot.stat().st_size > 0


def _run(*args):
    return subprocess.run([sys.executable, "-m", "varda", *args], capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("args,message", [
    (["compress", "{tif}", "{out}", "--recipe", "LOG:MAX_ERROR=100%"],
     'varda: error "LOG:MAX_ERROR=100%": a MAX_ERROR of 100% is the value itself'),
    (["compress", "{tif}", "{out}", "--chain", "lzma"], "varda: chain 'lzma' is not one of"),
    (["compress", "{tif}", "{out}", "--nodata", "300"], "varda: nodata value 300 does not fit"),
    (["compress", "{tif}", "{out}", "--tile", "0"], "argument --tile: '0' is not a positive integer"),
    (["bench"], "the following arguments are required: FILE"),
    (["decompress", "{tif}", "{out}.png"], "not a varda store"),
])
def test_user_errors_exit_2_without_a_traceback(rng, tmp_path, args, message):
    tif = tmp_path / "in.tif"
    write_tif(tif, _raster(rng, "uint8"))
    if args[0] == "decompress":
        main(["compress", str(tif), str(tmp_path / "s.zarr")])
        args = ["decompress", str(tmp_path / "s.zarr"), str(tmp_path / "out.png")]
        message = ".tif, .tiff or .npy"
    args = [a.format(tif=tif, out=tmp_path / "out.zarr") for a in args]
    done = _run(*args)
    assert done.returncode == 2, done.stderr
    assert message in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / "out.zarr").exists()


def test_unreadable_input_exits_1(tmp_path):
    (tmp_path / "junk.tif").write_bytes(b"not a tiff at all")
    for args in (["bench", str(tmp_path / "junk.tif")], ["info", str(tmp_path / "none.zarr")],
                 ["compress", str(tmp_path / "none.tif"), str(tmp_path / "o.zarr")]):
        done = _run(*args)
        assert done.returncode == 1 and done.stderr.startswith("varda: "), done.stderr
        assert "Traceback" not in done.stderr


def test_unwritable_output_and_broken_attributes_exit_1(rng, tmp_path):
    tif = tmp_path / "in.tif"
    write_tif(tif, _raster(rng, "uint8"))
    store = tmp_path / "s.zarr"
    assert main(["compress", str(tif), str(store)]) == 0
    (store / ".zattrs").write_text("{not json")
    for args in (["compress", str(tif), str(tif / "o.zarr")], ["info", str(store)],
                 ["decompress", str(store), str(tmp_path / "o.tif")]):
        done = _run(*args)
        assert done.returncode == 1 and done.stderr.startswith("varda: "), done.stderr
        assert "Traceback" not in done.stderr


def test_demo_runs(tmp_path, capsys):
    plot = tmp_path / "demo.png"
    assert main(["demo", "--size", "200", "--plot", str(plot)]) == 0
    out = capsys.readouterr().out
    for title in ("elevation model", "photon counts", "float32 field"):
        assert title in out
    assert "SQRT:MAX_ERROR=1N" in out and "FAILED" not in out
    assert plot.stat().st_size > 0
