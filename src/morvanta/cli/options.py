"""The command line's shared parts: progress on a terminal, one-line usage errors, option parsers."""

from __future__ import annotations

import argparse
import math
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import IO, NoReturn


PROG = "morvanta"


class Progress:
    """Shows "morvanta: <step> ... 3s" on a terminal while a step runs longer than ``delay``.

    Quiet when the stream is not a terminal, so piped or captured stderr only
    ever carries errors. The detectors release the interpreter lock, so the
    ticker thread keeps running while they compute.
    """

    def __init__(self, stream: IO[str] | None = None, delay: float = 1.0, interval: float = 1.0) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.delay = delay
        self.interval = interval
        try:
            self.enabled = bool(self.stream.isatty())
        except (AttributeError, ValueError):
            self.enabled = False
        # One terminal line, shared by a step's ticker and a counter drawn through bar(): the
        # ticker stays quiet while a counter runs, and whoever draws clears what the other left.
        self._line = threading.Lock()
        self._shown = 0  # length of the text on the line now (0: the cursor is at a fresh line)
        self._counting = False

    def _draw(self, text: str, end: bool = False) -> None:
        """Writes ``text`` over the current line (called with ``_line`` held)."""
        pad = " " * max(0, self._shown - len(text))
        self.stream.write(f"\r{text}{pad}" + ("\n" if end else ""))
        self.stream.flush()
        self._shown = 0 if end else len(text)

    def bar(self, label: str, interval: float = 0.5) -> Callable[[int, int], None]:
        """A ``progress(done, total)`` callback that counts "<label> 1200/5000 texts" on the
        step's line (the step's ticker pauses meanwhile; the last count stays as a line of its
        own); quiet off a terminal."""
        last = [0.0]

        def show(done: int, total: int) -> None:
            if not self.enabled:
                return
            now = time.monotonic()
            finished = done >= total
            if not finished and now - last[0] < interval and self._counting:
                return
            last[0] = now
            with self._line:
                self._counting = not finished
                self._draw(f"{PROG}: {label} {done}/{total} texts", end=finished)

        return show

    @contextmanager
    def step(self, label: str) -> Iterator[None]:
        if not self.enabled:
            yield
            return
        from ..render.text import printable

        label = printable(label)  # a file name must not move the cursor
        done = threading.Event()
        shown = False
        start = time.monotonic()

        def tick() -> None:
            nonlocal shown
            if done.wait(self.delay):
                return
            while True:
                with self._line:
                    if not self._counting:
                        shown = True
                        self._draw(f"{PROG}: {label} ... {time.monotonic() - start:.0f}s")
                if done.wait(self.interval):
                    return

        ticker = threading.Thread(target=tick, name="morvanta-progress", daemon=True)
        ticker.start()
        try:
            yield
        finally:
            done.set()
            ticker.join()
            if shown:
                with self._line:
                    self._counting = False
                    self._draw(f"{PROG}: {label} ... done in {time.monotonic() - start:.1f}s", end=True)


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    # One line instead of argparse's usage dump, in the same form as input errors.
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


def shown(text: str, limit: int = 40) -> str:
    """``text`` quoted for an error line, a long one cut short with its length (a 400-digit number
    is no help spelled out)."""
    if len(text) <= limit:
        return repr(text)
    return f"{text[: limit // 2]!r}... ({len(text):,} characters)"


def int_option(text: str, expected: str, ok: Callable[[int], bool]) -> int:
    """A decimal integer option for which ``ok`` holds, else "expected <expected>, got '<text>'"."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected {expected}, got {shown(text)}") from None
    if not ok(value):
        raise argparse.ArgumentTypeError(f"expected {expected}, got {shown(text)}")
    return value


def float_option(text: str, expected: str, ok: Callable[[float], bool]) -> float:
    """A number option for which ``ok`` holds (text that is no number counts as NaN)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not ok(value):
        raise argparse.ArgumentTypeError(f"expected {expected}, got {shown(text)}")
    return value


def _count(text: str) -> int:
    return int_option(text, "a non-negative integer", lambda v: v >= 0)


def _seed(text: str) -> int:
    value = _count(text)
    if value >= 1 << 64:
        raise argparse.ArgumentTypeError(f"a seed must be below 2**64, got {shown(text)}")
    return value


def _threshold(text: str) -> float:
    # A negative threshold reports identical windows as drift and NaN never
    # reports any: neither is a usable gate.
    return float_option(text, "a finite number >= 0", lambda v: math.isfinite(v) and v >= 0.0)
