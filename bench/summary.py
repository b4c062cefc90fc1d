#!/usr/bin/env python3
"""The one-screen summary that ends `make bench`.

Reads the JSON files the benchmark binaries wrote (--benchmark_out) and
prints, per kernel and data set, each element type's speed as a ratio to
memcpy of the same bytes on the fastest path, then every row that has a
target with its verdict. Only the standard library is used.
"""
import json
import re
import sys

TYPE_ORDER = ["u8", "i8", "u16", "i16", "f16", "u32", "i32", "f32", "u64", "i64", "f64"]


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
                                 label=bench.get("label", ""), name=name))
    return rows


def main(paths):
    rows = load(paths)
    if not rows:
        print("no benchmark results found")
        return 1
    types = [t for t in TYPE_ORDER if any(r["type"] == t for r in rows)]
    types += sorted({r["type"] for r in rows} - set(types))
    groups = {}
    for r in rows:
        groups.setdefault((r["kernel"], r["data"]), {}).setdefault(r["type"], []).append(r)

    print()
    print("Summary: x memcpy of the same bytes, best batch, fastest path (* = avx2)")
    width = max(len(k) + len(d) for k, d in groups) + 3
    print(f"{'kernel  data':<{width}}" + "".join(f"{t:>8}" for t in types))
    for (kernel, data), by_type in groups.items():
        cells = []
        for t in types:
            candidates = [r for r in by_type.get(t, []) if r["x"] is not None]
            if not candidates:
                cells.append("error" if t in by_type else "")
                continue
            best = max(candidates, key=lambda r: r["x"])
            cells.append(f"{best['x']:.3f}{'*' if best['path'] == 'avx2' else ' '}")
        print(f"{kernel + '  ' + data:<{width}}" + "".join(f"{c:>8}" for c in cells))

    targeted = [r for r in rows if r["target"]]
    if targeted:
        print()
        print("Targets")
        missed = 0
        for r in targeted:
            name = f"{r['kernel']} {r['type']} {r['data']} {r['path']}"
            if r["x"] is None:
                verdict, shown = "error", "-"
            else:
                verdict = "met" if r["x"] >= r["target"] else "missed"
                shown = f"{r['x']:.3f} (median {r['med']:.3f})"
            missed += verdict != "met"
            print(f"  {name:<58} {shown:>24}  target {r['target']:.2f}  {verdict}")
        print(f"  {len(targeted) - missed} of {len(targeted)} targets met")
    by_name = {r["name"]: r for r in rows}
    relative = [(r, m) for r in rows
                for m in [re.search(r"vs (\S+) >= ([0-9.]+)", r["label"])] if m]
    if relative:
        print()
        print("Targets against another row (ratio of the two speeds)")
        for r, m in relative:
            other, want = by_name.get(m.group(1)), float(m.group(2))
            if r["x"] is None or other is None or not other["x"]:
                print(f"  {r['name']} vs {m.group(1)}: not measured")
                continue
            ratio = r["x"] / other["x"]
            verdict = "met" if ratio >= want else "missed"
            print(f"  {r['name']} vs {m.group(1)}: {ratio:.3f}  target {want:.2f}  {verdict}")
    errors = [r for r in rows if r["x"] is None]
    for r in errors:
        print(f"error: {r['kernel']}/{r['type']}/{r['data']}/{r['path']}: {r['error']}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
