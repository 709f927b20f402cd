#!/usr/bin/python3
"""Draws capture_bench's JSON output: time per capture against frame pixels and
against page width, each beside its floor; prints the figures as a table.

    benchmarks/plot.py RESULTS.json [--png OUT.png] [--before BEFORE.json]

Uses the median aggregates when the run had repetitions, else the runs
themselves. Needs python3-matplotlib for --png.
"""
import argparse
import json
import re

NAME = re.compile(r"capture/(\d+)x(\d+)/w(\d+)/(dir|null)")


def load(path):
    """{(width, height, columns, sink): {"ms", "floor_ms", "ratio"}}"""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    have_medians = any(r.get("aggregate_name") == "median" for r in runs)
    cases = {}
    for r in runs:
        if have_medians != (r.get("aggregate_name") == "median"):
            continue
        m = NAME.match(r["name"])
        if not m or r.get("error_occurred"):
            continue
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[r["time_unit"]]
        key = (int(m[1]), int(m[2]), int(m[3]), m[4])
        cases[key] = {
            "ms": r["real_time"] * scale,
            "floor_ms": r["floor_us"] / 1e3,
            "ratio": r["ratio"],
        }
    return cases


def table(cases, before):
    head = "| frame | width | to | ms | floor ms | ratio |"
    rule = "|---|---:|---|---:|---:|---:|"
    if before:
        head += " before ms | before ratio |"
        rule += "---:|---:|"
    print(head)
    print(rule)
    for key in sorted(cases, key=lambda k: (k[3], k[0] * k[1], k[2])):
        c = cases[key]
        line = f"| {key[0]}x{key[1]} | {key[2]} | {key[3]} | {c['ms']:.3g} | {c['floor_ms']:.3g} | {c['ratio']:.2f} |"
        if before:
            b = before.get(key)
            line += f" {b['ms']:.3g} | {b['ratio']:.2f} |" if b else " | |"
        print(line)


def plot(cases, png):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sinks = sorted({k[3] for k in cases})
    sizes = sorted({(k[0], k[1]) for k in cases}, key=lambda s: s[0] * s[1])
    widths = sorted({k[2] for k in cases})
    fig, axes = plt.subplots(len(sinks), 2, figsize=(11, 4.2 * len(sinks)), squeeze=False)
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    where = {"dir": "to a scratch folder", "null": "to /dev/null"}
    for row, sink in enumerate(sinks):
        by_pixels, by_width = axes[row]
        for i, columns in enumerate(widths):
            keys = [(w, h, columns, sink) for (w, h) in sizes if (w, h, columns, sink) in cases]
            x = [k[0] * k[1] for k in keys]
            by_pixels.plot(x, [cases[k]["ms"] for k in keys], "o-", color=colors[i], label=f"width {columns}")
            by_pixels.plot(x, [cases[k]["floor_ms"] for k in keys], "x--", color=colors[i], alpha=0.6)
        for i, (w, h) in enumerate(sizes):
            keys = [(w, h, c, sink) for c in widths if (w, h, c, sink) in cases]
            x = [k[2] for k in keys]
            by_width.plot(x, [cases[k]["ms"] for k in keys], "o-", color=colors[i], label=f"{w}x{h}")
            by_width.plot(x, [cases[k]["floor_ms"] for k in keys], "x--", color=colors[i], alpha=0.6)
        by_pixels.set_xlabel("frame pixels")
        by_width.set_xlabel("page width (characters)")
        for ax in (by_pixels, by_width):
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_ylabel("ms per capture")
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=8, title="solid: capture, dashed: floor", title_fontsize=8)
        by_pixels.set_title(f"against frame size, {where.get(sink, sink)}")
        by_width.set_title(f"against page width, {where.get(sink, sink)}")
    fig.tight_layout()
    fig.savefig(png, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results")
    parser.add_argument("--png")
    parser.add_argument("--before")
    args = parser.parse_args()
    cases = load(args.results)
    if not cases:
        raise SystemExit(f"{args.results}: no capture cases")
    table(cases, load(args.before) if args.before else None)
    if args.png:
        plot(cases, args.png)


if __name__ == "__main__":
    main()
