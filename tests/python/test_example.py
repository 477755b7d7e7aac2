"""examples/flow_of_video.py makes its picture from the shared real clip,
and from a clip of its own when given none."""

import os
import subprocess
import sys

import cv2
import numpy as np

import ofulk
from conftest import clip_frames, clip_path

EXAMPLE = os.path.join(
    os.path.dirname(__file__), "..", "..", "examples", "flow_of_video.py"
)


def test_side_by_side_picture_of_frame_and_flow_colours(tmp_dir):
    video = clip_path("traffic_road_640x360.avi")
    output = os.path.join(tmp_dir, "side.png")
    run = subprocess.run(
        [sys.executable, EXAMPLE, video, output, "--pair", "5"],
        capture_output=True, text=True,
    )
    assert run.returncode == 0, run.stderr
    picture = cv2.imread(output)
    assert picture.shape == (360, 1280, 3)

    older, newer = clip_frames("traffic_road_640x360.avi", 2, start=5)
    grey = [cv2.cvtColor(f, cv2.COLOR_BGR2GRAY) for f in (older, newer)]
    colours = ofulk.flow_to_colour(ofulk.calc_flow(*grey))
    assert np.array_equal(picture[:, :640], newer)
    assert np.array_equal(picture[:, 640:], colours)
    assert colours.any(), "the traffic moves"


def test_without_a_video_it_makes_its_own_clip(tmp_dir):
    run = subprocess.run(
        [sys.executable, os.path.abspath(EXAMPLE)],
        capture_output=True, text=True, cwd=tmp_dir,
    )
    assert run.returncode == 0, run.stderr
    assert "made a clip of" in run.stdout
    picture = cv2.imread(os.path.join(tmp_dir, "flow_of_video.png"))
    assert picture.shape == (240, 640, 3)
    assert picture[:, 320:].any(), "the square and the disc move"
    assert os.listdir(tmp_dir) == ["flow_of_video.png"], "the clip is removed"
