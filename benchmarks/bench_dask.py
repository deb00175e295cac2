"""Scoring and fitting on a local Dask cluster (worker processes with one
thread each) on the 951 gene trees of gene_trees_100 against
species_tree_100, rates dup 0.2, transfer 0.2, loss 0.35. Run them with
--repeat 1: each starts its own clusters and takes minutes.

dask-fit-undated-100: vornix.fit_rates (undated model) with client= on 1
worker and on 2 workers; wall time of each, the speed-up, the evaluations
(the same on both), and per optimiser iteration the tasks, the bytes sent
(task function and rates, pickled; and all the client wrote to the
scheduler, framing included) and received (one partial sum per batch), next
to the bytes of the trees sent once to make the batches on the workers
(pickled, and on the wire together with the first iteration).

dask-score-all-100: vornix.score with rooting "all" (every rooting of every
tree, about 103 million rooted nodes) on 1 worker and on 2 workers; wall
time of each and the speed-up.

dask-task-overhead: one fit iteration (undated, the 951 trees) on a cluster
of 1 worker and one of 2, the two taking turns, 10 iterations each: the
iteration's wall time, each task's compute time, the time of the iteration
outside its tasks (wall time less the longest task: scheduling, messages,
the client's share) and its ratio to a task's time, the round trip of a
task doing nothing, the iteration speed-up of 2 workers over 1, and each
worker's CPU time per iteration with the speed-up it allows.

Wall times share the machine with whatever else runs; each workload also
reports the time inside tasks (compute_s), each worker process's CPU time
(cpu_s) and cpu_speedup, one worker's CPU time over the busiest of two
workers' CPU time: the speed-up two otherwise idle cores would give, less
the scheduling time between tasks.
"""
import logging
import time

import numpy as np
from common import SHARED

import vornix

RATES = dict(dup=0.2, transfer=0.2, loss=0.35)


def _inputs():
    species = vornix.SpeciesTree.read(SHARED / "species_tree_100.nwk")
    trees = vornix.GeneTrees.read(SHARED / "gene_trees_100.nwk")
    return species, trees


def _cluster(n):
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=":0",
                           silence_logs=logging.CRITICAL)
    client = Client(cluster)
    client.run(lambda: __import__("vornix.tree_batches"))  # imports done before the clock starts
    return cluster, client


def _compute_seconds(stream):
    return sum(s["stop"] - s["start"] for task in stream for s in task["startstops"] if s["action"] == "compute")


def _on_1_and_2_workers(run):
    from distributed import get_task_stream

    out, results, cpu = {}, {}, {}
    for n in (1, 2):
        cluster, client = _cluster(n)
        try:
            cpu_before = client.run(time.process_time)
            with get_task_stream(client) as ts:
                start = time.perf_counter()
                results[n] = run(client)
                wall = time.perf_counter() - start
            cpu_after = client.run(time.process_time)
            out[f"workers{n}_s"] = round(wall, 2)
            out[f"workers{n}_compute_s"] = round(_compute_seconds(ts.data), 2)
            cpu[n] = [cpu_after[w] - cpu_before[w] for w in sorted(cpu_after)]
            out[f"workers{n}_cpu_s"] = [round(c, 2) for c in cpu[n]]
        finally:
            client.close()
            cluster.close()
    out["speedup"] = round(out["workers1_s"] / out["workers2_s"], 3)
    # What two free cores would give: the busiest worker's CPU time against one worker's.
    out["cpu_speedup"] = round(sum(cpu[1]) / max(cpu[2]), 3)
    return out, results


def _traffic(species, trees):
    """Bytes of one fit iteration, and of the batches' making, on 2 workers."""
    from distributed.protocol.pickle import dumps

    from vornix.likelihood_model import LikelihoodModel
    from vornix.living_species import as_living
    from vornix.scoring import open_evaluator
    from vornix.tree_batches import loglik_partials, range_columns

    cluster, client = _cluster(2)
    try:
        living = as_living(species)
        written = client.scheduler_comm.byte_count
        evaluator, _ = open_evaluator(living, trees, "as-is", None, client)
        with evaluator:
            model = LikelihoodModel.make("undated", **RATES)
            evaluator.run(loglik_partials, model)
            first_wire = client.scheduler_comm.byte_count - written  # the batches' columns, and one iteration
            evaluator.run(loglik_partials, model)
            offsets, parent, tips = trees.forest(living)
            setup = sum(len(dumps(range_columns(offsets, parent, tips, a, b))) for a, b in evaluator.ranges)
            t = evaluator.traffic
            return {"tasks_per_iteration": t.tasks, "bytes_sent_per_iteration": t.sent,
                    "bytes_received_per_iteration": t.received, "wire_bytes_sent_per_iteration": t.wire_sent,
                    "bytes_once_for_batches": setup, "wire_bytes_sent_batches_and_first_run": first_wire}
    finally:
        client.close()
        cluster.close()


def fit_undated():
    species, trees = _inputs()
    figures, fits = _on_1_and_2_workers(
        lambda client: vornix.fit_rates(species, trees, model="undated", client=client, progress=False))
    fit = fits[2]
    figures.update(trees=len(trees), evaluations=fit.evaluations, same_fit=fits[1] == fits[2],
                   rates={k: round(v, 5) for k, v in fit.rates.items()})
    figures.update(_traffic(species, trees))
    return figures


def score_all():
    species, trees = _inputs()
    figures, values = _on_1_and_2_workers(
        lambda client: vornix.score(species, trees, **RATES, rooting="all", client=client, progress=False))
    rooted_nodes = int((trees.rooting_counts * (trees.sizes + 1)).sum())
    figures.update(trees=len(trees), rooted_nodes=rooted_nodes,
                   identical=values[1].tobytes() == values[2].tobytes())
    return figures


def _noop(batch, species, model):
    return 0


def _iteration_runs(evaluator, client, task, model, rounds):
    """Wall time of each run of `task` and the longest compute time among
    its tasks (the run's critical path inside tasks)."""
    from distributed import get_task_stream

    walls, longest, computes = [], [], []
    for _ in range(rounds):
        with get_task_stream(client) as ts:
            start = time.perf_counter()
            evaluator.run(task, model)
            walls.append(time.perf_counter() - start)
        spans = [sum(s["stop"] - s["start"] for s in t["startstops"] if s["action"] == "compute") for t in ts.data]
        longest.append(max(spans))
        computes.extend(spans)
    return np.array(walls), np.array(longest), np.array(computes)


def task_overhead():
    """One fit iteration on 1 and on 2 workers, the two clusters taking
    turns (so that the machine's other load falls on both alike)."""
    from vornix.likelihood_model import LikelihoodModel
    from vornix.living_species import as_living
    from vornix.scoring import open_evaluator
    from vornix.tree_batches import loglik_partials

    species, trees = _inputs()
    living = as_living(species)
    model = LikelihoodModel.make("undated", **RATES)
    clusters = {n: _cluster(n) for n in (1, 2)}
    figures, iteration = {}, {}
    try:
        evaluators = {n: open_evaluator(living, trees, "as-is", None, client)[0]
                      for n, (_, client) in clusters.items()}
        for n, ev in evaluators.items():
            ev.run(loglik_partials, model)  # the batches made
        runs = {n: [] for n in clusters}
        noops = {n: [] for n in clusters}
        cpu = {n: {} for n in clusters}  # worker -> CPU seconds of its iterations
        for _ in range(5):
            for n, (_, client) in clusters.items():
                before = client.run(time.process_time)
                runs[n].append(_iteration_runs(evaluators[n], client, loglik_partials, model, 2))
                after = client.run(time.process_time)
                for w in after:
                    cpu[n][w] = cpu[n].get(w, 0.0) + after[w] - before[w]
                noops[n].append(_iteration_runs(evaluators[n], client, _noop, model, 2)[0])
        for n in clusters:
            walls = np.concatenate([r[0] for r in runs[n]])
            longest = np.concatenate([r[1] for r in runs[n]])
            computes = np.concatenate([r[2] for r in runs[n]])
            outside = float(np.median(walls - longest))  # the run's time outside its tasks
            iteration[n] = float(np.median(walls))
            figures[f"workers{n}_tasks_per_iteration"] = len(evaluators[n])
            figures[f"workers{n}_iteration_ms"] = round(iteration[n] * 1e3, 1)
            figures[f"workers{n}_task_compute_ms"] = round(float(np.median(computes)) * 1e3, 1)
            figures[f"workers{n}_overhead_per_iteration_ms"] = round(outside * 1e3, 2)
            figures[f"workers{n}_noop_round_trip_ms"] = round(float(np.median(np.concatenate(noops[n]))) * 1e3, 2)
            figures[f"workers{n}_overhead_share"] = round(outside / float(np.median(computes)), 4)
        for ev in evaluators.values():
            ev.close()
    finally:
        for cluster, client in clusters.values():
            client.close()
            cluster.close()
    figures["iteration_speedup"] = round(iteration[1] / iteration[2], 3)
    # Per iteration, one worker's CPU time against the busiest of two workers'.
    figures["workers1_cpu_ms_per_iteration"] = round(sum(cpu[1].values()) / 10 * 1e3, 1)
    figures["workers2_cpu_ms_per_iteration"] = [round(c / 10 * 1e3, 1) for c in cpu[2].values()]
    figures["cpu_speedup"] = round(sum(cpu[1].values()) / max(cpu[2].values()), 3)
    return figures


WORKLOADS = {"dask-fit-undated-100": fit_undated, "dask-score-all-100": score_all, "dask-task-overhead": task_overhead}
