"""Memory stays flat over 10,000 calls of every kind, failing ones included."""

import os

import numpy as np
import pytest

import ofulk
from conftest import run_python, textured_pair

# Growth allowed over the measured calls: far below what one leaked storage
# block (64 KiB) or one leaked frame per call would add.
ALLOWED_GROWTH = 4 << 20


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_ten_thousand_calls_keep_the_resident_size_flat(tmp_dir):
    older, newer = textured_pair(48, 32, seed=2)
    engine = ofulk.FlowEngine()
    out = np.empty((32, 48, 2), np.float32)
    path = os.path.join(tmp_dir, "f.flo")

    def calls(n):
        for i in range(n):
            kind = i % 8
            if kind == 0:
                flow = ofulk.calc_flow(older, newer)
            elif kind == 1:
                engine.calc(older, newer, flow=out)
            elif kind == 2:
                flow, info = engine.calc_with_info(older, newer)
                ofulk.draw_stuff_info(older.copy(), info)
            elif kind == 3:
                ofulk.flow_to_colour(out)
                ofulk.flow_to_wheel(out)
            elif kind == 4:
                ofulk.write_flo(path, out)
                ofulk.read_flo(path)
            elif kind == 5:
                with pytest.raises(ValueError):
                    engine.calc(older, newer[:16])
            elif kind == 6:
                with pytest.raises(TypeError):
                    ofulk.calc_flow(older, newer.astype(np.int16))
            else:
                ofulk.FlowEngine().calc(older[:, ::2], newer[:, ::2])

    calls(1000)  # warm-up: allocator pools and first-use caches
    before = resident_bytes()
    calls(10000)
    growth = resident_bytes() - before
    assert growth < ALLOWED_GROWTH, f"resident size grew by {growth} bytes"


BIG_CALL = """
    import sys, threading, ofulk
    from conftest import textured_pair
    from test_leak import resident_bytes
    older, newer = textured_pair(4000, 4000)
    before = resident_bytes()
    if sys.argv[1] == "collect_garbage":
        engine = ofulk.FlowEngine()
        engine.calc(older, newer)
        engine.collect_garbage()
    else:
        thread = threading.Thread(target=ofulk.calc_flow, args=(older, newer))
        thread.start()
        thread.join()
    print(resident_bytes() - before)
"""


@pytest.mark.parametrize("way", ["collect_garbage", "thread_end"])
def test_buffers_of_a_big_call_are_released(way):
    # The work buffers of a 4000 x 4000 call take about 240 MB.
    run = run_python(BIG_CALL, way)
    assert int(run.stdout or run.stderr) < 64 << 20
