"""MkDocs hook: the package's docstrings cross-reference with Sphinx roles
(:class:`X`); in the rendered API pages the role prefix is dropped and the name
stays as code."""

import re

_ROLE = re.compile(r":(?:class|func|meth|attr|mod|data|exc|obj):(?=<code>)")


def on_page_content(html, **kwargs):
    return _ROLE.sub("", html)
