#!/usr/bin/python3
"""Draws the side-by-side figures of a benchmark run (results.json) as one
SVG: supervisor CPU per restart, and Pss with one and with four programs,
for watch_daemon, the minimal C supervisor and each peer.
Usage: chart.py RESULTS_JSON OUTPUT_SVG"""

import json
import sys

import matplotlib

matplotlib.use("Agg")  # no display: write the file only
import matplotlib.pyplot as plt  # noqa: E402

LABELS = {"watch_daemon": "watch_daemon", "mini": "minimal C", "mini_cjson": "minimal C + libcjson",
          "runsv": "runsv", "s6-supervise": "s6-supervise", "supervise": "supervise",
          "supervisord": "supervisord"}
INSTANT = "watch_daemon, minimal C: instant delays;\npeers throttle to ~1 restart/s"


def panels(results):
    """(title, {kind: value}) for each figure, the kinds that have it."""
    mem = results["memory"]
    cpu = {k: v["cpu_us_per_restart"] for k, v in results["restarts"].items()}
    return [
        (f"supervisor CPU µs per restart\n({INSTANT})", cpu),
        ("Pss kB, 1 program", {k: v["pss_kb"] for k, v in mem["1"].items()}),
        ("Pss kB, 4 programs", {k: v["pss_kb"] for k, v in mem["4"].items()}),
    ]


def scale_end(values):
    """The axis end: supervisord is some hundred times above the rest, so it
    runs off the scale (its figure is written in the bar) rather than
    squeezing every other bar to nothing."""
    top = sorted(values)
    return top[-1] * 1.15 if len(top) < 2 or top[-1] < 4 * top[-2] else top[-2] * 1.5


def draw(results, out):
    plt.rcParams.update({"svg.hashsalt": "watch_daemon", "svg.fonttype": "none", "font.size": 8})
    kinds = [k for k in LABELS if k in results["kinds"]]
    fig, axes = plt.subplots(1, 3, figsize=(11, 3.4), sharey=True)
    for ax, (title, values) in zip(axes, panels(results)):
        end = scale_end(values.values())
        for row, kind in enumerate(kinds):
            value = values.get(kind)
            if value is None:
                ax.annotate("not measured", (0, row), xytext=(3, 0), textcoords="offset points",
                            va="center", color="gray")
                continue
            ax.barh(row, min(value, end), color="tab:blue" if kind == "watch_daemon" else "tab:gray")
            off_scale = value > end
            ax.annotate(f"{value:.0f}" + (" (off the scale)" if off_scale else ""), (min(value, end), row),
                        xytext=(-3 if off_scale else 3, 0), textcoords="offset points", va="center",
                        ha="right" if off_scale else "left", color="white" if off_scale else "black")
        ax.set_xlim(0, end)
        ax.set_title(title)
        ax.tick_params(axis="y", length=0)
    axes[0].set_yticks(range(len(kinds)), [LABELS[k] for k in kinds])
    axes[0].invert_yaxis()
    fig.suptitle(f"Lower is better. One run, side by side ({results['machine']})", fontsize=9)
    fig.tight_layout()
    fig.savefig(out, format="svg", metadata={"Date": None})


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: chart.py RESULTS_JSON OUTPUT_SVG")
    with open(sys.argv[1]) as f:
        draw(json.load(f), sys.argv[2])


if __name__ == "__main__":
    main()
