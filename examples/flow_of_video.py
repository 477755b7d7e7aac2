#!/usr/bin/env python3
"""A video frame beside the colours of its flow, as one PNG.

    /usr/bin/python3 examples/flow_of_video.py [VIDEO] [OUTPUT.png] [--pair N]

It finds the frame pair of VIDEO with the most motion and writes
flow_of_video.png: on the left the newer frame of the pair, on the right
its flow in the viewer's colours (hue the direction, lightness the speed,
black where nothing moves). --pair N shows pair N instead. Without VIDEO it
first makes a small synthetic clip (a textured background, a square moving
right and down, a disc moving left) with NumPy and OpenCV and uses that.
"""

import argparse
import os
import sys
import tempfile

import cv2
import numpy as np

import ofulk

# The synthetic clip: its size, frame count and its objects' motion in
# pixels per frame.
CLIP_SIZE = (320, 240)
CLIP_FRAMES = 12
SQUARE_MOTION = (3, 1)
DISC_MOTION = (-2, 0)


def texture(height, width, rng):
    """Grey-level blobs of several sizes, as BGR: something to track."""
    noise = rng.integers(0, 256, (height, width)).astype(np.float32)
    smooth = cv2.GaussianBlur(noise, (0, 0), 3) + cv2.GaussianBlur(noise, (0, 0), 1)
    smooth = cv2.normalize(smooth, None, 0, 255, cv2.NORM_MINMAX)
    return cv2.cvtColor(smooth.astype(np.uint8), cv2.COLOR_GRAY2BGR)


def make_clip(path):
    """Writes a synthetic MJPG clip to path and returns it."""
    width, height = CLIP_SIZE
    rng = np.random.default_rng(1)
    background = texture(height, width, rng)
    square = texture(60, 60, rng) // 2 + 100
    disc = texture(50, 50, rng) // 2
    mask = np.zeros((50, 50), np.uint8)
    cv2.circle(mask, (25, 25), 24, 255, cv2.FILLED)
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 25,
                             (width, height))
    if not writer.isOpened():
        sys.exit(f"cannot write a clip to {path}")
    for i in range(CLIP_FRAMES):
        frame = background.copy()
        x, y = 40 + SQUARE_MOTION[0] * i, 60 + SQUARE_MOTION[1] * i
        frame[y : y + 60, x : x + 60] = square
        x, y = 240 + DISC_MOTION[0] * i, 150
        area = frame[y : y + 50, x : x + 50]
        area[mask > 0] = disc[mask > 0]
        writer.write(frame)
    writer.release()
    print(f"made a clip of {CLIP_FRAMES} frames, {width} x {height}: a square "
          f"moving by {SQUARE_MOTION} and a disc by {DISC_MOTION} pixels "
          "per frame")
    return path


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
    parser.add_argument("video", nargs="?", default=None,
                        help="video to read (default: a synthetic clip "
                        "made on the spot)")
    parser.add_argument("output", nargs="?", default="flow_of_video.png")
    parser.add_argument("--pair", type=int, default=None,
                        help="index of the frame pair to show (default: the "
                        "pair with the most motion)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as folder:
        video = args.video or make_clip(os.path.join(folder, "synthetic.avi"))
        if not os.path.isfile(video):
            sys.exit(f"no video at {video}")
        picture = side_by_side(video, args.pair)
    if not cv2.imwrite(args.output, picture):
        sys.exit(f"cannot write {args.output}")
    print(f"wrote {args.output} ({picture.shape[1]} x {picture.shape[0]})")


if __name__ == "__main__":
    main()
