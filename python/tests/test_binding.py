"""The binding's seams with the C libraries: record layouts, the shared
codes, how the libraries are loaded, and nodata as the kernels see it."""
import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

import varda
from varda import _lib
from varda._types import DTYPES, code_dtype, dtype_code
from varda.codec import chains_for
from varda.kernels import nodata_mask
from varda.lossy import Recipe, family_name
from varda.store import _holds_nodata

RECORDS = {
    "quant_spec": _lib.QuantSpec, "varda_lossy_recipe": _lib.LossyRecipe,
    "quant_grid": _lib.QuantGrid, "quant_linear_stats": _lib.LinearStats,
    "quant_log_stats": _lib.LogStats, "quant_sqrt_stats": _lib.SqrtStats,
    "varda_lossy_resolved": _lib.LossyResolved, "quant_sqrt_curve": _lib.SqrtCurve,
    "nodata_guard": _lib.NodataGuard, "varda_codec_product": _lib.CodecProduct,
    "varda_codec_info": _lib.CodecInfo, "varda_codec_tile_meta": _lib.CodecTileMeta,
}


def c_layout():
    tool = os.environ.get("VARDA_RECORD_LAYOUT")
    if not tool:
        pytest.skip("VARDA_RECORD_LAYOUT names no layout tool (ctest sets it)")
    layout = {}
    for line in subprocess.run([tool], check=True, capture_output=True, text=True).stdout.split("\n"):
        if line:
            record, field, value = line.split()
            layout.setdefault(record, {})[field] = int(value)
    return layout


def test_every_ctypes_record_matches_the_c_layout():
    layout = c_layout()
    assert set(layout) == set(RECORDS)
    for name, cls in RECORDS.items():
        c = layout[name]
        assert ctypes.sizeof(cls) == c.pop("-"), name
        declared = {f[0]: getattr(cls, f[0]) for f in cls._fields_}
        for field, offset in c.items():
            assert field in declared, f"{name}.{field} is not declared"
            assert declared[field].offset == offset, f"{name}.{field}"
        # A field the binding adds (a slot newer libraries fill) may only
        # lie in what C leaves as padding.
        taken = [(o, o + declared[f].size) for f, o in c.items()]
        for field in set(declared) - set(c):
            lo, hi = declared[field].offset, declared[field].offset + declared[field].size
            assert all(hi <= a or lo >= b for a, b in taken), f"{name}.{field} overlaps"


def test_codes_come_from_the_library():
    codes = _lib.codes()
    # Every numpy type the package takes has the library's code, and back.
    assert sorted(dtype_code(t) for t in DTYPES) == list(range(codes["DTYPE_COUNT"]))
    for t in DTYPES:
        assert code_dtype(dtype_code(t)) == np.dtype(t)
    with pytest.raises(ValueError):
        code_dtype(codes["DTYPE_COUNT"])
    assert [family_name(f) for f in sorted(_lib.code_names("LOSSY_"))] == \
        [None, "LINEAR", "LOG", "SQRT"]
    assert Recipe.parse("LOG:MAX_ERROR=1%").family == codes["LOSSY_LOG"]
    # A lossy float product codes a signed integer stream: the float chains
    # do not apply to it.
    assert "floatquant" in chains_for("float32")
    assert chains_for("float32", lossy=True) == chains_for("int32")


def test_libraries_stay_out_of_the_global_namespace():
    varda.kernels.simd_path()  # both loaded
    _lib.fn("varda_codec_chain_count")
    glob = ctypes.CDLL(None)
    for name in ("planar_encode", "varda_codec_encode"):
        with pytest.raises(AttributeError):
            getattr(glob, name)


def test_build_folders_are_searched_only_in_a_checkout(tmp_path, monkeypatch):
    monkeypatch.delenv("VARDA_LIB_DIR", raising=False)
    package = tmp_path / "site-packages" / "varda"
    package.mkdir(parents=True)
    (tmp_path / "build").mkdir()
    monkeypatch.setattr(_lib, "_HERE", package)
    assert _lib.search_dirs() == [package / "_libs"]
    checkout = tmp_path / "repo"
    (checkout / "python" / "varda").mkdir(parents=True)
    (checkout / "include").mkdir()
    (checkout / "include" / "varda_kernels.h").touch()
    (checkout / "CMakeLists.txt").touch()
    (checkout / "build-x").mkdir()
    monkeypatch.setattr(_lib, "_HERE", checkout / "python" / "varda")
    assert checkout / "build-x" in _lib.search_dirs()


@pytest.mark.parametrize("dtype", ["float16", "float32", "float64"])
def test_nodata_is_matched_bit_for_bit(dtype):
    a = np.array([[0.0, -0.0, 1.0], [np.nan, 2.0, -np.nan]], dtype)
    assert nodata_mask(a, 0.0).tolist() == [[True, False, False], [False, False, False]]
    assert nodata_mask(a, float("nan")).tolist() == [[False, False, False], [True, False, True]]
    assert nodata_mask(a, "nan").tolist() == nodata_mask(a, float("nan")).tolist()
    assert nodata_mask(a, None) is None
    # -0.0 is not the nodata 0.0, nor 0.0 the nodata -0.0.
    assert not _holds_nodata(a[:, 1:], 0.0)
    assert _holds_nodata(a[:, 1:], -0.0)
    assert not _holds_nodata(np.ones(4, dtype), float("nan"))


def test_nodata_in_integer_rasters():
    a = np.array([-1, 0, 5, 127], np.int8)
    assert nodata_mask(a, -1).tolist() == [True, False, False, False]
    assert nodata_mask(a, float("nan")) is None
    assert not _holds_nodata(a, float("nan"))
    # A sentinel the type cannot hold marks nothing.
    assert not _holds_nodata(a, 300)
    assert not nodata_mask(a, 0.5).any()


def test_the_environment_finds_projs_data():
    # In the project's virtual environment pyproj looks under its prefix.
    done = subprocess.run([sys.executable, "-W", "error", "-c",
                           "import pyproj; print(pyproj.datadir.get_data_dir())"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
