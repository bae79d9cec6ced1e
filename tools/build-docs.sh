#!/usr/bin/env bash
# Builds the documentation site (MkDocs + Material + mkdocstrings) into
# build/docs-site, with every warning an error: a broken link, a missing page or
# an API name the docstrings no longer have fails the build. Prints its time.
#
#   tools/build-docs.sh [SITE_DIR]         (needs: pip install ".[docs]")
#   python3 -m mkdocs serve                (live preview while writing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
site=${1:-$root/build/docs-site}
start=$(date +%s%N)
NO_MKDOCS_2_WARNING=1 python3 -m mkdocs build --strict --quiet --config-file "$root/mkdocs.yml" --site-dir "$site"
ms=$(( ($(date +%s%N) - start) / 1000000 ))
printf 'docs: built %s in %d.%d s\n' "$site" $((ms / 1000)) $((ms % 1000 / 100))
