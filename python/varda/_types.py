"""numpy dtypes and the library's dtype codes, and the array checks the
wrappers share."""

from __future__ import annotations

import numpy as np

from ._lib import code

DTYPES = ("uint8", "uint16", "uint32", "uint64", "int8", "int16", "int32", "int64",
          "float16", "float32", "float64")
_TYPES = frozenset(np.dtype(name) for name in DTYPES)


def _code_name(dt: np.dtype) -> str:
    # The library names its types by kind and width: DTYPE_U8, DTYPE_F32.
    return f"DTYPE_{dt.kind.upper()}{8 * dt.itemsize}"


def dtype_code(dtype) -> int:
    """The library's code for a numpy dtype."""
    dt = np.dtype(dtype)
    key = dt.newbyteorder("=") if dt.byteorder not in ("=", "|") else dt
    if key not in _TYPES:
        raise TypeError(f"dtype {dt} is not one of {', '.join(DTYPES)}")
    return code(_code_name(key))


def code_dtype(value: int) -> np.dtype:
    """The numpy dtype of a library dtype code."""
    for dt in _TYPES:
        if code(_code_name(dt)) == value:
            return dt
    raise ValueError(f"dtype {value} is not a type")


def unsigned_of(dtype) -> np.dtype:
    return np.dtype(f"u{np.dtype(dtype).itemsize}")


def is_int(v) -> bool:
    return isinstance(v, (int, np.integer)) and not isinstance(v, bool)


def is_number(v) -> bool:
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, bool)


def native(a):
    """`a` in the machine's byte order (the kernels read and write nothing
    else; blobs are little-endian). A numpy or dask array; values kept."""
    dt = a.dtype
    return a if dt.isnative else a.astype(dt.newbyteorder("="))


def samples(a, what: str = "array") -> np.ndarray:
    """A C-contiguous, native-order numpy array of a library sample type."""
    a = native(np.asarray(a))
    dtype_code(a.dtype)
    return np.ascontiguousarray(a)


def elements(a) -> np.ndarray:
    """A C-contiguous, native-order array of 1-, 2-, 4- or 8-byte elements
    of any kind."""
    a = np.asarray(a)
    element_dtype(a.dtype)
    return np.ascontiguousarray(native(a))


def element_dtype(dtype) -> np.dtype:
    dt = np.dtype(dtype)
    if dt.itemsize not in (1, 2, 4, 8) or dt.hasobject:
        raise TypeError(f"elements of {dt.itemsize} bytes are not 1, 2, 4 or 8")
    return dt


def shaped(shape, dtype) -> np.ndarray:
    """A zero-size stand-in of `shape` and `dtype`, for the shape checks."""
    return np.broadcast_to(np.zeros((), element_dtype(dtype)), shape)


def output(out, shape, dtype, inputs=(), in_place: bool = False) -> np.ndarray:
    """The array a kernel writes `shape` elements of `dtype` to: a new one,
    or the caller's `out` once it is checked to be exactly that: as many
    elements, C-contiguous, writable, native order, apart from every input
    (or the very memory of the first, for a kernel that may run in place).
    The kernels trust the sizes they are given, so nothing less will do."""
    dtype = np.dtype(dtype).newbyteorder("=")
    if out is None:
        return np.empty(shape, dtype)
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out is a {type(out).__name__}, not a numpy array")
    count = int(np.prod(shape))
    problems = []
    if out.dtype != dtype:
        problems.append(f"is {out.dtype}, not {dtype}")
    if out.size != count:
        problems.append(f"holds {out.size} elements, not {count}")
    if not out.flags.c_contiguous:
        problems.append("is not C-contiguous")
    if not out.flags.writeable:
        problems.append("is read-only")
    exact = in_place and inputs and out.ctypes.data == inputs[0].ctypes.data and \
        out.nbytes == inputs[0].nbytes
    if any(np.may_share_memory(out, a) for a in inputs[1 if exact else 0:]):
        problems.append("overlaps an input")
    if problems:
        raise ValueError("out " + ", ".join(problems))
    return out


def tile_shape(a: np.ndarray, width: int | None) -> tuple[int, int]:
    """(width, count) of a tile: rows are the last axis of an n-D array, or
    `width` samples of a flat one."""
    count = a.size
    if width is None:
        width = a.shape[-1] if a.ndim >= 2 else count
    if width < 1 or count < width or count % width:
        raise ValueError(f"{count} samples do not make rows of {width}")
    return int(width), int(count)


def ptr(a) -> int:
    return a.ctypes.data
