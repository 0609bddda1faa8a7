"""Tables of benchmark figures: printed, and collected for the results page.

    table(title, columns, rows)   # prints an aligned table; with ORVIX_BENCH_JSON set
                                  # to a file, also appends {"title", "columns", "rows"} to it
    paired_ratio(ours, theirs)    # the median over rounds of one round's own ratio
    median_spread(values)         # (median, "min-max"): a figure of rounds and its spread
    interleaved(contenders, rounds)  # {name: [each round's result]}, the order rotating

Numbers are shown with a precision that fits their size.
"""
import json
import os
import statistics


def cell(value):
    if isinstance(value, float):
        return f"{value:,.0f}" if abs(value) >= 1000 else f"{value:.2f}" if abs(value) < 10 else f"{value:.1f}"
    return f"{value:,}" if isinstance(value, int) else str(value)


def paired_ratio(ours, theirs):
    """The median over rounds of ours[i] / theirs[i], the figures of one round. The
    two runs of a round are close in time, so on a machine whose speed drifts this is
    steadier than the ratio of the two bests."""
    return statistics.median(a / b for a, b in zip(ours, theirs))


def interleaved(contenders, rounds):
    """{name: [run() of each round]} for `contenders`, (name, run) pairs: every round
    runs each once, the order rotating, so that a shared machine's drift (larger than
    the differences measured) does not fall on one of them only."""
    results = {name: [] for name, _ in contenders}
    for round_ in range(rounds):
        shift = round_ % len(contenders)
        for name, run in contenders[shift:] + contenders[:shift]:
            results[name].append(run())
    return results


def median_spread(values):
    """The median of a figure's rounds and their spread as a cell ("min-max"), shown
    beside it: the median says what a run gives, the spread how far runs stray."""
    return statistics.median(values), f"{cell(float(min(values)))}-{cell(float(max(values)))}"


def table(title, columns, rows):
    text = [[cell(v) for v in row] for row in rows]
    widths = [max(len(c), *(len(r[i]) for r in text)) for i, c in enumerate(columns)]
    print(f"\n{title}")
    print("  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(columns, widths))))
    for r in text:
        print("  " + "  ".join(v.ljust(w) if i == 0 else v.rjust(w) for i, (v, w) in enumerate(zip(r, widths))))
    path = os.environ.get("ORVIX_BENCH_JSON")
    if path:
        with open(path, "a") as f:
            f.write(json.dumps({"title": title, "columns": list(columns), "rows": [list(r) for r in rows]}) + "\n")
