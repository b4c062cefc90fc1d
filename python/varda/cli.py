"""The `varda` command: bench, compress, decompress, info, verify, demo.

Exit status: 0 done; 1 corrupt or unreadable data, or an output that could
not be written, permissions included (the message names the chunk or file
and what failed, and a half-written output is removed); 2 usage errors,
refused recipes, chains, values and dtypes (the library's message); 130 and
143 stopped by SIGINT (Ctrl-C) or SIGTERM, the output removed.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import signal
import sys
import tempfile
import threading
import time
import warnings

from . import _output

EXIT_DATA, EXIT_USAGE = 1, 2


class UsageError(Exception):
    pass


class DataError(Exception):
    pass


def _nodata(text: str):
    if text.lower() == "nan":
        return float("nan")
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is neither a number nor nan") from None


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive integer")
    return value


RECIPES = """\
recipes (lossy, every sample within a bound; lossless when none is given):
  LINEAR:MAX_ERROR=V             within V of the original, in the raster's units
                                 (a band with a scale: V in scaled units, stored as
                                 V / scale counts)
                                 e.g. LINEAR:MAX_ERROR=0.5 for heights to half a metre
  LOG:MAX_ERROR=P%               within P per cent of each sample (0 < P < 100)
                                 e.g. LOG:MAX_ERROR=1% for radiances or flows
  SQRT:MAX_ERROR=KN[,A=a,B=b]    within K sigmas of shot noise whose variance is
                                 A + B x at signal x; A and B are fitted on the
                                 raster when left out
                                 e.g. SQRT:MAX_ERROR=1N, or SQRT:MAX_ERROR=2N,A=4,B=0.5
"""

EXITS = """\
exit status: 0 done; 1 corrupt or unreadable data, or an output that could not
be written (permissions included); 2 usage errors, refused recipes, chains,
values and dtypes; 130 or 143 stopped by SIGINT or SIGTERM.
"""

EPILOGS = {
    "varda": RECIPES + """
examples:
  varda demo                                      built-in rasters, tables and demo.png
  varda bench scene.tif --plot bench.png          every chain on a file's tiles
  varda compress dem.tif dem.zarr                 lossless Zarr store (or dem.zip)
  varda compress sst.nc sst.zarr --recipe LINEAR:MAX_ERROR=0.01
  varda info dem.zarr
  varda decompress dem.zarr dem.tif               GeoTIFF with its georeferencing

""" + EXITS,
    "bench": RECIPES + """
The table gives for each chain the ratio (raw bytes over coded bytes), bits per
sample, encode and decode speed over all threads, and for recipes the largest
error measured (in the raster's units) and that error as a fraction of the
bound (at most 1).

examples:
  varda bench scene.tif
  varda bench dem.tif --recipe LINEAR:MAX_ERROR=1 --recipe LINEAR:MAX_ERROR=5
  varda bench frame.fits --recipe SQRT:MAX_ERROR=1N --chain auto --no-reference
  varda bench a.tif b.tif --json > results.json --plot results.svg

""" + EXITS,
    "compress": RECIPES + """
The output is a Zarr store: a folder, or a zip file when its name ends in .zip;
a name that a raster file would have (.tif, .nc, ...) is refused. Lossy floats
whose file marks nodata with a value keep that value for their NaN holes too.

examples:
  varda compress dem.tif dem.zarr
  varda compress dem.tif dem.zip --chain planar-pfor       fastest decode
  varda compress ortho.tif ortho.zarr --effort 2 --level 9
  varda compress sst.nc sst.zarr --subdataset sst --recipe LINEAR:MAX_ERROR=0.01

""" + EXITS,
    "decompress": """\
A .tif or .tiff output is a tiled GeoTIFF with ZSTD and the horizontal
predictor (integers) or the floating-point one (floats), BigTIFF when needed;
--co sets any GDAL creation option over those. A .npy output is the raster as
a numpy array.

examples:
  varda decompress dem.zarr dem.tif
  varda decompress dem.zarr dem.tif --co COMPRESS=DEFLATE --co ZLEVEL=9
  varda decompress dem.zarr dem.tif --co TILED=NO
  varda decompress dem.zarr dem.npy

""" + EXITS,
    "info": """\
A store is a folder, a .zip file, or a URL (file://, memory://, http(s)://,
s3:// and the other filesystems fsspec has the package for).

examples:
  varda info dem.zarr
  varda info dem.zip --json
  varda info https://example.org/data/dem.zarr

""" + EXITS,
    "verify": """\
Every tile is decoded and checked: that it is there, its checksum, its dtype,
shape and width against the array's, and the grid position and array its
writer recorded (a tile moved or copied from another store); and that the
consolidated metadata (.zmetadata) agrees with the files it copies. Each bad
tile is printed with its key and why; the exit status is 1 if there is any,
0 (with a one-line summary) when the store is sound.

examples:
  varda verify dem.zarr
  varda verify https://example.org/data/dem.zarr --json

""" + EXITS,
    "demo": """\
examples:
  varda demo
  varda demo --size 512 --plot small.svg

""" + EXITS,
}


class _Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog):
        super().__init__(prog, max_help_position=30)


def _sub(sub, name: str, help: str, description: str):
    return sub.add_parser(name, help=help, description=description, epilog=EPILOGS[name],
                          formatter_class=_Formatter)


def _common(p, *, plural: bool) -> None:
    """The options bench and compress share."""
    p.add_argument("--tile", type=_positive, default=512, metavar="N",
                   help="tile (chunk) size in samples, N x N; a raster smaller than a tile "
                        "is one tile of its own size (default 512)")
    p.add_argument("--threads", type=_positive, default=None, metavar="N",
                   help="threads that code tiles (default: one per core)")
    p.add_argument("--effort", type=int, choices=(0, 1, 2), default=1,
                   help="how many chains auto tries per tile: 0 one, 1 a few, 2 all (default 1)")
    p.add_argument("--nodata", type=_nodata, default=None, metavar="V",
                   help="the value that marks missing samples, or nan (default: the file's)")
    p.add_argument("--subdataset", default=None, metavar="NAME",
                   help="which raster of a file that holds several (NetCDF variables, FITS "
                        "extensions), by name or number (a FITS HDU's); GDAL's own "
                        "NETCDF:\"f.nc\":var works too")
    if plural:
        p.add_argument("--recipe", action="append", default=[], metavar="TEXT",
                       help="a lossy recipe to measure at chain auto; repeat for more "
                            "(default: none, lossless only)")
    else:
        p.add_argument("--recipe", default=None, metavar="TEXT",
                       help="a lossy recipe (default: none, lossless)")


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="varda", formatter_class=_Formatter, epilog=EPILOGS["varda"],
                                description="Raster tile compression: benchmarks, Zarr stores "
                                "and a demo. 'varda COMMAND --help' tells more of each.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    b = _sub(sub, "bench", "every chain and recipe on the tiles of raster files",
             "Cuts raster files into tiles and codes them with every chain that takes their "
             "dtype, auto, each recipe and two reference compressors, verifies every round "
             "trip and prints a table sorted by ratio.")
    b.add_argument("files", nargs="+", metavar="FILE", help="raster files GDAL reads, or .npy")
    _common(b, plural=True)
    b.add_argument("--band", type=_positive, default=None, metavar="K",
                   help="only band K, counted from 1 (default: every band)")
    b.add_argument("--chain", action="append", default=None, metavar="NAME",
                   help="only this chain (auto included by name); repeat for more "
                        "(default: every chain that takes the dtype, and auto)")
    b.add_argument("--no-reference", dest="references", action="store_false",
                   help="leave out the Blosc and Zstd reference rows")
    b.add_argument("--repeat", type=_positive, default=1, metavar="N",
                   help="time each step N times and keep the best (default 1)")
    b.add_argument("--json", action="store_true", help="print the results as JSON")
    b.add_argument("--plot", metavar="OUT",
                   help="draw ratio against decode speed to OUT (.png, .svg, .pdf ...)")

    c = _sub(sub, "compress", "a raster file to a varda-coded Zarr store",
             "Writes a raster file (anything GDAL reads, or .npy) to a Zarr store, one "
             "varda-coded chunk per tile, with its georeferencing, nodata and band names.")
    c.add_argument("input", metavar="IN", help="the raster file")
    c.add_argument("output", metavar="OUT.zarr", help="the store: a folder, OUT.zip, or a URL "
                   "(memory://, s3:// ...)")
    _common(c, plural=False)
    c.add_argument("--chain", default="auto", metavar="NAME",
                   help="the chain for every tile, or auto to choose per tile (default auto)")
    c.add_argument("--level", type=int, default=None, metavar="L",
                   help="zstd level of the chains that end in zstd, 1 to 22 "
                        "(default: the codec's own, 3)")

    d = _sub(sub, "decompress", "a store back to a GeoTIFF or .npy file",
             "Writes a store's raster to a GeoTIFF, with its georeferencing, nodata and band "
             "names, or to a numpy .npy file.")
    d.add_argument("input", metavar="IN.zarr", help="the store: a folder, a .zip or a URL")
    d.add_argument("output", metavar="OUT.tif|.npy", help="the file to write")
    d.add_argument("--threads", type=_positive, default=None, metavar="N",
                   help="threads that decode tiles (default: one per core)")
    d.add_argument("--co", action="append", default=[], type=_creation_option, metavar="KEY=VALUE",
                   help="a GDAL creation option for a GeoTIFF output; repeat for more "
                        "(default: tiled, COMPRESS=ZSTD with a predictor)")

    i = _sub(sub, "info", "shape, dtype, chains and ratio of a store",
             "Reads every tile's header of a store and says how it is coded.")
    i.add_argument("input", metavar="IN.zarr", help="the store: a folder, a .zip or a URL")
    i.add_argument("--json", action="store_true", help="print the summary as JSON")

    v = _sub(sub, "verify", "decode and check every tile of a store",
             "Decodes every tile of a store and checks it against the array; prints each bad "
             "tile with its key and why.")
    v.add_argument("input", metavar="IN.zarr", help="the store: a folder, a .zip or a URL")
    v.add_argument("--threads", type=_positive, default=None, metavar="N",
                   help="threads that decode tiles (default: one per core)")
    v.add_argument("--json", action="store_true", help="print the report as JSON")

    m = _sub(sub, "demo", "built-in rasters through bench, with a plot",
             "Makes three rasters in code (an elevation model with a nodata sea, photon "
             "counts with known noise, a float field with NaN holes), benches each and "
             "draws the results.")
    m.add_argument("--size", type=_positive, default=1024, metavar="N",
                   help="rasters of N x N samples (default 1024)")
    m.add_argument("--plot", default="demo.png", metavar="OUT",
                   help="the picture to write (default demo.png)")
    m.add_argument("--threads", type=_positive, default=None, metavar="N",
                   help="threads that code tiles (default: one per core)")
    m.add_argument("--json", action="store_true", help="print the results as JSON")
    return p


def _creation_option(text: str) -> tuple[str, str]:
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"{text!r} is not KEY=VALUE")
    return key.upper(), value


# ---- output -------------------------------------------------------------------


def _tty() -> bool:
    return sys.stdout.isatty()


class _Bar:
    """A progress bar on a terminal, nothing elsewhere. The total counts
    bytes, shown with their rate and the time left, or `steps` that are not
    bytes; it may be given late, once known (start)."""

    def __init__(self, what: str, total: float = 0, steps: bool = False):
        self.what, self.steps, self.bar, self.task = what, steps, None, None
        if total:
            self.start(total)

    def start(self, total: float) -> None:
        if self.bar is not None or not (sys.stderr.isatty() and total > 0):
            return
        from rich.console import Console
        from rich.progress import (BarColumn, DownloadColumn, MofNCompleteColumn, Progress,
                                   TextColumn, TimeElapsedColumn, TimeRemainingColumn,
                                   TransferSpeedColumn)

        counts = (MofNCompleteColumn(), TimeElapsedColumn()) if self.steps else \
            (DownloadColumn(), TransferSpeedColumn())
        self.bar = Progress(TextColumn("{task.description}"), BarColumn(), *counts,
                            TimeRemainingColumn(), console=Console(stderr=True), transient=True)
        self.bar.start()
        self.task = self.bar.add_task(self.what, total=total)

    def advance(self, n: float = 1) -> None:
        if self.bar is not None:
            self.bar.advance(self.task, n)

    def __enter__(self):
        return self

    def __exit__(self, *_exc):
        if self.bar is not None:
            self.bar.stop()


def _size(n: float) -> str:
    """Bytes in B, kB, MB, GB or TB with three figures."""
    for unit in ("B", "kB", "MB", "GB"):
        if abs(n) < 999.5:
            break
        n /= 1000
    else:
        unit = "TB"
    return f"{n:.0f} {unit}" if unit == "B" or abs(n) >= 99.5 else \
        f"{n:.{1 if abs(n) >= 9.95 else 2}f} {unit}"


def _rate(nbytes: float, seconds: float) -> str:
    return _size(nbytes / max(seconds, 1e-9)) + "/s"


def _fmt(value, digits=2) -> str:
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "-"
    return f"{value:.{digits}f}"


def _speed(value) -> str:
    # Three figures, whatever the speed: 0.42, 8.31, 95.2, 1234.
    if value is None or not math.isfinite(value):
        return "-"
    return f"{value:.0f}" if value >= 99.5 else f"{value:.{1 if value >= 9.95 else 2}f}"


COLUMNS = ("chain", "ratio", "bits/sample", "encode MB/s", "decode MB/s", "max error",
           "of bound")


def _cells(row) -> list[str]:
    if row.note.startswith("not applicable"):
        return [row.label, "-", "-", "-", "-", "n/a", "n/a"]
    if row.recipe is None:
        error, of_bound = ("0" if row.verified else "FAILED"), "-"
    elif not math.isfinite(row.worst):
        error = of_bound = "FAILED"
    else:
        error, of_bound = f"{row.max_error:.3g}", f"{row.worst:.3f}"
        if not row.verified:
            of_bound += " FAILED"
    return [row.label + (" (ref)" if row.reference else ""), _fmt(row.ratio),
            _fmt(row.bits_per_sample), _speed(row.encode_mbs), _speed(row.decode_mbs), error,
            of_bound]


def print_table(title: str, rows) -> None:
    _print_cells(title, rows)
    # A chain that does not apply needs no reason; a recipe the raster refused does.
    refused = [r for r in rows if r.recipe and r.note.startswith("not applicable")]
    for r in refused:
        print(f"{r.label}: {r.note}")
    if refused:
        print()


def _print_cells(title: str, rows) -> None:
    cells = [_cells(r) for r in rows]
    note = "max error in the raster's units; of bound: that error over the recipe's bound"
    if _tty():
        from rich.console import Console
        from rich.table import Table

        table = Table(title=title, caption=note if any(r.recipe for r in rows) else None)
        for i, col in enumerate(COLUMNS):
            if i == 0:
                table.add_column(col, no_wrap=True, min_width=max(len(c[0]) for c in cells))
            else:
                table.add_column(col, justify="right")
        for r, c in zip(rows, cells):
            table.add_row(*c, style="dim" if r.reference else None)
        Console().print(table)
        return
    widths = [max(len(COLUMNS[i]), *(len(c[i]) for c in cells)) for i in range(len(COLUMNS))]
    print(title)
    print("  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(COLUMNS, widths))))
    for c in cells:
        print("  ".join(v.ljust(w) if i == 0 else v.rjust(w) for i, (v, w) in enumerate(zip(c, widths))))
    if any(r.recipe for r in rows):
        print(f"({note})")
    print()


def check_plot_path(out: str) -> None:
    """Refuses, before any work, a plot that could not be written: a format
    matplotlib does not write, or a folder that is missing or read-only."""
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    ext = os.path.splitext(out)[1][1:].lower()
    formats = Figure().canvas.get_supported_filetypes()
    if ext not in formats:
        raise UsageError(f"cannot write the plot {out}: its name ends in "
                         f"{'.' + ext if ext else 'no extension'}; plots are "
                         f"{', '.join('.' + f for f in sorted(formats))}")
    folder = os.path.dirname(os.path.abspath(out))
    if os.path.isdir(out):
        raise UsageError(f"cannot write the plot {out}: it is a folder")
    if not os.path.isdir(folder):
        raise DataError(f"cannot write the plot {out}: no folder {folder}")
    # Permissions alone do not tell (root, read-only mounts, /proc): try.
    try:
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as e:
        raise DataError(f"cannot write the plot {out}: {e.strerror or e}") from None


def pareto(points: list[tuple[float, float]]) -> list[int]:
    """Indices of the points no other beats on both coordinates (higher is
    better on each), ordered by the first."""
    order = sorted(range(len(points)), key=lambda i: (-points[i][0], -points[i][1]))
    front, best = [], -math.inf
    for i in order:
        if points[i][1] > best:
            front.append(i)
            best = points[i][1]
    return front[::-1]


def log_ticks(lo: float, hi: float) -> list[float]:
    """Ticks for a log axis over [lo, hi]: of the 1-2-5 like series, the
    sparsest with three ticks inside the range, from one at or below `lo`
    to one at or above `hi`, so that no point lies beyond the last tick."""
    series = [(1.0,), (1.0, 2.0, 5.0), (1.0, 1.5, 2.0, 3.0, 5.0, 7.0),
              (1.0, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0)]
    first, last = math.floor(math.log10(lo)) - 1, math.ceil(math.log10(hi)) + 1

    def every(subs):
        return [s * 10.0 ** e for e in range(first, last + 1) for s in subs]

    for subs in series:
        # The ends come from a series at least as fine as 1-2-5: the axis
        # runs at most a step past the data.
        ends = every(subs if len(subs) > 1 else series[1])
        below = max(t for t in ends if t <= lo * (1 + 1e-9))
        above = min(t for t in ends if t >= hi * (1 - 1e-9))
        ticks = sorted({below, above, *(t for t in every(subs) if below <= t <= above)})
        if len(ticks) >= 5:
            break
    return ticks


def _log_axis(ax, axis: str, values) -> None:
    import matplotlib.ticker as ticker

    ticks = log_ticks(min(values) / 1.04, max(values) * 1.04)
    target = ax.xaxis if axis == "x" else ax.yaxis
    (ax.set_xscale if axis == "x" else ax.set_yscale)("log")
    (ax.set_xlim if axis == "x" else ax.set_ylim)(ticks[0] / 1.03, ticks[-1] * 1.03)
    target.set_major_locator(ticker.FixedLocator(ticks))
    target.set_minor_locator(ticker.NullLocator())
    target.set_major_formatter(ticker.FuncFormatter(lambda v, _pos: f"{v:g}"))


_KINDS = {  # kind: marker, colour, legend text
    "chain": ("o", "tab:blue", "lossless chain"),
    "auto": ("*", "tab:green", "auto (best chain per tile)"),
    "recipe": ("^", "tab:red", "lossy recipe (at auto)"),
    "reference": ("s", "grey", "reference: Blosc, Zstd"),
}


def _kind(row) -> str:
    return "reference" if row.reference else "recipe" if row.recipe else \
        "auto" if row.chain == "auto" else "chain"


def plot(results: list[tuple[str, list]], out: str) -> None:
    """One panel per raster: ratio against decode speed, each point numbered
    and listed in a table beside it, the Pareto front drawn."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    fig, axes = plt.subplots(len(results), 2, figsize=(12.5, 5.0 * len(results)), squeeze=False,
                             gridspec_kw={"width_ratios": [1.25, 1]})
    for (ax, side), (title, rows) in zip(axes, results):
        drawn = [r for r in rows if math.isfinite(r.ratio) and r.decode_mbs > 0]
        side.axis("off")
        if not drawn:
            ax.set_title(title, fontsize=10)
            continue
        for r in drawn:
            marker, colour, _ = _KINDS[_kind(r)]
            ax.scatter(r.decode_mbs, r.ratio, marker=marker, color=colour,
                       s=110 if marker == "*" else 45, zorder=4 if marker == "*" else 3,
                       edgecolors="black",
                       linewidths=0.4)
        points = [(r.decode_mbs, r.ratio) for r in drawn]
        front = pareto(points)
        ax.plot([points[i][0] for i in front], [points[i][1] for i in front], ls="--",
                color="black", lw=0.8, alpha=0.6, zorder=2, drawstyle="steps-pre")
        _log_axis(ax, "x", [p[0] for p in points])
        _log_axis(ax, "y", [p[1] for p in points])
        _number_points(fig, ax, points)
        ax.set_xlabel("decode speed, MB/s (all threads)")
        ax.set_ylabel("compression ratio")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="major", alpha=0.3)
        handles = [Line2D([], [], ls="", marker=m, color=c, markeredgecolor="black",
                          markeredgewidth=0.4, markersize=11 if m == "*" else 7, label=text)
                   for m, c, text in (_KINDS[k] for k in _KINDS)]
        handles.append(Line2D([], [], ls="--", color="black", lw=0.8,
                              label="best trade-off (nothing both smaller and faster)"))
        ax.legend(handles=handles, fontsize=7.5, loc="best", framealpha=0.9)
        _point_table(side, drawn, set(front))
    fig.tight_layout()
    try:
        # Written under a temporary name: the format comes from the real one.
        with _output.creating(out, replace=True) as temp:
            fig.savefig(temp, format=os.path.splitext(out)[1][1:].lower() or
                        matplotlib.rcParams["savefig.format"], dpi=110)
    except (OSError, ValueError) as e:
        raise DataError(f"cannot write the plot {out}: {e}") from None
    finally:
        plt.close(fig)


def _number_points(fig, ax, points) -> None:
    """Each point's number beside it, at the first of eight places around
    the point where it overlaps no number already placed."""
    fig.canvas.draw()
    size = 7.5 * fig.dpi / 72
    taken: list[tuple[float, float, float, float]] = []
    where = [(4, 3), (4, -10), (-10, 3), (-10, -10), (0, 7), (0, -13), (8, -3), (-14, -3)]
    for number, (x, y) in enumerate(points, 1):
        px, py = ax.transData.transform((x, y))
        width = 0.6 * size * len(str(number))
        choice = where[0]
        for dx, dy in where:
            box = (px + dx, py + dy, px + dx + width, py + dy + size)
            if not any(box[0] < t[2] and t[0] < box[2] and box[1] < t[3] and t[1] < box[3]
                       for t in taken):
                choice = (dx, dy)
                break
        dx, dy = choice
        taken.append((px + dx, py + dy, px + dx + width, py + dy + size))
        ax.annotate(str(number), (x, y), xytext=(dx, dy), textcoords="offset points",
                    fontsize=7.5, zorder=4)


def _point_table(side, rows, front: set) -> None:
    lines = [f"{'#':>2}  {'chain / recipe':<30}{'ratio':>7}{'decode':>8}", ""]
    for number, r in enumerate(rows, 1):
        label = r.label + (" (ref)" if r.reference else "")
        mark = " *" if number - 1 in front else ""
        lines.append(f"{number:>2}  {label[:30]:<30}{r.ratio:>7.2f}{_speed(r.decode_mbs):>8}{mark}")
    lines += ["", "decode in MB/s; * on the best trade-off line;", "(ref): a reference coder"]
    side.text(0.0, 1.0, "\n".join(lines), family="monospace", fontsize=7.5, va="top",
              transform=side.transAxes)


# ---- commands -----------------------------------------------------------------


def _read(path, band=None, subdataset=None):
    """A raster file, a progress bar while it is read, and the seconds it took."""
    from . import raster

    started = time.perf_counter()
    with _Bar(f"read {os.path.basename(str(path))}") as bar:

        def advance(n, total):
            bar.start(total)
            bar.advance(n)

        data, meta = raster.read(path, band, subdataset, progress=advance)
    return data, meta, time.perf_counter() - started


def _holes_as_nodata(data, nodata, lossy: bool):
    """A lossy float raster whose file marks nodata with a value gets that
    value for its NaN samples too, which a lossy grid cannot keep: the
    holes come back as the file's own nodata."""
    if not (lossy and data.dtype.kind == "f" and isinstance(nodata, (int, float)) and
            math.isfinite(nodata)):
        return data
    import numpy as np

    holes = np.isnan(data)
    if holes.any():
        data[holes] = nodata
        print(f"varda: {int(holes.sum())} NaN samples are stored as nodata ({nodata:g}), "
              "as the file marks its nodata", file=sys.stderr)
    return data
def cmd_bench(args) -> int:
    from . import bench
    from .codec import chains_for
    from .lossy import Recipe

    if args.plot:
        check_plot_path(args.plot)
    for text in args.recipe:
        Recipe.parse(text)  # a mistyped recipe is refused before any file is read
    results = []
    for path in args.files:
        data, meta, _ = _read(path, args.band, args.subdataset)
        nodata = args.nodata if args.nodata is not None else meta.nodata
        data = _holes_as_nodata(data, nodata, bool(args.recipe))
        steps = len(args.chain or chains_for(data.dtype)) + (0 if args.chain else 1) + \
            len(args.recipe) + (2 if args.references else 0)
        with _Bar(f"bench {os.path.basename(path)}", steps, steps=True) as bar:
            rows = bench.run(data, tile=args.tile, threads=args.threads, recipes=args.recipe,
                             nodata=nodata, effort=args.effort, repeat=args.repeat,
                             chains=args.chain, references=args.references,
                             progress=lambda _step: bar.advance(1))
        name = f"{path} ({args.subdataset})" if args.subdataset else path
        title = f"{name}: {' x '.join(map(str, data.shape))} {data.dtype}" + \
            (f", nodata {nodata:g}" if nodata is not None else "")
        results.append((title, rows, path, data, nodata))
    if args.json:
        print(json.dumps([{"file": path, "shape": list(data.shape), "dtype": data.dtype.name,
                           "nodata": _json_value(nodata), "tile": args.tile,
                           "threads": args.threads or os.cpu_count(),
                           "rows": [r.to_dict() for r in rows]}
                          for _, rows, path, data, nodata in results], indent=1))
    else:
        for title, rows, *_ in results:
            print_table(title, rows)
    if args.plot:
        plot([(t, rows) for t, rows, *_ in results], args.plot)
    return _verified([rows for _, rows, *_ in results])


def _json_value(v):
    return "nan" if isinstance(v, float) and math.isnan(v) else v


def _verified(tables) -> int:
    broken = [r.label for rows in tables for r in rows if not r.verified]
    if broken:
        print(f"varda: round trip failed for {', '.join(broken)}", file=sys.stderr)
        return EXIT_DATA
    return 0


# Names that say "a raster file": a store under one would mislead.
RASTER_SUFFIXES = (".tif", ".tiff", ".gtiff", ".png", ".jpg", ".jpeg", ".jp2", ".gif", ".bmp",
                   ".nc", ".nc4", ".cdf", ".h5", ".hdf", ".hdf5", ".he5", ".fits", ".fit", ".fts",
                   ".img", ".vrt", ".asc", ".bil", ".dem", ".grd", ".grib", ".grb", ".grib2",
                   ".gpkg", ".ecw", ".sid", ".npy", ".npz")


def _store_name(output: str) -> None:
    stem, suffix = os.path.splitext(output.rstrip("/"))
    if suffix.lower() in RASTER_SUFFIXES:
        raise UsageError(f"{output}: compress writes a Zarr store (a folder, or a zip file when "
                         f"the name ends in .zip), not a {suffix} file; name it {stem}.zarr or "
                         f"{stem}.zip, and 'varda decompress' gives a {suffix} back")


def _band_scale(bands) -> float:
    """The one scale of the bands (1 when none has one); UsageError when
    they differ, since one bound in counts cannot be every band's."""
    scales = {float(b.get("scale", 1.0)) for b in bands} or {1.0}
    if len(scales) > 1:
        raise UsageError("the bands have different scales (" +
                         ", ".join(f"{v:g}" for v in sorted(scales)) + "): a LINEAR bound in "
                         "the raster's units is not one bound in stored counts; compress the "
                         "bands one by one")
    scale = scales.pop()
    if not (math.isfinite(scale) and scale != 0):
        raise UsageError(f"the band's scale {scale:g} does not turn counts into units")
    return abs(scale)


def _in_counts(text: str, bands):
    """A LINEAR recipe in the raster's units as the bound in stored counts
    (MAX_ERROR / scale), and the scale; any other recipe as given."""
    from .lossy import Recipe

    recipe = Recipe.parse(text)
    if recipe.name != "LINEAR" or not bands or all("scale" not in b for b in bands):
        return text, 1.0
    scale = _band_scale(bands)
    if scale == 1.0:
        return text, scale
    counts = Recipe(recipe.family, recipe.max_error / scale).text
    print(f"varda: {text} in the raster's units is {counts} in stored counts (scale {scale:g})",
          file=sys.stderr)
    return counts, scale


def cmd_compress(args) -> int:
    from . import store
    from .lossy import Recipe

    _store_name(args.output)
    if args.recipe:
        Recipe.parse(args.recipe)
    if store.is_local(args.output) and os.path.lexists(args.output):
        raise FileExistsError(f"{args.output} already exists; remove it or choose another name")
    data, meta, read_seconds = _read(args.input, subdataset=args.subdataset)
    if args.nodata is not None:
        meta.nodata = args.nodata
    data = _holes_as_nodata(data, meta.nodata, bool(args.recipe))
    recipe = _in_counts(args.recipe, meta.bands)[0] if args.recipe else args.recipe
    if data.shape[0] == 1:
        data = data[0]
    started = time.perf_counter()
    chunks = store.chunk_shape(data.shape, args.tile)
    count = math.prod(math.ceil(n / c) for n, c in zip(data.shape, chunks))
    with _Bar("compress", data.nbytes) as bar:
        store.compress(data, args.output, chain=args.chain, recipe=recipe, nodata=meta.nodata,
                       tile=args.tile, threads=args.threads, effort=args.effort, meta=meta,
                       progress=lambda n=1: bar.advance(n * data.nbytes / count),
                       **({} if args.level is None else {"level": args.level}))
    seconds = time.perf_counter() - started
    summary = store.info(args.output)
    print(f"{args.output}: {' x '.join(map(str, data.shape))} {data.dtype}, {summary['tiles']} "
          f"tiles of {' x '.join(map(str, chunks[-2:]))}; {_size(data.nbytes)} to "
          f"{_size(summary['stored_bytes'])}, ratio {summary['ratio']:.2f}; read in "
          f"{read_seconds:.1f} s, coded at {_rate(data.nbytes, seconds)}")
    return 0


def cmd_decompress(args) -> int:
    from . import raster, store

    if not args.input.lower().endswith(".zip") and raster.is_raster_file(args.input):
        raise UsageError(_raster_not_store(args.input))
    folder = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(folder):
        raise UsageError(f"{args.output}: the folder {folder} does not exist; make it first")
    started = time.perf_counter()
    z = store.open_array(args.input)
    if args.co and not args.output.lower().endswith((".tif", ".tiff")):
        raise UsageError("--co sets GeoTIFF creation options; the output is not a .tif or .tiff")
    with _Bar("decompress", z.nbytes) as bar:
        store.decompress(args.input, args.output, threads=args.threads,
                         progress=lambda n=1: bar.advance(n * z.nbytes / z.nchunks),
                         options=dict(args.co))
    seconds = time.perf_counter() - started
    print(f"{args.output}: {' x '.join(map(str, z.shape))} {z.dtype}, "
          f"{_size(os.path.getsize(args.output))} written at {_rate(z.nbytes, seconds)}")
    return 0


def cmd_info(args) -> int:
    from . import raster, store

    if not args.input.lower().endswith(".zip") and raster.is_raster_file(args.input):
        raise UsageError(_raster_not_store(args.input))
    summary = store.info(args.input)
    if args.json:
        print(json.dumps(summary, indent=1))
        return 0
    chains = ", ".join(f"{name} ({n})" for name, n in summary["chains"].items())
    lines = [
        ("store", summary["path"]),
        ("layout", summary["layout"]),
        ("shape", " x ".join(map(str, summary["shape"]))),
        ("dtype", summary["dtype"]),
        ("tiles", f"{summary['tiles']} of {' x '.join(map(str, summary['chunks'][-2:]))}, "
         "every one there"),
        ("chains", chains),
        ("recipe", _recipe_line(summary["recipe"], summary["scales"])),
        ("nodata", f"{summary['nodata']} ({summary['tiles_with_nodata']} tiles hold some)"
         if summary["nodata"] is not None else "none"),
        ("crs", (summary["crs"] or "none")[:70]),
        ("transform", ", ".join(f"{v:g}" for v in summary["transform"])
         if summary["transform"] else "none"),
        ("bands", ", ".join(n or "-" for n in summary["band_names"]) or "-"),
        ("size", f"{_size(summary['raw_bytes'])} raw, {_size(summary['stored_bytes'])} stored"),
        ("ratio", f"{summary['ratio']:.3f}"),
    ]
    for key, value in lines:
        print(f"{key:>10}  {value}")
    return 0


# Stores of fewer tiles are checked without a progress display.
VERIFY_BAR_TILES = 64


def cmd_verify(args) -> int:
    from . import raster, store

    if raster.is_raster_file(args.input) and not args.input.lower().endswith(".zip"):
        raise UsageError(_raster_not_store(args.input))
    with _Bar("verify", steps=True) as bar:

        def total(n):
            if n >= VERIFY_BAR_TILES:
                bar.start(n)

        report = store.verify_store(args.input, threads=args.threads, total=total,
                                    progress=lambda n: bar.advance(n))
    if args.json:
        print(json.dumps(report, indent=1))
    else:
        for problem in report["problems"]:
            print(f"{report['store']}: {problem}")
        for tile in report["bad_tiles"]:
            print(f"{tile['key']}: {tile['chunk']}: {tile['why']}")
    if report["sound"]:
        if not args.json:
            where = ", position" if report["placed"] == report["checked"] else \
                f"; {report['placed']} record their position" if report["placed"] else ""
            print(f"{report['store']}: {report['tiles']} tiles, every one there and sound "
                  f"(checksum, dtype, shape, width{where})")
        return 0
    bad, problems = len(report["bad_tiles"]), len(report["problems"])
    print(f"varda: {report['store']}: " + "; ".join(
        ([f"{bad} of {report['tiles']} tiles are bad"] if bad else []) +
        ([f"{problems} problem{'s' if problems > 1 else ''} with the store as a whole"]
         if problems else [])), file=sys.stderr)
    return EXIT_DATA


def _recipe_line(text: str | None, scales) -> str:
    """The stored recipe and, for a LINEAR bound on scaled bands, the same
    bound in the raster's units."""
    from .lossy import Recipe

    if not text:
        return "lossless"
    recipe = Recipe.parse(text)
    scales = set(map(float, scales))
    if recipe.name != "LINEAR" or len(scales) != 1 or scales == {1.0}:
        return text
    scale = abs(scales.pop())
    return f"{text} in stored counts: MAX_ERROR={recipe.max_error * scale:g} in the raster's " \
           f"units (scale {scale:g})"


def _raster_not_store(path: str) -> str:
    stem = os.path.splitext(os.path.basename(path))[0]
    return (f"{path} is a raster file, not a varda store. To measure how it compresses: "
            f"'varda bench {path}'; to make a store of it: 'varda compress {path} {stem}.zarr', "
            f"then 'varda info {stem}.zarr'")


def cmd_demo(args) -> int:
    from . import bench, demo

    check_plot_path(args.plot)
    started = time.perf_counter()
    results = []
    items = demo.rasters(args.size)
    steps = sum(len(bench.chains_for(i.data.dtype)) + 3 + len(i.recipes) for i in items)
    with _Bar("demo", steps, steps=True) as bar:
        for item in items:
            rows = bench.run(item.data, tile=512, threads=args.threads, recipes=item.recipes,
                             nodata=item.nodata, progress=lambda _step: bar.advance(1))
            title = f"{item.title} ({' x '.join(map(str, item.data.shape))})"
            results.append((title, rows, item))
    for title, rows, item in results:
        if args.json:
            break
        print_table(title, rows)
        fitted = [r.note for r in rows if r.recipe and r.recipe.startswith("SQRT")
                  and r.note.startswith("resolved as ") and ",A=" in r.note]
        if fitted:
            found = dict(part.split("=", 1) for part in fitted[0].split(",")[1:])
            print(f"noise curve: made with A={demo.NOISE_A:g} B={demo.NOISE_B:g}, fitted "
                  f"A={float(found['A']):.4g} B={float(found['B']):.4g}\n")
    if args.json:
        print(json.dumps([{"raster": t, "rows": [r.to_dict() for r in rows]}
                          for t, rows, _ in results], indent=1))
    plot([(t, rows) for t, rows, _ in results], args.plot)
    if not args.json:
        print(f"{args.plot} written; {time.perf_counter() - started:.1f} s")
    return _verified([rows for _, rows, _ in results])


COMMANDS = {"bench": cmd_bench, "compress": cmd_compress, "decompress": cmd_decompress,
            "info": cmd_info, "verify": cmd_verify, "demo": cmd_demo}


class Interrupted(KeyboardInterrupt):
    def __init__(self, signum: int):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _interrupt(signum, _frame):
    # One signal is enough: the cleanup that follows must not be cut short.
    for s in (signal.SIGINT, signal.SIGTERM):
        signal.signal(s, signal.SIG_IGN)
    raise Interrupted(signum)


@contextlib.contextmanager
def _interruptible():
    """SIGTERM stops a command as Ctrl-C does: the output being written is
    removed, and the exit status is 128 plus the signal's number."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    before = {s: signal.signal(s, _interrupt) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for s, handler in before.items():
            signal.signal(s, handler)


def _glued(argv: list[str]) -> list[str]:
    """`--nodata V` as `--nodata=V`: argparse takes "-inf" or "-1e9" after
    an option for an option of its own, not for a negative value."""
    out, argv = [], list(argv)
    while argv:
        arg = argv.pop(0)
        if arg == "--nodata" and argv:
            arg = f"--nodata={argv.pop(0)}"
        out.append(arg)
    return out


def _quiet_pipe() -> int:
    # The reader (`| head`) went away: what is left to print has no one to
    # read it, which is no failure of the command.
    with contextlib.suppress(OSError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


def _say_warning(message, category, *_args, **_kwargs) -> None:
    print(f"varda: {message}", file=sys.stderr)


def main(argv=None) -> int:
    args = parser().parse_args(_glued(sys.argv[1:] if argv is None else argv))
    # GDAL's warnings and what a GeoTIFF leaves out reach the user as lines
    # of the tool's own.
    warnings.showwarning = _say_warning
    from ._lib import CorruptTile, LibraryNotFound, VardaError
    from .raster import CreationOptionError, RasterError, UnsupportedRaster
    from .store import StoreError, UnfinishedStore

    try:
        with _interruptible():
            code = COMMANDS[args.command](args)
            sys.stdout.flush()
            return code
    except BrokenPipeError:
        return _quiet_pipe()
    except UnfinishedStore as e:
        print(f"varda: {e.reason}; wait for its writer, or write it again", file=sys.stderr)
        return EXIT_DATA
    except LibraryNotFound as e:
        print(f"varda: {e}", file=sys.stderr)
        return EXIT_USAGE
    except UnsupportedRaster as e:
        print(f"varda: {e}", file=sys.stderr)
        return EXIT_USAGE
    except (StoreError, RasterError, CorruptTile, DataError) as e:
        print(f"varda: {e}", file=sys.stderr)
        return EXIT_DATA
    except (VardaError, UsageError, FileExistsError, CreationOptionError) as e:
        print(f"varda: {e}", file=sys.stderr)
        return EXIT_USAGE
    except OSError as e:
        print(f"varda: {e}", file=sys.stderr)
        return EXIT_DATA
    except KeyboardInterrupt as e:
        signum = getattr(e, "signum", signal.SIGINT)
        print(f"varda: stopped by {signal.Signals(signum).name}", file=sys.stderr)
        return 128 + signum


if __name__ == "__main__":
    sys.exit(main())
