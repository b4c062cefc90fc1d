"""Where a store lives: a local folder or zip file, any Zarr store or
mapping (zarr's MemoryStore, an fsspec mapper), or an fsspec URL
("memory://", "file://", "http(s)://" for reading, "s3://" and the rest
where the filesystem's package is installed). A text with a scheme is a
URL, never a local path.

Every store is read and written through `Store`, which says which store
and key failed, never takes a failure to reach a store for a missing key
(as zarr's fsspec store does), and, for the raster of a complete store,
refuses a missing tile and a tile whose recorded place is not the one it
is read for, naming the chunk.
"""

from __future__ import annotations

import json
import math
import os
import re
from collections.abc import MutableMapping

import zarr

from ._lib import CorruptTile, VardaError

_SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*://")
_META = (".zarray", ".zgroup", ".zattrs", ".zmetadata")
# Filesystems that cannot list a folder: presence is learnt tile by tile.
_UNLISTED = ("http", "https")


class StoreError(OSError):
    """A store is missing, unreadable, or one of its chunks is corrupt."""


class MisplacedTile(CorruptTile):
    """A tile that is not the chunk it is read as (its message names the
    chunk): of another dtype or shape, or recorded at another place."""


def is_url(path) -> bool:
    return isinstance(path, str) and bool(_SCHEME.match(path))


def is_local(path) -> bool:
    """A local path, which a folder or zip store is written under by rename."""
    return isinstance(path, (str, os.PathLike)) and not is_url(os.fspath(path))


def _mapping_name(m) -> str:
    """A store object as a message names it."""
    fs = getattr(m, "fs", None)
    root = getattr(m, "root", None) or getattr(m, "path", None)
    if fs is not None and root is not None:
        protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
        return root if "://" in str(root) else f"{protocol}://{root}"
    if isinstance(root, str):
        return root
    return f"the {type(m).__name__}"


def _cause(e: BaseException) -> str:
    text = str(e) or type(e).__name__
    return text if isinstance(e, OSError) else f"{type(e).__name__}: {text}"


class Chunks:
    """The chunks of one array of a store: their keys, and what a read of
    one is checked for."""

    def __init__(self, z, strict: bool, array: int | None):
        self.prefix = f"{z.path}/" if z.path else ""
        self.separator = getattr(z, "_dimension_separator", None) or "."
        self.shape, self.chunks = tuple(z.shape), tuple(z.chunks)
        self.counts = tuple(math.ceil(n / c) for n, c in zip(z.shape, z.chunks))
        self.dtype, self.order = z.dtype, z.order
        self.family = getattr(z.compressor, "family", None)
        self.strict, self.array = strict, array

    def key(self, idx) -> str:
        return self.prefix + self.separator.join(map(str, idx))

    def index(self, key: str):
        """The chunk index a key names, or None for any other key."""
        if not key.startswith(self.prefix):
            return None
        parts = key[len(self.prefix):].split(self.separator)
        if len(parts) != len(self.counts) or not all(p.isdigit() for p in parts):
            return None
        idx = tuple(int(p) for p in parts)
        return idx if all(i < n for i, n in zip(idx, self.counts)) else None

    def selection(self, idx):
        return tuple(slice(i * c, min((i + 1) * c, n))
                     for i, c, n in zip(idx, self.chunks, self.shape))

    def describe(self, idx) -> str:
        from .store import describe_chunk

        return describe_chunk(idx, self.selection(idx))

    def problem(self, idx, blob) -> str | None:
        """Why `blob` is not the chunk at `idx`, from its header: its
        dtype and shape, and the place its writer recorded."""
        from .codec import peek_info, tile_misplaced, tile_mismatch

        try:
            info = peek_info(blob)
        except CorruptTile as e:
            return str(e)
        return tile_mismatch(info, self.dtype, self.chunks, self.order, self.family) or \
            tile_misplaced(info, idx, self.array)


class Store(zarr.storage.Store):
    """A store as varda reads and writes it (see the module's text)."""

    def __init__(self, inner: MutableMapping, name: str, listed: bool = True,
                 owned: bool = False):
        self.inner, self.name, self.listed, self.owned = inner, name, listed, owned
        self.check: Chunks | None = None

    def __getstate__(self):
        return self.__dict__

    def __setstate__(self, state):
        self.__dict__.update(state)

    def __getitem__(self, key):
        try:
            value = self.inner[key]
        except KeyError:
            idx = self.check.index(key) if self.check else None
            if idx is not None and self.check.strict:
                raise StoreError(f"{self.name}: {self.check.describe(idx)}: the chunk is missing "
                                 "from the store; a store written by varda holds every tile "
                                 "(open it with partial=True to read the others, with fill "
                                 "values here)") from None
            raise
        except (StoreError, VardaError):
            raise
        except Exception as e:  # noqa: BLE001 - whatever the filesystem raised, named
            raise StoreError(f"{self.name}: cannot read {key}: {_cause(e)}") from None
        idx = self.check.index(key) if self.check else None
        if idx is not None:
            wrong = self.check.problem(idx, value)
            if wrong:
                raise MisplacedTile(f"{self.check.describe(idx)}: {wrong}")
        return value

    def get_raw(self, key):
        """A key's bytes with no chunk checks; KeyError when missing."""
        try:
            return self.inner[key]
        except KeyError:
            raise
        except Exception as e:  # noqa: BLE001
            raise StoreError(f"{self.name}: cannot read {key}: {_cause(e)}") from None

    def __contains__(self, key):
        if key.rsplit("/", 1)[-1] in _META:
            # Asked of the store itself, so that a store that cannot be
            # reached says so instead of seeming empty (fsspec's HTTP
            # filesystem answers False to any failure).
            try:
                self.get_raw(key)
            except KeyError:
                return False
            return True
        try:
            return key in self.inner
        except Exception as e:  # noqa: BLE001
            raise StoreError(f"{self.name}: cannot read {key}: {_cause(e)}") from None

    def __setitem__(self, key, value):
        try:
            self.inner[key] = value
        except Exception as e:  # noqa: BLE001
            raise StoreError(f"{self.name}: cannot write {key}: {_cause(e)}") from None

    def __delitem__(self, key):
        try:
            del self.inner[key]
        except KeyError:
            raise
        except Exception as e:  # noqa: BLE001
            raise StoreError(f"{self.name}: cannot remove {key}: {_cause(e)}") from None

    def __iter__(self):
        return iter(self.inner)

    def __len__(self):
        return len(self.inner)

    def keys(self):
        return self.inner.keys()

    def listdir(self, path: str = ""):
        lister = getattr(self.inner, "listdir", None)
        if lister is not None:
            return lister(path)
        fs = getattr(self.inner, "fs", None)
        if fs is not None:
            root = self.inner._key_to_str(path) if path else self.inner.root
            try:
                return sorted(p.rstrip("/").rsplit("/", 1)[-1] for p in fs.ls(root, detail=False))
            except (FileNotFoundError, NotADirectoryError):
                return []
        return super().listdir(path)

    def rmdir(self, path: str = ""):
        remover = getattr(self.inner, "rmdir", None)
        if remover is not None:
            return remover(path)
        return super().rmdir(path)

    def close(self):
        if self.owned and hasattr(self.inner, "close"):
            self.inner.close()

    def holds_anything(self) -> bool:
        if any(k in self for k in _META):
            return True
        try:
            return next(iter(self.inner), None) is not None
        except Exception:  # noqa: BLE001 - a store that cannot list is judged by its metadata
            return False

    def chunk_keys(self, check: Chunks) -> set | None:
        """The chunk keys present for the array, when the store can list
        them; None when it cannot (HTTP)."""
        if not self.listed:
            return None
        try:
            if check.separator == ".":
                names = self.listdir(check.prefix.rstrip("/"))
                return {check.prefix + n for n in names}
            return {k for k in self.keys() if k.startswith(check.prefix)}
        except Exception as e:  # noqa: BLE001
            raise StoreError(f"{self.name}: cannot list the tiles: {_cause(e)}") from None


def open_store(path, mode: str) -> Store:
    """The store at `path` (see the module's text), for reading ("r") or
    writing ("w")."""
    if isinstance(path, Store):
        return path
    if isinstance(path, MutableMapping):
        fs = getattr(path, "fs", None)
        protocol = getattr(fs, "protocol", None)
        protocol = protocol if isinstance(protocol, str) or protocol is None else protocol[0]
        return Store(path, _mapping_name(path), listed=protocol not in _UNLISTED)
    if not isinstance(path, (str, os.PathLike)):
        raise VardaError(f"a store is a path, a URL or a Zarr store (a mapping), not a "
                         f"{type(path).__name__}")
    text = os.fspath(path)
    if is_url(text):
        return _url_store(text, mode)
    if text.endswith(".zip"):
        import zipfile

        try:
            return Store(zarr.ZipStore(text, mode=mode), text, owned=True)
        except zipfile.BadZipFile as e:
            raise StoreError(f"{text}: not a zip file, or one whose writing did not finish "
                             f"({e})") from None
        except FileNotFoundError:
            raise StoreError(f"{text}: no such store") from None
    if mode == "r" and not os.path.isdir(text):
        raise StoreError(f"{text}: no such store")
    return Store(zarr.DirectoryStore(text), text)


def _url_store(url: str, mode: str) -> Store:
    try:
        import fsspec

        protocol = fsspec.core.split_protocol(url)[0]
        fsspec.get_filesystem_class(protocol)
    except ImportError as e:
        raise StoreError(f"{url}: this URL needs a filesystem package that is not installed "
                         f"({e})") from None
    except ValueError as e:
        raise StoreError(f"{url}: no filesystem takes this URL ({e})") from None
    if mode != "r" and protocol in _UNLISTED:
        raise StoreError(f"{url}: an {protocol} URL is read-only; write the store elsewhere and "
                         "serve it")
    try:
        mapper = fsspec.get_mapper(url)
    except Exception as e:  # noqa: BLE001 - the filesystem's own words
        raise StoreError(f"{url}: cannot open the store: {_cause(e)}") from None
    return Store(mapper, url, listed=protocol not in _UNLISTED)


def read_json(store: Store, key: str):
    """A metadata key's JSON (UTF-8), or None when the key is missing;
    ValueError when it is not JSON."""
    try:
        raw = store.get_raw(key)
    except KeyError:
        return None
    return json.loads(bytes(raw).decode("utf-8"))
