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


# -- subcommands -----------------------------------------------------------------

import filecmp  # noqa: E402
import json  # noqa: E402

import numpy as np  # noqa: E402

import vornix_core as vc  # noqa: E402
from vornix import SpeciesTree, simulate_genomes, simulate_profiles  # noqa: E402
from vornix._seeds import replicate_seed  # noqa: E402
from vornix.examples import example_tree  # noqa: E402

SPECIES = "((A:1,B:1)AB:1,((C:1.5,X:0.5)CX:0.25,D:1.75)CD:0.25)root;\n"


def same_tree_of_files(a, b, ignore=("run.json",)):
    compared = filecmp.dircmp(a, b, ignore=list(ignore))
    stack = [compared]
    while stack:
        d = stack.pop()
        assert not d.left_only and not d.right_only and not d.diff_files and not d.funny_files, d.report()
        match, mismatch, errors = filecmp.cmpfiles(d.left, d.right, d.common_files, shallow=False)
        assert not mismatch and not errors
        stack.extend(d.subdirs.values())


class TestSimulate:
    def test_writes_what_simulate_and_write_writes_plus_run_json(self, tmp_path, capsys):
        (tmp_path / "sp.nwk").write_text(SPECIES)
        argv = ["simulate", str(tmp_path / "sp.nwk"), "--duplication", "0.3", "--transfer", "0.2", "--loss", "0.25",
                "--origination", "1", "--initial-size", "7", "--seed", "7", "--cap", "4", "--replacement", "0.5",
                "--distance-decay", "0.5", "--allow-self", "--out", str(tmp_path / "ours")]
        assert main(argv) == 0
        assert "gene families" in capsys.readouterr().out
        tree = SpeciesTree.read(tmp_path / "sp.nwk")
        vc.simulate_and_write(**tree.core_args(), names=tree.names.tolist(), duplication=0.3, transfer=0.2, loss=0.25,
                              origination=1.0, initial_size=7, cap=4, seed=7, replacement=0.5, distance_decay=0.5,
                              allow_self=True, total_age=tree.age, outdir=str(tmp_path / "core"))
        same_tree_of_files(tmp_path / "ours", tmp_path / "core")
        record = json.loads((tmp_path / "ours" / "run.json").read_text())
        assert record["seed"] == 7 and record["version"] and record["command"] == "simulate"
        assert record["arguments"] == dict(duplication=0.3, transfer=0.2, loss=0.25, origination=1.0, initial_size=7,
                                           seed=7, cap=4, replacement=0.5, distance_decay=0.5, allow_self=True)
        assert record["species_tree"]["path"].endswith("sp.nwk") and len(record["species_tree"]["sha256"]) == 64
        assert record["argv"] == argv  # the arguments main() ran with, not the test runner's

    def test_without_a_tree_runs_the_example_and_records_a_fresh_seed(self, tmp_path, capsys):
        assert main(["simulate", "-q", "--out", str(tmp_path / "a")]) == 0
        assert capsys.readouterr().out == ""
        record = json.loads((tmp_path / "a" / "run.json").read_text())
        assert record["species_tree"] == {"example": True}
        # The recorded seed repeats the run exactly.
        assert main(["simulate", "-q", "--seed", str(record["seed"]), "--out", str(tmp_path / "b")]) == 0
        same_tree_of_files(tmp_path / "a", tmp_path / "b")
        profile = (tmp_path / "a" / "Profiles.tsv").read_text().splitlines()[0].split("\t")
        assert sorted(profile[1:]) == sorted(example_tree().extant_names)

    @pytest.mark.parametrize("args, pattern", [
        (["simulate", "{dir}/missing.nwk"], r"missing.nwk: No such file or directory"),
        (["simulate", "{dir}/bad.nwk"], r"bad.nwk: line 2, column 5: expected .\). to close"),
        (["simulate", "{dir}/sp.nwk", "--loss", "-1"], r"loss must be a finite rate >= 0, got -1.0"),
        (["simulate", "{dir}/sp.nwk", "--cap", "-2"], r"cap must be None"),
        (["simulate", "{dir}/sp.nwk", "--out", "{dir}/sp.nwk/out"], r"cannot write .*sp.nwk/out: Not a directory"),
        (["simulate", "{dir}/sp.nwk", "--loss", "x"], r"argument --loss: invalid float value: 'x'"),
        (["profiles", "{dir}/sp.nwk", "--replicates", "2"], r"--replicates needs --output"),
        (["genome", "{dir}/sp.nwk", "--root-length", "0"], r"root_length must be an integer in 1\.\."),
    ])
    def test_user_errors_exit_2_with_one_line(self, tmp_path, args, pattern):
        (tmp_path / "sp.nwk").write_text(SPECIES)
        (tmp_path / "bad.nwk").write_text("((A:1,B:1):1,\n C:2;\n")
        done = run_cli(*[a.format(dir=tmp_path) for a in args], cwd=tmp_path)
        assert done.returncode == 2, done.stderr
        lines = done.stderr.splitlines()
        assert len(lines) == 1 and "Traceback" not in done.stderr
        assert __import__("re").search(pattern, lines[0]), lines[0]


class TestProfilesAndGenome:
    def test_profiles_file_holds_the_simulated_counts(self, tmp_path):
        (tmp_path / "sp.nwk").write_text(SPECIES)
        out = tmp_path / "p.tsv"
        assert main(["profiles", "-q", str(tmp_path / "sp.nwk"), "--initial-size", "30", "--seed", "5",
                     "-o", str(out)]) == 0
        tree = SpeciesTree.read(tmp_path / "sp.nwk")
        sim = simulate_profiles(tree, initial_size=30, seed=5)
        lines = out.read_text().splitlines()
        header = lines[0].split("\t")
        assert header == ["family", "A", "B", "C", "D"]
        matrix = sim.profile()
        rows = {name: i for i, name in enumerate(sim.species)}
        expected = [j for j in range(matrix.shape[1]) if matrix[:, j].any()]
        assert [int(line.split("\t")[0]) for line in lines[1:]] == [j + 1 for j in expected]
        for line in lines[1:]:
            fields = line.split("\t")
            j = int(fields[0]) - 1
            assert [int(x) for x in fields[1:]] == [int(matrix[rows[name], j]) for name in header[1:]]
        assert json.loads((tmp_path / "p.run.json").read_text())["seed"] == 5

    def test_profile_replicates_one_file_each(self, tmp_path):
        (tmp_path / "sp.nwk").write_text(SPECIES)
        assert main(["profiles", "-q", str(tmp_path / "sp.nwk"), "--seed", "5", "--replicates", "3",
                     "-o", str(tmp_path / "p.tsv")]) == 0
        tree = SpeciesTree.read(tmp_path / "sp.nwk")
        for k in (1, 2, 3):
            text = (tmp_path / f"p_{k}.tsv").read_text()
            sim = simulate_profiles(tree, seed=replicate_seed(5, k))
            assert len(text.splitlines()) - 1 == int((sim.profile().sum(axis=0) > 0).sum())

    def test_genome_segments_table(self, tmp_path):
        (tmp_path / "sp.nwk").write_text(SPECIES)
        assert main(["genome", "-q", str(tmp_path / "sp.nwk"), "--root-length", "1000", "--inversion", "0.001",
                     "--seed", "3", "--out", str(tmp_path / "g")]) == 0
        sim = simulate_genomes(SpeciesTree.read(tmp_path / "sp.nwk"), root_length=1000, inversion=0.001, seed=3)
        rows = [line.split("\t") for line in (tmp_path / "g" / "segments.tsv").read_text().splitlines()[1:]]
        frame = sim.to_pandas()
        assert [r[0] for r in rows] == frame["species"].tolist()
        assert np.array_equal(np.array([[int(x) for x in r[1:]] for r in rows]),
                              frame[["index", "unit", "start", "end", "strand"]].to_numpy())
        assert json.loads((tmp_path / "g" / "run.json").read_text())["results"]["segments"] == len(rows)


def test_species_tree_writes_the_generated_tree(tmp_path, capsys):
    birth_death = pytest.importorskip("vornix.birth_death")
    out = tmp_path / "species.nwk"
    assert main(["species-tree", "--extant", "20", "--birth", "1", "--death", "0.3", "--seed", "1",
                 "-o", str(out)]) == 0
    assert "20 extant species" in capsys.readouterr().out
    tree = SpeciesTree.read(out)
    expected = birth_death.birth_death_tree(20, 1.0, 0.3, 1)
    assert tree.names.tolist() == SpeciesTree.from_newick(expected.to_newick()).names.tolist()
    assert len(tree.extant_names) == 20
    # Standard output when no file is named; the tree goes straight into simulate.
    assert main(["species-tree", "--extant", "5", "--seed", "2"]) == 0
    assert capsys.readouterr().out.strip().endswith(";")
    assert main(["simulate", "-q", str(out), "--seed", "1", "--out", str(tmp_path / "sim")]) == 0


def test_species_tree_age_and_node_limit_options(tmp_path, capsys):
    birth_death = pytest.importorskip("vornix.birth_death")
    out = tmp_path / "aged.nwk"
    assert main(["species-tree", "-q", "--extant", "6", "--death", "0.5", "--age", "2.5", "--seed", "3",
                 "-o", str(out)]) == 0
    expected = birth_death.birth_death_tree(6, 1.0, 0.5, 3, age=2.5)
    assert out.read_text() == expected.to_newick() + "\n"
    capsys.readouterr()
    # A limit the drawn tree outgrows: one line that names the command's own options.
    assert main(["species-tree", "--extant", "20", "--death", "1", "--seed", "0", "--max-nodes", "100"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "--max-nodes" in err and "max_nodes" not in err and "--age" in err
    assert main(["species-tree", "--extant", "1", "--seed", "1"]) == 2
    assert "--extant must be an integer >= 2" in capsys.readouterr().err
