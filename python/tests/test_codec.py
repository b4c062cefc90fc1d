import json
import pickle

import numcodecs
import numpy as np
import pytest
import zarr

import varda
from varda import VardaCodec
from conftest import DTYPES, random_array, smooth_array

SHAPE, CHUNKS = (70, 45), (32, 32)


def _sample(rng, dtype):
    dt = np.dtype(dtype)
    if dt.kind == "f":
        a = random_array(rng, dtype, SHAPE)
        a[:3, :3] = [[0.0, -0.0, np.nan]] * 3
        return a
    return smooth_array(rng, dtype, SHAPE, noise=3) if dt.itemsize > 1 else \
        random_array(rng, dtype, SHAPE)


def _zarr_round_trip(a, codec, chunks=CHUNKS, fill=0):
    z = zarr.create(a.shape, chunks=chunks, dtype=a.dtype, compressor=codec, fill_value=fill)
    z[...] = a
    return z[...]


def _bits(a):
    return a.view(f"u{a.dtype.itemsize}")


@pytest.mark.parametrize("dtype", DTYPES)
def test_every_chain_round_trips_through_zarr(rng, dtype):
    a = _sample(rng, dtype)
    for chain in varda.chains_for(dtype) + ["auto"]:
        codec = VardaCodec(chain=chain)
        if chain in ("intmult", "floatmult"):
            low = -40 if np.dtype(dtype).kind == "i" else 0
            a_used = (rng.integers(low, 40, SHAPE) * 3).astype(dtype) if np.dtype(dtype).kind != "f" \
                else (np.round(smooth_array(rng, "float64", SHAPE), 2)).astype(dtype)
        else:
            a_used = a
        back = _zarr_round_trip(a_used, codec)
        assert np.array_equal(_bits(back), _bits(a_used)), chain


def test_auto_at_every_effort_is_no_larger_than_zstd(rng):
    a = smooth_array(rng, "uint16", (128, 128))
    sizes = {c: len(VardaCodec(chain=c).encode(a)) for c in ("zstd", "planar")}
    for effort in (0, 1, 2):
        blob = VardaCodec(effort=effort).encode(a)
        assert np.array_equal(VardaCodec().decode(blob), a)
        assert len(blob) <= sizes["planar"] if effort else True
        assert len(blob) <= sizes["zstd"] or effort == 0


@pytest.mark.parametrize("dtype,recipe,nodata", [
    ("float32", "LINEAR:MAX_ERROR=0.05", "nan"),
    ("int16", "LINEAR:MAX_ERROR=2", -32768),
    ("uint16", "LOG:MAX_ERROR=1%", 0),
    ("float64", "LOG:MAX_ERROR=0.1%", None),
    ("uint16", "SQRT:MAX_ERROR=1N,A=4,B=1", None),
])
def test_lossy_products_round_trip_within_the_bound(rng, dtype, recipe, nodata):
    a = smooth_array(rng, dtype, (96, 80), noise=4)
    holes = np.zeros(a.shape, bool)
    if nodata is not None:
        holes = rng.random(a.shape) < 0.1
        a[holes] = np.nan if nodata == "nan" else nodata
    codec = varda.prepare(a, recipe=recipe, nodata=nodata)
    # The configuration alone rebuilds the codec, grid included.
    codec = numcodecs.get_codec(json.loads(json.dumps(codec.get_config())))
    # Edge chunks are padded with the fill value, which must lie in the grid's
    # domain: nodata, or a value of the raster.
    fill = float("nan") if nodata == "nan" else nodata if nodata is not None else a.min()
    back = _zarr_round_trip(a, codec, fill=fill)
    if nodata == "nan":
        assert np.array_equal(np.isnan(back), holes)
    elif nodata is not None:
        assert np.array_equal(back == nodata, holes)
    worst = varda.verify(varda.Recipe.parse(codec.recipe), a[~holes], back[~holes])
    assert worst <= 1.0


def test_config_round_trips_and_pickles(rng):
    a = smooth_array(rng, "float32", (64, 64))
    codec = varda.prepare(a, recipe="LINEAR:MAX_ERROR=0.01", nodata=-9999.0, chain="planar",
                          effort=2, level=3)
    config = codec.get_config()
    assert numcodecs.get_codec(config).get_config() == config
    clone = pickle.loads(pickle.dumps(codec))
    assert clone.get_config() == config
    assert clone.encode(a) == codec.encode(a)
    assert VardaCodec(nodata=float("nan")).get_config()["nodata"] == "nan"


def test_entry_point_names_the_codec():
    import entrypoints

    group = entrypoints.get_group_named("numcodecs.codecs")
    assert "varda" in group, "the package is not installed: run `make python`"
    assert group["varda"].load() is VardaCodec


def test_bad_configurations_are_refused(rng):
    with pytest.raises(varda.VardaError, match="not one of auto"):
        VardaCodec(chain="lzma")
    with pytest.raises(varda.VardaError, match="needs the resolved grid"):
        VardaCodec(recipe="LINEAR:MAX_ERROR=1")
    with pytest.raises(varda.VardaError, match="only in float rasters"):
        VardaCodec(nodata="nan").encode(np.zeros((4, 4), np.int16))
    with pytest.raises(varda.VardaError, match="does not fit"):
        VardaCodec(nodata=300).encode(np.zeros((4, 4), np.uint8))
    codec = varda.prepare(smooth_array(rng, "float32", (16, 16)), recipe="LINEAR:MAX_ERROR=0.5")
    with pytest.raises(varda.VardaError, match="resolved for float32"):
        codec.encode(np.zeros((4, 4), np.float64))


def test_corrupt_blobs_are_reported(rng):
    a = smooth_array(rng, "uint16", (40, 40))
    blob = bytearray(VardaCodec().encode(a))
    for pos in (0, 4, len(blob) // 2, len(blob) - 1):
        broken = bytearray(blob)
        broken[pos] ^= 0x10
        with pytest.raises(varda.CorruptTile):
            VardaCodec().decode(bytes(broken))
    with pytest.raises(varda.CorruptTile):
        VardaCodec().decode(bytes(blob[:-5]))
    info = varda.read_info(bytes(blob))
    assert (info.width, info.height, info.dtype, info.raw_bytes) == (40, 40, np.uint16, a.nbytes)
