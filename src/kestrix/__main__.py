"""``python -m kestrix``: the ``kestrix`` command."""

from .cli import run

run()
