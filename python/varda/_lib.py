"""ctypes bindings over libvarda_kernels and libvarda_codec.

The libraries are looked for, in this order, in the folders of the
VARDA_LIB_DIR environment variable (separated like PATH), in the package's
own ``_libs`` folder (where ``make python`` copies them) and, when the
package runs from a development checkout (its folder sits in the
repository, beside the top CMakeLists.txt), in that checkout's build
folders. Functions are bound on first use, so a library built without one
family still serves the others.

The libraries are loaded with RTLD_LOCAL: their plainly named entry points
(planar_encode, ...) stay out of the process's global namespace, where
they could take the place of another library's functions of the same name.
"""

from __future__ import annotations

import ctypes
import os
import pathlib
import threading
from ctypes import POINTER, byref, c_char_p, c_double, c_int, c_int32, c_longlong, c_size_t
from ctypes import c_uint, c_uint8, c_uint32, c_uint64, c_void_p

# While the version is 0.x, a minor version is its own ABI, and the SONAME
# carries it.
KERNELS = "libvarda_kernels.so.0.1"
CODEC = "libvarda_codec.so.0.1"

_HERE = pathlib.Path(__file__).resolve().parent


class LibraryNotFound(ImportError):
    """A shared library is not where the package looks for it."""


class VardaError(ValueError):
    """The library refused the arguments; the message is the library's own."""


class CorruptTile(VardaError):
    """A tile blob could not be decoded: corrupt, truncated or foreign."""


class Refused(VardaError):
    """The codec does not take an argument, product or size it was given."""


class CorruptProduct(VardaError):
    """A product's saved text is damaged or not one at all."""


class OutOfMemory(VardaError, MemoryError):
    """The codec could not allocate what the call needs."""


class NotApplicable(VardaError):
    """The chain does not apply to these samples; another chain will code them."""


# The kinds of failure the codec's calls return, by code.
REFUSED, CORRUPT, NO_MEMORY, NOT_APPLICABLE = 1, 2, 3, 4


def codec_error(rc: int, text: str, corrupt: type = CorruptTile) -> VardaError:
    """The exception for a failed codec call's kind; `corrupt` is the class
    for damaged input (a tile, by default)."""
    kind = {REFUSED: Refused, CORRUPT: corrupt, NO_MEMORY: OutOfMemory,
            NOT_APPLICABLE: NotApplicable}.get(rc, VardaError)
    return kind(text)


def search_dirs() -> list[pathlib.Path]:
    dirs = [pathlib.Path(p) for p in os.environ.get("VARDA_LIB_DIR", "").split(os.pathsep) if p]
    dirs.append(_HERE / "_libs")
    repo = _development_checkout()
    if repo is not None:
        for build in sorted(repo.glob("build*")):
            dirs += [build, build / "codec"]
    return dirs


def _development_checkout() -> pathlib.Path | None:
    """The repository the package runs from, or None for an installed
    package: the repository holds python/varda beside its CMakeLists.txt
    and the public headers."""
    repo = _HERE.parent.parent
    if _HERE.parent.name == "python" and (repo / "CMakeLists.txt").is_file() and \
            (repo / "include" / "varda_kernels.h").is_file():
        return repo
    return None


def _find(name: str) -> pathlib.Path:
    dirs = search_dirs()
    for folder in dirs:
        candidate = folder / name
        if candidate.is_file():
            return candidate
    looked = "\n  ".join(str(d) for d in dirs) or "(nowhere)"
    raise LibraryNotFound(
        f"{name} not found; looked in:\n  {looked}\n"
        "Build the libraries with `make` (or `make python`), or set VARDA_LIB_DIR "
        "to the folder that holds them."
    )


_lock = threading.Lock()
_loaded: dict[str, ctypes.CDLL] = {}


def _load(name: str) -> ctypes.CDLL:
    with _lock:
        if name not in _loaded:
            if name == CODEC:
                # The codec's own reference to the kernels resolves to the copy
                # already in the process (the loader matches it by SONAME), so
                # both always come from one place.
                _load_unlocked(KERNELS)
            _load_unlocked(name)
        return _loaded[name]


def _load_unlocked(name: str) -> None:
    if name not in _loaded:
        _loaded[name] = ctypes.CDLL(str(_find(name)), mode=ctypes.RTLD_LOCAL)


def library_paths() -> dict[str, str]:
    """Where the two libraries were (or would be) loaded from."""
    out = {}
    for name in (KERNELS, CODEC):
        try:
            out[name] = str(_find(name))
        except LibraryNotFound:
            out[name] = "missing"
    return out


# ---- records ---------------------------------------------------------------


class QuantSpec(ctypes.Structure):
    _fields_ = [("max_error", c_double), ("a", c_double), ("b", c_double), ("has_ab", c_uint8)]


class LossyRecipe(ctypes.Structure):
    _fields_ = [("family", c_int32), ("spec", QuantSpec)]


class QuantGrid(ctypes.Structure):
    _fields_ = [("mode", c_uint8), ("step", c_double), ("offset", c_double)]


class LinearStats(ctypes.Structure):
    _fields_ = [("max_abs", c_double), ("negatives", c_int32)]


class LogStats(ctypes.Structure):
    _fields_ = [("min_abs", c_double), ("max_abs", c_double), ("negatives", c_int32),
                ("tiny", c_int32)]


class SqrtStats(ctypes.Structure):
    _fields_ = [("min", c_double), ("max", c_double), ("negatives", c_int32),
                ("nonfinite", c_int32)]


class _Stats(ctypes.Union):
    _fields_ = [("linear", LinearStats), ("log", LogStats), ("sqrt", SqrtStats)]


class LossyResolved(ctypes.Structure):
    _fields_ = [("family", c_int32), ("grid", QuantGrid), ("stats", _Stats)]


class SqrtCurve(ctypes.Structure):
    _fields_ = [("a", c_double), ("b", c_double), ("held", c_int32), ("blocks", c_int32),
                ("bins", c_int32), ("range", c_double), ("collinearity", c_double),
                ("residual", c_double)]


class NodataGuard(ctypes.Structure):
    _fields_ = [("up", c_uint64), ("down", c_uint64), ("alias", c_uint64)]


class CodecProduct(ctypes.Structure):
    _fields_ = [("dtype", c_int32), ("chain", c_int32), ("effort", c_int32),
                ("zstd_level", c_int32), ("nodata", c_int32), ("nodata_value", c_uint64),
                ("recipe", LossyRecipe), ("resolved", LossyResolved), ("prepared", c_int32)]


class CodecInfo(ctypes.Structure):
    # nonfinite sits where older libraries leave padding (they leave it 0).
    _fields_ = [("version", c_uint32), ("dtype", c_int32), ("width", c_uint64),
                ("height", c_uint64), ("chain", c_int32), ("lossy", c_int32),
                ("nodata", c_int32), ("nonfinite", c_int32), ("raw_bytes", c_uint64),
                ("blob_bytes", c_uint64)]


# ---- signatures ------------------------------------------------------------

P = c_void_p
U64 = c_uint64
ERR = (c_char_p, c_size_t)
_tile = (P, P, U64, U64, U64)  # dst, src, width, count, elem_size

_KERNEL_SIGS: dict[str, tuple] = {
    "varda_codes": (c_int, (c_int, POINTER(c_char_p), POINTER(c_longlong))),
    "varda_simd_built": (c_uint, ()),
    "varda_simd_cpu": (c_uint, ()),
    "varda_simd_name": (c_char_p, (c_int,)),
    "varda_simd_resolve": (c_int, ()),
    "varda_simd_active": (c_int, ()),
    "pfor_bound": (U64, (U64, U64)),
    "pfor_encode": (c_int, (P, U64, POINTER(U64), P, U64, U64)),
    "pfor_decode": (c_int, (P, U64, U64, P, U64)),
    "planar_zigzag_decode_stream": (c_int, (P, P, U64, U64, U64, U64, U64)),
    "planar_zigzag_pfor_bound": (U64, (U64, U64)),
    "planar_zigzag_pfor_encode": (c_int, (P, U64, POINTER(U64), P, U64, U64, U64, c_uint32)),
    "planar_zigzag_pfor_decode": (c_int, (P, U64, U64, U64, c_uint32, P, U64)),
    "planar_zigzag_pivco_lanes": (c_int, (P, P, U64, U64, U64, c_uint32)),
    "planar_zigzag_pivco_unlanes": (c_int, (P, P, U64, U64, U64, c_uint32)),
    "deinterleave_split": (None, (P, P, P, c_size_t, c_size_t)),
    "deinterleave_join": (None, (P, P, P, c_size_t, c_size_t)),
    "varda_coeffs_size": (U64, (POINTER(c_uint32), U64)),
    "varda_coeffs_pack": (U64, (P, c_size_t, POINTER(c_void_p), POINTER(c_uint32), c_size_t) + ERR),
    "varda_coeffs_parse": (c_int, (P, c_size_t, POINTER(c_int32), c_size_t, POINTER(c_uint32),
                                   c_size_t, POINTER(U64), POINTER(U64))),
    "wp_static_encode": (c_int, _tile + (P, c_uint8)),
    "wp_static_decode": (c_int, _tile + (P, c_uint8)),
    "wp_static_train": (c_int, (P, POINTER(c_uint8), P, U64, U64, U64)),
    "nodata_find_nan": (c_int, (POINTER(U64), P, U64, U64)),
    "nodata_mark_nan": (None, (P, P, U64, U64)),
    "nodata_mark_value": (None, (P, P, U64, U64, U64)),
    "nodata_fill": (None, (P, P, P, U64, U64, U64)),
    "nodata_restore": (None, (P, P, P, U64, U64, U64)),
    "nodata_guard_values": (c_int, (POINTER(NodataGuard), c_int, U64)),
    "nodata_mark_guarded": (c_int, (P, P, U64, c_int, U64, c_double)),
    "nodata_restore_guarded": (c_int, (P, P, P, U64, U64, U64, POINTER(NodataGuard))),
    "quant_sqrt_fit": (c_int, (P, c_int, c_size_t, c_size_t, POINTER(SqrtCurve)) + ERR),
    "quant_linear_verify": (c_int, (P, P, POINTER(QuantSpec), c_uint32, c_size_t, POINTER(c_double))),
    "quant_log_verify": (c_int, (P, P, POINTER(QuantSpec), c_uint32, c_size_t, POINTER(c_double),
                                 POINTER(c_size_t))),
    "quant_sqrt_verify": (c_int, (P, P, POINTER(QuantSpec), POINTER(SqrtCurve), c_uint32, c_size_t,
                                  POINTER(c_double))),
    "varda_lossy_parse": (c_int, (c_char_p, POINTER(LossyRecipe)) + ERR),
    "varda_lossy_fit": (c_int, (POINTER(LossyRecipe), P, c_int, c_size_t, c_size_t) + ERR),
    "varda_lossy_resolve": (c_int, (POINTER(LossyRecipe), P, c_uint32, c_size_t,
                                    POINTER(LossyResolved)) + ERR),
    "varda_lossy_check_domain": (c_int, (POINTER(LossyResolved), P, c_int, c_size_t, c_int, U64)
                                 + ERR),
    "varda_lossy_guard_radius": (c_double, (POINTER(LossyRecipe), c_double)),
    "binoffset_join": (c_int, (P, P, P, U64, U64)),
    "binoffset_join_table": (c_int, (P, P, P, U64, U64, P, P, c_uint32)),
    "binoffset_unpack_join": (c_int, (P, P, P, U64, U64, U64, P, P, c_uint32)),
    "intmult_join": (c_int, (P, P, P, U64, U64, U64)),
    "floatquant_join": (c_int, (P, P, P, U64, U64, c_uint32)),
    "floatmult_join": (c_int, (P, P, P, U64, U64, c_double)),
    "blocked_transpose_zstd_unshuffle": (None, (P, P, U64, U64)),
}
for _stage in ("planar", "planar_zigzag", "delta_n", "delta_w", "average", "med", "med_zigzag"):
    _KERNEL_SIGS[_stage + "_encode"] = (c_int, _tile)
    _KERNEL_SIGS[_stage + "_decode"] = (c_int, _tile)
for _family in ("linear", "log", "sqrt"):
    # The LOG decoder takes its dtype as a plain int; the width is the same.
    _KERNEL_SIGS[f"quant_{_family}_encode"] = (c_int, (P, P, POINTER(QuantGrid), c_uint32, c_size_t))
    _KERNEL_SIGS[f"quant_{_family}_decode"] = (c_int, (P, P, POINTER(QuantGrid), c_uint32, c_size_t))

POSITION_MAX = 8


class CodecTileMeta(ctypes.Structure):
    _fields_ = [("big_endian", c_int32), ("position_count", c_uint32),
                ("position", c_uint32 * POSITION_MAX), ("has_array", c_int32),
                ("array", c_uint64)]


_CODEC_SIGS: dict[str, tuple] = {
    "varda_codec_chain_count": (c_int, ()),
    "varda_codec_chain_name": (c_char_p, (c_int,)),
    "varda_codec_chain_id": (c_int, (c_char_p,)),
    "varda_codec_chain_accepts": (c_int, (c_int, c_int)),
    "varda_codec_product_init": (None, (POINTER(CodecProduct), c_int)),
    "varda_codec_prepare": (c_int, (POINTER(CodecProduct), c_char_p, P, U64, U64) + ERR),
    "varda_codec_bound": (U64, (POINTER(CodecProduct), U64, U64)),
    "varda_codec_encode": (c_int, (POINTER(CodecProduct), P, U64, U64, P, U64, POINTER(U64)) + ERR),
    "varda_codec_encode_tile": (c_int, (POINTER(CodecProduct), P, U64, U64, POINTER(CodecTileMeta),
                                        P, U64, POINTER(U64)) + ERR),
    "varda_codec_read_tile_meta": (c_int, (P, U64, c_int, POINTER(CodecTileMeta)) + ERR),
    "varda_codec_decode": (c_int, (P, U64, P, U64) + ERR),
    "varda_codec_read_info": (c_int, (P, U64, POINTER(CodecInfo)) + ERR),
    "varda_codec_peek_info": (c_int, (P, U64, POINTER(CodecInfo)) + ERR),
    "varda_codec_product_check": (c_int, (POINTER(CodecProduct),) + ERR),
    "varda_codec_product_save": (c_int, (POINTER(CodecProduct), c_char_p, c_size_t,
                                         POINTER(c_size_t)) + ERR),
    "varda_codec_product_load": (c_int, (POINTER(CodecProduct), c_char_p, c_size_t) + ERR),
    "varda_codec_recipe_text": (c_int, (POINTER(LossyRecipe), c_char_p, c_size_t) + ERR),
}

_bound: dict[str, object] = {}


def fn(name: str):
    """The library function `name`, bound with its signature."""
    f = _bound.get(name)
    if f is not None:
        return f
    if name in _CODEC_SIGS:
        lib, (restype, argtypes) = _load(CODEC), _CODEC_SIGS[name]
    else:
        lib, (restype, argtypes) = _load(KERNELS), _KERNEL_SIGS[name]
    try:
        f = getattr(lib, name)
    except AttributeError:
        raise NotImplementedError(f"the loaded {lib._name} has no {name}") from None
    f.restype = restype
    f.argtypes = argtypes
    _bound[name] = f
    return f


_codes: dict[str, int] = {}


def codes() -> dict[str, int]:
    """The codes the library's layers share, by their C name without the
    VARDA_ prefix: "DTYPE_U8" -> 0, "LOSSY_SQRT" -> 3, "NODATA_NAN" -> 2."""
    entry = fn("varda_codes")  # loads the library, under _lock itself
    with _lock:
        if not _codes:
            name, value = c_char_p(), c_longlong()
            index = 0
            while entry(index, byref(name), byref(value)) == 0:
                _codes[name.value.decode().removeprefix("VARDA_")] = value.value
                index += 1
        return _codes


def code(name: str) -> int:
    """One shared code by name ("LOSSY_LINEAR")."""
    try:
        return codes()[name]
    except KeyError:
        raise KeyError(f"the library has no code {name}") from None


def code_names(prefix: str) -> dict[int, str]:
    """The codes of one group by value: code_names("LOSSY_") gives
    {0: "NONE", 1: "LINEAR", ...}. Counts are not codes and are left out."""
    return {v: k[len(prefix):] for k, v in codes().items()
            if k.startswith(prefix) and not k.endswith("_COUNT")}


def simd_path_var() -> c_int:
    return c_int.in_dll(_load(KERNELS), "varda_simd_path")


class Message:
    """A message buffer for the calls that explain a refusal."""

    SIZE = 512

    def __init__(self):
        self.buf = ctypes.create_string_buffer(self.SIZE)

    @property
    def args(self):
        return self.buf, self.SIZE

    @property
    def text(self) -> str:
        return self.buf.value.decode("utf-8", "replace")
