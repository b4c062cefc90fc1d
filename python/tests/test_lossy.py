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
