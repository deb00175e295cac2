"""``python -m vornix.cli``: the ``vornix`` command."""

from vornix.cli import entry_point

entry_point()
