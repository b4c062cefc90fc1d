"""Stores anywhere: any Zarr store or mapping and fsspec URLs, read over
HTTP from a server on 127.0.0.1 that each test starts and stops; lost,
moved and foreign tiles refused; `varda verify`; consolidated metadata
compared with the files it copies."""

import contextlib
import errno
import functools
import http.server
import io
import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import threading
import time

import dask
import fsspec
import numpy as np
import pytest
import zarr

import varda
from conftest import smooth_array
from varda.cli import main


class _Handler(http.server.SimpleHTTPRequestHandler):
    """Serves a folder; counts the requests in flight, and holds each tile
    request a little so that parallel reads overlap."""

    def __init__(self, *args, server_state, **kwargs):
        self.state = server_state
        super().__init__(*args, **kwargs)

    def log_message(self, *args):
        pass

    def do_GET(self):
        state = self.state
        with state["lock"]:
            state["in_flight"] += 1
            state["most"] = max(state["most"], state["in_flight"])
        try:
            short = state.get("short")
            if short and self.path.endswith(short):
                # A reply that promises more bytes than it sends.
                self.send_response(200)
                self.send_header("Content-Length", "4096")
                self.end_headers()
                self.wfile.write(b"VRDT")
                self.close_connection = True
                return
            if "/raster/" in self.path and not self.path.endswith((".zarray", ".zattrs")):
                time.sleep(state.get("delay", 0))
            super().do_GET()
        finally:
            with state["lock"]:
                state["in_flight"] -= 1


@contextlib.contextmanager
def serving(folder):
    """An HTTP server for `folder` on 127.0.0.1, for the block's length."""
    state = {"lock": threading.Lock(), "in_flight": 0, "most": 0}
    handler = functools.partial(_Handler, directory=str(folder), server_state=state)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                              daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}", state
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)


def _cli(*args, code=0):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        assert main(list(args)) == code, err.getvalue()
    if code:
        assert err.getvalue().startswith("varda: ") and "Traceback" not in err.getvalue()
    return out.getvalue(), err.getvalue()


@pytest.fixture
def raster(rng):
    return smooth_array(rng, "uint16", (100, 90), noise=3)


def test_any_zarr_store_or_url_round_trips_and_nothing_lands_in_the_working_folder(
        raster, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fsspec.filesystem("memory").rm("/", recursive=True)
    targets = {
        "zarr MemoryStore": zarr.MemoryStore(),
        "fsspec mapper": fsspec.get_mapper("memory://mapped/s.zarr"),
        "memory URL": "memory://bucket/s.zarr",
        "file URL": f"file://{tmp_path}/elsewhere/s.zarr",
        "dict": {},
    }
    for what, target in targets.items():
        codec = varda.compress(raster, target, tile=32)
        assert codec.dtype == "uint16", what
        assert np.array_equal(varda.open(target).compute(), raster), what
        summary = varda.info(target)
        assert summary["every_tile"] and summary["tiles_placed"] == 12, what
        assert varda.verify_store(target)["sound"], what
        varda.decompress(target, tmp_path / "out.npy")
        assert np.array_equal(np.load(tmp_path / "out.npy"), raster), what
        os.remove(tmp_path / "out.npy")
        with pytest.raises(FileExistsError, match="already holds a store"):
            varda.compress(raster, target, tile=32)
    # The file URL wrote where it says; nothing else was made here.
    assert sorted(os.listdir(tmp_path)) == ["elsewhere"]
    assert (tmp_path / "elsewhere" / "s.zarr" / "raster" / ".zarray").exists()
    # The command line takes URLs as well.
    _cli("compress", str(_npy(tmp_path, raster)), "memory://cli/s.zarr", "--tile", "32")
    out, _ = _cli("info", "memory://cli/s.zarr")
    assert "every one there" in out
    assert sorted(os.listdir(tmp_path)) == ["elsewhere", "in.npy"]


def _npy(folder, a):
    path = pathlib.Path(folder) / "in.npy"
    np.save(path, a)
    return path


def test_reading_over_http_by_varda_xarray_dask_and_gdal(raster, tmp_path):
    varda.compress(raster, tmp_path / "s.zarr", tile=32,
                   meta=varda.raster.Meta(crs="EPSG:4326", transform=(1, 0, 10, 0, -1, 50)))
    with serving(tmp_path) as (base, state):
        url = f"{base}/s.zarr"
        state["delay"] = 0.05
        lazy = varda.open(url)
        with dask.config.set(scheduler="threads", num_workers=4):
            assert np.array_equal(lazy.compute(), raster)
        # The tiles were fetched in parallel.
        assert state["most"] >= 2
        state["delay"] = 0
        import xarray

        ds = xarray.open_zarr(url)
        assert np.array_equal(ds["raster"].values, raster)
        assert ds["x"].values[0] == 10.5
        assert varda.info(url)["tiles"] == 12
        assert varda.verify_store(url)["sound"]
        out, _ = _cli("verify", url)
        assert out.count("\n") == 1 and "12 tiles, every one there and sound" in out
        _cli("decompress", url, str(tmp_path / "back.npy"))
        assert np.array_equal(np.load(tmp_path / "back.npy"), raster)
        plugin = os.environ.get("VARDA_GDAL_PLUGIN_DIR") or str(
            pathlib.Path(__file__).resolve().parents[2] / "build" / "gdalplugins")
        if shutil.which("gdal_translate") and (pathlib.Path(plugin) / "gdal_varda.so").exists():
            run = subprocess.run(["gdal_translate", "-q", f"/vsicurl/{url}",
                                  str(tmp_path / "gdal.tif")], capture_output=True, text=True,
                                 env={**os.environ, "GDAL_DRIVER_PATH": plugin}, timeout=120)
            assert run.returncode == 0, run.stderr
            back, meta = varda.raster.read(tmp_path / "gdal.tif")
            assert np.array_equal(back[0], raster) and meta.transform[2] == 10


def test_lost_and_damaged_tiles_over_http_are_refused_by_name(raster, tmp_path):
    varda.compress(raster, tmp_path / "s.zarr", tile=32)
    tiles = tmp_path / "s.zarr" / "raster"
    os.remove(tiles / "1.2")
    blob = (tiles / "2.0").read_bytes()
    (tiles / "2.0").write_bytes(blob[:-5])
    with serving(tmp_path) as (base, state):
        url = f"{base}/s.zarr"
        # Over HTTP nothing lists the tiles: the missing one is refused as
        # it is read, and a short one fails its own check.
        with pytest.raises(varda.StoreError, match=r"chunk 1\.2 \(rows 32\.\.63, columns 64\.\.89\)"
                                                   ": the chunk is missing"):
            varda.open(url)[:60].compute()
        with pytest.raises(varda.CorruptTile, match="corrupt tile"):
            varda.open(url)[64:].compute()
        part = varda.open(url, partial=True)[:60].compute()
        assert (part[32:60, 64:] == 0).all() and np.array_equal(part[:32], raster[:32])
        out, err = _cli("verify", url, code=1)
        assert "raster/1.2: chunk 1.2 (rows 32..63, columns 64..89): missing from the store" in out
        assert "raster/2.0: chunk 2.0 (rows 64..95, columns 0..31): corrupt tile" in out
        assert "2 of 12 tiles are bad" in err
        report = json.loads(_cli("verify", url, "--json", code=1)[0])
        assert [t["key"] for t in report["bad_tiles"]] == ["raster/1.2", "raster/2.0"]
        _cli("info", url, code=1)
        # A reply cut short is a failure to read, never a missing tile.
        (tiles / "1.2").write_bytes(blob)
        state["short"] = "/raster/0.1"
        with pytest.raises(varda.StoreError, match="cannot read raster/0.1"):
            varda.open(url, partial=True)[:32].compute()
    # The local store says the same, naming the tile as it is opened.
    with pytest.raises(varda.StoreError, match="chunk 2.0 .*missing"):
        os.remove(tiles / "2.0")
        varda.open(tmp_path / "s.zarr")


def test_a_store_that_cannot_be_reached_says_so(tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    url = f"http://127.0.0.1:{port}/s.zarr"
    with pytest.raises(varda.StoreError, match=f"{url}: cannot read"):
        varda.open(url)
    for command in ("info", "verify"):
        _, err = _cli(command, url, code=1)
        assert err.count("\n") == 1 and "cannot read" in err
    with serving(tmp_path) as (base, _):
        _, err = _cli("info", f"{base}/nothing.zarr", code=1)
        assert "no such store" in err
        _, err = _cli("compress", str(_npy(tmp_path, np.zeros((4, 4), "u1"))),
                      f"{base}/new.zarr", code=1)
        assert "read-only" in err
    _, err = _cli("info", "nosuchscheme://x/s.zarr", code=1)
    assert "no filesystem takes this URL" in err


def _edit_json(store, key, change):
    meta = json.loads(bytes(store[key]))
    change(meta)
    store[key] = json.dumps(meta).encode()


LIES = [
    ("raster/.zarray", lambda m: m.update(dtype="<i2"), "the codec codes uint16 chunks"),
    ("raster/.zarray", lambda m: m.update(chunks=[16, 32]), "the codec's chunks are [32, 32]"),
    ("raster/.zarray", lambda m: m.update(shape=[100]), "the array is 1-D"),
]


@pytest.mark.parametrize("kind", ["folder", "zip", "memory", "http"])
def test_metadata_that_lies_is_refused_over_every_kind_of_store(raster, tmp_path, kind):
    for i, (key, change, message) in enumerate(LIES):
        if kind == "zip":
            target = tmp_path / f"s{i}.zip"
        elif kind == "memory":
            target = f"memory://lies{i}/s.zarr"
        else:
            target = tmp_path / f"s{i}.zarr"
        varda.compress(raster, target, tile=32)
        if kind == "zip":
            folder = zarr.MemoryStore()
            with zarr.ZipStore(str(target), mode="r") as z:
                zarr.copy_store(z, folder)
            _edit_json(folder, key, change)
            zarr.consolidate_metadata(folder)
            os.remove(target)
            with zarr.ZipStore(str(target), mode="w") as z:
                zarr.copy_store(folder, z)
        else:
            store = fsspec.get_mapper(target) if isinstance(target, str) else \
                zarr.DirectoryStore(str(target))
            _edit_json(store, key, change)
            zarr.consolidate_metadata(store)
        if kind == "http":
            with serving(tmp_path) as (base, _):
                with pytest.raises(varda.StoreError, match=re.escape(message)):
                    varda.open(f"{base}/s{i}.zarr")
        else:
            with pytest.raises(varda.StoreError, match=re.escape(message)):
                varda.open(target)
            _, err = _cli("info", str(target), code=1)
            assert message in err


class _ReadOnly(dict):
    """A mapping whose writes fail as on a read-only file system."""

    def __setitem__(self, key, value):
        raise OSError(errno.EROFS, os.strerror(errno.EROFS), key)


class _Failing(dict):
    """A mapping whose writes fail after `room` of them, and whose removals
    fail when `stuck`."""

    def __init__(self, room, stuck=False):
        super().__init__()
        self.room, self.stuck = room, stuck

    def __setitem__(self, key, value):
        if key != ".zattrs" and len(self) >= self.room:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), key)
        super().__setitem__(key, value)

    def __delitem__(self, key):
        if self.stuck:
            raise PermissionError(errno.EACCES, "not allowed", key)
        super().__delitem__(key)


def test_a_failed_write_reads_as_nothing_on_any_store(raster, tmp_path):
    with pytest.raises(varda.StoreError, match="cannot write .zgroup: .*Read-only file system"):
        varda.compress(raster, _ReadOnly(), tile=32)
    # Out of room half-way: what was written is removed.
    full = _Failing(room=8)
    with pytest.raises(varda.StoreError, match="No space left"):
        varda.compress(raster, full, tile=32)
    assert dict(full) == {}
    # Nothing can be removed: the mark says the writing failed, and the
    # store is refused as unfinished.
    stuck = _Failing(room=8, stuck=True)
    with pytest.raises(varda.StoreError):
        varda.compress(raster, stuck, tile=32)
    assert json.loads(stuck[".zattrs"])["varda"]["complete"] is False
    with pytest.raises(varda.StoreError, match=r"writing failed \(.*No space left"):
        varda.open(stuck)
    with pytest.raises(varda.StoreError, match="writing failed"):
        varda.info(stuck)
    report = varda.verify_store(stuck)
    assert not report["sound"] and "failed" in report["problems"][0]
    assert varda.open(stuck, partial=True).shape == raster.shape
    # A dask source written into a store of this process's memory.
    import dask.array as da

    mem = zarr.MemoryStore()
    varda.compress(da.from_array(raster, chunks=50), mem, tile=32)
    assert np.array_equal(varda.open(mem).compute(), raster)


class _Recording(dict):
    def __init__(self):
        super().__init__()
        self.order = []

    def __setitem__(self, key, value):
        self.order.append((key, json.loads(value)["varda"]["complete"] if key == ".zattrs"
                           else None))
        super().__setitem__(key, value)


def test_a_store_that_cannot_be_renamed_is_marked_complete_last(raster):
    store = _Recording()
    varda.compress(raster, store, tile=32)
    keys = [k for k, _ in store.order]
    first_tile = keys.index("raster/0.0")
    assert (".zattrs", False) in store.order[:first_tile]
    assert store.order[-1] == (".zattrs", True)
    assert keys.index(".zmetadata") < len(keys) - 1
    assert varda.verify_store(store)["sound"]


def test_tiles_moved_or_copied_from_another_store_are_refused(raster, tmp_path):
    one, other = tmp_path / "one.zarr", tmp_path / "other.zarr"
    varda.compress(raster, one, tile=32)
    varda.compress(raster[::-1].copy(), other, tile=32)
    shutil.copy(other / "raster" / "1.1", one / "raster" / "1.1")
    shutil.copy(one / "raster" / "0.0", one / "raster" / "0.1")
    with pytest.raises(varda.CorruptTile, match=r"chunk 0\.1 .*written as chunk 0\.0"):
        varda.open(one).compute()
    with pytest.raises(varda.CorruptTile, match=r"chunk 1\.1 .*another array"):
        varda.open(one)[40:50, 40:50].compute()
    out, _ = _cli("verify", str(one), code=1)
    assert "raster/0.1: chunk 0.1 (rows 0..31, columns 32..63): the tile was written as chunk " \
        "0.0, not 0.1" in out
    assert "raster/1.1: chunk 1.1 (rows 32..63, columns 32..63): the tile was written for " \
        "another array" in out
    _, err = _cli("info", str(one), code=1)
    assert "chunk 0.1" in err
    # Stores written without places read, and verify, as before.
    plain = tmp_path / "plain.zarr"
    varda.compress(raster, plain, tile=32, places=False)
    assert varda.read_info((plain / "raster" / "0.0").read_bytes()).version == 1
    shutil.copy(plain / "raster" / "0.0", plain / "raster" / "0.1")
    assert varda.verify_store(plain)["sound"]


def test_verify_says_a_store_is_sound_in_one_line_and_shows_progress_on_large_ones(
        rng, tmp_path, monkeypatch):
    data = smooth_array(rng, "int16", (130, 140))
    varda.compress(data, tmp_path / "s.zarr", tile=16)
    out, err = _cli("verify", str(tmp_path / "s.zarr"))
    assert out == f"{tmp_path / 's.zarr'}: 81 tiles, every one there and sound (checksum, " \
        "dtype, shape, width, position)\n" and err == ""
    seen = []
    monkeypatch.setattr(varda.cli._Bar, "start", lambda self, total: seen.append(total))
    _cli("verify", str(tmp_path / "s.zarr"))
    assert seen == [81]
    report = json.loads(_cli("verify", str(tmp_path / "s.zarr"), "--json")[0])
    assert report["sound"] and report["checked"] == 81 and report["bad_tiles"] == []


def test_consolidated_metadata_that_differs_from_the_files_is_refused_by_field(raster, tmp_path):
    path = tmp_path / "s.zarr"
    varda.compress(raster, path, tile=32)
    # zarr's own API rewrites the file and leaves the consolidated copy.
    zarr.open_array(str(path / "raster"), mode="r+").attrs["nodata"] = 7
    message = ("raster/.zattrs and its copy in .zmetadata differ in nodata (7 in raster/.zattrs, "
               "null in .zmetadata)")
    with pytest.raises(varda.StoreError, match=re.escape(message)):
        varda.open(path)
    _, err = _cli("info", str(path), code=1)
    assert message in err
    out, _ = _cli("verify", str(path), code=1)
    assert message in out
    zarr.consolidate_metadata(str(path))
    assert varda.open(path).compute()[0, 0] == raster[0, 0]
    # A field deep in the codec's product, edited in the file only.
    meta = json.loads((path / "raster" / ".zarray").read_text())
    meta["compressor"]["product"]["zstd_level"] = 9
    (path / "raster" / ".zarray").write_text(json.dumps(meta))
    with pytest.raises(varda.StoreError, match="differ in compressor.product.zstd_level"):
        varda.open(path)


def test_band_coordinates_of_a_netcdf_are_kept(rng, tmp_path):
    from scipy.io import netcdf_file
    import xarray

    temp = rng.normal(10, 2, (4, 5, 6)).astype("float32")
    with netcdf_file(str(tmp_path / "ocean.nc"), "w") as f:
        f.createDimension("depth", 4)
        f.createDimension("lat", 5)
        f.createDimension("lon", 6)
        depth = f.createVariable("depth", "f8", ("depth",))
        depth[:] = [0, 10.5, 50, 200]
        depth.units = "m"
        for name, n in (("lat", 5), ("lon", 6)):
            f.createVariable(name, "f8", (name,))[:] = np.arange(n)
        f.createVariable("temp", "f4", ("depth", "lat", "lon"))[:] = temp
    _cli("compress", str(tmp_path / "ocean.nc"), str(tmp_path / "s.zarr"))
    ds = xarray.open_zarr(str(tmp_path / "s.zarr"))
    assert ds["raster"].dims == ("depth", "y", "x")
    assert ds["depth"].values.tolist() == [0, 10.5, 50, 200]
    assert ds["depth"].attrs["units"] == "m"
    # Each depth's samples stay that depth's (GDAL may turn the rows over).
    for level in range(4):
        assert np.array_equal(np.sort(ds["raster"].values[level], None), np.sort(temp[level], None))
    # Two such dimensions: each one's values along the bands.
    with netcdf_file(str(tmp_path / "two.nc"), "w") as f:
        for name, n in (("time", 2), ("depth", 3), ("lat", 5), ("lon", 6)):
            f.createDimension(name, n)
        f.createVariable("time", "i4", ("time",))[:] = [100, 200]
        f.createVariable("depth", "f8", ("depth",))[:] = [0, 10.5, 50]
        for name, n in (("lat", 5), ("lon", 6)):
            f.createVariable(name, "f8", (name,))[:] = np.arange(n)
        f.createVariable("temp", "f4", ("time", "depth", "lat", "lon"))[:] = \
            rng.normal(size=(2, 3, 5, 6))
    _cli("compress", str(tmp_path / "two.nc"), str(tmp_path / "t.zarr"))
    ds = xarray.open_zarr(str(tmp_path / "t.zarr"))
    assert ds["raster"].dims == ("band", "y", "x")
    assert ds["time"].values.tolist() == [100, 100, 100, 200, 200, 200]
    assert ds["depth"].values.tolist() == [0, 10.5, 50] * 2
    assert ds["band"].values.tolist() == list(range(1, 7))
