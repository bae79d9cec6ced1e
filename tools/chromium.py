"""Headless Chromium driven over the DevTools protocol through a pipe (standard
library only): shared by tools/report-images.py, which screenshots the reports
for the docs, and tests/test_report_browser.py, which checks them in a browser.

Commands go in on the child's fd 3 and replies and events come out on its fd 4,
each a JSON message ended by NUL (--remote-debugging-pipe).
"""

from __future__ import annotations

import fcntl
import json
import os
import select
import shutil
import subprocess
import time
from pathlib import Path

__all__ = ["Chromium", "find_chromium"]


def find_chromium() -> str | None:
    """The Chromium (or Chrome) binary on PATH, if any."""
    return next((p for p in map(shutil.which, ("chromium", "chromium-browser", "google-chrome")) if p), None)


class Chromium:
    """One headless browser. ``profile`` is its user-data folder (default: a fresh
    folder under TMPDIR, removed by :meth:`close`); ``extra_args`` go on its
    command line. Events that arrive while waiting for a reply are kept in
    ``events`` until :meth:`wait_for` takes them or the caller clears them."""

    def __init__(self, binary: str, profile: str | os.PathLike[str] | None = None,
                 extra_args: tuple[str, ...] = ()) -> None:
        to_child, self._send = os.pipe()
        self._recv, from_child = os.pipe()

        def wire() -> None:
            # Moved above 4 first, so that placing one end cannot close the other.
            a = fcntl.fcntl(to_child, fcntl.F_DUPFD, 10)
            b = fcntl.fcntl(from_child, fcntl.F_DUPFD, 10)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self._own_profile = profile is None
        self.profile = Path(profile) if profile is not None else (
            Path(os.environ.get("TMPDIR", "/tmp")) / f"morvanta-chromium-{os.getpid()}-{id(self)}")
        self.proc = subprocess.Popen(
            [binary, "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--no-first-run", "--no-default-browser-check", "--hide-scrollbars", "--mute-audio", *extra_args,
             f"--user-data-dir={self.profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=wire, close_fds=False,
        )
        os.close(to_child)
        os.close(from_child)
        self._buf = b""
        self._id = 0
        self.events: list[dict] = []

    def _read(self, deadline: float) -> dict:
        while b"\0" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._recv], [], [], left)[0]:
                raise TimeoutError("no reply from chromium")
            chunk = os.read(self._recv, 1 << 20)
            if not chunk:
                raise RuntimeError("chromium closed the pipe")
            self._buf += chunk
        msg, self._buf = self._buf.split(b"\0", 1)
        return json.loads(msg)

    def send(self, method: str, session: str | None = None, timeout: float = 60.0, **params: object) -> dict:
        """Sends one command (to ``session``, when given) and returns its result."""
        self._id += 1
        msg: dict = {"id": self._id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self._send, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read(deadline)
            if reply.get("id") == self._id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def wait_for(self, method: str, timeout: float = 60.0) -> dict:
        """Takes the first event ``method`` out of ``events``, waiting for it if needed."""
        deadline = time.monotonic() + timeout
        for i, e in enumerate(self.events):
            if e.get("method") == method:
                return self.events.pop(i)
        while True:
            e = self._read(deadline)
            if e.get("method") == method:
                return e
            self.events.append(e)

    def close(self) -> None:
        try:
            self.send("Browser.close", timeout=10)
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        os.close(self._send)
        os.close(self._recv)
        if self._own_profile:
            shutil.rmtree(self.profile, ignore_errors=True)
