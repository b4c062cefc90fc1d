"""Every chain and recipe on the tiles of a raster, round trips verified,
beside numcodecs' Blosc and Zstd on the same tiles."""

from __future__ import annotations

import math
import os
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass
from typing import Callable

import numpy as np

from ._lib import NotApplicable, VardaError
from ._types import native
from .codec import Product, chain_id, chains_for, decode_tile, prepare
from .kernels import is_nan_nodata, nodata_mask
from .lossy import Check, Recipe, check


@dataclass
class Row:
    chain: str                  # a chain, "auto", or a reference compressor
    recipe: str | None          # the lossy recipe, canonical text
    ratio: float
    bits_per_sample: float
    encode_mbs: float
    decode_mbs: float
    worst: float                # largest error over the bound; 0 when lossless
    verified: bool
    encode_cpu_mbs: float = math.nan   # per second of processor time, all threads
    decode_cpu_mbs: float = math.nan
    reference: bool = False
    note: str = ""
    tiny: int = 0               # LOG: samples below the smallest normal, not measured
    max_error: float = 0.0      # largest error, in the raster's units

    @property
    def label(self) -> str:
        return f"{self.chain} {self.recipe}" if self.recipe else self.chain

    def to_dict(self) -> dict:
        d = asdict(self)
        d["label"] = self.label
        return {k: (None if isinstance(v, float) and not math.isfinite(v) else v)
                for k, v in d.items()}


def tiles_of(raster: np.ndarray, tile: int) -> list[np.ndarray]:
    """Tiles of at most tile x tile samples, band by band, row-major; edge
    tiles keep their real size."""
    if raster.ndim == 2:
        raster = raster[None]
    out = []
    for band in raster:
        for r in range(0, band.shape[0], tile):
            for c in range(0, band.shape[1], tile):
                out.append(np.ascontiguousarray(band[r:r + tile, c:c + tile]))
    return out


def _same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    u = f"u{a.dtype.itemsize}"
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a.view(u), b.view(u))


def _largest_error(tile, rebuilt) -> float:
    """The largest absolute error over the samples that are finite in both."""
    a, b = tile.astype(np.float64), rebuilt.astype(np.float64)
    both = np.isfinite(a) & np.isfinite(b)
    return float(np.abs(a[both] - b[both]).max()) if both.any() else 0.0


def _lossy_check(recipe: Recipe, tile, rebuilt, nodata) -> tuple[Check, bool, float]:
    """The round trip of the valid samples, whether the nodata ones came
    back where they were, and the largest error of the valid ones."""
    mask = nodata_mask(tile, nodata)
    if mask is None:
        return check(recipe, tile, rebuilt), True, _largest_error(tile, rebuilt)
    rebuilt_mask = nodata_mask(rebuilt, nodata)
    positions_exact = np.array_equal(mask, rebuilt_mask)
    if not is_nan_nodata(nodata):
        u = f"u{tile.dtype.itemsize}"
        positions_exact &= np.array_equal(tile.view(u)[mask], rebuilt.view(u)[mask])
    valid = ~mask
    if not valid.any():
        return Check(0.0), bool(positions_exact), 0.0
    return (check(recipe, tile[valid], rebuilt[valid]), bool(positions_exact),
            _largest_error(tile[valid], rebuilt[valid]))


class _Timer:
    # A raster too small to time once is timed over repeats that together
    # last this long, so that no figure is the clocks' noise.
    TIMED_SECONDS = 0.05
    MOST_RUNS = 10000

    def __init__(self, pool: ThreadPoolExecutor, repeat: int):
        self.pool, self.repeat = pool, max(1, repeat)

    def run(self, func, items) -> tuple[list, tuple[float, float]]:
        """Results, and the best wall-clock time of a run and the processor
        time of one (the best, or the mean over repeats that were each too
        short to time alone)."""
        wall = cpu = math.inf
        results = None
        runs, total, total_cpu = 0, 0.0, 0.0
        while runs < self.repeat or (total < self.TIMED_SECONDS and runs < self.MOST_RUNS):
            start, start_cpu = time.perf_counter(), time.process_time()
            results = list(self.pool.map(func, items))
            took, took_cpu = time.perf_counter() - start, time.process_time() - start_cpu
            wall, cpu = min(wall, took), min(cpu, took_cpu)
            runs, total, total_cpu = runs + 1, total + took, total_cpu + took_cpu
        if runs > self.repeat:
            cpu = total_cpu / runs
        return results, (wall, max(cpu, 1e-9))


def _row(chain, recipe, tiles, blobs, t_enc, t_dec, worst, verified, reference=False, note=""):
    raw = sum(t.nbytes for t in tiles)
    stored = sum(len(b) for b in blobs)
    count = sum(t.size for t in tiles)
    mb = raw / 1e6
    return Row(chain, recipe, raw / stored, 8 * stored / count, mb / t_enc[0], mb / t_dec[0], worst,
               verified, mb / t_enc[1], mb / t_dec[1], reference, note)


class GeoTiffZstd:
    """A tile as an in-memory GeoTIFF with ZSTD and a predictor, the choice GIS
    users make today: horizontal differencing for integers, the floating-point
    predictor for floats."""

    dtypes = {"uint8", "int8", "uint16", "int16", "uint32", "int32", "float32", "float64"}

    def __init__(self, level: int = 9):
        self.level = level

    def encode(self, tile: np.ndarray) -> bytes:
        from rasterio.io import MemoryFile
        from rasterio.transform import from_origin

        height, width = tile.shape
        predictor = 3 if tile.dtype.kind == "f" else 2
        with MemoryFile() as memory:
            with memory.open(driver="GTiff", width=width, height=height, count=1,
                             dtype=tile.dtype.name, compress="ZSTD", zstd_level=self.level,
                             predictor=predictor, transform=from_origin(0, height, 1, 1),
                             tiled=width % 16 == 0 and height % 16 == 0,
                             blockxsize=min(width, 512), blockysize=min(height, 512)) as out:
                out.write(tile, 1)
            return memory.read()

    def decode(self, blob: bytes) -> np.ndarray:
        from rasterio.io import MemoryFile

        with MemoryFile(blob) as memory, memory.open() as src:
            return np.ascontiguousarray(src.read(1))


def reference_codecs(dtype=None) -> dict:
    from numcodecs import Blosc, Zstd, blosc

    # One thread per call: the pool that runs every codec sets the threads.
    blosc.use_threads = False
    codecs = {"blosc-zstd-shuffle": Blosc(cname="zstd", clevel=5, shuffle=Blosc.SHUFFLE),
              "numcodecs-zstd": Zstd(level=9)}
    if dtype is not None and np.dtype(dtype).name in GeoTiffZstd.dtypes:
        try:
            import rasterio  # noqa: F401
        except ImportError:
            return codecs
        codecs["geotiff-zstd-predictor"] = GeoTiffZstd()
    return codecs


def run(raster: np.ndarray, *, tile: int = 512, threads: int | None = None, recipes=(),
        nodata=None, chains: list[str] | None = None, references: bool = True, effort: int = 1,
        repeat: int = 1, progress: Callable[[str], None] | None = None) -> list[Row]:
    """Rows for every chain that takes the raster's dtype and "auto", every
    recipe (at "auto"), and the reference compressors, sorted by ratio."""
    raster = np.ascontiguousarray(native(raster))
    tiles = tiles_of(raster, tile)
    rows: list[Row] = []
    chains = chains if chains is not None else chains_for(raster.dtype) + ["auto"]
    for chain in chains:
        chain_id(chain)
    for text in recipes:
        Recipe.parse(text)  # a mistyped recipe is refused before any work
    with ThreadPoolExecutor(threads or os.cpu_count() or 1) as pool:
        timer = _Timer(pool, repeat)
        for chain in chains:
            if progress:
                progress(chain)
            product = Product(raster.dtype, chain, effort=effort, nodata=nodata)
            try:
                blobs, t_enc = timer.run(product.encode, tiles)
            except NotApplicable as e:
                # A splitter with nothing to split: the chain does not
                # apply to this raster. Any other failure is one.
                rows.append(Row(chain, None, math.nan, math.nan, math.nan, math.nan, math.nan,
                                True, note=f"not applicable: {e}"))
                continue
            decoded, t_dec = timer.run(decode_tile, blobs)
            ok = all(_same_bits(t, d) for t, d in zip(tiles, decoded))
            rows.append(_row(chain, None, tiles, blobs, t_enc, t_dec, 0.0 if ok else math.inf, ok))
        for text in recipes:
            if progress:
                progress(text)
            try:
                codec = prepare(raster, recipe=text, nodata=nodata, effort=effort)
                product = codec.product(raster.dtype)
                blobs, t_enc = timer.run(product.encode, tiles)
            except VardaError as e:
                # The recipe reads well but does not suit this raster (its
                # domain, its range, too little to fit a noise curve on).
                rows.append(Row("auto", text, math.nan, math.nan, math.nan, math.nan, math.nan,
                                True, note=f"not applicable: {e}"))
                continue
            recipe = Recipe.parse(codec.recipe)
            decoded, t_dec = timer.run(decode_tile, blobs)
            worst, exact, nonfinite, tiny, largest = 0.0, True, 0, 0, 0.0
            for t, d in zip(tiles, decoded):
                result, e, error = _lossy_check(recipe, t, d, nodata)
                worst, exact = max(worst, result.worst), exact and e
                largest = max(largest, error)
                nonfinite, tiny = nonfinite + result.nonfinite, tiny + result.tiny
            notes = [] if exact else ["nodata positions changed"]
            if nonfinite:
                notes.append(f"{nonfinite} non-finite samples changed")
            if tiny:
                notes.append(f"{tiny} samples below the smallest normal (tiny), not measured")
            if not notes and codec.recipe != Recipe.parse(text).text:
                notes.append(f"resolved as {codec.recipe}")
            row = _row("auto", text, tiles, blobs, t_enc, t_dec, math.inf if nonfinite else worst,
                       exact and not nonfinite and worst <= 1.0, note="; ".join(notes))
            row.tiny, row.max_error = tiny, largest
            rows.append(row)
        if references:
            for name, ref in reference_codecs(raster.dtype).items():
                if progress:
                    progress(name)
                blobs, t_enc = timer.run(ref.encode, tiles)
                decoded, t_dec = timer.run(ref.decode, blobs)
                ok = all(_same_bits(t, np.frombuffer(d, t.dtype).reshape(t.shape))
                         for t, d in zip(tiles, decoded))
                rows.append(_row(name, None, tiles, blobs, t_enc, t_dec, 0.0 if ok else math.inf,
                                 ok, reference=True))
    rows.sort(key=lambda r: -r.ratio if math.isfinite(r.ratio) else math.inf)
    return rows
