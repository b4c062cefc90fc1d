"""Lossy recipes: text to a resolved grid, and the quantisers per tile."""

from __future__ import annotations

import ctypes
import math
from ctypes import byref, c_double, c_size_t
from dataclasses import dataclass

import numpy as np

from ._lib import LossyRecipe, LossyResolved, Message, QuantSpec, SqrtCurve
from ._lib import VardaError, code, code_names, fn
from ._types import dtype_code, ptr, samples, tile_shape

# Room for the longest recipe text: three shortest doubles and the words.
_TEXT_SIZE = 160


def family_name(family: int) -> str | None:
    """"LINEAR", "LOG" or "SQRT" for a lossy family code; None for lossless
    or a code the library does not know."""
    name = code_names("LOSSY_").get(family)
    return None if name in (None, "NONE") else name


@dataclass(frozen=True)
class Recipe:
    """A parsed recipe. `text` is the canonical form: it reads back to the
    same record, the noise curve included once fitted."""

    family: int
    max_error: float = 0.0
    a: float = 0.0
    b: float = 0.0
    has_ab: bool = False

    @classmethod
    def parse(cls, text: str | None) -> "Recipe":
        record, msg = LossyRecipe(), Message()
        raw = None if text is None else text.encode()
        if fn("varda_lossy_parse")(raw, byref(record), *msg.args):
            raise VardaError(msg.text)
        return cls._from_record(record)

    @classmethod
    def _from_record(cls, record: LossyRecipe) -> "Recipe":
        s = record.spec
        return cls(record.family, s.max_error, s.a, s.b, bool(s.has_ab))

    def record(self) -> LossyRecipe:
        return LossyRecipe(self.family, QuantSpec(self.max_error, self.a, self.b, int(self.has_ab)))

    @property
    def name(self) -> str | None:
        return family_name(self.family)

    @property
    def text(self) -> str:
        record, msg = self.record(), Message()
        text = ctypes.create_string_buffer(_TEXT_SIZE)
        if fn("varda_codec_recipe_text")(byref(record), text, _TEXT_SIZE, *msg.args):
            raise VardaError(msg.text)
        return text.value.decode()

    def __str__(self) -> str:
        return self.text

    def fit(self, raster) -> "Recipe":
        """A SQRT recipe without a noise curve gets one measured on the
        raster; any other recipe comes back unchanged."""
        raster = samples(raster)
        width, count = tile_shape(raster, None)
        record, msg = self.record(), Message()
        if fn("varda_lossy_fit")(byref(record), ptr(raster), dtype_code(raster.dtype), width, count,
                                 *msg.args):
            raise VardaError(msg.text)
        return Recipe._from_record(record)

    def resolve(self, raster) -> "Resolved":
        """The grid for the whole product, fitting the noise curve first
        when the recipe needs one."""
        raster = samples(raster)
        recipe = self.fit(raster) if self.family == code("LOSSY_SQRT") and not self.has_ab else self
        record, resolved, msg = recipe.record(), LossyResolved(), Message()
        if fn("varda_lossy_resolve")(byref(record), ptr(raster), dtype_code(raster.dtype),
                                     raster.size, byref(resolved), *msg.args):
            raise VardaError(msg.text)
        return Resolved(recipe, resolved, np.dtype(raster.dtype))

    def guard_radius(self, x: float) -> float:
        record = self.record()
        return fn("varda_lossy_guard_radius")(byref(record), c_double(x))




class Resolved:
    """A recipe's grid on one product, and the value domain it was cut for."""

    def __init__(self, recipe: Recipe, record: LossyResolved, dtype):
        self.recipe, self._record, self.dtype = recipe, record, np.dtype(dtype)

    @property
    def record(self) -> LossyResolved:
        return self._record

    @property
    def grid(self) -> dict:
        g = self._record.grid
        return {"mode": g.mode, "step": g.step, "offset": g.offset}

    @property
    def stats(self) -> dict:
        name = family_name(self._record.family)
        if name is None:
            return {}
        rec = getattr(self._record.stats, name.lower())
        return {field: getattr(rec, field) for field, _ in rec._fields_}

    def to_config(self) -> dict:
        stats = {k: (v if math.isfinite(v) else repr(v)) if isinstance(v, float) else v
                 for k, v in self.stats.items()}
        return {"family": self._record.family, "grid": self.grid, "stats": stats}

    def check_domain(self, tile, ignore=None) -> None:
        """Refuses a tile that leaves the domain the grid was cut for;
        samples whose bits equal `ignore` are skipped."""
        from .kernels import sentinel_bits

        tile = samples(tile)
        msg = Message()
        has_ignore = ignore is not None
        bits = sentinel_bits(ignore, tile.dtype) if has_ignore else 0
        if fn("varda_lossy_check_domain")(byref(self._record), ptr(tile), dtype_code(tile.dtype),
                                          tile.size, int(has_ignore), bits, *msg.args):
            raise VardaError(msg.text)

    def _family(self) -> str:
        name = family_name(self._record.family)
        if name is None:
            raise ValueError("a lossless recipe has no quantiser")
        return name.lower()

    def quantise(self, a) -> np.ndarray:
        """The quantised stream: integers of the sample's width (signed for
        floats)."""
        a = samples(a)
        out = np.empty(a.shape, stream_dtype(a.dtype))
        name = f"quant_{self._family()}_encode"
        if fn(name)(ptr(out), ptr(a), byref(self._record.grid), dtype_code(a.dtype), a.size):
            raise VardaError(f"{name} refused the grid or the samples")
        return out

    def dequantise(self, stream, dtype=None) -> np.ndarray:
        dtype = np.dtype(dtype or self.dtype).newbyteorder("=")
        stream = samples(stream)
        if stream.dtype.itemsize != dtype.itemsize:
            raise ValueError(f"a stream of {stream.dtype} does not hold {dtype} samples")
        out = np.empty(stream.shape, dtype)
        name = f"quant_{self._family()}_decode"
        if fn(name)(ptr(out), ptr(stream), byref(self._record.grid), dtype_code(dtype), out.size):
            raise VardaError(f"{name} refused the grid or the stream")
        return out

    def verify(self, original, rebuilt) -> float:
        return verify(self.recipe, original, rebuilt)

    def check(self, original, rebuilt) -> "Check":
        return check(self.recipe, original, rebuilt)


def stream_dtype(dtype) -> np.dtype:
    """The type of a lossy stream of `dtype` samples: the integer of the
    sample's width, signed for floats."""
    dt = np.dtype(dtype)
    return np.dtype(f"i{dt.itemsize}") if dt.kind == "f" else dt


@dataclass(frozen=True)
class Check:
    """A lossy round trip measured against its recipe.

    worst: the largest error over the bound among the samples the recipe
    measures (at most 1 when the bound held); nonfinite: samples that were
    non-finite and did not come back bit for bit, or finite and came back
    non-finite (each breaks the bound); tiny: LOG float samples below the
    type's smallest normal, outside the relative bound by the kernels' own
    rule and so neither kept nor broken, only counted."""

    worst: float
    nonfinite: int = 0
    tiny: int = 0

    @property
    def kept(self) -> bool:
        return self.nonfinite == 0 and self.worst <= 1.0


def _recipe(recipe) -> Recipe:
    """A Recipe, or recipe text parsed into one."""
    if isinstance(recipe, Recipe):
        return recipe
    if isinstance(recipe, str):
        return Recipe.parse(recipe)
    raise TypeError(f"recipe is recipe text or a varda.Recipe, not {type(recipe).__name__}")


def check(recipe: Recipe | str, original, rebuilt) -> Check:
    """`recipe` is a Recipe or its text ("LINEAR:MAX_ERROR=1")."""
    recipe = _recipe(recipe)
    original, rebuilt = samples(original), samples(rebuilt)
    if original.dtype != rebuilt.dtype or original.shape != rebuilt.shape:
        raise ValueError("original and rebuilt differ in dtype or shape")
    u = f"u{original.dtype.itemsize}"
    if recipe.family == code("LOSSY_NONE"):
        return Check(0.0 if np.array_equal(original.view(u), rebuilt.view(u)) else math.inf)
    nonfinite = 0
    if original.dtype.kind == "f":
        # The quantisers' verifiers measure finite samples only: an infinity
        # turned finite, or a sample turned NaN, is counted here.
        held = np.isfinite(original)
        nonfinite = int(np.count_nonzero(~held & (original.view(u) != rebuilt.view(u))) +
                        np.count_nonzero(held & ~np.isfinite(rebuilt)))
    worst, spec = c_double(), recipe.record().spec
    dt, n = dtype_code(original.dtype), original.size
    tiny = c_size_t()
    if recipe.family == code("LOSSY_LINEAR"):
        rc = fn("quant_linear_verify")(ptr(original), ptr(rebuilt), byref(spec), dt, n, byref(worst))
    elif recipe.family == code("LOSSY_LOG"):
        rc = fn("quant_log_verify")(ptr(original), ptr(rebuilt), byref(spec), dt, n, byref(worst),
                                    byref(tiny))
    else:
        curve = SqrtCurve(a=recipe.a, b=recipe.b, held=1)
        rc = fn("quant_sqrt_verify")(ptr(original), ptr(rebuilt), byref(spec), byref(curve), dt, n,
                                     byref(worst))
    if rc:
        raise VardaError("the recipe's verifier refused the arrays")
    return Check(worst.value, nonfinite, tiny.value)


def verify(recipe: Recipe | str, original, rebuilt) -> float:
    """The worst error over the recipe's bound: at most 1 when it held,
    infinite when a non-finite sample changed. check() says more."""
    result = check(recipe, original, rebuilt)
    return math.inf if result.nonfinite else result.worst
