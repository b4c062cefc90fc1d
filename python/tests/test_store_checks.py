"""Stores whose metadata or chunks lie, read through the command line:
exit 1, a message naming the field or the chunk, no traceback."""

import contextlib
import io
import json
import re
import shutil
import warnings

import numpy as np
import pytest
import rasterio

import varda
from conftest import smooth_array
from varda.cli import main

# The codec's own fields are refused one by one in test_codec; here, that
# the refusal reaches the command line as one line and exit 1. "product.x"
# is field x of the saved product the configuration carries.
FIELDS = [
    ({"product.chain": 7}, ["field 'chain' is not a chain's name or auto"]),
    ({"product.zstd_level": None, "colour": 1},
     ["no key 'colour'", "the value of 'zstd_level' is neither a string nor a JSON number"]),
    ({"level": 3}, ["level: held in the product, not beside it"]),
]
ATTRS = [
    ({"nodata": "abc"}, ["attribute nodata 'abc' is neither a number nor nan"]),
    ({"nodata": [1, 2]}, ["attribute nodata [1, 2] is neither a number nor nan"]),
    ({"nodata": 300}, ["attribute nodata value 300 does not fit uint8"]),
    ({"nodata": -1, "transform": [1, 2]}, ["does not fit uint8", "transform [1, 2] is not six"]),
]


@pytest.fixture
def store(rng, tmp_path):
    path = tmp_path / "s.zarr"
    # The root array of the first layout: its metadata files are the ones edited.
    varda.compress(smooth_array(rng, "uint8", (100, 90)), path, tile=32, layout="array")
    return path


def _refused(*args, says=()):
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        assert main(list(args)) == 1
    text = err.getvalue()
    assert text.startswith("varda: ") and text.count("\n") == 1, text
    for part in says:
        assert part in text, text
    return text


@pytest.mark.parametrize("where,changes,messages",
                         [(".zarray", c, m) for c, m in FIELDS] + [(".zattrs", c, m) for c, m in ATTRS])
def test_hostile_metadata_exits_1_with_a_message_per_field(store, tmp_path, where, changes, messages):
    meta = json.loads((store / where).read_text())
    for key, value in changes.items():
        target = meta["compressor"] if where == ".zarray" else meta
        if key.startswith("product."):
            target, key = target["product"], key[len("product."):]
        target[key] = value
    (store / where).write_text(json.dumps(meta))
    for args in (["info", str(store)], ["decompress", str(store), str(tmp_path / "o.tif")]):
        text = _refused(*args, says=messages)
        assert text.count(";") == len(messages) - 1, text
    assert not (tmp_path / "o.tif").exists()


def test_hostile_array_metadata_exits_1(store):
    meta = json.loads((store / ".zarray").read_text())
    for changes, message in [({"dtype": "notatype"}, "data type 'notatype' not understood"),
                             ({"shape": [100]}, "the array is 1-D"),
                             ({"shape": [10**12, 10**12]}, "chunk 0.3 (rows 0..31, columns 96..127)"
                                                          ": the chunk is missing")]:
        (store / ".zarray").write_text(json.dumps({**meta, **changes}))
        _refused("info", str(store), says=[message])


def test_what_python_cannot_read_is_refused_in_the_stores_words(store):
    text = (store / ".zarray").read_text()
    nested = "[" * 100000 + "]" * 100000
    cases = [
        (text.replace('"fill_value": 0', f'"fill_value": {nested}'), "nests deeper"),
        (text.replace('"zstd_level": 3', f'"zstd_level": {nested}'), "nests deeper"),
        (text.replace('"zstd_level": 3', '"zstd_level": ' + "7" * 5000),
         "field 'zstd_level' is not an integer from 1 to 22"),
    ]
    for changed, message in cases:
        assert changed != text
        (store / ".zarray").write_text(changed)
        _refused("info", str(store), says=[message])
        with pytest.raises(varda.StoreError, match=message):
            varda.open(store)
    (store / ".zarray").write_text(text)
    (store / ".zattrs").write_text(nested)
    _refused("info", str(store), says=["the attributes cannot be read"])


def test_a_file_named_zip_that_is_not_one(tmp_path):
    fake = tmp_path / "s.zip"
    fake.write_bytes(b"not a zip at all" * 10)
    _refused("info", str(fake), says=["not a zip file"])


def _store_with(rng, tmp_path, name, dtype="uint16", tile=32, recipe=None):
    path = tmp_path / name
    varda.compress(smooth_array(rng, dtype, (64, 64)), path, tile=tile, layout="array",
                   recipe=recipe)
    return path


def test_a_chunk_that_is_not_the_arrays_is_refused_by_info_and_decompress(rng, tmp_path):
    cases = {
        # another array's chunk, of another shape
        "shape": (_store_with(rng, tmp_path, "a.zarr", tile=16), "0.0",
                  "the tile is 16 rows of 16 samples, not a chunk of 32 x 32"),
        # a blob of 98 kB that would decode into a tile of 128 MB
        "bomb": (None, "1.1", "the tile is 8192 rows of 8192 samples"),
        "dtype": (_store_with(rng, tmp_path, "c.zarr", dtype="int16"), "0.1",
                  "the tile holds int16 samples, the array uint16"),
        # a lossy tile of the same dtype and shape in a lossless store, and back
        "lossy": (_store_with(rng, tmp_path, "l.zarr", recipe="LINEAR:MAX_ERROR=2"), "1.0",
                  "the tile is lossy (LINEAR), the array's product lossless"),
        "lossless": (_store_with(rng, tmp_path, "n.zarr"), "0.1",
                     "the tile is lossless, the array's product lossy (LINEAR)"),
    }
    for what, (source, key, message) in cases.items():
        recipe = "LINEAR:MAX_ERROR=2" if what == "lossless" else None
        target = _store_with(rng, tmp_path, f"t-{what}.zarr", recipe=recipe)
        if source is None:
            (target / key).write_bytes(varda.VardaCodec().encode(np.zeros((8192, 8192), np.uint16)))
        else:
            shutil.copy(source / "0.0", target / key)
        says = [f"chunk {key} (", message]
        _refused("info", str(target), says=says)
        _refused("decompress", str(target), str(tmp_path / f"{what}.npy"), says=says)
        with pytest.raises(varda.CorruptTile, match=re.escape(message)):
            varda.open(target).compute()


@pytest.mark.parametrize("field,value,message", [
    ("grid_step", 100, "field 'grid_step' is 100, the recipe's bound gives"),
    ("grid_step", 1e308, "field 'grid_step' is 1e+308"),
    ("max_abs", "nan", "field 'max_abs' is not a finite magnitude"),
])
def test_a_saved_grid_that_breaks_its_bound_is_refused(rng, tmp_path, field, value, message):
    path = _store_with(rng, tmp_path, "g.zarr", dtype="float32", recipe="LINEAR:MAX_ERROR=0.5")
    meta = json.loads((path / ".zarray").read_text())
    meta["compressor"]["product"][field] = value
    (path / ".zarray").write_text(json.dumps(meta))
    _refused("info", str(path), says=[message])
    import zarr
    with pytest.raises(Exception, match=re.escape(message)):
        zarr.open_array(str(path), mode="r+")[:8, :8] = 1.0


def test_an_order_edited_in_array_and_codec_alike_is_refused(rng, tmp_path):
    # Square chunks read in either order: only the store's own record tells.
    path = _store_with(rng, tmp_path, "f.zarr")
    meta = json.loads((path / ".zarray").read_text())
    meta["order"] = meta["compressor"]["order"] = "F"
    (path / ".zarray").write_text(json.dumps(meta))
    says = ["the store was written in C order, the array says F"]
    _refused("info", str(path), says=says)
    with pytest.raises(varda.StoreError, match=says[0]):
        varda.open(path)


def test_a_changed_array_dtype_is_refused(rng, tmp_path):
    path = _store_with(rng, tmp_path, "d.zarr")
    meta = json.loads((path / ".zarray").read_text())
    meta["dtype"] = ">u2"
    (path / ".zarray").write_text(json.dumps(meta))
    _refused("decompress", str(path), str(tmp_path / "o.npy"),
             says=["the codec codes uint16 chunks, the array is >u2"])


@pytest.mark.parametrize("dtype", ["int16", "uint16", "float32", "float64"])
def test_fits_files_round_trip_through_the_command_line(rng, tmp_path, dtype):
    # FITS keeps big-endian samples; GDAL's driver writes and reads them.
    data = smooth_array(rng, dtype, (70, 90), noise=4)[None]
    src = tmp_path / "in.fits"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
        with rasterio.open(src, "w", driver="FITS", width=90, height=70, count=1,
                           dtype=dtype) as dst:
            dst.write(data)
    store, out = tmp_path / "s.zarr", tmp_path / "o.npy"
    assert main(["compress", str(src), str(store), "--tile", "32"]) == 0
    assert main(["decompress", str(store), str(out)]) == 0
    assert np.array_equal(np.load(out), data[0])


@pytest.mark.parametrize("dtype", [">i2", ">u2", ">f4", ">f8"])
def test_compress_takes_big_endian_rasters(rng, tmp_path, dtype):
    data = smooth_array(rng, dtype, (70, 90), noise=4)
    for recipe in (None, "LINEAR:MAX_ERROR=0.5"):
        path = tmp_path / f"{recipe is None}.zarr"
        varda.compress(data, path, tile=32, recipe=recipe)
        back = varda.open(path).compute()
        assert back.dtype == np.dtype(dtype).newbyteorder("=")
        assert varda.verify(varda.Recipe.parse(recipe), data, back) <= 1.0
