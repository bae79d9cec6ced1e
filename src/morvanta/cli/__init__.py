"""The ``morvanta`` command line: ``main`` is the console script's entry point."""

from .commands import main

__all__ = ["main"]
