"""Raster files through rasterio (GDAL), with their georeferencing."""

from __future__ import annotations

import contextlib
import ctypes
import dataclasses
import ctypes.util
import functools
import math
import os
import warnings
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from ._types import dtype_code


class RasterError(OSError):
    """A raster file could not be read or written."""


# Metadata domains GDAL derives from the file itself (its layout, its
# sub-datasets), which a copy must not claim.
DERIVED_DOMAINS = {"IMAGE_STRUCTURE", "DERIVED_SUBDATASETS", "SUBDATASETS"}


@dataclass
class Meta:
    """What a raster carries besides its samples.

    tags: the file's metadata, {domain: {key: value}} with "" the default
    domain (AREA_OR_POINT lives there). bands: per band, what GDAL keeps of
    it: scale, offset, units, colorinterp, colortable (RGBA entries),
    categories, rat (the raster attribute table) and tags (statistics are
    among them, as GDAL reports them)."""

    crs: str | None = None                    # WKT
    transform: tuple | None = None            # affine a, b, c, d, e, f
    nodata: float | int | None = None
    band_names: list = field(default_factory=list)
    tags: dict = field(default_factory=dict)
    bands: list = field(default_factory=list)

    def to_attrs(self) -> dict:
        nodata = self.nodata
        if isinstance(nodata, float) and math.isnan(nodata):
            nodata = "nan"
        attrs = {"crs": self.crs, "transform": list(self.transform) if self.transform else None,
                 "nodata": nodata, "band_names": list(self.band_names)}
        if self.tags:
            attrs["tags"] = self.tags
        if any(self.bands):
            attrs["bands"] = self.bands
        return attrs

    @classmethod
    def from_attrs(cls, attrs) -> "Meta":
        nodata = attrs.get("nodata")
        if nodata == "nan":
            nodata = math.nan
        transform = attrs.get("transform")
        tags, bands = attrs.get("tags") or {}, attrs.get("bands") or []
        if not (isinstance(tags, dict) and isinstance(bands, list) and
                all(isinstance(b, dict) for b in bands)):
            raise ValueError("attributes tags and bands are not a mapping and a list of them")
        crs = attrs.get("crs")
        if crs is None and isinstance(attrs.get("_CRS"), dict):
            # A store GDAL wrote says its CRS only where GDAL reads it.
            crs = attrs["_CRS"].get("wkt")
        return cls(crs, tuple(transform) if transform else None, nodata,
                   list(attrs.get("band_names") or []), tags, bands)


def _rasterio():
    import rasterio
    from rasterio.errors import NotGeoreferencedWarning

    warnings.filterwarnings("ignore", category=NotGeoreferencedWarning)
    return rasterio


class UnsupportedRaster(RasterError):
    """A raster that reads but cannot be stored: its dtype, its layout, or
    a container whose sub-datasets the caller has to choose between."""


def read(path, band: int | None = None, subdataset: str | None = None,
         progress: Callable[[int, int], None] | None = None) -> tuple[np.ndarray, Meta]:
    """Samples as (bands, rows, columns), or (1, rows, columns) for one
    `band` (counted from 1), and the raster's metadata. `path` is anything
    GDAL reads or a numpy .npy file; `subdataset` picks one of a
    container's rasters by name or number. `progress(n, total)` is told the
    bytes of each strip as it arrives, and the raster's."""
    path = str(path)
    if path.lower().endswith(".npy") and subdataset is None:
        data, meta = _read_npy(path, band, progress)
    else:
        data, meta = _read_gdal(path, band, subdataset, progress)
    try:
        dtype_code(data.dtype)
    except TypeError as e:
        raise UnsupportedRaster(f"{path}: {e}") from None
    return data, meta


def _read_npy(path, band, progress):
    try:
        data = np.load(path, mmap_mode="r", allow_pickle=False)
    except (OSError, ValueError, EOFError) as e:
        raise RasterError(f"cannot read {path}: {e}") from None
    if data.ndim == 2:
        data = data[None]
    if data.ndim != 3:
        raise UnsupportedRaster(f"{path}: a {data.ndim}-D array is no raster; one is rows x "
                                "columns or bands x rows x columns")
    _check_band(path, band, data.shape[0])
    if band is not None:
        data = data[band - 1:band]
    try:
        dtype_code(data.dtype)
    except TypeError as e:
        raise UnsupportedRaster(f"{path}: {e}") from None
    out = np.empty(data.shape, data.dtype)
    for band_out, band_in in zip(out, data):
        for r, c in _strips(band_in.shape[0], band_in.shape[1] * data.dtype.itemsize):
            band_out[r:c] = band_in[r:c]
            if progress:
                progress(band_in[r:c].nbytes, data.nbytes)
    return out, Meta()


def _strips(rows: int, row_bytes: int, target: int = 1 << 24):
    """Row ranges of about `target` bytes each."""
    step = max(1, target // max(1, row_bytes))
    for r in range(0, rows, step):
        yield r, min(rows, r + step)


def _check_band(path, band, count):
    if band is not None and not 1 <= band <= count:
        raise RasterError(f"{path}: band {band} is not in 1 .. {count}")


def subdatasets(src) -> list[tuple[str, str, str]]:
    """A container's rasters as (GDAL name, short name, description): the
    short name is a NetCDF variable's, a FITS extension's EXTNAME, or else
    what follows the file name (FITS:"f.fits":2 gives 2)."""
    tags = src.tags(ns="SUBDATASETS")
    out = []
    for i in range(1, len(tags) // 2 + 1):
        full, desc = tags.get(f"SUBDATASET_{i}_NAME"), tags.get(f"SUBDATASET_{i}_DESC", "")
        if full is None:
            break
        short = full.rsplit(":", 1)[-1] if full.count(":") >= 2 else full
        if full.upper().startswith("FITS:") and "), " in desc:
            short = desc.rsplit("), ", 1)[-1].strip() or short
        out.append((full, short, desc))
    return out


def _pick_subdataset(path, found, wanted: str) -> str:
    if not found:
        raise UnsupportedRaster(f"{path} holds one raster, no sub-datasets to choose from")
    # Names first: a FITS extension's GDAL name is its number.
    for full, short, _ in found:
        if wanted == full or wanted.lower() == short.lower() or \
                wanted == full.rsplit(":", 1)[-1]:
            return full
    if wanted.isdigit() and 1 <= int(wanted) <= len(found):
        return found[int(wanted) - 1][0]
    raise UnsupportedRaster(f"{path}: no sub-dataset {wanted!r}; " + _listing(path, found))


def _listing(path, found) -> str:
    rows = "\n".join(f"  {short:<12} {desc}  ({full})" for full, short, desc in found)
    return f"it holds {len(found)} rasters; choose one with --subdataset NAME:\n{rows}"


def _swaps_64() -> bool:
    """Whether this rasterio names GDAL's 64-bit integer types the wrong way
    round (1.3.5 with GDAL 3.5 and later: "int64" makes a UInt64 band)."""
    from rasterio import dtypes

    return dtypes.dtype_rev.get("int64") == 12  # GDT_UInt64


def _other_64(dtype) -> np.dtype:
    """For a 64-bit integer dtype on a rasterio that swaps them, the dtype
    of the other sign; any other dtype as it is."""
    dt = np.dtype(dtype)
    if dt.kind in "iu" and dt.itemsize == 8 and _swaps_64():
        return np.dtype(np.uint64 if dt.kind == "i" else np.int64)
    return dt


def _wide_nodata(path, index: int):
    """A 64-bit integer band's nodata, exactly (rasterio reads a double)."""
    gdal = _gdal()
    if gdal is None:
        return None
    ds = gdal.Open(str(path))  # held: the band lives only as long as its dataset
    band = ds.GetRasterBand(index)
    return (band.GetNoDataValueAsUInt64() if band.DataType == gdal.GDT_UInt64
            else band.GetNoDataValueAsInt64())


def _read_gdal(path, band, subdataset, progress):
    rasterio = _rasterio()
    from rasterio.windows import Window

    try:
        if subdataset is not None:
            with rasterio.open(path) as container:
                path = _pick_subdataset(path, subdatasets(container), subdataset)
        with rasterio.open(path) as src:
            if src.count == 0 and src.subdatasets:
                raise UnsupportedRaster(f"{path}: " + _listing(path, subdatasets(src)))
            _check_band(path, band, src.count)
            indexes = [band] if band is not None else list(range(1, src.count + 1))
            data = np.empty((len(indexes), src.height, src.width), src.dtypes[indexes[0] - 1])
            row_bytes = src.width * data.dtype.itemsize * len(indexes)
            for r, c in _strips(src.height, row_bytes):
                src.read(indexes, window=Window(0, r, src.width, c - r), out=data[:, r:c])
                if progress:
                    progress(data[:, r:c].nbytes, data.nbytes)
            crs = src.crs.to_wkt() if src.crs else None
            transform = tuple(src.transform)[:6] if not src.transform.is_identity else None
            names = [src.descriptions[i - 1] for i in indexes]
            nodata = src.nodata
            if data.dtype.kind in "iu" and data.dtype.itemsize == 8:
                data = data.view(_other_64(data.dtype))
                nodata = _wide_nodata(path, indexes[0]) if _gdal() else nodata
            tags = {ns: src.tags(ns=ns) for ns in _domains(src.tag_namespaces())}
            bands = [_band_meta(src, i) for i in indexes]
    except rasterio.errors.RasterioError as e:
        raise RasterError(f"cannot read {path}: {e}") from None
    except TypeError as e:
        # A GDAL type numpy has no dtype for.
        raise UnsupportedRaster(f"{path}: {e}") from None
    if nodata is not None and data.dtype.kind in "iu" and float(nodata).is_integer():
        nodata = int(nodata)
    _add_tables(path, indexes, bands)
    tags = {ns: t for ns, t in tags.items() if t}
    return np.ascontiguousarray(data), Meta(crs, transform, nodata, names, tags, bands)


def _domains(namespaces) -> list[str]:
    return [""] + [ns for ns in namespaces or [] if ns and ns not in DERIVED_DOMAINS and
                   not ns.startswith("xml:")]


def _band_meta(src, i: int) -> dict:
    out = {}
    scale, offset, units = src.scales[i - 1], src.offsets[i - 1], src.units[i - 1]
    if scale not in (None, 1.0):
        out["scale"] = scale
    if offset not in (None, 0.0):
        out["offset"] = offset
    if units:
        out["units"] = units
    out["colorinterp"] = src.colorinterp[i - 1].name
    try:
        colormap = src.colormap(i)
    except ValueError:
        colormap = None
    if colormap:
        table = [list(colormap[k]) for k in range(max(colormap) + 1)]
        # A GeoTIFF pads its palette with black to 2^bits entries, and
        # pads it again when written.
        while len(table) > 1 and table[-1][:3] == [0, 0, 0]:
            table.pop()
        out["colortable"] = table
    tags = {ns: src.tags(i, ns=ns) for ns in _domains(src.tag_namespaces(i))}
    tags = {ns: t for ns, t in tags.items() if t}
    if tags:
        out["tags"] = tags
    return out


def _gdal():
    """GDAL's own bindings, for what rasterio does not reach (category
    names, raster attribute tables); None when they are not installed."""
    try:
        from osgeo import gdal
    except ImportError:
        return None
    return gdal


_RAT_READ = {0: "GetValueAsInt", 1: "GetValueAsDouble", 2: "GetValueAsString"}
_RAT_WRITE = {0: "SetValueAsInt", 1: "SetValueAsDouble", 2: "SetValueAsString"}


def _add_tables(path, indexes, bands) -> None:
    """Each band's category names and attribute table."""
    gdal = _gdal()
    if gdal is None:
        return
    ds = gdal.OpenEx(str(path), gdal.OF_RASTER)
    if ds is None:
        return
    for i, band in zip(indexes, bands):
        b = ds.GetRasterBand(i)
        names = b.GetCategoryNames() or _pam_categories(path, i)
        if names:
            band["categories"] = list(names)
        rat = b.GetDefaultRAT()
        if rat is not None and rat.GetColumnCount():
            cols = [{"name": rat.GetNameOfCol(c), "type": rat.GetTypeOfCol(c),
                     "usage": rat.GetUsageOfCol(c)} for c in range(rat.GetColumnCount())]
            rows = [[getattr(rat, _RAT_READ.get(col["type"], "GetValueAsString"))(r, c)
                     for c, col in enumerate(cols)] for r in range(rat.GetRowCount())]
            band["rat"] = {"columns": cols, "rows": rows, "table_type": rat.GetTableType()}


def _pam_categories(path, band: int) -> list[str]:
    """Category names from GDAL's side file, which its GeoTIFF driver (3.6)
    writes but does not read back."""
    import xml.etree.ElementTree as ET

    try:
        root = ET.parse(f"{path}.aux.xml").getroot()
    except (OSError, ET.ParseError):
        return []
    for b in root.iter("PAMRasterBand"):
        if b.get("band") == str(band):
            return [c.text or "" for c in b.iterfind("CategoryNames/Category")]
    return []


def _write_tables(path, bands) -> None:
    gdal = _gdal()
    wanted = [(i, b) for i, b in enumerate(bands, 1) if b.get("categories") or b.get("rat")]
    if not wanted:
        return
    if gdal is None:
        raise RasterError("category names and attribute tables need GDAL's Python bindings "
                          "(python3-gdal)")
    ds = gdal.OpenEx(str(path), gdal.OF_RASTER | gdal.OF_UPDATE)
    for i, band in wanted:
        b = ds.GetRasterBand(i)
        if band.get("categories"):
            b.SetCategoryNames([str(n) for n in band["categories"]])
        if band.get("rat"):
            table = band["rat"]
            rat = gdal.RasterAttributeTable()
            for col in table["columns"]:
                rat.CreateColumn(str(col["name"]), int(col["type"]), int(col["usage"]))
            rat.SetRowCount(len(table["rows"]))
            for r, row in enumerate(table["rows"]):
                for c, (col, value) in enumerate(zip(table["columns"], row)):
                    getattr(rat, _RAT_WRITE.get(int(col["type"]), "SetValueAsString"))(r, c, value)
            if "table_type" in table:
                rat.SetTableType(int(table["table_type"]))
            b.SetDefaultRAT(rat)
    ds.FlushCache()
    ds = None


def _write_band_meta(dst, meta: "Meta", bands: int) -> None:
    from rasterio.enums import ColorInterp

    for ns, tags in meta.tags.items():
        if ns not in DERIVED_DOMAINS:
            dst.update_tags(ns=ns or None, **tags)
    interps = list(dst.colorinterp)
    for i, band in enumerate(meta.bands[:bands], 1):
        if "scale" in band or "offset" in band:
            scales, offsets = list(dst.scales), list(dst.offsets)
            scales[i - 1], offsets[i - 1] = band.get("scale", 1.0), band.get("offset", 0.0)
            dst.scales, dst.offsets = scales, offsets
        if band.get("units"):
            dst.set_band_unit(i, band["units"])
        if band.get("colortable"):
            dst.write_colormap(i, {k: tuple(v) for k, v in enumerate(band["colortable"])})
        if band.get("colorinterp") in ColorInterp.__members__:
            interps[i - 1] = ColorInterp[band["colorinterp"]]
        for ns, tags in (band.get("tags") or {}).items():
            if ns not in DERIVED_DOMAINS:
                dst.update_tags(i, ns=ns or None, **tags)
    if meta.bands:
        dst.colorinterp = interps


def is_raster_file(path) -> bool:
    """Whether GDAL (or numpy, for .npy) reads `path` as a raster."""
    path = str(path)
    if not os.path.isfile(path):
        return False
    if path.lower().endswith(".npy"):
        return True
    rasterio = _rasterio()
    try:
        with rasterio.open(path):
            return True
    except (rasterio.errors.RasterioError, OSError):
        return False


# Compressions that take a predictor.
_PREDICTING = ("ZSTD", "DEFLATE", "LZW", "LERC_ZSTD", "LERC_DEFLATE")


def geotiff_options(dtype, rows: int, cols: int, tile: int = 512,
                    extra: dict | None = None) -> dict:
    """GDAL creation options for a GeoTIFF of `dtype`: tiled like the store,
    ZSTD with the horizontal predictor for integers and the floating-point
    one for floats, BigTIFF when needed. `extra` (KEY: VALUE, any case)
    overrides any of them; a compression without a predictor drops ours."""
    options = {"COMPRESS": "ZSTD", "PREDICTOR": "3" if np.dtype(dtype).kind == "f" else "2",
               "BIGTIFF": "IF_SAFER"}
    # GeoTIFF tiles are multiples of 16; a raster narrower than that is
    # written in strips.
    block = min(tile, rows, cols) // 16 * 16
    if block >= 16:
        options.update(TILED="YES", BLOCKXSIZE=str(block), BLOCKYSIZE=str(block))
    extra = {k.upper(): str(v) for k, v in (extra or {}).items()}
    if "PREDICTOR" not in extra and extra.get("COMPRESS", "ZSTD").upper() not in _PREDICTING:
        del options["PREDICTOR"]
    if extra.get("TILED", "YES").upper() in ("NO", "FALSE", "OFF", "0"):
        options.pop("BLOCKXSIZE", None)
        options.pop("BLOCKYSIZE", None)
    options.update(extra)
    return options


class GeoTiffNote(UserWarning):
    """What a GeoTIFF could not hold as the store holds it, and where it is
    kept instead."""


# Colour tables GeoTIFF keeps.
_PALETTED = ("uint8", "uint16")


def geotiff_form(dtype, meta: Meta) -> tuple[np.dtype, Meta, list[str]]:
    """The dtype a raster of `dtype` is written to GeoTIFF as, the metadata
    written with it, and one note a thing written otherwise than stored."""
    dtype, notes = np.dtype(dtype), []
    if dtype == np.float16:
        # GeoTIFF (through GDAL) has no half floats; float32 holds each one.
        notes.append("float16 samples are written as float32, which holds every one exactly")
        dtype = np.dtype(np.float32)
    bands = []
    for i, band in enumerate(meta.bands, 1):
        if band.get("colortable") and dtype.name not in _PALETTED:
            band = {k: v for k, v in band.items() if k != "colortable"}
            notes.append(f"band {i}'s colour table is left out: GeoTIFF keeps one for uint8 and "
                         f"uint16 bands only, not {dtype.name}; the store keeps it")
        bands.append(band)
    return dtype, dataclasses.replace(meta, bands=bands), notes


def check_creation_options(options: dict) -> None:
    """Refuses, in GDAL's words, a GeoTIFF creation option GDAL does not
    take (GDAL itself only warns, and writes without it)."""
    gdal = _libgdal()
    gdal.GDALAllRegister()
    driver = gdal.GDALGetDriverByName(b"GTiff")
    texts = [f"{k}={v}".encode() for k, v in options.items()]
    array = (ctypes.c_char_p * (len(texts) + 1))(*texts, None)
    said: list[str] = []

    def collect(_err_class, _err_no, message):
        said.append((message or b"").decode(errors="replace"))

    handler = _GDAL_HANDLER(collect)
    gdal.CPLPushErrorHandler(handler)
    try:
        valid = gdal.GDALValidateCreationOptions(driver, array)
    finally:
        gdal.CPLPopErrorHandler()
    if not valid:
        raise CreationOptionError("GeoTIFF creation options: " + "; ".join(said or ["refused"]))


class CreationOptionError(ValueError):
    pass


def _set_wide_nodata(path, nodata, bands: int) -> None:
    """A 64-bit integer nodata, which GDAL takes through calls of its own
    only (rasterio writes doubles, and drops it)."""
    gdal = _gdal()
    if gdal is None:
        raise RasterError("GDAL's Python bindings (python3-gdal) are needed to write a 64-bit "
                          "integer nodata")
    ds = gdal.Open(str(path), gdal.GA_Update)
    for i in range(1, bands + 1):
        band = ds.GetRasterBand(i)
        if band.DataType == gdal.GDT_UInt64:
            band.SetNoDataValueAsUInt64(int(nodata))
        else:
            band.SetNoDataValueAsInt64(int(nodata))
    ds.FlushCache()
    ds = None


@contextlib.contextmanager
def writing_geotiff(path, shape, dtype, meta: Meta, tile: int = 512, name=None,
                    options: dict | None = None):
    """A GeoTIFF open for writing (bands, rows, columns), with the
    georeferencing, nodata and band names, and the creation options of
    geotiff_options (`options` overriding them). Closed at the end of the
    block; RasterError if GDAL failed to write any of it (`name` is the
    file the message names, `path` by default)."""
    rasterio = _rasterio()
    from affine import Affine

    name = name or path
    bands, rows, cols = shape
    dtype, meta, notes = geotiff_form(dtype, meta)
    creation = geotiff_options(dtype, rows, cols, tile, options)
    check_creation_options(creation)
    profile = {"driver": "GTiff", "width": cols, "height": rows, "count": bands,
               "dtype": _other_64(dtype).name, **creation}
    if meta.crs:
        profile["crs"] = rasterio.crs.CRS.from_user_input(meta.crs)
    if meta.transform:
        profile["transform"] = Affine(*meta.transform)
    wide = meta.nodata is not None and dtype.kind in "iu" and dtype.itemsize == 8
    if meta.nodata is not None and not wide:
        profile["nodata"] = meta.nodata
    for note in notes:
        warnings.warn(f"{name}: {note}", GeoTiffNote, stacklevel=3)
    with _gdal_failures() as failures:
        try:
            dst = rasterio.open(path, "w", **profile)
            try:
                for i, band_name in enumerate(meta.band_names[:bands], 1):
                    if band_name:
                        dst.set_band_description(i, band_name)
                _write_band_meta(dst, meta, bands)
                yield dst
            except BaseException:
                with contextlib.suppress(Exception):
                    dst.close()
                raise
            dst.close()
            if wide:
                _set_wide_nodata(path, meta.nodata, bands)
            _write_tables(path, meta.bands[:bands])
        except rasterio.errors.RasterioError as e:
            raise RasterError(f"cannot write {name}: {e}") from None
    if failures:
        raise RasterError(f"cannot write {name}: {failures[0]}")


_GDAL_HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)
_CE_FAILURE = 3


@contextlib.contextmanager
def _gdal_failures():
    """Collects the failures GDAL reports on this thread meanwhile. GDAL
    writes blocks from its cache, and reports a failed write or close only
    to its error handler, never as the result of a call."""
    gdal = _libgdal()
    failures: list[str] = []

    def collect(err_class, _err_no, message):
        text = (message or b"").decode(errors="replace")
        if err_class >= _CE_FAILURE:
            failures.append(text)
        else:
            warnings.warn(f"GDAL: {text}", RuntimeWarning, stacklevel=2)

    handler = _GDAL_HANDLER(collect)
    gdal.CPLPushErrorHandler(handler)
    try:
        yield failures
    finally:
        gdal.CPLPopErrorHandler()


@functools.lru_cache(maxsize=None)
def _libgdal():
    _rasterio()
    name = ctypes.util.find_library("gdal")
    if name is None:
        # A private copy, already loaded by rasterio.
        with contextlib.suppress(OSError), open("/proc/self/maps") as maps:
            name = next((line.split()[-1] for line in maps if "/libgdal" in line), None)
    if name is None:
        raise RasterError("GDAL's library was not found; its writes cannot be checked")
    gdal = ctypes.CDLL(name)
    gdal.CPLPushErrorHandler.argtypes = [_GDAL_HANDLER]
    gdal.CPLPushErrorHandler.restype = None
    gdal.CPLPopErrorHandler.restype = None
    gdal.GDALGetDriverByName.argtypes = [ctypes.c_char_p]
    gdal.GDALGetDriverByName.restype = ctypes.c_void_p
    gdal.GDALValidateCreationOptions.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p)]
    return gdal
