import math

import numpy as np
import pytest

import varda
from varda import Recipe
from conftest import smooth_array


@pytest.mark.parametrize("text,message", [
    ("LINEAR:MAX_ERROR=0", 'error "LINEAR:MAX_ERROR=0": MAX_ERROR must be positive'),
    ("LINEAR:MAX_ERROR=1,", 'error "LINEAR:MAX_ERROR=1,": a key has to follow every comma'),
    ("LOG:MAX_ERROR=100%", 'error "LOG:MAX_ERROR=100%": a MAX_ERROR of 100% is the value itself'),
    ("SQRT:MAX_ERROR=2N,A=4",
     'error "SQRT:MAX_ERROR=2N,A=4": A and B travel together; give both or neither and let the '
     'fit find them'),
    ("linear:MAX_ERROR=1",
     'error "linear:MAX_ERROR=1": the families are LINEAR, LOG and SQRT, each followed by a colon'),
])
def test_refused_recipes_carry_the_library_message(text, message):
    with pytest.raises(varda.VardaError) as refused:
        Recipe.parse(text)
    assert str(refused.value) == message


@pytest.mark.parametrize("text", ["LINEAR:MAX_ERROR=0.25", "LOG:MAX_ERROR=1.5%",
                                  "SQRT:MAX_ERROR=2N,A=4,B=0.5", "SQRT:MAX_ERROR=1N", ""])
def test_canonical_text_reads_back_to_the_same_record(text):
    recipe = Recipe.parse(text)
    assert Recipe.parse(recipe.text) == recipe


def test_guard_radius():
    assert Recipe.parse("LINEAR:MAX_ERROR=0.5").guard_radius(123.0) == 0.5
    assert Recipe.parse("LOG:MAX_ERROR=50%").guard_radius(-3.0) == pytest.approx(3.0)
    sqrt = Recipe.parse("SQRT:MAX_ERROR=1N,A=0,B=1")
    assert sqrt.guard_radius(0.0) == pytest.approx(1.0)
    assert sqrt.guard_radius(2.0) == pytest.approx(2.0)
    assert math.isinf(Recipe.parse("SQRT:MAX_ERROR=1N").guard_radius(1.0))


def _photons(rng, shape=(256, 256), a=9.0, b=2.0):
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    signal = 50 + 3000 * np.exp(-((x - 128) ** 2 + (y - 100) ** 2) / 5000.0)
    counts = b * rng.poisson(signal / b) + rng.normal(0, math.sqrt(a), shape)
    return np.clip(np.round(counts), 0, 65535).astype(np.uint16)


@pytest.mark.parametrize("dtype,text", [
    ("float32", "LINEAR:MAX_ERROR=0.05"), ("int16", "LINEAR:MAX_ERROR=3"),
    ("float64", "LOG:MAX_ERROR=0.5%"), ("uint16", "LOG:MAX_ERROR=2%"),
    ("uint16", "SQRT:MAX_ERROR=1N"), ("float32", "SQRT:MAX_ERROR=0.5N,A=9,B=2"),
])
def test_quantisers_stay_within_the_bound(rng, dtype, text):
    raster = _photons(rng).astype(dtype) if text.startswith("SQRT") else \
        smooth_array(rng, dtype, (128, 96))
    resolved = Recipe.parse(text).resolve(raster)
    if text == "SQRT:MAX_ERROR=1N":
        assert resolved.recipe.has_ab and resolved.recipe.b > 0
    stream = resolved.quantise(raster)
    rebuilt = resolved.dequantise(stream)
    assert rebuilt.dtype == raster.dtype
    assert 0 < resolved.verify(raster, rebuilt) <= 1.0


def test_domain_check_refuses_a_tile_outside_the_grid(rng):
    raster = smooth_array(rng, "float32", (64, 64))
    resolved = Recipe.parse("LINEAR:MAX_ERROR=0.1").resolve(raster)
    resolved.check_domain(raster[:8])
    tile = raster[:8].copy()
    tile[0, 0] = -5.0
    with pytest.raises(varda.VardaError, match="built without negative samples"):
        resolved.check_domain(tile)
    resolved.check_domain(tile, ignore=-5.0)


def _with_infinities(rng):
    a = smooth_array(rng, "float32", (64, 64))
    a[3, 3], a[40, 7] = np.inf, -np.inf
    return a


@pytest.mark.parametrize("text", ["LINEAR:MAX_ERROR=0.5", "LOG:MAX_ERROR=1%",
                                  "SQRT:MAX_ERROR=1N,A=1,B=1"])
def test_a_changed_non_finite_sample_breaks_the_bound(rng, text):
    a = _with_infinities(rng)
    recipe = Recipe.parse(text)
    assert varda.check(recipe, a, a) == varda.Check(0.0)
    for where, value in [((3, 3), 3.4e38), ((40, 7), 0.0), ((9, 9), np.inf), ((9, 9), np.nan)]:
        rebuilt = a.copy()
        rebuilt[where] = value
        result = varda.check(recipe, a, rebuilt)
        assert result.nonfinite == 1 and not result.kept, (where, value)
        assert varda.verify(recipe, a, rebuilt) == math.inf
    # Through the codec the infinities come back bit for bit.
    codec = varda.prepare(a, recipe=text)
    back = codec.decode(codec.encode(a)).reshape(a.shape)
    assert np.array_equal(back[~np.isfinite(a)], a[~np.isfinite(a)])
    assert varda.check(Recipe.parse(codec.recipe), a, back).kept
    # The recipe's text, as the README shows it, is a recipe too.
    assert varda.check(codec.recipe, a, back) == varda.check(Recipe.parse(codec.recipe), a, back)
    assert varda.verify(text, a, a) == 0.0
    with pytest.raises(TypeError, match="recipe text or a varda.Recipe, not int"):
        varda.check(3, a, a)


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("text", ["LINEAR:MAX_ERROR=0.5", "LOG:MAX_ERROR=1%",
                                  "SQRT:MAX_ERROR=1N,A=1,B=1"])
def test_lossy_stores_keep_infinities_and_nan_bit_for_bit(rng, tmp_path, dtype, text):
    a = _with_infinities(rng).astype(dtype)
    u = f"u{a.dtype.itemsize}"
    a[5, 5] = np.nan
    payload = np.array(0x123 | (1 << (8 * a.itemsize - 1)), u)  # signed, with a payload
    a.view(u)[6, 6] = a.view(u)[5, 5] | payload
    varda.compress(a, tmp_path / "a.zarr", recipe=text, tile=32)
    back = np.asarray(varda.open(tmp_path / "a.zarr")[:])
    special = ~np.isfinite(a)
    assert np.array_equal(back.view(u)[special], a.view(u)[special])
    assert varda.check(Recipe.parse(text), a, back).kept
    varda.decompress(tmp_path / "a.zarr", tmp_path / "a.npy")
    assert np.array_equal(np.load(tmp_path / "a.npy").view(u), back.view(u))


def test_log_counts_samples_below_the_smallest_normal_as_tiny():
    a = np.array([[1e-40, 3e-39, 1.0, 2.0, 5.0, 1e-3]] * 4, np.float32)
    rebuilt = a.copy()
    rebuilt[:, :2] *= 2  # far off, but outside what the relative bound measures
    result = varda.check(Recipe.parse("LOG:MAX_ERROR=1%"), a, rebuilt)
    assert result == varda.Check(0.0, 0, 8) and result.kept
    rebuilt[0, 2] = 1.5
    assert not varda.check(Recipe.parse("LOG:MAX_ERROR=1%"), a, rebuilt).kept


def test_bench_reports_broken_infinities_and_tiny_samples(rng):
    from varda import bench

    a = _with_infinities(rng)
    row, = bench.run(a, tile=32, recipes=["LINEAR:MAX_ERROR=0.5"], chains=[], references=False)
    assert row.verified and row.note == ""
    small = smooth_array(rng, "float32", (64, 64))
    small[:8] *= 1e-41  # subnormal rows
    row, = bench.run(small, tile=32, recipes=["LOG:MAX_ERROR=1%"], chains=[], references=False)
    assert row.tiny > 0 and "(tiny)" in row.note and row.verified
