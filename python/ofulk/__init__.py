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
import warnings as _warnings

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
    source,
    step=None,
    refined=False,
    *,
    gap=1,
    stride=None,
    start=0,
    max_pairs=None,
    with_frames=False,
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

    A pair is frame ``n`` (older) and frame ``n + gap`` (newer); pairs start
    at frames ``start``, ``start + stride``, ``start + 2 * stride``, ... As
    with ``of_ulk_export --gap G --stride S --max-pairs M`` (``--step`` is
    its older name of ``--gap``), whose files are numbered by ``n``, each
    field is exactly ``calc_flow`` of the pair's two frames (with the same
    ``refined`` and settings).
    Frames are turned grey the way the viewer does it. The source is opened
    at once, so a missing or undecodable file raises here, not at the first
    ``next()``; the video libraries' own log lines are kept off the console.

    Parameters
    ----------
    source : int, str, bytes or os.PathLike
        A video file OpenCV can decode, or the index of a camera.
    step : int, optional
        The older name of ``stride`` here (deprecated: ``step`` is ``gap``
        for ``of_ulk_export``).
    refined : bool, default False
        Compute the refined fields (motions of 60 pixels and more, sub-pixel
        accuracy), as ``FlowEngine(refined=True)`` does; any truthy value
        counts.
    gap : int, default 1, keyword only
        Frames from a pair's older frame to its newer one.
    stride : int, default 1, keyword only
        Frames from the start of one pair to the start of the next.
    start : int, default 0, keyword only
        The older frame of the first pair; the frames before it are decoded
        and dropped.
    max_pairs : int, optional, keyword only
        Yield at most this many pairs; None: until the video ends.
    with_frames : bool, default False, keyword only
        Yield the pair's two grey frames with its field.
    pyramid_scale, coarsest_side, finest_scale, alpha, delta, gamma, \
outer_iterations, inner_iterations, omega, fuse_scale : optional, keyword only
        The refined mode's settings, as for ``FlowEngine``; None keeps the
        library's default.

    Yields
    ------
    index : int
        The number of the pair's older frame, counted from the first frame
        of the video (``start`` included).
    older, newer : numpy.ndarray
        With ``with_frames`` only: the pair's H x W ``uint8`` frames.
    flow : numpy.ndarray
        H x W x 2 ``float32`` field of the pair.

    Raises
    ------
    TypeError
        ``source`` is not a camera index, str, bytes or os.PathLike, a count
        not an int, both ``step`` and ``stride`` given, or a setting not a
        number of its kind.
    ValueError
        ``path`` holds a NUL character, ``gap``, ``stride`` or ``step`` is
        below 1, ``start`` or ``max_pairs`` below 0, or a setting is out of
        its range; while iterating, a frame whose size differs from the
        first one's.
    FileNotFoundError
        There is no such file.
    OSError
        The file cannot be opened as a video, or the camera cannot be
        opened.
    """
    if isinstance(source, bool) or not isinstance(
        source, (int, str, bytes, _os.PathLike)
    ):
        raise TypeError(
            "path must be a camera index, a str, bytes or os.PathLike, "
            f"not {type(source).__name__}"
        )
    if step is not None:
        if stride is not None:
            raise TypeError("give stride or step, not both")
        stride = _count("step", step, 1)
        _warnings.warn(
            "video_flows(step=) is stride=, the frames between the starts of "
            "pairs; of_ulk_export's --step is gap=",
            DeprecationWarning,
            stacklevel=2,
        )
    stride = 1 if stride is None else _count("stride", stride, 1)
    gap = _count("gap", gap, 1)
    start = _count("start", start, 0)
    if max_pairs is not None:
        max_pairs = _count("max_pairs", max_pairs, 0)
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
    frames = _VideoFrames(source)
    return _pairs(frames, engine, gap, stride, start, max_pairs, bool(with_frames))


def _count(name, value, low):
    """value, an int of at least low, or a TypeError or ValueError."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be at least {low}, not {value}")
    return value


def _pairs(frames, engine, gap, stride, start, max_pairs, with_frames):
    """The pairs, as of_ulk_export reads them: every frame is decoded, those
    that no pair needs are dropped at once."""

    def needed(number):
        offset = number - start
        return offset >= 0 and (
            offset % stride == 0 or (offset >= gap and (offset - gap) % stride == 0)
        )

    kept = {}  # frame number -> frame, for the pairs to come
    read = 0  # frames read
    older = start
    yielded = 0
    while max_pairs is None or yielded < max_pairs:
        newer = older + gap
        while read <= newer:
            frame = frames.read(needed(read))
            if frame is None:
                return
            if frame is not True:
                kept[read] = frame
            read += 1
        for number in [n for n in kept if n < older]:
            del kept[number]
        flow = engine.calc(kept[older], kept[newer])
        yield (older, kept[older], kept[newer], flow) if with_frames else (older, flow)
        older += stride
        yielded += 1
