#!/usr/bin/python3
"""Charts of the benchmark results, as PNG files.

    draw_charts.py RESULTS_DIR OUT_DIR

Reads what scripts/bench wrote to RESULTS_DIR and draws, into OUT_DIR:

engine_time_per_size.png
    bench_flow.json: milliseconds per frame pair against the frame size for
    every method, one panel per thread setting. Benchmark names are read as
    method/WIDTHxHEIGHT[/threads:N][/more], so new cases show up as new
    lines; the median of the repetitions is taken where there is one.
program_throughput.png
    program_throughput.json: frames per second of of_ulk clip.avi /r over
    the whole run per clip size, the scene against the textured clip, with
    each one's target and the rate the cores could give with nothing else
    running (their count over the CPU time per frame).
colour_rendering.png
    colour.json (bench_colour's output): milliseconds to colour one
    1280x720 field on each rendering path the processor has, on one
    OpenCV thread and on the default count, with each path's speed-up
    over the scalar one.
accuracy_speed.png
    accuracy.txt (flow_accuracy's output): the mean endpoint error over the
    Middlebury pairs and over the synthetic motions against the time per
    call at 640x480 on one thread, one point per method and refined
    variant (the refinement sets of --refinements left out); the methods
    on the accuracy-speed frontier are joined.

A missing input file only skips its chart.
"""

import json
import os
import re
import statistics
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

SIZE = re.compile(r"^(\d+)x(\d+)$")
TIME_UNIT_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def load_json(path):
    if not os.path.exists(path):
        print("no %s: its chart is skipped" % path)
        return None
    with open(path) as f:
        return json.load(f)


def split_name(name):
    """(method, (width, height), thread setting) of a benchmark name, or
    None when the name holds no frame size."""
    parts = name.split("/")
    size = None
    threads = "default"
    rest = []
    for part in parts[1:]:
        match = SIZE.match(part)
        if match and size is None:
            size = (int(match.group(1)), int(match.group(2)))
        elif part.startswith("threads:"):
            threads = part[len("threads:"):]
        elif part not in ("real_time", "process_time", "manual_time"):
            rest.append(part)
    if size is None:
        return None
    method = "/".join([parts[0]] + rest)
    return method, size, threads


def milliseconds(entry):
    """Time per frame pair of one benchmark entry in milliseconds."""
    if "ms" in entry:
        return float(entry["ms"])
    scale = TIME_UNIT_MS.get(entry.get("time_unit", "ns"), 1e-6)
    return float(entry["real_time"]) * scale


def engine_times(bench):
    """{threads: {method: {size: ms}}} from bench_flow's JSON output."""
    medians = {}
    singles = {}
    for entry in bench.get("benchmarks", []):
        name = entry.get("run_name") or entry.get("name", "")
        parsed = split_name(name)
        if parsed is None or entry.get("error_occurred"):
            continue
        try:
            value = milliseconds(entry)
        except (KeyError, ValueError, TypeError):
            continue
        if entry.get("run_type") == "aggregate":
            if entry.get("aggregate_name") == "median":
                medians[parsed] = value
        else:
            singles.setdefault(parsed, []).append(value)
    for key, values in singles.items():
        medians.setdefault(key, statistics.median(values))
    table = {}
    for (method, size, threads), value in medians.items():
        table.setdefault(threads, {}).setdefault(method, {})[size] = value
    return table


def draw_engine(bench, out_path):
    table = engine_times(bench)
    if not table:
        print("bench_flow.json holds no timed cases: no engine chart")
        return
    settings = sorted(table, key=lambda t: (t != "1", t))
    figure, axes = plt.subplots(1, len(settings), sharey=True,
                                figsize=(6.5 * len(settings), 5),
                                squeeze=False)
    for axis, threads in zip(axes[0], settings):
        for method in sorted(table[threads]):
            points = sorted(table[threads][method].items(),
                            key=lambda item: item[0][0] * item[0][1])
            pixels = [w * h / 1e6 for (w, h), _ in points]
            times = [ms for _, ms in points]
            style = "o-" if method.startswith("ulk") else "s--"
            axis.plot(pixels, times, style, label=method)
        sizes = sorted({s for m in table[threads].values() for s in m},
                       key=lambda s: s[0] * s[1])
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xticks([w * h / 1e6 for w, h in sizes])
        axis.set_xticklabels(["%dx%d" % s for s in sizes], rotation=20)
        axis.minorticks_off()
        axis.set_xlabel("frame size")
        axis.set_title("OpenCV threads: %s" % threads)
        axis.grid(True, which="major", alpha=0.3)
    axes[0][0].set_ylabel("milliseconds per frame pair (median)")
    axes[0][-1].legend(fontsize="small")
    context = bench.get("context", {})
    load = (context.get("load_avg") or [None])[0]
    figure.suptitle("Time per frame pair, bench_flow (%s, %s CPUs%s)"
                    % (context.get("date", "")[:10],
                       context.get("num_cpus", "?"),
                       ", load %.1f at the start" % load if load else ""))
    figure.tight_layout()
    figure.savefig(out_path, dpi=90)
    plt.close(figure)
    print("wrote %s" % out_path)


def draw_program(program, out_path):
    results = program.get("results", [])
    if not results:
        print("program_throughput.json holds no runs: no program chart")
        return
    sizes = []
    series = []
    for r in results:
        if r["size"] not in sizes:
            sizes.append(r["size"])
        name = (r["clip"], r.get("threads", "default"))
        if name not in series:
            series.append(name)
    several = len({t for _, t in series}) > 1
    width = 0.8 / len(series)
    figure, axis = plt.subplots(figsize=(8, 4.8))
    target_label = "target (whole run)"
    bound_label = "cores x 1000 / CPU ms per frame"
    for i, (clip, threads) in enumerate(series):
        values = []
        for j, size in enumerate(sizes):
            match = [r for r in results if r["size"] == size and
                     (r["clip"], r.get("threads", "default")) ==
                     (clip, threads)]
            values.append(match[0]["whole_run_fps_median"] if match else 0.0)
            x = j + (i - (len(series) - 1) / 2) * width
            target = match[0].get("target_fps") if match else None
            # What the cores could give if nothing else ran: their count
            # over the CPU time per frame, start-up aside.
            cpu_ms = match[0].get("cpu_ms_per_frame_median") if match else 0
            if cpu_ms:
                axis.plot(x, 1e3 * program.get("cpus", 1) / cpu_ms, "kv",
                          markersize=5, label=bound_label)
                bound_label = None
            if target:
                axis.hlines(target, x - width / 2, x + width / 2,
                            colors="black", linestyles="dotted",
                            label=target_label)
                target_label = None
        xs = [j + (i - (len(series) - 1) / 2) * width
              for j in range(len(sizes))]
        label = clip + (", threads %s" % threads if several else "")
        bars = axis.bar(xs, values, width, label=label)
        axis.bar_label(bars, fmt="%.1f", fontsize="small")
    axis.set_xticks(range(len(sizes)))
    axis.set_xticklabels(["%s, %d frames" % (s, next(
        r["frames"] for r in results if r["size"] == s)) for s in sizes])
    axis.set_xlabel("clip size")
    axis.set_ylabel("frames per second, whole run (median)")
    start = program.get("load_at_start")
    end = program.get("load_at_end")
    axis.set_title("of_ulk clip.avi /r, no display, start-up included, "
                   "%d runs each%s"
                   % (program.get("repeats", 0),
                      "\n%s CPUs, load %.1f at the start, %.1f at the end"
                      % (program.get("cpus", "?"), start[0], end[0])
                      if start and end else ""), fontsize=10)
    axis.legend(fontsize="small")
    axis.grid(True, axis="y", alpha=0.3)
    figure.tight_layout()
    figure.savefig(out_path, dpi=90)
    plt.close(figure)
    print("wrote %s" % out_path)


FRONTIER_TITLE = "== accuracy and time per call"


def read_frontier(path):
    """[(method, middlebury AEE, motions AEE, ms)] from the closing table of
    flow_accuracy's output; figures below 0 (none measured) become None."""
    if not os.path.exists(path):
        print("no %s: its chart is skipped" % path)
        return None
    rows = []
    inside = False
    for line in open(path):
        if line.startswith(FRONTIER_TITLE):
            inside = True
            continue
        if not inside:
            continue
        if line.startswith("==") or line.startswith("load average"):
            break
        cells = line.split()
        if len(cells) != 4 or cells[0] == "method":
            continue
        numbers = [float(c) for c in cells[1:]]
        rows.append([cells[0]] + [n if n >= 0 else None for n in numbers])
    return rows


def frontier(points):
    """The points that no other point beats in both time and error, by
    time."""
    best = []
    for ms, error, name in sorted(points):
        if not best or error < best[-1][1]:
            best.append((ms, error, name))
    return best


# The refinement sets of flow_accuracy --refinements are left out of the
# chart, but for the engine's refined field (the ablation's other half).
ABLATION_ENGINE = "ulk+c2f+subpixel"


def draw_accuracy_speed(rows, out_path):
    charted = {r[0] for r in rows
               if r[0] != "zero_flow" and ("+" not in r[0] or r[0] == ABLATION_ENGINE)}
    panels = [(1, "Middlebury, mean over the six pairs"),
              (2, "synthetic motions (up to 60 px, turns with zooms)")]
    figure, axes = plt.subplots(1, 2, figsize=(13, 5.5))
    for axis, (column, title) in zip(axes, panels):
        points = [(r[3], r[column], r[0]) for r in rows
                  if r[3] is not None and r[column] is not None
                  and r[0] in charted]
        for ms, error, name in points:
            refined = name.startswith("ulk_refined") or name == "pyramid_alone"
            axis.scatter(ms, error, s=30,
                         color="tab:red" if refined else
                         "tab:blue" if name.startswith("ulk") else "tab:gray")
            axis.annotate(name, (ms, error), fontsize=7,
                          xytext=(4, 3), textcoords="offset points")
        line = frontier(points)
        axis.plot([p[0] for p in line], [p[1] for p in line], color="black",
                  linewidth=0.8, linestyle="--", label="frontier")
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("milliseconds per call, 640x480, one thread")
        axis.set_ylabel("mean endpoint error (px)")
        axis.set_title(title, fontsize=10)
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(out_path, dpi=90)
    plt.close(figure)
    print("wrote %s" % out_path)


def draw_colour(colour, out_path):
    table = engine_times(colour)
    if not table:
        print("colour.json holds no timed cases: no colour chart")
        return
    settings = sorted(table, key=lambda t: (t != "1", t))
    order = ["scalar", "sse2", "avx2", "avx512"]
    paths = sorted({m.split("/")[-1] for t in table.values() for m in t},
                   key=lambda p: order.index(p) if p in order else len(order))
    figure, axis = plt.subplots(figsize=(7, 4))
    width = 0.8 / len(settings)
    for i, threads in enumerate(settings):
        times = {m.split("/")[-1]: next(iter(sizes.values()))
                 for m, sizes in table[threads].items()}
        xs = [k + i * width for k in range(len(paths))]
        values = [times.get(p, 0.0) for p in paths]
        bars = axis.bar(xs, values, width,
                        label="%s OpenCV thread%s" % (
                            threads, "" if threads == "1" else "s"))
        scalar = times.get("scalar")
        for bar, value in zip(bars, values):
            if value and scalar:
                axis.annotate("%.2f ms\n%.1fx" % (value, scalar / value),
                              (bar.get_x() + bar.get_width() / 2, value),
                              ha="center", va="bottom", fontsize=7)
    axis.set_xticks([k + width * (len(settings) - 1) / 2
                     for k in range(len(paths))])
    axis.set_xticklabels(paths)
    axis.set_ylabel("ms per 1280x720 field (median)")
    axis.set_title("Colour rendering by path (same bytes on every path)")
    axis.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(out_path, dpi=90)
    plt.close(figure)
    print("wrote %s" % out_path)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    results, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    bench = load_json(os.path.join(results, "bench_flow.json"))
    if bench is not None:
        draw_engine(bench, os.path.join(out_dir, "engine_time_per_size.png"))
    program = load_json(os.path.join(results, "program_throughput.json"))
    if program is not None:
        draw_program(program,
                     os.path.join(out_dir, "program_throughput.png"))
    colour = load_json(os.path.join(results, "colour.json"))
    if colour is not None:
        draw_colour(colour, os.path.join(out_dir, "colour_rendering.png"))
    rows = read_frontier(os.path.join(results, "accuracy.txt"))
    if rows:
        draw_accuracy_speed(rows, os.path.join(out_dir, "accuracy_speed.png"))


if __name__ == "__main__":
    main()
