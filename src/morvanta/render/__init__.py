"""Rendering: the result records as text tables, JSON, Prometheus text and HTML.

Written once and used by the command line, the HTML report and the result
records' own ``summary``/``to_prometheus``/``to_html`` methods. Nothing here
computes a score.

What monitors and dashboards may rely on:

- JSON (``morvanta check --json``, ``CheckResult.to_json``) and JSON Lines
  (``morvanta monitor``, ``MonitorResult.to_jsonl``) start every object with
  ``"schema_version": 1``. Within a version the field names and their meaning
  stay as they are; fields may be added, never renamed or removed. A change that
  breaks a reader raises the version.
- Prometheus metric names (``morvanta_drift_score``, ``morvanta_drift_threshold``,
  ``morvanta_drift_detected``, ``morvanta_drift_any``, ``morvanta_drift_p_value``,
  ``morvanta_drift_p_value_adjusted``, ``morvanta_drift_window_rows``,
  ``morvanta_drift_check_timestamp_seconds``, ``morvanta_drift_column_score``) and
  their label names (``dimension``, ``window``, ``column``) are stable in the same
  way. Label values are escaped as the text format says (backslash, double quote,
  line feed) and every other control character becomes U+FFFD, so a column name
  can never break a line or forge a series.
- Text for the terminal (tables, notes, verdicts, error lines) shows control
  characters escaped (``\\r``, ``\\x1b``), so data cannot move the cursor or
  recolour the screen; it is for people and may change between releases.
"""
