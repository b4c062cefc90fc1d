import json
import pickle

import numcodecs
import numpy as np
import pytest
import zarr

import varda
import varda.bench
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
        if chain in ("intmult", "floatmult", "floatmult-wide"):
            low = -40 if np.dtype(dtype).kind == "i" else 0
            a_used = (rng.integers(low, 40, SHAPE) * 3).astype(dtype) if np.dtype(dtype).kind != "f" \
                else (np.round(smooth_array(rng, "float64", SHAPE), 2)).astype(dtype)
        elif chain == "palette":
            levels = np.array([0.0, -0.0, np.nan, 1.5, -2.25, 99.0]) if np.dtype(dtype).kind == "f" \
                else np.arange(0, 100, 9)
            a_used = levels[rng.integers(0, len(levels), SHAPE)].astype(dtype)
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
    assert VardaCodec(nodata=np.float32("nan")).get_config()["nodata"] == "nan"


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


@pytest.mark.parametrize("dtype", DTYPES)
def test_both_memory_orders_round_trip_through_zarr(rng, dtype):
    # 2-D and band-stacked 3-D chunks, edge chunks included; whole-chunk
    # reads decode into zarr's own buffer, partial ones through a copy.
    for shape, chunks in (((64, 48), (32, 20)), ((3, 40, 30), (2, 16, 32))):
        a = random_array(rng, dtype, shape)
        for order in ("C", "F"):
            z = zarr.array(a, chunks=chunks, order=order, compressor=VardaCodec())
            assert np.array_equal(_bits(z[...]), _bits(a)), (shape, order)
            assert np.array_equal(_bits(z[1:5, 3:7]), _bits(a[1:5, 3:7])), (shape, order)


@pytest.mark.parametrize("dtype", [">i2", ">u2", ">f4", ">f8"])
def test_other_byte_order_round_trips(rng, dtype):
    a = smooth_array(rng, dtype, (70, 45), noise=3)
    for order in ("C", "F"):
        z = zarr.array(a, chunks=CHUNKS, order=order, compressor=VardaCodec(dtype=dtype))
        assert z[...].dtype == np.dtype(dtype)
        assert np.array_equal(z[...], a) and np.array_equal(z[3:9, 40:], a[3:9, 40:])
    codec = VardaCodec(dtype=dtype)
    assert codec.get_config()["dtype"] == dtype
    assert np.array_equal(codec.decode(codec.encode(a)).reshape(a.shape), a)
    # A codec configured with the other order, as earlier versions needed,
    # still writes the blobs they did: little-endian samples, version 1.
    native = a.astype(np.dtype(dtype).newbyteorder("="))
    assert VardaCodec(chain="zstd", dtype=dtype).encode(a) == VardaCodec(chain="zstd").encode(native)
    # A product keeps the order it is given: the blob records it.
    blob = varda.Product(dtype).encode(a)
    assert varda.read_info(blob).version == 3 and varda.read_info(blob).big_endian
    back = varda.decode_tile(blob)
    assert back.dtype == np.dtype(dtype) and np.array_equal(back, a)
    assert np.array_equal(varda.decode_tile(blob, dtype=native.dtype), a)
    rows = varda.bench.run(a, tile=32, recipes=["LINEAR:MAX_ERROR=0.5"], chains=["planar"],
                           references=False)
    assert all(r.verified for r in rows)
    resolved = varda.Recipe.parse("LINEAR:MAX_ERROR=0.5").resolve(a)
    assert varda.verify(resolved.recipe, a, resolved.dequantise(resolved.quantise(a), dtype)) <= 1
    lossy = varda.prepare(a, recipe="LINEAR:MAX_ERROR=0.5")
    back = _zarr_round_trip(a, lossy, fill=a.min())
    assert back.dtype == np.dtype(dtype) and varda.verify(varda.Recipe.parse(lossy.recipe), a, back) <= 1.0
    # No dtype needed: each blob says its samples were big-endian.
    for order in ("C", "F"):
        z = zarr.array(a, chunks=CHUNKS, order=order, compressor=VardaCodec())
        assert "dtype" not in z.compressor.get_config()
        assert z[...].dtype == np.dtype(dtype) and np.array_equal(z[...], a)
        assert np.array_equal(z[3:9, 40:], a[3:9, 40:])
        assert varda.read_info(z.store["0.0"]).big_endian
    blob = VardaCodec().encode(a)
    out = np.empty(a.shape, dtype)
    assert VardaCodec().decode(blob, out) is out and np.array_equal(out, a)
    assert np.array_equal(VardaCodec().decode(blob).reshape(a.shape), a)
    # Blobs written the earlier way decode the same under either codec.
    old = VardaCodec(dtype=dtype).encode(a)
    assert np.array_equal(VardaCodec(dtype=dtype).decode(old).reshape(a.shape), a)
    assert np.array_equal(VardaCodec(dtype=dtype).decode(blob).reshape(a.shape), a)


def test_decode_refuses_an_output_the_blob_does_not_fill(rng):
    a = np.arange(16, dtype=np.uint16).reshape(4, 4) * 1000
    blob = VardaCodec().encode(a)
    for out, why in [
        (np.zeros((4, 4), "<f2"), "holds uint16 samples"),
        (np.zeros((4, 4), ">u2"), "holds uint16 samples"),
        (np.zeros((2, 8), "<u2"), "4 rows of 4 samples; out, 2 x 8"),
        (np.zeros((4, 8), "|u1"), "holds uint16 samples"),
        (np.zeros(16, "<i2"), "holds uint16 samples"),
        (np.zeros(16, "<u2"), "takes 1 rows of 16"),
        (np.zeros((8, 4), "<u2")[::2], "neither C- nor F-contiguous"),
        (bytes(32), "read-only"),
    ]:
        before = bytes(np.ascontiguousarray(out))
        with pytest.raises(ValueError, match=why):
            VardaCodec().decode(blob, out)
        assert bytes(np.ascontiguousarray(out)) == before
    good = np.zeros((1, 4, 4), np.uint16)
    assert VardaCodec().decode(blob, good) is good and np.array_equal(good[0], a)
    # A chunk of the other order says so, in rows and columns.
    wide = np.arange(6 * 4, dtype=np.uint16).reshape(6, 4)
    with pytest.raises(varda.CorruptTile, match="6 rows of 4 samples; out, 6 x 4 in F order, "
                                                "takes 4 rows of 6"):
        VardaCodec().decode(VardaCodec().encode(wide), np.zeros((6, 4), np.uint16, order="F"))


def test_decode_refuses_a_blob_that_is_not_a_chunk_of_the_array(rng):
    blob = VardaCodec().encode(np.ones((302, 1000), np.uint8))
    codec = VardaCodec(dtype="uint8", chunks=[64, 64], order="C")
    with pytest.raises(varda.CorruptTile, match="302 rows of 1000 samples, not a chunk of 64 x 64"):
        codec.decode(blob)
    with pytest.raises(varda.CorruptTile, match="holds uint8 samples, the array int8"):
        VardaCodec(dtype="int8").decode(blob)
    assert VardaCodec(chunks=[1000, 302]).decode(blob).shape == (302, 1000)  # its F chunk
    with pytest.raises(varda.VardaError, match="the chunk is 3 x 4, the codec's chunks 64 x 64"):
        codec.encode(np.zeros((3, 4), np.uint8))


@pytest.mark.parametrize("config,messages", [
    ({"chain": 7}, ["chain 7 is not one of auto"]),
    ({"chain": "zstd", "colour": "red"}, ["no key 'colour'"]),
    ({"level": None}, ["level None is not a zstd level"]),
    ({"effort": "2"}, ["effort '2' is not 0, 1 or 2"]),
    ({"dtype": "notatype"}, ["dtype 'notatype' is not one of uint8"]),
    ({"nodata": "abc"}, ["nodata 'abc' is neither a number nor nan"]),
    ({"nodata": [1, 2]}, ["nodata [1, 2] is neither a number nor nan"]),
    ({"nodata": 300, "dtype": "uint8"}, ["nodata value 300 does not fit uint8"]),
    ({"nodata": 1e40, "dtype": "float32"}, ["nodata value 1e+40 does not fit float32"]),
    ({"chunks": [0, 5]}, ["chunks [0, 5] is not a list of positive sizes"]),
    ({"order": "K"}, ["order 'K' is not C or F"]),
    ({"recipe": "LINEAR:MAX_ERROR=1", "resolved": {"grid": 1}, "dtype": "float32"},
     ["resolved {'grid': 1} is not a grid"]),
    ({"chain": 7, "level": None, "nodata": "abc", "x": 1},
     ["no key 'x'", "chain 7", "level None", "nodata 'abc'"]),
])
def test_hostile_configurations_are_refused_field_by_field(config, messages):
    with pytest.raises(varda.VardaError) as refused:
        numcodecs.get_codec({"id": "varda", **config})
    text = str(refused.value)
    assert text.startswith("the varda codec's configuration: ")
    assert all(m in text for m in messages), text
    assert text.count(";") == len(messages) - 1, text


# Configurations as the codec wrote them before it carried the saved
# product: the recipe's text and its grid beside the other keys.
EARLIER_CONFIGS = [
    {"id": "varda", "chain": "planar", "effort": 1, "level": 3, "nodata": -9999.0,
     "recipe": "LINEAR:MAX_ERROR=0.1",
     "resolved": {"family": 1, "grid": {"mode": 1, "step": 0.1999978542327881, "offset": 0.0},
                  "stats": {"max_abs": 9.0, "negatives": 0}},
     "dtype": "float32", "chunks": [16, 16], "order": "C"},
    {"id": "varda", "chain": "auto", "effort": 1, "level": 3, "nodata": None,
     "recipe": "SQRT:MAX_ERROR=1.0N,A=2.0,B=0.5",
     "resolved": {"family": 3, "grid": {"mode": 1, "step": 0.3535533905932738, "offset": 4.0},
                  "stats": {"min": 100.0, "max": 35639.0, "negatives": 0, "nonfinite": 0}},
     "dtype": "uint16", "chunks": [16, 16], "order": "C"},
    {"id": "varda", "chain": "med_zigzag", "effort": 1, "level": 3, "nodata": 0, "dtype": ">i2",
     "chunks": [16, 16], "order": "C"},
]


def _earlier_raster(dtype):
    a = (np.arange(48 * 40, dtype=np.float32).reshape(48, 40) % 37) * 0.25
    a[0, :5] = -9999
    return a if dtype == "float32" else (a.astype(np.uint16) * 3 + 100).astype(dtype)


@pytest.mark.parametrize("config", EARLIER_CONFIGS)
def test_configs_of_the_earlier_form_still_load(config):
    a = _earlier_raster(config["dtype"])[:16, :16].copy()
    old = numcodecs.get_codec(config)
    assert old.get_config()["product"]["varda_product"] == 1
    assert old.recipe == (varda.Recipe.parse(config["recipe"]).text if "recipe" in config else None)
    # The same product as a codec made today: the same blobs, the same form.
    if "recipe" in config:
        now = varda.prepare(_earlier_raster(config["dtype"]), recipe=config["recipe"],
                            nodata=config["nodata"], chain=config["chain"])
    else:
        now = VardaCodec(chain=config["chain"], nodata=config["nodata"])
    now = now.for_array(config["dtype"], config["chunks"])
    assert old.get_config() == now.get_config()
    assert old.encode(a) == now.encode(a)
    back = numcodecs.get_codec(json.loads(json.dumps(old.get_config())))
    assert back.encode(a) == old.encode(a)
    if "recipe" not in config:
        assert np.array_equal(back.decode(old.encode(a)), a)


def test_saved_products_are_checked_by_the_codec(rng):
    codec = varda.prepare(smooth_array(rng, "float32", (64, 64)), recipe="LOG:MAX_ERROR=1%",
                          nodata="nan")
    saved = codec.get_config()["product"]
    assert saved["lossy"] == "LOG" and saved["nodata"] == "nan" and saved["max_error"] == 0.01
    assert codec.recipe == "LOG:MAX_ERROR=1%"
    for change, says in [({"grid_step": "4"}, "'grid_step' is not a number"),
                         ({"tiny": 2}, "'tiny' is not an integer from 0 to 1"),
                         ({"chain": "floatquant"}, "does not take")]:
        with pytest.raises(varda.VardaError, match=says):
            numcodecs.get_codec({"id": "varda", "product": {**saved, **change}})
    with pytest.raises(varda.CorruptProduct, match="'dtype' is missing"):
        varda.Product.load({"varda_product": 1})
    with pytest.raises(varda.Refused, match="version 2"):
        varda.Product.load({**saved, "varda_product": 2})
    with pytest.raises(varda.VardaError, match="the product codes float32 samples"):
        VardaCodec(product=saved, dtype="int16")


def test_failures_raise_by_kind(rng):
    a = smooth_array(rng, "uint16", (16, 16))
    a[0, 0] = 1  # no multiple of 2 or more is common to all samples
    with pytest.raises(varda.NotApplicable, match="no multiplier"):
        varda.Product("uint16", chain="intmult").encode(a)
    with pytest.raises(varda.Refused, match="does not take float32"):
        varda.Product("float32", chain="intmult").encode(a.astype(np.float32))
    blob = bytearray(VardaCodec().encode(a))
    blob[-1] ^= 1
    with pytest.raises(varda.CorruptTile, match="checksum"):
        varda.decode_tile(bytes(blob))
    # Each is also the error callers caught before there were kinds.
    assert issubclass(varda.OutOfMemory, MemoryError)
    assert all(issubclass(k, varda.VardaError) for k in (varda.Refused, varda.NotApplicable,
                                                         varda.OutOfMemory, varda.CorruptProduct))


def test_default_level_is_the_codecs():
    from varda._lib import CodecProduct, fn
    from ctypes import byref

    record = CodecProduct()
    fn("varda_codec_product_init")(byref(record), 0)
    assert varda.codec.DEFAULT_LEVEL == record.zstd_level


def test_a_configuration_written_as_text_reads_and_keeps_its_width():
    # As GDAL writes it: values as text, the chunks' width but not their shape.
    codec = VardaCodec.from_config({"id": "varda", "dtype": "int16", "width": 4, "nodata": "-1",
                                    "chain": "auto", "effort": 1, "level": 3})
    assert codec.nodata == -1 and VardaCodec(nodata="2.5").nodata == 2.5
    a = np.arange(8, dtype=np.int16).reshape(2, 4)
    a[0, 0] = -1
    np.testing.assert_array_equal(codec.decode(codec.encode(a)).reshape(2, 4), a)
    with pytest.raises(varda.CorruptTile, match="8 samples wide, the array's chunks 4"):
        codec.decode(VardaCodec().encode(np.zeros((2, 8), np.int16)))
    with pytest.raises(varda.VardaError, match="1 x 8, the codec.s chunks 4 wide"):
        codec.encode(np.zeros((1, 8), np.int16))
    for bad, says in [({"width": 0}, "width 0 is not"), ({"nodata": "abc"}, "'abc' is neither")]:
        with pytest.raises(varda.VardaError, match=says):
            VardaCodec(**bad)
