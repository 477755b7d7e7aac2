"""The package's results equal the library's byte for byte: flow, colours,
wheel and the stuff-info drawing, for every input layout."""

import cv2
import numpy as np
import pytest

import ofulk
from conftest import grey, real_pair, scene_pair, textured_pair


def assert_same_bits(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("make_pair", [scene_pair, real_pair], ids=["scene", "real_clip"])
def test_everything_equals_the_library(make_pair, cpp_reference):
    older, newer = make_pair()
    ref = cpp_reference(older, newer)
    want = ref.flow()
    assert np.count_nonzero(want) > 0, "a field at rest proves little"

    engine = ofulk.FlowEngine()
    out = np.full(want.shape, np.nan, np.float32)
    results = {
        "calc_flow bgr": ofulk.calc_flow(older, newer),
        "calc_flow grey": ofulk.calc_flow(grey(older), grey(newer)),
        "engine bgra": engine.calc(
            cv2.cvtColor(older, cv2.COLOR_BGR2BGRA), cv2.cvtColor(newer, cv2.COLOR_BGR2BGRA)
        ),
        "engine out": engine.calc(older, newer, flow=out),
        "with info": engine.calc_with_info(older, newer)[0],
    }
    for name, flow in results.items():
        assert flow.tobytes() == want.tobytes(), name

    for k in (0.08, 0.04):
        assert_same_bits(ofulk.flow_to_colour(want, k=k), ref.image(f"colour_{k:f}.png"))
    assert_same_bits(ofulk.flow_to_wheel(want), ref.image("wheel.png"))
    assert_same_bits(ofulk.flow_to_wheel(want, max_speed=2), ref.image("wheel_max.png"))

    _, info = engine.calc_with_info(older, newer)
    assert (len(info.segments), len(info.points)) == (ref.segments, ref.points)
    drawn = newer.copy()
    ofulk.draw_stuff_info(drawn, info)
    assert_same_bits(drawn, ref.image("stuff_info.png"))


@pytest.mark.parametrize("border", [0, 3], ids=["whole", "crop"])
def test_output_array_is_written_in_place(border):
    older, newer = scene_pair()
    whole = np.full((120 + 2 * border, 160 + 2 * border, 2), np.nan, np.float32)
    out = whole[border:border + 120, border:border + 160]
    got = ofulk.FlowEngine().calc(older, newer, flow=out)
    assert got is out
    assert out.tobytes() == ofulk.calc_flow(older, newer).tobytes()
    assert np.isnan(whole).sum() == whole.size - out.size
    info = ofulk.FlowEngine().calc_with_info(older, newer)[1]
    image, want = np.zeros(whole.shape[:2] + (3,), np.uint8), np.zeros((120, 160, 3), np.uint8)
    for picture in (image[border:, border:], want):
        ofulk.draw_stuff_info(picture, info)
    assert image[border:border + 120, border:border + 160].tobytes() == want.tobytes()


@pytest.mark.parametrize(
    "layout",
    [
        pytest.param(lambda f: f[5:-5, 7:-9], id="crop"),
        pytest.param(lambda f: np.asfortranarray(f), id="fortran_order"),
        pytest.param(lambda f: f[::-1], id="upside_down_view"),
        pytest.param(lambda f: f[:, :, None], id="channel_axis"),
        pytest.param(lambda f: np.repeat(f, 2, axis=1)[:, ::2], id="every_other_column"),
    ],
)
def test_strided_frames_give_the_field_of_their_copies(layout):
    older, newer = (grey(f) for f in scene_pair())
    a, b = layout(older), layout(newer)
    want = ofulk.calc_flow(np.ascontiguousarray(a), np.ascontiguousarray(b))
    assert ofulk.calc_flow(a, b).tobytes() == want.tobytes()


def test_info_describes_the_label_map_and_survives_later_calls():
    older, newer = scene_pair()
    engine = ofulk.FlowEngine()
    flow, info = engine.calc_with_info(older, newer)
    before = (info.idx_map.copy(), info.segments.copy(), info.points.copy())
    engine.calc_with_info(*textured_pair(320, 240, seed=3))
    engine.collect_garbage()

    assert info.idx_map.shape == (120, 160) and info.idx_map.dtype == np.uint16
    labels, counts = np.unique(info.idx_map, return_counts=True)
    assert set(info.segments["label"]) == set(labels)
    # Every labelled pixel lies inside its segment's rectangle, ends included.
    for row in info.segments:
        ys, xs = np.nonzero(info.idx_map == row["label"])
        assert xs.min() >= row["rect_x"] and xs.max() <= row["rect_x"] + row["rect_width"]
        assert ys.min() >= row["rect_y"] and ys.max() <= row["rect_y"] + row["rect_height"]
        assert info.idx_map[row["start_y"], row["start_x"]] == row["label"]
    for indices in info.segment_points:
        assert indices.dtype == np.int32
        assert ((indices >= 0) & (indices < len(info.points))).all()
    assert info.points["valid"].dtype == np.bool_
    # The copy is unchanged by later calls, and read-only.
    for kept, now in zip(before, (info.idx_map, info.segments, info.points)):
        assert kept.tobytes() == now.tobytes()
    with pytest.raises(ValueError):
        info.idx_map[0, 0] = 1
    assert "segments" in repr(info)
