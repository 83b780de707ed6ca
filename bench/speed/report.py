"""The issue's targets, checked against one run's figures, as Markdown."""

from __future__ import annotations

from dataclasses import dataclass, field

from .measure import Row
from .operations import OPERATIONS
from .startup import Startup

# Within this factor of the C program; the two that must build Python
# objects the C program does not get more room.
FLOOR_LIMIT = {op: 1.5 for op in OPERATIONS} | {"collect_skill_datas": 2.0, "discover": 2.0}
SCANDIR_FACTOR = 1.2  # at least this much faster than the hand-optimised Python
STARTUP_LIMIT = {"tarvek-skills -V": 2.5, "tarvek-skills --help": 2.5}
LIST_STARTUP_LIMIT = 4.0
GROWTH_LIMIT = 1.25  # time per unit of workload at the largest scale over that at the smallest
RSS_GROWTH_LIMIT_MB = 20.0
FS_LABELS = {"disk": "disk", "shm": "/dev/shm"}
GROWTH_TARGET = "linear growth: time per unit at the largest scale ≤ 1.25× that at the smallest"
RSS_TARGET = "peak RSS grows < 20 MB from the smallest scale to the largest"


@dataclass
class Results:
    rows: list[Row]
    syscalls: dict[str, dict[str, dict[str, int]]] = field(default_factory=dict)
    syscall_note: str = ""
    startup: list[Startup] = field(default_factory=list)
    startup_note: str = ""
    imports: dict[str, list[tuple[str, float]]] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)
    meta: dict[str, str] = field(default_factory=dict)

    def row(self, operation: str, fs: str, scale: int) -> Row | None:
        for row in self.rows:
            if (row.operation, row.fs, row.scale) == (operation, fs, scale):
                return row
        return None

    @property
    def fss(self) -> list[str]:
        return list(dict.fromkeys(row.fs for row in self.rows))

    @property
    def scales(self) -> list[int]:
        return sorted({row.scale for row in self.rows})

    def scales_on(self, fs: str) -> list[int]:
        return sorted({row.scale for row in self.rows if row.fs == fs})

    @property
    def base_scale(self) -> int:
        return 1 if 1 in self.scales or not self.scales else self.scales[0]


@dataclass
class Verdict:
    target: str
    operation: str
    fs: str
    value: float | None
    limit: float
    met: bool | None  # None: not measured
    text: str  # the figure as shown


def ms(seconds: float | None) -> str:
    if seconds is None:
        return "–"
    value = seconds * 1e3
    return f"{value:.2f}" if value < 10 else f"{value:.1f}" if value < 1000 else f"{value:.0f}"


def mark(met: bool | None) -> str:
    return "not measured" if met is None else "met" if met else "**not met**"


def verdicts(results: Results) -> list[Verdict]:
    out: list[Verdict] = []
    scale = results.base_scale
    for fs in results.fss:
        for op in OPERATIONS:
            row = results.row(op, fs, scale)
            native = row.best("native") if row else None
            scandir = row.best("scandir") if row else None
            floor = row.best("c") if row else None
            ratio = scandir / native if native and scandir else None
            out.append(
                Verdict(
                    "≥ 1.2× faster than scandir Python",
                    op,
                    fs,
                    ratio,
                    SCANDIR_FACTOR,
                    None if ratio is None else ratio >= SCANDIR_FACTOR,
                    "–" if ratio is None else f"{ratio:.2f}×",
                )
            )
            ratio = native / floor if native and floor else None
            limit = FLOOR_LIMIT[op]
            out.append(
                Verdict(
                    f"within {limit:g}× of C",
                    op,
                    fs,
                    ratio,
                    limit,
                    None if ratio is None else ratio <= limit,
                    "–" if ratio is None else f"{ratio:.2f}×",
                )
            )
    for op in OPERATIONS:
        counts = results.syscalls.get(op, {})
        native, floor = counts.get("native"), counts.get("c")
        if native is None or floor is None:
            out.append(Verdict("system calls ≤ C", op, "", None, 1.0, None, "–"))
        else:
            n, c = sum(native.values()), sum(floor.values())
            out.append(
                Verdict(
                    "system calls ≤ C", op, "", n / c if c else None, 1.0, n <= c, f"{n} vs {c}"
                )
            )
    for fs in results.fss:
        scales = results.scales_on(fs)
        low, high = scales[0], scales[-1]
        span = f" ({low}×→{high}×)" if high != low else f"only {low}×"
        for op in OPERATIONS:
            first, last = results.row(op, fs, low), results.row(op, fs, high)

            def growth_of(variant: str) -> float | None:
                if (
                    high == low
                    or not first
                    or not last
                    or not first.best(variant)
                    or not last.best(variant)
                ):
                    return None
                return last.best(variant) / first.best(variant) / (high / low)

            growth, floor_growth = growth_of("native"), growth_of("c")
            # The C program's growth beside ours: what the kernel and the
            # memory hierarchy add for everybody.
            text = span if growth is None else f"{growth:.2f}{span}"
            if growth is not None and floor_growth is not None:
                text = f"{growth:.2f} (C: {floor_growth:.2f}){span}"
            out.append(
                Verdict(
                    GROWTH_TARGET,
                    op,
                    fs,
                    growth,
                    GROWTH_LIMIT,
                    None if growth is None else growth <= GROWTH_LIMIT,
                    text,
                )
            )
            if first and not first.rss_kb:
                continue  # memory measured on the other file system
            grown = None
            if (
                high != low
                and first
                and last
                and "native" in first.rss_kb
                and "native" in last.rss_kb
            ):
                grown = (last.rss_kb["native"][1] - first.rss_kb["native"][1]) / 1024
            out.append(
                Verdict(
                    RSS_TARGET,
                    op,
                    fs,
                    grown,
                    RSS_GROWTH_LIMIT_MB,
                    None if grown is None else grown < RSS_GROWTH_LIMIT_MB,
                    span if grown is None else f"{grown:+.1f} MB{span}",
                )
            )
    if results.startup:
        base = results.startup[0].best
        for startup in results.startup[1:]:
            limit = STARTUP_LIMIT.get(startup.label, LIST_STARTUP_LIMIT)
            ratio = startup.best / base
            out.append(
                Verdict(
                    f"within {limit:g}× of python -c pass",
                    startup.label,
                    "",
                    ratio,
                    limit,
                    ratio <= limit,
                    f"{ratio:.2f}×",
                )
            )
    return out


def summary_table(results: Results) -> list[str]:
    """One line an operation: every target's figure and verdict."""
    found = {(v.target, v.operation, v.fs): v for v in verdicts(results)}
    fss = results.fss

    def cell(target: str, operation: str, fs: str) -> str:
        verdict = found.get((target, operation, fs))
        if verdict is None:
            return "–"
        return (
            f"{verdict.text} {mark(verdict.met)}"
            if verdict.met is not None
            else f"{verdict.text} (not measured)"
        )

    labels = [FS_LABELS.get(fs, fs) for fs in fss]
    # Growth and memory where more than one scale ran, and memory where it was measured.
    growth_fss = [fs for fs in fss if len(results.scales_on(fs)) > 1] or fss
    rss_fss = [
        fs for fs in growth_fss if any(row.rss_kb for row in results.rows if row.fs == fs)
    ] or growth_fss
    header = (
        ["operation"]
        + [f"scandir / native, {label} (≥ 1.2×)" for label in labels]
        + [f"native / C, {label} (≤ 1.5× or 2×)" for label in labels]
        + ["system calls, native vs C"]
        + [f"growth per unit, {FS_LABELS.get(fs, fs)} (≤ 1.25)" for fs in growth_fss]
        + [f"peak RSS growth, {FS_LABELS.get(fs, fs)} (< 20 MB)" for fs in rss_fss]
    )
    lines = ["| " + " | ".join(header) + " |", "|---" * len(header) + "|"]
    for op in OPERATIONS:
        cells = [op]
        cells += [cell("≥ 1.2× faster than scandir Python", op, fs) for fs in fss]
        cells += [cell(f"within {FLOOR_LIMIT[op]:g}× of C", op, fs) for fs in fss]
        cells.append(cell("system calls ≤ C", op, ""))
        cells += [cell(GROWTH_TARGET, op, fs) for fs in growth_fss]
        cells += [cell(RSS_TARGET, op, fs) for fs in rss_fss]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def times_table(results: Results, scale: int) -> list[str]:
    lines = [
        "| operation | file system | reference (object path) | scandir Python | native | C | "
        "required Python work | native − (C + required) | scandir / native | native / C | "
        "system time: native, C |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for fs in results.fss:
        for op in OPERATIONS:
            row = results.row(op, fs, scale)
            if row is None:
                continue
            native, scandir, floor = row.best("native"), row.best("scandir"), row.best("c")
            shares = [row.system_share(variant) for variant in ("native", "c")]
            cells = [
                op,
                FS_LABELS.get(fs, fs),
                ms(row.best("object")),
                ms(scandir),
                ms(native),
                ms(floor),
                ms(row.best("required")),
                ms(native - floor - row.best("required"))
                if native and floor and row.best("required")
                else "–",
                f"{scandir / native:.2f}×" if native and scandir else "–",
                f"{native / floor:.2f}×" if native and floor else "–",
                ", ".join("–" if share is None else f"{share:.0%}" for share in shares),
            ]
            lines.append("| " + " | ".join(cells) + " |")
    return lines


def growth_table(results: Results) -> list[str]:
    lines = [
        "| operation | file system | scale | native (ms) | native per 1× (ms) | scandir (ms) "
        "| C (ms) | peak RSS native (MB) | peak RSS scandir (MB) | peak RSS C (MB) |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]

    def rss(row: Row, variant: str) -> str:
        if variant not in row.rss_kb:
            return "–"
        before, peak = row.rss_kb[variant]
        return f"{peak / 1024:.1f} (+{(peak - before) / 1024:.1f})"

    for fs in results.fss:
        for op in OPERATIONS:
            for scale in results.scales:
                row = results.row(op, fs, scale)
                if row is None:
                    continue
                native = row.best("native")
                per_unit = ms(native / scale) if native else "–"
                lines.append(
                    f"| {op} | {FS_LABELS.get(fs, fs)} | {scale}× | {ms(native)} | {per_unit} | "
                    f"{ms(row.best('scandir'))} | {ms(row.best('c'))} | {rss(row, 'native')} | "
                    f"{rss(row, 'scandir')} | {rss(row, 'c')} |"
                )
    return lines


def syscall_table(results: Results) -> list[str]:
    lines = [
        "| operation | native | C | scandir Python | native − C, by call |",
        "|---|---:|---:|---:|---|",
    ]
    for op in OPERATIONS:
        counts = results.syscalls.get(op)
        if not counts:
            continue
        totals = {variant: sum(calls.values()) for variant, calls in counts.items()}
        native, floor = counts.get("native", {}), counts.get("c", {})
        names = sorted(
            set(native) | set(floor),
            key=lambda name: -abs(native.get(name, 0) - floor.get(name, 0)),
        )
        diff = ", ".join(
            f"{name} {native.get(name, 0) - floor.get(name, 0):+d}"
            for name in names
            if native.get(name, 0) != floor.get(name, 0)
        )
        lines.append(
            f"| {op} | {totals.get('native', '–')} | {totals.get('c', '–')} "
            f"| {totals.get('scandir', '–')} | {diff or 'none'} |"
        )
    lines.append("")
    lines.append("| operation | variant | calls by name |")
    lines.append("|---|---|---|")
    for op in OPERATIONS:
        for variant, calls in results.syscalls.get(op, {}).items():
            text = ", ".join(
                f"{name} {count}" for name, count in sorted(calls.items(), key=lambda kv: -kv[1])
            )
            lines.append(f"| {op} | {variant} | {text} |")
    return lines


def startup_table(results: Results) -> list[str]:
    if not results.startup:
        return []
    base = results.startup[0].best
    lines = [
        "| command | best (ms) | ratio to python -c pass | target | mean user (ms) "
        "| mean system (ms) |",
        "|---|---:|---:|---|---:|---:|",
    ]
    for startup in results.startup:
        if startup is results.startup[0]:
            target = ""
        else:
            limit = STARTUP_LIMIT.get(startup.label, LIST_STARTUP_LIMIT)
            target = f"≤ {limit:g}×: {mark(startup.best / base <= limit)}"
        lines.append(
            f"| `{startup.label}` | {ms(startup.best)} | {startup.best / base:.2f}× | {target} | "
            f"{startup.user * 1e3:.1f} | {startup.system * 1e3:.1f} |"
        )
    return lines


def markdown(results: Results) -> str:
    meta = results.meta
    out: list[str] = []
    scale = results.base_scale
    if results.rows:
        out.append(f"### Times at scale {scale}× (ms, best of {meta.get('repeat', '?')})")
        out.append("")
        out += times_table(results, scale)
        out.append("")
    out.append("### Targets")
    if results.rows:
        out.append("")
        out += summary_table(results)
    if results.startup:
        out.append("")
        out.append(
            f"Start-up of the command, whole processes, best of {meta.get('startup_repeat', '?')}:"
        )
        out.append("")
        out += startup_table(results)
    out.append("")
    if results.rows:
        out.append("### Growth and peak memory")
        out.append("")
        out += growth_table(results)
    if results.syscalls or results.syscall_note:
        out.append("")
        out.append(f"### System calls of one call at scale {scale}× (strace -c -f)")
        out.append("")
        out += syscall_table(results) if results.syscalls else []
        if results.syscall_note:
            out.append("")
            out.append(results.syscall_note)
    if results.startup or results.startup_note:
        out.append("")
        out.append("### Where the start-up goes")
        for label, imports in results.imports.items():
            if imports:
                listed = ", ".join(f"{name} {cumulative:.1f}" for name, cumulative in imports)
                out.append("")
                out.append(
                    f"Imports of `{label}` beyond `python -c pass` (cumulative ms): {listed}"
                )
        if results.startup_note:
            out.append("")
            out.append(results.startup_note)
    mismatches = [row for row in results.rows if row.mismatch]
    if mismatches or results.notes:
        out.append("")
    for row in mismatches:
        out.append(
            f"- **{row.operation}, {FS_LABELS.get(row.fs, row.fs)}, scale {row.scale}: "
            f"{row.mismatch}**"
        )
    for note in results.notes:
        out.append(f"- {note}")
    out.append("")
    out.append(meta.get("footer", ""))
    return "\n".join(out) + "\n"
