"""Front-end workloads: what the vornix package adds to the core.

families-log-1k: vornix.simulate_families on the log-1k workload (event
table as numpy columns plus the dense extant profile) against
vornix_core.simulate_log alone, timed interleaved in one process (CPU time,
two rounds each); reports both and their ratio.

gene-trees-write-100: the gene trees of every family of write-100 built in
memory (vornix.simulate_families + all_gene_trees) against
vornix_core.simulate_and_write writing the directory, interleaved (wall
time, two rounds each); also the tree stage alone against sim.write alone.
"""
import atexit
import os
import shutil
import tempfile
import time

import vornix_core
from common import MODE, RATES, SHARED, load, species_tree_args

import vornix

_CACHE = {}
_SCRATCH = tempfile.mkdtemp(prefix="vornix_bench_front_")
atexit.register(shutil.rmtree, _SCRATCH, ignore_errors=True)
_RUNS = iter(range(1 << 30))


def _tree(name):
    if name not in _CACHE:
        data = load(name)
        _CACHE[name] = (data, vornix.SpeciesTree.from_arrays(data["parent"], data["time"], data["extant_leaf"],
                                                             data["root"], data["names"]))
    return _CACHE[name]


def _front_kwargs(initial_size):
    return dict(duplication=RATES["duplication"], transfer=RATES["transfer"], loss=RATES["loss"],
                origination=RATES["origination"], initial_size=initial_size, seed=MODE["seed"], cap=None,
                replacement=MODE["replacement"], distance_decay=None, allow_self=MODE["allow_self"])


def _timed(clock, fn):
    start = clock()
    result = fn()
    return clock() - start, result


def families_log_1k():
    data, tree = _tree("species_tree_1000.json")
    core_args = dict(species_tree_args(data), **RATES, **MODE, initial_size=500)
    front = []
    core = []
    for _ in range(2):
        t, _ = _timed(time.process_time, lambda: vornix_core.simulate_log(**core_args))
        core.append(t)

        def run_front():
            sim = vornix.simulate_families(tree, **_front_kwargs(500))
            sim.profile()
            return sim

        t, sim = _timed(time.process_time, run_front)
        front.append(t)
    return {"events": sim.n_events, "simulate_log_cpu_s": round(min(core), 4),
            "simulate_families_cpu_s": round(min(front), 4), "ratio": round(min(front) / min(core), 3)}


def gene_trees_write_100():
    data, tree = _tree("species_tree_100.json")
    core_args = dict(species_tree_args(data), names=data["names"], **RATES, **MODE, initial_size=2000,
                     total_age=data["total_age"])
    write, memory, stage_trees, stage_write = [], [], [], []
    for _ in range(2):
        outdir = os.path.join(_SCRATCH, f"run{next(_RUNS)}")
        t, _ = _timed(time.perf_counter, lambda: vornix_core.simulate_and_write(**core_args, outdir=outdir))
        write.append(t)

        def in_memory():
            sim = vornix.simulate_families(tree, **_front_kwargs(2000))
            return sim, sim.all_gene_trees()

        t, (sim, texts) = _timed(time.perf_counter, in_memory)
        memory.append(t)
        fresh = vornix.simulate_families(tree, **_front_kwargs(2000))
        t, _ = _timed(time.perf_counter, fresh.all_gene_trees)
        stage_trees.append(t)
        outdir = os.path.join(_SCRATCH, f"run{next(_RUNS)}")
        t, _ = _timed(time.perf_counter, lambda: fresh.write(outdir))
        stage_write.append(t)
        shutil.rmtree(outdir, ignore_errors=True)
    return {"trees": 2 * len(texts), "simulate_and_write_s": round(min(write), 4),
            "simulate_families_and_trees_s": round(min(memory), 4), "ratio": round(min(memory) / min(write), 3),
            "trees_stage_s": round(min(stage_trees), 4), "write_stage_s": round(min(stage_write), 4),
            "stage_ratio": round(min(stage_trees) / min(stage_write), 3)}


def species_newick_10k():
    path = SHARED / "species_tree_10000.nwk"
    tree = vornix.SpeciesTree.read(path)
    text = tree.to_newick()
    return {"nodes": 2 * tree.n_nodes, "text_bytes": len(text)}


def _interleaved(core, front, rounds=2):
    core_t, front_t = [], []
    for _ in range(rounds):
        core_t.append(_timed(time.process_time, core)[0])
        front_t.append(_timed(time.process_time, front)[0])
    return min(core_t), min(front_t)


def profiles_front_1k():
    data, tree = _tree("species_tree_1000.json")
    core_args = dict(species_tree_args(data), **RATES, **MODE, initial_size=2000)
    core, front = _interleaved(lambda: vornix_core.simulate_profiles(**core_args),
                               lambda: vornix.simulate_profiles(tree, **_front_kwargs(2000)).profile())
    return {"core_cpu_s": round(core, 4), "front_cpu_s": round(front, 4), "ratio": round(front / core, 3)}


NUCLEOTIDE = dict(inversion=2e-5, loss=1e-5, duplication=1e-5, transfer=1e-5, transposition=1e-5, origination=0.5,
                  root_length=1000000, extension=0.999, initial_size=1, seed=1)


def genomes_front_100():
    data, tree = _tree("species_tree_100.json")
    core_args = dict(species_tree_args(data), **NUCLEOTIDE, replacement=0.0, distance_decay=-1.0, allow_self=False)
    holder = {}

    def front():
        holder["sim"] = vornix.simulate_genomes(tree, **NUCLEOTIDE)

    core, front_t = _interleaved(lambda: vornix_core.simulate_nucleotide(**core_args), front)
    return {"segments": len(holder["sim"].unit), "core_cpu_s": round(core, 4), "front_cpu_s": round(front_t, 4),
            "ratio": round(front_t / core, 3)}


WORKLOADS = {
    "families-log-1k": families_log_1k,
    "gene-trees-write-100": gene_trees_write_100,
    "species-newick-10k": species_newick_10k,
    "profiles-front-1k": profiles_front_1k,
    "genomes-front-100": genomes_front_100,
}
