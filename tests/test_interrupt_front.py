"""Ctrl-C stops the front end's long native calls within a second, and the
package answers the next call correctly."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

HEAVY = os.environ.get("VORNIX_HEAVY_TESTS") == "1"

# Builds a large run, then builds every family's gene trees in one native
# call; prints "ready" just before that call.
CHILD = textwrap.dedent("""
    import sys, vornix
    tree = vornix.SpeciesTree.read(sys.argv[1])
    sim = vornix.simulate_families(tree, duplication=0.2, transfer=0.2, loss=0.35, origination=1.0,
                                   initial_size=int(sys.argv[2]), seed=1)
    print("ready", flush=True)
    try:
        sim.all_gene_trees()
    except KeyboardInterrupt:
        # The package still answers.
        small = vornix.simulate_families(vornix.SpeciesTree.from_newick("(A:1,B:1);"), initial_size=1, seed=1)
        assert small.gene_trees(1)[0].endswith(";\\n")
        print("interrupted", flush=True)
        raise
""")


def shared_tree():
    here = os.path.dirname(os.path.abspath(__file__))
    for above in [os.path.dirname(here)] + [os.path.dirname(os.path.dirname(here))] * 1:
        path = os.path.join(os.path.dirname(above), "shared", "benchmarks", "species_tree_1000.nwk")
        if os.path.exists(path):
            return path
    return None


@pytest.mark.skipif(not HEAVY, reason="a large run; set VORNIX_HEAVY_TESTS=1")
def test_gene_tree_building_stops_on_sigint():
    path = shared_tree()
    if path is None:
        pytest.skip("the shared benchmark trees are not beside the checkout")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", CHILD, path, "2000"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(0.3)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    elapsed = time.monotonic() - sent
    assert "interrupted" in out and "KeyboardInterrupt" in err, (out, err)
    assert elapsed < 1.0
RUNAWAY = textwrap.dedent("""
    import vornix
    tree = vornix.SpeciesTree.from_newick("((A:50,B:50):50,C:100);")
    print("ready", flush=True)
    try:
        vornix.simulate_families(tree, duplication=2.0, transfer=0.5, loss=0.1, origination=1.0,
                                 initial_size=10, seed=1)
    except KeyboardInterrupt:
        small = vornix.simulate_families(tree, duplication=0.1, transfer=0.1, loss=0.1, origination=0.0,
                                         initial_size=2, seed=1)
        assert small.n_families == 2
        print("interrupted", flush=True)
        raise
""")


def interrupt_child(args, wait=0.5):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(wait)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    return child.returncode, out, err, time.monotonic() - sent


def test_a_runaway_family_simulation_stops_on_sigint():
    code, out, err, elapsed = interrupt_child([sys.executable, "-c", RUNAWAY])
    assert "interrupted" in out and "KeyboardInterrupt" in err, (out, err)
    assert elapsed < 1.0


def test_the_command_reports_an_interrupt_in_one_line(tmp_path):
    (tmp_path / "sp.nwk").write_text("((A:50,B:50):50,C:100);\n")
    script = textwrap.dedent(f"""
        import sys
        from vornix.cli import main
        print("ready", flush=True)
        sys.exit(main(["simulate", {str(tmp_path / "sp.nwk")!r}, "--duplication", "2", "--loss", "0.1",
                       "--seed", "1", "--out", {str(tmp_path / "out")!r}]))
    """)
    code, out, err, elapsed = interrupt_child([sys.executable, "-c", script])
    assert code == 130 and err.strip().splitlines() == ["vornix simulate: interrupted"], (code, err)
    assert elapsed < 1.0
