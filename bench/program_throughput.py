#!/usr/bin/python3
"""Frames per second of the whole program, serial against pipelined.

For every clip size the sample clip maker writes a clip, and
``of_ulk clip.avi /r`` runs on it without a display, in turns with
OPENCV_FOR_THREADS_NUM=1 (one thread: the serial loop) and with OpenCV's
default thread count (the pipeline), so that both see the same load.
Each run gives three figures: the steady rate between the first and the
last frame's position line (what a viewer sees once the film runs), the
whole run's rate (frames over the wall time from start to exit) and the
CPU time (user and system, all threads) per frame, which tells how much
work the pipeline adds and does not depend on what else the machine runs.
The medians over the repetitions are written as JSON and printed as a
table.

    program_throughput.py OF_ULK CLIP_MAKER WORK_DIR OUT_JSON
        [--sizes 640x480,1280x720,1920x1080] [--frames 60] [--repeats 5]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

POSITION_LINE = b"==> film current position: "


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("of_ulk")
    parser.add_argument("clip_maker")
    parser.add_argument("work_dir")
    parser.add_argument("out_json")
    parser.add_argument("--sizes", default="640x480,1280x720,1920x1080")
    parser.add_argument("--frames", type=int, default=60)
    parser.add_argument("--repeats", type=int, default=5)
    return parser.parse_args()


def run_once(of_ulk, clip, threads):
    """One run; returns (steady fps, whole-run fps, frames, CPU ms per
    frame)."""
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env["QT_QPA_PLATFORM"] = "offscreen"
    if threads is None:
        env.pop("OPENCV_FOR_THREADS_NUM", None)
    else:
        env["OPENCV_FOR_THREADS_NUM"] = str(threads)
    # stdbuf makes the program write each line when it is printed, so the
    # lines can be timed as they come.
    command = ["stdbuf", "-oL", os.path.abspath(of_ulk),
               os.path.basename(clip), "/r"]
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
    steady = (len(stamps) - 1) / (stamps[-1] - stamps[0])
    cpu_ms = 1e3 * (usage.ru_utime + usage.ru_stime) / len(stamps)
    return steady, len(stamps) / (end - start), len(stamps), cpu_ms


def main():
    args = parse_args()
    os.makedirs(args.work_dir, exist_ok=True)
    methods = [("serial", 1), ("pipelined", None)]
    load_at_start = os.getloadavg()
    results = []
    for size in args.sizes.split(","):
        width, height = size.split("x")
        clip = os.path.join(args.work_dir, "clip_%s.avi" % size)
        subprocess.run([args.clip_maker, clip, width, height,
                        str(args.frames)], check=True,
                       stdout=subprocess.DEVNULL)
        runs = {name: [] for name, _ in methods}
        for _ in range(args.repeats):
            for name, threads in methods:
                runs[name].append(run_once(args.of_ulk, clip, threads))
        for name, _ in methods:
            steady = [r[0] for r in runs[name]]
            whole = [r[1] for r in runs[name]]
            cpu = [r[3] for r in runs[name]]
            results.append({
                "size": size,
                "method": name,
                "frames": runs[name][0][2],
                "steady_fps_median": statistics.median(steady),
                "whole_run_fps_median": statistics.median(whole),
                "cpu_ms_per_frame_median": statistics.median(cpu),
                "steady_fps": steady,
                "whole_run_fps": whole,
            })
            print("%-10s %-10s steady %6.2f fps (%s)  whole run %6.2f fps"
                  "  CPU %6.1f ms per frame"
                  % (size, name, statistics.median(steady),
                     " ".join("%.1f" % v for v in steady),
                     statistics.median(whole), statistics.median(cpu)),
                  flush=True)
        os.remove(clip)
    with open(args.out_json + ".part", "w") as out:
        json.dump({"load_at_start": load_at_start,
                   "load_at_end": os.getloadavg(), "repeats": args.repeats,
                   "cpus": os.cpu_count(),
                   "results": results}, out, indent=1)
    os.replace(args.out_json + ".part", args.out_json)


if __name__ == "__main__":
    main()
