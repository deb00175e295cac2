"""vornix score and vornix fit end to end: the tables they write hold the
library's numbers; mistakes end with one line and status 2."""
import json
import os
import subprocess
import sys

import numpy as np

from vornix import GeneTrees, SpeciesTree, score
from vornix.cli import main

SPECIES = "((a:1,b:1):1,c:2);\n"
TREES = "((a_1,b_1),c_1);\n(a_1,(b_1,(c_1,c_2)));\n"


def run_cli(*args, cwd):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "vornix", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=300)


def test_score_and_fit_write_the_library_results(tmp_path, capsys, monkeypatch):
    (tmp_path / "sp.nwk").write_text(SPECIES)
    (tmp_path / "trees").mkdir()
    (tmp_path / "trees" / "t.nwk").write_text(TREES)
    (tmp_path / "trees" / "u.nwk").write_text("(a_2,c_3,(a_9,b_9));\n")
    done = run_cli("score", "sp.nwk", "trees", "--rooting", "all", "--model", "dated", "--n-steps", "3",
                   "--dup", "0.1", "--transfer", "0.05", "--loss", "0.2", "-o", "s.tsv", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    rows = [line.split("\t") for line in (tmp_path / "s.tsv").read_text().splitlines()]
    assert rows[0] == ["file", "index", "loglik"]
    assert [r[:2] for r in rows[1:]] == [["trees/t.nwk", "0"], ["trees/t.nwk", "1"], ["trees/u.nwk", "0"]]
    sp = SpeciesTree.from_newick(SPECIES)
    genes = GeneTrees.from_newick([TREES, "(a_2,c_3,(a_9,b_9));"])
    want = score(sp, genes, model="dated", n_steps=3, rooting="all", dup=0.1, transfer=0.05, loss=0.2)
    assert [float(r[2]) for r in rows[1:]] == want.tolist()

    (tmp_path / "g.nwk").write_text("((G1,G2),G3);\n(G1,(G2,G3));\n")
    (tmp_path / "map.tsv").write_text("G1 a\nG2 b\nG3 c\n")
    monkeypatch.chdir(tmp_path)
    assert main(["fit", "sp.nwk", "g.nwk", "--map", "map.tsv", "--model", "undated", "--fix", "transfer=0.05",
                 "-q"]) == 0
    fit = json.loads(capsys.readouterr().out)
    assert {"dup", "transfer", "loss", "loglik", "stderr", "converged"} <= set(fit)
    assert fit["transfer"] == 0.05 and fit["stderr"]["transfer"] == 0.0 and np.isfinite(fit["loglik"])


def test_user_errors_are_one_line_with_status_2(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sp.nwk").write_text(SPECIES)
    (tmp_path / "t.nwk").write_text("((a_1,b_1),z_1);\n")
    rates = ["--dup", "0.1", "--transfer", "0.1", "--loss", "0.1"]
    for args, pattern in [
        (["score", "sp.nwk", "t.nwk", *rates], "t.nwk: tree 0 (line 1), line 1, column 12: leaf 'z_1'"),
        (["score", "sp.nwk", "missing.nwk", *rates], "missing.nwk"),
        (["score", "sp.nwk", "t.nwk", "--dup", "-1", "--transfer", "0", "--loss", "0"], "dup must be"),
        (["fit", "sp.nwk", "t.nwk", "--fix", "speed=1"], "unknown rate 'speed'"),
    ]:
        status = main(args)
        lines = capsys.readouterr().err.splitlines()
        assert status == 2 and len(lines) == 1 and pattern in lines[0], (args, lines)
