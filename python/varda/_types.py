"""numpy dtypes and the library's dtype codes, and the array checks the
wrappers share."""

from __future__ import annotations

import numpy as np

DTYPES = ("uint8", "uint16", "uint32", "uint64", "int8", "int16", "int32", "int64",
          "float16", "float32", "float64")
_CODES = {np.dtype(name): code for code, name in enumerate(DTYPES)}


def dtype_code(dtype) -> int:
    """The library's code (0 .. 10) for a numpy dtype."""
    dt = np.dtype(dtype)
    key = dt.newbyteorder("=") if dt.byteorder not in ("=", "|") else dt
    try:
        return _CODES[key]
    except KeyError:
        raise TypeError(f"dtype {dt} is not one of {', '.join(DTYPES)}") from None


def code_dtype(code: int) -> np.dtype:
    if not 0 <= code < len(DTYPES):
        raise ValueError(f"dtype {code} is not a type")
    return np.dtype(DTYPES[code])


def unsigned_of(dtype) -> np.dtype:
    return np.dtype(f"u{np.dtype(dtype).itemsize}")


def samples(a, what: str = "array") -> np.ndarray:
    """A C-contiguous, native-order numpy array of a library sample type."""
    a = np.asarray(a)
    if a.dtype.byteorder == ">":
        a = a.astype(a.dtype.newbyteorder("="))
    dtype_code(a.dtype)
    return np.ascontiguousarray(a)


def elements(a) -> np.ndarray:
    """A C-contiguous array of 1-, 2-, 4- or 8-byte elements of any kind."""
    a = np.ascontiguousarray(a)
    if a.dtype.itemsize not in (1, 2, 4, 8) or a.dtype.hasobject:
        raise TypeError(f"elements of {a.dtype.itemsize} bytes are not 1, 2, 4 or 8")
    return a


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
