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
RING_ROW = re.compile(r"^  (\S.*?)\s+([\d.]+) (\S+(?: \S+)?)\s+([\d.]+) (\S+(?: \S+)?)\s+([\d.]+)x$")


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


def run_native(build, name, collected):
    out = subprocess.run([str(build / "bench" / name)], check=True, stdout=subprocess.PIPE, text=True).stdout
    print(out, flush=True)
    if name == "bench_ring":
        collect_ring_table(out, collected)


def collect_ring_table(out, collected):
    """One table per section of the output: a "bench_ring...: title" line, its
    column header (the compared columns), then its rows."""
    sections = []
    for line in out.splitlines():
        if line.startswith("bench_ring"):
            name, title = line.split(": ", 1)
            sections.append({"title": f"Ring{name.removeprefix('bench_ring')}: {title}", "columns": None, "rows": []})
        elif sections and sections[-1]["columns"] is None and line.strip():
            compared = [c for c in re.split(r"\s{2,}", line.strip()) if c]
            sections[-1]["columns"] = ["case", *compared]
        elif sections and (m := RING_ROW.match(line)):
            sections[-1]["rows"].append([m[1], f"{m[2]} {m[3]}", f"{m[4]} {m[5]}", float(m[6])])
    with open(collected, "a") as f:
        for section in sections:
            f.write(json.dumps(section) + "\n")


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
                rows.append([name, row[0], t["columns"][col], *values,
                             *(v / values[0] for v in values[1:])])
    return {"title": "Ratios against peers by CPython version (the last column: the later version's ratio "
                     "over the first's; 1.00 is the same standing)",
            "columns": ["benchmark", "row", "figure", *labels, *(f"{l} / {labels[0]}" for l in labels[1:])],
            "rows": rows}


def side_by_side(title, runs):
    """One table of the runs' tables of that title, each row of each version after the other."""
    present = [(r["python"], t) for r in runs for t in r["tables"] if t["title"] == title]
    if len(runs) == 1:
        return present[0][1]
    table = present[0][1]
    rows = []
    for i in range(max(len(t["rows"]) for _, t in present)):
        rows += [[label, *t["rows"][i]] for label, t in present if i < len(t["rows"])]
    return {"title": title, "columns": ["CPython", *table["columns"]], "rows": rows}


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
        for name, role, rate, _, p99, *_ in t["rows"]:
            by_rate.setdefault(rate, {"path": [], "peer": []})[role].append((name, p99))
        for rate, group in by_rate.items():
            best_name, best = min(group["peer"], key=lambda x: x[1])
            for name, p99 in group["path"]:
                met = p99 <= best
                if name.startswith("AsyncDispatcher") and rate == 10_000:
                    met = met and p99 < 50
                rows.append([destination, name, rate, p99, best, best_name, "met" if met else "not met"])
    return {"title": "Latency goals: p99 at or below the best peer (AsyncDispatcher at 10k msgs/s: also under 50 us)",
            "columns": ["destination", "path", "msgs/s", "p99 us", "best peer p99 us", "best peer", "goal"],
            "rows": rows}


def chart_throughput(tables):
    picks = [t for t in tables if "delivered" in " ".join(t["columns"]) or t["title"].startswith("AsyncQueue")]
    fig, axes = plt.subplots(len(picks), 1, figsize=(9, 2.6 * len(picks)), squeeze=False)
    for ax, t in zip(axes[:, 0], picks):
        if t["title"].startswith("AsyncQueue"):
            names = [r[0] for r in t["rows"]] * 2
            values = [r[1] for r in t["rows"]] + [r[2] for r in t["rows"]]
            peer_names = [n.replace("push_buf/pop", "put/get").replace("push_buf/dispatch", "+ task")
                          for n in names[len(t["rows"]):]]
            labels = [f"AsyncQueue {n}" for n in names[:len(t["rows"])]] + [f"asyncio.Queue {n}" for n in peer_names]
        else:
            labels, values = [r[0] for r in t["rows"]], [r[1] for r in t["rows"]]
        ax.barh(labels, values, color=["tab:blue" if "asyncio.Queue" not in l and ("Dispatcher" in l or "AsyncQueue" in l)
                                        else "tab:gray" for l in labels])
        ax.invert_yaxis()
        ax.set_title(t["title"], fontsize=9)
        ax.set_xlabel("messages per second")
        ax.tick_params(labelsize=7)
    fig.tight_layout()
    fig.savefig(CHARTS / "throughput.png", dpi=110)
    plt.close(fig)


def bar_charts(picks, name, height, colour):
    """One horizontal bar chart per table (label, messages per second), stacked, into CHARTS/name;
    colour(label) picks each bar's colour."""
    fig, axes = plt.subplots(len(picks), 1, figsize=(9, height * len(picks)), squeeze=False)
    for ax, (title, rows) in zip(axes[:, 0], picks):
        labels, values = [r[0] for r in rows], [r[1] for r in rows]
        ax.barh(labels, values, color=[colour(l) for l in labels])
        ax.invert_yaxis()
        ax.set_title("\n".join(textwrap.wrap(title, 110)), fontsize=8)
        ax.set_xlabel("messages per second")
        ax.tick_params(labelsize=7)
    fig.tight_layout()
    fig.savefig(CHARTS / name, dpi=110)
    plt.close(fig)


def chart_batch(tables):
    """Batch delivery against per-message delivery and the peers, messages per second."""
    picks = [(t["title"], [r for r in t["rows"] if isinstance(r[1], (int, float))])
             for t in tables if t["title"].startswith("Batches")]
    if picks:
        bar_charts(picks, "batch.png", 3.2,
                   lambda l: "tab:blue" if "Batch" in l else "tab:orange" if "alone" in l else "tab:gray")


def chart_shm(tables):
    """A producer in another process: the native loop and each batch dispatcher beside the
    same in-process, and the peers, messages per second."""
    picks = [(t["title"], t["rows"])
             for t in tables if t["title"].startswith(("Native producer", "A producer process into Python"))]
    if picks:
        bar_charts(picks, "shm.png", 3.0,
                   lambda l: "tab:orange" if "in-process" in l else "tab:gray" if "->" in l else "tab:blue")


def chart_net(tables):
    """UDP and ZeroMQ into Python: each C loop, the receivers' paths and the peers, messages per second."""
    picks = [(t["title"], t["rows"]) for t in tables if t["title"].startswith(("UDP into Python", "ZeroMQ into Python"))]
    if picks:
        bar_charts(picks, "net.png", 3.2,
                   lambda l: "tab:orange" if l.startswith("C ") else "tab:gray" if "peer" in l else "tab:blue")


def chart_latency(tables):
    picks = [t for t in tables if t["title"].startswith("Latency")]
    fig, axes = plt.subplots(len(picks), 1, figsize=(9, 3.2 * len(picks)), squeeze=False)
    for ax, t in zip(axes[:, 0], picks):
        names = list(dict.fromkeys(r[0] for r in t["rows"]))
        for i, name in enumerate(names):
            rows = [r for r in t["rows"] if r[0] == name]
            rates = [r[2] for r in rows]
            for col, style in ((3, ":"), (4, "-"), (5, "--")):
                ax.plot(rates, [r[col] for r in rows], style, marker="o", color=f"C{i}",
                        label=f"{name} {t['columns'][col]}")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("messages per second")
        ax.set_ylabel("latency, us")
        ax.set_title(t["title"], fontsize=9)
        ax.legend(fontsize=6, ncol=2)
    fig.tight_layout()
    fig.savefig(CHARTS / "latency.png", dpi=110)
    plt.close(fig)


NOTES = """\
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
A latency row during which a separate process saw the whole machine stop for over 20 ms
(a virtual machine's host can stop it for up to 100 ms) is measured again, up to three
times; the table after the latency tables counts those rows."""


def write_page(runs, short, seconds):
    for run in runs:
        run["tables"] = [t for t in run["tables"] if not t["title"].startswith("Latency goals")]
        run["tables"].append(latency_goals(run["tables"]))
    versions = " and ".join(r["python"] for r in runs)
    parts = [
        "# Benchmarks",
        "",
        f"Measured on {platform.machine()} {platform.system()}, {os.cpu_count()} CPUs, CPython "
        f"{versions}, on {time.strftime('%Y-%m-%d')} in {seconds:.0f} s"
        + (" (short mode: a check that the command runs; its figures mean little)." if short else ".")
        + " Every figure is printed beside its peers measured in the same run"
        + (", each version's rows beside the other's; the C++ ring benchmark needs no interpreter and runs once"
           if len(runs) > 1 else "")
        + ". Regenerate with `scripts/bench`.",
        "",
        NOTES,
        "",
        f"The charts show CPython {runs[0]['python']}.",
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
    tables = [side_by_side(title, runs) for title in dict.fromkeys(t["title"] for r in runs for t in r["tables"])]
    if len(runs) > 1:
        tables.insert(0, ratios_by_version(runs))
    for t in tables:
        parts += [f"**{t['title']}**", "", markdown(t), ""]
    PAGE.write_text("\n".join(parts))


def run_all(build, python, short, natives):
    """Runs every benchmark of one tree (the C++ ones if `natives`), printing
    its output; returns the tables collected."""
    with tempfile.NamedTemporaryFile("w", suffix=".jsonl", delete=False) as f:
        collected = f.name
    try:
        for name in NATIVE_BENCHES if natives else []:
            run_native(build, name, collected)
        for name in PYTHON_BENCHES:
            run_python(build, python, name, short, collected)
        return [json.loads(line) for line in Path(collected).read_text().splitlines()]
    finally:
        os.unlink(collected)


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
        # Figures of a run before there were several versions: one run, of 3.12.
        runs = saved.get("runs") or [{"python": "3.12", "tables": saved["tables"]}]
        short, seconds = saved["short"], saved["seconds"]
    else:
        start = time.monotonic()
        NATIVE_TREES[:] = [b.resolve() for b in args.builds]
        runs, natives_done = [], False
        for build in args.builds:
            build = build.resolve()
            python, version = tree_python(build)
            # The C++ benchmarks once, from the first tree that built them.
            natives = not natives_done and (build / "bench" / NATIVE_BENCHES[0]).is_file()
            natives_done |= natives
            print(f"== CPython {version}: {build}", flush=True)
            runs.append({"python": version, "tables": run_all(build, python, args.short, natives)})
        short, seconds = args.short, time.monotonic() - start
        if args.print_only:
            return
        CHARTS.mkdir(parents=True, exist_ok=True)
        figures.write_text(json.dumps({"runs": runs, "short": short, "seconds": seconds}, indent=1))
    chart_throughput(runs[0]["tables"])
    chart_batch(runs[0]["tables"])
    chart_shm(runs[0]["tables"])
    chart_net(runs[0]["tables"])
    chart_latency(runs[0]["tables"])
    write_page(runs, short, seconds)
    print(f"wrote {PAGE} and {CHARTS}/*.png")


if __name__ == "__main__":
    main()
