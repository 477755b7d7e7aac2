"""ofulk.batch against of_ulk_export: the same trees from a local Dask
cluster of two worker processes, also when a worker is killed mid-video or
the whole run is killed and run again."""

import filecmp
import glob
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import cv2
import pytest

from conftest import shared_data_dir, tool

distributed = pytest.importorskip("distributed")
from ofulk import batch  # noqa: E402

# Long enough (a few hundred pairs of 320 x 240) that a kill lands while
# the item is being written.
LONG_CLIP = ("long.avi", 320, 240, 240)
# Pairs after which the long item counts as being written.
STARTED_FILES = 20
# Longest wait for anything the tests poll for.
TIMEOUT_S = 120


def make_clip(path, width, height, frames, seed):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run(
        [tool("OF_ULK_SAMPLE_CLIP"), path, str(width), str(height), str(frames),
         str(seed)],
        check=True,
        capture_output=True,
    )


@pytest.fixture(scope="module")
def base_dir(tmp_path_factory):
    base = os.environ.get("OFULK_TEST_TMP")
    if base:
        os.makedirs(base, exist_ok=True)
        path = os.path.join(base, f"batch-{os.getpid()}")
        os.makedirs(path)
        yield path
        shutil.rmtree(path, ignore_errors=True)
    else:
        yield str(tmp_path_factory.mktemp("batch"))


@pytest.fixture(scope="module")
def collection(base_dir):
    """Sample clips in two class folders, a frame folder, a broken video and
    a list of them all (with a comment and a blank line)."""
    root = os.path.join(base_dir, "videos")
    make_clip(os.path.join(root, "walk", "a.avi"), 64, 48, 12, 1)
    make_clip(os.path.join(root, "run", "b.avi"), 80, 60, 9, 2)
    make_clip(os.path.join(root, "run", "c.avi"), 48, 48, 7, 3)
    make_clip(os.path.join(root, *LONG_CLIP[:1]), *LONG_CLIP[1:], 4)
    frames = os.path.join(root, "frames", "f")
    os.makedirs(frames)
    capture = cv2.VideoCapture(os.path.join(root, "walk", "a.avi"))
    for i in range(4):
        ok, frame = capture.read()
        assert ok
        cv2.imwrite(os.path.join(frames, f"{i}.png"), frame)
    with open(os.path.join(root, "run", "broken.avi"), "w") as f:
        f.write("not a video\n")
    lists = {
        "small.txt": ["# the small items", "walk/a.avi", "", "run/b.avi",
                      "run/c.avi", "frames/f", "run/broken.avi"],
        "long.txt": [LONG_CLIP[0], "walk/a.avi"],
    }
    data = shared_data_dir()
    if data and os.path.isdir(os.path.join(data, "videos")):
        lists["shared.txt"] = [
            os.path.join(data, "videos", name)
            for name in ("carphone_176x144.avi", "highway_tiny_48x48.avi")
        ] + ["walk/a.avi"]
    for name, lines in lists.items():
        with open(os.path.join(root, name), "w") as f:
            f.write("\n".join(lines) + "\n")
    return root


@pytest.fixture(scope="module")
def remote(base_dir):
    """A client of a scheduler and a worker of two threads started as
    processes of their own on 127.0.0.1, as on a real cluster, in a folder
    of their own."""
    address = os.path.join(base_dir, "scheduler.json")
    elsewhere = os.path.join(base_dir, "elsewhere")
    os.makedirs(elsewhere)
    processes = [
        subprocess.Popen([sys.executable, "-m", f"distributed.cli.dask_{role}", *args,
                          "--no-dashboard", "--scheduler-file", address],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         cwd=elsewhere)
        for role, args in [("scheduler", ["--host", "127.0.0.1", "--port", "0"]),
                           ("worker", ["--nthreads", "2"])]
    ]
    try:
        wait_for(lambda: os.path.exists(address), "the scheduler")
        with distributed.Client(scheduler_file=address, timeout=TIMEOUT_S) as c:
            c.wait_for_workers(1, timeout=TIMEOUT_S)
            yield c
    finally:
        for process in reversed(processes):  # the worker first
            process.terminate()
            process.wait()


@pytest.fixture(scope="module")
def client():
    """One local cluster of two single-threaded worker processes for every
    test of the module."""
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def export_tree(list_file, out, options):
    """The reference: of_ulk_export's tree and exit status."""
    run = subprocess.run(
        [tool("OF_ULK_EXPORT"), list_file, out, "--quiet", *options],
        capture_output=True,
        text=True,
    )
    return run.returncode


def batch_tree(client, list_file, out, options):
    """ofulk.batch's exit status and standard output."""
    text = io.StringIO()
    status = batch.main(
        [list_file, out, "--quiet", *options], client=client, out=text,
        err=io.StringIO(),
    )
    return status, text.getvalue()


def tree_files(root):
    """Every file under root, relative, in order."""
    return sorted(
        os.path.relpath(os.path.join(folder, name), root)
        for folder, _, names in os.walk(root)
        for name in names
    )


def assert_same_tree(expected, actual):
    names = tree_files(expected)
    assert names == tree_files(actual)
    assert not [n for n in names if n.endswith(".part")]
    _, mismatch, errors = filecmp.cmpfiles(expected, actual, names, shallow=False)
    assert mismatch == [] and errors == []


@pytest.mark.parametrize(
    "list_name, options",
    [
        ("small.txt", ["--format", "xy"]),
        ("small.txt", ["--step", "2", "--stride", "3", "--resize", "40x30", "--png"]),
        ("small.txt", ["--format", "xy", "--xy-png", "--bound", "5", "-j", "2"]),
        ("shared.txt", ["--format", "xy", "--short-side", "64"]),
        ("shared.txt", []),
    ],
)
def test_batch_tree_equals_the_exporters(
    client, collection, base_dir, list_name, options
):
    list_file = os.path.join(collection, list_name)
    if not os.path.isfile(list_file):
        pytest.skip("shared clips not found (../shared/data missing)")
    case = f"{list_name[:-4]}-{len(os.listdir(base_dir))}"
    expected = os.path.join(base_dir, case, "exporter")
    actual = os.path.join(base_dir, case, "batch")
    status = export_tree(list_file, expected, options)
    assert batch_tree(client, list_file, actual, options)[0] == status
    assert_same_tree(expected, actual)
    failed = os.path.join(actual, "failed.txt")
    if list_name == "small.txt":
        # The broken video fails alone; the others are done.
        assert status == 1
        with open(failed) as f:
            lines = f.read().splitlines()
        assert [line.split("\t")[0] for line in lines] == [
            os.path.join(collection, "run", "broken.avi")
        ]
        assert len([n for n in tree_files(actual) if n.endswith(".done")]) == 4
    else:
        assert status == 0 and not os.path.exists(failed)
    # A second run, through the scheduler's address, skips every done item
    # and leaves the tree as it was.
    address = ["--scheduler", client.scheduler.address]
    status, summary = batch_tree(None, list_file, actual, options + address)
    assert status == (1 if list_name == "small.txt" else 0)
    assert "0 written" in summary
    assert_same_tree(expected, actual)


def test_relative_paths_are_taken_from_the_commands_folder(
    remote, collection, base_dir, monkeypatch
):
    # The worker runs in another folder; failed.txt names the inputs as
    # the command line gave them, as of_ulk_export does.
    monkeypatch.chdir(base_dir)
    list_file = os.path.join(os.path.basename(collection), "small.txt")
    options = ["--max-pairs", "2", "--scheduler", remote.scheduler.address]
    status = export_tree(list_file, "relative/exporter", options[:2])
    assert status == 1
    assert batch_tree(None, list_file, "relative/batch", options)[0] == status
    assert_same_tree("relative/exporter", "relative/batch")


@pytest.mark.parametrize("flag", [[], ["--dashboard=0.0.0.0:0"]], ids=["", "dashboard"])
def test_local_cluster_on_loopback_with_progress_from_the_workers(
    collection, base_dir, monkeypatch, flag
):
    psutil = pytest.importorskip("psutil")

    def listening():  # (pid, ip, port) of this process and its children
        me = psutil.Process()
        return {(p.pid, c.laddr.ip, c.laddr.port) for p in [me, *me.children(True)]
                for c in p.connections("tcp") if c.status == psutil.CONN_LISTEN}

    before, seen = listening(), set()  # before: the module's cluster
    start, close = batch._start_local_cluster, batch._close
    monkeypatch.setattr(batch, "_start_local_cluster",
                        lambda *a: time.sleep(1.5) or start(*a))
    monkeypatch.setattr(batch, "_close",
                        lambda owned: seen.update(listening() - before) or close(owned))
    out, err = io.StringIO(), io.StringIO()
    argv = [f"{collection}/long.txt", os.path.join(base_dir, f"progress{len(flag)}"),
            "--format", "xy", *flag]
    assert batch.main(argv, out=out, err=err) == 0
    err = err.getvalue()
    assert err.startswith("ofulk.batch: starting a local cluster of")
    # More pair counts than the items' ends would give; the summary times
    # the cluster's start too.
    assert len(set(re.findall(r"videos \d/2, (\d+) pairs", err))) > 3, err
    assert float(re.search(r"pairs in ([\d.]+) s", out.getvalue())[1]) >= 1.5
    # Every socket on 127.0.0.1 but the dashboard asked for, whose link is said.
    public = [port for _, ip, port in seen if ip != "127.0.0.1"]
    assert seen and len(public) == len(flag) and ("dashboard:" in err) == bool(flag)
    assert all(f":{port}/status\n" in err for port in public)


def wait_for(condition, what):
    deadline = time.monotonic() + TIMEOUT_S
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.005)


def being_written(folder):
    """Whether an item's folder holds STARTED_FILES files, its marker not
    yet written."""
    try:
        count = len(os.listdir(folder))
    except FileNotFoundError:
        return False
    return count >= STARTED_FILES and not os.path.exists(folder + ".done")


def test_killed_worker_has_its_video_redone(client, collection, base_dir):
    list_file = os.path.join(collection, "long.txt")
    expected = os.path.join(base_dir, "killed", "exporter")
    actual = os.path.join(base_dir, "killed", "batch")
    options = ["--format", "xy"]
    assert export_tree(list_file, expected, options) == 0
    long_dir = os.path.join(actual, os.path.splitext(LONG_CLIP[0])[0])

    results = []
    runner = threading.Thread(
        target=lambda: results.append(batch_tree(client, list_file, actual, options))
    )
    runner.start()
    try:
        wait_for(lambda: being_written(long_dir), "the long item to start")
        # The worker whose task is the long item (item 0).
        holders = [
            address
            for address, keys in client.processing().items()
            if any(str(key).startswith("ofulk-export-0-") for key in keys)
        ]
        assert len(holders) == 1
        pid = client.run(os.getpid, workers=holders)[holders[0]]
        os.kill(pid, signal.SIGKILL)
        # The kill came before the item was done.
        assert not os.path.exists(long_dir + ".done")
    finally:
        runner.join(TIMEOUT_S)
    assert results and results[0][0] == 0
    assert_same_tree(expected, actual)
    client.wait_for_workers(2, timeout=TIMEOUT_S)


def start_batch(argv, stderr=subprocess.DEVNULL):
    """The command in a process group of its own, as a terminal starts it."""
    return subprocess.Popen(
        [sys.executable, "-m", "ofulk.batch", *argv],
        stdout=subprocess.DEVNULL, stderr=stderr, text=True, start_new_session=True,
    )


@pytest.mark.parametrize(
    "stop", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL],
    ids=["SIGINT", "SIGTERM", "SIGKILL"],
)
def test_stopped_run_completed_by_a_second_run(client, collection, base_dir, stop):
    list_file = os.path.join(collection, "long.txt")
    case = os.path.join(base_dir, f"stopped-{stop.name}")
    expected = os.path.join(case, "exporter")
    actual = os.path.join(case, "batch")
    options = ["--format", "xy"]
    assert export_tree(list_file, expected, options) == 0
    long_dir = os.path.join(actual, os.path.splitext(LONG_CLIP[0])[0])

    # The command with its own local cluster, stopped as a terminal's
    # Ctrl-C, a shutdown or a power cut stops all of it.
    def run_folders():  # the local clusters' folders
        return set(glob.glob(os.path.join(tempfile.gettempdir(), "ofulk-batch-*")))

    folders = run_folders()
    run = start_batch([list_file, actual, "--quiet", *options], subprocess.PIPE)
    try:
        wait_for(lambda: being_written(long_dir) or run.poll() is not None,
                 "the long item to start")
        os.killpg(run.pid, stop)
        # The stop came before the long item was done.
        assert not os.path.exists(long_dir + ".done")
        err = run.communicate(timeout=TIMEOUT_S)[1]
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
            run.wait()
    assert run.returncode == (-stop if stop == signal.SIGKILL else 128 + stop)
    left = run_folders() - folders
    if stop == signal.SIGKILL:
        # Killed outright, the long item is left partial, without marker.
        assert not os.path.exists(long_dir + ".done")
        for folder in left:
            shutil.rmtree(folder)
    else:
        # One line that counts the markers written, no noise of Dask's, and
        # the workers' folder gone.
        done = len([n for n in tree_files(actual) if n.endswith(".done")])
        assert not left and err == (
            f"ofulk.batch: interrupted by {stop.name}: {done} videos written; "
            "run the same command again to finish the rest\n")
    # Whatever the stop left under a final name is whole and stays as it is;
    # the same command, through a scheduler this time, writes the rest.
    def stamps():
        return {n: (s.st_ino, s.st_mtime_ns) for n in os.listdir(long_dir)
                for s in [os.stat(os.path.join(long_dir, n))] if n[0] != "."}

    kept = stamps()
    address = ["--scheduler", client.scheduler.address]
    assert batch_tree(None, list_file, actual, options + address)[0] == 0
    assert_same_tree(expected, actual)
    assert len(kept) >= STARTED_FILES and kept.items() <= stamps().items()


def catches_sigterm(pid):
    """Whether the process has a handler of its own for SIGTERM: the run
    has begun to take the stop signals."""
    with open(f"/proc/{pid}/status") as f:
        mask = next(line for line in f if line.startswith("SigCgt:"))
    return int(mask.split()[1], 16) >> (signal.SIGTERM - 1) & 1 == 1


def has_worker(pid):
    """Whether a worker process of the run's local cluster has started."""
    try:
        children = " ".join(open(f"/proc/{pid}/task/{t}/children").read()
                            for t in os.listdir(f"/proc/{pid}/task"))
        return any("spawn_main" in open(f"/proc/{c}/cmdline").read()
                   for c in children.split())
    except OSError:  # a thread or a process ended meanwhile
        return False


@pytest.mark.parametrize("moment", [catches_sigterm, has_worker],
                         ids=["at-once", "workers-starting"])
@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM],
                         ids=["SIGINT", "SIGTERM"])
def test_stop_signal_while_the_cluster_starts(collection, base_dir, moment, stop):
    out = os.path.join(base_dir, f"starting-{stop.name}-{moment.__name__}")
    run = start_batch([f"{collection}/small.txt", out, "--quiet"], subprocess.PIPE)
    try:
        wait_for(lambda: run.poll() is not None or moment(run.pid), "the moment")
        os.killpg(run.pid, stop)
        err = run.communicate(timeout=TIMEOUT_S)[1]
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
            run.wait()
    assert run.returncode == 128 + stop
    assert f"interrupted by {stop.name}: 0 videos written" in err
    assert "Traceback" not in err


@pytest.mark.parametrize("stop", ["SIGINT", "SIGTERM", "error"])
def test_ended_run_leaves_no_task_running_on_the_cluster(
    remote, collection, base_dir, stop, monkeypatch
):
    out = os.path.join(base_dir, f"remote-{stop}")
    long_dir = os.path.join(out, os.path.splitext(LONG_CLIP[0])[0])
    argv = [f"{collection}/long.txt", out, "--quiet",
            "--scheduler", remote.scheduler.address]
    if stop == "error":
        # The runner fails when the small item is done, the long one in hand.
        def fail(*args):
            raise RuntimeError("the runner failed")

        monkeypatch.setattr(batch._Progress, "count", fail)
        with pytest.raises(RuntimeError):
            batch.main(argv, out=io.StringIO(), err=io.StringIO())
    else:
        run = start_batch(argv)
        wait_for(lambda: being_written(long_dir) or run.poll() is not None,
                 "the long item to start")
        run.send_signal(getattr(signal, stop))
        assert run.wait(TIMEOUT_S) == 128 + getattr(signal, stop)
    # The worker gives the long item up after its pair in hand (a lambda
    # goes to the worker by value).
    def busy():
        return remote.run(lambda dask_worker: dask_worker.state.executing_count)

    wait_for(lambda: not any(busy().values()), "the tasks to end")
    assert not os.path.exists(long_dir + ".done")


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--scheduler"], "--scheduler needs an address"),
        (["{videos}/small.txt", "{out}", "--bogus"], "unknown option --bogus"),
        (["{videos}/walk/a.avi", "{out}"], "one list file"),
        (["{videos}/missing.txt", "{out}"], "No such file"),
        (["{videos}/small.txt", "{out}", "--scheduler", "garbage://x"],
         "--scheduler garbage://x: unknown address scheme 'garbage'"),
        (["{videos}/small.txt", "{out}", "--connect-timeout=0"],
         "--connect-timeout needs a number of seconds above 0, not '0'"),
        # Nothing listens on port 1.
        (["{videos}/small.txt", "{out}", "--scheduler", "tcp://127.0.0.1:1",
          "--connect-timeout", "0.5"], "cannot reach the scheduler tcp://127.0.0.1:1"),
    ],
)
def test_wrong_command_lines_and_lists_are_refused(
    collection, base_dir, argv, message
):
    err = io.StringIO()
    out = os.path.join(base_dir, "usage")
    argv = [a.format(videos=collection, out=out) for a in argv]
    status = 1 if message.startswith(("No such file", "cannot reach")) else 2
    assert batch.main(argv, out=io.StringIO(), err=err) == status
    assert message in err.getvalue()
    assert not os.path.exists(out)


@pytest.mark.parametrize("runner", ["of_ulk_export", "ofulk.batch"])
def test_failed_list_that_cannot_be_written_is_not_pointed_to(
    client, collection, base_dir, runner
):
    # A folder in the way of failed.txt, as a full disk would be.
    out = os.path.join(base_dir, f"unlisted-{runner}")
    os.makedirs(os.path.join(out, "failed.txt"))
    argv = [f"{collection}/small.txt", out, "--quiet", "--max-pairs", "1"]
    if runner == "of_ulk_export":
        run = subprocess.run([tool("OF_ULK_EXPORT"), *argv], capture_output=True,
                             text=True)
        status, err = run.returncode, run.stderr
    else:
        text = io.StringIO()
        status = batch.main(argv, client=client, out=io.StringIO(), err=text)
        err = text.getvalue()
    assert status == 1
    assert ("1 of 5 inputs failed, named above; the list of them was not "
            f"written: cannot write {out}/failed.txt") in err
    assert "listed in" not in err
