"""Fixtures of the ofulk tests: frames drawn in code, shared real clips, and
the C++ reference program that gives the library's own results."""

import os
import subprocess
import sys
import tempfile
import textwrap

import cv2
import numpy as np
import pytest


def textured_pair(width=160, height=120, dx=2, dy=1, seed=7):
    """Two BGR frames of a random scene of rectangles and discs; the newer
    one is the older one moved by (dx, dy) pixels."""
    rng = np.random.default_rng(seed)
    margin = 8
    canvas = np.full((height + 2 * margin, width + 2 * margin, 3), 90, np.uint8)
    for i in range(40):
        x, y = (int(v) for v in rng.integers(0, canvas.shape[1::-1]))
        colour = tuple(int(c) for c in rng.integers(0, 256, 3))
        if i % 2:
            w, h = (int(v) for v in rng.integers(6, 30, 2))
            cv2.rectangle(canvas, (x, y), (x + w, y + h), colour, cv2.FILLED)
        else:
            cv2.circle(canvas, (x, y), int(rng.integers(4, 16)), colour, cv2.FILLED)
    older = canvas[margin : margin + height, margin : margin + width].copy()
    newer = canvas[
        margin - dy : margin - dy + height, margin - dx : margin - dx + width
    ].copy()
    return older, newer


def write_clip(path, frames, width=96, height=64):
    """An MJPG clip of a textured scene moving right by 2 pixels a frame."""
    scene, _ = textured_pair(width, height, seed=5)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 10, (width, height))
    for i in range(frames):
        writer.write(np.roll(scene, 2 * i, axis=1))
    writer.release()


def shared_data_dir():
    path = os.environ.get("OF_ULK_SHARED_DATA") or os.path.join(
        os.path.dirname(__file__), "..", "..", "..", "shared", "data"
    )
    return path if os.path.isdir(path) else None


def clip_path(name):
    """A shared real clip, or a skip with the reason."""
    data = shared_data_dir()
    path = os.path.join(data, "videos", name) if data else None
    if not path or not os.path.isfile(path):
        pytest.skip(f"shared clip {name} not found (../shared/data missing)")
    return path


def clip_frames(name, count, start=0):
    """count BGR frames of a shared clip from frame start."""
    capture = cv2.VideoCapture(clip_path(name))
    frames = []
    index = 0
    while len(frames) < count:
        ok, frame = capture.read()
        assert ok, f"{name} ended before frame {index}"
        if index >= start:
            frames.append(frame)
        index += 1
    return frames


def scene_pair():
    """A textured pair moving by (2, -1)."""
    return textured_pair(160, 120, dx=2, dy=-1)


def real_pair():
    """Two frames of a shared street clip."""
    return tuple(clip_frames("traffic_road_640x360.avi", 2, start=30))


def grey(frame):
    return cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)


def tool(variable):
    """A program of the build tree that ctest names in variable, or a skip."""
    path = os.environ.get(variable)
    if not path or not os.path.isfile(path):
        pytest.skip(f"{variable} is not set (run the tests with ctest)")
    return path


def run_python(script, *args):
    """Runs a script in an interpreter of its own, in this folder."""
    command = [sys.executable, "-c", textwrap.dedent(script), *args]
    here = os.path.dirname(__file__)
    return subprocess.run(command, capture_output=True, text=True, timeout=120, cwd=here)


@pytest.fixture
def tmp_dir():
    base = os.environ.get("OFULK_TEST_TMP")
    if base:
        os.makedirs(base, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=base) as path:
        yield path


class CppReference:
    """The library's results for two BGR frames, from ofulk_cpp_reference;
    with refined=True those of the refined mode, in a folder of their own."""

    def __init__(self, older, newer, directory, refined=False):
        program = os.environ.get("OFULK_CPP_REFERENCE")
        if not program:
            pytest.skip("OFULK_CPP_REFERENCE is not set (run the tests with ctest)")
        if refined:
            directory = os.path.join(directory, "refined")
            os.makedirs(directory, exist_ok=True)
        paths = [os.path.join(directory, n) for n in ("older.png", "newer.png")]
        for path, frame in zip(paths, (older, newer)):
            assert cv2.imwrite(path, frame)
        switch = ["refined"] if refined else []
        run = subprocess.run(
            [program, *paths, directory, *switch],
            capture_output=True,
            text=True,
            check=True,
        )
        self.segments, self.points = (int(v) for v in run.stdout.split())
        self.directory = directory

    def flow(self):
        return cv2.readOpticalFlow(os.path.join(self.directory, "flow.flo"))

    def image(self, name):
        return cv2.imread(os.path.join(self.directory, name), cv2.IMREAD_UNCHANGED)


@pytest.fixture
def cpp_reference(tmp_dir):
    return lambda older, newer, refined=False: CppReference(
        older, newer, tmp_dir, refined
    )
