"""``python -m morvanta``: the same command line as the ``morvanta`` script."""

import sys

from .cli import main

sys.exit(main())
