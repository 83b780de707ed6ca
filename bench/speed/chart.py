"""The SVG chart: where each operation stands between the reference and the C floor."""

from __future__ import annotations

from pathlib import Path

from .operations import OPERATIONS
from .report import (
    FLOOR_LIMIT,
    FS_LABELS,
    LIST_STARTUP_LIMIT,
    SCANDIR_FACTOR,
    STARTUP_LIMIT,
    Results,
)

STYLE = {
    "object": dict(marker="o", color="#9e9e9e", label="reference (object path)"),
    "scandir": dict(marker="s", color="#1f77b4", label="scandir Python"),
    "native": dict(marker="D", color="#d62728", label="native"),
    "c": dict(marker="|", color="black", label="C floor", markersize=14, markeredgewidth=2),
}


def draw(results: Results, path: Path) -> str:
    """Writes the chart; returns "" or why it was not drawn."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib is not installed (pip install '.[bench]'): no chart drawn"
    # The same input draws the same file: no date, no random ids.
    plt.rcParams["svg.hashsalt"] = "tarvek-bench"
    plt.rcParams["svg.fonttype"] = "none"
    scale = results.base_scale
    panels = [fs for fs in results.fss]
    with_startup = bool(results.startup) and len(results.startup) > 1
    columns = len(panels) + (1 if with_startup else 0)
    figure, axes = plt.subplots(1, columns, figsize=(5.2 * columns, 4.2), squeeze=False)
    axes = list(axes[0])
    labels = list(reversed(OPERATIONS))
    for ax, fs in zip(axes, panels):
        for y, op in enumerate(labels):
            row = results.row(op, fs, scale)
            if row is None or not row.best("c"):
                continue
            floor = row.best("c")
            ratios = {variant: row.best(variant) / floor for variant in STYLE if row.best(variant)}
            # The target: faster than scandir Python by 1.2 and near the floor.
            target = FLOOR_LIMIT[op]
            if "scandir" in ratios:
                target = min(target, ratios["scandir"] / SCANDIR_FACTOR)
            ax.fill_betweenx(
                [y - 0.3, y + 0.3], 1, max(target, 1), color="#2ca02c", alpha=0.18, lw=0
            )
            span = [min(ratios.values()), max(ratios.values())]
            ax.plot(span, [y, y], color="#cccccc", lw=1, zorder=1)
            for variant, ratio in ratios.items():
                style = dict(STYLE[variant])
                ax.plot(
                    [ratio],
                    [y],
                    linestyle="none",
                    zorder=3,
                    **{key: value for key, value in style.items() if key != "label"},
                )
            native_ms = row.best("native") * 1e3
            label = f"{native_ms:.0f} ms" if native_ms >= 100 else f"{native_ms:.3g} ms"
            ax.annotate(
                label,
                (ratios.get("native", 1), y),
                xytext=(0, 7),
                textcoords="offset points",
                ha="center",
                fontsize=7,
                color="#d62728",
            )
        ax.set_xscale("log")
        top = max(ax.get_xlim()[1], 2.5)
        ticks = [tick for tick in (1, 1.5, 2, 3, 5, 10, 20, 50, 100, 200) if tick <= top]
        ax.set_xticks(ticks, [f"{tick:g}×" for tick in ticks])
        ax.minorticks_off()
        ax.set_yticks(range(len(labels)), labels, fontsize=8)
        ax.set_xlabel("time relative to the C program (log)", fontsize=8)
        ax.set_title(f"{FS_LABELS.get(fs, fs)}, scale {scale}×", fontsize=10)
        ax.grid(axis="x", which="both", color="#eeeeee")
        ax.tick_params(axis="x", labelsize=8)
    if with_startup:
        ax = axes[-1]
        base = results.startup[0].best
        rows = results.startup[1:]
        for y, startup in enumerate(reversed(rows)):
            limit = STARTUP_LIMIT.get(startup.label, LIST_STARTUP_LIMIT)
            ax.fill_betweenx([y - 0.3, y + 0.3], 1, limit, color="#2ca02c", alpha=0.18, lw=0)
            ratio = startup.best / base
            ax.plot([1, ratio], [y, y], color="#cccccc", lw=1)
            ax.plot([ratio], [y], marker="D", color="#d62728", linestyle="none")
            ax.plot(
                [1],
                [y],
                marker="|",
                color="black",
                markersize=14,
                markeredgewidth=2,
                linestyle="none",
            )
            ax.annotate(
                f"{startup.best * 1e3:.0f} ms",
                (ratio, y),
                xytext=(0, 7),
                textcoords="offset points",
                ha="center",
                fontsize=7,
                color="#d62728",
            )
        ax.set_yticks(range(len(rows)), [startup.label for startup in reversed(rows)], fontsize=8)
        ax.set_xlabel("time relative to python -c pass", fontsize=8)
        ax.set_title(f"start-up (python -c pass: {base * 1e3:.0f} ms)", fontsize=10)
        ax.set_xlim(left=0.8)
        ax.grid(axis="x", color="#eeeeee")
        ax.tick_params(axis="x", labelsize=8)
    handles = [
        plt.Line2D([], [], linestyle="none", **{key: value for key, value in style.items()})
        for style in STYLE.values()
    ]
    handles.append(plt.Rectangle((0, 0), 1, 1, color="#2ca02c", alpha=0.18, label="target"))
    figure.legend(handles=handles, loc="lower center", ncol=len(handles), fontsize=8, frameon=False)
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    path.parent.mkdir(parents=True, exist_ok=True)
    kind = path.suffix.lstrip(".") or "svg"
    figure.savefig(path, format=kind, metadata={"Date": None} if kind == "svg" else None)
    plt.close(figure)
    return ""
