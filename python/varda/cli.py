"""The `varda` command: bench, compress, decompress, info, demo.

Exit status: 0 done; 1 corrupt or unreadable data (the message names the
chunk and what failed, and a half-written output is removed); 2 usage
errors and refused recipes, chains or values (the library's message);
130 and 143 stopped by SIGINT (Ctrl-C) or SIGTERM, the output removed.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import signal
import sys
import threading
import time

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


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="varda", description="Raster tile compression: "
                                "benchmarks, Zarr stores and a demo.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    b = sub.add_parser("bench", help="every chain and recipe on the tiles of raster files")
    b.add_argument("files", nargs="+", metavar="FILE")
    b.add_argument("--tile", type=_positive, default=512)
    b.add_argument("--threads", type=_positive, default=None)
    b.add_argument("--recipe", action="append", default=[], metavar="TEXT")
    b.add_argument("--nodata", type=_nodata, default=None, metavar="V")
    b.add_argument("--band", type=_positive, default=None, metavar="K")
    b.add_argument("--chain", action="append", default=None, metavar="NAME",
                   help="only these chains (auto included by name); all by default")
    b.add_argument("--no-reference", dest="references", action="store_false",
                   help="leave out the Blosc and Zstd rows")
    b.add_argument("--effort", type=int, choices=(0, 1, 2), default=1)
    b.add_argument("--repeat", type=_positive, default=1,
                   help="time each step this often and keep the best")
    b.add_argument("--json", action="store_true", help="print the results as JSON")
    b.add_argument("--plot", metavar="OUT", help="ratio against decode speed, .png or .svg")

    c = sub.add_parser("compress", help="a raster file to a varda-coded Zarr store")
    c.add_argument("input", metavar="IN")
    c.add_argument("output", metavar="OUT.zarr")
    c.add_argument("--chain", default="auto")
    c.add_argument("--recipe", default=None, metavar="TEXT")
    c.add_argument("--nodata", type=_nodata, default=None, metavar="V")
    c.add_argument("--tile", type=_positive, default=512)
    c.add_argument("--threads", type=_positive, default=None)
    c.add_argument("--effort", type=int, choices=(0, 1, 2), default=1)
    c.add_argument("--level", type=int, help="zstd level (default: the codec's own)")

    d = sub.add_parser("decompress", help="a store back to a GeoTIFF or .npy file")
    d.add_argument("input", metavar="IN.zarr")
    d.add_argument("output", metavar="OUT.tif|.npy")
    d.add_argument("--threads", type=_positive, default=None)

    i = sub.add_parser("info", help="shape, dtype, chains and ratio of a store")
    i.add_argument("input", metavar="IN.zarr")
    i.add_argument("--json", action="store_true")

    m = sub.add_parser("demo", help="built-in rasters through bench, with a plot")
    m.add_argument("--size", type=_positive, default=1024)
    m.add_argument("--plot", default="demo.png", metavar="OUT")
    m.add_argument("--threads", type=_positive, default=None)
    m.add_argument("--json", action="store_true")
    return p


# ---- output -------------------------------------------------------------------


def _tty() -> bool:
    return sys.stdout.isatty()


@contextlib.contextmanager
def _progress(total: int, what: str):
    """A progress bar on a terminal, nothing elsewhere; yields advance(n)."""
    if not (sys.stderr.isatty() and total > 1):
        yield lambda n=1: None
        return
    from rich.progress import Progress

    with Progress(transient=True) as bar:
        task = bar.add_task(what, total=total)
        yield lambda n=1: bar.advance(task, n)


def _fmt(value, digits=2) -> str:
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "-"
    return f"{value:.{digits}f}"


COLUMNS = ("chain", "ratio", "bits/sample", "encode MB/s", "decode MB/s", "worst error")


def _cells(row) -> list[str]:
    if row.note.startswith("not applicable"):
        return [row.label, "-", "-", "-", "-", "n/a"]
    worst = "FAILED" if not row.verified else ("-" if row.recipe is None else _fmt(row.worst, 3))
    if not row.verified and row.recipe is None:
        worst = "FAILED"
    return [row.label + (" (ref)" if row.reference else ""), _fmt(row.ratio), _fmt(row.bits_per_sample),
            _fmt(row.encode_mbs, 0), _fmt(row.decode_mbs, 0), worst]


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
    if _tty():
        from rich.console import Console
        from rich.table import Table

        table = Table(title=title)
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
    print()


def plot(results: list[tuple[str, list]], out: str) -> None:
    import matplotlib
    import matplotlib.ticker

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(results), figsize=(6.5 * len(results), 5.2), squeeze=False)
    for ax, (title, rows) in zip(axes[0], results):
        for r in rows:
            if not math.isfinite(r.ratio):
                continue
            marker = "s" if r.reference else ("^" if r.recipe else "o")
            color = "grey" if r.reference else ("tab:red" if r.recipe else "tab:blue")
            ax.scatter(r.decode_mbs, r.ratio, marker=marker, color=color)
            ax.annotate(r.label, (r.decode_mbs, r.ratio), fontsize=7, xytext=(3, 2),
                        textcoords="offset points")
        ax.set_xscale("log")
        # Lossy ratios run far above lossless ones; a log axis keeps both legible.
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
        ax.yaxis.set_minor_formatter(matplotlib.ticker.ScalarFormatter())
        ax.set_xlabel("decode MB/s (all threads)")
        ax.set_ylabel("compression ratio")
        ax.set_title(title, fontsize=10)
        ax.grid(True, alpha=0.3)
    fig.tight_layout()
    try:
        # Written under a temporary name: the format comes from the real one.
        with _output.creating(out, replace=True) as temp:
            fig.savefig(temp, format=os.path.splitext(out)[1][1:] or
                        matplotlib.rcParams["savefig.format"])
    except (OSError, ValueError) as e:
        raise UsageError(f"cannot write the plot {out}: {e}") from None
    finally:
        plt.close(fig)


# ---- commands -----------------------------------------------------------------


def cmd_bench(args) -> int:
    from . import bench, raster
    from .codec import chains_for

    results = []
    for path in args.files:
        data, meta = raster.read(path, args.band)
        nodata = args.nodata if args.nodata is not None else meta.nodata
        steps = len(args.chain or chains_for(data.dtype)) + (0 if args.chain else 1) + \
            len(args.recipe) + (2 if args.references else 0)
        with _progress(steps, f"bench {path}") as advance:
            rows = bench.run(data, tile=args.tile, threads=args.threads, recipes=args.recipe,
                             nodata=nodata, effort=args.effort, repeat=args.repeat,
                             chains=args.chain, references=args.references,
                             progress=lambda _step: advance(1))
        title = f"{path}: {' x '.join(map(str, data.shape))} {data.dtype}" + \
            (f", nodata {nodata}" if nodata is not None else "")
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


def cmd_compress(args) -> int:
    from . import raster, store

    data, meta = raster.read(args.input)
    if args.nodata is not None:
        meta.nodata = args.nodata
    if data.shape[0] == 1:
        data = data[0]
    started = time.perf_counter()
    chunks = math.ceil(data.shape[-2] / args.tile) * math.ceil(data.shape[-1] / args.tile) * \
        (data.shape[0] if data.ndim == 3 else 1)
    with _progress(chunks, "compress") as advance:
        store.compress(data, args.output, chain=args.chain, recipe=args.recipe, nodata=meta.nodata,
                       tile=args.tile, threads=args.threads, effort=args.effort, meta=meta,
                       progress=advance, **({} if args.level is None else {"level": args.level}))
    seconds = time.perf_counter() - started
    summary = store.info(args.output)
    print(f"{args.output}: {' x '.join(map(str, data.shape))} {data.dtype}, {summary['tiles']} tiles, "
          f"ratio {summary['ratio']:.2f}, {data.nbytes / 1e6 / seconds:.0f} MB/s")
    return 0


def cmd_decompress(args) -> int:
    from . import store

    z = store.open_array(args.input)
    with _progress(z.nchunks, "decompress") as advance:
        store.decompress(args.input, args.output, threads=args.threads, progress=advance)
    print(f"{args.output}: {' x '.join(map(str, z.shape))} {z.dtype}")
    return 0


def cmd_info(args) -> int:
    from . import store

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
        ("tiles", f"{summary['tiles']} of {' x '.join(map(str, summary['chunks'][-2:]))}"),
        ("chains", chains),
        ("recipe", summary["recipe"] or "lossless"),
        ("nodata", f"{summary['nodata']} ({summary['tiles_with_nodata']} tiles hold some)"
         if summary["nodata"] is not None else "none"),
        ("crs", (summary["crs"] or "none")[:70]),
        ("transform", ", ".join(f"{v:g}" for v in summary["transform"])
         if summary["transform"] else "none"),
        ("bands", ", ".join(n or "-" for n in summary["band_names"]) or "-"),
        ("size", f"{summary['raw_bytes']} bytes raw, {summary['stored_bytes']} stored"),
        ("ratio", f"{summary['ratio']:.3f}"),
    ]
    for key, value in lines:
        print(f"{key:>10}  {value}")
    return 0


def cmd_demo(args) -> int:
    from . import bench, demo

    started = time.perf_counter()
    results = []
    for item in demo.rasters(args.size):
        rows = bench.run(item.data, tile=512, threads=args.threads, recipes=item.recipes,
                         nodata=item.nodata)
        title = f"{item.title} ({' x '.join(map(str, item.data.shape))})"
        results.append((title, rows))
        if not args.json:
            print_table(title, rows)
            fitted = [r.note for r in rows if r.recipe and r.recipe.startswith("SQRT")
                      and r.note.startswith("resolved as ") and ",A=" in r.note]
            if fitted:
                found = dict(part.split("=", 1) for part in fitted[0].split(",")[1:])
                print(f"noise curve: made with A={demo.NOISE_A:g} B={demo.NOISE_B:g}, fitted "
                      f"A={float(found['A']):.4g} B={float(found['B']):.4g}\n")
    if args.json:
        print(json.dumps([{"raster": t, "rows": [r.to_dict() for r in rows]} for t, rows in results],
                         indent=1))
    plot(results, args.plot)
    if not args.json:
        print(f"{args.plot} written; {time.perf_counter() - started:.1f} s")
    return _verified([rows for _, rows in results])


COMMANDS = {"bench": cmd_bench, "compress": cmd_compress, "decompress": cmd_decompress,
            "info": cmd_info, "demo": cmd_demo}


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


def main(argv=None) -> int:
    args = parser().parse_args(argv)
    from ._lib import CorruptTile, LibraryNotFound, VardaError
    from .raster import RasterError
    from .store import StoreError

    try:
        with _interruptible():
            return COMMANDS[args.command](args)
    except LibraryNotFound as e:
        print(f"varda: {e}", file=sys.stderr)
        return EXIT_USAGE
    except (StoreError, RasterError, CorruptTile, DataError) as e:
        print(f"varda: {e}", file=sys.stderr)
        return EXIT_DATA
    except (VardaError, UsageError, FileExistsError) as e:
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
