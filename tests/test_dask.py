"""Scoring, fitting and replicate simulations on a Dask cluster (a local
cluster of two worker processes, one thread each) give the local results
bit for bit, survive the loss of a worker, and fail the way a local call
fails."""
import filecmp
import os
import random
import signal
import sys

import numpy as np
import pytest

import scoring_reference as ref
import vornix
from vornix.living_species import living_species

distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")

RATES = dict(dup=0.2, transfer=0.2, loss=0.35)
TREE = "(((A:1,B:1):0.5,(C:0.7,D:1.2):0.3):0.5,(E:1.5,F:2):0);"


@pytest.fixture(scope="module")
def client():
    # A result fetched from a worker as it is killed holds a run up until the
    # scheduler gives the worker up: after 5 s here instead of Dask's 30.
    with dask.config.set({"distributed.comm.timeouts.connect": "5s"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                     silence_logs=50) as cluster, distributed.Client(cluster) as c:
        yield c


def species():
    parent, time, extant, names = ref.yule_tree(random.Random(2), 6)
    return living_species(parent, time, extant, 0, names)


def random_trees(sp, n, seed, max_leaves=16):
    rng = random.Random(seed)
    names = sorted(sp.leaf_index)
    return vornix.GeneTrees.from_newick([ref.random_newick(rng, names, rng.randint(1, max_leaves),
                                                           unrooted=rng.random() < 0.3) for _ in range(n)])


def small_batches(monkeypatch):
    import vornix.dask_evaluator as de

    monkeypatch.setattr(de, "DASK_NODES_PER_BATCH", 300)
    monkeypatch.setattr(de, "DASK_ROOTED_NODES_PER_BATCH", 3000)


def test_scores_and_fits_equal_the_local_ones(client, monkeypatch):
    small_batches(monkeypatch)
    sp = species()
    gt = random_trees(sp, 80, seed=5)
    rooted = gt.subset(np.flatnonzero(gt.is_rooted))
    for model in ("undated", "dated"):
        for rooting, trees in (("as-is", rooted), ("all", gt), ("best", gt)):
            local = vornix.score(sp, trees, model=model, rooting=rooting, n_steps=2, **RATES)
            there = vornix.score(sp, trees, model=model, rooting=rooting, n_steps=2, **RATES, client=client)
            assert there.tobytes() == local.tobytes(), (model, rooting)
    assert vornix.root_best(sp, gt, **RATES, client=client).to_newick() == vornix.root_best(sp, gt, **RATES).to_newick()
    few = gt.subset(range(20))
    fit = dict(model="undated", fixed={"transfer": 0.05}, rooting="all")
    assert vornix.fit_rates(sp, few, **fit, client=client) == vornix.fit_rates(sp, few, **fit)


def test_replicates_are_the_local_ones_whatever_runs_them(client, tmp_path):
    tree = vornix.SpeciesTree.from_newick(TREE)
    args = dict(duplication=0.3, transfer=0.2, loss=0.3, origination=0.8, initial_size=5, seed=11)

    def same(a, b):
        return all(np.array_equal(getattr(a, k), getattr(b, k)) for k in ("leaves", "rows", "cols", "vals"))

    local = vornix.simulate_profiles(tree, **args, replicates=4)
    there = vornix.simulate_profiles(tree, **args, replicates=4, client=client)
    first = vornix.simulate_profiles(tree, **args, replicates=2, client=client)
    assert all(map(same, local, there)) and all(map(same, local[:2], first))
    assert [r.parameters for r in there] == [r.parameters for r in local]
    assert same(vornix.simulate_profiles(tree, **args, client=client), local[0])
    split = dict(args, copies=4, threads=2)
    assert same(vornix.simulate_profiles(tree, **split, client=client), vornix.simulate_profiles(tree, **split))

    from vornix.replicates import write_replicates

    kw = {k: v for k, v in args.items() if k != "seed"}
    class Count:
        n = 0

        def update(self, n=1):
            self.n += n

    counted = Count()
    done = write_replicates(tree, tmp_path / "cluster", 3, seed=11, **kw, client=client, progress=counted)
    assert counted.n == 3
    write_replicates(tree, tmp_path / "pool", 3, seed=11, **kw, workers=2)
    vornix.simulate_families(tree, **args).write(tmp_path / "plain")
    assert [r.seed for r in done][0] == 11 and len({r.seed for r in done}) == 3
    for k in (1, 2, 3):
        assert_same_tree(tmp_path / "cluster" / f"replicate_{k}", tmp_path / "pool" / f"replicate_{k}")
    assert_same_tree(tmp_path / "plain", tmp_path / "cluster" / "replicate_1")


def assert_same_tree(a, b):
    cmp = filecmp.dircmp(a, b)
    assert not cmp.left_only and not cmp.right_only
    names = [n for n in cmp.common_files]
    match, mismatch, errors = filecmp.cmpfiles(a, b, names, shallow=False)
    assert not mismatch and not errors
    for sub in cmp.common_dirs:
        assert_same_tree(os.path.join(a, sub), os.path.join(b, sub))


def test_task_failures_surface_as_the_local_ones(client, tmp_path, monkeypatch):
    from vornix.dask_evaluator import DaskEvaluator
    from vornix.replicates import write_replicates

    tree = vornix.SpeciesTree.from_newick(TREE)
    # A replicate that cannot be written: the same exception, type and message.
    for where in ("here", "there"):
        (tmp_path / where).mkdir()
        (tmp_path / where / "replicate_2").write_text("in the way")
    with pytest.raises(FileExistsError) as local:
        write_replicates(tree, tmp_path / "here", 3, seed=1)
    with pytest.raises(FileExistsError) as remote:
        write_replicates(tree, tmp_path / "there", 3, seed=1, client=client)
    assert str(remote.value) == str(local.value).replace("here", "there")
    # Of several failing tasks, the first in order is the one raised.
    sp = species()
    gt = random_trees(sp, 60, seed=3)
    offsets, parent, tips = gt.forest(sp)

    with DaskEvaluator(offsets, parent, tips, gt.rooting_counts, gt.is_rooted, "all", sp, client, budget=400) as ev:
        third = ev.ranges[3][0]
        assert len(ev) > 5

        def fails_from_batch_3(batch, sp, model):
            if batch.positions[0] >= third:
                raise KeyError(f"tree {int(batch.positions[0])}")
            return len(batch)

        with pytest.raises(KeyError, match=f"tree {third}"):
            ev.run(fails_from_batch_3, vornix.scoring.LikelihoodModel.make("undated", **RATES))
        assert ev.run(lambda batch, sp, model: len(batch), None) == [b - a for a, b in ev.ranges]


def test_an_iteration_sends_the_rates_not_the_trees(client):
    """After the batches are made, each run writes about a kilobyte per task
    to the scheduler, however large the batches, and gets one result each."""
    from distributed.protocol.pickle import dumps

    from vornix.dask_evaluator import DaskEvaluator
    from vornix.tree_batches import loglik_partials, range_columns

    sp = species()
    rng = random.Random(8)
    gt = vornix.GeneTrees.from_newick([ref.random_newick(rng, sorted(sp.leaf_index), rng.randint(30, 60))
                                       for _ in range(300)])
    offsets, parent, tips = gt.forest(sp)
    model = vornix.scoring.LikelihoodModel.make("undated", **RATES)
    with DaskEvaluator(offsets, parent, tips, gt.rooting_counts, gt.is_rooted, "as-is", sp, client,
                       budget=12000) as ev:
        batch_bytes = sum(len(dumps(range_columns(offsets, parent, tips, a, b))) for a, b in ev.ranges) // len(ev)
        assert len(ev) >= 2 and batch_bytes > 50_000
        first = ev.run(loglik_partials, model)
        for _ in range(2):
            assert ev.run(loglik_partials, model) == first
            t = ev.traffic
            assert t.tasks == len(ev) and t.wire_sent is not None
            assert t.wire_sent < 4000 * t.tasks < batch_bytes, t
            assert t.sent < 1000 * t.tasks and t.received < 200 * t.tasks, t


def test_without_the_extra_a_client_asks_for_it(monkeypatch, tmp_path):
    sp = species()
    gt = random_trees(sp, 5, seed=1)
    import importlib
    import types

    import vornix._optional

    def import_module(name):
        if name.split(".")[0] in ("dask", "distributed"):
            raise ModuleNotFoundError(f"No module named {name!r}")
        return importlib.import_module(name)

    # Imports of the optional package fail as if it were not installed.
    monkeypatch.setattr(vornix._optional, "importlib", types.SimpleNamespace(import_module=import_module))
    with pytest.raises(ImportError, match=r"pip install 'vornix\[distributed\]'"):
        vornix.score(sp, gt, rooting="all", **RATES, client=object())
    with pytest.raises(ImportError, match=r"pip install 'vornix\[distributed\]'"):
        vornix.fit_rates(sp, gt, model="undated", client=object())
    with pytest.raises(ImportError, match="distributed"):
        vornix.simulate_profiles(vornix.SpeciesTree.from_newick(TREE), seed=1, replicates=2, client=object())
    assert len(vornix.score(sp, gt, rooting="all", **RATES)) == 5  # the local paths need nothing
    # The command line's --workers falls back to a process pool, with the same results.
    from vornix.cli import main

    (tmp_path / "sp.nwk").write_text(TREE + "\n")
    (tmp_path / "t.nwk").write_text("((A_1,B_1),(D_1,F_1));\n(A_1,(A_2,F_1),D_1);\n")
    for name, extra in (("one", []), ("pool", ["--workers", "2"])):
        assert main(["score", str(tmp_path / "sp.nwk"), str(tmp_path / "t.nwk"), "--rooting", "best", "--dup", "0.2",
                     "--transfer", "0.1", "--loss", "0.3", "-q", "-o", str(tmp_path / name), *extra]) == 0
    assert (tmp_path / "one").read_text() == (tmp_path / "pool").read_text()
    assert main(["simulate", "--replicates", "2", "--out", str(tmp_path / "reps"), "--seed", "3", "--workers", "2",
                 "-q"]) == 0
    assert sorted(p.name for p in (tmp_path / "reps").iterdir()) == ["replicate_1", "replicate_2", "run.json"]


def test_a_client_is_checked(client):
    sp = species()
    gt = random_trees(sp, 5, seed=1)
    with pytest.raises(TypeError, match="dask.distributed.Client"):
        vornix.fit_rates(sp, gt, model="undated", client="tcp://127.0.0.1:1")
    with pytest.raises(ValueError, match="not both"):
        vornix.score(sp, gt, rooting="all", **RATES, workers=2, client=client)


def test_a_lost_worker_costs_time_not_results(client, monkeypatch):
    """One worker process killed after some tasks of a run: its tasks and
    the batches it held are made again; this run and the next are exact."""
    small_batches(monkeypatch)
    from vornix.scoring import open_evaluator
    from vornix.tree_batches import score_batch

    sp = species()
    gt = random_trees(sp, 200, seed=9, max_leaves=40)
    model = vornix.scoring.LikelihoodModel.make("dated", **RATES, n_steps=3)
    want = vornix.score(sp, gt, model="dated", n_steps=3, rooting="all", **RATES)
    pids = client.run(os.getpid)

    class KillAfterTwo:
        done = 0

        def update(self, n=1):
            self.done += n
            if self.done == 2:
                os.kill(next(iter(pids.values())), signal.SIGKILL)

    evaluator, positions = open_evaluator(sp, gt, "all", None, client)
    with evaluator:
        assert len(positions) >= 8
        for progress in (KillAfterTwo(), None):
            got = np.empty(len(gt))
            for where, result in zip(positions, evaluator.run(score_batch, model, progress)):
                got[where] = result.values
            assert got.tobytes() == want.tobytes()
    assert set(client.run(os.getpid).values()).isdisjoint([next(iter(pids.values()))])
    client.wait_for_workers(2, timeout=60)


def run_cli(*args, env=None):
    import subprocess

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **(env or {}))
    return subprocess.run([sys.executable, "-m", "vornix", *args], env=env, capture_output=True, text=True,
                          timeout=120)


def test_commands_give_the_same_files_on_one_process_and_on_a_cluster(client, tmp_path, capsys, monkeypatch):
    from vornix.cli import main

    address = client.scheduler.address
    sp = tmp_path / "species.nwk"
    sp.write_text(TREE + "\n")
    rng = random.Random(4)
    (tmp_path / "trees.nwk").write_text("".join(ref.random_newick(rng, list("ABDF"), rng.randint(2, 12))
                                                + "\n" for _ in range(30)))
    common = [str(sp), str(tmp_path / "trees.nwk"), "--rooting", "all", "-q"]
    rates = ["--dup", "0.2", "--transfer", "0.1", "--loss", "0.3"]
    assert main(["score", *common, *rates, "-o", str(tmp_path / "here.tsv")]) == 0
    assert main(["score", *common, *rates, "-o", str(tmp_path / "there.tsv"), "--scheduler", address]) == 0
    assert (tmp_path / "here.tsv").read_text() == (tmp_path / "there.tsv").read_text()
    fit = ["fit", *common, "--model", "undated", "--fix", "transfer=0.1"]
    assert main([*fit, "-o", str(tmp_path / "here.json")]) == 0
    assert main([*fit, "-o", str(tmp_path / "there.json"), "--scheduler", address]) == 0
    assert main([*fit, "-o", str(tmp_path / "local.json"), "--workers", "2"]) == 0  # a local cluster
    assert (tmp_path / "here.json").read_text() == (tmp_path / "there.json").read_text() \
        == (tmp_path / "local.json").read_text()

    sim = ["simulate", str(sp), "--seed", "21", "--initial-size", "4", "-q"]
    assert main([*sim, "--out", str(tmp_path / "plain")]) == 0
    assert main([*sim, "--replicates", "3", "--out", str(tmp_path / "local")]) == 0
    assert main([*sim, "--replicates", "3", "--out", str(tmp_path / "pool"), "--workers", "2"]) == 0
    capsys.readouterr()
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)  # the progress bar of replicates done
    assert main([*sim[:-1], "--replicates", "3", "--out", str(tmp_path / "shown"), "--scheduler", address]) == 0
    shown = capsys.readouterr()
    assert "replicates:" in shown.err and "/3 " in shown.err and shown.out.count("replicate_") == 3
    # Dask's own setting of the scheduler address, in a fresh process.
    done = run_cli(*sim[:-1], "--replicates", "2", "--out", str(tmp_path / "cluster"),
                   env={"DASK_SCHEDULER_ADDRESS": address})
    assert done.returncode == 0 and done.stderr == ""
    assert done.stdout.count("replicate_") == 2
    for k in (1, 2):
        for where in ("pool", "cluster"):
            assert_same_tree(tmp_path / "local" / f"replicate_{k}", tmp_path / where / f"replicate_{k}")
    (tmp_path / "plain" / "run.json").unlink()
    assert_same_tree(tmp_path / "plain", tmp_path / "local" / "replicate_1")
    import json

    record = json.loads((tmp_path / "local" / "run.json").read_text())
    assert [r["seed"] for r in record["results"]["replicates"]][0] == 21 and record["arguments"]["replicates"] == 3


def test_an_unreachable_scheduler_is_one_line_and_status_2(client, tmp_path, capsys):
    import socket
    import threading
    import time

    with socket.socket() as s:  # a port nothing listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    start = time.monotonic()
    done = run_cli("simulate", "--seed", "1", "--replicates", "2", "--out", str(tmp_path / "out"),
                   "--scheduler", f"tcp://127.0.0.1:{port}", env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"})
    assert time.monotonic() - start < 60
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and f"127.0.0.1:{port}" in done.stderr, done.stderr
    # Something that is no Dask scheduler answers: a web server, a worker.
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(4)

        def answer_http():
            for _ in range(4):
                try:
                    conn, _ = server.accept()
                except OSError:
                    return
                with conn:
                    conn.sendall(b"HTTP/1.1 400 Bad Request\r\nconnection: close\r\ncontent-length: 0\r\n\r\n")

        threading.Thread(target=answer_http, daemon=True).start()
        web = f"tcp://127.0.0.1:{server.getsockname()[1]}"
        start = time.monotonic()
        done = run_cli("simulate", "--seed", "1", "--replicates", "2", "--out", str(tmp_path / "web"), "--scheduler", web)
        assert time.monotonic() - start < 30
    # Under a sanitizer, its allocator adds a line ("==pid==WARNING: ...") about
    # the huge frame Dask tries to read; it is not the command's output.
    err = "".join(line for line in done.stderr.splitlines(keepends=True) if not line.startswith("=="))
    assert done.returncode == 2 and err.count("\n") == 1, done.stderr
    assert "not a Dask scheduler" in err and web in err
    from vornix.cli import main

    worker = next(iter(client.scheduler_info()["workers"]))
    assert main(["simulate", "--seed", "1", "--replicates", "2", "--out", str(tmp_path / "w"), "--scheduler",
                 worker]) == 2
    assert capsys.readouterr().err.strip().endswith("what answers there is a Dask Worker")
    bad = run_cli("score", "x.nwk", "y.nwk", "--dup", "1", "--transfer", "1", "--loss", "1", "--workers", "2",
                  "--scheduler", "tcp://127.0.0.1:1")
    assert bad.returncode == 2 and "not both" in bad.stderr


def test_a_scheduler_lost_mid_run_is_one_line_and_status_2(tmp_path):
    import subprocess
    import time

    sp = tmp_path / "species.nwk"
    sp.write_text(TREE + "\n")
    (tmp_path / "trees.nwk").write_text("((A_1,B_1),(D_1,F_1));\n")
    # A scheduler without workers: the command waits on it until it goes.
    cluster = distributed.LocalCluster(n_workers=0, processes=False, protocol="tcp://", dashboard_address=":0",
                                       silence_logs=50)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.Popen([sys.executable, "-m", "vornix", "score", str(sp), str(tmp_path / "trees.nwk"), "--dup",
                            "0.2", "--transfer", "0.1", "--loss", "0.3", "--scheduler", cluster.scheduler_address],
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not cluster.scheduler.tasks and time.monotonic() < deadline and run.poll() is None:
            time.sleep(0.05)
        assert cluster.scheduler.tasks, "the command submitted no work"
    finally:
        cluster.close()
    out, err = run.communicate(timeout=60)
    assert run.returncode == 2 and out == "" and err.count("\n") == 1, err
    assert err.startswith("vornix score: error: lost the connection to the Dask scheduler at"), err
