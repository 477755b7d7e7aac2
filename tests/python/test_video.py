"""ofulk.video_flows over a real clip and over a short clip drawn in code."""

import itertools
import os
import subprocess
from concurrent.futures import ThreadPoolExecutor

import cv2
import numpy as np
import pytest

import ofulk
from conftest import clip_path, tool, write_clip


def grey_frames(path, count):
    capture = cv2.VideoCapture(path)
    frames = []
    for _ in range(count):
        ok, frame = capture.read()
        assert ok
        frames.append(cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY))
    return frames


@pytest.mark.parametrize("step", [1, 3])
def test_real_clip_gives_the_fields_of_consecutive_frames(step):
    path = clip_path("traffic_road_640x360.avi")
    frames = grey_frames(path, 3 * step + 1)
    got = list(itertools.islice(ofulk.video_flows(path, stride=step), 3))
    assert [index for index, _ in got] == [0, step, 2 * step]
    for index, flow in got:
        assert flow.shape == (360, 640, 2) and flow.dtype == np.float32
        want = ofulk.calc_flow(frames[index], frames[index + 1])
        assert flow.tobytes() == want.tobytes(), f"pair {index}"
    assert any(np.count_nonzero(flow) for _, flow in got)


def test_every_pair_of_a_short_clip_and_nothing_more(tmp_dir):
    path = os.path.join(tmp_dir, "clip.avi")
    write_clip(path, 6)
    assert [i for i, _ in ofulk.video_flows(path)] == [0, 1, 2, 3, 4]
    assert [i for i, _ in ofulk.video_flows(path, stride=2)] == [0, 2, 4]
    # step is the older name of stride here, which the warning points to.
    with pytest.warns(DeprecationWarning, match="step=. is stride=.*--step is gap="):
        assert [i for i, _ in ofulk.video_flows(path, step=9)] == [0]


@pytest.mark.parametrize(
    "options, kwargs, pairs",
    [
        (["--step", "2"], dict(gap=2), [0, 1, 2, 3, 4, 5]),
        (["--gap", "2", "--stride", "3"], dict(gap=2, stride=3), [0, 3]),
        (["--stride", "2", "--max-pairs", "2"], dict(stride=2, max_pairs=2), [0, 2]),
    ],
)
def test_the_exporters_options_give_the_same_pairs(tmp_dir, options, kwargs, pairs):
    clip, out = os.path.join(tmp_dir, "clip.avi"), os.path.join(tmp_dir, "out")
    write_clip(clip, 8)
    subprocess.run([tool("OF_ULK_EXPORT"), clip, out, "-q", *options], check=True)
    got = list(ofulk.video_flows(clip, **kwargs))
    assert sorted(os.listdir(out)) == [f"flow_{i:06d}.flo" for i in pairs]
    assert [index for index, _ in got] == pairs
    for index, flow in got:
        written = ofulk.read_flo(os.path.join(out, f"flow_{index:06d}.flo"))
        assert written.tobytes() == flow.tobytes(), f"pair {index}"


def test_frames_from_a_start_frame_with_their_flow(tmp_dir):
    path = os.path.join(tmp_dir, "clip.avi")
    write_clip(path, 8)
    frames = grey_frames(path, 8)
    got = list(ofulk.video_flows(path, gap=2, start=3, with_frames=True))
    assert [item[0] for item in got] == [3, 4, 5]
    for index, older, newer, flow in got:
        assert older.tobytes() == frames[index].tobytes()
        assert newer.tobytes() == frames[index + 2].tobytes()
        assert flow.tobytes() == ofulk.calc_flow(older, newer).tobytes()


def test_bad_arguments_are_refused_at_the_call(tmp_dir, capfd):
    not_video = os.path.join(tmp_dir, "notes.avi")
    with open(not_video, "w") as f:
        f.write("not a video")
    open(os.path.join(tmp_dir, "empty.avi"), "w").close()
    with pytest.raises(FileNotFoundError):
        ofulk.video_flows(os.path.join(tmp_dir, "missing.avi"))
    for name in ("notes.avi", "empty.avi"):
        with pytest.raises(OSError, match="cannot open .* as a video"):
            ofulk.video_flows(os.path.join(tmp_dir, name))
    with pytest.raises(OSError, match="cannot open camera 99"):
        ofulk.video_flows(99)
    # The video library's own lines (GStreamer's CRITICAL ones) stay away.
    assert capfd.readouterr().err == ""
    with pytest.raises(ValueError, match="step must be at least 1, not 0"):
        ofulk.video_flows(not_video, step=0)
    for step in ("2", 1.0, True):
        with pytest.raises(TypeError, match="step must be an int"):
            ofulk.video_flows(not_video, step=step)
    with pytest.raises(TypeError, match="give stride or step, not both"):
        ofulk.video_flows(not_video, step=2, stride=2)
    with pytest.raises(TypeError, match="path must be a camera index, a str, bytes or"):
        ofulk.video_flows(3.0)


def read_all(frames, into):
    while (frame := frames.read()) is not None:
        into.append(frame.tobytes())


def test_frames_read_by_several_threads_are_each_read_once(tmp_dir):
    # The decoder is not safe for concurrent use; the reads take turns.
    path = os.path.join(tmp_dir, "clip.avi")
    write_clip(path, 120, 320, 240)
    want, got, shared = [], [], ofulk._VideoFrames(path)
    read_all(ofulk._VideoFrames(path), want)
    with ThreadPoolExecutor(3) as pool:
        list(pool.map(lambda _: read_all(shared, got), range(3)))
    assert len(want) == 120 and sorted(got) == sorted(want)
