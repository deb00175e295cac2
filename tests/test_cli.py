"""The vornix command: one-line errors with status 2, help on every
subcommand."""
import os
import subprocess
import sys

import pytest

from vornix.cli import SUBCOMMANDS, build_parser, main

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_cli(*args, cwd=None, stdin=None):
    """Runs `python -m vornix ARGS` in a child process."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "vornix", *args], cwd=cwd, env=env, input=stdin,
                          capture_output=True, text=True, timeout=120)


def test_every_subcommand_has_help_with_defaults():
    parser = build_parser()
    actions = {a.dest: a for a in parser._actions}
    commands = actions["command"].choices
    assert len(commands) == len(SUBCOMMANDS)
    for name, sub in commands.items():
        text = sub.format_help()
        assert "--quiet" in text, name
        for action in sub._actions:
            if action.default not in (None, False) and action.help and action.dest not in ("help",):
                assert "default" in action.help, (name, action.dest)


@pytest.mark.parametrize("args, pattern", [
    (["no-such-command"], "invalid choice"),
    ([], "required"),
    (["species-tree", "--extant", "many"], "invalid int value"),
])
def test_usage_errors_are_one_line_with_status_2(args, pattern):
    done = run_cli(*args)
    assert done.returncode == 2
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and pattern in lines[0] and lines[0].startswith("vornix"), done.stderr
    assert "Traceback" not in done.stderr


def test_main_reports_user_errors_in_one_line(capsys, tmp_path):
    missing = tmp_path / "nothing" / "here.nwk"
    assert main(["species-tree", "--extant", "1", "--seed", "-3", "-o", str(missing)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("vornix species-tree: error:")


def test_version():
    done = run_cli("--version")
    assert done.returncode == 0 and done.stdout.startswith("vornix ")
