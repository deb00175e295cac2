"""What every subcommand shares: one-line errors, progress on a terminal."""

from __future__ import annotations

import argparse
import sys
from typing import Any, NoReturn

__all__ = ["UserError", "OneLineParser", "fail", "one_line", "progress", "say", "remember_command_line", "command_line"]


class UserError(Exception):
    """A mistake in what the user asked for: reported in one line, status 2."""


def one_line(error: BaseException) -> str:
    """The error's message on one line (file errors keep their file name)."""
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        text = f"{error.filename}: {error.strerror}"
    else:
        text = str(error)
        if isinstance(error, KeyError) and error.args:
            text = str(error.args[0])
    return " ".join(text.split())


def fail(prog: str, message: str) -> int:
    """Prints ``prog: error: message`` on standard error; returns 2."""
    print(f"{prog}: error: {message}", file=sys.stderr)
    return 2


class OneLineParser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line, status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {' '.join(message.split())} (see {self.prog} --help)\n")


def say(args: argparse.Namespace, text: str) -> None:
    """Prints a line on standard output unless --quiet."""
    if not args.quiet:
        print(text, flush=True)


class _Silent:
    def update(self, n: int = 1) -> None:
        del n

    def set_description(self, text: str) -> None:
        del text

    def close(self) -> None:
        pass

    def __enter__(self) -> _Silent:
        return self

    def __exit__(self, *exc: Any) -> None:
        pass


def progress(args: argparse.Namespace, total: int, unit: str, description: str) -> Any:
    """A progress bar on standard error, shown only on a terminal.

    Use it as a context manager; call ``update()`` once per unit of work and
    ``set_description()`` to name the current stage.
    """
    if args.quiet or not sys.stderr.isatty():
        return _Silent()
    from tqdm import tqdm

    return tqdm(total=total, unit=unit, desc=description, file=sys.stderr, leave=False, dynamic_ncols=True)


# The arguments of the running `vornix` command, as main() received them
# (a caller from Python passes its own list instead of sys.argv).
_command_line: list[str] = []


def remember_command_line(argv: list[str]) -> None:
    """Keep the arguments of this run of the command (for run.json)."""
    _command_line[:] = argv


def command_line() -> list[str]:
    """The arguments of this run of the command."""
    return list(_command_line)
