"""``python -m kestrix``: the ``kestrix`` command."""

import sys

from .cli import main

sys.exit(main())
