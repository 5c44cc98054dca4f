"""Fixtures shared by the test files."""

from __future__ import annotations

import contextlib
import ctypes
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

DASK_WORKERS = 2
DASK_START_TIMEOUT = 60.0  # seconds; a cold start on a loaded machine takes ~5


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent() -> None:
    # Runs in the child before exec: if the test process is killed outright,
    # the kernel sends SIGTERM, so no scheduler or worker outlives the run.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _start(args: list[str], log: Path, cwd: Path) -> subprocess.Popen:
    with open(log, "wb") as out:
        return subprocess.Popen(
            [sys.executable, "-m", "dask", *args], cwd=cwd, stdin=subprocess.DEVNULL,
            stdout=out, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent if sys.platform == "linux" else None)


def _stop(procs: list[subprocess.Popen]) -> None:
    """SIGTERM to each process by its id, last one first, each waited for
    (SIGKILL if it hangs) before the next: a worker told to stop while its
    scheduler closes can hang in its own shutdown."""
    for p in reversed(procs):
        if p.poll() is None:
            p.terminate()
        try:
            p.wait(timeout=20)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def _tail(log: Path, lines: int = 20) -> str:
    return "\n".join(log.read_text(errors="replace").splitlines()[-lines:])


@contextlib.contextmanager
def dask_processes(workdir: Path, n_workers: int = DASK_WORKERS):
    """A real cluster of child processes on 127.0.0.1: ``dask scheduler`` and
    `n_workers` ``dask worker`` processes of one thread each, without nannies,
    so every process of the cluster is a child of this one.

    Yields the scheduler's address once every worker has registered, and
    stops the processes by their ids on exit.  Logs go to `workdir`.
    """
    from distributed import Client

    procs: list[subprocess.Popen] = []
    try:
        for attempt in range(3):  # a port found free can be taken before use
            port = free_port()
            log = workdir / f"scheduler-{attempt}.log"
            scheduler = _start(["scheduler", "--host", "127.0.0.1", "--port", str(port),
                                "--no-dashboard"], log, workdir)
            procs.append(scheduler)
            address = f"tcp://127.0.0.1:{port}"
            for i in range(n_workers):
                procs.append(_start(
                    ["worker", address, "--host", "127.0.0.1", "--worker-port", str(free_port()),
                     "--nthreads", "1", "--no-nanny", "--no-dashboard", "--name", f"w{i}",
                     "--local-directory", str(workdir), "--death-timeout", "60"],
                    workdir / f"worker-{attempt}-{i}.log", workdir))
            deadline = time.monotonic() + DASK_START_TIMEOUT
            while scheduler.poll() is None and time.monotonic() < deadline:
                try:
                    with Client(address, timeout=2) as client:
                        client.wait_for_workers(n_workers, timeout=deadline - time.monotonic())
                    break
                except (OSError, TimeoutError):
                    time.sleep(0.2)
            else:
                if scheduler.poll() is not None and attempt < 2:
                    _stop(procs)
                    continue
                logs = "\n".join(f"--- {f.name}\n{_tail(f)}"
                                  for f in sorted(workdir.glob(f"*-{attempt}*.log")))
                raise RuntimeError(f"the dask cluster did not start:\n{logs}")
            yield address
            return
    finally:
        _stop(procs)


@pytest.fixture(scope="session")
def dask_scheduler(tmp_path_factory):
    """Address of a real two-worker Dask cluster (child processes), shared by
    the session and stopped at its end."""
    pytest.importorskip("distributed")
    with dask_processes(tmp_path_factory.mktemp("dask-cluster")) as address:
        yield address
