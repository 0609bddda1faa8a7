"""Runs every benchmark and writes the results page and its charts.

    python bench/write_results.py BUILD_DIR [BUILD_DIR...] [--short] [--print-only]

This file holds the one list of benchmarks; scripts/bench and scripts/demo
both run them through it (--print-only: print the tables, write nothing).
Each build tree targets one CPython version (build/release, build/release-3.13):
the Python benchmarks run once per tree, under the interpreter the tree was
configured with; the C++ benchmarks, which need no interpreter, run once,
from the first tree that has them.
Each Python benchmark prints its tables through result_tables, which also
collects them (ORVIX_BENCH_JSON); the C++ ring benchmark's table is read from
its output. The page (docs/benchmarks.md) gets one Markdown table per table,
the versions' rows side by side, a table of every ratio against peers per
version, a table of the latency goals, and the charts (docs/_static/bench/*.png,
from the first tree): throughput per path against its peers, batch delivery
against per-message delivery and its peers, a producer in another process, UDP
into Python, latency percentiles against rate.
"""
import argparse
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import textwrap
import time
import uuid
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 - the backend is chosen first

ROOT = Path(__file__).resolve().parent.parent
# The page and its charts go into docs/ unless ORVIX_BENCH_OUT names another folder (the test run's check).
DOCS = Path(os.environ.get("ORVIX_BENCH_OUT") or ROOT / "docs")
PAGE = DOCS / "benchmarks.md"
CHARTS = DOCS / "_static" / "bench"
# The benchmarks, run in this order. The C++ ones are programs of the build
# tree (build/<tree>/bench); only bench_ring's table goes on the page.
NATIVE_BENCHES = ["bench_ring", "bench_doorbell"]
NATIVE_TREES: list[Path] = []   # the build trees of this run, the C++ benchmarks in one of them
PYTHON_BENCHES = ["bench_threaded", "bench_dispatchers", "bench_batch", "bench_shm", "bench_net", "bench_push_cost",
                  "bench_asyncqueue", "bench_coroutine", "bench_latency"]
# What a table of the C++ benchmarks is stamped with in place of an interpreter.
NO_INTERPRETER = "C++ (no interpreter)"


def tree_python(build):
    """The interpreter a build tree was configured with (its CMake cache says), and its version."""
    cache = build / "CMakeCache.txt"
    found = re.search(r"^Python_EXECUTABLE:\w+=(.+)$", cache.read_text(), re.M) if cache.is_file() else None
    python = found[1].strip() if found else sys.executable
    version = subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                             check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
    return python, version


def run_python(build, python, name, short, collected):
    # The shared helpers come from bench/ on the path, whatever the working
    # directory and whether or not the script's own folder is on sys.path.
    env = dict(os.environ, ORVIX_BENCH_JSON=collected, PYTHONSAFEPATH="1",
               PYTHONPATH=os.pathsep.join([str(build / "python"), str(ROOT / "bench")]))
    # Native programs a Python benchmark starts (bench_shm's producer, bench_net's sender) are built
    # in one tree only, the one with the C++ benchmarks; they need no interpreter.
    native = next((b / "bench" for b in NATIVE_TREES if (b / "bench" / NATIVE_BENCHES[0]).is_file()), None)
    if native:
        env["ORVIX_NATIVE_BENCH_DIR"] = str(native)
    args = [python, str(ROOT / "bench" / f"{name}.py")]
    if short:
        args += ["-n", "2000", "--repeat", "1"] if name == "bench_coroutine" else ["--short"]
    out = subprocess.run(args, env=env, check=True, stdout=subprocess.PIPE, text=True).stdout
    print(out, flush=True)


def run_native(build, name, short, collected):
    """Runs a C++ benchmark; bench_ring writes its tables into `collected` itself."""
    args = [str(build / "bench" / name)] + (["--short"] if short and name == "bench_ring" else [])
    env = dict(os.environ, ORVIX_BENCH_JSON=collected)
    out = subprocess.run(args, env=env, check=True, stdout=subprocess.PIPE, text=True).stdout
    print(out, flush=True)


# Columns that hold a figure against a peer (or against the same path
# without something): compared across versions on the page.
def ratio_columns(table):
    return [i for i, c in enumerate(table["columns"])
            if c in ("ratio", "gain") or c.startswith(("x ", "push cost vs "))]


def ratios_by_version(runs):
    """Every ratio against peers, one row per figure, one column per version."""
    labels = [r["python"] for r in runs]
    first = runs[0]["tables"]
    rows = []
    for t in first:
        others = [next((o for o in r["tables"] if o["title"] == t["title"]), None) for r in runs[1:]]
        for col in ratio_columns(t):
            for i, row in enumerate(t["rows"]):
                values = [row[col]] + [o["rows"][i][col] if o and i < len(o["rows"]) else None for o in others]
                if any(not isinstance(v, (int, float)) for v in values):
                    continue
                name = t["title"].split(" (")[0].split(":")[0].split(",")[0]
                changes = [v / values[0] for v in values[1:]]
                moved = ""
                if len(others) == 1 and others[0] and abs(changes[0] - 1) > 0.10:
                    moved = which_side_moved(t, others[0], i, col)
                rows.append([name, row[0], t["columns"][col], *values, *changes, moved])
    return {"title": "Ratios against peers by CPython version (the last column but one: the later version's ratio "
                     "over the first's, 1.00 being the same standing; where that differs from 1 by over 10 %, the "
                     "last says which of the two figures behind the ratio moved, and by how much)",
            "columns": ["benchmark", "row", "figure", *labels, *(f"{l} / {labels[0]}" for l in labels[1:]),
                        "beyond 10 %: what moved"],
            "rows": rows}


# A ratio column whose figure is not its row's first plain number: the column it is of.
RATIO_OF = {"x bare push": "producer ns/msg"}


def which_side_moved(first, later, i, col):
    """How the two figures behind row i's ratio in column `col` changed from the first
    version's table to the later one's: the row's own figure (its first plain number, or the
    column RATIO_OF names) and that of the row it is compared with (the row whose own figure
    gives the ratio)."""
    def own(table, k):
        row = table["rows"][k]
        if table["columns"][col] in RATIO_OF:
            return row[table["columns"].index(RATIO_OF[table["columns"][col]])]
        return next((v for c, v in enumerate(row[1:], 1)
                     if c not in ratio_columns(table) and isinstance(v, (int, float)) and v), None)

    def change(k):
        a, b = own(first, k), (own(later, k) if k < len(later["rows"]) else None)
        return f"x{b / a:.2f}" if a and b else "?"

    def misfit(k):  # how far own(i) / own(k), either way up, is from the ratio shown
        a, b, ratio = own(first, i), own(first, k), first["rows"][i][col]
        return min(abs(a / b / ratio - 1), abs(b / a / ratio - 1)) if a and b and ratio else float("inf")

    others = [k for k in range(len(first["rows"])) if k != i]
    base = min(others, key=misfit, default=None)
    if base is None or misfit(base) > 0.05:
        return f"this row {change(i)}; the figure it is compared with is not a row of the table"
    return f"this row {change(i)}, {first['rows'][base][0]} {change(base)}"


def side_by_side(name, runs):
    """One table of the runs' tables of that title, each row of each version after the other,
    with the stamps of the tables it joins."""
    present = [(r["python"], t) for r in runs for t in r["tables"] if t["title"] == name]
    stamps = [t["stamp"] for _, t in present if "stamp" in t]
    if len(present) == 1:
        return dict(present[0][1], stamps=stamps)
    table = present[0][1]
    rows = []
    for i in range(max(len(t["rows"]) for _, t in present)):
        rows += [[label, *t["rows"][i]] for label, t in present if i < len(t["rows"])]
    return {"title": name, "columns": ["CPython", *table["columns"]], "rows": rows, "stamps": stamps}


def stamp_line(stamps):
    """Where a table's figures come from: the interpreter, when, and the machine's load."""
    return "; ".join(f"{s['python']}, {s['benchmark']}, {s['date']}, load {s['load'][0]:.2f} at its start, "
                     f"{s['load'][1]:.2f} at its end" for s in stamps)


def markdown(table):
    from result_tables import cell
    first = table["rows"][0] if table["rows"] else []
    numeric = [isinstance(v, (int, float)) for v in first]
    lines = ["| " + " | ".join(table["columns"]) + " |",
             "|" + "|".join(" ---: " if n else " --- " for n in numeric) + "|"]
    lines += ["| " + " | ".join(cell(v) for v in row) + " |" for row in table["rows"]]
    return "\n".join(lines)


def latency_goals(tables):
    """One row per path and rate: its p99 against the best peer's for the same destination."""
    rows = []
    for t in tables:
        if not t["title"].startswith("Latency"):
            continue
        destination = t["title"].removeprefix("Latency, ").removesuffix(" (us)")
        by_rate = {}
        for name, role, rate, p50, p99, _, _, low, high, arrived in t["rows"]:
            figures = {"name": name, "p50": p50, "p99": p99, "low": low, "high": high, "arrived": arrived}
            by_rate.setdefault(rate, {"path": [], "peer": []})[role].append(figures)
        for rate, group in by_rate.items():
            best = min(group["peer"], key=lambda x: x["p99"])
            for path in group["path"]:
                bound = ASYNC_BOUND_US if path["name"].startswith("AsyncDispatcher") and rate == 10_000 else None
                met = path["p99"] <= best["p99"] and (bound is None or path["p99"] < bound)
                rows.append([destination, path["name"], rate, path["p99"], best["p99"], best["name"],
                             "met" if met else "not met", "" if met else what_bounds(path, best, bound)])
    return {"title": "Latency goals: p99 at or below the best peer (AsyncDispatcher at 10k msgs/s: also under "
                     f"{ASYNC_BOUND_US} us)",
            "columns": ["destination", "path", "msgs/s", "p99 us", "best peer p99 us", "best peer", "goal",
                        "what bounds it"],
            "rows": rows}


ASYNC_BOUND_US = 50


def ring_goals(tables):
    """The ring's goals against ReaderWriterQueue, from the ring's table and its bursts' table."""
    ring = next((t for t in tables if t["title"].startswith("Ring against")), None)
    bursts = next((t for t in tables if t["title"].startswith("Ring bursts")), None)
    if ring is None:
        return None
    rows = {(r[0].split(" (")[0], r[1]): r for r in ring["rows"]}
    spin, rwq = rows.get(("throughput, spinning", "orvix ring")), rows.get(("throughput, spinning", "ReaderWriterQueue"))
    block = rows.get(("throughput, blocking", "orvix ring"))
    rwq_block = rows.get(("throughput, blocking", "BlockingReaderWriterCircularBuffer"))
    goals = []
    if spin and rwq:
        burst = next((r for r in (bursts or {}).get("rows", []) if r[1] == "ring: burst push + burst pop"), None)
        bare = rows.get(("throughput, spinning", "bare ring: slots and two indices"))
        bound = ("per-message publication: each side publishes its index for every message, and the side that "
                 "waits re-reads it every few messages (the re-reads columns), a cache line's round trip each; "
                 "ReaderWriterQueue pays the same")
        if bare:
            bound += (f". The barest ring that does so (slots and two indices) carries {bare[2]:.0f} M msg/s, "
                      f"{bare[2] / rwq[2]:.2f}x ReaderWriterQueue")
        if burst:
            bound += (f". Published once per burst the same ring carries {burst[2]:.0f} M msg/s, "
                      f"{burst[2] / rwq[2]:.1f}x ReaderWriterQueue (Ring bursts)")
        goals.append(ring_goal("spinning: median at least 2x ReaderWriterQueue's", spin[2] / rwq[2], 2.0, bound))
        goals.append(ring_goal("spinning: slowest round within 2x of the median", spin[2] / spin[3], 2.0,
                               "the host's placement of the two CPUs (Ring machine pauses)", at_most=True))
    if block and rwq_block:
        goals.append(ring_goal("blocking: median at least 1.5x BlockingReaderWriterCircularBuffer's",
                               block[2] / rwq_block[2], 1.5,
                               "the wake-ups: a side that finds nothing to do sleeps until the other wakes it"))
    return {"title": "Ring goals", "columns": ["goal", "figure", "result", "what bounds it"], "rows": goals,
            "stamp": ring["stamp"]}


def ring_goal(text, figure, target, bound, at_most=False):
    met = figure <= target if at_most else figure >= target
    return [text, f"{figure:.2f}x", "met" if met else "not met", "" if met else bound]


def what_bounds(path, best, bound):
    """Why a latency goal was not met, as far as the run itself shows it: the first of
    a backlog, a wake-up the peer never waits for, the machine (the peer misses the
    bound too), the run-to-run spread (the two p99s' ranges over their runs overlap),
    or where the gap lies (the median message, or only the slowest 1 %)."""
    us = lambda v: f"{v:,.1f} us"
    if path["arrived"] != "all":
        return "the rate: more than the path carries, so the backlog grows (arrived)"
    if best["name"].startswith("(a)"):
        return "a thread's wake-up: peer (a) hands nothing over (see Wake-up alone)"
    if path["p99"] <= best["p99"]:
        # Then only the bound failed, and the peer (no faster) misses it too.
        return f"the machine: at or below the peer, but over {bound} us, as the peer is too ({us(best['p99'])})"
    if path["low"] <= best["high"]:
        return (f"run-to-run spread: over its runs this p99 ranged {us(path['low'])} to {us(path['high'])}, "
                f"the peer's {us(best['low'])} to {us(best['high'])}; the ranges overlap")
    if path["p50"] <= best["p50"] * 1.1:
        return (f"the slowest 1 % only: p50 {us(path['p50'])} against the peer's {us(best['p50'])}; "
                "see p99.9 and max in the table above")
    return f"the typical message too, not only the tail: p50 {us(path['p50'])} against the peer's {us(best['p50'])}"


# One colour per role, the same in every chart, each chart with its legend.
ROLES = {"orvix": "tab:blue", "bound (no hand-over, C loop, one side alone)": "tab:orange", "peer": "tab:gray"}
ORVIX, BOUND, PEER = ROLES
BOUND_MARKS = ("ceiling", "alone", "in-process", "C loop", "C recv", "C PULL", "bare ring", "filled first")
PEER_MARKS = ("(a)", "(a')", "(b)", "(c)", "(d)", "(e)", "(f)", "peer", "GIL", "culsans", "asyncio.Queue", "janus", "SimpleQueue",
              "call_soon_threadsafe", "ReaderWriter", "ConcurrentQueue", "mutex+deque", "pyzmq", "Protocol", "socket")


def role(label):
    """The role of a chart's bar or line, from its label."""
    if any(m in label for m in BOUND_MARKS) or label.startswith("C "):
        return BOUND
    if any(m in label for m in PEER_MARKS):
        return PEER
    return ORVIX


def legend(fig, roles):
    """One legend for the whole figure, above its charts, where it covers nothing."""
    from matplotlib.patches import Patch
    fig.legend(handles=[Patch(color=ROLES[r], label=r) for r in ROLES if r in roles], fontsize=8,
               loc="upper center", ncol=len(roles), frameon=False)


def title(ax, text, width=95):
    """A title that fits its chart: wrapped, never cut."""
    ax.set_title("\n".join(textwrap.wrap(text, width)), fontsize=8)


def bar_axes(ax, chart_title, labels, values, unit, spreads=None):
    """Horizontal bars in `unit`, one colour per role, on a log axis where the
    bars differ by more than twenty times (a linear axis would hide the peers)."""
    roles = [role(l) for l in labels]
    xerr = None
    if spreads:   # (min, max) per bar: drawn as an error bar around the median
        xerr = [[max(v - lo, 0) for v, (lo, _) in zip(values, spreads)],
                [max(hi - v, 0) for v, (_, hi) in zip(values, spreads)]]
    ax.barh(labels, values, color=[ROLES[r] for r in roles], xerr=xerr, ecolor="black", capsize=2)
    ax.invert_yaxis()
    positive = [v for v in values if v > 0]
    if positive and max(positive) / min(positive) > 20:
        ax.set_xscale("log")
    else:
        ax.ticklabel_format(axis="x", style="plain", useOffset=False)   # no "1e6" offsets
    title(ax, chart_title)
    ax.set_xlabel(unit)
    ax.tick_params(labelsize=7)
    ax.figure.roles = getattr(ax.figure, "roles", set()) | set(roles)


def save(fig, name):
    roles = getattr(fig, "roles", None)
    if roles:
        legend(fig, roles)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.35 / fig.get_figheight()) if roles else None)
    fig.savefig(CHARTS / name, dpi=110)
    plt.close(fig)


def number(value):
    return value if isinstance(value, (int, float)) else None


def chart_ring(tables):
    """The ring beside its peers: spinning and blocking throughput, and the round trip, with the
    spread of the rounds."""
    ring = next((t for t in tables if t["title"].startswith("Ring against")), None)
    if not ring:
        return
    cases = list(dict.fromkeys(r[0] for r in ring["rows"]))
    fig, axes = plt.subplots(len(cases), 1, figsize=(9, 2.4 * len(cases)), squeeze=False)
    for ax, case in zip(axes[:, 0], cases):
        rows = [r for r in ring["rows"] if r[0] == case]
        unit = "µs" if "(us)" in case else "M msg/s"
        bar_axes(ax, f"Ring, {case.replace('(us)', '(µs)')}: median of rounds, min-max as error bars",
                 [r[1] for r in rows], [r[2] for r in rows], unit, [(r[3], r[4]) for r in rows])
    save(fig, "ring.png")


def chart_throughput(tables):
    picks = [t for t in tables if "delivered" in " ".join(t["columns"]) or t["title"].startswith("AsyncQueue")]
    fig, axes = plt.subplots(len(picks), 1, figsize=(9, 2.8 * len(picks)), squeeze=False)
    for ax, t in zip(axes[:, 0], picks):
        if t["title"].startswith("AsyncQueue"):
            rows = [r for r in t["rows"] if number(r[1]) and number(r[2])]
            labels = [f"AsyncQueue {r[0]}" for r in rows] + [
                f"asyncio.Queue {r[0].replace('push_buf/pop', 'put/get').replace('push_buf/dispatch', '+ task')}"
                for r in rows]
            values = [r[1] for r in rows] + [r[2] for r in rows]
        else:
            rows = [r for r in t["rows"] if number(r[1])]
            labels, values = [r[0] for r in rows], [r[1] for r in rows]
        bar_axes(ax, t["title"], labels, [v / 1e6 for v in values], "M msg/s")
    save(fig, "throughput.png")


def bar_charts(picks, name, height):
    """One horizontal bar chart per (title, rows) (label, messages per second), stacked, into CHARTS/name."""
    fig, axes = plt.subplots(len(picks), 1, figsize=(9, height * len(picks)), squeeze=False)
    for ax, (chart_title, rows) in zip(axes[:, 0], picks):
        rows = [r for r in rows if number(r[1])]
        bar_axes(ax, chart_title, [r[0] for r in rows], [r[1] / 1e6 for r in rows], "M msg/s")
    save(fig, name)


def chart_batch(tables):
    """Batch delivery against per-message delivery and the peers."""
    picks = [(t["title"], t["rows"]) for t in tables if t["title"].startswith("Batches")]
    if picks:
        bar_charts(picks, "batch.png", 3.2)


def chart_shm(tables):
    """A producer in another process: the native loop and each batch dispatcher beside the
    same in-process, and the peers."""
    picks = [(t["title"], t["rows"])
             for t in tables if t["title"].startswith(("Native producer", "A producer process into Python"))]
    if picks:
        bar_charts(picks, "shm.png", 3.0)


def chart_net(tables):
    """UDP and ZeroMQ into Python: each C loop, the receivers' paths and the peers."""
    picks = [(t["title"], t["rows"]) for t in tables if t["title"].startswith(("UDP into Python", "ZeroMQ into Python"))]
    if picks:
        bar_charts(picks, "net.png", 3.2)


def chart_latency(tables):
    """Latency percentiles against rate: colour by role, a marker per path, a line style per
    percentile; the legend beside the axes, where it covers no point."""
    picks = [t for t in tables if t["title"].startswith("Latency") and "goals" not in t["title"]]
    if not picks:
        return
    fig, axes = plt.subplots(len(picks), 1, figsize=(11, 3.4 * len(picks)), squeeze=False)
    markers = "osD^vP*X"
    for ax, t in zip(axes[:, 0], picks):
        names = list(dict.fromkeys(r[0] for r in t["rows"]))
        for i, name in enumerate(names):
            rows = [r for r in t["rows"] if r[0] == name]
            colour = ROLES[ORVIX if rows[0][1] == "path" else PEER] if rows[0][1] in ("path", "peer") else ROLES[role(name)]
            for col, style in ((3, ":"), (4, "-"), (5, "--")):
                ax.plot([r[2] for r in rows], [r[col] for r in rows], style, marker=markers[i % len(markers)],
                        color=colour, markersize=4, label=f"{name}, {t['columns'][col]}")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("messages per second")
        ax.set_ylabel("latency, µs")
        title(ax, t["title"].replace("(us)", "(µs)") + " (blue: orvix, gray: peers)", 110)
        ax.legend(fontsize=6, loc="upper left", bbox_to_anchor=(1.01, 1), borderaxespad=0)
    save(fig, "latency.png")


NOTES = """\
Throughput figures are medians of rounds in which the contenders take turns, shown with
their spread (min-max) where the table has room for it, never the best run alone; a ratio
is that of the medians it stands beside. The ring's table puts it beside moodycamel's
ReaderWriterQueue and ConcurrentQueue (Debian's packages) and a mutex with a deque, in one
C++ harness: the same two pinned CPUs, every message copied in and out; its "empty polls"
and "full polls" per message tell whether the consumer trailed the producer message by
message (many empty polls) or took what had piled up (few). A throughput round during which
the machine stopped for over 20 ms is measured again, as a latency row is (below); so is a
ring round during which the two CPUs were far apart: a virtual machine's host runs them on
near or far cores for seconds at a time, a cache line's round trip between them then takes
about three times as long, and every queue slows (the ring from ~90 to ~15 M msg/s here).
Latency is the time from a message's send stamp (taken by the producer just before the
push, or before a peer takes the interpreter lock) to the callback, recorded into a
log-linear histogram (error below 0.8%) after a warm-up of a tenth as many messages.
Each path and rate runs three times, its runs alternating with its peers'; the row shown
is the run with the median p99.
Peer (a) runs the callback on the producer thread itself: it hands nothing over and
never waits for a wake-up, so it bounds what any hand-over to another thread can reach;
(b) SimpleQueue is the peer that hands over as the dispatchers do. A rate a path cannot
carry shows as latency growing with the backlog: a dispatcher whose ring is full refuses
the push and tells the feed so, and the feed retries the message after a growing pause;
the "arrived" column shows messages that did not reach the callback in time.
On a machine shared with other work the tails measure the scheduler as much as the path.
The table of ratios by version says, for a ratio that moved by over 10 % between the
versions, how each of its two figures moved: mostly it is one side alone, often the peer
(on 3.13 call_soon_threadsafe is about a third faster than on 3.12, so every ratio against
it falls while AsyncDispatcher itself stays where it was).
A latency row during which a separate process saw the whole machine stop for over 20 ms
(a virtual machine's host can stop it for up to 100 ms) is measured again, up to three
times; the table after the latency tables counts those rows."""


def write_page(runs, short, seconds, run_id):
    for run in runs:
        run["tables"] = [t for t in run["tables"] if not t["title"].startswith(("Latency goals", "Ring goals"))]
        latency = [t for t in run["tables"] if t["title"].startswith("Latency")]
        if latency:
            run["tables"].append(dict(latency_goals(run["tables"]), stamp=latency[0]["stamp"]))
        if goals := ring_goals(run["tables"]):
            last_ring = max(i for i, t in enumerate(run["tables"]) if t["title"].startswith("Ring"))
            run["tables"].insert(last_ring + 1, goals)
    versions = " and ".join(r["python"] for r in runs)
    parts = [
        "# Benchmarks",
        "",
        f"Measured on {platform.machine()} {platform.system()}, {os.cpu_count()} CPUs, CPython "
        f"{versions}, in one run of {seconds:.0f} s (`{run_id}`)"
        + (" (short mode: a check that the command runs; its figures mean little)." if short else ".")
        + " Under each table: the interpreter, the benchmark, when it started and the machine's load"
        " (the 1-minute average of runnable threads; on an idle machine below 1) at its start and end."
        " Every figure is printed beside its peers measured in the same run"
        + (", each version's rows beside the other's; the C++ ring benchmark needs no interpreter and runs once"
           if len(runs) > 1 else "")
        + ". Regenerate with `scripts/bench`.",
        "",
        NOTES,
        "",
        f"The charts show CPython {runs[0]['python']}.",
        "",
        "![The ring against moodycamel's ReaderWriterQueue, ConcurrentQueue and a mutex with a deque]"
        "(_static/bench/ring.png)",
        "",
        "![Throughput per path against its peers](_static/bench/throughput.png)",
        "",
        "![Latency percentiles against rate](_static/bench/latency.png)",
        "",
        "![Batch delivery against per-message delivery, its stages and its peers](_static/bench/batch.png)",
        "",
        "![A producer in another process against the same in-process, and its peers](_static/bench/shm.png)",
        "",
        "![UDP datagrams and ZeroMQ messages into Python: each C loop, the receivers' paths and the peers]"
        "(_static/bench/net.png)",
        "",
    ]
    tables = [side_by_side(name, runs) for name in dict.fromkeys(t["title"] for r in runs for t in r["tables"])]
    if len(runs) > 1:
        tables.insert(0, dict(ratios_by_version(runs), stamps=[]))
    for t in tables:
        parts += [f"**{t['title']}**", ""]
        if t["stamps"]:
            parts += [f"_{stamp_line(t['stamps'])}_", ""]
        parts += [markdown(t), ""]
    PAGE.write_text("\n".join(parts))


def load():
    """The machine's load: the 1-minute average of runnable threads (0 where unknown)."""
    return os.getloadavg()[0] if hasattr(os, "getloadavg") else 0.0


def run_all(build, python, version, short, natives, run_id):
    """Runs every benchmark of one tree (the C++ ones if `natives`), printing
    its output; returns the tables collected, each stamped with the run, the
    interpreter, the time and the machine's load around its benchmark."""
    with tempfile.NamedTemporaryFile("w", suffix=".jsonl", delete=False) as f:
        collected = f.name
    tables = []
    try:
        jobs = [(n, lambda n=n: run_native(build, n, short, collected), NO_INTERPRETER)
                for n in (NATIVE_BENCHES if natives else [])]
        jobs += [(n, lambda n=n: run_python(build, python, n, short, collected), version) for n in PYTHON_BENCHES]
        for name, job, interpreter in jobs:
            before, when = load(), time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
            job()
            lines = Path(collected).read_text().splitlines()
            stamp = {"run": run_id, "benchmark": name, "python": interpreter, "date": when,
                     "load": [round(before, 2), round(load(), 2)]}
            tables += [dict(json.loads(line), stamp=stamp) for line in lines[len(tables):]]
        return tables
    finally:
        os.unlink(collected)


def one_run(runs, short):
    """The run id every table of `runs` carries; SystemExit when the tables would
    mix runs (or lack their stamps), or when a full page lacks a version."""
    ids = {t.get("stamp", {}).get("run") for r in runs for t in r["tables"]}
    if len(ids) != 1 or None in ids:
        raise SystemExit("write_results: these tables come from more than one run (or carry no stamp); "
                         "the page is written from one run only: run scripts/bench")
    if not short and len({r["python"] for r in runs}) < 2:
        raise SystemExit("write_results: the page shows every CPython version of one run; "
                         f"this run has {', '.join(r['python'] for r in runs)} only")
    return ids.pop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", type=Path, nargs="+", metavar="build",
                        help="the build trees, one per CPython version (build/release build/release-3.13)")
    parser.add_argument("--short", action="store_true", help="small runs: checks that everything runs")
    parser.add_argument("--render-only", action="store_true",
                        help="run nothing: write the page and charts again from the figures of the last run")
    parser.add_argument("--print-only", action="store_true",
                        help="run every benchmark and print its tables; write no page and no charts")
    args = parser.parse_args()
    sys.path.insert(0, str(ROOT / "bench"))
    figures = CHARTS / "figures.json"  # the last run's tables, kept beside its charts
    if args.render_only:
        saved = json.loads(figures.read_text())
        runs, short, seconds = saved.get("runs", []), saved["short"], saved["seconds"]
    else:
        start = time.monotonic()
        run_id = f"{time.strftime('%Y%m%dT%H%M%SZ', time.gmtime())}-{uuid.uuid4().hex[:8]}"
        NATIVE_TREES[:] = [b.resolve() for b in args.builds]
        runs, natives_done = [], False
        for build in args.builds:
            build = build.resolve()
            python, version = tree_python(build)
            # The C++ benchmarks once, from the first tree that built them.
            natives = not natives_done and (build / "bench" / NATIVE_BENCHES[0]).is_file()
            natives_done |= natives
            print(f"== CPython {version}: {build}", flush=True)
            runs.append({"python": version, "tables": run_all(build, python, version, args.short, natives, run_id)})
        short, seconds = args.short, time.monotonic() - start
        if args.print_only:
            return
    one_run(runs, short)
    CHARTS.mkdir(parents=True, exist_ok=True)
    if not args.render_only:
        figures.write_text(json.dumps({"runs": runs, "short": short, "seconds": seconds}, indent=1))
    tables = runs[0]["tables"]
    for chart in (chart_ring, chart_throughput, chart_batch, chart_shm, chart_net, chart_latency):
        chart(tables)
    write_page(runs, short, seconds, one_run(runs, short))
    print(f"wrote {PAGE} and {CHARTS}/*.png")


if __name__ == "__main__":
    main()
