"""The GDAL plugin in this process: once varda is imported, the GDAL that
rasterio, rioxarray or osgeo.gdal use decodes varda stores with nothing set.

The plugin (gdal_varda.so, which ``make python`` puts in the package's
``_libs/gdalplugins``) is loaded into the process and its codec registered
with GDAL: at once where GDAL is already loaded, else just before the first
import of a module that loads it. Loading it pulls in the system's GDAL, the
one the plugin was built for; a GDAL of another build in the process (a
wheel's own copy) cannot take it, and a warning then says what to do.
"""

from __future__ import annotations

import ctypes
import importlib.abc
import pathlib
import sys
import threading
import warnings

from . import _lib

PLUGIN = "gdal_varda.so"
# Modules whose import loads GDAL.
GDAL_MODULES = frozenset({"rasterio", "rioxarray", "osgeo", "fiona"})

_lock = threading.Lock()
_state: dict[str, object] = {}


def plugin_path() -> pathlib.Path | None:
    """The plugin this package loads, or None when it is not built."""
    for folder in _lib.search_dirs():
        candidate = folder / "gdalplugins" / PLUGIN
        if candidate.is_file():
            return candidate
    return None


def _gdal_libraries() -> set[str]:
    """The GDAL libraries mapped into this process, by path."""
    found = set()
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            for line in maps:
                fields = line.split()
                name = fields[-1] if len(fields) >= 6 else ""
                base = name.rpartition("/")[2]
                if base.startswith("libgdal") and ".so" in base:
                    found.add(name)
    except OSError:
        pass
    return found


def _warn_once(text: str) -> None:
    if not _state.get("warned"):
        _state["warned"] = True
        warnings.warn(text, RuntimeWarning, stacklevel=3)


def register() -> bool:
    """Registers the varda codec with the GDAL of this process (loading the
    system's GDAL if none is loaded yet); True when GDAL can then decode and
    write varda stores. Safe to call again; warns once when it cannot."""
    with _lock:
        if "registered" in _state:
            return bool(_state["registered"])
        path = plugin_path()
        if path is None:
            _state["registered"] = False
            _warn_once("varda: the GDAL plugin is not built, so GDAL cannot read varda stores: "
                       "run `make python` (or set GDAL_DRIVER_PATH to a folder holding "
                       f"{PLUGIN})")
            return False
        before = _gdal_libraries()
        try:
            plugin = ctypes.CDLL(str(path), mode=ctypes.RTLD_LOCAL)
            plugin.GDALRegister_varda()
        except (OSError, AttributeError) as e:
            _state["registered"] = False
            _warn_once(f"varda: the GDAL plugin {path} cannot be loaded ({e}): set "
                       f"GDAL_DRIVER_PATH={path.parent} before GDAL starts, with a GDAL of the "
                       "build the plugin was made for")
            return False
        _state["plugin"] = plugin
        after = _gdal_libraries()
        if before and not before >= after:
            # The plugin brought a GDAL of its own beside the one in use.
            _state["registered"] = False
            _warn_once(f"varda: the GDAL in this process ({', '.join(sorted(before))}) is not "
                       f"the one the plugin was built for ({', '.join(sorted(after - before))}), "
                       "so it cannot read varda stores: use the system's GDAL (Debian's "
                       "python3-rasterio and python3-gdal), or write GeoTIFFs with "
                       "`varda decompress`")
            return False
        _state["registered"] = True
        return True


class _BeforeGdal(importlib.abc.MetaPathFinder):
    """Registers the codec just before the first module that loads GDAL is
    imported, then steps aside; it finds no module itself."""

    def find_spec(self, name, path, target=None):
        if name.partition(".")[0] in GDAL_MODULES:
            with _lock:
                if self in sys.meta_path:
                    sys.meta_path.remove(self)
            register()
        return None


def install() -> None:
    """On import of varda: register now where GDAL is loaded, else before
    the first module that loads it."""
    if _gdal_libraries() or GDAL_MODULES & set(sys.modules):
        register()
    elif not any(isinstance(f, _BeforeGdal) for f in sys.meta_path):
        sys.meta_path.insert(0, _BeforeGdal())
