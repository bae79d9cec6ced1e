"""File handling shared by every reader and writer: atomic writes and file identity.

A saved file is never left half-written: :func:`write_atomic` writes to a
temporary file in the destination's folder, flushes and fsyncs it, moves it
into place with one rename (which replaces a symlink at the path rather than
following it) and fsyncs the folder. :class:`Outputs` gathers every output of
one command so that they are rendered first and moved into place together at
the end, after the computation.

Only a kill -9 (or a power cut) can leave a temporary file behind. Its name
holds the writer's host and process id (``.morvanta-<host>-<pid>-XXXX.tmp``), so
the first write of a process to a folder removes those of this host whose
process is gone; a file of a live writer, of another host or container sharing
the folder, or of any other program is never touched.
"""

from __future__ import annotations

import hashlib
import os
import re
import socket
import stat
import tempfile
import threading
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import BinaryIO, Union

__all__ = ["OutputError", "write_atomic", "same_file", "check_output_path", "Outputs", "remove_stale_temp_files"]

#: What :func:`write_atomic` writes: the bytes, text (as UTF-8), or a function that
#: writes the content to the open file it is given (for content too big to hold twice).
Content = Union[bytes, str, Callable[[BinaryIO], None]]


class OutputError(OSError):
    """An output that cannot be written; the message names the path the user gave."""


def _umask() -> int:
    # Linux reports the umask in /proc; elsewhere it can only be read by setting
    # it, which another thread creating a file at that instant would see.
    try:
        with open("/proc/self/status", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _target_mode(path: str) -> int:
    """The mode of the file being replaced, else 0666 minus the umask (as open() would give)."""
    try:
        st = os.lstat(path)
        if stat.S_ISREG(st.st_mode):
            return stat.S_IMODE(st.st_mode)
    except OSError:
        pass
    return 0o666 & ~_umask()


def _fsync_dir(folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _why(err: OSError) -> str:
    return err.strerror or str(err)


def _host_tag() -> str:
    """Eight hex digits naming this host and PID namespace: process ids are only
    comparable between writers that share both (containers on one shared volume
    do not)."""
    try:
        ns = str(os.stat("/proc/self/ns/pid").st_ino)
    except OSError:
        ns = ""
    return hashlib.sha256(f"{socket.gethostname()}/{ns}".encode()).hexdigest()[:8]


_TEMP = re.compile(r"\.morvanta-([0-9a-f]{8})-(\d+)-[A-Za-z0-9_]+\.tmp\Z")
_swept: set[str] = set()
_swept_lock = threading.Lock()


def _alive(pid: int) -> bool:
    if pid <= 0:
        return True  # not a process id this module wrote: leave it
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # e.g. EPERM: the process exists, as another user
    return True


def remove_stale_temp_files(folder: str) -> list[str]:
    """Removes the temporary files of writers on this host that were killed
    mid-write (see the module's notes); returns their names."""
    tag = _host_tag()
    removed: list[str] = []
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return removed
    for entry in entries:
        m = _TEMP.match(entry.name)
        if m is None or m.group(1) != tag or _alive(int(m.group(2))):
            continue
        try:
            if entry.is_file(follow_symlinks=False):
                os.unlink(entry.path)
                removed.append(entry.name)
        except OSError:
            pass  # gone already, or not ours to remove: harmless either way
    return removed


def _sweep_once(folder: str) -> None:
    # Once per process and folder: stale files come from processes that died
    # before this one wrote there; a long-running writer need not list the folder again.
    with _swept_lock:
        if folder in _swept:
            return
        _swept.add(folder)
    remove_stale_temp_files(folder)


def write_atomic(path: str | os.PathLike[str], data: Content) -> None:
    """Writes ``data`` to ``path`` all or nothing.

    The previous file (if any) stays intact until the new one is complete; a
    crash, a full disk or a kill leaves either the old or the new content,
    never a mix. The new file takes the mode of the regular file it replaces,
    else 0666 minus the umask; a symlink at ``path`` is replaced, not followed.
    ``data`` may be a function writing the content to the binary file it is
    given. Errors raise :class:`OutputError` naming ``path``; the temporary
    file is removed on every failure (an exception raised by ``data`` included).
    """
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    payload = data.encode("utf-8") if isinstance(data, str) else data
    _sweep_once(folder)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".morvanta-{_host_tag()}-{os.getpid()}-", suffix=".tmp", dir=folder)
    except OSError as err:
        raise OutputError(f"cannot write '{target}': {_why(err)}") from None
    try:
        try:
            with os.fdopen(fd, "wb") as f:
                if callable(payload):
                    payload(f)
                else:
                    f.write(payload)
                f.flush()
                os.fsync(f.fileno())
            os.chmod(tmp, _target_mode(target))
            os.replace(tmp, target)
        except OSError as err:
            raise OutputError(f"cannot write '{target}': {_why(err)}") from None
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    _fsync_dir(folder)


def same_file(a: str | os.PathLike[str], b: str | os.PathLike[str]) -> bool:
    """True when both paths name one existing file (same device and inode, through
    any symlink, hard link or aliased folder)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check_output_path(path: str | os.PathLike[str], inputs: Iterable[str | os.PathLike[str] | None],
                      option: str = "output") -> None:
    """Refuses, before any work, an output that would replace an input or cannot be written.

    Raises :class:`OutputError` naming ``path`` as given: the output is one of
    the inputs, its folder does not exist, or the path is a folder.
    """
    target = os.fspath(path)
    for given in inputs:
        if given is not None and same_file(target, given):
            raise OutputError(f"{option} '{target}' is the input '{os.fspath(given)}'; refusing to write over it")
    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(folder):
        raise OutputError(f"cannot write {option} '{target}': folder '{folder}' does not exist")
    if os.path.isdir(target):
        raise OutputError(f"cannot write {option} '{target}': it is a folder")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"cannot write {option} '{target}': folder '{folder}' is not writable")


@dataclass
class Outputs:
    """The files one command writes, rendered first and moved into place together.

    ``add`` records (path, content); ``commit`` writes each through
    :func:`write_atomic` in the order added. Nothing is written before the
    whole computation has succeeded and every output has been rendered.
    """

    pending: list[tuple[str, bytes | str]] = field(default_factory=list)

    def add(self, path: str | os.PathLike[str], data: bytes | str) -> None:
        self.pending.append((os.fspath(path), data))

    def commit(self) -> None:
        for path, data in self.pending:
            write_atomic(path, data)
        self.pending.clear()
