"""Zarr stores coded with the varda codec, one chunk per tile.

A store is a Zarr (v2) group holding the raster as the variable "raster":
(y, x) or (band, y, x), chunks of one band by `tile` x `tile` samples (or
the raster's own rows and columns where it is smaller), the varda codec as
compressor. Beside it, the x and y coordinates of the cell
centres and a "spatial_ref" grid-mapping variable (CRS as WKT, the GDAL
geotransform), so that xarray, rioxarray and GDAL's Zarr driver see a
georeferenced raster. The raster's attributes keep what the file carried
(see raster.Meta). Stores of the first layout, one array at the root, are
read as before and can still be written (layout="array").

A path ending in ".zip" is a zip file, anything else a directory; a URL
("memory://", "s3://", "http(s)://" to read) or any Zarr store (a
MutableMapping: zarr's stores, an fsspec mapper) is taken as it is (see
_stores). A local store is written under a temporary name and renamed into
place; any other store cannot be, so its root attributes say
`"complete": false` from the first key written until the last tile is in
(as a directory's do while it is written), and a write that fails says so
there ("failed") and removes what it wrote.

A store written by varda holds every tile, and each tile records its grid
position and the store's array (the root mark's "array"), so that a lost,
moved or foreign tile is refused by name.
"""

from __future__ import annotations

import contextlib
import errno
import io
import json
import math
import os
import pathlib
import secrets
from concurrent.futures import ThreadPoolExecutor
from typing import Callable

import numpy as np
import zarr
from zarr.util import json_dumps

from . import _output
from ._lib import CorruptTile, VardaError
from ._types import dtype_code, is_number, native
from ._stores import Chunks, MisplacedTile, Store, StoreError, is_local, open_store, read_json
from .codec import (DEFAULT_LEVEL, VardaCodec, decode_tile, nodata_problem, nodata_rounded,
                    prepare, read_info, tile_misplaced, tile_mismatch)
from .kernels import nodata_mask
from .raster import Meta

FORMAT = 1
VARIABLE = "raster"
GRID_MAPPING = "spatial_ref"
LAYOUTS = ("group", "array")


__all__ = ["StoreError", "compress", "open", "open_array", "info", "decompress", "verify_store"]


class UnfinishedStore(StoreError):
    """A store whose writing did not finish. `reason` is the message
    without the advice for Python callers."""

    def __init__(self, reason: str, advice: str):
        super().__init__(f"{reason}; {advice}")
        self.reason = reason


def _open_store(path, mode: str) -> Store:
    return open_store(path, mode)


def _is_dask(a) -> bool:
    return type(a).__module__.startswith("dask.")


def _chunk_grid(shape, chunks):
    """Each chunk's index and its selection, in row-major order."""
    for idx in _indices([math.ceil(n / c) for n, c in zip(shape, chunks)]):
        yield idx, tuple(slice(i * c, min((i + 1) * c, n)) for i, c, n in zip(idx, chunks, shape))


def _indices(counts):
    # Lazily: itertools.product would first hold every range of a store
    # whose metadata claims a huge shape.
    if not counts:
        yield ()
        return
    for i in range(counts[0]):
        for rest in _indices(counts[1:]):
            yield (i,) + rest


def describe_chunk(idx, sel) -> str:
    parts = [f"chunk {'.'.join(map(str, idx))}"]
    where = []
    if len(sel) == 3:
        where.append(f"band {sel[0].start}")
    where.append(f"rows {sel[-2].start}..{sel[-2].stop - 1}")
    where.append(f"columns {sel[-1].start}..{sel[-1].stop - 1}")
    return f"{parts[0]} ({', '.join(where)})"


def _fill_value(source, nodata, lossy: bool):
    """The array's fill value, which a missing tile of a partial store reads
    as: the nodata value, or else a value inside the raster's own domain,
    so that a lossy grid cut on the raster takes it."""
    if nodata is not None:
        return nodata
    if not lossy:
        return 0
    finite = source[np.isfinite(source)] if source.dtype.kind == "f" else source
    return finite.min().item() if finite.size else 0


def compress(source, out, *, chain: str = "auto", recipe: str | None = None, nodata=None,
             tile: int = 512, threads: int | None = None, effort: int = 1, level: int = DEFAULT_LEVEL,
             meta: Meta | None = None, progress: Callable[[int], None] | None = None,
             layout: str = "group", places: bool = True):
    """Writes `source` (numpy or dask, 2-D or bands x rows x columns) to a
    varda-coded Zarr store at `out` and returns the codec it used.

    A numpy source is coded by `threads` threads; a dask source by its own
    scheduler (a distributed cluster included), chunk-aligned so that every
    tile is written by exactly one task. A lossy recipe is resolved on the
    whole source first, which a dask source computes for it.

    `out` is a local path, a URL or a Zarr store (see the module's text). A
    local store is written under a temporary name and appears at `out` only
    when complete; any other is marked complete last. FileExistsError if
    `out` exists (holds anything), or appeared meanwhile. `layout` is
    "group" (the raster as a named variable with its coordinates) or
    "array" (the raster alone at the root). `places` records each tile's
    grid position and the store's array in its blob (format version 3,
    which earlier builds refuse by name); False writes the tiles they read.
    """
    if layout not in LAYOUTS:
        raise VardaError(f"layout {layout!r} is not one of {', '.join(LAYOUTS)}")
    if tile < 1:
        raise VardaError(f"tile {tile} is not a positive size")
    if source.ndim not in (2, 3):
        raise VardaError(f"a raster is 2-D or bands x rows x columns, not {source.ndim}-D")
    meta = meta or Meta(nodata=nodata)
    if nodata is None:
        nodata = meta.nodata
    # Stored in the machine's order, whatever order the source came in.
    source = native(source)
    rounded = nodata_rounded(nodata, source.dtype)
    if rounded:
        raise VardaError(rounded)
    dask_source = _is_dask(source)
    resolved_on = np.asarray(source.compute() if dask_source else source) if recipe else None
    codec = prepare(resolved_on, recipe=recipe, nodata=nodata, chain=chain, effort=effort,
                    level=level) if recipe else VardaCodec(chain=chain, effort=effort, level=level,
                                                           nodata=nodata)
    chunks = chunk_shape(source.shape, tile)
    codec = codec.for_array(source.dtype, chunks)
    # Refuse a bad chain, nodata value or dtype before anything is written.
    codec.product(source.dtype)
    fill = _fill_value(resolved_on if recipe else None, nodata, bool(recipe))
    grouped = layout == "group"
    band_dim, band_coords = _band_coordinates(meta, source.shape)
    dims = ([band_dim] if source.ndim == 3 else []) + ["y", "x"]
    attrs = {**meta.to_attrs(), "_ARRAY_DIMENSIONS": dims}
    crs = _wkt(meta.crs)
    shown = [GRID_MAPPING] if grouped and crs else []
    shown += [name for name in band_coords if name != band_dim] if grouped else []
    if grouped and crs:
        attrs.update(grid_mapping=GRID_MAPPING, _CRS={"wkt": crs})
    if shown:
        attrs["coordinates"] = " ".join(shown)
    array = secrets.randbits(64) if places else None

    def mark(complete: bool, failed: str | None = None) -> dict:
        where = {"layout": layout, "variable": VARIABLE} if grouped else {}
        named = {"array": f"{array:016x}"} if array is not None else {}
        why = {"failed": failed} if failed else {}
        # The order is recorded: on square chunks a tile reads either way.
        return {"varda": {"format": FORMAT, "tile": tile, "chain": chain,
                          "recipe": codec.recipe or None, "order": "C", **where, **named,
                          "complete": complete, **why}}

    def root_attrs(complete: bool, failed: str | None = None) -> dict:
        return mark(complete, failed) if grouped else {**attrs, **mark(complete, failed)}

    def write(store, zipped: bool, shared: bool) -> None:
        if grouped:
            zarr.group(store=store)
        if not zipped:
            # A folder reads as a store while it is written: from before
            # the array exists until the last tile is in, it says that it
            # is not complete. A zip reads only once closed.
            store[".zattrs"] = json_dumps(root_attrs(complete=False))
        z = zarr.create(shape=source.shape, chunks=chunks, dtype=source.dtype,
                        compressor=codec, fill_value=fill, store=store, order="C",
                        path=VARIABLE if grouped else None, write_empty_chunks=True)
        if grouped:
            z.attrs.put(attrs)
            _write_coordinates(store, source.shape, meta.transform, crs, band_dim, band_coords)
        _write_tiles(source, z, chunks, threads, progress, zipped or not shared, array)
        final = json_dumps(root_attrs(complete=True))
        if grouped:
            # What xarray reads first: every variable's metadata at once,
            # the mark as it is about to be.
            _consolidate(store, {".zattrs": final})
        # The mark last: until it is in, the store says it is unfinished.
        store[".zattrs"] = final

    if not is_local(out):
        store = open_store(out, "w")
        if store.holds_anything():
            raise FileExistsError(f"{store.name} already holds a store; remove it or choose "
                                  "another")
        try:
            write(store, zipped=False, shared=_shared(store))
        except BaseException as e:
            _abandon(store, json_dumps(root_attrs(False, str(e) or type(e).__name__)))
            raise
        return codec

    out = os.fspath(out)
    zipped = out.endswith(".zip")
    parent = os.path.dirname(os.path.abspath(out))
    if not zipped and not os.path.lexists(parent):
        # A folder store's parent folders are made, as zarr would.
        os.makedirs(parent, exist_ok=True)
    with _output.creating(out, folder=not zipped) as temp:
        store = zarr.ZipStore(temp, mode="w") if zipped else zarr.DirectoryStore(temp)
        try:
            write(store, zipped, shared=True)
        except BaseException:
            with contextlib.suppress(Exception):
                store.close()
            raise
        store.close()
    return codec


def _consolidate(store, replacing: dict) -> None:
    """zarr.consolidate_metadata, with the keys in `replacing` taken as
    they will be rather than as they are."""
    names = (".zarray", ".zgroup", ".zattrs")
    found = {k: store[k] for k in store.keys() if k.rsplit("/", 1)[-1] in names}
    found.update(replacing)
    copies = {k: json.loads(bytes(v).decode("utf-8")) for k, v in sorted(found.items())}
    store[".zmetadata"] = json_dumps({"zarr_consolidated_format": 1, "metadata": copies})


def _shared(store: Store) -> bool:
    """Whether other processes (a dask cluster's workers) write to the
    same store: not a store in this process's memory."""
    fs = getattr(store.inner, "fs", None)
    if fs is not None:
        protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
        return protocol != "memory"
    return isinstance(store.inner, zarr.DirectoryStore)


def _abandon(store: Store, failed_mark) -> None:
    """After a failed write into a store that cannot be renamed into place:
    the mark says that the writing failed, and everything else written is
    removed, the mark last; whatever cannot be removed stays marked."""
    try:
        store[".zattrs"] = failed_mark
        for key in [k for k in list(store.keys()) if k != ".zattrs"]:
            del store[key]
        del store[".zattrs"]
    except Exception:  # noqa: BLE001 - the mark, where it was written, says why
        pass


def chunk_shape(shape, tile: int) -> tuple:
    """One band by `tile` x `tile` samples, or the raster's own rows and
    columns where it is smaller than a tile."""
    return (1,) * (len(shape) - 2) + tuple(min(tile, n) or 1 for n in shape[-2:])


def _write_chunk(z, idx, block, array: int | None = None) -> None:
    """Codes one chunk. An edge chunk is padded by repeating its last row
    and column: the predictors see a flat run instead of a step to the fill
    value, so the padding costs little (zstd's matches take it for almost
    nothing; the context chain pays a few per cent of the chunk), and a
    lossy grid never meets a value outside the raster."""
    block = np.asarray(block)
    short = [(0, c - n) for c, n in zip(z.chunks, block.shape)]
    if any(after for _, after in short):
        block = np.pad(block, short, mode="edge")
    chunk = np.ascontiguousarray(block, z.dtype)
    idx = tuple(idx)
    z.store[z._chunk_key(idx)] = z.compressor.encode_at(
        chunk, idx if array is not None else None, array)


def _store_block(block, z, array=None, block_info=None):
    _write_chunk(z, block_info[0]["chunk-location"], block, array)
    return np.ones((1,) * block.ndim, np.int8)


def _wkt(crs: str | None) -> str | None:
    """The CRS as WKT, whatever form it was given in ("EPSG:4326" too)."""
    if not crs:
        return None
    try:
        from rasterio.crs import CRS

        return CRS.from_user_input(crs).to_wkt()
    except Exception:  # noqa: BLE001 - any text rasterio cannot read is kept as it is
        return crs


def _band_coordinates(meta: Meta, shape) -> tuple[str, dict]:
    """The band dimension's name and its coordinates, {name: (values,
    attributes, dimensions)}: the band numbers; or, for a container whose
    bands are the steps of other dimensions (a netCDF variable over depth
    or time, as GDAL reads it), each such dimension's values, named as in
    the file: the band dimension itself takes the name where there is one
    such dimension."""
    if len(shape) != 3:
        return "band", {}
    count = shape[0]
    numbers = {"band": (np.arange(1, count + 1, dtype=np.int64), {}, ["band"])}
    file_tags = (meta.tags or {}).get("", {})
    extra = str(file_tags.get("NETCDF_DIM_EXTRA", "")).strip("{} ")
    found = {}
    for name in [n.strip() for n in extra.split(",") if n.strip()]:
        if name in ("band", "x", "y", VARIABLE, GRID_MAPPING) or len(meta.bands) != count:
            continue
        texts = [((b.get("tags") or {}).get("") or {}).get(f"NETCDF_DIM_{name}")
                 for b in meta.bands]
        try:
            values = [float(t) for t in texts]
        except (TypeError, ValueError):
            continue
        whole = all(v.is_integer() and abs(v) < 2**53 for v in values)
        attrs = {k.split("#", 1)[1]: v for k, v in file_tags.items()
                 if k.startswith(f"{name}#") and k.count("#") == 1}
        found[name] = (np.array(values, np.int64 if whole else np.float64), attrs)
    if len(found) == 1:
        (name, (values, attrs)), = found.items()
        if len(set(values.tolist())) == count:
            return name, {name: (values, attrs, [name])}
    return "band", {**numbers, **{n: (v, a, ["band"]) for n, (v, a) in found.items()}}


def _write_coordinates(store, shape, transform, crs, band_dim="band", band_coords=None) -> None:
    """The x and y cell centres of a north-up transform, the band
    coordinates (see _band_coordinates), and the grid-mapping variable that
    rioxarray and CF readers take the CRS and the geotransform from."""

    def variable(name, values, attrs):
        a = zarr.create(shape=values.shape, chunks=values.shape or None, dtype=values.dtype,
                        compressor=None, fill_value=None, store=store, path=name)
        a[...] = values
        a.attrs.put(attrs)

    for name, (values, attrs, dims) in (band_coords or {}).items():
        variable(name, values, {**attrs, "_ARRAY_DIMENSIONS": dims})
    if transform:
        a, b, c, d, e, f = transform
        if b == 0 and d == 0:
            variable("x", c + a * (np.arange(shape[-1]) + 0.5), {"_ARRAY_DIMENSIONS": ["x"]})
            variable("y", f + e * (np.arange(shape[-2]) + 0.5), {"_ARRAY_DIMENSIONS": ["y"]})
    if crs or transform:
        attrs = {"_ARRAY_DIMENSIONS": []}
        if crs:
            attrs.update(crs_wkt=crs, spatial_ref=crs)
        if transform:
            a, b, c, d, e, f = transform
            attrs["GeoTransform"] = " ".join(repr(float(v)) for v in (c, a, b, f, d, e))
        variable(GRID_MAPPING, np.array(0, dtype=np.int64), attrs)


def _write_tiles(source, z, chunks, threads, progress, here: bool, array: int | None = None):
    """Every tile of `source` into `z`; `here` when only this process can
    write to the store (a zip, a store in memory)."""
    dask_source = _is_dask(source)
    if dask_source and not here:
        # Aligned chunks: each task writes whole tiles, no locks needed.
        source.rechunk(chunks).map_blocks(_store_block, z, array, dtype=np.int8,
                                          chunks=(1,) * source.ndim).compute()
        if progress:
            progress(z.nchunks)
        return

    def write(item):
        idx, sel = item
        block = source[sel]
        _write_chunk(z, idx, block.compute() if dask_source else block, array)
        return 1

    workers = 1 if dask_source else (threads or os.cpu_count() or 1)
    with ThreadPoolExecutor(workers) as pool:
        for done in pool.map(write, _chunk_grid(source.shape, chunks)):
            if progress:
                progress(done)


def _padded(sel, chunks) -> bool:
    return any(s.stop - s.start < c for s, c in zip(sel, chunks))


def _holds_nodata(block, nodata) -> bool:
    mask = nodata_mask(block, nodata)
    return mask is not None and bool(mask.any())


def open_array(path, partial: bool = False, *, consolidated: bool = True) -> zarr.Array:
    """The store's array, read-only. A store whose writing did not finish
    is refused unless `partial`, and so is a complete store that has lost
    a tile (naming it): with `partial` the missing tiles read as the fill
    value. `consolidated` False leaves .zmetadata unchecked (for the tools
    that report what is wrong)."""
    store = _open_store(path, "r")
    name = _variable(store, store.name)
    try:
        z = zarr.open_array(store, mode="r", path=name)
    except (StoreError, CorruptTile):
        raise
    except zarr.errors.ArrayNotFoundError:
        where = f"at '{name}'" if name else "at the store's root"
        raise StoreError(f"{store.name}: not a varda store (no array {where})") from None
    except (ValueError, KeyError, TypeError, RecursionError, zarr.errors.MetadataError) as e:
        # zarr says only "error decoding metadata"; its cause says what,
        # unless Python's own JSON reader gave up before the codec could.
        cause = e.__cause__ or e
        why = _codec_detail(store, name) if isinstance(cause, (ValueError, RecursionError)) \
            else None
        if why is None and isinstance(cause, RecursionError):
            why = "its metadata nests deeper than any array's"
        if why is None:
            why = f"{e}: {e.__cause__}" if e.__cause__ else str(e)
        raise StoreError(f"{store.name}: not a varda store ({why})") from None
    if not isinstance(z.compressor, VardaCodec):
        raise StoreError(f"{store.name}: the array is not coded with the varda codec")
    problems = _codec_problems(z) + _attr_problems(z)
    if name and _root_attrs(store) is None:
        problems.append("the group's attributes cannot be read")
    mark = (_root_attrs(store) or {}).get("varda")
    written = mark.get("order") if isinstance(mark, dict) else None
    if written is not None and written != z.order:
        problems.append(f"the store was written in {written} order, the array says {z.order}")
    if problems:
        raise StoreError(f"{store.name}: " + "; ".join(problems))
    mark = _mark(store)
    if not partial and _unfinished(store):
        failed = mark.get("failed")
        raise UnfinishedStore(f"{store.name}: the store's writing "
                              + (f"failed ({failed})" if isinstance(failed, str) else
                                 "did not finish (its writer stopped or is still running)"),
                              "open it with partial=True to read the tiles it holds")
    if consolidated:
        problems = consolidated_problems(store)
        if problems:
            raise StoreError(f"{store.name}: " + "; ".join(problems))
    if z.compressor.chunks is None:
        # Stores written before the codec carried the array's chunks: give
        # it them, so that every chunk zarr decodes is checked too.
        z._compressor = z.compressor.for_array(z.dtype, z.chunks, z.order)
    # A store varda finished holds every tile: one that is missing is lost.
    strict = mark.get("complete") is True and not partial
    store.check = Chunks(z, strict, _array_name(mark))
    if strict:
        missing, count = missing_tiles(store, z)
        if missing:
            first = store.check.describe(missing[0])
            raise StoreError(f"{store.name}: {first}: the chunk is missing from the store"
                             + (f" ({count} of {z.nchunks} tiles are missing)" if count > 1 else "")
                             + "; a store written by varda holds every tile (open it with "
                             "partial=True to read the others, with fill values for these)")
    return z


def _mark(store) -> dict:
    mark = (_root_attrs(store) or {}).get("varda")
    return mark if isinstance(mark, dict) else {}


def _array_name(mark: dict) -> int | None:
    try:
        return int(mark["array"], 16)
    except (KeyError, TypeError, ValueError):
        return None


def missing_tiles(store: Store, z, most: int = 3) -> tuple[list, int]:
    """The first `most` missing chunks' indices and how many are missing,
    where the store can list its keys ([], 0 where it cannot: a read then
    refuses each missing tile as it comes)."""
    check = store.check or Chunks(z, True, None)
    present = store.chunk_keys(check)
    if present is None:
        return [], 0
    held = sum(1 for k in present if check.index(k) is not None)
    count = z.nchunks - held
    missing = []
    if count > 0:
        for idx, _ in _chunk_grid(z.shape, z.chunks):
            if check.key(idx) not in present:
                missing.append(idx)
                if len(missing) >= min(most, count):
                    break
    return missing, count


def consolidated_problems(store) -> list[str]:
    """Where the consolidated metadata (.zmetadata, what xarray and GDAL
    read) and the files it copies (what varda reads) both exist and
    differ, one message per file, naming the first field that differs."""
    try:
        consolidated = read_json(store, ".zmetadata")
    except (ValueError, UnicodeDecodeError) as e:
        return [f"the consolidated metadata (.zmetadata) cannot be read ({e})"]
    if consolidated is None:
        return []
    copies = consolidated.get("metadata") if isinstance(consolidated, dict) else None
    if not isinstance(copies, dict):
        return ["the consolidated metadata (.zmetadata) holds no \"metadata\" object"]
    out = []
    for key in sorted(copies):
        if key.rsplit("/", 1)[-1] not in (".zarray", ".zattrs", ".zgroup"):
            continue
        try:
            own = read_json(store, key)
        except (ValueError, UnicodeDecodeError) as e:
            out.append(f"{key} cannot be read ({e})")
            continue
        if own is None:
            out.append(f"{key} is in .zmetadata but not in the store")
            continue
        where = _difference(own, copies[key])
        if where is not None:
            field, mine, theirs = where
            out.append(f"{key} and its copy in .zmetadata differ in {field or 'its whole'} "
                       f"({_short(mine)} in {key}, {_short(theirs)} in .zmetadata): readers of "
                       "either would see another array; consolidate the store again "
                       "(zarr.consolidate_metadata) once the right one is known")
    return out


def _difference(a, b, at: str = ""):
    """The first field (dotted) where two JSON values differ, with both
    values; None when they are equal (NaN equal to NaN)."""
    if isinstance(a, dict) and isinstance(b, dict):
        for k in sorted(set(a) | set(b)):
            if k not in a or k not in b:
                return (f"{at}{k}", a.get(k, "(absent)"), b.get(k, "(absent)"))
            d = _difference(a[k], b[k], f"{at}{k}.")
            if d:
                return d
        return None
    if isinstance(a, list) and isinstance(b, list) and len(a) == len(b):
        for i, (x, y) in enumerate(zip(a, b)):
            d = _difference(x, y, f"{at}{i}.")
            if d:
                return d
        return None
    same = a == b or (isinstance(a, float) and isinstance(b, float) and a != a and b != b)
    return None if same and type(a) is type(b) else (at.rstrip("."), a, b)


def _short(value) -> str:
    text = json.dumps(value) if not isinstance(value, str) else repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


class _Digits(str):
    """An integer longer than Python reads, kept as its text for the codec
    to refuse in its own words."""


def _lenient_int(text: str):
    return _Digits(text) if len(text) > 4000 else int(text)


def _codec_detail(store, name) -> str | None:
    """The codec's own words on an array's metadata that zarr could not
    read; None when it has none."""
    try:
        meta = json.loads(store[f"{name}/.zarray" if name else ".zarray"], parse_int=_lenient_int)
        config = meta["compressor"]
        if config.get("id") != VardaCodec.codec_id:
            return None
        VardaCodec.from_config(config)
    except VardaError as e:
        return str(e)
    except (RecursionError, ValueError, KeyError, TypeError, AttributeError):
        return None
    return None


def _root_attrs(store) -> dict | None:
    """The store's root attributes ({} when it has none, None when they do
    not read)."""
    try:
        attrs = json.loads(store[".zattrs"])
    except KeyError:
        return {}
    except (ValueError, UnicodeDecodeError, RecursionError):
        return None
    return attrs if isinstance(attrs, dict) else None


def _variable(store, path) -> str:
    """Where the raster is: "" for an array at the root, else the name of
    the variable in the group, as its mark says or, in a group another
    writer made (GDAL), the one array coded with varda."""
    if ".zarray" in store:
        return ""
    if ".zgroup" not in store:
        raise StoreError(f"{path}: no such store (it holds neither .zarray nor .zgroup)")
    mark = (_root_attrs(store) or {}).get("varda")
    if isinstance(mark, dict) and isinstance(mark.get("variable"), str):
        return mark["variable"]
    found = []
    for name in sorted(store.listdir("")):
        try:
            meta = json.loads(store[f"{name}/.zarray"])
        except (KeyError, ValueError, UnicodeDecodeError, RecursionError):
            continue
        if isinstance(meta, dict) and isinstance(meta.get("compressor"), dict) and \
                meta["compressor"].get("id") == "varda":
            found.append(name)
    if len(found) != 1:
        which = f"arrays {', '.join(found)}" if found else "no array"
        raise StoreError(f"{path}: not a varda store (the group holds {which} coded with varda, "
                         "not one)")
    return found[0]


def layout_of(path) -> str:
    """"array" for a raster at the store's root, else "group (variable NAME)"."""
    store = _open_store(path, "r")
    name = _variable(store, store.name)
    return f"group (variable {name})" if name else "array"


def _unfinished(store) -> bool:
    # Stores from before the mark carry none and read as they always did;
    # attributes that do not read are reported by meta_of.
    return _mark(store).get("complete") is False


def _codec_problems(z) -> list[str]:
    """The array's layout and the codec's description of it, field by field."""
    codec, out = z.compressor, []
    if z.ndim not in (2, 3):
        out.append(f"the array is {z.ndim}-D, not rows x columns or bands x rows x columns")
    if len(z.chunks) != z.ndim or not all(isinstance(c, int) and c > 0 for c in z.chunks):
        out.append(f"chunks {list(z.chunks)} do not tile a {z.ndim}-D array")
    if z.order not in ("C", "F"):
        out.append(f"order {z.order!r} is not C or F")
    try:
        dtype_code(z.dtype)
    except TypeError as e:
        out.append(str(e))
    if codec.dtype is not None and np.dtype(codec.dtype) != z.dtype:
        out.append(f"the codec codes {codec.dtype} chunks, the array is {z.dtype.str}")
    if codec.chunks is not None and tuple(codec.chunks) != z.chunks:
        out.append(f"the codec's chunks are {codec.chunks}, the array's {list(z.chunks)}")
    if codec.order is not None and codec.order != z.order:
        out.append(f"the codec's chunks are in {codec.order} order, the array's in {z.order}")
    if codec.width is not None and z.chunks and codec.width != z.chunks[-1]:
        out.append(f"the codec's chunks are {codec.width} wide, the array's {z.chunks[-1]}")
    return out


def attrs_of(z) -> dict:
    """The array's attributes. Read as UTF-8 JSON here: zarr's own reader
    takes ASCII only, and GDAL writes UTF-8 (the area of use in the WKT
    of every EPSG projected CRS has a degree sign)."""
    key = f"{z.path}/.zattrs" if z.path else ".zattrs"
    try:
        raw = z.store[key]
    except KeyError:
        return {}
    attrs = json.loads(bytes(raw).decode("utf-8"))
    if not isinstance(attrs, dict):
        raise ValueError("they are not a JSON object")
    return attrs


def _attr_problems(z) -> list[str]:
    """One message per attribute that cannot be what it claims to be."""
    try:
        attrs, out = attrs_of(z), []
    except RecursionError:
        return ["the attributes cannot be read (they nest deeper than any array's)"]
    except ValueError as e:
        return [f"the attributes cannot be read ({e})"]
    wrong = nodata_problem(attrs.get("nodata"), z.dtype)
    if wrong:
        out.append(f"attribute {wrong}")
    transform = attrs.get("transform")
    if transform is not None and not (isinstance(transform, list) and len(transform) == 6 and
                                      all(is_number(v) for v in transform)):
        out.append(f"attribute transform {transform!r} is not six numbers")
    if attrs.get("crs") is not None and not isinstance(attrs["crs"], str):
        out.append(f"attribute crs {attrs['crs']!r} is not a WKT text")
    names = attrs.get("band_names")
    if names is not None and not (isinstance(names, list) and
                                  all(n is None or isinstance(n, str) for n in names)):
        out.append(f"attribute band_names {names!r} is not a list of names")
    return out


def open(path, partial: bool = False):
    """The store as a dask array, one dask chunk per tile (see open_array
    for `partial`)."""
    import dask.array as da

    return da.from_zarr(open_array(path, partial))


def meta_of(z) -> Meta:
    try:
        return Meta.from_attrs(attrs_of(z))
    except (ValueError, TypeError, AttributeError) as e:
        raise StoreError(f"the store's attributes cannot be read ({e})") from None


def read_chunks(z, threads: int | None = None):
    """Yields (selection, block) for every chunk in order, decoded by a pool
    of threads. A failure names the chunk and what went wrong; a missing
    chunk is one, whatever the store's mark."""
    if isinstance(z.store, Store) and z.store.check is not None:
        z.store.check.strict = True

    def read(item):
        idx, sel = item
        try:
            if not isinstance(z.store, Store) and z._chunk_key(idx) not in z.store:
                raise CorruptTile("the chunk is missing from the store")
            return sel, z[sel]
        except StoreError:
            raise
        except MisplacedTile as e:
            raise StoreError(str(e)) from None
        except (CorruptTile, ValueError, RuntimeError) as e:
            raise StoreError(f"{describe_chunk(idx, sel)}: {e}") from None

    with ThreadPoolExecutor(threads or os.cpu_count() or 1) as pool:
        yield from pool.map(read, _chunk_grid(z.shape, z.chunks))


def decompress(path, out, threads: int | None = None,
               progress: Callable[[int], None] | None = None,
               options: dict | None = None) -> Meta:
    """Writes the store's raster to `out`: a GeoTIFF (".tif", ".tiff")
    with its georeferencing (tiled, ZSTD with a predictor; `options` are
    GDAL creation options over those), or a numpy ".npy" file. A failure
    leaves no output behind."""
    z = open_array(path)
    meta = meta_of(z)
    out = str(out)
    suffix = pathlib.Path(out).suffix.lower()
    if suffix not in (".tif", ".tiff", ".npy"):
        raise VardaError(f"{out}: the output is a .tif, .tiff or .npy file")
    with _output.creating(out) as temp:
        try:
            if suffix == ".npy":
                _write_npy(z, temp, threads, progress)
            else:
                _write_tif(z, temp, out, meta, threads, progress, options)
        except BaseException:
            _output._remove(temp + ".aux.xml")
            raise
    # What GDAL keeps beside a GeoTIFF (category names, attribute tables)
    # follows it to its name.
    if os.path.exists(temp + ".aux.xml"):
        os.replace(temp + ".aux.xml", out + ".aux.xml")
    return meta


def _write_npy(z, path, threads, progress):
    """Writes each tile's rows at their place in the file. The space is
    reserved first, so that a full disk fails here and leaves no sparse
    file; the header goes last, so that until then the file is no array."""
    fmt = np.lib.format
    header = io.BytesIO()
    fmt.write_array_header_1_0(header, {"descr": fmt.dtype_to_descr(z.dtype),
                                        "fortran_order": False, "shape": z.shape})
    start = header.tell()
    row_bytes = z.shape[-1] * z.dtype.itemsize
    with io.open(path, "r+b") as f:
        _reserve(f.fileno(), start + z.nbytes)
        for sel, block in read_chunks(z, threads):
            band = sel[0].start if z.ndim == 3 else 0
            first = band * z.shape[-2] + sel[-2].start
            for i, row in enumerate(block.reshape(block.shape[-2:])):
                f.seek(start + (first + i) * row_bytes + sel[-1].start * z.dtype.itemsize)
                f.write(np.ascontiguousarray(row))
            if progress:
                progress(1)
        f.seek(0)
        f.write(header.getvalue())


def _reserve(fd, size: int) -> None:
    try:
        os.posix_fallocate(fd, 0, size)
    except OSError as e:
        # Nothing to reserve with here; the writes are still checked.
        if e.errno not in (errno.EOPNOTSUPP, errno.EINVAL):
            raise


def _write_tif(z, path, out, meta: Meta, threads, progress, options=None):
    from rasterio.windows import Window

    from . import raster

    shape = z.shape if z.ndim == 3 else (1,) + z.shape
    with raster.writing_geotiff(path, shape, z.dtype, meta, tile=z.chunks[-1], name=out,
                                options=options) as dst:
        for sel, block in read_chunks(z, threads):
            rows, cols = sel[-2], sel[-1]
            window = Window(cols.start, rows.start, cols.stop - cols.start, rows.stop - rows.start)
            band = sel[0].start + 1 if z.ndim == 3 else 1
            # float16 is written as float32 (see raster.geotiff_form).
            dst.write(block.reshape(block.shape[-2:]).astype(dst.dtypes[0], copy=False), band,
                      window=window)
            if progress:
                progress(1)


def info(path) -> dict:
    """Shape, dtype, tiling, the chains the tiles use and the ratio. A
    store that lacks a tile is refused, naming it ("every_tile" is then
    true in what is returned)."""
    z = open_array(path)
    store = z.store
    meta = meta_of(z)
    chains: dict[str, int] = {}
    stored = 0
    lossy = set()
    nodata_tiles = placed = 0
    array = store.check.array if store.check else None
    for idx, sel in _chunk_grid(z.shape, z.chunks):
        try:
            blob = store.get_raw(z._chunk_key(idx))
        except KeyError:
            raise StoreError(f"{store.name}: {describe_chunk(idx, sel)}: the chunk is missing "
                             "from the store") from None
        try:
            tile = read_info(blob)
            wrong = tile_mismatch(tile, z.dtype, z.chunks, z.order, z.compressor.family) or \
                tile_misplaced(tile, idx, array)
            if wrong:
                raise CorruptTile(wrong)
            held = tile.nodata
            if held and (tile.lossy or _padded(sel, z.chunks)):
                # The mask may cover only the padding of an edge tile, or
                # guard valid samples of a lossy one: look at the samples.
                held = _holds_nodata(z[sel], meta.nodata)
        except CorruptTile as e:
            raise StoreError(f"{describe_chunk(idx, sel)}: {e}") from None
        chains[tile.chain] = chains.get(tile.chain, 0) + 1
        stored += len(blob)
        nodata_tiles += held
        placed += tile.position is not None
        if tile.lossy:
            lossy.add(tile.lossy)
    raw = z.nbytes
    return {
        "path": store.name, "layout": layout_of(store), "shape": list(z.shape),
        "dtype": z.dtype.name, "chunks": list(z.chunks), "tiles": z.nchunks, "every_tile": True,
        "tiles_placed": placed,
        "chains": dict(sorted(chains.items(), key=lambda kv: -kv[1])),
        "recipe": z.compressor.recipe, "lossy": sorted(lossy),
        "nodata": meta.to_attrs()["nodata"], "tiles_with_nodata": nodata_tiles,
        "crs": meta.crs, "transform": list(meta.transform) if meta.transform else None,
        "band_names": meta.band_names, "scales": [b.get("scale", 1.0) for b in meta.bands],
        "raw_bytes": raw, "stored_bytes": stored, "ratio": raw / stored if stored else math.inf,
    }


# Past this many tiles a store's missing ones are counted, not each named.
_NAMED_MISSING = 1000


def verify_store(path, threads: int | None = None,
                 progress: Callable[[int], None] | None = None,
                 total: Callable[[int], None] | None = None) -> dict:
    """Decodes every tile of a store and checks it against the array: that
    it is there, its checksum and streams, its dtype, shape and width, and
    the grid position and array its writer recorded; and that the store's
    metadata agrees with itself (.zmetadata and the files it copies).

    Returns {"store", "tiles", "checked", "placed" (the sound tiles that
    record their place), "sound", "problems" (the store's own, as text),
    "bad_tiles" ([{"key", "chunk", "why"}], in grid order)}. Metadata that does not describe a varda array at all is
    refused as open_array refuses it. `total(n)` is told the tiles to
    check, `progress(1)` each one checked."""
    store = _open_store(path, "r")
    problems = consolidated_problems(store)
    # Opened on the files, which varda reads, to check the tiles too.
    z = open_array(store, partial=True, consolidated=False)
    if _unfinished(store):
        failed = _mark(store).get("failed")
        problems.append("the store's writing " + (f"failed ({failed})" if isinstance(failed, str)
                                                  else "did not finish"))
    check = store.check
    check.strict = False
    present = store.chunk_keys(check)
    bad: list[dict] = []
    count = z.nchunks
    grid = _chunk_grid(z.shape, z.chunks)
    if present is not None and count - len(present) > _NAMED_MISSING:
        missing, lost = missing_tiles(store, z)
        problems.append(f"{lost} of {count} tiles are missing (the first "
                        f"{check.describe(missing[0])}); only the {count - lost} there are checked")
        grid = ((idx, check.selection(idx)) for idx in
                sorted(i for i in map(check.index, present) if i is not None))
        count -= lost
    if total:
        total(count)

    def one(item):
        idx, sel = item
        key = check.key(idx)
        why = None
        if present is not None and key not in present:
            why = "missing from the store"
        else:
            try:
                why, placed = _tile_problem(store.get_raw(key), z, idx, check.array)
            except KeyError:
                why = "missing from the store"
            except StoreError as e:
                why = str(e)
        if why is None:
            return placed
        return {"key": key, "chunk": describe_chunk(idx, sel), "why": why}

    placed = 0
    with ThreadPoolExecutor(threads or os.cpu_count() or 1) as pool:
        for result in pool.map(one, grid):
            if isinstance(result, dict):
                bad.append(result)
            else:
                placed += result
            if progress:
                progress(1)
    return {"store": store.name, "tiles": z.nchunks, "checked": count, "placed": placed,
            "sound": not bad and not problems, "problems": problems, "bad_tiles": bad}


def _tile_problem(blob, z, idx, array) -> tuple[str | None, bool]:
    """Why a blob is not a sound chunk `idx` of `z` (its header, its place,
    then a full decode: checksum, streams), and whether its writer recorded
    its place."""
    try:
        tile = read_info(blob)
        wrong = tile_mismatch(tile, z.dtype, z.chunks, z.order, z.compressor.family) or \
            tile_misplaced(tile, idx, array)
        if wrong:
            return wrong, False
        decode_tile(blob, dtype=z.dtype, chunks=z.chunks, order=z.order,
                    lossy=z.compressor.family)
    except VardaError as e:
        return str(e), False
    return None, tile.position is not None


