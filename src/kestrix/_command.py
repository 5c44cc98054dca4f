"""The ``kestrix`` command as a process: its environment, then :func:`kestrix.cli.run`.

Imported before NumPy, so that what it sets reaches NumPy's own start-up.
"""

import os


def environment() -> None:
    """Keep NumPy's BLAS to the calling thread, unless the caller chose otherwise.

    Imported with its defaults, OpenBLAS starts a thread per core that spins
    for a while waiting for work; the command never gives it any, and on a
    machine with few cores those threads take a core from the block loop and
    its reader and writer threads.  Worker processes that the command starts
    inherit the setting.
    """
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")


def run() -> None:
    """The ``kestrix`` command: see :mod:`kestrix.cli`."""
    environment()
    from .cli import run as run_cli

    run_cli()
