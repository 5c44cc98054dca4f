"""Running the ``kestrix`` command's work on a Dask cluster.

- :class:`Cluster` starts a ``LocalCluster`` of worker processes in this
  process (one thread each, since the library's kernels hold the interpreter
  lock; no dashboard; quiet logs), or connects to a running scheduler, and
  always closes what it started: the worker processes of a local cluster
  are gone when it exits, whatever the exit.
- :class:`Staging` is a private folder beside the outputs where workers write
  theirs.  Only this process moves a finished output to its final name, in
  its main thread and never after a cancellation, and the folder, with
  whatever a cancelled or killed task left in it, is removed at the end.
- :class:`CancelWatch` is the progress callback of a task: Dask cannot
  interrupt a running task, so on a cancellation this process tells every
  worker process (``Client.run``, which the workers' event loops answer
  while their task threads work), and a task that finds its run cancelled
  after its next block raises :class:`Cancelled`, which aborts its outputs.

Needs the ``dask`` extra, which the command checks before importing this.
"""

from __future__ import annotations

import os
import shutil
import signal
import tempfile
import threading
import time

from ._errors import CliError, SignalHold, check_signalled, os_error
from ._sinks import current_umask, output_kind
from ._sources import SIGMF_META

CONNECT_TIMEOUT = 20.0  # seconds to reach a scheduler and find a worker there
REMOVE_PAUSE = 0.05  # seconds between tries to remove the staging folder
REMOVE_TRIES = 50  # a cancelled task may still be writing into the staging folder


def default_workers() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


class Cluster:
    """A Dask client on a ``LocalCluster`` of ``workers`` processes, or on the running
    scheduler at ``scheduler``; a context manager.

    ``startup`` is the seconds it took to start (or reach) the cluster and
    see its workers.  ``cancel()`` tells the tasks of this run to stop.
    """

    def __init__(self, workers: int | None = None, scheduler: str | None = None) -> None:
        self.workers, self.address = workers, scheduler
        self.cluster = self.client = None
        self.startup = 0.0
        import uuid  # here, as logging below: a run on one machine imports neither

        self.flag = f"kestrix-cancel-{uuid.uuid4().hex}"

    def _start(self) -> None:
        import logging

        from distributed import Client, LocalCluster

        t0 = time.perf_counter()
        if self.address is None:
            # Ctrl-C reaches every process of the terminal's group; the workers
            # must leave it to this process, which cancels their tasks and
            # stops them.  They inherit an ignored SIGINT, and the interpreter
            # keeps it ignored; this process ignores it only while they start
            # (any other signal meanwhile waits for the start, as it is held).
            main = threading.current_thread() is threading.main_thread()
            saved = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
            try:
                # No dashboard; the scheduler's small HTTP server (health,
                # metrics) on a free port, not on 8787 another cluster may hold;
                # no memory limit, whose monitor polls each process ten times a
                # second: every task keeps its memory bounded.
                self.cluster = LocalCluster(n_workers=self.workers, threads_per_worker=1,
                                            processes=True, memory_limit=0,
                                            dashboard_address=None,
                                            scheduler_kwargs={"dashboard_address": ":0"},
                                            silence_logs=logging.ERROR)
                self.client = Client(self.cluster)
            except (RuntimeError, OSError, TimeoutError) as e:  # a worker did not start
                raise CliError(f"cannot start a Dask LocalCluster of {self.workers} worker "
                               f"processes ({type(e).__name__}: {e})", 1) from None
            finally:
                if main:
                    signal.signal(signal.SIGINT, signal.SIG_DFL if saved is None else saved)
        else:
            for name in ("distributed", "distributed.client"):
                logging.getLogger(name).setLevel(logging.ERROR)
            try:
                self.client = Client(self.address, timeout=CONNECT_TIMEOUT)
                self.client.wait_for_workers(1, timeout=CONNECT_TIMEOUT)
            except (OSError, TimeoutError, ValueError) as e:
                why = str(e).splitlines()[0] if str(e) else type(e).__name__
                raise CliError(f"--scheduler {self.address}: cannot reach a scheduler with "
                               f"workers there ({why})", 1) from None
            self.workers = len(self.client.scheduler_info()["workers"])
            self._check_versions()
        self.startup = time.perf_counter() - t0

    def _check_versions(self) -> None:
        """Every worker must run this kestrix: results are defined by its version."""
        from . import __version__

        try:
            versions = self.client.run(_kestrix_version)
        except Exception as e:  # the workers cannot unpickle a kestrix function
            raise CliError(f"--scheduler {self.address}: the workers cannot run kestrix "
                           f"({type(e).__name__}: {e}); install it on every worker", 1) from None
        for worker, version in sorted(versions.items()):
            if version != __version__:
                raise CliError(f"--scheduler {self.address}: worker {worker} runs kestrix "
                               f"{version}, this is {__version__}; install the same version "
                               f"on every worker", 1)

    def describe(self) -> str:
        if self.address is None:
            return (f"LocalCluster of {self.workers} worker process{'es' * (self.workers > 1)}, "
                    f"started in {self.startup:.2f} s")
        return (f"the scheduler at {self.address}, {self.workers} "
                f"worker{'s' * (self.workers > 1)}, reached in {self.startup:.2f} s")

    def cancel(self, futures) -> None:
        """Tell running tasks to stop, and drop the ones not started."""
        if self.client is None:
            return
        # Running tasks first.  Best effort: what a worker that cannot be told
        # writes stays in the staging folder, which goes.
        try:
            self.client.run(_cancel_run, self.flag, on_error="ignore")
            self.client.cancel(futures)
        except Exception:  # the scheduler is gone: its tasks with it
            pass

    def close(self) -> None:
        hold = SignalHold()
        hold.hold()  # a signal now would cut the shutdown of the workers in half
        try:
            if self.client is not None:
                self.client.close()
            if self.cluster is not None:
                self.cluster.close()
        finally:
            self.client = self.cluster = None
            hold.release()

    def __enter__(self) -> "Cluster":
        # A signal during the start waits for it, so that what was started
        # is known and closed.
        hold = SignalHold()
        hold.hold()
        try:
            self._start()
            hold.release()
        except BaseException:
            try:
                self.close()
            finally:
                hold.release()
            raise
        return self

    def __exit__(self, et, ev, tb) -> None:
        self.close()


def _kestrix_version() -> str:
    from . import __version__

    return __version__


class Cancelled(BaseException):
    """The run was cancelled while this task ran; a BaseException, so that it aborts
    every output on its way out and no ``except Exception`` mistakes it for a failure."""


# In a worker process: the runs cancelled, by their flags; one short name per
# cancelled run that used this worker.
_CANCELLED: set[str] = set()


def _cancel_run(flag: str) -> None:
    _CANCELLED.add(flag)


class CancelWatch:
    """Progress callback of a task of the run named ``flag``: raises
    :class:`Cancelled` once the run is cancelled (a set lookup, so it can look
    after every block)."""

    def __init__(self, flag: str | None) -> None:
        self.flag = flag

    def __call__(self, done: int = 0, total: int | None = None) -> None:
        if self.flag in _CANCELLED:
            raise Cancelled()


class Staging:
    """A private folder in ``folder`` for outputs that workers write and this process
    moves into place; a context manager that removes it, and all it holds, at exit."""

    def __init__(self, folder: str) -> None:
        try:  # by its absolute name: the workers' working folders may be any
            self.path = tempfile.mkdtemp(dir=os.path.abspath(folder), prefix=".kestrix-",
                                         suffix=".part")
            # Workers running as another user of a shared file system write here too.
            os.chmod(self.path, 0o777 & ~current_umask())
        except OSError as e:
            raise os_error(folder, e, "write into") from None
        self.folder = folder

    def staged(self, final: str) -> str:
        """Where a worker writes the output whose final name is ``final``."""
        return os.path.join(self.path, os.path.basename(final))

    def to_final(self, text: str) -> str:
        """``text`` (a message) with staged names given as the final ones."""
        return text.replace(self.path + os.sep, os.path.join(self.folder, ""))

    def commit(self, finals: list[str], force: bool) -> None:
        """Move the staged files of ``finals`` (data before metadata) to their names."""
        check_signalled()
        # Data before metadata, as a sink commits them; all checked before any
        # is moved, so that a set is never split.
        finals = sorted(finals, key=lambda f: f.endswith(SIGMF_META))
        for f in finals:
            kind = output_kind(f)
            if kind == "regular" and not force:
                raise CliError(f"output {f} appeared while the recording was processed; "
                               f"use --force to replace it", 1)
            if kind not in ("new", "regular"):
                raise CliError(f"output {f} is not a regular file; kestrix replaces nothing "
                               f"else", 1)
        for f in finals:
            try:
                os.replace(self.staged(f), f)
            except OSError as e:
                raise os_error(f, e, "write") from None

    def close(self) -> None:
        for _ in range(REMOVE_TRIES):
            shutil.rmtree(self.path, ignore_errors=True)
            if not os.path.lexists(self.path):
                return
            time.sleep(REMOVE_PAUSE)  # a task not yet told is still creating files

    def __enter__(self) -> "Staging":
        return self

    def __exit__(self, et, ev, tb) -> None:
        self.close()
