"""The tile codec: chains, products, blobs, and the numcodecs codec "varda".

A chunk is a tile whose rows are its last axis. The blob a chunk becomes
describes itself (dtype, shape, chain, grid, nodata sentinel, checksum), so
decoding needs no configuration at all; the configuration carries what an
encoder needs to code more chunks of the same product the same way.
"""

from __future__ import annotations

import math
from ctypes import byref, c_uint64
from dataclasses import dataclass

import numpy as np
from numcodecs.abc import Codec
from numcodecs.compat import ensure_contiguous_ndarray, ensure_ndarray
from numcodecs.registry import register_codec

from ._lib import CodecInfo, CodecProduct, CorruptTile, Message, VardaError, fn
from ._types import code_dtype, dtype_code, ptr, samples
from .kernels import sentinel_bits
from .lossy import Recipe, Resolved

AUTO = 255
NODATA_NONE, NODATA_VALUE, NODATA_NAN = 0, 1, 2

# The tile library's own default: on byte planes it packs as well as
# higher levels and encodes several times faster.
DEFAULT_LEVEL = 3


def chains() -> list[str]:
    """Every chain's name in listing order, "auto" excluded."""
    name = fn("varda_codec_chain_name")
    return [name(i).decode() for i in range(1, fn("varda_codec_chain_count")() + 1)]


def chain_id(name: str) -> int:
    found = fn("varda_codec_chain_id")(name.encode())
    if found < 0:
        raise VardaError(f"chain {name!r} is not one of auto, {', '.join(chains())}")
    return found


def chain_name(chain: int) -> str:
    name = fn("varda_codec_chain_name")(chain)
    return name.decode() if name else f"chain {chain}"


def chains_for(dtype, lossy: bool = False) -> list[str]:
    """The chains that code samples of `dtype` (lossy: its quantised stream)."""
    code = dtype_code(dtype)
    if lossy and code >= 8:
        code = {8: 5, 9: 6, 10: 7}[code]
    accepts = fn("varda_codec_chain_accepts")
    return [c for i, c in enumerate(chains(), 1) if accepts(i, code)]


def _nodata_kind(nodata, dtype) -> tuple[int, int]:
    if nodata is None:
        return NODATA_NONE, 0
    if isinstance(nodata, str):
        if nodata.lower() != "nan":
            raise VardaError(f"nodata {nodata!r} is neither a number nor nan")
        nodata = math.nan
    if isinstance(nodata, float) and math.isnan(nodata):
        if np.dtype(dtype).kind != "f":
            raise VardaError("NaN marks nodata only in float rasters")
        return NODATA_NAN, 0
    try:
        return NODATA_VALUE, sentinel_bits(nodata, dtype)
    except (ValueError, OverflowError):
        raise VardaError(f"nodata value {nodata} does not fit {np.dtype(dtype)}") from None


@dataclass
class TileInfo:
    version: int
    dtype: np.dtype
    width: int
    height: int
    chain: str
    lossy: str | None
    nodata: bool
    raw_bytes: int
    blob_bytes: int


def read_info(blob) -> TileInfo:
    """A blob's header, checksum verified, streams not decoded."""
    src = np.frombuffer(blob, np.uint8) if not isinstance(blob, np.ndarray) else blob
    src = ensure_contiguous_ndarray(src).view(np.uint8)
    info, msg = CodecInfo(), Message()
    if fn("varda_codec_read_info")(ptr(src), src.size, byref(info), *msg.args):
        raise CorruptTile(msg.text)
    lossy = {1: "LINEAR", 2: "LOG", 3: "SQRT"}.get(info.lossy)
    return TileInfo(info.version, code_dtype(info.dtype), info.width, info.height,
                    chain_name(info.chain), lossy, bool(info.nodata), info.raw_bytes,
                    info.blob_bytes)


def decode_tile(blob, out=None) -> np.ndarray:
    """The tile of a blob, as a (height, width) array of its dtype."""
    src = ensure_contiguous_ndarray(blob).view(np.uint8)
    info = read_info(src)
    if out is None:
        out = np.empty((info.height, info.width), info.dtype)
    else:
        out = ensure_ndarray(out)
        if not out.flags.c_contiguous or out.nbytes != info.raw_bytes:
            raise ValueError(f"out holds {out.nbytes} bytes, the tile {info.raw_bytes}")
    msg = Message()
    if fn("varda_codec_decode")(ptr(src), src.size, ptr(out), out.nbytes, *msg.args):
        raise CorruptTile(msg.text)
    return out


class Product:
    """What every tile of a product shares: dtype, chain, effort, zstd
    level, nodata and, for lossy products, the recipe and its grid."""

    def __init__(self, dtype, chain: str = "auto", effort: int = 1, level: int = DEFAULT_LEVEL, nodata=None,
                 recipe: Recipe | None = None, resolved: Resolved | None = None):
        self.dtype = np.dtype(dtype)
        rec = CodecProduct()
        fn("varda_codec_product_init")(byref(rec), dtype_code(self.dtype))
        rec.chain = chain_id(chain)
        rec.effort, rec.zstd_level = effort, level
        rec.nodata, rec.nodata_value = _nodata_kind(nodata, self.dtype)
        if recipe is not None and recipe.family:
            if resolved is None:
                raise VardaError("a lossy product needs its grid: use varda.prepare on the raster")
            rec.recipe = recipe.record()
            rec.resolved = resolved.record
        self.record = rec

    def bound(self, width: int, height: int) -> int:
        return fn("varda_codec_bound")(byref(self.record), width, height)

    def encode(self, tile, width: int | None = None) -> bytes:
        tile = samples(tile)
        if tile.dtype != self.dtype:
            raise VardaError(f"a {self.dtype} product does not take {tile.dtype} samples")
        if width is None:
            width = tile.shape[-1] if tile.ndim >= 2 else tile.size
        if width < 1 or tile.size % width:
            raise VardaError(f"{tile.size} samples do not make rows of {width}")
        height = tile.size // width
        bound = self.bound(width, height)
        out = np.empty(max(bound, 1), np.uint8)
        length, msg = c_uint64(), Message()
        if fn("varda_codec_encode")(byref(self.record), ptr(tile), width, height, ptr(out), out.size,
                                    byref(length), *msg.args):
            raise VardaError(msg.text)
        return out[: length.value].tobytes()


class VardaCodec(Codec):
    """numcodecs codec over the tile codec.

    chain: "auto" (per chunk, the smallest of the chains `effort` tries) or
    a chain name; level: zstd level; nodata: a sentinel value, "nan", or
    None. A lossy codec also carries the recipe (canonical text, noise curve
    included) and the grid resolved on the whole product; make one with
    `varda.prepare`.
    """

    codec_id = "varda"

    def __init__(self, chain: str = "auto", effort: int = 1, level: int = DEFAULT_LEVEL, nodata=None,
                 recipe: str | None = None, resolved: dict | None = None, dtype: str | None = None):
        self.chain, self.effort, self.level = chain, int(effort), int(level)
        if isinstance(nodata, float) and math.isnan(nodata):
            nodata = "nan"
        self.nodata = nodata
        self.recipe = recipe or None
        self.resolved = resolved
        self.dtype = None if dtype is None else np.dtype(dtype).name
        if self.recipe and (resolved is None or dtype is None):
            raise VardaError("a lossy varda codec needs the resolved grid and the dtype it was "
                             "resolved for: use varda.prepare on the raster")
        if chain != "auto":
            chain_id(chain)
        self._products: dict = {}

    def get_config(self) -> dict:
        config = {"id": self.codec_id, "chain": self.chain, "effort": self.effort,
                  "level": self.level, "nodata": self.nodata}
        if self.recipe:
            config.update(recipe=self.recipe, resolved=self.resolved, dtype=self.dtype)
        return config

    def __getstate__(self):
        return self.get_config()

    def __setstate__(self, state):
        state = dict(state)
        state.pop("id", None)
        self.__init__(**state)

    def product(self, dtype) -> Product:
        dtype = np.dtype(dtype)
        product = self._products.get(dtype)
        if product is None:
            recipe = resolved = None
            if self.recipe:
                if dtype != np.dtype(self.dtype):
                    raise VardaError(f"the grid was resolved for {self.dtype}, not {dtype}")
                recipe = Recipe.parse(self.recipe)
                resolved = Resolved.from_config(recipe, self.resolved, dtype)
            product = Product(dtype, self.chain, self.effort, self.level, self.nodata, recipe,
                              resolved)
            self._products[dtype] = product
        return product

    def encode(self, buf):
        tile = ensure_ndarray(buf)
        return self.product(tile.dtype).encode(tile)

    def decode(self, buf, out=None):
        return decode_tile(buf, out)

    def __repr__(self):
        params = ", ".join(f"{k}={v!r}" for k, v in self.get_config().items() if k != "id")
        return f"VardaCodec({params})"


def prepare(array, recipe: str | None = None, nodata=None, chain: str = "auto", effort: int = 1,
            level: int = DEFAULT_LEVEL) -> VardaCodec:
    """Resolves a product on the whole raster and returns the codec for it.
    A lossless product needs no raster pass; a lossy one sets nodata aside,
    fits the noise curve of a SQRT recipe without one, and cuts the grid."""
    if not recipe:
        return VardaCodec(chain=chain, effort=effort, level=level, nodata=nodata)
    raster = samples(array)
    width = raster.shape[-1] if raster.ndim >= 2 else raster.size
    product = Product(raster.dtype, chain, effort, level, nodata)
    msg = Message()
    if fn("varda_codec_prepare")(byref(product.record), recipe.encode(), ptr(raster), width,
                                 raster.size, *msg.args):
        raise VardaError(msg.text)
    rec = product.record
    parsed = Recipe._from_record(rec.recipe)
    resolved = Resolved(parsed, rec.resolved, raster.dtype)
    return VardaCodec(chain=chain, effort=effort, level=level, nodata=_config_nodata(nodata),
                      recipe=parsed.text, resolved=resolved.to_config(), dtype=raster.dtype.name)


def _config_nodata(nodata):
    if isinstance(nodata, float) and math.isnan(nodata):
        return "nan"
    if isinstance(nodata, np.generic):
        return nodata.item()
    return nodata


register_codec(VardaCodec)
