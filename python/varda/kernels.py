"""numpy functions over the kernels: arrays in, arrays out.

Type-blind kernels (predictors, PFOR, lanes, joins) take any array of 1-, 2-,
4- or 8-byte elements and return the same dtype, so that a signed or float
raster passes through as its bit patterns and comes back unchanged. A 2-D
(or n-D) array is a tile whose rows are its last axis; a flat array is one
row unless `width` says otherwise. Inputs of the other byte order are
converted first; results are in the machine's order.

Every function that returns an array also takes `out`, an array to write
it into: it must hold exactly the result's elements, of its dtype,
C-contiguous and writable, and must not overlap an input (except where a
kernel runs in place, noted below).
"""

from __future__ import annotations

import ctypes
import math
from ctypes import byref, c_double, c_uint8, c_uint32, c_uint64, c_void_p

import numpy as np

from . import _lib
from ._lib import Message, NodataGuard, VardaError, fn
from ._types import dtype_code, element_dtype, elements, output, ptr, samples, shaped, tile_shape
from ._types import unsigned_of

# ---- SIMD path --------------------------------------------------------------

SIMD_NAMES = ("scalar", "sse2", "avx2", "neon")


def simd_path() -> str:
    """The path the decoders take, resolving it on first use."""
    return fn("varda_simd_name")(fn("varda_simd_active")()).decode()


def set_simd_path(path: str | int | None) -> str:
    """Chooses a path by name or id; None re-reads VARDA_SIMD. A path this
    build or processor cannot run is refused."""
    if path is None:
        return fn("varda_simd_name")(fn("varda_simd_resolve")()).decode()
    path_id = SIMD_NAMES.index(path) if isinstance(path, str) and path in SIMD_NAMES else path
    if not isinstance(path_id, int) or not 0 <= path_id < len(SIMD_NAMES):
        raise ValueError(f"SIMD path {path!r} is not one of {', '.join(SIMD_NAMES)}")
    usable = fn("varda_simd_built")() & fn("varda_simd_cpu")()
    if not usable >> path_id & 1:
        raise ValueError(f"SIMD path {SIMD_NAMES[path_id]} is not built or not supported here")
    _lib.simd_path_var().value = path_id
    return SIMD_NAMES[path_id]


def simd_paths() -> list[str]:
    """The paths this build and processor can both run."""
    usable = fn("varda_simd_built")() & fn("varda_simd_cpu")()
    return [name for bit, name in enumerate(SIMD_NAMES) if usable >> bit & 1]


# ---- spatial predictors -------------------------------------------------------


def _refused(name: str, detail: str = "") -> VardaError:
    return VardaError(f"{name} refused its arguments" + (f": {detail}" if detail else ""))


# The kernels that may write over their own input (out is the input).
IN_PLACE = {"planar_zigzag_decode", "delta_n_encode", "delta_n_decode", "delta_w_encode",
            "delta_w_decode", "average_decode", "wp_static_decode"}


def _spatial(name: str, a, width, *extra, out=None) -> np.ndarray:
    a = elements(a)
    width, count = tile_shape(a, width)
    out = output(out, a.shape, a.dtype, (a,), name in IN_PLACE)
    if fn(name)(ptr(out), ptr(a), width, count, a.dtype.itemsize, *extra):
        raise _refused(name)
    return out


def _predictor(stage: str):
    def encode(a, width: int | None = None, out=None) -> np.ndarray:
        return _spatial(f"{stage}_encode", a, width, out=out)

    def decode(residuals, width: int | None = None, out=None) -> np.ndarray:
        return _spatial(f"{stage}_decode", residuals, width, out=out)

    encode.__name__, decode.__name__ = f"{stage}_encode", f"{stage}_decode"
    encode.__doc__ = f"Residuals of the {stage} predictor, in the input's dtype."
    decode.__doc__ = f"The tile back from {stage} residuals, bit for bit."
    return encode, decode


planar_encode, planar_decode = _predictor("planar")
planar_zigzag_encode, planar_zigzag_decode = _predictor("planar_zigzag")
delta_n_encode, delta_n_decode = _predictor("delta_n")
delta_w_encode, delta_w_decode = _predictor("delta_w")
average_encode, average_decode = _predictor("average")
med_encode, med_decode = _predictor("med")
med_zigzag_encode, med_zigzag_decode = _predictor("med_zigzag")


def _weights(weights) -> np.ndarray:
    w = np.ascontiguousarray(weights, dtype=np.int16)
    if w.shape != (4,):
        raise ValueError("the weighted predictor takes four weights (N, NW, NE, NN)")
    return w


def wp_static_encode(a, weights, shift: int, width: int | None = None, out=None) -> np.ndarray:
    return _spatial("wp_static_encode", a, width, ptr(_weights(weights)), c_uint8(shift), out=out)


def wp_static_decode(residuals, weights, shift: int, width: int | None = None,
                     out=None) -> np.ndarray:
    return _spatial("wp_static_decode", residuals, width, ptr(_weights(weights)), c_uint8(shift),
                    out=out)


def wp_static_train(a, width: int | None = None) -> tuple[np.ndarray, int]:
    """Weights and shift for one tile. The library always hands back a
    usable choice, the planar fallback at worst."""
    a = elements(a)
    width, count = tile_shape(a, width)
    weights, shift = np.zeros(4, np.int16), c_uint8()
    fn("wp_static_train")(ptr(weights), byref(shift), ptr(a), width, count, a.dtype.itemsize)
    return weights, shift.value


def planar_zigzag_decode_stream(out, residuals, start: int, n: int, width: int, plane: int):
    """Rebuilds samples start .. start + n - 1 of a stack of planes in
    `out` (the whole stack, of the residuals' dtype), given that the
    samples before them are already rebuilt."""
    residuals = elements(residuals)
    if start < 0 or n < 0 or residuals.size < start + n:
        raise ValueError(f"samples {start} .. {start + n - 1} are not all in {residuals.size} "
                         "residuals")
    output(out, residuals.size, residuals.dtype, (residuals,))
    if fn("planar_zigzag_decode_stream")(ptr(out), ptr(residuals), start, n, width, plane,
                                         out.dtype.itemsize):
        raise _refused("planar_zigzag_decode_stream")
    return out


# ---- interleave ---------------------------------------------------------------


def deinterleave_split(a, out=None) -> tuple[np.ndarray, np.ndarray]:
    """The even and odd elements; `out` is a pair (even, odd) when given."""
    a = elements(a).reshape(-1)
    even, odd = (None, None) if out is None else out
    even = output(even, a.size - a.size // 2, a.dtype, (a,))
    odd = output(odd, a.size // 2, a.dtype, (a, even))
    fn("deinterleave_split")(ptr(even), ptr(odd), ptr(a), a.size, a.dtype.itemsize)
    return even, odd


def deinterleave_join(even, odd, out=None) -> np.ndarray:
    even = elements(even).reshape(-1)
    odd = np.ascontiguousarray(odd, dtype=even.dtype).reshape(-1)
    if odd.size not in (even.size, even.size - 1):
        raise ValueError(f"{even.size} even and {odd.size} odd elements do not interleave")
    out = output(out, even.size + odd.size, even.dtype, (even, odd))
    fn("deinterleave_join")(ptr(out), ptr(even), ptr(odd), out.size, out.dtype.itemsize)
    return out


# ---- PFOR, fused planar zigzag PFOR, byte lanes -------------------------------


def pfor_encode(values) -> bytes:
    values = elements(values).reshape(-1)
    size = values.dtype.itemsize
    out = np.empty(fn("pfor_bound")(values.size, size), np.uint8)
    length = c_uint64()
    if fn("pfor_encode")(ptr(out), out.size, byref(length), ptr(values), values.size, size):
        raise _refused("pfor_encode")
    return out[: length.value].tobytes()


def pfor_decode(stream: bytes, count: int, dtype, out=None) -> np.ndarray:
    src = np.frombuffer(stream, np.uint8)
    out = output(out, count, element_dtype(dtype), (src,))
    if fn("pfor_decode")(ptr(out), count, out.dtype.itemsize, ptr(src), src.size):
        raise VardaError("pfor_decode: the stream is malformed or does not hold "
                         f"{count} values of {out.dtype.itemsize} bytes")
    return out


def planar_zigzag_pfor_encode(a, planes: int = 1, width: int | None = None) -> bytes:
    """A stack of `planes` tiles (a 3-D array is one plane per first index)."""
    a = elements(a)
    if width is None and a.ndim >= 2:
        width = a.shape[-1]
    width, count = tile_shape(a, width)
    size = a.dtype.itemsize
    out = np.empty(fn("planar_zigzag_pfor_bound")(count, size), np.uint8)
    length = c_uint64()
    if fn("planar_zigzag_pfor_encode")(ptr(out), out.size, byref(length), ptr(a), width, count,
                                       size, planes):
        raise _refused("planar_zigzag_pfor_encode")
    return out[: length.value].tobytes()


def planar_zigzag_pfor_decode(stream: bytes, shape, dtype, planes: int = 1,
                              out=None) -> np.ndarray:
    width, count = tile_shape(shaped(shape, dtype), None)
    src = np.frombuffer(stream, np.uint8)
    out = output(out, shape, dtype, (src,))
    if fn("planar_zigzag_pfor_decode")(ptr(out), width, count, out.dtype.itemsize, planes, ptr(src),
                                       src.size):
        raise VardaError("planar_zigzag_pfor_decode: the stream is malformed or does not fit "
                         f"{count} samples in rows of {width}")
    return out


def planar_zigzag_pivco_lanes(a, planes: int = 1, out=None) -> np.ndarray:
    """Byte lanes of the planar zigzag codes, as a flat uint8 array."""
    a = elements(a)
    width, count = tile_shape(a, None)
    out = output(out, a.nbytes, np.uint8, (a,))
    if fn("planar_zigzag_pivco_lanes")(ptr(out), ptr(a), width, count, a.dtype.itemsize, planes):
        raise _refused("planar_zigzag_pivco_lanes")
    return out


def planar_zigzag_pivco_unlanes(lanes, shape, dtype, planes: int = 1, out=None) -> np.ndarray:
    like = shaped(shape, dtype)
    lanes = np.ascontiguousarray(lanes, np.uint8).reshape(-1)
    if lanes.size != like.size * like.itemsize:
        raise ValueError(f"{lanes.size} lane bytes do not make {like.size * like.itemsize} "
                         "bytes of samples")
    width, count = tile_shape(like, None)
    out = output(out, shape, dtype, (lanes,))
    if fn("planar_zigzag_pivco_unlanes")(ptr(out), ptr(lanes), width, count, out.dtype.itemsize,
                                         planes):
        raise _refused("planar_zigzag_pivco_unlanes")
    return out


# ---- weighted predictor coefficient blocks ------------------------------------


def coeffs_pack(vectors) -> bytes:
    arrays = [np.ascontiguousarray(v, np.int32).reshape(-1) for v in vectors]
    n = len(arrays)
    lengths = (c_uint32 * max(n, 1))(*[v.size for v in arrays])
    pointers = (c_void_p * max(n, 1))(*[ptr(v) for v in arrays])
    size = fn("varda_coeffs_size")(lengths, n)
    out = np.empty(max(size, 1), np.uint8)
    msg = Message()
    written = fn("varda_coeffs_pack")(ptr(out), out.size, pointers, lengths, n, *msg.args)
    if written == 0:
        raise VardaError(msg.text or "varda_coeffs_pack refused the vectors")
    return out[:written].tobytes()


def coeffs_parse(block: bytes) -> list[np.ndarray]:
    src = np.frombuffer(block, np.uint8)
    n_vectors, n_coeffs = c_uint64(), c_uint64()
    parse = fn("varda_coeffs_parse")
    result = parse(ptr(src), src.size, None, 0, None, 0, byref(n_vectors), byref(n_coeffs))
    if result not in (0, -2):
        raise VardaError("not a coefficient block" if result == 1 else "malformed coefficient block")
    coeffs = np.empty(max(n_coeffs.value, 1), np.int32)
    lengths = np.empty(max(n_vectors.value, 1), np.uint32)
    result = parse(ptr(src), src.size, coeffs.ctypes.data_as(ctypes.POINTER(ctypes.c_int32)),
                   coeffs.size, lengths.ctypes.data_as(ctypes.POINTER(c_uint32)), lengths.size,
                   byref(n_vectors), byref(n_coeffs))
    if result != 0:
        raise VardaError("malformed coefficient block")
    ends = np.cumsum(lengths[: n_vectors.value])
    return [coeffs[e - n: e].copy() for e, n in zip(ends, lengths[: n_vectors.value])]


# ---- nodata -------------------------------------------------------------------


def sentinel_bits(value, dtype) -> int:
    """The bit pattern of a nodata value in `dtype`, as the kernels compare it."""
    dt = np.dtype(dtype).newbyteorder("=")
    if dt.kind in "iu":
        info = np.iinfo(dt)
        if not (float(value).is_integer() and info.min <= value <= info.max):
            raise ValueError(f"nodata value {value} does not fit {dt}")
        value = int(value)
    with np.errstate(over="ignore"):
        as_array = np.array([value], dtype=dt)
    if dt.kind == "f" and math.isfinite(value) and not np.isfinite(as_array[0]):
        # A finite sentinel must not silently become an infinity.
        raise ValueError(f"nodata value {value} does not fit {dt}")
    return int(as_array.view(unsigned_of(dt))[0])


def find_nan(a) -> int | None:
    """The bit pattern of the first NaN, or None when there is none."""
    a = samples(a)
    bits = c_uint64()
    found = fn("nodata_find_nan")(byref(bits), ptr(a), a.size, a.dtype.itemsize)
    return bits.value if found else None


def mark_nan(a, out=None) -> np.ndarray:
    a = samples(a)
    if a.dtype.kind != "f":
        raise TypeError("NaN marks nodata only in float arrays")
    mask = output(out, a.shape, np.uint8, (a,))
    fn("nodata_mark_nan")(ptr(mask), ptr(a), a.size, a.dtype.itemsize)
    return mask


def mark_value(a, sentinel, out=None) -> np.ndarray:
    """Mask of `a`: 0 where a sample equals the sentinel bit for bit."""
    a = samples(a)
    mask = output(out, a.shape, np.uint8, (a,))
    fn("nodata_mark_value")(ptr(mask), ptr(a), a.size, a.dtype.itemsize,
                            sentinel_bits(sentinel, a.dtype))
    return mask


def is_nan_nodata(nodata) -> bool:
    """Whether a nodata setting means NaN ("nan" or a float NaN)."""
    if isinstance(nodata, str):
        return nodata.lower() == "nan"
    return isinstance(nodata, float) and math.isnan(nodata)


def nodata_mask(a, nodata) -> np.ndarray | None:
    """True where a sample of `a` is nodata, as the codec sees it: any NaN
    for a NaN nodata, else the sentinel's bit pattern (so -0.0 is not the
    nodata 0.0). None when nothing can be nodata: no nodata, or NaN in an
    integer array. A sentinel that `a`'s type cannot hold marks nothing."""
    if nodata is None:
        return None
    a = samples(a)
    if is_nan_nodata(nodata):
        return mark_nan(a) == 0 if a.dtype.kind == "f" else None
    try:
        return mark_value(a, nodata) == 0
    except (ValueError, OverflowError):
        return np.zeros(a.shape, bool)


def _mask_for(a, mask) -> np.ndarray:
    mask = np.ascontiguousarray(mask, np.uint8)
    if mask.size != a.size:
        raise ValueError(f"a mask of {mask.size} bytes does not cover {a.size} samples")
    return mask


def fill(a, mask, width: int | None = None, out=None) -> np.ndarray:
    """Runs in place too (out is a)."""
    a = elements(a)
    width, count = tile_shape(a, width)
    mask = _mask_for(a, mask)
    out = output(out, a.shape, a.dtype, (a, mask), in_place=True)
    fn("nodata_fill")(ptr(out), ptr(a), ptr(mask), width, count, a.dtype.itemsize)
    return out


def restore(a, mask, sentinel, out=None) -> np.ndarray:
    """Runs in place too (out is a)."""
    a = samples(a)
    mask = _mask_for(a, mask)
    out = output(out, a.shape, a.dtype, (a, mask), in_place=True)
    fn("nodata_restore")(ptr(out), ptr(a), ptr(mask), a.size, a.dtype.itemsize,
                         sentinel_bits(sentinel, a.dtype))
    return out


def guard_values(dtype, sentinel) -> NodataGuard:
    guard = NodataGuard()
    result = fn("nodata_guard_values")(byref(guard), dtype_code(dtype), sentinel_bits(sentinel, dtype))
    if result == 2:
        raise ValueError("a NaN sentinel needs no guard")
    return guard


def mark_guarded(a, sentinel, radius: float, out=None) -> np.ndarray:
    """Guarded mask: 0 for nodata, 1, 2 or 3 for valid samples that lossy
    coding could turn into the sentinel. A NaN sentinel gives a plain mask."""
    a = samples(a)
    mask = output(out, a.shape, np.uint8, (a,))
    fn("nodata_mark_guarded")(ptr(mask), ptr(a), a.size, dtype_code(a.dtype),
                              sentinel_bits(sentinel, a.dtype), radius)
    return mask


def restore_guarded(a, mask, sentinel, out=None) -> np.ndarray:
    a = samples(a)
    mask = _mask_for(a, mask)
    out = output(out, a.shape, a.dtype, (a, mask))
    guard = guard_values(a.dtype, sentinel)
    if fn("nodata_restore_guarded")(ptr(out), ptr(a), ptr(mask), a.size, a.dtype.itemsize,
                                    sentinel_bits(sentinel, a.dtype), byref(guard)):
        raise VardaError("a guarded mask code could not be honoured")
    return out


# ---- joins ----------------------------------------------------------------------


def _stream(a, count, dtype, what):
    a = np.ascontiguousarray(a, dtype)
    if a.size < count:
        raise ValueError(f"{what} holds {a.size} elements, {count} are needed")
    return a


def binoffset_join(widths, low, dtype, out=None) -> np.ndarray:
    widths = np.ascontiguousarray(widths, np.uint8).reshape(-1)
    low = _stream(low, widths.size, element_dtype(dtype), "low")
    out = output(out, widths.size, low.dtype, (widths, low))
    if fn("binoffset_join")(ptr(out), ptr(widths), ptr(low), out.size, out.dtype.itemsize):
        raise VardaError("binoffset_join: inconsistent classes and offsets")
    return out


def _table(bases, widths, dtype):
    bases = np.ascontiguousarray(bases, np.uint64).reshape(-1)
    widths = np.ascontiguousarray(widths, np.uint8).reshape(-1)
    if bases.size != widths.size or not 1 <= bases.size <= 256:
        raise ValueError("a bin table holds 1 to 256 bases with one width each")
    return bases, widths


def binoffset_join_table(bins, offsets, bases, widths, dtype, out=None) -> np.ndarray:
    bins = np.ascontiguousarray(bins, np.uint8).reshape(-1)
    offsets = _stream(offsets, bins.size, element_dtype(dtype), "offsets")
    bases, widths = _table(bases, widths, dtype)
    out = output(out, bins.size, offsets.dtype, (bins, offsets, bases, widths))
    if fn("binoffset_join_table")(ptr(out), ptr(bins), ptr(offsets), out.size, out.dtype.itemsize,
                                  ptr(bases), ptr(widths), bases.size):
        raise VardaError("binoffset_join_table: inconsistent bins and offsets")
    return out


def binoffset_unpack_join(bins, packed: bytes, bases, widths, dtype, out=None) -> np.ndarray:
    bins = np.ascontiguousarray(bins, np.uint8).reshape(-1)
    packed = np.frombuffer(packed, np.uint8)
    bases, widths = _table(bases, widths, dtype)
    out = output(out, bins.size, element_dtype(dtype), (bins, packed, bases, widths))
    if fn("binoffset_unpack_join")(ptr(out), ptr(bins), ptr(packed), packed.size, out.size,
                                   out.dtype.itemsize, ptr(bases), ptr(widths), bases.size):
        raise VardaError("binoffset_unpack_join: inconsistent bins and packed offsets")
    return out


def intmult_join(quot, rem, mult: int, out=None) -> np.ndarray:
    quot = elements(quot).reshape(-1)
    rem = _stream(rem, quot.size, quot.dtype, "rem")
    out = output(out, quot.size, quot.dtype, (quot, rem))
    if fn("intmult_join")(ptr(out), ptr(quot), ptr(rem), out.size, out.dtype.itemsize, mult):
        raise VardaError(f"intmult_join: multiplier {mult} or the remainders are inconsistent")
    return out


def _float_dtype(dtype) -> np.dtype:
    dt = np.dtype(dtype)
    if dt.kind != "f" or dt.itemsize not in (4, 8):
        raise TypeError("the float joins make float32 or float64")
    return dt.newbyteorder("=")


def floatquant_join(high, low, shift: int, dtype, out=None) -> np.ndarray:
    dt = _float_dtype(dtype)
    high = _stream(high, 0, unsigned_of(dt), "high").reshape(-1)
    low = _stream(low, high.size, unsigned_of(dt), "low")
    out = output(out, high.size, dt, (high, low))
    if fn("floatquant_join")(ptr(out), ptr(high), ptr(low), out.size, out.dtype.itemsize, shift):
        raise VardaError("floatquant_join: shift or streams are inconsistent")
    return out


def floatmult_join(index, residual, step: float, dtype, out=None) -> np.ndarray:
    dt = _float_dtype(dtype)
    index = _stream(index, 0, unsigned_of(dt), "index").reshape(-1)
    residual = _stream(residual, index.size, unsigned_of(dt), "residual")
    out = output(out, index.size, dt, (index, residual))
    if fn("floatmult_join")(ptr(out), ptr(index), ptr(residual), out.size, out.dtype.itemsize,
                            c_double(step)):
        raise VardaError("floatmult_join: step or streams are inconsistent")
    return out


def unshuffle(planes, dtype, count: int | None = None, out=None) -> np.ndarray:
    """Byte planes (plane j holds byte j of every element) back to elements."""
    planes = np.ascontiguousarray(planes, np.uint8).reshape(-1)
    size = element_dtype(dtype).itemsize
    count = planes.size // size if count is None else count
    if count * size != planes.size:
        raise ValueError(f"{planes.size} bytes are not {count} elements of {size} bytes")
    out = output(out, count, dtype, (planes,))
    fn("blocked_transpose_zstd_unshuffle")(ptr(out), ptr(planes), count, size)
    return out


# ---- shot-noise fit -------------------------------------------------------------


def fit_noise(raster) -> dict:
    """The noise curve variance = A + B x measured on a 2-D raster."""
    raster = samples(raster)
    width, count = tile_shape(raster, None)
    curve, msg = _lib.SqrtCurve(), Message()
    if fn("quant_sqrt_fit")(ptr(raster), dtype_code(raster.dtype), width, count // width,
                            byref(curve), *msg.args):
        raise VardaError(msg.text)
    return {name: getattr(curve, name) for name, _ in curve._fields_}
