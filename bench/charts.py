"""PNG charts of a benchmark report (bench.py --charts DIR, or on a saved report:
python bench/charts.py REPORT.json DIR).

  ratios_dumps.png, ratios_loads.png, ratios_emit.png
      per corpus file, vorn's throughput over each peer's (grouped bars, log scale, a line at 1:
      above it vorn is faster)
  scaling.png
      on generated records text, throughput (MB/s of the text) and peak memory (as a multiple of
      the text) against the size of the text, both on log x axes
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

RATIO_MEASURES = ("dumps", "loads", "emit")
SCALING_STYLE = {"vorn.dumps": "o-", "vorn.loads": "s-", "vorn.emit": "^-", "orjson.loads": "x--",
                 "ormsgpack.unpackb": "+--", "ormsgpack.packb": "v--"}


def write_charts(report: dict, out: Path) -> tuple[list[Path], str | None]:
    """Writes the charts the report has figures for into out; returns their paths and, when no
    chart could be drawn, why."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return [], "matplotlib not installed: no charts written (make bench installs it)"
    out.mkdir(parents=True, exist_ok=True)
    colours = peer_colours(report, plt)
    written = []
    for measure in RATIO_MEASURES:
        path = out / f"ratios_{measure}.png"
        if ratio_chart(plt, measure, report["measures"].get(measure, []), colours, path):
            written.append(path)
    if report.get("scaling"):
        path = out / "scaling.png"
        if scaling_chart(plt, report["scaling"], path):
            written.append(path)
    return written, None


def peer_colours(report: dict, plt) -> dict[str, tuple]:
    """One colour per peer across all charts, so that a peer reads the same everywhere."""
    names: list[str] = []
    for measure in RATIO_MEASURES:
        for e in report["measures"].get(measure, []):
            names += [n for n in e["results"] if not n.startswith("vorn") and n not in names]
    palette = plt.get_cmap("tab20").colors
    return {name: palette[i % len(palette)] for i, name in enumerate(names)}


def ratio_chart(plt, measure: str, entries: list[dict], colours: dict, path: Path) -> bool:
    from matplotlib.ticker import LogLocator, NullFormatter

    lead = "vorn." + measure
    rows = [e for e in entries if e["results"].get(lead, {}).get("status") == "ok"]
    peers: list[str] = []
    for e in rows:
        peers += [n for n, rec in e["results"].items() if "ratio" in rec and n not in peers]
    if not rows or not peers:
        return False
    width = 0.84 / len(peers)
    fig, ax = plt.subplots(figsize=(max(8.0, 1.3 * len(rows) + 2), 5.2), dpi=110)
    for k, name in enumerate(peers):
        xs, ys = [], []
        for i, e in enumerate(rows):
            rec = e["results"].get(name, {})
            if "ratio" in rec:
                xs.append(i - 0.42 + width * (k + 0.5))
                ys.append(rec["ratio"])
        ax.bar(xs, ys, width, label=name, color=colours[name])
    ax.axhline(1.0, color="black", linewidth=1, linestyle="--")
    ax.set_yscale("log")
    ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    ax.yaxis.set_major_formatter(plt.FuncFormatter(lambda v, _: f"{v:g}"))
    ax.yaxis.set_minor_formatter(NullFormatter())
    ax.set_xticks(range(len(rows)))
    ax.set_xticklabels([e["file"].removesuffix(".json") for e in rows], rotation=30, ha="right")
    ax.set_xlim(-0.6, len(rows) - 0.4)
    ax.set_ylabel(f"{lead} throughput / peer's")
    ax.set_title(f"{measure}: how many times faster vorn is than each peer (above 1: vorn faster)")
    ax.grid(axis="y", which="both", alpha=0.3)
    ax.legend(fontsize=8, ncol=min(len(peers), 5), loc="upper center",
              bbox_to_anchor=(0.5, -0.22), frameon=False)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def scaling_chart(plt, entries: list[dict], path: Path) -> bool:
    ops = [op for op in SCALING_STYLE
           if any(e["results"].get(op, {}).get("status") == "ok" for e in entries)]
    if not ops:
        return False
    fig, (speed, memory) = plt.subplots(1, 2, figsize=(12, 4.6), dpi=110)
    for op in ops:
        points = [(e["bytes"], e["results"][op]) for e in entries
                  if e["results"].get(op, {}).get("status") == "ok"]
        sizes = [b for b, _ in points]
        speed.plot(sizes, [r["mb_s"] for _, r in points], SCALING_STYLE[op], label=op)
        peaks = [(b, r["peak_bytes"] / b) for b, r in points if r.get("peak_bytes") is not None]
        if peaks:
            memory.plot(*zip(*peaks), SCALING_STYLE[op], label=op)
    labels = {e["bytes"]: e["size"] for e in entries}
    for ax in (speed, memory):
        ax.set_xscale("log")
        ax.set_xticks(list(labels), list(labels.values()))
        ax.minorticks_off()
        ax.set_xlabel("records text")
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
    speed.set_ylabel("MB/s of the text")
    speed.set_ylim(bottom=0)
    speed.set_title("throughput against size")
    memory.set_ylabel("peak memory / text size")
    memory.set_ylim(bottom=0)
    memory.set_title("peak memory of one call against size")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: charts.py REPORT.json DIR")
    paths, problem = write_charts(json.loads(Path(sys.argv[1]).read_text()), Path(sys.argv[2]))
    if problem:
        sys.exit(problem)
    print("\n".join(map(str, paths)))
