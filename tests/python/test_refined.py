"""refined=True everywhere the package computes flow: the values of the
library's refined mode byte for byte, a field unlike the default one on a
moving scene, and a bool or nothing."""

import itertools

import cv2
import numpy as np
import pytest

import ofulk
from conftest import clip_frames, clip_path, textured_pair


def scene_pair():
    return textured_pair(160, 120, dx=2, dy=-1)


def real_pair():
    return tuple(clip_frames("traffic_road_640x360.avi", 2, start=30))


def grey(frame):
    return cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)


@pytest.mark.parametrize("make_pair", [scene_pair, real_pair], ids=["scene", "real_clip"])
def test_refined_results_equal_the_library_and_differ_from_the_default(
    make_pair, cpp_reference
):
    older, newer = make_pair()
    ref = cpp_reference(older, newer, refined=True)
    want = ref.flow()
    default = cpp_reference(older, newer).flow()
    assert want.tobytes() != default.tobytes(), "the refinements changed nothing"

    engine = ofulk.FlowEngine(refined=True)
    switched = ofulk.FlowEngine()
    switched.refined = True
    out = np.full(want.shape, np.nan, np.float32)
    results = {
        "calc_flow bgr": ofulk.calc_flow(older, newer, refined=True),
        "calc_flow grey": ofulk.calc_flow(grey(older), grey(newer), refined=True),
        "engine": engine.calc(older, newer),
        "engine out": engine.calc(older, newer, flow=out),
        "with info": engine.calc_with_info(older, newer)[0],
        "property set": switched.calc(older, newer),
    }
    for name, flow in results.items():
        assert flow.tobytes() == want.tobytes(), name

    _, info = engine.calc_with_info(older, newer)
    assert (len(info.segments), len(info.points)) == (ref.segments, ref.points)
    drawn = newer.copy()
    ofulk.draw_stuff_info(drawn, info)
    assert drawn.tobytes() == ref.image("stuff_info.png").tobytes()

    # Switched off again, the engine gives the default field.
    switched.refined = False
    assert switched.calc(older, newer).tobytes() == default.tobytes()


def test_the_property_reports_the_setting():
    assert ofulk.FlowEngine().refined is False
    engine = ofulk.FlowEngine(refined=True)
    assert engine.refined is True
    engine.refined = False
    assert engine.refined is False
    engine.refined = np.bool_(True)  # as a comparison of arrays gives it
    assert engine.refined is True


def test_video_flows_refined_gives_the_refined_fields_of_consecutive_frames():
    path = clip_path("traffic_road_640x360.avi")
    frames = [grey(f) for f in clip_frames("traffic_road_640x360.avi", 5)]
    got = list(itertools.islice(ofulk.video_flows(path, step=2, refined=True), 2))
    assert [index for index, _ in got] == [0, 2]
    for index, flow in got:
        want = ofulk.calc_flow(frames[index], frames[index + 1], refined=True)
        assert flow.tobytes() == want.tobytes(), f"pair {index}"


@pytest.mark.parametrize(
    "value, kind",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (np.float32(1), "numpy.float32")],
    ids=["one", "zero", "None", "str", "numpy_float"],
)
def test_refined_must_be_a_bool(value, kind, tmp_dir):
    older, newer = scene_pair()
    message = f"refined must be a bool, not {kind}$"
    calls = {
        "calc_flow": lambda: ofulk.calc_flow(older, newer, refined=value),
        "FlowEngine": lambda: ofulk.FlowEngine(refined=value),
        "video_flows": lambda: ofulk.video_flows(tmp_dir + "/none.avi", refined=value),
    }
    for name, call in calls.items():
        with pytest.raises(TypeError, match=message):
            call()
    engine = ofulk.FlowEngine(refined=True)
    with pytest.raises(TypeError, match=message):
        engine.refined = value
    assert engine.refined is True, "a refused value changed the setting"


# Every setting away from its default, within its range.
SETTINGS = {
    "pyramid_scale": 0.7,
    "coarsest_side": 12,
    "finest_scale": 0.6,
    "alpha": 12.0,
    "delta": 4.0,
    "gamma": 8.0,
    "outer_iterations": 3,
    "inner_iterations": 7,
    "omega": 1.7,
    "fuse_scale": 0.4,
}


def test_settings_reach_every_entry_and_apply_while_refined():
    older, newer = scene_pair()
    refined = ofulk.calc_flow(older, newer, refined=True)
    engine = ofulk.FlowEngine(refined=True, **SETTINGS)
    assert engine.refine_params == SETTINGS
    got = engine.calc(older, newer)
    assert got.tobytes() != refined.tobytes(), "the settings changed nothing"
    same = ofulk.calc_flow(older, newer, refined=True, **SETTINGS)
    assert same.tobytes() == got.tobytes()

    # Switched off, the engine gives the default field and keeps the
    # settings for when it is switched on again.
    engine.refined = False
    assert engine.calc(older, newer).tobytes() == ofulk.calc_flow(older, newer).tobytes()
    engine.refined = True
    assert engine.calc(older, newer).tobytes() == got.tobytes()

    # None keeps a setting's default; one setting changes that one only.
    defaults = ofulk.FlowEngine().refine_params
    assert ofulk.FlowEngine(alpha=None).refine_params == defaults
    assert ofulk.FlowEngine(alpha=3).refine_params == dict(defaults, alpha=3.0)


def test_video_flows_passes_the_settings():
    path = clip_path("traffic_road_640x360.avi")
    frames = [grey(f) for f in clip_frames("traffic_road_640x360.avi", 2)]
    (index, flow), = itertools.islice(
        ofulk.video_flows(path, refined=True, alpha=12.0, outer_iterations=3), 1
    )
    want = ofulk.calc_flow(frames[0], frames[1], refined=True, alpha=12.0, outer_iterations=3)
    assert index == 0 and flow.tobytes() == want.tobytes()


@pytest.mark.parametrize(
    "name, value, error, message",
    [
        ("pyramid_scale", 0.4, ValueError, r"pyramid_scale must lie in \[0.5, 0.95\]$"),
        ("coarsest_side", 3, ValueError, r"coarsest_side must lie in \[4, 1024\]$"),
        ("coarsest_side", 2**40, ValueError, r"coarsest_side must lie in \[4, 1024\]$"),
        ("alpha", float("nan"), ValueError, r"alpha must lie in \[0.01, 1000\]$"),
        ("omega", 2.0, ValueError, r"omega must lie in \[1, 1.99\]$"),
        ("fuse_scale", -0.1, ValueError, r"fuse_scale must lie in \[0, 1\]$"),
        ("inner_iterations", 7.0, TypeError, "inner_iterations must be an int, not float$"),
        ("alpha", True, TypeError, "alpha must be a float, not bool$"),
        ("gamma", "5", TypeError, "gamma must be a float, not str$"),
    ],
    ids=lambda v: str(v)[:14],
)
def test_settings_out_of_range_or_of_the_wrong_kind_are_refused(
    name, value, error, message, tmp_dir
):
    older, newer = scene_pair()
    calls = {
        "calc_flow": lambda: ofulk.calc_flow(older, newer, refined=True, **{name: value}),
        "FlowEngine": lambda: ofulk.FlowEngine(**{name: value}),
        "video_flows": lambda: ofulk.video_flows(tmp_dir + "/none.avi", **{name: value}),
    }
    for label, call in calls.items():
        with pytest.raises(error, match=message):
            call()
