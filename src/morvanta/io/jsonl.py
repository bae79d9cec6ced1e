"""JSON Lines files: one JSON object per line, one request per object.

A key missing from an object is a missing cell. Cells keep their JSON types
(see :mod:`morvanta.io.cells`): the string ``"12"`` is text, ``12`` a number.
Numbers too large for a float and lists nested too deeply to read are errors
naming the line and the column, like every other bad cell.
"""

from __future__ import annotations

import json
import os
from typing import Any

from .cells import LogError, Origin, Table, json_hooks, object_column

__all__ = ["read_jsonl"]

_DEEP = 64  # nesting depth at which a cell is named as too deep


def _deep_key(line: str) -> str | None:
    """The top-level key whose value nests past ``_DEEP`` levels (or None)."""
    depth, key, last, i, n = 0, None, None, 0, len(line)
    while i < n:
        c = line[i]
        if c == '"':
            j = i + 1
            while j < n and line[j] != '"':
                j += 2 if line[j] == "\\" else 1
            last, i = line[i: j + 1], j + 1
            continue
        if c == ":" and depth == 1 and last is not None:
            try:
                key = json.loads(last)
            except ValueError:
                key = last
        elif c in "[{":
            depth += 1
            if depth > _DEEP:
                return key
        elif c in "]}":
            depth -= 1
        i += 1
    return key


def read_jsonl(path: str) -> Table:
    """The columns of a JSON Lines file."""
    names: list[str] = []
    columns: dict[str, list[Any]] = {}
    lines: list[int] = []
    hooks = json_hooks()
    try:
        if os.path.getsize(path) == 0:
            raise LogError(f"'{path}' is empty (expected one JSON object per line)")
        with open(path, encoding="utf-8-sig") as f:
            for line_no, line in enumerate(f, start=1):
                if not line.strip():
                    continue
                try:
                    try:
                        obj = json.loads(line, **hooks)
                    except ValueError as err:
                        if "integer string conversion" not in str(err):
                            raise
                        obj = json.loads(line, **json_hooks(big_ints=True))  # named in its column below
                except RecursionError:
                    key = _deep_key(line)
                    column = f" column '{key}'" if key is not None else ""
                    raise LogError(f"'{path}'{column} line {line_no}: lists nested too deeply to read "
                                   "(an embedding is a flat list of numbers)") from None
                except ValueError as err:
                    raise LogError(f"'{path}' line {line_no}: not valid JSON ({err})") from None
                if not isinstance(obj, dict):
                    raise LogError(f"'{path}' line {line_no}: expected one JSON object per line")
                for k in obj:
                    if k not in columns:
                        names.append(k)
                        columns[k] = [None] * len(lines)
                for k in names:
                    columns[k].append(obj.get(k))
                lines.append(line_no)
    except OSError as err:
        raise LogError(f"cannot read '{path}': {err.strerror or err}") from None
    except UnicodeDecodeError:
        raise LogError(f"cannot read '{path}': not a UTF-8 text file") from None
    import numpy as np

    origin = Origin(path, lines=np.asarray(lines, dtype=np.int64))
    table = Table(origin, {}, len(lines))
    for k in names:
        table.add(object_column(origin, k, columns[k], parsed=True))
    return table
