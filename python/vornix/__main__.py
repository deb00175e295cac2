"""``python -m vornix``: the ``vornix`` command."""

from vornix.cli import entry_point

entry_point()
