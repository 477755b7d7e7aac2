"""Engines of several threads compute in parallel with the results of one
thread; one engine shared by threads serves them one after another."""

import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import ofulk
from conftest import run_python, textured_pair

PAIRS = [textured_pair(240, 180, dx=dx, dy=dy, seed=s) for s, (dx, dy) in
         enumerate([(1, 0), (2, 1), (-1, 3), (0, -2), (3, 3), (-2, 0), (1, -1), (2, 2)])]


def sequential():
    engine = ofulk.FlowEngine()
    return [engine.calc(a, b).tobytes() for a, b in PAIRS]


def test_four_threads_with_own_engines_equal_one_thread():
    want = sequential()
    local = threading.local()

    def work(i):
        if not hasattr(local, "engine"):
            local.engine = ofulk.FlowEngine()
        return i, local.engine.calc(*PAIRS[i]).tobytes()

    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            got = dict(pool.map(work, list(range(len(PAIRS))) * 2))
            assert [got[i] for i in range(len(PAIRS))] == want


def test_one_engine_shared_by_threads_gives_each_its_own_field():
    want = sequential()
    engine = ofulk.FlowEngine()
    with ThreadPoolExecutor(max_workers=4) as pool:
        got = list(pool.map(lambda pair: engine.calc(*pair).tobytes(), PAIRS * 2))
    assert got == want * 2


def test_calls_release_the_interpreter_lock():
    # With a long switch interval a thread that waits for the interpreter
    # lock gets it within a call only if the call lets it go. On a busy
    # machine the waiting thread may not be scheduled during one short
    # call, so several calls are made and the ticks inside any of them count.
    frames = textured_pair(640, 480, seed=11)
    ticks = []
    calling = threading.Event()
    done = threading.Event()

    def count():
        while not done.is_set():
            if calling.is_set():
                ticks.append(time.perf_counter())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.5)
    counter = threading.Thread(target=count)
    inside = 0
    try:
        counter.start()
        for _ in range(30):
            ticks.clear()
            calling.set()
            start = time.perf_counter()
            ofulk.calc_flow(*frames)
            end = time.perf_counter()
            calling.clear()
            inside += sum(start < t < end for t in list(ticks))
            if inside > 10:
                break
    finally:
        done.set()
        counter.join()
        sys.setswitchinterval(interval)
    assert inside > 10


EXIT_DURING_CALLS = """
    import os, sys, threading, time, numpy as np, ofulk
    from conftest import textured_pair
    older, newer = textured_pair(200, 200)  # short calls: some end during the exit
    field = np.zeros((200, 200, 2), np.float32)
    calls = {
        "calc": lambda i: ofulk.FlowEngine().calc(older, newer),
        "calc_flow": lambda i: ofulk.calc_flow(older, newer),
        "write_flo": lambda i: ofulk.write_flo(os.path.join(sys.argv[2], str(i)), field),
    }

    def loop(i):
        while True:
            calls[sys.argv[1]](i)

    for i in range(3):
        threading.Thread(target=loop, args=(i,), daemon=True).start()
    time.sleep(0.3)
"""


@pytest.mark.parametrize("call", ["calc", "calc_flow", "write_flo"])
def test_interpreter_exits_cleanly_while_daemon_threads_are_in_calls(tmp_dir, call):
    run = run_python(EXIT_DURING_CALLS, call, tmp_dir)
    assert (run.returncode, run.stderr) == (0, "")
