"""The examples in the package's docstrings run as written."""
import doctest
import importlib
import pkgutil

import pytest

import vornix

MODULES = sorted(
    info.name for info in pkgutil.walk_packages(vornix.__path__, "vornix.")
    if not info.name.endswith("__main__") and not info.name.endswith("._native")
)


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # examples that write files write them here
    module = importlib.import_module(name)
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE, verbose=False)
    assert result.failed == 0, f"{result.failed} of {result.attempted} examples failed in {name}"
