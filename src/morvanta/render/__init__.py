"""Rendering: the result records as text tables, JSON, Prometheus text and HTML.

Written once and used by the command line, the HTML report and the result
records' own ``summary``/``to_prometheus``/``to_html`` methods. Nothing here
computes a score.
"""
