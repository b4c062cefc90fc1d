"""The tile codec: chains, products, blobs, and the numcodecs codec "varda".

A chunk is a tile whose rows are its last axis. The blob a chunk becomes
describes itself (dtype, shape, chain, grid, nodata sentinel, checksum), so
decoding needs no configuration at all; the configuration carries what an
encoder needs to code more chunks of the same product the same way, and
what the array expects (dtype, chunk shape), so that a foreign blob is
refused before it is decoded.

A chunk laid out in Fortran order is coded as the C-order tile its memory
is (its transpose), so that the bytes decoded are the bytes encoded in
either order. A blob records the byte order of the samples it was given
and decodes to it, so big-endian chunks (">f4") come back big-endian; a
codec whose `dtype` names the other order, as earlier versions needed,
codes little-endian blobs and swaps them back itself.

A store writer may record in each blob the chunk's grid position and the
array it belongs to (docs/format.md), which a reader that knows the key
checks (tile_misplaced).
"""

from __future__ import annotations

import ctypes
import json
import math
from ctypes import byref, c_size_t, c_uint64
from dataclasses import dataclass

import numpy as np
from numcodecs.abc import Codec
from numcodecs.compat import ensure_contiguous_ndarray, ensure_ndarray
from numcodecs.registry import register_codec

from ._lib import NO_MEMORY, POSITION_MAX, CodecInfo, CodecProduct, CodecTileMeta, CorruptProduct
from ._lib import CorruptTile, Message
from ._lib import VardaError, code, codec_error, fn
from ._types import DTYPES, code_dtype, dtype_code, is_int, is_number, ptr, samples
from .kernels import sentinel_bits
from .lossy import Recipe, Resolved, family_name, stream_dtype


# The codec's own default level (a test holds the two together).
DEFAULT_LEVEL = 3
# No saved product is longer, terminator included.
PRODUCT_TEXT_MAX = 1024


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
    code = dtype_code(stream_dtype(dtype) if lossy else dtype)
    accepts = fn("varda_codec_chain_accepts")
    return [c for i, c in enumerate(chains(), 1) if accepts(i, code)]


def _nodata_kind(nodata, dtype) -> tuple[int, int]:
    if nodata is None:
        return code("NODATA_NONE"), 0
    if isinstance(nodata, str):
        if nodata.lower() != "nan":
            raise VardaError(f"nodata {nodata!r} is neither a number nor nan")
        nodata = math.nan
    if isinstance(nodata, float) and math.isnan(nodata):
        if np.dtype(dtype).kind != "f":
            raise VardaError("NaN marks nodata only in float rasters")
        return code("NODATA_NAN"), 0
    try:
        return code("NODATA_VALUE"), sentinel_bits(nodata, dtype)
    except (ValueError, OverflowError):
        raise VardaError(f"nodata value {nodata} does not fit {np.dtype(dtype)}") from None


def _number_text(text: str):
    """A nodata value given as text ("-9999", "0.5"): the number it says;
    any other text as it is, for the checks to name."""
    for parse in (int, float):
        try:
            value = parse(text)
        except ValueError:
            continue
        return text if isinstance(value, float) and math.isnan(value) else value
    return text


def nodata_rounded(nodata, dtype) -> str | None:
    """Why a float `nodata` is not a value of `dtype`: it rounds to one
    whose shortest text is another number (1e-46 to float32 0, so that
    every 0.0 would be nodata); None when it is held, or is not a float."""
    dt = np.dtype(dtype)
    if dt.kind != "f" or not is_number(nodata) or not math.isfinite(float(nodata)):
        return None
    with np.errstate(over="ignore", under="ignore"):
        held = dt.type(nodata)
    if float(held) == nodata or float(str(held)) == float(nodata):
        return None
    return (f"nodata value {nodata!r} is not a {dt.name}: it would be stored as "
            f"{str(held)}; give a value the type holds")


def nodata_problem(nodata, dtype=None) -> str | None:
    """Why `nodata` cannot mark samples of `dtype` (of any, when None)."""
    if not (nodata is None or is_number(nodata) or
            (isinstance(nodata, str) and nodata.lower() == "nan")):
        return f"nodata {nodata!r} is neither a number nor nan"
    if dtype is not None:
        try:
            _nodata_kind(nodata, dtype)
        except VardaError as e:
            return str(e)
    return None


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
    nonfinite: bool = False     # a lossy tile that keeps non-finite samples
    big_endian: bool = False    # given (and given back) big-endian samples
    position: tuple | None = None  # the chunk index its writer recorded
    array: int | None = None    # the array its writer recorded

    @property
    def order_dtype(self) -> np.dtype:
        """The dtype the tile decodes to, in its byte order."""
        return self.dtype.newbyteorder(">") if self.big_endian else self.dtype


def _unreadable(rc: int, text: str) -> VardaError:
    # A blob of a format this build does not read is as foreign as a
    # damaged one; only a failed allocation says nothing about the blob.
    return codec_error(rc, text) if rc == NO_MEMORY else CorruptTile(text)


def read_info(blob) -> TileInfo:
    """A blob's header, checksum verified, streams not decoded."""
    src = np.frombuffer(blob, np.uint8) if not isinstance(blob, np.ndarray) else blob
    return _describe(ensure_contiguous_ndarray(src).view(np.uint8), "varda_codec_read_info")


def _describe(src: np.ndarray, entry: str) -> TileInfo:
    info, msg = CodecInfo(), Message()
    rc = fn(entry)(ptr(src), src.size, byref(info), *msg.args)
    if rc:
        raise _unreadable(rc, msg.text)
    lossy = family_name(info.lossy)
    meta = CodecTileMeta()
    if info.version >= 3:
        # The header was read (and verified, when asked) just now.
        rc = fn("varda_codec_read_tile_meta")(ptr(src), src.size, 0, byref(meta), *msg.args)
        if rc:
            raise _unreadable(rc, msg.text)
    return TileInfo(info.version, code_dtype(info.dtype), info.width, info.height,
                    chain_name(info.chain), lossy, bool(info.nodata), info.raw_bytes,
                    info.blob_bytes, bool(info.nonfinite), bool(meta.big_endian),
                    tuple(meta.position[:meta.position_count]) if meta.position_count else None,
                    int(meta.array) if meta.has_array else None)


def peek_info(blob) -> TileInfo:
    """A blob's header without verifying its checksum (decoding does)."""
    return _describe(_blob(blob), "varda_codec_peek_info")


def tile_misplaced(info: TileInfo, position=None, array: int | None = None) -> str | None:
    """Why a tile whose writer recorded its place is not the chunk at
    `position` of the array named `array`; None when it is, or when its
    writer recorded nothing to compare."""
    if position is not None and info.position is not None and \
            tuple(info.position) != tuple(position):
        return (f"the tile was written as chunk {'.'.join(map(str, info.position))}, not "
                f"{'.'.join(map(str, position))}: it was moved or copied here")
    if array is not None and info.array is not None and info.array != array:
        return (f"the tile was written for another array ({info.array:016x}, this one is "
                f"{array:016x}): it was copied here from another store")
    return None


def _tile_dims(shape, order: str = "C") -> tuple[int, int]:
    """(rows, width) of the tile a chunk of `shape` is coded as. In C order
    rows are the last axis; in F order memory runs along the first axis
    that is longer than 1, and the tile is the transpose."""
    count = math.prod(shape)
    if order == "F":
        long = [n for n in shape if n != 1]
        width = long[0] if long else 1
    else:
        width = shape[-1] if len(shape) else 1
    return (count // width if width else 0), width


def _tile_view(a: np.ndarray) -> tuple[np.ndarray | None, str]:
    """A chunk's memory as a C-contiguous (rows, width) view, and the order
    it is laid in; no view when it is in neither order."""
    if a.flags.c_contiguous:
        order = "C"
    elif a.flags.f_contiguous:
        order = "F"
    else:
        return None, "neither"
    flat = a if order == "C" else a.T
    return flat.reshape(_tile_dims(a.shape, order)), order


def _dims(shape) -> str:
    return " x ".join(map(str, shape))


def tile_mismatch(info: TileInfo, dtype=None, chunks=None, order: str | None = None,
                  lossy: str | None = None) -> str | None:
    """What keeps a blob's tile from being a chunk of an array of `dtype`
    and `chunks` (laid in `order`, or either when None) whose product's
    lossy family is `lossy` ("none" for lossless; any when None); None when
    it fits."""
    if dtype is not None and np.dtype(dtype).newbyteorder("=") != info.dtype:
        return f"the tile holds {info.dtype} samples, the array {np.dtype(dtype).name}"
    if lossy is not None and (info.lossy or "none") != lossy:
        def kind(family):
            return "lossless" if family in (None, "none") else f"lossy ({family})"
        return f"the tile is {kind(info.lossy)}, the array's product {kind(lossy)}"
    if chunks is not None:
        fits = {_tile_dims(tuple(chunks), o) for o in ((order,) if order else ("C", "F"))}
        if (info.height, info.width) not in fits:
            laid = f" in {order} order" if order else ""
            return (f"the tile is {info.height} rows of {info.width} samples, not a chunk of "
                    f"{_dims(chunks)}{laid}")
    return None


def _target(out, info: TileInfo, want: np.dtype) -> tuple[np.ndarray, np.ndarray]:
    """The caller's `out` and a native-order (rows, width) view of it that
    the tile decodes into, once `out` is checked to be exactly the tile."""
    out = ensure_ndarray(out)
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    if out.dtype != want:
        raise CorruptTile(f"the tile holds {info.dtype} samples ({want.str}), out is {out.dtype.str}")
    view, order = _tile_view(out)
    if view is None:
        raise ValueError(f"out ({_dims(out.shape)}) is neither C- nor F-contiguous")
    if view.shape != (info.height, info.width):
        raise CorruptTile(f"the tile is {info.height} rows of {info.width} samples; out, "
                          f"{_dims(out.shape)} in {order} order, takes {view.shape[0]} rows of "
                          f"{view.shape[1]}")
    return out, view.view(info.dtype)


def _blob(buf) -> np.ndarray:
    return ensure_contiguous_ndarray(buf).view(np.uint8)


def decode_tile(blob, out=None, dtype=None, chunks=None, order: str | None = None,
                lossy: str | None = None) -> np.ndarray:
    """The tile of a blob, as a (height, width) array of its dtype, or of
    `dtype` when given (the same type in either byte order). Into `out`:
    an array of that dtype whose memory, in C or F order, is the tile.
    A blob that is not a chunk of `chunks` (see tile_mismatch) is refused
    before anything is allocated."""
    src = _blob(blob)
    # The header sizes the tile without the checksum, which the decode
    # verifies: the blob is hashed once.
    info = _describe(src, "varda_codec_peek_info")
    # The samples come out in the order the blob records.
    given = info.order_dtype
    want = given if dtype is None else np.dtype(dtype)
    wrong = tile_mismatch(info, want, chunks, order, lossy)
    if wrong:
        raise CorruptTile(wrong)
    if out is None:
        target = result = np.empty((info.height, info.width), given)
    else:
        result, target = _target(out, info, want)
        target = target.view(given)
    msg = Message()
    rc = fn("varda_codec_decode")(ptr(src), src.size, ptr(target), target.nbytes, *msg.args)
    if rc:
        raise _unreadable(rc, msg.text)
    if _order(want) != _order(given):
        target.byteswap(inplace=True)
        if out is None:
            result = target.view(want)
    return result


def _order(dt: np.dtype) -> str:
    """"<" or ">" (bytes have no order: "<")."""
    if dt.itemsize == 1:
        return "<"
    return ">" if dt.byteorder == ">" or (dt.byteorder == "=" and not _LITTLE) else "<"


_LITTLE = np.little_endian


def _nodata_value(kind: int, bits: int, dtype):
    """The nodata a product's record names, as the codec takes it."""
    if kind == code("NODATA_NAN"):
        return "nan"
    if kind == code("NODATA_VALUE"):
        dt = np.dtype(dtype).newbyteorder("<")
        return np.frombuffer(int(bits).to_bytes(8, "little")[: dt.itemsize], dt)[0].item()
    return None


def _with_grid(fields: dict, recipe: Recipe, resolved: dict) -> dict:
    """A lossless product's saved fields with a lossy recipe and the grid it
    was resolved to (as Resolved.to_config gives it) added."""
    out = dict(fields, lossy=recipe.name, max_error=recipe.max_error)
    if recipe.has_ab:
        out.update(noise_a=recipe.a, noise_b=recipe.b)
    grid = resolved["grid"]
    out.update(grid_mode=grid["mode"], grid_step=grid["step"], grid_offset=grid["offset"])
    out.update(resolved.get("stats", {}))
    return out


class Product:
    """What every tile of a product shares: dtype, chain, effort, zstd
    level, nodata and, for lossy products, the recipe and its grid. `save`
    gives it as the codec's saved form (a dict of JSON values), `load`
    takes that form back; both are the codec's own, field for field."""

    def __init__(self, dtype, chain: str = "auto", effort: int = 1, level: int = DEFAULT_LEVEL, nodata=None,
                 recipe: Recipe | None = None, resolved: Resolved | None = None):
        self.dtype = np.dtype(dtype).newbyteorder("=")
        rec = CodecProduct()
        fn("varda_codec_product_init")(byref(rec), dtype_code(self.dtype))
        rec.chain = chain_id(chain)
        rec.effort, rec.zstd_level = effort, level
        rec.nodata, rec.nodata_value = _nodata_kind(nodata, self.dtype)
        self.record = rec
        if recipe is not None and recipe.family:
            if resolved is None:
                raise VardaError("a lossy product needs its grid: use varda.prepare on the raster")
            self.record = Product.load(_with_grid(self.save(), recipe, resolved.to_config())).record

    @classmethod
    def load(cls, fields: dict | str) -> "Product":
        """The product a saved form describes (a dict, or its JSON text)."""
        try:
            text = fields if isinstance(fields, str) else json.dumps(fields)
        except (ValueError, RecursionError) as e:
            raise CorruptProduct(f"the product is not the flat JSON object of a saved product "
                                 f"({type(e).__name__})") from None
        raw, rec, msg = text.encode(), CodecProduct(), Message()
        rc = fn("varda_codec_product_load")(byref(rec), raw, len(raw), *msg.args)
        if rc:
            raise codec_error(rc, msg.text, CorruptProduct)
        product = cls.__new__(cls)
        product.dtype, product.record = code_dtype(rec.dtype), rec
        return product

    def save(self) -> dict:
        """The product's saved form, as JSON values."""
        buf, length, msg = ctypes.create_string_buffer(PRODUCT_TEXT_MAX), c_size_t(), Message()
        rc = fn("varda_codec_product_save")(byref(self.record), buf, PRODUCT_TEXT_MAX,
                                            byref(length), *msg.args)
        if rc:
            raise codec_error(rc, msg.text)
        return json.loads(buf.value.decode())

    @property
    def chain(self) -> str:
        return chain_name(self.record.chain)

    @property
    def nodata(self):
        return _nodata_value(self.record.nodata, self.record.nodata_value, self.dtype)

    @property
    def recipe(self) -> Recipe | None:
        return Recipe._from_record(self.record.recipe) if self.record.recipe.family else None

    def bound(self, width: int, height: int) -> int:
        return fn("varda_codec_bound")(byref(self.record), width, height)

    def encode(self, tile, width: int | None = None, *, position=None,
               array: int | None = None) -> bytes:
        """One tile's blob. Big-endian samples stay so: the blob records
        it and decodes to them. `position` (the chunk's index along each
        axis) and `array` (a 64-bit name of the array) are recorded for
        readers to check where the tile belongs."""
        given = np.asarray(tile)
        big = given.dtype.itemsize > 1 and _order(given.dtype) == ">" and _LITTLE
        tile = np.ascontiguousarray(given) if big else samples(given)
        if big:
            dtype_code(tile.dtype)
        if tile.dtype.newbyteorder("=") != self.dtype:
            raise VardaError(f"a {self.dtype} product does not take {tile.dtype} samples")
        if width is None:
            width = tile.shape[-1] if tile.ndim >= 2 else tile.size
        if width < 1 or tile.size % width:
            raise VardaError(f"{tile.size} samples do not make rows of {width}")
        height = tile.size // width
        bound = self.bound(width, height)
        out = np.empty(max(bound, 1), np.uint8)
        meta = CodecTileMeta(big_endian=int(big))
        if position is not None:
            position = [int(i) for i in position]
            if not 0 < len(position) <= POSITION_MAX or not all(0 <= i < 2**32 for i in position):
                raise VardaError(f"position {position} is not 1 to {POSITION_MAX} chunk indices")
            meta.position_count = len(position)
            meta.position[:len(position)] = position
        if array is not None:
            meta.has_array, meta.array = 1, int(array)
        length, msg = c_uint64(), Message()
        rc = fn("varda_codec_encode_tile")(byref(self.record), ptr(tile), width, height,
                                           byref(meta), ptr(out), out.size, byref(length),
                                           *msg.args)
        if rc:
            raise codec_error(rc, msg.text)
        return out[: length.value].tobytes()


class VardaCodec(Codec):
    """numcodecs codec over the tile codec.

    chain: "auto" (per chunk, the smallest of the chains `effort` tries) or
    a chain name; level: zstd level; nodata: a sentinel value, "nan", or
    None. dtype, chunks and order describe the array: decoding refuses a
    blob that is not one of its chunks. A chunk of either byte order is
    given back in that order (the blob records it), so a ">f4" array needs
    no dtype here; a dtype of the other order, as earlier versions needed,
    still reads and writes as it did. width, the chunks' last size, is what
    writers that know no chunk shape (GDAL) record instead; configurations
    written as text (GDAL's) give nodata as numeric text.

    Once the dtype is known the configuration carries the product in the
    codec's saved form under "product" (chain, effort, level, nodata and,
    for a lossy codec, the recipe and the grid resolved on the whole
    product; make one with `varda.prepare`). Configurations that give a
    lossy codec's "recipe" text and "resolved" grid beside the other keys,
    as earlier versions wrote them, still load.
    """

    codec_id = "varda"
    KEYS = ("chain", "effort", "level", "nodata", "recipe", "resolved", "product", "dtype",
            "chunks", "order", "width")
    # What a saved product holds, and a configuration with one does not
    # give beside it.
    PRODUCT_KEYS = ("chain", "effort", "level", "nodata", "recipe", "resolved")

    def __init__(self, chain: str = "auto", effort: int = 1, level: int = DEFAULT_LEVEL, nodata=None,
                 recipe: str | None = None, resolved: dict | None = None, dtype: str | None = None,
                 chunks=None, order: str | None = None, product: dict | None = None,
                 width: int | None = None):
        if isinstance(nodata, np.generic):
            nodata = nodata.item()
        if isinstance(nodata, str):
            nodata = _number_text(nodata)
        if isinstance(nodata, float) and math.isnan(nodata):
            nodata = "nan"
        self.chain, self.effort, self.level, self.nodata = chain, effort, level, nodata
        self.dtype, self.chunks, self.order, self.width = dtype, chunks, order, width
        self._saved: dict | None = None  # the product's saved form, once the dtype fixes it
        self._products: dict = {}
        problems = self._problems(recipe or None, resolved, product)
        if problems:
            raise VardaError("; ".join(problems))
        if self.dtype is not None:
            dt = np.dtype(self.dtype)
            self.dtype = dt.name if dt.isnative else dt.str
        self.chunks = None if chunks is None else [int(n) for n in chunks]

    def _problems(self, recipe, resolved, product) -> list[str]:
        """One message per field that cannot be what it says."""
        out = []
        if not isinstance(self.chain, str) or fn("varda_codec_chain_id")(self.chain.encode()) < 0:
            out.append(f"chain {self.chain!r} is not one of auto, {', '.join(chains())}")
        if not is_int(self.effort) or not 0 <= self.effort <= 2:
            out.append(f"effort {self.effort!r} is not 0, 1 or 2")
        if not is_int(self.level) or not 1 <= self.level <= 22:
            out.append(f"level {self.level!r} is not a zstd level from 1 to 22")
        dtype = None
        if self.dtype is not None:
            try:
                dtype = np.dtype(self.dtype)
                dtype_code(dtype)
            except (TypeError, ValueError):
                out.append(f"dtype {self.dtype!r} is not one of {', '.join(DTYPES)}")
                dtype = None
        wrong = nodata_problem(self.nodata, dtype)
        if wrong:
            out.append(wrong)
        if self.chunks is not None and not (isinstance(self.chunks, (list, tuple)) and self.chunks
                                            and all(is_int(n) and n > 0 for n in self.chunks)):
            out.append(f"chunks {self.chunks!r} is not a list of positive sizes")
        if self.order not in (None, "C", "F"):
            out.append(f"order {self.order!r} is not C or F")
        if self.width is not None and not (is_int(self.width) and self.width > 0):
            out.append(f"width {self.width!r} is not a positive size")
        if product is not None:
            if recipe is not None or resolved is not None:
                out.append("the recipe and its grid are held in the product, not beside it")
            else:
                out += self._product_problems(product, dtype)
        elif recipe is not None:
            out += self._recipe_problems(recipe, resolved, dtype, not out)
        elif dtype is not None and not out:
            self._take(Product(dtype, self.chain, self.effort, self.level, self.nodata))
        return out

    def _take(self, product: Product) -> None:
        """Makes `product` this codec's: its saved form, and its fields."""
        self._saved = product.save()
        self.chain, self.nodata = product.chain, product.nodata
        self.effort, self.level = product.record.effort, product.record.zstd_level

    def _product_problems(self, fields, dtype) -> list[str]:
        if not isinstance(fields, (dict, str)):
            return [f"product {fields!r} is not a saved product"]
        try:
            product = Product.load(fields)
        except VardaError as e:
            return [f"product: {e}"]
        if dtype is not None and product.dtype != dtype.newbyteorder("="):
            return [f"the product codes {product.dtype} samples, the array is {dtype.str}"]
        if self.dtype is None:
            self.dtype = product.dtype
        self._take(product)
        return []

    def _recipe_problems(self, recipe, resolved, dtype, build: bool) -> list[str]:
        """A configuration of the earlier form: the recipe's text and its grid."""
        if not isinstance(recipe, str):
            return [f"recipe {recipe!r} is not a recipe text"]
        try:
            parsed = Recipe.parse(recipe)
        except VardaError as e:
            return [f"recipe: {e}"]
        if resolved is None or dtype is None:
            return ["a lossy varda codec needs the resolved grid and the dtype it was resolved "
                    "for: use varda.prepare on the raster"]
        try:
            _with_grid({}, parsed, resolved)
            family = resolved["family"]
        except (KeyError, TypeError, AttributeError) as e:
            return [f"resolved {resolved!r} is not a grid ({e!r})"]
        if family != parsed.family:
            return [f"resolved is a grid of family {family}, the recipe's is {parsed.family}"]
        if not build:
            return []
        lossless = Product(dtype, self.chain, self.effort, self.level, self.nodata)
        try:
            self._take(Product.load(_with_grid(lossless.save(), parsed, resolved)))
        except VardaError as e:
            return [f"resolved {resolved!r} is not a grid ({e})"]
        return []

    @classmethod
    def from_config(cls, config):
        config = dict(config)
        config.pop("id", None)
        unknown = [f"no key {k!r} (the codec takes {', '.join(cls.KEYS)})"
                   for k in config if k not in cls.KEYS]
        beside = [k for k in cls.PRODUCT_KEYS if k in config] if "product" in config else []
        if beside:
            unknown.append(f"{', '.join(beside)}: held in the product, not beside it")
        else:
            try:
                codec = cls(**{k: v for k, v in config.items() if k in cls.KEYS})
            except VardaError as e:
                unknown.append(str(e))
        if unknown:
            raise VardaError("the varda codec's configuration: " + "; ".join(unknown))
        return codec

    def for_array(self, dtype, chunks, order: str = "C") -> "VardaCodec":
        """This codec for an array of `dtype` and `chunks` laid in `order`:
        it then refuses any blob that is not one of that array's chunks."""
        config = self.get_config()
        config.update(dtype=np.dtype(dtype), chunks=list(chunks), order=order)
        config.pop("id")
        return VardaCodec(**config)

    @property
    def family(self) -> str | None:
        """The product's lossy family as saved ("none" when lossless); None
        while the codec knows no product."""
        return self._saved["lossy"] if self._saved is not None else None

    @property
    def recipe(self) -> str | None:
        """The lossy recipe's canonical text, noise curve included; None
        for a lossless codec."""
        if self._saved is None or self._saved["lossy"] == "none":
            return None
        return self.product(self.dtype).recipe.text

    def get_config(self) -> dict:
        config = {"id": self.codec_id}
        if self._saved is not None:
            config["product"] = dict(self._saved)
        else:
            config.update(chain=self.chain, effort=self.effort, level=self.level,
                          nodata=self.nodata)
        for key in ("dtype", "chunks", "order", "width"):
            if getattr(self, key) is not None:
                config[key] = getattr(self, key)
        return config

    def __getstate__(self):
        return self.get_config()

    def __setstate__(self, state):
        state = dict(state)
        state.pop("id", None)
        self.__init__(**state)

    def product(self, dtype) -> Product:
        dtype = np.dtype(dtype).newbyteorder("=")
        product = self._products.get(dtype)
        if product is None:
            if self._saved is not None:
                if dtype != np.dtype(self.dtype).newbyteorder("="):
                    what = "the grid was resolved for" if self.recipe else "the codec codes"
                    raise VardaError(f"{what} {self.dtype}, not {dtype}")
                product = Product.load(self._saved)
            else:
                product = Product(dtype, self.chain, self.effort, self.level, self.nodata)
            self._products[dtype] = product
        return product

    def encode(self, buf):
        return self.encode_at(buf)

    def encode_at(self, buf, position=None, array: int | None = None):
        """A chunk's blob, with its grid `position` and the `array` it
        belongs to recorded (see Product.encode) when given."""
        chunk = ensure_ndarray(buf)
        dt = chunk.dtype
        if self.dtype is not None and dt != np.dtype(self.dtype):
            what = "the grid was resolved for" if self.recipe else "the codec codes"
            raise VardaError(f"{what} {self.dtype} chunks, not {dt.str}")
        if self.dtype is not None and not dt.isnative:
            # Configured with the other order, as earlier versions needed:
            # little-endian blobs, which it swaps back itself (and which
            # GDAL's plugin swaps as the configuration says).
            chunk = chunk.astype(dt.newbyteorder("="))
        if self.chunks is not None and list(chunk.shape) != self.chunks:
            raise VardaError(f"the chunk is {_dims(chunk.shape)}, the codec's chunks "
                             f"{_dims(self.chunks)}")
        if self.width is not None and (chunk.shape[-1] if chunk.ndim else 1) != self.width:
            raise VardaError(f"the chunk is {_dims(chunk.shape)}, the codec's chunks "
                             f"{self.width} wide")
        tile, _ = _tile_view(chunk)
        if tile is None:
            tile, _ = _tile_view(np.ascontiguousarray(chunk))
        return self.product(dt).encode(tile, position=position, array=array)

    def decode(self, buf, out=None):
        if self.width is not None and self.chunks is None:
            width = _describe(_blob(buf), "varda_codec_peek_info").width
            if width != self.width:
                raise CorruptTile(f"the tile is {width} samples wide, the array's chunks "
                                  f"{self.width}")
        # A codec that knows its product takes only tiles of its family: a
        # lossless tile in a lossy store (or the reverse) is another array's.
        return decode_tile(buf, out, self.dtype, self.chunks, self.order, self.family)

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
    rc = fn("varda_codec_prepare")(byref(product.record), recipe.encode(), ptr(raster), width,
                                   raster.size, *msg.args)
    if rc:
        raise codec_error(rc, msg.text)
    # The array's own dtype, byte order included: its chunks decode to it.
    return VardaCodec(product=product.save(), dtype=getattr(array, "dtype", raster.dtype))


register_codec(VardaCodec)
