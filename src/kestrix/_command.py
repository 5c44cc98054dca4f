"""The ``kestrix`` command as a process: its environment, :func:`kestrix.cli.main`, its exit.

Imported before NumPy, so that what it sets reaches NumPy's own start-up.
"""

import gc
import os
import sys
from typing import NoReturn


def environment() -> None:
    """Keep NumPy's BLAS to the calling thread, unless the caller chose otherwise.

    Imported with its defaults, OpenBLAS starts a thread per core that spins
    for a while waiting for work; the command never gives it any, and on a
    machine with few cores those threads take a core from the block loop and
    its reader and writer threads.  Worker processes that the command starts
    inherit the setting.
    """
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")


def run() -> NoReturn:
    """The ``kestrix`` command: run :func:`kestrix.cli.main` and exit with its status.

    Every file the run opened is closed by then.  The objects still alive are
    frozen out of the garbage collector's reach (:func:`gc.freeze`), which
    spares the interpreter's final collection, a walk over every object that
    NumPy and kestrix made (some 15 ms of every run); ``atexit`` handlers
    still run.
    """
    environment()
    from .cli import main

    code = main()
    gc.freeze()
    sys.exit(code)
