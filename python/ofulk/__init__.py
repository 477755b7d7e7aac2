"""Segmentation-based dense optical flow for NumPy and OpenCV users.

The engine segments the newer of two grey frames into grey-level regions,
tracks the corners of the region outlines and spreads their motion over the
regions. Flow fields are H x W x 2 ``float32`` arrays (x and y velocity in
pixels), as ``cv2.calcOpticalFlowFarneback`` returns them.

>>> import cv2, ofulk
>>> flow = ofulk.calc_flow(cv2.imread("a.png"), cv2.imread("b.png"))
>>> cv2.imwrite("flow.png", ofulk.flow_to_colour(flow))
"""

import os as _os

from ._ofulk import (
    FlowEngine,
    FlowInfo,
    calc_flow,
    draw_stuff_info,
    error,
    flow_to_colour,
    flow_to_wheel,
    read_flo,
    write_flo,
)
from ._ofulk import _VideoFrames

__all__ = [
    "FlowEngine",
    "FlowInfo",
    "calc_flow",
    "draw_stuff_info",
    "error",
    "flow_to_colour",
    "flow_to_wheel",
    "read_flo",
    "video_flows",
    "write_flo",
]

__version__ = "0.1.0"


def video_flows(
    path,
    step=1,
    refined=False,
    *,
    pyramid_scale=None,
    coarsest_side=None,
    finest_scale=None,
    alpha=None,
    delta=None,
    gamma=None,
    outer_iterations=None,
    inner_iterations=None,
    omega=None,
    fuse_scale=None,
):
    """Flow fields of a video's frame pairs, decoded with OpenCV.

    Pair ``i`` is frame ``i`` (older) and frame ``i + 1`` (newer); the
    generator yields every ``step``-th pair, so each field is exactly
    ``calc_flow`` of two consecutive frames (with the same ``refined`` and
    settings).
    Frames are turned grey the way the viewer does it. The file is opened at
    once, so a missing or undecodable file raises here, not at the first
    ``next()``.

    Parameters
    ----------
    path : str, bytes or os.PathLike
        A video file OpenCV can decode.
    step : int, default 1
        Yield pairs 0, step, 2 * step, ...
    refined : bool, default False
        Compute the refined fields (motions of 60 pixels and more, sub-pixel
        accuracy), as ``FlowEngine(refined=True)`` does.
    pyramid_scale, coarsest_side, finest_scale, alpha, delta, gamma, \
outer_iterations, inner_iterations, omega, fuse_scale : optional, keyword only
        The refined mode's settings, as for ``FlowEngine``; None keeps the
        library's default.

    Yields
    ------
    index : int
        The index of the pair's older frame.
    flow : numpy.ndarray
        H x W x 2 ``float32`` field of the pair.

    Raises
    ------
    TypeError
        ``path`` is not a str, bytes or os.PathLike, ``step`` not an int,
        ``refined`` not a bool or a setting not a number of its kind.
    ValueError
        ``path`` holds a NUL character, ``step`` is below 1 or a setting is
        out of its range; while
        iterating, a frame whose size differs from the first one's.
    FileNotFoundError
        There is no such file.
    OSError
        The file cannot be opened as a video.
    """
    if not isinstance(path, (str, bytes, _os.PathLike)):
        raise TypeError(
            f"path must be a str, bytes or os.PathLike, not {type(path).__name__}"
        )
    if isinstance(step, bool) or not isinstance(step, int):
        raise TypeError(f"step must be an int, not {type(step).__name__}")
    if step < 1:
        raise ValueError(f"step must be at least 1, not {step}")
    engine = FlowEngine(
        refined=refined,
        pyramid_scale=pyramid_scale,
        coarsest_side=coarsest_side,
        finest_scale=finest_scale,
        alpha=alpha,
        delta=delta,
        gamma=gamma,
        outer_iterations=outer_iterations,
        inner_iterations=inner_iterations,
        omega=omega,
        fuse_scale=fuse_scale,
    )
    frames = _VideoFrames(path)
    return _pairs(frames, step, engine)


def _pairs(frames, step, engine):
    older = frames.read()
    index = 0
    while older is not None:
        newer = frames.read()
        if newer is None:
            return
        if index % step == 0:
            yield index, engine.calc(older, newer)
        older = newer
        index += 1
