#!/usr/bin/env python3
"""Screenshots of the real HTML reports for the README and the docs.

Renders the demo's drifted check and a monitor run over the demo's traffic,
opens both in headless Chromium (DevTools protocol over a pipe, standard
library only) and writes one PNG per part of the page that the docs show:

  report-summary.png     the verdict banner and the summary table
  report-data.png        the first feature distributions (worst column first)
  report-embedding.png   the projection of the embeddings
  report-confidence.png  confidence distributions and the reliability diagram
  report-query.png       the query clusters' shares
  monitor-over-time.png  the score per window of a monitor run

Usage: tools/report-images.py [--out DIR] [--chromium PATH]   (default DIR: docs/images)
Run it again whenever the report's layout changes; tests/test_docs.py checks that
the committed images still match the page's structure (their sizes, not pixels).
"""

from __future__ import annotations

import argparse
import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

WIDTH = 1100  # CSS pixels; the PNGs are this wide
MAX_HEIGHT = 760  # a shot is cut here, so each one stays readable in a page

# name -> (page, CSS selector of the part shown, or None for the page's top down to the summary)
SHOTS = {
    "report-summary": ("check", None),
    "report-data": ("check", "#dim-data"),
    "report-embedding": ("check", "#dim-embedding"),
    "report-confidence": ("check", "#dim-confidence"),
    "report-query": ("check", "#dim-query"),
    "monitor-over-time": ("monitor", "section[id^=dim-]"),
}


class Chromium:
    """Headless Chromium with --remote-debugging-pipe: commands in on fd 3, replies out on fd 4."""

    def __init__(self, binary: str, profile: str) -> None:
        to_child, self._send = os.pipe()
        self._recv, from_child = os.pipe()

        def wire() -> None:
            a = fcntl.fcntl(to_child, fcntl.F_DUPFD, 10)
            b = fcntl.fcntl(from_child, fcntl.F_DUPFD, 10)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [binary, "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--no-first-run", "--no-default-browser-check", "--hide-scrollbars", "--mute-audio",
             "--font-render-hinting=none", f"--user-data-dir={profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=wire, close_fds=False,
        )
        os.close(to_child)
        os.close(from_child)
        self._buf = b""
        self._id = 0
        self._events: list[dict] = []

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

    def send(self, method: str, session: str | None = None, **params: object) -> dict:
        self._id += 1
        msg: dict = {"id": self._id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self._send, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + 60
        while True:
            reply = self._read(deadline)
            if reply.get("id") == self._id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self._events.append(reply)

    def wait_for(self, method: str) -> None:
        deadline = time.monotonic() + 60
        while True:
            if any(e.get("method") == method for e in self._events):
                self._events.clear()
                return
            self._events.append(self._read(deadline))

    def shots(self, page: Path, clips: dict[str, str | None]) -> dict[str, bytes]:
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.send("Page.enable", session)
        self.send("Emulation.setDeviceMetricsOverride", session, width=WIDTH, height=900, deviceScaleFactor=1,
                  mobile=False)
        self._events.clear()
        self.send("Page.navigate", session, url=page.as_uri())
        self.wait_for("Page.loadEventFired")
        out = {}
        for name, selector in clips.items():
            # The summary shot runs from the top of the page to the end of the first section.
            js = ("(() => { const e = %s; if (!e) return null; const r = e.getBoundingClientRect();"
                  " return {x: 0, y: %s, w: document.documentElement.clientWidth, b: r.bottom + window.scrollY}; })()"
                  % (f"document.querySelector({json.dumps(selector)})" if selector
                     else "document.querySelector('section')",
                     "r.top + window.scrollY - 8" if selector else "0"))
            box = self.send("Runtime.evaluate", session, expression=js, returnByValue=True)["result"].get("value")
            if box is None:
                raise SystemExit(f"report-images: {page.name} has no element {selector!r}")
            height = min(box["b"] - box["y"] + 8, MAX_HEIGHT)
            clip = {"x": 0, "y": box["y"], "width": box["w"], "height": height, "scale": 1}
            data = self.send("Page.captureScreenshot", session, format="png", clip=clip,
                             captureBeyondViewport=True)["data"]
            out[name] = base64.b64decode(data)
        self.send("Target.closeTarget", targetId=target)
        return out

    def close(self) -> None:
        try:
            self.send("Browser.close")
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        os.close(self._send)
        os.close(self._recv)


def pages(folder: Path) -> dict[str, Path]:
    """Writes the two reports: the demo's drifted check and a monitor run over the
    demo's traffic (a day of baseline, then a day whose second half drifts)."""
    import numpy as np

    import morvanta
    from morvanta import demo

    check = folder / "check.html"
    check.write_text(demo.drift_check().to_html(), encoding="utf-8")

    day = 86_400
    t0 = 1_772_323_200  # 2026-03-01T00:00:00Z
    parts = [(demo.make_window("baseline"), t0, day), (demo.make_window("stable", 1_000), t0 + day, day // 2),
             (demo.make_window("drift", 1_000), t0 + day + day // 2, day // 2)]
    logs = [demo.as_log(w) for w, _, _ in parts]
    traffic = {k: np.concatenate([np.asarray(log[k]) for log in logs]) for k in logs[0]}
    rng = np.random.default_rng(0)
    traffic["timestamp"] = np.concatenate([start + np.sort(rng.uniform(0, span, w.n)) for w, start, span in parts])
    monitor = folder / "monitor.html"
    monitor.write_text(morvanta.monitor(traffic, every="6h", baseline="1d").to_html(), encoding="utf-8")
    return {"check": check, "monitor": monitor}


def main(argv: list[str] | None = None) -> int:
    root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=root / "docs" / "images", help="folder for the PNG files")
    parser.add_argument("--chromium", default=None, help="Chromium binary (default: found on PATH)")
    args = parser.parse_args(argv)
    binary = args.chromium or next(
        (p for p in map(shutil.which, ("chromium", "chromium-browser", "google-chrome")) if p), None)
    if binary is None:
        print("report-images: chromium is not installed (apt-get install chromium)", file=sys.stderr)
        return 2
    args.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="morvanta-images-") as tmp:
        files = pages(Path(tmp))
        browser = Chromium(binary, str(Path(tmp) / "profile"))
        try:
            for page, path in files.items():
                clips = {name: sel for name, (p, sel) in SHOTS.items() if p == page}
                for name, png in browser.shots(path, clips).items():
                    (args.out / f"{name}.png").write_bytes(png)
                    print(f"wrote {args.out / name}.png")
        finally:
            browser.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
