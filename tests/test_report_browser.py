"""The HTML reports in a real browser: headless Chromium driven over the DevTools
protocol (a pipe, standard library only). Each page must load from disk with no
console errors and no network request, draw every plot, and paint a screenshot
that is not blank."""

from __future__ import annotations

import base64
import io
import json
import sys
from pathlib import Path

import numpy as np
import pytest

import morvanta
from morvanta.render.text import window_label
from morvanta import demo

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from chromium import Chromium, find_chromium  # noqa: E402  (the driver tools/report-images.py uses)

pytest.importorskip("jinja2")
pytest.importorskip("matplotlib")
CHROMIUM = find_chromium()
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")


class Browser(Chromium):
    """Headless Chromium from PATH with a fresh profile, removed on close."""

    def __init__(self) -> None:
        super().__init__(CHROMIUM)


@pytest.fixture(scope="module")
def browser():
    b = Browser()
    yield b
    b.close()


PROBE = """JSON.stringify({
  svgs: Array.from(document.querySelectorAll('figure.plot svg')).map(s => {
    const r = s.getBoundingClientRect();
    return {w: r.width, h: r.height, shapes: s.querySelectorAll('path, use, text, rect, line').length,
            title: (s.querySelector('title') || {}).textContent || '',
            desc: (s.querySelector('desc') || {}).textContent || '',
            labelled: s.getAttribute('role') === 'img' && s.getAttribute('aria-labelledby') !== null};
  }),
  figures: document.querySelectorAll('figure.plot').length,
  allSvgs: document.querySelectorAll('svg').length,
  height: document.documentElement.scrollHeight,
  resources: performance.getEntriesByType('resource').map(e => e.name),
  verdict: (document.querySelector('.verdict') || {}).textContent || ''
})"""


def open_page(browser: Browser, path: Path) -> tuple[dict, list[str], bytes]:
    """Loads ``path``; returns what the page shows, its console errors and a PNG screenshot."""
    target = browser.send("Target.createTarget", url="about:blank")["targetId"]
    session = browser.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
    browser.events.clear()
    for domain in ("Page", "Runtime", "Log", "Network"):
        browser.send(f"{domain}.enable", session)
    browser.send("Emulation.setDeviceMetricsOverride", session, width=1200, height=900, deviceScaleFactor=1,
                 mobile=False)
    browser.send("Page.navigate", session, url=path.as_uri())
    browser.wait_for("Page.loadEventFired")
    info = json.loads(browser.send("Runtime.evaluate", session, expression=PROBE, returnByValue=True)
                      ["result"]["value"])
    shot = base64.b64decode(browser.send("Page.captureScreenshot", session, format="png",
                                         captureBeyondViewport=True)["data"])
    errors = []
    for e in browser.events:
        m, p = e.get("method"), e.get("params", {})
        if (m == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert")) or m == "Runtime.exceptionThrown":
            errors.append(str(p.get("args", p.get("exceptionDetails"))))
        elif m == "Log.entryAdded" and p.get("entry", {}).get("level") == "error":
            errors.append(p["entry"].get("text", ""))
        elif m == "Network.requestWillBeSent" and not p.get("request", {}).get("url", "").startswith(
                ("file:", "data:", "about:")):
            errors.append(f"network request: {p['request']['url']}")
    browser.send("Target.closeTarget", targetId=target)
    return info, errors, shot


def assert_not_blank(png: bytes) -> None:
    from matplotlib.image import imread

    img = imread(io.BytesIO(png), format="png")
    assert img.shape[0] > 800 and img.shape[1] >= 1000
    gray = img[..., :3].mean(axis=2)
    assert gray.std() > 0.05  # a white page has none
    assert (gray < 0.5).mean() > 0.002  # dark strokes and text cover part of it
    # Colour reaches the page too (the two windows' lines), not just black and white.
    rgb = img[..., :3]
    assert (rgb.max(axis=2) - rgb.min(axis=2) > 0.3).mean() > 0.0005


def check_plots(info: dict, expected: int) -> None:
    assert info["figures"] == info["allSvgs"] == expected
    for s in info["svgs"]:
        assert s["w"] > 200 and s["h"] > 120, s
        assert s["shapes"] > 10, s
        assert s["labelled"] and s["title"] and len(s["desc"]) > 40, s


def test_check_report_in_a_browser(browser, tmp_path):
    result = demo.drift_check(600)
    path = tmp_path / "report.html"
    path.write_text(result.to_html(), encoding="utf-8")
    info, errors, shot = open_page(browser, path)
    assert errors == [] and info["resources"] == []  # nothing loaded besides the file itself
    assert info["verdict"].startswith("DRIFT")
    # Eight feature distributions, the embedding projection, response lengths, confidences and the
    # reliability diagram; the query cluster shares once breakdowns are available.
    has_explain = "query" in result.breakdowns
    check_plots(info, len(demo.FEATURE_NAMES) + 4 + has_explain)
    assert info["svgs"][0]["title"] == f"Distribution of {result.columns[0].name}"  # worst column first
    reliability = next(s for s in info["svgs"] if s["title"] == "Reliability diagram of the confidences")
    assert "each point labelled with its bin's request count" in reliability["desc"]
    assert_not_blank(shot)


def test_monitor_report_in_a_browser(browser, tmp_path):
    rng = np.random.default_rng(9)
    t = 1_700_000_000 - 1_700_000_000 % 3600 + np.sort(rng.uniform(0, 10 * 3600, 1500))
    t = t[(t < t[0] + 5 * 3600) | (t > t[0] + 5.9 * 3600)]  # hour 5 is almost empty
    n = t.size
    late = t > t[0] + 7 * 3600
    log = {"timestamp": t, "latency_ms": rng.gamma(4, 80, n) * np.where(late, 2.0, 1.0),
           "confidence": rng.beta(8, 2, n), "correct": rng.random(n) < 0.8,
           "query_embedding": rng.normal(size=(n, 8)).astype(np.float32)}
    m = morvanta.monitor(log, every="1h", min_rows=40)
    assert any(w.status == "too_small" for w in m.windows)
    path = tmp_path / "monitor.html"
    path.write_text(m.to_html(), encoding="utf-8")
    info, errors, shot = open_page(browser, path)
    assert errors == [] and info["resources"] == []
    check_plots(info, 4)  # data, embedding, confidence, query
    assert "drifted window" in info["svgs"][0]["desc"] or "drifted windows" in info["svgs"][0]["desc"]
    # p-values on a logarithmic axis; the banner names the drifted windows by their start.
    assert all("logarithmic axis" in s["desc"] for s in info["svgs"])
    drifted = [w for w in m.windows if w.result is not None and w.result.drifted]
    assert drifted and all(window_label(w.start, w.first_row) in info["verdict"] for w in drifted)
    assert_not_blank(shot)


def test_the_harness_sees_blank_pages_console_errors_and_network_requests(browser, tmp_path):
    path = tmp_path / "noisy.html"
    path.write_text("<!DOCTYPE html><html><head><title>x</title>"
                    "<link rel='stylesheet' href='http://127.0.0.1:9/style.css'></head>"
                    "<body><script>console.error('broken'); undefinedFunction();</script></body></html>")
    info, errors, shot = open_page(browser, path)
    assert info["allSvgs"] == 0 and any("broken" in e for e in errors) and any("undefinedFunction" in e for e in errors)
    assert "network request: http://127.0.0.1:9/style.css" in errors
    with pytest.raises(AssertionError):
        assert_not_blank(shot)


def test_category_chart_in_a_browser(browser, tmp_path):
    from test_report import route_logs

    b, c, _, _ = route_logs()
    path = tmp_path / "cats.html"
    path.write_text(morvanta.check(b, c, seed=5).to_html(), encoding="utf-8")
    info, errors, shot = open_page(browser, path)
    assert errors == [] and info["resources"] == []
    check_plots(info, 2)  # the numeric column's distribution, then the route's shares
    chart = info["svgs"][1]
    assert chart["title"] == "Category shares of route" and "unseen in the baseline: z at" in chart["desc"]
    assert chart["h"] > 300  # a bar pair per category shown: it grows with them
    assert_not_blank(shot)
