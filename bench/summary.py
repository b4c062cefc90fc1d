#!/usr/bin/env python3
"""The summary that ends `make bench`.

Reads the JSON files the benchmark binaries wrote (--benchmark_out). On the
screen: every target with its verdict, and the tile codec's ratios beside
Blosc, zstd and JPEG-LS. Into summary.txt beside the JSON files: every
kernel's speed as a ratio to memcpy per element type on its fastest path,
and every chain's ratio and speed. Only the standard library is used.
"""
import json
import os
import re
import sys

TYPE_ORDER = ["u8", "i8", "u16", "i16", "f16", "u32", "i32", "f32", "u64", "i64", "f64"]
REFERENCES = ("blosc", "zstd9", "jpegls")
# Near-lossless rows: near{bound}_{coder}_{direction}.
NEAR = re.compile(r"near(\d+)_(\w+)_(encode|decode)$")


def load(paths):
    rows = []
    for path in paths:
        with open(path) as f:
            for bench in json.load(f).get("benchmarks", []):
                name = bench["name"].split("/iterations:")[0]
                parts = name.split("/")
                if len(parts) != 4:
                    continue
                kernel, type_, data, simd = parts
                ratio = None if bench.get("error_occurred") else bench.get("x_memcpy")
                rows.append(dict(kernel=kernel, type=type_, data=data, path=simd, x=ratio,
                                 med=bench.get("x_memcpy_med"), target=bench.get("target", 0),
                                 error=bench.get("error_message", ""),
                                 label=bench.get("label", ""), name=name,
                                 ratio=bench.get("ratio", 0), gbps=bench.get("GB/s", 0)))
    return rows


def not_applicable(row):
    return row["error"].startswith("n/a")


def kernel_table(rows, out):
    """Per kernel and data set, x memcpy per type on the fastest path."""
    kernels = [r for r in rows if not r["ratio"] and not (r["x"] is None and not_applicable(r))]
    if not kernels:
        return
    types = [t for t in TYPE_ORDER if any(r["type"] == t for r in kernels)]
    types += sorted({r["type"] for r in kernels} - set(types))
    groups = {}
    for r in kernels:
        groups.setdefault((r["kernel"], r["data"]), {}).setdefault(r["type"], []).append(r)
    print("Kernels: x memcpy of the same bytes, best batch, fastest path (* = avx2)", file=out)
    width = max(len(k) + len(d) for k, d in groups) + 3
    print(f"{'kernel  data':<{width}}" + "".join(f"{t:>8}" for t in types), file=out)
    for (kernel, data), by_type in groups.items():
        cells = []
        for t in types:
            measured = [r for r in by_type.get(t, []) if r["x"] is not None]
            if not measured:
                cells.append("error" if t in by_type else "")
                continue
            best = max(measured, key=lambda r: r["x"])
            cells.append(f"{best['x']:.3f}{'*' if best['path'] == 'avx2' else ' '}")
        print(f"{kernel + '  ' + data:<{width}}" + "".join(f"{c:>8}" for c in cells), file=out)


def codec_table(rows, out, compact):
    """Per raster: each coder's ratio and encode and decode speed."""
    coded = [r for r in rows if r["ratio"] and r["x"] is not None
             and not NEAR.match(r["kernel"])]
    if not coded:
        return
    print("Tile codec: ratio (uncompressed / coded bytes) and speed in uncompressed MB/s",
          file=out)
    by_data = {}
    for r in coded:
        coder, _, direction = r["kernel"].rpartition("_")
        entry = by_data.setdefault((r["data"], r["type"]), {}).setdefault(coder, {})
        entry["ratio"] = r["ratio"]
        entry[direction] = r["gbps"] * 1000
    for (data, type_), coders in by_data.items():
        shown = coders
        if compact:
            chains = sorted((c for c in coders if not c.startswith("auto") and c not in REFERENCES),
                            key=lambda c: -coders[c]["ratio"])[:2]
            shown = {c: coders[c] for c in coders if c.startswith("auto") or c in REFERENCES
                     or c in chains}
        print(f"  {data} ({type_})", file=out)
        for coder, e in sorted(shown.items(), key=lambda kv: -kv[1]["ratio"]):
            mark = " (reference)" if coder in REFERENCES else ""
            print(f"    {coder + mark:<30} ratio {e['ratio']:7.3f}   encode {e.get('encode', 0):8.1f}"
                  f"   decode {e.get('decode', 0):8.1f}", file=out)


def near_table(rows, out):
    """Per raster and error bound: varda at efforts 1 and 2 beside JPEG-LS."""
    cells = {}
    for r in rows:
        m = NEAR.match(r["kernel"])
        if m and m.group(3) == "decode" and r["x"] is not None:
            cells.setdefault((r["data"], r["type"], int(m.group(1))), {})[m.group(2)] = r
    if not cells:
        return
    print("Near-lossless: ratio within the bound, and varda's decode speed over JPEG-LS's",
          file=out)
    print(f"  {'raster':<28} {'bound':>5} {'varda1':>8} {'varda2':>8} {'jpegls':>8}"
          f" {'dec1/jls':>9} {'dec2/jls':>9}", file=out)

    def ratio(entry, coder):
        return f"{entry[coder]['ratio']:.3f}" if coder in entry else "-"

    def speed(entry, coder):
        # Each row's median ratio to memcpy in its own run, so that load
        # which changes between the rows cancels.
        if coder not in entry or "jpegls" not in entry or not entry["jpegls"]["med"]:
            return "-"
        return f"{entry[coder]['med'] / entry['jpegls']['med']:.2f}"

    for (data, type_, bound), entry in sorted(cells.items()):
        print(f"  {data + ' (' + type_ + ')':<28} {bound:>5} {ratio(entry, 'varda1'):>8}"
              f" {ratio(entry, 'varda2'):>8} {ratio(entry, 'jpegls'):>8}"
              f" {speed(entry, 'varda1'):>9} {speed(entry, 'varda2'):>9}", file=out)


def targets(rows, out):
    missed = total = 0
    targeted = [r for r in rows if r["target"]]
    if targeted:
        print("Targets (x memcpy of the same bytes)", file=out)
        for r in targeted:
            total += 1
            name = f"{r['kernel']} {r['type']} {r['data']} {r['path']}"
            if r["x"] is None:
                verdict, shown = "error", "-"
            else:
                verdict = "met" if r["x"] >= r["target"] else "missed"
                shown = f"{r['x']:.3f} (median {r['med']:.3f})"
            missed += verdict != "met"
            print(f"  {name:<52} {shown:>24}  target {r['target']:.2f}  {verdict}", file=out)
    by_name = {r["name"]: r for r in rows}
    for title, pattern, field in (
            ("Targets against another row (ratio of the two speeds)",
             r"(?<!ratio )vs (\S+) >= ([0-9.]+)", "gbps"),
            ("Compression targets against another row (ratio of the two ratios)",
             r"ratio vs (\S+) >= ([0-9.]+)", "ratio")):
        found = [(r, m) for r in rows for m in [re.search(pattern, r["label"])] if m]
        if not found:
            continue
        print(title, file=out)
        for r, m in found:
            total += 1
            other, want = by_name.get(m.group(1)), float(m.group(2))
            if r["x"] is None or other is None or not other[field] or not r[field]:
                print(f"  {r['name']} vs {m.group(1)}: not measured", file=out)
                missed += 1
                continue
            ratio = r[field] / other[field]
            verdict = "met" if ratio >= want else "missed"
            missed += verdict != "met"
            print(f"  {r['name']} vs {m.group(1)}: {ratio:.3f}  target {want:.2f}  {verdict}",
                  file=out)
    if total:
        print(f"{total - missed} of {total} targets met", file=out)


def main(paths):
    rows = load(paths)
    if not rows:
        print("no benchmark results found")
        return 1
    full = os.path.join(os.path.dirname(os.path.abspath(paths[0])), "summary.txt")
    with open(full, "w") as out:
        kernel_table(rows, out)
        print(file=out)
        codec_table(rows, out, compact=False)
        print(file=out)
        near_table(rows, out)
        print(file=out)
        targets(rows, out)
    print()
    print("Summary")
    print()
    targets(rows, sys.stdout)
    print()
    codec_table(rows, sys.stdout, compact=True)
    print()
    near_table(rows, sys.stdout)
    for r in rows:
        if r["x"] is None and not not_applicable(r):
            print(f"error: {r['name']}: {r['error']}")
    print()
    print(f"Every kernel per type and path, and every chain: {full}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
