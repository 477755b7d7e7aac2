#!/usr/bin/python3
"""Frames per second of the whole program on sample clips.

For every clip kind (the scene: still background, four objects; the
textured clip: blurred noise panning one pixel per frame under three
objects, so that nearly every pixel moves) and every size, the sample clip
maker writes a clip, and ``of_ulk clip.avi /r`` runs on it without a
display (QT_QPA_PLATFORM=offscreen), in turns over the clips and thread
settings so that all see the same drift of the machine. Each run gives:

- the whole run's rate: frames over the wall time from start to exit, the
  start-up (libraries, window, writer) and the closing of the recording
  included; this is the figure held against the targets;
- the steady rate between the first and the last frame's position line;
- the CPU time (user and system, all threads) per frame;
- the load average (one minute) just before it.

The medians over the repetitions are written as JSON and printed as a
table, with the targets and whether the median reaches them.

    program_throughput.py OF_ULK CLIP_MAKER WORK_DIR OUT_JSON
        [--clips scene,textured] [--sizes 1280x720:240,1920x1080:120]
        [--threads default] [--repeats 5]

--threads lists OPENCV_FOR_THREADS_NUM settings ("default": unset).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

POSITION_LINE = b"==> film current position: "
# Whole-run frames per second the program is meant to reach.
TARGETS = {("textured", "1280x720"): 30.0, ("textured", "1920x1080"): 15.0,
           ("scene", "1280x720"): 40.0, ("scene", "1920x1080"): 20.0}
CLIP_OPTIONS = {"scene": [], "textured": ["--textured"]}


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("of_ulk")
    parser.add_argument("clip_maker")
    parser.add_argument("work_dir")
    parser.add_argument("out_json")
    parser.add_argument("--clips", default="scene,textured")
    parser.add_argument("--sizes", default="1280x720:240,1920x1080:120",
                        help="WIDTHxHEIGHT:FRAMES, comma-separated")
    parser.add_argument("--threads", default="default")
    parser.add_argument("--repeats", type=int, default=5)
    return parser.parse_args()


def run_once(of_ulk, clip, threads):
    """One run; returns a dict of its figures."""
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env["QT_QPA_PLATFORM"] = "offscreen"
    if threads == "default":
        env.pop("OPENCV_FOR_THREADS_NUM", None)
    else:
        env["OPENCV_FOR_THREADS_NUM"] = threads
    # stdbuf makes the program write each line when it is printed, so the
    # lines can be timed as they come.
    command = ["stdbuf", "-oL", os.path.abspath(of_ulk),
               os.path.basename(clip), "/r"]
    load = os.getloadavg()[0]
    start = time.monotonic()
    process = subprocess.Popen(command, cwd=os.path.dirname(clip), env=env,
                               stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    stamps = []
    for line in process.stdout:
        if line.startswith(POSITION_LINE):
            stamps.append(time.monotonic())
    _, raw_status, usage = os.wait4(process.pid, 0)
    process.returncode = status = os.waitstatus_to_exitcode(raw_status)
    end = time.monotonic()
    if status != 0 or len(stamps) < 2:
        sys.exit("of_ulk failed on %s (status %d)" % (clip, status))
    return {"whole": len(stamps) / (end - start),
            "steady": (len(stamps) - 1) / (stamps[-1] - stamps[0]),
            "frames": len(stamps),
            "cpu_ms": 1e3 * (usage.ru_utime + usage.ru_stime) / len(stamps),
            "load": load}


def main():
    args = parse_args()
    os.makedirs(args.work_dir, exist_ok=True)
    clips = args.clips.split(",")
    sizes = [s.split(":") for s in args.sizes.split(",")]
    settings = args.threads.split(",")
    load_at_start = os.getloadavg()
    paths = {}
    for kind in clips:
        for size, frames in sizes:
            width, height = size.split("x")
            path = os.path.join(args.work_dir, "%s_%s.avi" % (kind, size))
            subprocess.run([args.clip_maker] + CLIP_OPTIONS[kind] +
                           [path, width, height, frames], check=True,
                           stdout=subprocess.DEVNULL)
            paths[(kind, size)] = path
    runs = {}
    for _ in range(args.repeats):
        for size, _frames in sizes:
            for kind in clips:
                for threads in settings:
                    runs.setdefault((kind, size, threads), []).append(
                        run_once(args.of_ulk, paths[(kind, size)], threads))
    results = []
    for (kind, size, threads), done in runs.items():
        median = {key: statistics.median(r[key] for r in done)
                  for key in ("whole", "steady", "cpu_ms", "load")}
        target = TARGETS.get((kind, size))
        results.append({
            "clip": kind, "size": size, "threads": threads,
            "frames": done[0]["frames"],
            "whole_run_fps_median": median["whole"],
            "steady_fps_median": median["steady"],
            "cpu_ms_per_frame_median": median["cpu_ms"],
            "load_median": median["load"],
            "whole_run_fps": [r["whole"] for r in done],
            "steady_fps": [r["steady"] for r in done],
            "load": [r["load"] for r in done],
            "target_fps": target,
        })
        print("%-8s %-9s threads %-7s whole run %6.2f fps (%s)  steady "
              "%6.2f  CPU %6.1f ms/frame  load %4.1f  target %s"
              % (kind, size, threads, median["whole"],
                 " ".join("%.1f" % r["whole"] for r in done),
                 median["steady"], median["cpu_ms"], median["load"],
                 "-" if target is None else "%.0f %s" % (
                     target, "reached" if median["whole"] >= target
                     else "not reached")), flush=True)
    for path in paths.values():
        os.remove(path)
        if os.path.exists(path[:-4] + "_out.avi"):
            os.remove(path[:-4] + "_out.avi")
    with open(args.out_json + ".part", "w") as out:
        json.dump({"load_at_start": load_at_start,
                   "load_at_end": os.getloadavg(), "repeats": args.repeats,
                   "cpus": os.cpu_count(),
                   "results": results}, out, indent=1)
    os.replace(args.out_json + ".part", args.out_json)


if __name__ == "__main__":
    main()
