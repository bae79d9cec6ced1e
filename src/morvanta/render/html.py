"""Self-contained HTML reports of a pipeline check and of monitoring over time.

One file that opens from disk with no network: a Jinja2 template with inline
CSS and matplotlib figures inlined as SVG (text kept as text, no scripts, no
external fonts). Plots show summaries (quantiles, bin counts, a seeded
subsample's 2-D projection), never the raw rows. Every plot carries a
<title>/<desc> text alternative and tells the windows apart by line style and
marker as well as colour. Equal inputs and seed give byte-identical files.

Needs the ``report`` extra: ``pip install "morvanta[report]"``.
"""

from __future__ import annotations

import io
import math
import threading
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .text import window_label

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

    from ..results import CheckResult, MonitorResult

__all__ = ["render_check", "render_monitor", "projection", "MAX_FEATURE_PLOTS", "PCA_POINTS"]

# matplotlib's settings are process-wide; one page is drawn at a time so that a
# page drawn on another thread never sees this one's settings (or hash salt).
_DRAWING = threading.Lock()
MAX_FEATURE_PLOTS = 12  # worst columns plotted; the table lists every column
PCA_POINTS = 400  # per window, drawn by a seeded subsample
ECDF_POINTS = 201  # quantiles that summarise each distribution
BASE_STYLE = {"color": "#0072B2", "linestyle": "-", "marker": "o", "label": "baseline"}
CUR_STYLE = {"color": "#D55E00", "linestyle": "--", "marker": "s", "label": "current"}
_RC: dict[str, Any] = {
    "svg.fonttype": "none",  # text stays text: smaller, selectable, read by screen readers
    "font.size": 9.0,
    "font.family": "sans-serif",
    "axes.grid": True,
    "grid.alpha": 0.3,
    "figure.dpi": 72.0,
}


def _require() -> None:
    try:
        import jinja2  # noqa: F401
        import matplotlib  # noqa: F401
    except ImportError as err:
        raise ImportError(
            f"the HTML report needs jinja2 and matplotlib ({err.name} is not installed): "
            'pip install "morvanta[report]"'
        ) from None


# ------------------------------------------------------------------ figures


@dataclass
class _Plot:
    svg: str
    caption: str


@dataclass
class _Section:
    dimension: str
    status: str
    verdict: str
    inputs: str = ""
    reason: str | None = None
    metrics: list[tuple[str, str]] = field(default_factory=list)
    plots: list[_Plot] = field(default_factory=list)
    tables: list[dict[str, Any]] = field(default_factory=list)
    unavailable: list[str] = field(default_factory=list)


def _escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


class _Figures:
    """Makes the figures of one page; ids and hash salts are numbered so that
    every SVG's internal ids are unique within the page and fixed across runs."""

    def __init__(self) -> None:
        self.count = 0

    def new(self, width: float = 5.2, height: float = 3.0) -> Any:
        from matplotlib.figure import Figure

        import matplotlib

        with matplotlib.rc_context(_RC):  # type: ignore[arg-type, unused-ignore]
            fig = Figure(figsize=(width, height))
            fig.add_subplot(1, 1, 1)
        return fig

    def svg(self, fig: Any, title: str, desc: str) -> _Plot:
        import matplotlib

        self.count += 1
        ident = f"plot{self.count}"
        buf = io.StringIO()
        rc: dict[str, Any] = dict(_RC, **{"svg.hashsalt": f"morvanta-{ident}"})
        with matplotlib.rc_context(rc):  # type: ignore[arg-type, unused-ignore]
            fig.tight_layout()
            fig.savefig(buf, format="svg", metadata={"Date": None, "Creator": "morvanta"})
        text = buf.getvalue()
        text = text[text.index("<svg") :]
        end = text.index(">") + 1
        head = text[: end - 1]
        head = head.replace(' width="', ' data-width="', 1).replace(' height="', ' data-height="', 1)
        opening = (
            f'{head} role="img" aria-labelledby="{ident}-t {ident}-d" id="{ident}">'
            f'<title id="{ident}-t">{_escape(title)}</title><desc id="{ident}-d">{_escape(desc)}</desc>'
        )
        return _Plot(opening + text[end:], desc)


def _finite(x: NDArray[Any]) -> NDArray[numpy.float64]:
    import numpy as np

    a = np.asarray(x, dtype=np.float64)
    return a[np.isfinite(a)]


def _quantiles(x: NDArray[Any]) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]:
    import numpy as np

    probs = np.linspace(0.0, 1.0, ECDF_POINTS)
    if x.size == 0:
        return np.empty(0), np.empty(0)
    return np.quantile(x, probs, method="inverted_cdf"), probs


def _ecdf(figs: _Figures, name: str, base: Any, cur: Any, what: str, stats: str) -> _Plot:
    import numpy as np

    b, c = _finite(base), _finite(cur)
    fig = figs.new()
    ax = fig.axes[0]
    for data, style in ((b, BASE_STYLE), (c, CUR_STYLE)):
        xs, ps = _quantiles(data)
        if xs.size:
            ax.plot(xs, ps, drawstyle="steps-post", markevery=25, markersize=4, linewidth=1.4,
                    markerfacecolor="none", **style)
    ax.set_xlabel(name)
    ax.set_ylabel("share of requests at or below")
    ax.set_ylim(-0.02, 1.02)
    ax.legend(loc="lower right", frameon=False)
    ax.set_title(f"{name}: {stats}" if stats else name)

    def med(a: NDArray[Any]) -> str:
        return f"{float(np.median(a)):.4g}" if a.size else "n/a"

    desc = (
        f"Cumulative distribution of {what} {name} in the baseline (solid line, circles) and the current "
        f"window (dashed line, squares). Median {med(b)} in the baseline, {med(c)} in the current window. {stats}."
    )
    return figs.svg(fig, f"Distribution of {name}", desc)


def projection(base: Any, cur: Any, seed: int, points: int = PCA_POINTS) -> tuple[Any, Any, Any, tuple[Any, Any]]:
    """The 2-D principal-component projection of a seeded subsample of each window.

    Fitted on the pooled subsample (so a shift between the windows shows), each
    axis's sign fixed by its largest loading. Returns the baseline and current
    points, each axis's share of the variance and the sampled row indices.
    """
    import numpy as np

    rng = np.random.default_rng(seed)
    sb = np.sort(rng.choice(base.shape[0], min(base.shape[0], points), replace=False))
    sc = np.sort(rng.choice(cur.shape[0], min(cur.shape[0], points), replace=False))
    xb = np.ascontiguousarray(base[sb], dtype=np.float64)
    xc = np.ascontiguousarray(cur[sc], dtype=np.float64)
    x = np.concatenate([xb, xc])
    mean = x.mean(axis=0)
    _, s, vt = np.linalg.svd(x - mean, full_matrices=False)
    comps = vt[:2].copy()
    for i in range(comps.shape[0]):  # a fixed sign for each axis
        if comps[i, np.argmax(np.abs(comps[i]))] < 0:
            comps[i] = -comps[i]
    var = s**2
    share = var[:2] / var.sum() if var.sum() > 0 else np.zeros(2)
    return (xb - mean) @ comps.T, (xc - mean) @ comps.T, share, (sb, sc)


def _pca(figs: _Figures, name: str, base: Any, cur: Any, seed: int) -> _Plot:
    pb, pc, share, (sb, sc) = projection(base, cur, seed)
    fig = figs.new(5.2, 3.6)
    ax = fig.axes[0]
    ax.scatter(pb[:, 0], pb[:, 1], s=10, marker="o", facecolors="none", edgecolors=BASE_STYLE["color"],
               linewidths=0.7, label=f"baseline ({len(sb)} sampled)")
    ax.scatter(pc[:, 0], pc[:, 1], s=12, marker="x", c=CUR_STYLE["color"], linewidths=0.7,
               label=f"current ({len(sc)} sampled)")
    ax.set_xlabel(f"PC1 ({share[0]:.0%} of variance)")
    ax.set_ylabel(f"PC2 ({share[1]:.0%} of variance)" if share.size > 1 else "PC2")
    ax.legend(loc="best", frameon=False)
    ax.set_title(f"{name}: 2-D PCA projection")
    shift = pc.mean(axis=0) - pb.mean(axis=0)
    desc = (
        f"Principal-component projection of {name} (seeded subsample of at most {PCA_POINTS} rows per window): "
        f"baseline as hollow circles, current as crosses. The current window's centre lies "
        f"{shift[0]:+.3g} along PC1 and {shift[1]:+.3g} along PC2 from the baseline's."
    )
    return figs.svg(fig, f"Projection of {name}", desc)


def _calibration_bins(conf: NDArray[Any], ok: NDArray[Any], n_bins: int) -> list[tuple[int, float, float]]:
    """(count, mean confidence, accuracy) per equal-width bin of [0, 1]."""
    import numpy as np

    c = np.clip(np.asarray(conf, dtype=np.float64), 0.0, 1.0)
    keep = np.isfinite(c)
    c, o = c[keep], np.asarray(ok, dtype=bool)[keep]
    idx = np.minimum((c * n_bins).astype(np.int64), n_bins - 1)
    out = []
    for i in range(n_bins):
        m = idx == i
        n = int(m.sum())
        out.append((n, float(c[m].mean()) if n else math.nan, float(o[m].mean()) if n else math.nan))
    return out


def _reliability(figs: _Figures, bins: list[dict[str, Any]]) -> _Plot:
    fig = figs.new(4.6, 3.6)
    ax = fig.axes[0]
    ax.plot([0, 1], [0, 1], color="#555555", linestyle=":", linewidth=1, label="perfect calibration")
    lines = []
    counts = []
    for key, style in (("baseline", BASE_STYLE), ("current", CUR_STYLE)):
        pts = [(b[f"{key}_confidence"], b[f"{key}_accuracy"], int(b[f"{key}_count"])) for b in bins
               if b[f"{key}_count"] > 0]
        if pts:
            ax.plot([p[0] for p in pts], [p[1] for p in pts], markersize=5, linewidth=1.4, **style)
            # Each point's request count: a bin of five requests says little about calibration.
            for x, y, n in pts:
                ax.annotate(f"{n:,}", (x, y), textcoords="offset points", xytext=(0, 6 if key == "baseline" else -11),
                            ha="center", fontsize=6.5, color=style["color"])
        counts.append(f"{key} requests per bin: " + ", ".join(f"{p[2]:,}" for p in pts))
        gap = sum(b[f"{key}_count"] * abs(b[f"{key}_confidence"] - b[f"{key}_accuracy"])
                  for b in bins if b[f"{key}_count"] > 0)
        total = sum(b[f"{key}_count"] for b in bins)
        lines.append(f"{key}: calibration error {gap / total:.3f}" if total else f"{key}: no requests")
    ax.set_xlim(0, 1)
    ax.set_ylim(0, 1.02)
    ax.set_xlabel("mean confidence in bin")
    ax.set_ylabel("share correct in bin")
    ax.legend(loc="upper left", frameon=False)
    ax.set_title("Reliability diagram")
    desc = (
        "Accuracy against mean confidence per confidence bin, baseline (solid line, circles) and current window "
        "(dashed line, squares), each point labelled with its bin's request count; points below the dotted "
        "diagonal are overconfident. " + "; ".join(lines) + ". " + "; ".join(counts) + "."
    )
    return figs.svg(fig, "Reliability diagram of the confidences", desc)


def _shares(figs: _Figures, clusters: list[Any]) -> _Plot:
    import numpy as np

    idx = np.arange(len(clusters))
    fig = figs.new(5.6, 3.2)
    ax = fig.axes[0]
    bs = [float(c.baseline_share) for c in clusters]
    cs = [float(c.current_share) for c in clusters]
    ax.bar(idx - 0.2, bs, width=0.4, color=BASE_STYLE["color"], label="baseline")
    ax.bar(idx + 0.2, cs, width=0.4, color="white", edgecolor=CUR_STYLE["color"], hatch="///", label="current")
    for i, c in enumerate(clusters):
        ax.annotate(f"{float(c.contribution):.2f}", (i, max(bs[i], cs[i])), ha="center", va="bottom", fontsize=7)
    ax.set_xticks(idx, [f"#{int(c.index)}" for c in clusters])
    ax.set_xlabel("query cluster (number above: its KL contribution)")
    ax.set_ylabel("share of queries")
    ax.legend(loc="upper right", frameon=False)
    ax.set_title("Query clusters: baseline vs current share")
    top = max(clusters, key=lambda c: float(c.contribution))
    desc = (
        f"Share of queries per cluster, baseline as solid bars, current as hatched bars. The largest KL "
        f"contribution, {float(top.contribution):.3f}, comes from cluster #{int(top.index)}, whose share went "
        f"from {float(top.baseline_share):.1%} to {float(top.current_share):.1%}."
    )
    return figs.svg(fig, "Query cluster shares", desc)


def _category_label(s: dict[str, Any]) -> str:
    """A category's name on the chart and in the table, its kind marked."""
    name = str(s["category"])
    if name == "(other)":  # the values beyond the cap, pooled (never redacted)
        return "(other: the categories beyond the cap)"
    return f"{name} (unseen in baseline)" if s.get("unseen") else name


def _category_rows(c: dict[str, Any]) -> list[dict[str, Any]]:
    """The categories a chart and table show: the moved ones (largest move first), then the unseen."""
    return [*c.get("moved", []), *c.get("unseen", [])]


def _category_chart(figs: _Figures, c: dict[str, Any]) -> _Plot:
    import numpy as np

    shown = _category_rows(c)
    labels = [_category_label(s) for s in shown]
    bs = [float(s["baseline_share"]) for s in shown]
    cs = [float(s["current_share"]) for s in shown]
    idx = np.arange(len(shown))
    fig = figs.new(5.6, max(1.6, 0.75 + 0.42 * len(shown)))
    ax = fig.axes[0]
    ax.barh(idx - 0.2, bs, height=0.4, color=BASE_STYLE["color"], label="baseline")
    ax.barh(idx + 0.2, cs, height=0.4, color="white", edgecolor=CUR_STYLE["color"], hatch="///", label="current")
    for i in idx:
        ax.annotate(f"{bs[i]:.1%} → {cs[i]:.1%}", (max(bs[i], cs[i]), i), xytext=(3, 0),
                    textcoords="offset points", va="center", fontsize=7)
    ax.set_yticks(idx, [_short(label) for label in labels], fontsize=7)
    ax.invert_yaxis()  # the largest move on top
    ax.set_xlim(0, max([*bs, *cs, 0.01]) * 1.5)
    ax.set_xlabel("share of the non-missing rows")
    miss = c.get("missing_share", {})
    mb, mc = miss.get("baseline", math.nan), miss.get("current", math.nan)
    ax.set_title(f"{c['name']}: category shares (missing {_pct(mb)} → {_pct(mc)})")
    ax.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), frameon=False)  # beside the bars, never on them
    moved = [s for s in shown if not s.get("unseen")]
    unseen = [s for s in shown if s.get("unseen")]
    parts = []
    if moved:
        top = moved[0]
        parts.append(f"The largest move: {_category_label(top)} from {float(top['baseline_share']):.1%} to "
                     f"{float(top['current_share']):.1%} of the non-missing rows.")
    if unseen:
        parts.append(f"{len(unseen)} categor{'y' if len(unseen) == 1 else 'ies'} unseen in the baseline: "
                     + ", ".join(f"{s['category']} at {float(s['current_share']):.1%}" for s in unseen) + ".")
    parts.append(f"Missing cells: {_pct(mb)} of the baseline rows, {_pct(mc)} of the current rows.")
    desc = (f"Share of each category of {c['name']} among the non-missing rows, baseline as solid bars, current as "
            f"hatched bars, the {len(moved)} categor{'y' if len(moved) == 1 else 'ies'} whose share moved most "
            f"first. " + " ".join(parts))
    return figs.svg(fig, f"Category shares of {c['name']}", desc)


def _short(label: str, width: int = 32) -> str:
    return label if len(label) <= width else label[: width - 1] + "…"


def _pct(x: Any) -> str:
    return "n/a" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{float(x):.1%}"


def _category_table(c: dict[str, Any]) -> dict[str, Any]:
    rows = []
    for s in _category_rows(c):
        b, cur = float(s["baseline_share"]), float(s["current_share"])
        rows.append([_category_label(s), _pct(b), _pct(cur), f"{(cur - b) * 100:+.1f} pt"])
    miss = c.get("missing_share", {})
    mb, mc = miss.get("baseline", math.nan), miss.get("current", math.nan)
    rows.append(["(missing cells, share of all rows)", _pct(mb), _pct(mc),
                 "n/a" if math.isnan(mb) or math.isnan(mc) else f"{(mc - mb) * 100:+.1f} pt"])
    ps = []
    if c.get("p_adjusted") is not None:
        ps.append(f"adjusted p of its category shares {_p(c['p_adjusted'])}")
    pm = c.get("p_adjusted_missing")
    if pm is not None:  # NaN: the part was left out of the test (no missing cells to move)
        ps.append(f"of its missing share {'not tested' if math.isnan(pm) else _p(pm)}")
    caption = (f"Categories of {c['name']} ({int(c.get('categories', 0)):,} in both windows): moved most, then "
               "unseen in the baseline" + (f"; {', '.join(ps)}" if ps else ""))
    return {"caption": caption, "headers": ["category", "baseline share", "current share", "change"], "rows": rows}


# ------------------------------------------------------------------ check report


def _f(x: Any, digits: int = 4) -> str:
    if x is None:
        return "unavailable"
    x = float(x)
    return "NaN" if math.isnan(x) else f"{x:.{digits}f}"


def _p(x: Any) -> str:
    if x is None:
        return "unavailable"
    x = float(x)
    if math.isnan(x):
        return "NaN"
    return f"{x:.4g}" if x < 0.001 else f"{x:.4f}"


def _verdict(d: Any, alpha: float) -> str:
    if d.status == "skipped":
        return f"not tested: {d.reason}"
    if d.status == "too_small":
        return f"too small to test: {d.reason}"
    s = d.score
    word = "DRIFT" if d.drifted else "no drift"
    floor = ""
    if d.min_effect is not None:
        floor = (f"; the score is below its floor {d.min_effect:g}, so it does not count" if d.below_min_effect
                 else f"; floor {d.min_effect:g}")
    if d.decided_by == "p-value":
        return (f"{word}: Holm-adjusted p = {_p(d.p_adjusted)} {'<=' if d.p_adjusted is not None and d.p_adjusted <= alpha else '>'} "
                f"alpha {alpha:g} (p = {_p(d.p_value)}); score {_f(s.score)}, threshold {_f(s.threshold)} shown as "
                f"evidence{floor}")
    relation = "reached" if s.exceeded else "is below"
    kind = "calibrated threshold" if d.decided_by == "calibrated" else "threshold"
    return f"{word}: score {_f(s.score)} {relation} the {kind} {_f(s.threshold)} ({s.method}){floor}"


def _data_section(sec: _Section, r: CheckResult, figs: _Figures) -> None:
    import numpy as np

    bd = r.breakdowns.get("data")
    per: dict[int, Any] = {}
    if bd is not None:
        per = {int(c.index): c for c in bd.columns}
    else:
        sec.unavailable.append("per-column KS and PSI (shown once breakdowns are available; the column score is "
                               "their maximum)")
    base, cur = r.baseline_log, r.current_log
    d = r.dimension("data")
    col_p: dict[str, float] = {}
    for p in d.parts:
        if p.column is not None and not p.excluded and not math.isnan(p.p_adjusted):
            col_p[p.column] = min(col_p.get(p.column, math.inf), p.p_adjusted)
    by_p = d.decided_by == "p-value"
    rows = []
    for c in r.columns:
        b = per.get(c.index)
        row = [c.name, _f(c.score.score), _f(None if b is None else b.ks),
               "not computed" if b is not None and b.psi is None else _f(None if b is None else b.psi)]
        if by_p:
            pv = col_p.get(c.name)
            row += [_p(pv), "yes" if d.drifted and pv is not None and pv <= r.alpha else "no"]
        else:
            row.append("yes" if c.score.exceeded else "no")
        rows.append(row)
    headers = ["column", "score", "KS", "PSI", *(["adjusted p"] if by_p else []), "drifted"]
    if r.columns or not r.categorical:
        sec.tables.append({"caption": "Feature columns, worst first", "headers": headers, "rows": rows})
    if base is None or cur is None:
        sec.unavailable.append("distribution plots (the baseline is a saved summary, not rows)")
        return
    for c in r.columns[:MAX_FEATURE_PLOTS]:
        b = per.get(c.index)
        stats = f"score {_f(c.score.score, 3)}"
        if b is not None:
            stats += f", KS {_f(b.ks, 3)}" + (f", PSI {_f(b.psi, 3)}" if b.psi is not None else "")
        bj, cj = base.feature_names.index(c.name), cur.feature_names.index(c.name)
        sec.plots.append(_ecdf(figs, c.name, base.features[:, bj], cur.features[:, cj], "feature", stats))
    if len(r.columns) > MAX_FEATURE_PLOTS:
        sec.unavailable.append(f"plots of the {len(r.columns) - MAX_FEATURE_PLOTS} better-matching columns "
                               f"(the {MAX_FEATURE_PLOTS} worst are drawn)")
    del np


def _check_sections(r: CheckResult, figs: _Figures) -> list[_Section]:
    base, cur = r.baseline_log, r.current_log
    sections = []
    for d in r.dimensions:
        sec = _Section(d.dimension, d.status, _verdict(d, r.alpha), d.inputs, d.reason)
        sections.append(sec)
        if d.status != "scored":
            continue
        if d.p_value is not None:
            sec.metrics += [("p-value", _p(d.p_value)), ("Holm-adjusted p-value", _p(d.p_adjusted)),
                            ("statistic", d.statistic or ""),
                            ("permutations run", f"{d.permutations_run:,}" if d.permutations_run is not None else "")]
            if d.rows_tested is not None:
                tested = f"{d.rows_tested[0]:,} baseline, {d.rows_tested[1]:,} current"
                if d.sampled and d.rows_given is not None:
                    tested += f" (sampled from {d.rows_given[0]:,} and {d.rows_given[1]:,})"
                sec.metrics.append(("rows tested", tested))
            shown = d.contributors(r.alpha) if d.dimension != "data" else []
            if shown:
                sec.tables.append({"caption": f"Parts at or below alpha {r.alpha:g} after adjustment",
                                   "headers": ["part", "statistic", "p-value", "adjusted p"],
                                   "rows": [[p.name, _f(p.statistic, 6), _p(p.p_value), _p(p.p_adjusted)]
                                            for p in shown]})
        bd = r.breakdowns.get(d.dimension)
        if d.dimension == "data":
            _data_section(sec, r, figs)
            for cat in r.categorical:
                # Drawn from the check's own summary (shares, not rows), so a saved baseline can show it
                # too and redacted values stay redacted.
                if _category_rows(cat):
                    sec.plots.append(_category_chart(figs, cat))
                sec.tables.append(_category_table(cat))
            continue
        if base is None or cur is None:
            sec.unavailable.append("plots (the baseline is a saved summary, not rows)")
        if d.dimension == "embedding":
            if bd is not None:
                sec.metrics += [("MMD² (before clamping at 0)", _f(bd.mmd2, 6)),
                                ("sliced Wasserstein", _f(bd.sliced_wasserstein, 6)),
                                ("kernel bandwidth σ", _f(bd.bandwidth, 6))]
            if base is not None and cur is not None:
                sec.plots.append(_pca(figs, base.embedding_column or "embeddings", base.embeddings,
                                      cur.embeddings, r.seed))
        elif d.dimension == "response":
            if bd is not None:
                sec.metrics += [("KS of lengths", _f(bd.ks, 6)),
                                ("sliced Wasserstein of embeddings", _f(bd.sliced_wasserstein, 6))]
            if base is not None and cur is not None:
                ks = f"score {_f(d.score.score if d.score else None, 3)}"
                sec.plots.append(_ecdf(figs, "response length", base.response_lengths, cur.response_lengths,
                                       f"the {base.length_column}", ks))
        elif d.dimension == "confidence":
            with_ok = base is not None and cur is not None and base.correct is not None and cur.correct is not None
            if bd is not None:
                sec.metrics += [("KS of confidences", _f(bd.ks, 6)),
                                ("calibration error, baseline", _f(bd.ece_baseline, 6)),
                                ("calibration error, current", _f(bd.ece_current, 6))]
            if base is not None and cur is not None:
                sec.plots.append(_ecdf(figs, "confidence", base.confidences, cur.confidences, "the model's",
                                       f"score {_f(d.score.score if d.score else None, 3)}"))
            if bd is not None and getattr(bd, "bins", None):
                bins = [{k: getattr(b, k) for k in ("lower", "upper", "baseline_count", "current_count",
                                                    "baseline_confidence", "baseline_accuracy",
                                                    "current_confidence", "current_accuracy")} for b in bd.bins]
                sec.plots.append(_reliability(figs, bins))
            elif with_ok:
                n_bins = _calib_bins(r.detectors.get("confidence"))
                assert base is not None and cur is not None
                bb = _calibration_bins(base.confidences, base.correct, n_bins)  # type: ignore[arg-type]
                cb = _calibration_bins(cur.confidences, cur.correct, n_bins)  # type: ignore[arg-type]
                bins = [{"baseline_count": x[0], "baseline_confidence": x[1], "baseline_accuracy": x[2],
                         "current_count": y[0], "current_confidence": y[1], "current_accuracy": y[2]}
                        for x, y in zip(bb, cb)]
                sec.plots.append(_reliability(figs, bins))
        elif d.dimension == "query":
            if bd is not None and getattr(bd, "clusters", None):
                sec.plots.append(_shares(figs, list(bd.clusters)))
                rows = [[f"#{int(c.index)}", f"{float(c.baseline_share):.1%}", f"{float(c.current_share):.1%}",
                         _f(c.contribution)] for c in sorted(bd.clusters, key=lambda c: -float(c.contribution))]
                sec.tables.append({"caption": "Query clusters, largest KL contribution first",
                                   "headers": ["cluster", "baseline share", "current share", "KL contribution"],
                                   "rows": rows})
            else:
                sec.unavailable.append("cluster shares and their KL contributions (shown once breakdowns are "
                                       "available)")
    return sections


def _calib_bins(det: Any) -> int:
    """The confidence detector's calibration bins (its settings, read from the engine); 10 without one."""
    from ..dimensions import settings_of

    try:
        n = int(settings_of(det)["n_calib_bins"])
    except (TypeError, KeyError):
        return 10
    return n if n > 0 else 10


def _template() -> Any:
    import importlib.resources

    import jinja2

    text = importlib.resources.files("morvanta.render").joinpath("templates/report.html.j2").read_text(encoding="utf-8")
    env = jinja2.Environment(autoescape=True, trim_blocks=True, lstrip_blocks=True, undefined=jinja2.StrictUndefined)
    return env.from_string(text)


def render_check(r: CheckResult) -> str:
    """The HTML report of a :class:`~morvanta.check.CheckResult`."""
    _require()
    import jinja2

    figs = _Figures()
    with _DRAWING:
        sections = _check_sections(r, figs)
    for s in sections:
        for p in s.plots:
            p.svg = jinja2.utils.markupsafe.Markup(p.svg)  # type: ignore[attr-defined]
    drifted = [d.dimension for d in r.dimensions if d.drifted]
    n = len(r.scored)
    if n == 0:
        verdict = "Nothing to test: no dimension could be scored."
    elif drifted:
        verdict = f"Drift in {', '.join(drifted)} ({len(drifted)} of {n} dimensions tested)."
    else:
        verdict = f"No drift in any of the {n} dimensions tested."
    from .text import decision_line

    decided = decision_line(r)[len("decided by: "):]
    rows = []
    for d in r.dimensions:
        sc = d.score
        rows.append({
            "dimension": d.dimension,
            "status": {"scored": "tested", "skipped": "not tested", "too_small": "too small"}[d.status],
            "score": _f(sc.score) if sc else "–",
            "threshold": _f(sc.threshold) if sc else "–",
            "p": _p(d.p_value) if d.p_value is not None else "–",
            "p_adj": _p(d.p_adjusted) if d.p_adjusted is not None else "–",
            "drifted": "yes" if d.drifted else (("no (below floor)" if d.below_min_effect else "no") if sc else "–"),
            "method": sc.method if sc else (d.reason or ""),
        })
    return str(_template().render(
        kind="check",
        title="morvanta drift report",
        verdict=verdict,
        drifted=r.drifted,
        state="none" if n == 0 else ("drift" if r.drifted else "ok"),
        baseline=r.baseline_source,
        current=r.current_source,
        n_baseline=f"{r.n_baseline:,}",
        n_current=f"{r.n_current:,}",
        p_values=r.decide == "p-value",
        decided=decided,
        alpha=r.alpha,
        n_permutations=r.n_permutations,
        seed=r.seed,
        calibration=r.calibration,
        rows=rows,
        top=r.top_contributors(),
        notes=r.notes,
        sections=sections,
        plot_count=figs.count,
    ))


# ------------------------------------------------------------------ monitor report


def _dates(windows: list[Any], limit: int = 20) -> str:
    """Windows named by their start (or first row), the first ``limit`` of them."""
    names = [window_label(w.start, w.first_row) for w in windows[:limit]]
    more = f" and {len(windows) - limit:,} more" if len(windows) > limit else ""
    return ", ".join(names) + more


def _timeline(figs: _Figures, dim: str, m: MonitorResult) -> _Plot:
    import numpy as np

    xs, ys, drifted, small = [], [], [], []
    threshold = None
    gaps = [w for w in m.windows if w.status == "gap"]
    drifted_windows = []
    for w in m.windows:
        if w.status == "gap":  # the line breaks there: no requests, no score to join across
            xs.append(w.index)
            ys.append(np.nan)
            continue
        if w.status != "checked" or w.result is None:
            small.append(w.index)
            continue
        d = w.result.dimension(dim)
        if d.score is None:
            small.append(w.index)
            continue
        y = d.p_adjusted if m.p_values else d.score.score
        threshold = m.alpha if m.p_values else d.score.threshold
        xs.append(w.index)
        ys.append(np.nan if y is None else y)
        if d.drifted:
            drifted.append((w.index, y))
            drifted_windows.append(w)
    fig = figs.new(6.4, 2.8)
    ax = fig.axes[0]
    what = "Holm-adjusted p-value" if m.p_values else "score"
    bottom = 0.0
    if m.p_values:
        # p-values span decades: on a log axis 0.001 and 0.01 are as far apart as 0.1 and 1.
        ax.set_yscale("log")
        finite = [v for v in ys if v is not None and np.isfinite(v) and v > 0]
        bottom = min([*finite, m.alpha]) / 3
        ax.set_ylim(bottom, 1.6)
    ax.plot(xs, ys, color=BASE_STYLE["color"], linestyle="-", marker="o", markersize=4, linewidth=1.2, label=what)
    if threshold is not None:
        ax.axhline(threshold, color="#555555", linestyle="--", linewidth=1,
                   label=f"{'alpha' if m.p_values else 'threshold'} {threshold:g}")
    if drifted:
        ax.plot([p[0] for p in drifted], [p[1] for p in drifted], linestyle="none", marker="X", markersize=9,
                color=CUR_STYLE["color"], label="drifted window")
    if small:
        ax.plot(small, [bottom * 1.3 if m.p_values else 0.0] * len(small), linestyle="none", marker="|",
                markersize=12, color="#777777", label="too small or not tested")
    for i, g in enumerate(gaps):
        # A gap spans its empty periods on the period axis; hatched, so it reads without colour.
        ax.axvspan(g.index - 0.5, g.index + (g.periods or 1) - 0.5, facecolor="#f4d58d", edgecolor="#9a7b00",
                   hatch="//", alpha=0.5, linewidth=0.5, label="no requests (gap)" if i == 0 else None)
    labels = [w for w in m.windows if w.status != "gap"]
    step = max(1, len(labels) // 8)
    ticks = [w.index for w in labels[::step]]
    names = [window_label(w.start, w.first_row) for w in labels[::step]]
    ax.set_xticks(ticks, names, rotation=20, ha="right", fontsize=7)
    ax.set_ylabel(what + (" (log scale)" if m.p_values else ""))
    ax.set_xlabel("window start (UTC)" if m.every is not None else "window (first row)")
    ax.legend(loc="best", frameon=False, fontsize=7)
    ax.set_title(f"{dim}: {what} per window")
    n_windows = len(m.windows) - len(gaps)
    desc = (
        f"{what.capitalize()} of the {dim} dimension for each of {n_windows} windows (line with circles"
        + (", logarithmic axis" if m.p_values else "") + "), "
        f"the {'significance level' if m.p_values else 'threshold'} as a dashed line, "
        f"{len(drifted)} drifted window{'s' if len(drifted) != 1 else ''} marked with large crosses"
        + (f" ({_dates(drifted_windows)})" if drifted else "")
        + f", {len(small)} window{'s' if len(small) != 1 else ''} too small or not tested marked at the bottom"
        + (f", {len(gaps)} gap{'s' if len(gaps) != 1 else ''} without requests shaded" if gaps else "")
        + "."
    )
    return figs.svg(fig, f"{dim} over time", desc)


def _monitor_verdict(m: MonitorResult) -> tuple[str, str]:
    """(state, sentence) of the page's verdict; never "OK" when nothing was checked."""
    checked = m.checked
    gaps = m.gaps
    gap_text = (f" {len(gaps)} gap{'s' if len(gaps) != 1 else ''} without requests "
                f"({sum(g.periods or 0 for g in gaps):,} empty periods).") if gaps else ""
    if not m.scored:
        why = (m.notes[0] if m.notes else "no window could be scored").rstrip(".")
        return "none", f"Nothing to test: {why}." + gap_text
    drifted = m.drifted_windows
    chance = m.expected_false_alarms
    by_chance = (f" (at alpha {m.alpha:g} each, about {chance:.3g} of the {len(checked)} would drift by chance)"
                 if chance is not None else "")
    if m.persist is not None:
        k, n = m.persist
        alerts = [w for w in m.windows if w.alert]
        state = "drift" if alerts else "ok"
        if alerts:
            text = (f"{len(alerts)} window{'s' if len(alerts) != 1 else ''} alerted, {k} of the last {n} checked "
                    f"having drifted: {_dates(alerts)}. ")
        else:
            text = f"No alert: never {k} drifted windows among the last {n} checked. "
        text += f"{len(drifted)} of {len(checked)} windows checked drifted{by_chance}"
        text += f": {_dates(drifted)}." if drifted else "."
        return state, text + gap_text
    state = "drift" if drifted else "ok"
    text = f"{len(drifted)} of {len(checked)} windows checked drifted{by_chance}"
    text += f": {_dates(drifted)}." if drifted else "."
    return state, text + gap_text


def render_monitor(m: MonitorResult) -> str:
    """The HTML page of a :class:`~morvanta.results.MonitorResult`: one time chart per dimension."""
    _require()
    import jinja2

    from ..dimensions import NAMES as DIMENSIONS

    figs = _Figures()
    tested = [dim for dim in DIMENSIONS if any(
        w.result is not None and w.result.dimension(dim).score is not None for w in m.windows)]
    plots = []
    for dim in tested:
        with _DRAWING:
            p = _timeline(figs, dim, m)
        p.svg = jinja2.utils.markupsafe.Markup(p.svg)  # type: ignore[attr-defined]
        plots.append({"dimension": dim, "plot": p})
    rows = []
    for w in m.windows:
        drifted = [d.dimension for d in w.result.dimensions if d.drifted] if w.result is not None else []
        if w.status == "gap":
            what = f"– ({w.reason}, until {window_label(w.end, w.first_row)})"
        else:
            what = ", ".join(drifted) if drifted else ("–" if w.result is None else "none")
            if m.persist is not None and w.alert:
                what += " (alert)"
        rows.append({
            "index": w.index,
            "start": window_label(w.start, w.first_row),
            "rows": f"{w.rows:,}",
            "status": {"checked": "checked", "too_small": "too small", "gap": "gap"}.get(w.status, w.status),
            "drifted": what,
        })
    state, verdict = _monitor_verdict(m)
    return str(_template().render(
        kind="monitor",
        title="morvanta drift over time",
        verdict=verdict,
        drifted=state == "drift",
        state=state,
        source=m.source,
        baseline=m.baseline_source,
        n_baseline=f"{m.baseline_rows:,}",
        p_values=m.p_values,
        alpha=m.alpha,
        min_rows=m.min_rows,
        n_checked=len(m.checked),
        timelines=plots,
        windows=rows,
        notes=m.notes,
        plot_count=figs.count,
    ))
