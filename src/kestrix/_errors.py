"""Errors of the ``kestrix`` command and its optional dependencies."""

from __future__ import annotations

import importlib

CLI_EXTRA_HINT = "pip install 'kestrix[cli]'"


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


def require(module: str, purpose: str):
    """Import an optional dependency of the command-line extra, or fail clearly."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise CliError(
            f"{purpose} needs the Python package '{module}': {CLI_EXTRA_HINT}", 1) from None


def os_error(path: str, e: OSError, verb: str = "read") -> CliError:
    return CliError(f"cannot {verb} {path}: {e.strerror or e}", 1)
