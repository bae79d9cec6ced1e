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
import json
import sys
import tempfile
from pathlib import Path

from chromium import Chromium, find_chromium  # tools/chromium.py, also the tests' browser driver

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


def shots(browser: Chromium, page: Path, clips: dict[str, str | None]) -> dict[str, bytes]:
    """PNGs of the parts ``clips`` names (CSS selectors; None: the top of the page
    down to the end of its first section) of ``page``."""
    target = browser.send("Target.createTarget", url="about:blank")["targetId"]
    session = browser.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
    browser.send("Page.enable", session)
    browser.send("Emulation.setDeviceMetricsOverride", session, width=WIDTH, height=900, deviceScaleFactor=1,
                 mobile=False)
    browser.events.clear()
    browser.send("Page.navigate", session, url=page.as_uri())
    browser.wait_for("Page.loadEventFired")
    browser.events.clear()
    out = {}
    for name, selector in clips.items():
        # The summary shot runs from the top of the page to the end of the first section.
        js = ("(() => { const e = %s; if (!e) return null; const r = e.getBoundingClientRect();"
              " return {x: 0, y: %s, w: document.documentElement.clientWidth, b: r.bottom + window.scrollY}; })()"
              % (f"document.querySelector({json.dumps(selector)})" if selector
                 else "document.querySelector('section')",
                 "r.top + window.scrollY - 8" if selector else "0"))
        box = browser.send("Runtime.evaluate", session, expression=js, returnByValue=True)["result"].get("value")
        if box is None:
            raise SystemExit(f"report-images: {page.name} has no element {selector!r}")
        height = min(box["b"] - box["y"] + 8, MAX_HEIGHT)
        clip = {"x": 0, "y": box["y"], "width": box["w"], "height": height, "scale": 1}
        data = browser.send("Page.captureScreenshot", session, format="png", clip=clip,
                            captureBeyondViewport=True)["data"]
        out[name] = base64.b64decode(data)
    browser.send("Target.closeTarget", targetId=target)
    return out


def pages(folder: Path) -> dict[str, Path]:
    """Writes the two reports: the demo's drifted check, and the monitor run of the
    docs over the sample logs' traffic (eight days, drifting from the seventh)."""
    import morvanta
    from morvanta import demo

    check = folder / "check.html"
    check.write_text(demo.drift_check().to_html(), encoding="utf-8")
    monitor = folder / "monitor.html"
    monitor.write_text(morvanta.monitor(demo.traffic_columns(), every="1d", baseline="4d").to_html(),
                       encoding="utf-8")
    return {"check": check, "monitor": monitor}


def main(argv: list[str] | None = None) -> int:
    root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=root / "docs" / "images", help="folder for the PNG files")
    parser.add_argument("--chromium", default=None, help="Chromium binary (default: found on PATH)")
    args = parser.parse_args(argv)
    binary = args.chromium or find_chromium()
    if binary is None:
        print("report-images: chromium is not installed (apt-get install chromium)", file=sys.stderr)
        return 2
    args.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="morvanta-images-") as tmp:
        files = pages(Path(tmp))
        browser = Chromium(binary, Path(tmp) / "profile", extra_args=("--font-render-hinting=none",))
        try:
            for page, path in files.items():
                clips = {name: sel for name, (p, sel) in SHOTS.items() if p == page}
                for name, png in shots(browser, path, clips).items():
                    (args.out / f"{name}.png").write_bytes(png)
                    print(f"wrote {args.out / name}.png")
        finally:
            browser.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
