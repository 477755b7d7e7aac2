#!/usr/bin/env python3
"""Choose the refined mode's settings from refine_sweep output.

Two selections, each among the settings whose time fits the budget (the
pyramid's time plus the engine's, at most DIS MEDIUM's, all measured in the
same sweep run):

* leave-one-out over the Middlebury pairs: for each pair, the setting with
  the lowest mean endpoint error over the other pairs, judged on the pair
  left out;
* synthetic: the setting with the lowest mean endpoint error over the
  synthetic motions (translations of 5 to 60 pixels, turns with zooms).

Usage: choose_params.py SWEEP.tsv [--budget FACTOR]
"""

import argparse
import re
import statistics
import sys

PAIRS = ["Dimetrodon", "Grove2", "Hydrangea", "RubberWhale", "Urban2", "Venus"]
SETTINGS = 11  # scale ... margin, then ms


def read(path):
    engine = dis = None
    rows = []
    header = None
    for line in open(path):
        if line.startswith("#"):
            m = re.search(r"engine field ([\d.]+) ms, dis_medium ([\d.]+) ms", line)
            if m:
                engine, dis = float(m.group(1)), float(m.group(2))
            continue
        cells = line.rstrip("\n").split("\t")
        if header is None:
            header = cells
            continue
        rows.append(
            {
                "setting": tuple(cells[:SETTINGS]),
                "ms": float(cells[SETTINGS]),
                "epe": dict(zip(header[SETTINGS + 1 :], map(float, cells[SETTINGS + 1 :]))),
            }
        )
    return header, rows, engine, dis


def synthetic_names(header):
    names = header[SETTINGS + 1 :]
    kept = []
    for name in names:
        m = re.search(r"_t(\d+)$", name)
        if m and int(m.group(1)) <= 60 or re.search(r"_r\d+$", name):
            kept.append(name)
    return kept


def mean(row, names):
    return statistics.fmean(row["epe"][n] for n in names)


def describe(setting):
    keys = ["scale", "coarsest", "finest", "alpha", "delta", "gamma", "outer",
            "inner", "omega", "fuse", "margin"]
    return " ".join(f"{k}={v}" for k, v in zip(keys, setting))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sweep")
    parser.add_argument("--budget", type=float, default=1.0,
                        help="time allowed, in units of DIS MEDIUM's (default 1)")
    args = parser.parse_args()
    header, rows, engine, dis = read(args.sweep)
    if engine is None:
        sys.exit("no timing line in the sweep output")
    fits = [r for r in rows if r["ms"] + engine <= args.budget * dis]
    print(f"engine {engine:.2f} ms, dis_medium {dis:.2f} ms: "
          f"{len(fits)} of {len(rows)} settings fit {args.budget:g} x DIS MEDIUM")
    if not fits:
        return

    pairs = [p for p in PAIRS if p in header]
    if pairs:
        print("\nleave-one-out over the Middlebury pairs:")
        held = []
        for pair in pairs:
            rest = [p for p in pairs if p != pair]
            best = min(fits, key=lambda r: mean(r, rest))
            held.append(best["epe"][pair])
            print(f"  {pair:12s} chosen on the others: {describe(best['setting'])}"
                  f"  -> {pair} {best['epe'][pair]:.3f}")
        print(f"  mean of the held-out errors: {statistics.fmean(held):.3f}")
        best = min(fits, key=lambda r: mean(r, pairs))
        print(f"  on all six: {describe(best['setting'])}  mean {mean(best, pairs):.3f}")

    synthetic = synthetic_names(header)
    best = min(fits, key=lambda r: mean(r, synthetic))
    print("\nsynthetic motions (translations up to 60 px, turns with zooms):")
    print(f"  chosen: {describe(best['setting'])}  mean {mean(best, synthetic):.3f}, "
          f"pyramid {best['ms']:.2f} ms"
          + (f", Middlebury mean {mean(best, pairs):.3f}" if pairs else ""))


if __name__ == "__main__":
    main()
