"""simulate_and_write workloads.

write-100: species_tree_100 with its names and total_age, initial_size 2000, the shared rates and
mode, written to a fresh output directory each run (directories are removed when the process
exits). Reports the files written (the runner turns them into files/s).
"""
import atexit
import os
import shutil
import tempfile

import vornix_core
from common import MODE, RATES, load, species_tree_args

_TREE = load("species_tree_100.json")
_SCRATCH = tempfile.mkdtemp(prefix="vornix_bench_writer_")
atexit.register(shutil.rmtree, _SCRATCH, ignore_errors=True)
_RUNS = iter(range(1 << 30))


def write_100():
    outdir = os.path.join(_SCRATCH, f"run{next(_RUNS)}")
    families, records, leaves = vornix_core.simulate_and_write(
        **species_tree_args(_TREE), names=_TREE["names"], **RATES, initial_size=2000, **MODE,
        total_age=_TREE["total_age"], outdir=outdir)
    files = 4 + sum(len(os.listdir(os.path.join(outdir, d))) for d in ("gene_family_events", "gene_trees"))
    return {"files": files, "families": families, "records": records}


WORKLOADS = {"write-100": write_100}
