"""Optional dependencies, imported lazily in one place.

The base install needs NumPy only; every other library is imported by the
first call that needs it, through :func:`require`, which names the extra that
provides it. Frames are recognised with :func:`loaded`, which never imports a
library on the caller's behalf (a frame can only exist if its library is
already imported).
"""

from __future__ import annotations

import importlib
import sys
from types import ModuleType

__all__ = ["MissingDependency", "require", "loaded", "EXTRAS"]

#: Top-level module -> (pip package, the morvanta extra that installs it).
EXTRAS: dict[str, tuple[str, str]] = {
    "pandas": ("pandas", "dask"),
    "polars": ("polars", ""),
    "pyarrow": ("pyarrow", ""),
    "jinja2": ("jinja2", "report"),
    "matplotlib": ("matplotlib", "report"),
    "dask": ("dask[dataframe]", "dask"),
    "distributed": ("distributed", "dask"),
    "tomli": ("tomli", ""),
    "onnxruntime": ("onnxruntime", "embed"),
    "tokenizers": ("tokenizers", "embed"),
    # Not in the extra: it brings torch, whose default wheels carry GPU libraries of
    # several GB; the ONNX runtime of the extra needs none of it.
    "sentence_transformers": ("sentence-transformers", ""),
    "torch": ("torch", ""),
}


class MissingDependency(ImportError):
    """An optional library a call needs is not installed; the message says how to get it."""


def require(module: str, purpose: str) -> ModuleType:
    """Imports ``module`` (e.g. "pyarrow.parquet") or raises :class:`MissingDependency`
    saying what needs it (``purpose``, e.g. "reading 'logs.parquet'") and what to install."""
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".", 1)[0]
        package, extra = EXTRAS.get(top, (top, ""))
        # The package is installed from a clone, not from an index: name the
        # packages themselves, and the extra for a reinstall from the clone.
        how = f"pip install {package}" + (f', or pip install ".[{extra}]" in a clone of morvanta' if extra else "")
        raise MissingDependency(f"{purpose} needs {package}, which is not installed ({how})") from None


def loaded(module: str) -> ModuleType | None:
    """The module if it is already imported, else None (never imports it)."""
    return sys.modules.get(module)
