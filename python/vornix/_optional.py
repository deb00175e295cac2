"""Optional dependencies: imported only where a user asks for what they give."""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["require"]

# Module -> the extra of the vornix distribution that installs it.
_EXTRAS = {"pandas": "pandas", "scipy": "sparse", "scipy.sparse": "sparse", "matplotlib": "plot",
           "distributed": "distributed", "dask": "distributed"}


def require(module: str, purpose: str) -> ModuleType:
    """Imports `module`, or raises ImportError saying what to install.

    Examples
    --------
    >>> require("math", "arithmetic").sqrt(4.0)
    2.0
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        extra = _EXTRAS.get(module)
        hint = f"pip install 'vornix[{extra}]'" if extra else f"pip install {module.split('.')[0]}"
        raise ImportError(f"{purpose} needs {module.split('.')[0]}, which is not installed: {hint}") from error
