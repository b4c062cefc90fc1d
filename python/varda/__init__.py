"""varda: raster tile compression for numpy, Zarr and Dask.

numpy functions over every kernel family (``varda.kernels``), lossy recipes
(``varda.Recipe``), the tile codec (``varda.Product``, ``varda.prepare``) and
its numcodecs codec "varda" (``varda.VardaCodec``, registered on import),
Zarr stores one chunk per tile (``varda.compress``, ``varda.open``,
``varda.decompress``, ``varda.info``), and the ``varda`` command line.
"""

from . import kernels
from ._lib import CorruptProduct, CorruptTile, LibraryNotFound, NotApplicable, OutOfMemory, Refused
from ._lib import VardaError, library_paths
from .codec import Product, VardaCodec, chains, chains_for, decode_tile, prepare, read_info
from .kernels import set_simd_path, simd_path, simd_paths
from .lossy import Check, Recipe, Resolved, check, verify
from .store import StoreError, compress, decompress, info, open, verify_store

from . import gdal_plugin

__version__ = "0.1.0"

# The GDAL of this process (rasterio's, osgeo.gdal's) decodes varda stores.
gdal_plugin.install()

__all__ = [
    "kernels", "CorruptTile", "CorruptProduct", "Refused", "OutOfMemory", "NotApplicable",
    "LibraryNotFound", "VardaError", "StoreError", "library_paths",
    "Product", "VardaCodec", "chains", "chains_for", "decode_tile", "prepare", "read_info",
    "set_simd_path", "simd_path", "simd_paths", "Recipe", "Resolved", "Check", "check", "verify",
    "compress", "decompress", "info", "open", "verify_store",
]
