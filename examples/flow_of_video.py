#!/usr/bin/env python3
"""A video frame beside the colours of its flow, as one PNG.

    python3 examples/flow_of_video.py [VIDEO] [OUTPUT.png] [--pair N]

By default it reads ../shared/data/videos/traffic_road_640x360.avi (beside
the project folder), finds the frame pair with the most motion and writes
flow_of_video.png: on the left the newer frame of the pair, on the right
its flow in the viewer's colours (hue the direction, lightness the speed,
black where nothing moves). --pair N shows pair N instead.
"""

import argparse
import os
import sys

import cv2
import numpy as np

import ofulk

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_VIDEO = os.path.join(
    ROOT, "..", "shared", "data", "videos", "traffic_road_640x360.avi"
)


def side_by_side(video, pair=None):
    """The newer frame of a pair and the colours of its flow, side by side:
    pair `pair`, or the pair with the largest mean speed when it is None."""
    capture = cv2.VideoCapture(video)
    ok, frame = capture.read()
    best = None
    for index, flow in ofulk.video_flows(video):
        # Read along with the generator: this is the pair's newer frame.
        ok, frame = capture.read()
        if not ok:
            break
        if pair is None:
            speed = float(np.hypot(flow[..., 0], flow[..., 1]).mean())
            if best is None or speed > best[0]:
                best = (speed, index, frame, flow)
        elif index == pair:
            best = (None, index, frame, flow)
            break
    if best is None:
        raise SystemExit(f"{video} has no frame pair {pair}")
    _, index, frame, flow = best
    print(f"pair {index}: frames {index} and {index + 1}")
    return np.hstack([frame, ofulk.flow_to_colour(flow)])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("video", nargs="?", default=DEFAULT_VIDEO)
    parser.add_argument("output", nargs="?", default="flow_of_video.png")
    parser.add_argument("--pair", type=int, default=None,
                        help="index of the frame pair to show (default: the "
                        "pair with the most motion)")
    args = parser.parse_args(argv)
    if not os.path.isfile(args.video):
        sys.exit(f"no video at {args.video}")
    picture = side_by_side(args.video, args.pair)
    if not cv2.imwrite(args.output, picture):
        sys.exit(f"cannot write {args.output}")
    print(f"wrote {args.output} ({picture.shape[1]} x {picture.shape[0]})")


if __name__ == "__main__":
    main()
