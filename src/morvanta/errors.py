"""The package's exception types, and the cause carried by a core error.

Every error a caller can meet is one of the types in ``__all__`` (or a plain
``TypeError``/``ValueError``/``MemoryError`` for a refused argument or a buffer
the machine cannot hold). A :class:`MorvantaError` raised through a package
entry point (:func:`~morvanta.check`, :func:`~morvanta.monitor`,
:class:`~morvanta.Baseline`, :func:`~morvanta.permutation_test`,
:func:`~morvanta.calibrate`, the command line) carries its cause as attributes,
so that a caller never has to read the message text:

- ``kind``: "dimension_mismatch", "insufficient_samples",
  "numerical_instability", "invalid_config", "io", "serialization",
  "cancelled", "out_of_memory", or None when the cause is not known;
- ``expected``, ``got``: the two numbers of a mismatch (expected width, given
  width) or of a short window (rows needed, rows given), else None;
- ``context``: the kernel or method the core names, else None.

The message itself is never changed.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Callable
from typing import ParamSpec, TypeVar

from ._native import InternalError, MorvantaError
from .io.common import OutputError
from .io.files import InputError
from .io.log import LogError

__all__ = [
    "MorvantaError",
    "InputError",
    "LogError",
    "OutputError",
    "ArgumentError",
    "InternalError",
    "error_fields",
    "annotate",
    "annotated",
    "cause",
]

_P = ParamSpec("_P")
_R = TypeVar("_R")

Fields = tuple[str, int | None, int | None, str | None]


class ArgumentError(ValueError):
    """A refused argument value of a package function: ``argument`` names the
    parameter, ``detail`` says what was expected. ``str(err)`` is
    "argument '<argument>': <detail>"; the command line shows the flag instead."""

    def __init__(self, argument: str, detail: str) -> None:
        super().__init__(f"argument '{argument}': {detail}")
        self.argument = argument
        self.detail = detail


# Used only when the native module has no error_fields (builds before it had
# one): the core writes its few messages from fixed templates.
_TEMPLATES: tuple[tuple[str, re.Pattern[str]], ...] = (
    ("dimension_mismatch", re.compile(r"dimension mismatch: expected (\d+), got (\d+) \((.*)\)\Z", re.S)),
    ("insufficient_samples", re.compile(r"insufficient samples: need at least (\d+), got (\d+) \((.*)\)\Z", re.S)),
    ("numerical_instability", re.compile(r"numerical instability in (.*) \(NaN or infinity\)\Z", re.S)),
    ("invalid_config", re.compile(r"invalid configuration: ", re.S)),
    ("io", re.compile(r"io error: ", re.S)),
    ("serialization", re.compile(r"(?:serialization error|deserialize): ", re.S)),
    ("cancelled", re.compile(r"interrupted\Z", re.S)),
    ("out_of_memory", re.compile(r"cannot allocate \d+ bytes for .* \((.*)\)\Z", re.S)),
)


def _from_template(message: str) -> Fields | None:
    for kind, pattern in _TEMPLATES:
        m = pattern.match(message)
        if m is None:
            continue
        groups = m.groups()
        if len(groups) == 3:
            return kind, int(groups[0]), int(groups[1]), groups[2]
        return kind, None, None, groups[0] if groups else None
    return None


def error_fields(message: str) -> Fields | None:
    """(kind, expected, got, context) of a core error message, or None for a
    message the core did not write."""
    from . import _engine

    native = getattr(_engine, "error_fields", None)
    if native is not None:
        found: Fields | None = native(message)
        return found
    return _from_template(message)


def annotate(err: BaseException) -> BaseException:
    """Sets ``kind``, ``expected``, ``got`` and ``context`` on a MorvantaError
    (once; other exceptions pass untouched) and returns it."""
    if isinstance(err, MorvantaError) and not hasattr(err, "kind"):
        fields = error_fields(str(err)) if err.args and isinstance(err.args[0], str) else None
        kind, expected, got, context = fields if fields is not None else (None, None, None, None)
        err.kind = kind  # type: ignore[attr-defined]
        err.expected = expected  # type: ignore[attr-defined]
        err.got = got  # type: ignore[attr-defined]
        err.context = context  # type: ignore[attr-defined]
    return err


def annotated(fn: Callable[_P, _R]) -> Callable[_P, _R]:
    """``fn`` with every MorvantaError it raises annotated (see :func:`annotate`)."""

    @functools.wraps(fn)
    def wrapper(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        try:
            return fn(*args, **kwargs)
        except MorvantaError as err:
            annotate(err)
            raise

    return wrapper


def cause(err: BaseException) -> tuple[str | None, int | None, int | None, str | None]:
    """The (kind, expected, got, context) attributes of an annotated error."""
    annotate(err)
    return (getattr(err, "kind", None), getattr(err, "expected", None), getattr(err, "got", None),
            getattr(err, "context", None))
