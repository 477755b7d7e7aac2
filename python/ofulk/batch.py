"""Flow of a whole video collection on a Dask cluster.

::

    python3 -m ofulk.batch LIST OUT [--scheduler ADDRESS
                                     [--connect-timeout SECONDS]] [OPTIONS]

LIST is what ``of_ulk_export`` takes as a collection (a ``.txt`` or ``.list``
file of videos and frame folders, or a folder searched for videos), OUT the
output root, OPTIONS those of ``of_ulk_export`` (``--format xy``,
``--step 2``, ``--short-side 256``, ...). Each item becomes one Dask task,
sent to the scheduler at ADDRESS (``tcp://host:8786``, tried for SECONDS,
30 by default) or, without ``--scheduler``, to a local cluster with one
worker process per core.

A task exports its item with the exporter's own code (the listing, the
mirrored folders, the temporary names, the done marker written last and the
failure reasons come from the extension module), so the tree under OUT is
byte for byte the one ``of_ulk_export LIST OUT OPTIONS`` writes, and a task
run again, after its worker died or in a second run, redoes a partial item
and skips a done one. Every worker must see LIST, the inputs and OUT under
the same paths (a shared file system on a real cluster).
"""

import os
import signal
import sys
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
    "  -h, --help           this text\n"
    "\n"
    "OPTIONS are those of of_ulk_export; -j N sets the threads per task\n"
    "(default 1, since every core has a worker):\n\n"
)

# Seconds to wait for the scheduler named by --scheduler before giving up,
# unless --connect-timeout says otherwise.
_CONNECT_TIMEOUT_S = 30.0

# Exit statuses, as of_ulk_export gives them.
_EXIT_OK = 0
_EXIT_FAILURE = 1
_EXIT_USAGE = 2
_EXIT_SIGINT = 130


def _export_item(args, item_input, item_output, jobs):
    """The task: one item exported as of_ulk_export exports it; returns
    (state, pairs written, reason)."""
    return _ofulk._export_collection_item(args, item_input, item_output, jobs)


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


def _split_arguments(argv):
    """(scheduler address or None, seconds to try to reach it, whether help
    was asked, the rest of the arguments, for of_ulk_export's parser)."""
    needs = {"--scheduler": "an address", "--connect-timeout": "a number of seconds"}
    own = dict.fromkeys(needs)
    wants_help = False
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
        else:
            rest.append(arg)
        i += 1
    scheduler = own["--scheduler"]
    if scheduler == "":
        raise ValueError("--scheduler needs an address")
    timeout = own["--connect-timeout"]
    timeout = _CONNECT_TIMEOUT_S if timeout is None else _connect_timeout(timeout)
    return scheduler, timeout, wants_help, rest


def _local_cluster():
    """A cluster on this machine: one single-threaded worker process per
    core, without the web dashboard."""
    from distributed import LocalCluster

    # The workers ignore the Ctrl-C meant for the command, which then stops
    # them itself; they inherit the setting when they start.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        return LocalCluster(
            n_workers=os.cpu_count() or 1,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
        )
    finally:
        signal.signal(signal.SIGINT, previous)


class _Progress:
    """Counts of the run and its progress line, as of_ulk_export shows
    them, updated as items finish in any order."""

    def __init__(self, total, quiet, err):
        self.total = total
        self.quiet = quiet
        self.err = err
        self.start = time.monotonic()
        self.written = 0
        self.skipped = 0
        self.pairs = 0
        self.failures = {}  # item index -> (input, reason)
        self.interrupted = False  # by SIGINT; the tasks not finished dropped

    def elapsed(self):
        return time.monotonic() - self.start

    def count(self, index, item_input, state, pairs, reason):
        self.pairs += pairs
        if state == "written":
            self.written += 1
        elif state == "skipped":
            self.skipped += 1
        else:
            self.failures[index] = (item_input, reason)
        self.show()

    def show(self):
        if self.quiet:
            return
        computed = self.written + len(self.failures)
        line = _ofulk._collection_progress(
            computed + self.skipped, self.total, self.pairs, computed, self.elapsed()
        )
        self.err.write("\r" + line + "    ")
        self.err.flush()


def _run(client, args, plan, jobs, err):
    """Submits the items and counts them as they finish, until all have or
    SIGINT cancels the rest; returns the progress."""
    from distributed import as_completed

    items = plan["items"]
    progress = _Progress(len(items), plan["quiet"], err)
    token = uuid.uuid4().hex
    futures = {}
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
            key=f"ofulk-export-{index}-{token}",
            pure=False,
        )
        futures[future] = index
    try:
        for future in as_completed(futures):
            index = futures[future]
            item_input = items[index][0]
            try:
                state, pairs, reason = future.result()
            except Exception as exc:  # a task the cluster gave up on
                state, pairs, reason = "failed", 0, f"{type(exc).__name__}: {exc}"
            progress.count(index, item_input, state, pairs, reason)
    except KeyboardInterrupt:
        client.cancel(list(futures))
        progress.interrupted = True
    return progress


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
        a wrong command line, 130 when interrupted by SIGINT.
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    try:
        scheduler, timeout, wants_help, args = _split_arguments(argv)
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

    from distributed import Client

    owned = []
    try:
        if client is None:
            if scheduler is None:
                owned.append(_local_cluster())
                client = Client(owned[0])
            else:
                try:
                    client = Client(scheduler, timeout=timeout)
                except ValueError as exc:  # an address of no known form
                    return _usage_error(f"--scheduler {scheduler}: {exc}", err)
                except OSError as exc:
                    err.write(
                        f"{_NAME}cannot reach the scheduler {scheduler}: {exc}\n"
                    )
                    return _EXIT_FAILURE
            owned.insert(0, client)
        # Made only now, so that a run that never got a cluster leaves no
        # folder behind.
        _ofulk._prepare_output_root(plan["output_dir"])
        workers = sum(client.nthreads().values())
        progress = _run(client, args, plan, jobs, err)
    except OSError as exc:
        err.write(f"{_NAME}{exc}\n")
        return _EXIT_FAILURE
    finally:
        for thing in owned:
            thing.close()

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
    if progress.interrupted:
        if list_error:
            err.write(f"{_NAME}{list_error}\n")
        err.write(
            f"{_NAME}interrupted by SIGINT: {progress.written} videos written; "
            "run the same command again to finish the rest\n"
        )
        return _EXIT_SIGINT
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


def _usage_error(message, err):
    err.write(f"{_NAME}{message}\nTry 'python3 -m ofulk.batch --help'.\n")
    return _EXIT_USAGE


if __name__ == "__main__":
    # Through the package's module, so that tasks refer to
    # ofulk.batch._export_item, which every worker can import.
    from ofulk.batch import main as _main

    sys.exit(_main())
