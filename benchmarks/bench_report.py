"""Reconciliation and report workloads, on species_tree_1000 with the shared
rates (initial_size 500, the log-1k run).

report-1000: `vornix report` on the output directory of `vornix simulate`
for that run: repeating the run, each figure, and the whole page (CPU time
of each part; the runner's time is the whole call, the simulate step that
makes the directory done once beforehand).

recphyloxml-1k: FamilySimulation.write_recphyloxml for every family of the
same run (files written, megabytes, CPU and wall time).
"""
import atexit
import os
import shutil
import tempfile
import time

from common import MODE, RATES, SHARED

import vornix
from vornix.cli import main

_SCRATCH = tempfile.mkdtemp(prefix="vornix_bench_report_")
atexit.register(shutil.rmtree, _SCRATCH, ignore_errors=True)
_STATE = {}


def _argv():
    return ["simulate", str(SHARED / "species_tree_1000.nwk"), "--duplication", str(RATES["duplication"]),
            "--transfer", str(RATES["transfer"]), "--loss", str(RATES["loss"]), "--origination",
            str(RATES["origination"]), "--initial-size", "500", "--seed", str(MODE["seed"]), "-q"]


def _run_dir():
    if "dir" not in _STATE:
        out = os.path.join(_SCRATCH, "run")
        assert main([*_argv(), "--out", out]) == 0
        _STATE["dir"] = out
    return _STATE["dir"]


def _cpu(fn):
    start = time.process_time()
    result = fn()
    return round(time.process_time() - start, 3), result


def report_1000():
    import matplotlib

    matplotlib.use("Agg")
    from vornix import plot
    from vornix.report import write_report
    from vornix.report._families import family_counts, representative_families
    from vornix.report._run import load_run

    out = _run_dir()
    figures = {}
    figures["repeat_run_cpu_s"], run = _cpu(lambda: load_run(out))
    sim = run.sim
    figures["species_tree_cpu_s"], _ = _cpu(lambda: plot.species_tree(run.tree, transfers=sim).figure.savefig(
        os.devnull, format="png", dpi=96))
    figures["event_rates_cpu_s"], _ = _cpu(lambda: plot.event_rates(sim).figure.savefig(os.devnull, format="png"))
    figures["family_sizes_cpu_s"], _ = _cpu(lambda: plot.family_sizes(sim).savefig(os.devnull, format="png"))
    picks = representative_families(family_counts(sim), 3)
    figures["reconciliations_cpu_s"], _ = _cpu(lambda: [plot.reconciliation(sim, f).figure.savefig(
        os.devnull, format="png", dpi=96) for f, _ in picks])
    wall = time.perf_counter()
    figures["whole_report_cpu_s"], path = _cpu(lambda: write_report(out))
    figures["whole_report_wall_s"] = round(time.perf_counter() - wall, 3)
    figures["page_mb"] = round(os.path.getsize(path) / 1e6, 2)
    figures["families"] = sim.n_families
    return figures


def recphyloxml_1k():
    if "sim" not in _STATE:
        tree = vornix.SpeciesTree.read(SHARED / "species_tree_1000.nwk")
        _STATE["sim"] = vornix.simulate_families(tree, **RATES, initial_size=500, seed=MODE["seed"])
    sim = _STATE["sim"]
    out = os.path.join(_SCRATCH, "xml")
    shutil.rmtree(out, ignore_errors=True)
    wall = time.perf_counter()
    cpu, files = _cpu(lambda: sim.write_recphyloxml(out))
    wall = round(time.perf_counter() - wall, 3)
    size = sum(e.stat().st_size for e in os.scandir(os.path.join(out, "gene_trees")))
    shutil.rmtree(out, ignore_errors=True)
    return {"files": files, "mb": round(size / 1e6, 1), "cpu_s": cpu, "wall_s": wall,
            "gene_nodes": sim.n_families + 2 * int(((sim.events.kind == 1) | (sim.events.kind == 2)
                                                     | (sim.events.kind == 4)).sum())}


WORKLOADS = {
    "report-1000": report_1000,
    "recphyloxml-1k": recphyloxml_1k,
}
