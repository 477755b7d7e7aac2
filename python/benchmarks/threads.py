#!/usr/bin/env python3
"""Pairs per second of ofulk with 1, 2 and 4 threads, each with its own
FlowEngine, on 640 x 480 frames drawn in code: the median of several runs,
the process's CPU time over wall time, and the machine's load before and
after.

    PYTHONPATH=build/python /usr/bin/python3 python/benchmarks/threads.py [runs]
"""

import os
import statistics
import sys
import threading
import time

import cv2
import numpy as np

import ofulk

PAIRS_PER_RUN = 24
THREAD_COUNTS = (1, 2, 4)


def frames(seed):
    rng = np.random.default_rng(seed)
    base = cv2.GaussianBlur(rng.integers(0, 256, (500, 660), np.uint8), (0, 0), 3)
    base = cv2.equalizeHist(base)
    return base[10:490, 10:650].copy(), base[8:488, 13:653].copy()


def run(pairs, threads):
    jobs = list(range(len(pairs)))
    lock = threading.Lock()

    def work():
        engine = ofulk.FlowEngine()
        while True:
            with lock:
                if not jobs:
                    return
                i = jobs.pop()
            engine.calc(*pairs[i])

    workers = [threading.Thread(target=work) for _ in range(threads)]
    cpu = time.process_time()
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    wall = time.perf_counter() - start
    return wall, time.process_time() - cpu


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    pairs = [frames(s) for s in range(PAIRS_PER_RUN)]
    run(pairs[:4], 1)  # warm-up
    print(f"load before: {os.getloadavg()[0]:.2f} (1-minute average), "
          f"{os.cpu_count()} cores")
    medians = {}
    # Thread counts take turns within each round, so that a change of load
    # touches all of them alike.
    times = {t: [] for t in THREAD_COUNTS}
    cpu = {t: [] for t in THREAD_COUNTS}
    for _ in range(runs):
        for t in THREAD_COUNTS:
            wall, used = run(pairs, t)
            times[t].append(wall)
            cpu[t].append(used / wall)
    # CPU time over wall time shows how many cores the threads kept busy at
    # once, whatever share of them the rest of the machine left.
    for t in THREAD_COUNTS:
        medians[t] = statistics.median(times[t])
        print(f"{t} thread(s): {PAIRS_PER_RUN / medians[t]:.1f} pairs/s "
              f"(median of {runs}: {medians[t]:.3f} s for {PAIRS_PER_RUN} "
              f"pairs; range {min(times[t]):.3f}-{max(times[t]):.3f} s), "
              f"speed-up {medians[1] / medians[t]:.2f}, "
              f"CPU/wall {statistics.median(cpu[t]):.2f}")
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
