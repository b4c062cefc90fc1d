"""Raster files through rasterio (GDAL), with their georeferencing."""

from __future__ import annotations

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


def open_geotiff(path, shape, dtype, meta: Meta, tile: int = 512):
    """A GeoTIFF opened for writing (bands, rows, columns), tiled like the
    store and deflated, with the georeferencing, nodata and band names."""
    rasterio = _rasterio()
    from affine import Affine

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
    try:
        dst = rasterio.open(path, "w", **profile)
        for i, name in enumerate(meta.band_names[:bands], 1):
            if name:
                dst.set_band_description(i, name)
    except rasterio.errors.RasterioError as e:
        raise RasterError(f"cannot write {path}: {e}") from None
    return dst


def write_geotiff(path, data: np.ndarray, meta: Meta, tile: int = 512) -> None:
    if data.ndim == 2:
        data = data[None]
    with open_geotiff(path, data.shape, data.dtype, meta, tile) as dst:
        dst.write(data)
