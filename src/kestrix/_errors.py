"""Errors of the ``kestrix`` command and its optional dependencies."""

from __future__ import annotations

import contextlib
import importlib
import signal
import sys
import threading

CLI_EXTRA_HINT = "pip install 'kestrix[cli]'"
DASK_EXTRA_HINT = "pip install 'kestrix[dask]'"


class CliError(Exception):
    """A failure reported to the user as one line, with an exit status.

    Status 2 is a usage error (bad option, bad parameter, output clash),
    status 1 an input/output error (missing, unreadable, malformed or
    shrinking file).
    """

    def __init__(self, message: str, code: int = 1) -> None:
        super().__init__(" ".join(str(message).split()))
        self.code = code

    def __reduce__(self):  # keep the status across a process boundary
        return (type(self), (str(self), self.code))


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: unwind like Ctrl-C, then exit 128 + signal.

    A BaseException, like KeyboardInterrupt, so that no ``except Exception``
    on the way swallows it and every context manager aborts its output.
    """

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def require(module: str, purpose: str, hint: str = CLI_EXTRA_HINT):
    """Import an optional dependency (of the extra that ``hint`` installs), or fail clearly."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise CliError(f"{purpose} needs the Python package '{module}': {hint}", 1) from None


def describe_error(e: BaseException) -> str:
    """The one line that tells the user what went wrong."""
    if isinstance(e, CliError):
        return str(e)
    if isinstance(e, MemoryError):
        return "out of memory; try a smaller --block"
    if isinstance(e, OSError):
        return f"{e.filename + ': ' if e.filename else ''}{e.strerror or e}"
    return f"unexpected {type(e).__name__}: {e} (set KESTRIX_DEBUG=1 for a traceback)"


def os_error(path: str, e: OSError, verb: str = "read") -> CliError:
    return CliError(f"cannot {verb} {path}: {e.strerror or e}", 1)


class SignalHold:
    """Defers the command's SIGINT, SIGTERM and SIGHUP between ``hold()`` and ``release()``.

    Creating an output and registering its clean-up, or committing a set of
    outputs, must not be cut in half: a signal that arrives meanwhile is kept
    (by :func:`defer`, called from the command's handler) and raised when the
    hold ends.  Leaving the ``with`` block releases a hold still in place.
    Only the main thread receives signals; elsewhere this does nothing.
    """

    depth = 0
    pending: BaseException | None = None
    # The signal that began the unwinding.  The handler raises it where the
    # main thread is, but the interpreter drops an exception raised inside a
    # garbage-collector callback or a finaliser ("Exception ignored in ..."),
    # so every commit looks here first (:func:`check_signalled`).
    received: BaseException | None = None

    def __init__(self) -> None:
        self.active = False

    def hold(self) -> None:
        if threading.current_thread() is threading.main_thread() and not self.active:
            SignalHold.depth += 1
            self.active = True

    def release(self) -> None:
        if not self.active:
            return
        self.active = False
        SignalHold.depth -= 1
        if SignalHold.depth == 0 and SignalHold.pending is not None:
            exc, SignalHold.pending = SignalHold.pending, None
            raise exc

    def __enter__(self) -> "SignalHold":
        return self

    def __exit__(self, et, ev, tb) -> None:
        self.release()


def check_signalled() -> None:
    """Raise the signal that arrived during this run, if one did: nothing is committed
    after a SIGINT, SIGTERM or SIGHUP, even when its exception was lost on the way, and
    the loops look after each block or task, so that such a run stops soon."""
    if SignalHold.received is not None:
        raise SignalHold.received


def defer(exc: BaseException) -> bool:
    """Keep ``exc`` for the end of the current hold; False when nothing holds."""
    if SignalHold.depth == 0:
        return False
    SignalHold.pending = SignalHold.pending or exc
    return True


_SIGNALS = ("SIGINT", "SIGTERM", "SIGHUP")


@contextlib.contextmanager
def signals_unwind():
    """SIGINT, SIGTERM and SIGHUP unwind the run (so every output aborts) exactly once.

    The first of them raises in the main thread; any later one is ignored,
    so that the clean-up it started is not itself interrupted.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    nums = [getattr(signal, name) for name in _SIGNALS if hasattr(signal, name)]
    saved = {n: signal.getsignal(n) for n in nums}

    def handler(signum, frame):
        for n in nums:
            signal.signal(n, signal.SIG_IGN)
        exc = KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)
        SignalHold.received = exc
        if not defer(exc):
            raise exc

    saved_hook = sys.unraisablehook

    def unraisable(report) -> None:
        # The signal's exception, dropped where the handler ran (a garbage-
        # collector callback): no traceback for it; it is raised at the next
        # check_signalled().
        if report.exc_value is None or report.exc_value is not SignalHold.received:
            saved_hook(report)

    SignalHold.received = None
    sys.unraisablehook = unraisable
    for n in nums:
        if saved[n] is not signal.SIG_IGN:  # nohup's ignored SIGHUP stays ignored
            signal.signal(n, handler)
    try:
        yield
    finally:
        SignalHold.received = None
        sys.unraisablehook = saved_hook
        for n, h in saved.items():
            signal.signal(n, h if h is not None else signal.SIG_DFL)
