"""Flow of a whole video collection on a Dask cluster.

::

    python3 -m ofulk.batch LIST OUT [--scheduler ADDRESS
                                     [--connect-timeout SECONDS]] [OPTIONS]

LIST is what ``of_ulk_export`` takes as a collection (a ``.txt`` or ``.list``
file of videos and frame folders, or a folder searched for videos), OUT the
output root, OPTIONS those of ``of_ulk_export`` (``--format xy``,
``--gap 2``, ``--stride 5``, ``--short-side 256``, ...). Each item becomes one Dask task,
sent to the scheduler at ADDRESS (``tcp://host:8786``, tried for SECONDS,
30 by default) or, without ``--scheduler``, to a local cluster with one
worker process per core.

A task exports its item with the exporter's own code (the listing, the
mirrored folders, the temporary names, the done marker written last and the
failure reasons come from the extension module), so the tree under OUT is
byte for byte the one ``of_ulk_export LIST OUT OPTIONS`` writes, and a task
run again, after its worker died or in a second run, finishes a partial item
and skips a done one. Every worker must see the inputs and OUT under the
same paths (a shared file system on a real cluster); relative paths are
taken from the command's working folder.
"""

import logging
import os
import queue
import shutil
import signal
import sys
import tempfile
import threading
import time
import uuid
from typing import Any, Optional, Sequence, TextIO

from . import _ofulk

_NAME = "ofulk.batch: "
_USAGE = (
    "Usage: python3 -m ofulk.batch LIST OUT [--scheduler ADDRESS\n"
    "           [--connect-timeout SECONDS]] [OPTIONS]\n"
    "\n"
    "Exports every video or frame folder of the collection LIST (a .txt or\n"
    ".list file, or a folder of videos) into OUT, one Dask task per item.\n"
    "\n"
    "  --scheduler ADDRESS  the Dask scheduler to use (tcp://host:8786);\n"
    "                       default: a local cluster, one worker per core\n"
    "  --connect-timeout SECONDS\n"
    "                       how long to try to reach the scheduler of\n"
    "                       --scheduler before giving up (default 30)\n"
    "  --dashboard[=ADDRESS]\n"
    "                       serve the local cluster's web dashboard on\n"
    "                       ADDRESS (default :8787, every interface) and\n"
    "                       print its link; without it the local cluster\n"
    "                       listens on 127.0.0.1 only (with --scheduler:\n"
    "                       print the link of the scheduler's dashboard)\n"
    "  -h, --help           this text\n"
    "\n"
    "OPTIONS are those of of_ulk_export; -j N sets the threads per task\n"
    "(default 1, since every core has a worker):\n\n"
)

# Seconds to wait for the scheduler named by --scheduler before giving up,
# unless --connect-timeout says otherwise.
_CONNECT_TIMEOUT_S = 30.0

# Seconds between two looks, of the command at its stop signal and of a
# task at whether its run still wants it.
_POLL_S = 0.1

# Longest wait, after a stop signal, for the running tasks to finish their
# pair in hand and say what they wrote.
_WIND_DOWN_S = 60.0


def _topic(run):
    """The name of the events by which the tasks of run send progress."""
    return f"ofulk-progress-{run}"

# Exit statuses, as of_ulk_export gives them (128 + the signal's number
# when one stopped the run).
_EXIT_OK = 0
_EXIT_FAILURE = 1
_EXIT_USAGE = 2
_EXIT_SIGNAL_BASE = 128

_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


def _task_given_up():
    """A function that tells whether the task running in this thread was
    given up by the scheduler (its run stopped, failed or gone), or None
    outside a Dask worker."""
    try:
        from distributed.worker import get_worker, thread_state

        worker = get_worker()
        key = thread_state.key
        tasks = worker.state.tasks
    except (ImportError, ValueError, AttributeError):
        return None

    def given_up():
        task = tasks.get(key)
        return task is None or task.state == "cancelled"

    return given_up


def _progress_sender(topic, index):
    """A function that sends the pairs written so far of item index to the
    run's topic, or None outside a Dask worker."""
    try:
        from distributed.worker import get_worker

        worker = get_worker()
    except (ImportError, ValueError):
        return None
    return lambda pairs: worker.log_event(topic, (index, pairs))


# The runs stopped by their command, in this worker process: their tasks
# stop after the pair in hand, and those not begun do nothing.
_STOPPED_RUNS = set()


def _stop_run(run):
    """Run on every worker when a stop signal ends the command run."""
    _STOPPED_RUNS.add(run)


def _export_item(args, item_input, item_output, jobs, base, root, run, index):
    """The task: one item exported as of_ulk_export exports it; returns
    (state, pairs written, reason). A task whose run was stopped (see
    _stop_run) or given up by the scheduler stops after the pair in hand,
    as the exporter stops on a signal, and leaves the item without its
    marker: a worker's thread cannot be taken back otherwise, and would go
    on writing for a run that has ended.

    The item's input and the output root are taken relative to base, the
    command's working folder, since a worker's own may be anywhere; the
    reason names them as the command line gave them, as of_ulk_export
    does. The pairs written so far go to the run as events."""
    if run in _STOPPED_RUNS:
        return "stopped", 0, ""
    work_input = os.path.join(base, item_input)
    work_root = os.path.join(base, root)
    given_up = _task_given_up()
    stop = _ofulk._ItemStop()
    finished = threading.Event()

    def watch():
        while not finished.wait(_POLL_S):
            if run in _STOPPED_RUNS or (given_up is not None and given_up()):
                stop.request()
                return

    threading.Thread(target=watch, name="ofulk-stop-watch", daemon=True).start()
    try:
        state, pairs, reason = _ofulk._export_collection_item(
            args, work_input, item_output, jobs, stop, work_root,
            _progress_sender(_topic(run), index),
        )
    finally:
        finished.set()
    reason = reason.replace(work_input, item_input).replace(work_root, root)
    return state, pairs, reason


def _connect_timeout(text):
    """The seconds of --connect-timeout, or a ValueError."""
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not 0 < seconds < float("inf"):
        raise ValueError(
            f"--connect-timeout needs a number of seconds above 0, not '{text}'"
        )
    return seconds


# The dashboard's address for a bare --dashboard: Dask's own default.
_DASHBOARD_ADDRESS = ":8787"

# Where the local cluster listens when no dashboard is asked for.
_LOOPBACK = "127.0.0.1"


def _split_arguments(argv):
    """(scheduler address or None, seconds to try to reach it, whether help
    was asked, the dashboard's address or None, the rest of the arguments,
    for of_ulk_export's parser)."""
    needs = {"--scheduler": "an address", "--connect-timeout": "a number of seconds"}
    own = dict.fromkeys(needs)
    wants_help = False
    dashboard = None
    rest = []
    i = 0
    while i < len(argv):
        arg = argv[i]
        name, equals, value = arg.partition("=")
        if arg == "--":
            rest.extend(argv[i:])
            break
        if name in own:
            if not equals:
                if i + 1 == len(argv):
                    raise ValueError(f"{name} needs {needs[name]}")
                i += 1
                value = argv[i]
            own[name] = value
        elif arg in ("-h", "--help"):
            wants_help = True
        elif name == "--dashboard":
            dashboard = value if equals else _DASHBOARD_ADDRESS
            if not dashboard:
                raise ValueError("--dashboard= needs an address")
        else:
            rest.append(arg)
        i += 1
    scheduler = own["--scheduler"]
    if scheduler == "":
        raise ValueError("--scheduler needs an address")
    timeout = own["--connect-timeout"]
    timeout = _CONNECT_TIMEOUT_S if timeout is None else _connect_timeout(timeout)
    return scheduler, timeout, wants_help, dashboard, rest


class _StopSignals:
    """SIGINT and SIGTERM as of_ulk_export takes them, from the start of the
    command to its end: the first is noted (``signal``) and the run ends in
    order; a second ends the process at once, the usual way. A signal that
    was ignored when the run began stays ignored. Only the main thread can
    catch signals: called from another thread, the run catches none."""

    def __init__(self):
        self.signal = 0
        self._earlier = {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for number in _STOP_SIGNALS:
                earlier = signal.getsignal(number)
                if earlier is not signal.SIG_IGN:
                    signal.signal(number, self._caught)
                    self._earlier[number] = earlier
        return self

    def __exit__(self, *exc_info):
        for number, earlier in self._earlier.items():
            # None: a handler set outside Python, which cannot be put back.
            signal.signal(number, signal.SIG_DFL if earlier is None else earlier)
        self._earlier.clear()

    def _caught(self, number, frame):
        if self.signal:
            signal.signal(number, signal.SIG_DFL)
            os.kill(os.getpid(), number)
            return
        self.signal = number

    def name(self):
        return signal.Signals(self.signal).name


class _TemporaryFolder:
    """A folder of its own under the system's temporary folder, removed
    with everything in it on close()."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="ofulk-batch-")

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)


def _start_local_cluster(dashboard=None):
    """A client of a cluster on this machine: one single-threaded worker
    process per core; returns (client, cluster, the workers' folder), to
    be closed in that order. Everything listens on 127.0.0.1 only (the
    scheduler, the workers and their HTTP servers), but for the web
    dashboard when dashboard names its address. The workers keep their
    files in a temporary folder of the run, not in one that other runs
    share and would find stale after a kill; Dask's own log lines below
    errors stay off the console.

    The cluster starts with SIGINT and SIGTERM blocked in this thread, and
    so in every thread and worker process it starts: the workers keep
    working through the Ctrl-C meant for the command, which then stops
    them itself, and a signal that comes while the cluster starts is held
    until it is up, then handled here, not lost."""
    from multiprocessing import resource_tracker

    from distributed import Client, LocalCluster

    if threading.current_thread() is threading.main_thread():
        # The tracker unblocks the signals in the thread that starts it;
        # started now, it leaves the cluster's threads as they are.
        resource_tracker.ensure_running()
        held = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
    else:
        held = None
    folder = _TemporaryFolder()
    try:
        # Without an address of its own the scheduler's HTTP server, which
        # Dask starts even without a dashboard, takes every interface.
        cluster = LocalCluster(
            local_directory=folder.path,
            silence_logs=logging.ERROR,
            n_workers=os.cpu_count() or 1,
            threads_per_worker=1,
            processes=True,
            host=_LOOPBACK,
            dashboard_address=dashboard or f"{_LOOPBACK}:0",
            worker_dashboard_address=f"{_LOOPBACK}:0",
        )
        try:
            return Client(cluster), cluster, folder
        except BaseException:
            cluster.close()
            raise
    except BaseException:
        folder.close()
        raise
    finally:
        if held is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)


def _close(owned):
    """Closes a client and the cluster started for it, if any."""
    for thing in owned:
        if thing is not None:
            thing.close()


def _connect(scheduler, timeout, stop):
    """A client of the scheduler at the address scheduler, tried for timeout
    seconds; returns (client, None), or None when a stop signal comes
    first. The attempt goes on in a thread of its own, so that a signal
    ends the wait at once; a client it makes after that is closed."""
    from distributed import Client

    results = queue.SimpleQueue()
    lock = threading.Lock()
    wanted = True

    def run():
        try:
            client = Client(scheduler, timeout=timeout)
        except BaseException as exc:
            results.put((None, exc))
            return
        with lock:
            if wanted:
                results.put((client, None))
                return
        client.close()

    threading.Thread(target=run, name="ofulk-connect", daemon=True).start()
    while not stop.signal:
        try:
            client, error = results.get(timeout=_POLL_S)
        except queue.Empty:
            continue
        if error is not None:
            raise error
        return client, None
    with lock:
        wanted = False
        try:
            client, _ = results.get_nowait()
        except queue.Empty:
            client = None
    if client is not None:
        client.close()
    return None


class _Progress:
    """Counts of the run and its progress line, as of_ulk_export shows
    them, updated as items write their pairs and finish, in any order. The
    time counts from start, the command's."""

    def __init__(self, total, quiet, err, start):
        self.total = total
        self.quiet = quiet
        self.err = err
        self.start = start
        self.written = 0
        self.skipped = 0
        self.pairs = 0  # of the items finished
        self.running = {}  # item index -> pairs written so far
        self.finished = set()  # item indexes
        self.failures = {}  # item index -> (input, reason)
        self.stopped = False  # by a stop signal; the tasks not finished given up

    def elapsed(self):
        return time.monotonic() - self.start

    def update(self, index, pairs):
        """Pairs written so far of an item still running."""
        if index not in self.finished:
            self.running[index] = pairs
            self.show()

    def count(self, index, item_input, state, pairs, reason):
        self.finished.add(index)
        self.running.pop(index, None)
        self.pairs += pairs
        if state == "written":
            self.written += 1
        elif state == "skipped":
            self.skipped += 1
        elif state == "stopped":
            pass  # its pairs are counted; the item is not done
        else:
            self.failures[index] = (item_input, reason)
        self.show()

    def show(self):
        if self.quiet:
            return
        computed = self.written + len(self.failures)
        line = _ofulk._collection_progress(
            computed + self.skipped,
            self.total,
            self.pairs + sum(self.running.values()),
            computed,
            self.elapsed(),
        )
        self.err.write("\r" + line + "    ")
        self.err.flush()


def _run(client, args, plan, jobs, stop, err, start):
    """Submits the items and counts their pairs as the workers write them
    and the items as they finish, until all have or a stop signal ends the
    run; returns the progress. The tasks not finished are cancelled when the
    run ends early, by a signal or an error, so that none goes on for a
    command that has ended (those running stop after their pair in hand)."""
    items = plan["items"]
    progress = _Progress(len(items), plan["quiet"], err, start)
    token = uuid.uuid4().hex
    futures = {}
    # Finished futures, and (item index, pairs) from the workers.
    finished = queue.SimpleQueue()
    ended = False  # every task counted
    client.subscribe_topic(_topic(token), lambda event: finished.put(event[1]))

    def take(deadline):
        """Counts what comes until deadline (a monotonic time) or a stop
        signal; False when nothing came."""
        try:
            future = finished.get(timeout=max(0.0, min(_POLL_S, deadline - time.monotonic())))
        except queue.Empty:
            return False
        if isinstance(future, tuple):
            progress.update(*future)
            return True
        waiting.discard(future)
        if future.status == "cancelled":
            return True
        index = futures[future]
        try:
            state, pairs, reason = future.result()
        except Exception as exc:  # a task the cluster gave up on
            state, pairs, reason = "failed", 0, f"{type(exc).__name__}: {exc}"
        progress.count(index, items[index][0], state, pairs, reason)
        return True

    try:
        for index, ((item_input, item_output), clash) in enumerate(
            zip(items, plan["clashes"])
        ):
            if clash:
                progress.count(index, item_input, "failed", 0, clash)
                continue
            future = client.submit(
                _export_item,
                args,
                item_input,
                item_output,
                jobs,
                os.getcwd(),
                plan["output_dir"],
                token,
                index,
                key=f"ofulk-export-{index}-{token}",
                pure=False,
            )
            futures[future] = index
            future.add_done_callback(finished.put)
        waiting = set(futures)
        while waiting and not stop.signal:
            take(float("inf"))
        progress.stopped = bool(waiting)
        if progress.stopped:
            # The tasks running finish their pair in hand and say what they
            # wrote; those not begun are cancelled.
            _wind_down(client, token, waiting)
            deadline = time.monotonic() + _WIND_DOWN_S
            while waiting and time.monotonic() < deadline:
                take(deadline)
        ended = not waiting
    finally:
        client.unsubscribe_topic(_topic(token))
        if not ended:
            client.cancel(list(futures))
    return progress


def _wind_down(client, run, waiting):
    """Tells every worker that run is stopped and cancels its tasks that no
    worker has begun."""
    try:
        client.run(_stop_run, run)
        begun = {key for keys in client.processing().values() for key in keys}
    except Exception:  # a worker gone meanwhile: cancel them all
        begun = set()
    client.cancel([future for future in waiting if future.key not in begun])


def _report(progress, plan, workers, stop, out, err):
    """Writes failed.txt, the failures, the summary or the stop, as
    of_ulk_export does; returns the exit status."""
    if not plan["quiet"]:
        err.write("\n")
    failures = [progress.failures[i] for i in sorted(progress.failures)]
    list_error = None
    try:
        _ofulk._write_failed_list(plan["output_dir"], failures)
    except OSError as exc:
        list_error = str(exc)
    for item_input, reason in failures:
        err.write(f"{_NAME}failed: {item_input}: {reason}\n")
    if progress.stopped:
        if list_error:
            err.write(f"{_NAME}{list_error}\n")
        return _stopped(stop, progress.written, err)
    out.write(
        _ofulk._collection_summary(
            progress.written,
            progress.skipped,
            len(failures),
            progress.pairs,
            progress.elapsed(),
            workers,
        )
    )
    if not failures:
        return _EXIT_OK
    err.write(f"{_NAME}{len(failures)} of {len(plan['items'])} inputs failed")
    if list_error:
        err.write(f", named above; the list of them was not written: {list_error}\n")
    else:
        listed = os.path.join(plan["output_dir"], "failed.txt")
        err.write(f"; they are listed in {listed}\n")
    return _EXIT_FAILURE


def _stopped(stop, written, err):
    """Says that a stop signal ended the run; returns the exit status."""
    err.write(
        f"{_NAME}interrupted by {stop.name()}: {written} videos written; "
        "run the same command again to finish the rest\n"
    )
    return _EXIT_SIGNAL_BASE + stop.signal


def main(
    argv: Optional[Sequence[str]] = None,
    client: Any = None,
    out: Optional[TextIO] = None,
    err: Optional[TextIO] = None,
) -> int:
    """Run ``python3 -m ofulk.batch`` on a command line.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name; default ``sys.argv[1:]``.
    client : distributed.Client, optional
        The cluster to use; default the one ``--scheduler`` names, or a
        local cluster started and stopped by the call.
    out, err : text files, optional
        Where the summary and the progress and messages go; default
        ``sys.stdout`` and ``sys.stderr``.

    Returns
    -------
    int
        The exit status: 0 when every item is done, 1 when one failed, the
        collection cannot be read or the scheduler cannot be reached, 2 for
        a wrong command line, 130 or 143 when stopped by SIGINT or SIGTERM.
        Called in the main thread, the call takes these two signals as the
        command does (the first ends the run in order, a second ends the
        process) until it returns.
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    with _StopSignals() as stop:
        return _command(argv, client, out, err, stop)


def _usage_error(message, err):
    err.write(f"{_NAME}{message}\nTry 'python3 -m ofulk.batch --help'.\n")
    return _EXIT_USAGE


def _command(argv, client, out, err, stop):
    """The command, its stop signals caught; returns the exit status."""
    start = time.monotonic()  # the summary times the whole command
    try:
        scheduler, timeout, wants_help, dashboard, args = _split_arguments(argv)
        if wants_help:
            out.write(_USAGE + _ofulk._export_help())
            return _EXIT_OK
        plan = _ofulk._collection_plan(args)
    except ValueError as exc:
        return _usage_error(exc, err)
    except OSError as exc:
        err.write(f"{_NAME}{exc}\n")
        return _EXIT_FAILURE
    jobs = plan["jobs"] or 1

    owned = ()
    if client is None:
        if not plan["quiet"]:
            err.write(
                f"{_NAME}starting a local cluster of {os.cpu_count() or 1} workers\n"
                if scheduler is None
                else f"{_NAME}connecting to the scheduler {scheduler}\n"
            )
            err.flush()
        if scheduler is None:
            owned = _start_local_cluster(dashboard)
        else:
            try:
                owned = _connect(scheduler, timeout, stop)
            except ValueError as exc:  # an address of no known form
                return _usage_error(f"--scheduler {scheduler}: {exc}", err)
            except OSError as exc:
                err.write(f"{_NAME}cannot reach the scheduler {scheduler}: {exc}\n")
                return _EXIT_FAILURE
        if owned is None:
            return _stopped(stop, 0, err)
        client = owned[0]
    try:
        if stop.signal:
            return _stopped(stop, 0, err)
        if dashboard is not None:
            err.write(f"{_NAME}dashboard: {client.dashboard_link}\n")
        # Made only now, so that a run that never got a cluster leaves no
        # folder behind.
        _ofulk._prepare_output_root(plan["output_dir"])
        workers = sum(client.nthreads().values())
        progress = _run(client, args, plan, jobs, stop, err, start)
    except OSError as exc:
        err.write(f"{_NAME}{exc}\n")
        return _EXIT_FAILURE
    finally:
        _close(owned)
    return _report(progress, plan, workers, stop, out, err)


if __name__ == "__main__":
    # Through the package's module, so that tasks refer to
    # ofulk.batch._export_item, which every worker can import.
    from ofulk.batch import main as _main

    sys.exit(_main())
