"""The ``vornix`` command.

Each subcommand lives in its own module of this package and is listed once in
:data:`SUBCOMMANDS`. A subcommand module defines:

``NAME``
    the subcommand's name on the command line;
``SUMMARY``
    one line for ``vornix --help``;
``DESCRIPTION``
    the text at the top of ``vornix NAME --help``;
``configure(parser)``
    adds its arguments to an :class:`argparse.ArgumentParser`;
``run(args)``
    does the work; returns an exit status or None for success.

User errors (a bad file, bad Newick, a bad rate) raise :class:`UserError`,
``ValueError`` or ``OSError``; :func:`main` turns them into one line on
standard error and exit status 2, without a traceback.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Sequence
from types import ModuleType

from vornix import __version__
from vornix.cli._common import OneLineParser, UserError, fail, one_line, remember_command_line

__all__ = ["SUBCOMMANDS", "main", "build_parser", "UserError"]

# Module names under vornix.cli, in the order `vornix --help` lists them.
SUBCOMMANDS: tuple[str, ...] = (
    "species_tree",
    "simulate",
    "genome",
    "profiles",
    "score",
    "fit",
    "report",
)


def _load(module: str) -> ModuleType:
    return importlib.import_module(f"vornix.cli.{module}")


def build_parser() -> argparse.ArgumentParser:
    """The parser of the ``vornix`` command with every subcommand."""
    parser = OneLineParser(
        prog="vornix",
        description="Simulate gene families and genomes along dated species trees.",
    )
    parser.add_argument("--version", action="version", version=f"vornix {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=OneLineParser)
    commands.required = True
    for module_name in SUBCOMMANDS:
        module = _load(module_name)
        sub = commands.add_parser(
            module.NAME,
            help=module.SUMMARY,
            description=module.DESCRIPTION,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        sub.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
        module.configure(sub)
        sub.set_defaults(_run=module.run, _prog=sub.prog)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the ``vornix`` command; returns its exit status.

    Examples
    --------
    >>> main(["--version"])  # doctest: +SKIP
    vornix 0.2.0
    """
    parser = build_parser()
    command_line = list(sys.argv[1:] if argv is None else argv)
    args = parser.parse_args(command_line)
    remember_command_line(command_line)
    prog = args._prog
    try:
        status = args._run(args)
    except BrokenPipeError:
        # The reader went away (as `vornix ... | head` does): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except (UserError, ValueError, OSError, ImportError, OverflowError) as error:
        return fail(prog, one_line(error))
    except MemoryError as error:
        return fail(prog, "out of memory: " + (one_line(error) or "the run does not fit"))
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    return int(status or 0)


def entry_point() -> None:
    """The console script: exits with :func:`main`'s status."""
    sys.exit(main())
