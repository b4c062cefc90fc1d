"""Raster files through rasterio (GDAL), with their georeferencing."""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import functools
import math
import warnings
from dataclasses import dataclass, field

import numpy as np

from ._types import dtype_code


class RasterError(OSError):
    """A raster file could not be read or written."""


@dataclass
class Meta:
    """What a raster carries besides its samples."""

    crs: str | None = None                    # WKT
    transform: tuple | None = None            # affine a, b, c, d, e, f
    nodata: float | int | None = None
    band_names: list = field(default_factory=list)

    def to_attrs(self) -> dict:
        nodata = self.nodata
        if isinstance(nodata, float) and math.isnan(nodata):
            nodata = "nan"
        return {"crs": self.crs, "transform": list(self.transform) if self.transform else None,
                "nodata": nodata, "band_names": list(self.band_names)}

    @classmethod
    def from_attrs(cls, attrs) -> "Meta":
        nodata = attrs.get("nodata")
        if nodata == "nan":
            nodata = math.nan
        transform = attrs.get("transform")
        return cls(attrs.get("crs"), tuple(transform) if transform else None, nodata,
                   list(attrs.get("band_names") or []))


def _rasterio():
    import rasterio
    from rasterio.errors import NotGeoreferencedWarning

    warnings.filterwarnings("ignore", category=NotGeoreferencedWarning)
    return rasterio


def read(path, band: int | None = None) -> tuple[np.ndarray, Meta]:
    """Samples as (bands, rows, columns), or (1, rows, columns) for one
    `band` (counted from 1), and the raster's metadata."""
    rasterio = _rasterio()
    try:
        with rasterio.open(path) as src:
            if band is not None and not 1 <= band <= src.count:
                raise RasterError(f"{path}: band {band} is not in 1 .. {src.count}")
            indexes = [band] if band is not None else list(range(1, src.count + 1))
            data = src.read(indexes)
            crs = src.crs.to_wkt() if src.crs else None
            transform = tuple(src.transform)[:6] if not src.transform.is_identity else None
            names = [src.descriptions[i - 1] for i in indexes]
            nodata = src.nodata
    except rasterio.errors.RasterioError as e:
        raise RasterError(f"cannot read {path}: {e}") from None
    try:
        dtype_code(data.dtype)
    except TypeError as e:
        raise RasterError(f"{path}: {e}") from None
    if nodata is not None and data.dtype.kind in "iu" and float(nodata).is_integer():
        nodata = int(nodata)
    return np.ascontiguousarray(data), Meta(crs, transform, nodata, names)


@contextlib.contextmanager
def writing_geotiff(path, shape, dtype, meta: Meta, tile: int = 512, name=None):
    """A GeoTIFF open for writing (bands, rows, columns), tiled like the
    store and deflated, with the georeferencing, nodata and band names.
    Closed at the end of the block; RasterError if GDAL failed to write any
    of it (`name` is the file the message names, `path` by default)."""
    rasterio = _rasterio()
    from affine import Affine

    name = name or path
    bands, rows, cols = shape
    profile = {"driver": "GTiff", "width": cols, "height": rows, "count": bands,
               "dtype": np.dtype(dtype).name, "compress": "deflate", "BIGTIFF": "IF_SAFER"}
    block = min(tile, rows, cols) // 16 * 16
    if block >= 16:
        profile.update(tiled=True, blockxsize=block, blockysize=block)
    if meta.crs:
        profile["crs"] = rasterio.crs.CRS.from_user_input(meta.crs)
    if meta.transform:
        profile["transform"] = Affine(*meta.transform)
    if meta.nodata is not None:
        profile["nodata"] = meta.nodata
    with _gdal_failures() as failures:
        try:
            dst = rasterio.open(path, "w", **profile)
            try:
                for i, band_name in enumerate(meta.band_names[:bands], 1):
                    if band_name:
                        dst.set_band_description(i, band_name)
                yield dst
            except BaseException:
                with contextlib.suppress(Exception):
                    dst.close()
                raise
            dst.close()
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
    return gdal
