"""Outputs appear whole or not at all: full disks, killed and racing writers."""

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import zipfile

import numpy as np
import pytest

import varda
import zarr
from varda import _output, store
from varda.cli import main
from conftest import random_array, smooth_array
from test_cli import write_tif

VARDA = [sys.executable, "-m", "varda"]


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A raster that takes a second or so to write, as a GeoTIFF and a store."""
    folder = tmp_path_factory.mktemp("big")
    data = smooth_array(np.random.default_rng(7), "uint16", (2048, 2048), noise=20)
    write_tif(folder / "in.tif", data[None])
    varda.compress(data, folder / "in.zarr", tile=64)
    return folder, data


def _reads_as(path, data) -> bool:
    if path.suffix == ".npy":
        got = np.load(path)
    elif path.suffix == ".tif":
        import rasterio

        with rasterio.open(path) as src:
            got = src.read(1)
    else:
        got = varda.open(path).compute()
    return np.array_equal(got, data)


# ---- a full disk ----------------------------------------------------------------

# Runs a command with its output on a fresh tmpfs of the given size, in a
# mount namespace of its own, and reports what the tmpfs holds afterwards.
SMALL_DISK = textwrap.dedent("""
    import json, os, subprocess, sys
    disk, size, *command = sys.argv[1:]
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", disk], check=True)
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    print(json.dumps({"rc": done.returncode, "err": done.stderr, "left": os.listdir(disk)}))
""")

# Runs a command that may write no file beyond the given size; a write past
# it fails as on a full disk (EFBIG), which needs no privileges.
SIZE_LIMIT = textwrap.dedent("""
    import os, resource, signal, sys
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    limit = int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    os.execv(sys.argv[2], sys.argv[2:])
""")


def _on_small_disk(disk, size, *command):
    disk.mkdir()
    if size.endswith("k"):
        if shutil.which("unshare") is None:
            pytest.skip("no unshare(1) to make a small disk with")
        done = subprocess.run(["unshare", "-m", sys.executable, "-c", SMALL_DISK, str(disk), size,
                               *command], capture_output=True, text=True, timeout=180)
        if done.returncode != 0:
            pytest.skip(f"cannot mount a small tmpfs here: {done.stderr.strip()[-200:]}")
        return json.loads(done.stdout)
    done = subprocess.run([sys.executable, "-c", SIZE_LIMIT, size, *command], capture_output=True,
                          text=True, timeout=120)
    return {"rc": done.returncode, "err": done.stderr, "left": os.listdir(disk)}


@pytest.mark.parametrize("command,output,size", [
    ("decompress", "out.tif", "128k"),    # GDAL only logged its failures: exit 0, a corrupt file
    ("decompress", "out.tif", "131072"),
    ("decompress", "out.npy", "128k"),    # a mapped file: SIGBUS, a sparse file left
    ("decompress", "out.npy", "131072"),
    ("compress", "out.zip", "128k"),      # the half-written zip was left behind
    ("compress", "out.zip", "131072"),
    ("compress", "out.zarr", "128k"),     # (a size limit is per file, above any tile's)
])
def test_a_full_disk_exits_1_and_leaves_nothing(tmp_path, command, output, size):
    data = random_array(np.random.default_rng(3), "uint16", (1, 400, 400))
    write_tif(tmp_path / "in.tif", data)
    varda.compress(data[0], tmp_path / "in.zarr", tile=128)
    source = tmp_path / ("in.tif" if command == "compress" else "in.zarr")
    disk = tmp_path / "disk"
    result = _on_small_disk(disk, size, *VARDA, command, str(source), str(disk / output))
    assert result["rc"] == 1, result
    full = "No space left on device" if size.endswith("k") else "File too large"
    assert result["err"].startswith("varda: ") and full in result["err"], result
    assert "Traceback" not in result["err"] and result["err"].count("\n") == 1
    assert result["left"] == []


def test_an_unfinished_or_foreign_zip_gives_a_message(tmp_path, capsys):
    data = smooth_array(np.random.default_rng(1), "int16", (200, 200))
    varda.compress(data, tmp_path / "s.zip", tile=64)
    whole = (tmp_path / "s.zip").read_bytes()
    (tmp_path / "cut.zip").write_bytes(whole[:len(whole) // 2])
    (tmp_path / "text.zip").write_text("not a zip")
    for name in ("cut.zip", "text.zip"):
        assert main(["info", str(tmp_path / name)]) == 1
        assert "not a zip file" in capsys.readouterr().err


# ---- the completion mark ----------------------------------------------------------


def _set_mark(path, complete):
    attrs = json.loads((path / ".zattrs").read_text())
    if complete is None:
        del attrs["varda"]["complete"]
    else:
        attrs["varda"]["complete"] = complete
    (path / ".zattrs").write_text(json.dumps(attrs))
    # As such a store's writer left it: its consolidated copy the same.
    zarr.consolidate_metadata(str(path))


@pytest.mark.parametrize("complete,opens", [
    (True, True),
    (None, True),     # written before the mark existed
    (False, False),   # a writer that stopped midway
])
def test_a_store_whose_writing_did_not_finish_is_refused(tmp_path, complete, opens):
    data = smooth_array(np.random.default_rng(2), "uint16", (130, 100))
    path = tmp_path / "s.zarr"
    varda.compress(data, path, tile=64)
    _set_mark(path, complete)
    if opens:
        assert np.array_equal(varda.open(path).compute(), data)
    else:
        with pytest.raises(varda.StoreError, match="did not finish.*partial=True"):
            varda.open(path)
        assert main(["info", str(path)]) == 1
    assert np.array_equal(varda.open(path, partial=True).compute(), data)


def test_a_store_says_it_is_unfinished_while_it_is_written(tmp_path):
    data = smooth_array(np.random.default_rng(2), "uint16", (256, 256))
    seen = []

    def peek(_n):
        [temp] = tmp_path.glob(".s.zarr.*.part")
        with pytest.raises(varda.StoreError, match="did not finish"):
            varda.open(temp)
        seen.append(varda.open(temp, partial=True).shape)

    varda.compress(data, tmp_path / "s.zarr", tile=64, threads=1, progress=peek)
    assert seen == [data.shape] * 16 and not list(tmp_path.glob(".*.part"))
    assert np.array_equal(varda.open(tmp_path / "s.zarr").compute(), data)


# ---- killed writers -------------------------------------------------------------


def _stop_midway(args, folder, signum, delay):
    """Starts a command, sends it `signum` `delay` seconds after its first
    output appears in `folder`; returns its exit status and messages."""
    proc = subprocess.Popen(VARDA + args, stderr=subprocess.PIPE, text=True)
    started = time.monotonic()
    while not os.listdir(folder) and proc.poll() is None and time.monotonic() - started < 60:
        time.sleep(0.002)
    time.sleep(delay)
    proc.send_signal(signum)
    return proc.wait(timeout=60), proc.stderr.read()


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGKILL])
@pytest.mark.parametrize("command,output,delay", [
    ("decompress", "out.npy", 0.0),
    ("decompress", "out.tif", 0.2),
    ("compress", "out.zarr", 0.0),
    ("compress", "out.zip", 0.2),
])
def test_a_stopped_writer_leaves_nothing_that_reads_as_data(big, tmp_path, command, output,
                                                            delay, signum):
    folder, data = big
    source = folder / ("in.tif" if command == "compress" else "in.zarr")
    out = tmp_path / "out"
    out.mkdir()
    rc, err = _stop_midway([command, str(source), str(out / output), "--threads", "1"], out,
                           signum, delay)
    target = out / output
    if rc == 0 or target.exists():
        # It finished first, or the signal came after the output was renamed
        # into place: then the output is whole.
        assert _reads_as(target, data)
        return
    if signum == signal.SIGTERM:
        assert rc == 143 and err.strip() == "varda: stopped by SIGTERM", err
        assert os.listdir(out) == []
        return
    assert rc == -signal.SIGKILL
    for left in out.iterdir():
        assert left.name.startswith(f".{output}.") and left.name.endswith(".part")
        if output.endswith(".npy"):
            with pytest.raises(ValueError):
                np.load(left)
        elif not output.endswith(".tif"):
            with pytest.raises(varda.StoreError):
                varda.open(left)


# ---- racing writers ---------------------------------------------------------------

# A writer that compresses to the round's target each time it is told to go.
WRITER = textwrap.dedent("""
    import contextlib, io, json, sys
    from varda.cli import main
    source, folder = sys.argv[1:]
    for line in sys.stdin:
        err = io.StringIO()
        with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
            rc = main(["compress", source, folder + "/" + line.strip(), "--tile", "32"])
        print(json.dumps([rc, err.getvalue()]), flush=True)
""")


@pytest.mark.parametrize("suffix", [".zip", ".zarr"])
def test_of_two_writers_of_one_store_exactly_one_wins(tmp_path, suffix):
    data = smooth_array(np.random.default_rng(4), "uint16", (96, 96))
    write_tif(tmp_path / "in.tif", data[None])
    out = tmp_path / "out"
    out.mkdir()
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(tmp_path / "in.tif"), str(out)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
               for _ in range(2)]
    try:
        for round_ in range(12):
            name = f"r{round_}{suffix}"
            for w in writers:
                w.stdin.write(name + "\n")
                w.stdin.flush()
            results = sorted(json.loads(w.stdout.readline()) for w in writers)
            assert [rc for rc, _ in results] == [0, 2], results
            assert "already exists" in results[1][1] or "meanwhile" in results[1][1]
            assert np.array_equal(varda.open(out / name).compute(), data)
    finally:
        for w in writers:
            w.stdin.close()
            w.wait(timeout=60)
    assert not list(out.glob(".*"))


@pytest.mark.parametrize("renameat2", ["kernel", "claim then rename"])
@pytest.mark.parametrize("suffix", [".zip", ".zarr"])
def test_a_writer_overtaken_by_another_keeps_the_winners_store(tmp_path, monkeypatch, suffix,
                                                               renameat2):
    if renameat2 != "kernel":
        monkeypatch.setattr(_output, "_renameat2", None)
    first = smooth_array(np.random.default_rng(5), "uint16", (128, 128))
    second = first + 1
    target = tmp_path / f"s{suffix}"
    overtaken = []

    def overtake(_n):
        if not overtaken:
            overtaken.append(varda.compress(second, target, tile=64))

    with pytest.raises(FileExistsError, match="written by another process meanwhile"):
        varda.compress(first, target, tile=64, threads=1, progress=overtake)
    assert np.array_equal(varda.open(target).compute(), second)
    assert [p.name for p in tmp_path.iterdir()] == [target.name]
    with pytest.raises(FileExistsError, match="already exists"):
        store.compress(first, target)


# ---- what a GeoTIFF holds ----------------------------------------------------------


@pytest.mark.parametrize("dtype,nodata", [("int64", -2**63), ("uint64", 2**64 - 1)])
def test_a_64_bit_geotiff_keeps_its_type_and_nodata_for_gdal(tmp_path, dtype, nodata):
    from osgeo import gdal

    data = smooth_array(np.random.default_rng(3), dtype, (40, 50))
    data[:4] = nodata
    varda.compress(data, tmp_path / "s.zarr", nodata=nodata)
    varda.decompress(tmp_path / "s.zarr", tmp_path / "o.tif")
    ds = gdal.Open(str(tmp_path / "o.tif"))
    band = ds.GetRasterBand(1)
    assert gdal.GetDataTypeName(band.DataType) == {"int64": "Int64", "uint64": "UInt64"}[dtype]
    held = band.GetNoDataValueAsInt64() if dtype == "int64" else band.GetNoDataValueAsUInt64()
    assert held == nodata
    assert np.array_equal(band.ReadAsArray(), data)
    back, meta = varda.raster.read(tmp_path / "o.tif")[:2]
    assert back.dtype == data.dtype and meta.nodata == nodata and np.array_equal(back[0], data)


def test_a_geotiff_says_what_it_writes_otherwise(tmp_path):
    from varda.raster import GeoTiffNote, Meta

    half = smooth_array(np.random.default_rng(4), "float16", (30, 40))
    varda.compress(half, tmp_path / "h.zarr")
    with pytest.warns(GeoTiffNote, match="float16 samples are written as float32"):
        varda.decompress(tmp_path / "h.zarr", tmp_path / "h.tif")
    assert np.array_equal(varda.raster.read(tmp_path / "h.tif")[0][0], half.astype(np.float32))
    # An int16 class map with a colour table: the table stays in the store.
    classes = (np.arange(30 * 40).reshape(30, 40) % 7).astype(np.int16)
    table = [[i * 30, 255 - i * 30, 0, 255] for i in range(7)]
    varda.compress(classes, tmp_path / "c.zarr", meta=Meta(bands=[{"colortable": table}]))
    with pytest.warns(GeoTiffNote, match="colour table is left out.*the store keeps it"):
        varda.decompress(tmp_path / "c.zarr", tmp_path / "c.tif")
    assert np.array_equal(varda.raster.read(tmp_path / "c.tif")[0][0], classes)
    assert store.meta_of(store.open_array(tmp_path / "c.zarr")).bands[0]["colortable"] == table


def test_geotiff_options_and_nodata_gdal_would_change_are_refused(tmp_path, capsys):
    data = smooth_array(np.random.default_rng(5), "float32", (30, 40))
    varda.compress(data, tmp_path / "s.zarr")
    assert main(["decompress", str(tmp_path / "s.zarr"), str(tmp_path / "o.tif"),
                 "--co", "COMPRESS=NOPE"]) == 2
    assert "'NOPE' is an unexpected value for COMPRESS" in capsys.readouterr().err
    assert not (tmp_path / "o.tif").exists()
    with pytest.raises(varda.VardaError, match="would be stored as 0.0"):
        varda.compress(data, tmp_path / "n.zarr", nodata=1e-46)
