"""``python -m kestrix``: the ``kestrix`` command."""

from ._command import run

run()
