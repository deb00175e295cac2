"""simulate_and_write: the output directory against the event log of the same
run, and the directory's behaviour (reuse, failures, fork)."""
import math
import os
import pathlib
import random
import time

import pytest

import vornix_core as vc
from tree_factory import random_arrays
from writer_reference import expected_files, natural_order

ENGINE_PARAMS = ["n_nodes", "parent", "time", "extant_leaf", "root", "duplication", "transfer", "loss",
                 "origination", "initial_size", "cap", "seed", "replacement", "distance_decay", "allow_self"]


def random_tree(rng, n_leaves, extinct_share=0.3):
    """A random dated binary tree with extinct lineages, nodes numbered at random,
    with its node names and the time of the present."""
    parent, time_, is_extant, root = random_arrays(rng, n_leaves, extinct_share)
    n = len(parent)
    has_child = [False] * n
    for p in parent:
        if p >= 0:
            has_child[p] = True
    names = [f"anc{v}" if has_child[v] else (f"sp{v}" if is_extant[v] else f"n{v}_x") for v in range(n)]
    tree = dict(n_nodes=n, parent=parent, time=time_, extant_leaf=is_extant, root=root)
    return tree, names, max(time_)


def run_kwargs(tree, names, total_age, outdir, **over):
    kw = dict(tree, names=names, duplication=0.3, transfer=0.3, loss=0.3, origination=0.5, initial_size=5,
              cap=-1, seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False, total_age=total_age,
              outdir=str(outdir))
    kw.update(over)
    return kw


def log_of(kw):
    return vc.simulate_log(**{k: kw[k] for k in ENGINE_PARAMS})


def read_dir(root):
    root = pathlib.Path(root)
    return {str(p.relative_to(root)): p.read_bytes().decode() for p in root.rglob("*") if p.is_file()}


def small_tree():
    """Root r; an extinct lineage x; extant leaves s10 and s2 (in that node order)."""
    tree = dict(n_nodes=5, parent=[-1, 0, 0, 1, 1], time=[0.0, 1.0, 3.0, 3.0, 2.0],
                extant_leaf=[False, False, True, True, False], root=0)
    return tree, ["r", "a", "s10", "s2", "x"], 3.0


CASES = [
    dict(),
    dict(cap=2, replacement=0.5),
    dict(cap=0, transfer=1.0),
    dict(replacement=1.0, distance_decay=1.0, allow_self=True),
    dict(duplication=1.0, loss=0.1, origination=0.0),
    dict(loss=2.0, initial_size=20),
    dict(duplication=0.0, transfer=0.0, loss=0.0, origination=0.0),
]


@pytest.mark.parametrize("case", range(len(CASES)))
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_files_match_the_event_log(tmp_path, case, seed):
    rng = random.Random(case * 100 + seed)
    tree, names, end = random_tree(rng, rng.randint(2, 12))
    kw = run_kwargs(tree, names, end + rng.choice([0.0, 0.25]), tmp_path / "out", seed=seed, **CASES[case])
    counts = vc.simulate_and_write(**kw)
    records, extant = log_of(kw)
    want = expected_files(records, extant, names, kw["total_age"], tree)
    got = read_dir(tmp_path / "out")
    assert sorted(got) == sorted(want)
    for path in want:
        assert got[path] == want[path], path
    assert counts == (len(set(records[5])), len(records[0]), len(extant))


def test_each_events_file_lists_its_familys_records_and_transfers_appear_twice(tmp_path):
    tree, names, end = small_tree()
    kw = run_kwargs(tree, names, end, tmp_path, transfer=1.0, initial_size=8, seed=7)
    n_families, n_records, n_leaves = vc.simulate_and_write(**kw)
    records, _ = log_of(kw)
    kinds, families = records[0], records[5]
    assert kinds.count(2) > 0
    lines = []
    for f in range(n_families):
        body = (tmp_path / "gene_family_events" / f"{f + 1}_events.tsv").read_text().splitlines()[1:]
        assert len(body) == families.count(f)
        lines += body
    assert len(lines) == n_records
    transfer_lines = [line for line in lines if line.split("\t")[1] == "T"]
    table = (tmp_path / "Transfers.tsv").read_text().splitlines()[1:]
    assert len(transfer_lines) == len(table) == kinds.count(2)
    # The same event, seen from both files: time, donor, recipient and the three copies.
    for ev, tr in zip(sorted(transfer_lines), sorted(table)):
        t, _, _, donor, recipient, nodes = ev.split("\t")
        tt, _, tdonor, trecipient, parent, kept, moved = tr.split("\t")
        assert (t, donor, recipient) == (tt, tdonor, trecipient)
        assert nodes == f"parent={parent};donor_copy={kept};transfer_copy={moved}"
    assert n_leaves == 2


def test_run_without_records_writes_headers_only(tmp_path):
    tree, names, end = small_tree()
    out = tmp_path / "fresh" / "out"
    counts = vc.simulate_and_write(**run_kwargs(tree, names, end, out, initial_size=0, origination=0.0))
    assert counts == (0, 0, 2)
    assert sorted(read_dir(out)) == ["Gene_family_summary.tsv", "Presence.tsv", "Profiles.tsv", "Transfers.tsv"]
    assert sorted(p.name for p in out.iterdir() if p.is_dir()) == ["gene_family_events", "gene_trees"]
    assert (out / "Transfers.tsv").stat().st_size == 78
    assert (out / "Gene_family_summary.tsv").stat().st_size == 100
    assert (out / "Profiles.tsv").read_text() == "family\ts2\ts10\n"  # natural order, not node order
    assert (out / "Presence.tsv").read_text() == "family\ts2\ts10\n"


def test_profiles_presence_and_families_without_survivors(tmp_path):
    tree, names, end = small_tree()
    kw = run_kwargs(tree, names, end, tmp_path, duplication=1.5, loss=0.6, transfer=0.0, origination=0.0,
                    initial_size=30, seed=3)
    n_families, _, _ = vc.simulate_and_write(**kw)
    summary = [line.split("\t") for line in (tmp_path / "Gene_family_summary.tsv").read_text().splitlines()[1:]]
    profiles = [line.split("\t") for line in (tmp_path / "Profiles.tsv").read_text().splitlines()]
    presence = [line.split("\t") for line in (tmp_path / "Presence.tsv").read_text().splitlines()]
    assert profiles[0] == presence[0] == ["family", "s2", "s10"]
    assert [row[0] for row in profiles] == [row[0] for row in presence]
    assert any(int(c) > 1 for row in profiles[1:] for c in row[1:])
    for prow, brow in zip(profiles[1:], presence[1:]):
        assert brow[1:] == ["1" if int(c) else "0" for c in prow[1:]]
    dead = [row[0] for row in summary if row[7:] == ["0", "0"]]
    assert dead and len(summary) == n_families
    for f in dead:
        assert (tmp_path / "gene_trees" / f"{f}_complete.nwk").exists()
        assert not (tmp_path / "gene_trees" / f"{f}_extant.nwk").exists()
        assert f not in [row[0] for row in profiles[1:]]


def test_natural_column_order_and_equal_names():
    names = ["s10", "s2", "b", "s1", "a", "leaf_3_2", "sp1_10", "sp2_1", "a01", "b1", "", "x" + "9" * 40]
    order = natural_order(range(len(names)), names)
    assert [names[i] for i in order] == ["", "a", "b", "x" + "9" * 40, "a01", "b1", "s1", "s2", "s10", "sp2_1",
                                         "leaf_3_2", "sp1_10"]


def test_columns_follow_natural_order_of_names(tmp_path):
    rng = random.Random(5)
    tree, _, end = random_tree(rng, 12, extinct_share=0.0)
    pool = ["s10", "s2", "b", "s1", "a", "a01", "b1", "", "sp2_1", "sp1_10", "s02", "z" + "7" * 40]
    names, leaves = [], [v for v in range(tree["n_nodes"]) if tree["extant_leaf"][v]]
    for v in range(tree["n_nodes"]):
        names.append(pool[leaves.index(v)] if v in leaves else f"in{v}")
    vc.simulate_and_write(**run_kwargs(tree, names, end, tmp_path))
    header = (tmp_path / "Profiles.tsv").read_text().splitlines()[0].split("\t")
    assert header == ["family", "", "a", "b", "z" + "7" * 40, "a01", "b1", "s1", "s02", "s2", "s10", "sp2_1",
                      "sp1_10"]


def test_reused_directory_keeps_foreign_and_stale_files(tmp_path):
    tree, names, end = small_tree()
    vc.simulate_and_write(**run_kwargs(tree, names, end, tmp_path, initial_size=30, seed=4))
    (tmp_path / "notes.txt").write_text("mine")
    before = read_dir(tmp_path)
    counts = vc.simulate_and_write(**run_kwargs(tree, names, end, tmp_path, initial_size=2, origination=0.0))
    after = read_dir(tmp_path)
    assert counts[0] == 2
    assert after["notes.txt"] == "mine"
    assert after["gene_family_events/30_events.tsv"] == before["gene_family_events/30_events.tsv"]
    fresh = read_dir_of_run(tree, names, end, tmp_path / "fresh", initial_size=2, origination=0.0)
    for path, text in fresh.items():
        assert after[path] == text


def read_dir_of_run(tree, names, end, out, **over):
    vc.simulate_and_write(**run_kwargs(tree, names, end, out, **over))
    return read_dir(out)


def test_unwritable_outdir_raises_oserror_with_the_system_text(tmp_path):
    tree, names, end = small_tree()
    (tmp_path / "file").write_text("x")
    with pytest.raises(OSError) as info:
        vc.simulate_and_write(**run_kwargs(tree, names, end, tmp_path / "file" / "out"))
    assert str(info.value) == "Not a directory (os error 20)"
    with pytest.raises(OSError, match="^Not a directory"):
        vc.simulate_and_write(**run_kwargs(tree, names, end, tmp_path / "file"))
    # A NUL byte would silently cut the path short.
    with pytest.raises(OSError, match="NUL"):
        vc.simulate_and_write(**run_kwargs(tree, names, end, str(tmp_path / "a") + "\0b"))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]


def test_failure_in_the_family_stage_stops_before_the_run_wide_tables(tmp_path):
    tree, names, end = small_tree()
    (tmp_path / "gene_trees" / "3_complete.nwk").mkdir(parents=True)
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        vc.simulate_and_write(**run_kwargs(tree, names, end, tmp_path, initial_size=5))
    assert not (tmp_path / "Transfers.tsv").exists()
    assert not (tmp_path / "Profiles.tsv").exists()
    assert vc.simulate_and_write(**run_kwargs(tree, names, end, tmp_path / "ok"))[0] > 0


def test_short_names_list_is_refused_before_anything_happens(tmp_path):
    tree, names, end = small_tree()
    out = tmp_path / "never"
    with pytest.raises(ValueError, match="names has 4 entries but n_nodes is 5"):
        vc.simulate_and_write(**run_kwargs(tree, names[:4], end, out))
    assert not out.exists()
    # Longer lists are fine; only the first n_nodes entries are used.
    assert vc.simulate_and_write(**run_kwargs(tree, names + ["extra"], end, out))[2] == 2


def _wait(pid, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_can_write_after_its_parent_did(tmp_path):
    tree, names, end = small_tree()
    kw = run_kwargs(tree, names, end, tmp_path / "parent", initial_size=200)
    parent_counts = vc.simulate_and_write(**kw)  # starts the process-wide pool here
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            counts = vc.simulate_and_write(**dict(kw, outdir=str(tmp_path / "child")))
            code = 0 if counts == parent_counts else 2
        finally:
            os._exit(code)
    assert _wait(pid, 60) == 0
    assert read_dir(tmp_path / "child") == read_dir(tmp_path / "parent")


def parse_newick(text):
    """(label, length, children) from Newick text, quoted labels unquoted."""
    pos = 0

    def label():
        nonlocal pos
        if text[pos] == "'":
            out, pos = [], pos + 1
            while True:
                if text[pos] == "'" and text[pos + 1:pos + 2] == "'":
                    out.append("'")
                    pos += 2
                elif text[pos] == "'":
                    pos += 1
                    return "".join(out)
                else:
                    out.append(text[pos])
                    pos += 1
        start = pos
        while text[pos] not in "(),:;":
            pos += 1
        return text[start:pos]

    def node():
        nonlocal pos
        children = []
        if text[pos] == "(":
            while text[pos] in "(,":
                pos += 1
                children.append(node())
            assert text[pos] == ")"
            pos += 1
        name = label()
        assert text[pos] == ":"
        pos += 1
        start = pos
        while text[pos] not in ",);":
            pos += 1
        return name, float(text[start:pos]), children

    tree = node()
    assert text[pos:] == ";\n"
    return tree


def leaf_depths(tree, above=0.0):
    """(label, time from the root's start to the leaf's end) for every leaf."""
    name, length, children = tree
    if not children:
        return [(name, above + length)]
    return [leaf for child in children for leaf in leaf_depths(child, above + length)]


def issue_tree():
    """Extant A, B, C and one extinct lineage Xext ending at 3.5 of 6.0."""
    tree = dict(n_nodes=7, parent=[-1, 0, 0, 1, 1, 2, 2], time=[0.0, 1.0, 2.0, 6.0, 6.0, 6.0, 3.5],
                extant_leaf=[False, False, False, True, True, True, False], root=0)
    return tree, ["root", "AB", "CX", "A", "B", "C", "Xext"]


class TestCopiesOnExtinctLineages:
    def test_every_copy_left_on_the_extinct_leaf_ends_at_its_time(self, tmp_path):
        tree, names = issue_tree()
        kw = run_kwargs(tree, names, 6.0, tmp_path, duplication=0.4, transfer=0.8, loss=0.2, origination=0.0,
                        initial_size=40, seed=11)
        vc.simulate_and_write(**kw)
        ends = {"bare": [], "species": []}
        for path in (tmp_path / "gene_trees").glob("*_complete.nwk"):
            for label, depth in leaf_depths(parse_newick(path.read_text())):
                if label.isdigit():
                    ends["bare"].append(depth)
                elif not label.startswith("LOSS_"):
                    ends["species"].append(depth)
        # Families start at the root at time 0, so depth is the leaf's end time.
        assert len(ends["bare"]) > 20 and len(ends["species"]) > 20
        assert all(abs(d - 3.5) < 1e-4 for d in ends["bare"]), ends["bare"]
        assert all(abs(d - 6.0) < 1e-4 for d in ends["species"])

    def test_without_extinct_leaves_the_old_lengths_stand(self, tmp_path):
        tree, names = issue_tree()
        tree["extant_leaf"][6] = True
        tree["time"][6] = 6.0
        kw = run_kwargs(tree, names, 6.5, tmp_path, transfer=0.8, initial_size=10, seed=3)
        vc.simulate_and_write(**kw)
        records, extant = log_of(kw)
        assert read_dir(tmp_path) == expected_files(records, extant, names, 6.5)  # no tree: all run to total_age


class TestNamesInTheOutput:
    NAMES = ["root", "AB", "CX", "t:u", "it's", "a b", "(x)"]

    def test_gene_tree_labels_are_quoted_and_read_back(self, tmp_path):
        tree, _ = issue_tree()
        tree["extant_leaf"][6], tree["time"][6] = True, 6.0
        kw = run_kwargs(tree, self.NAMES, 6.0, tmp_path, transfer=0.5, initial_size=30, seed=5)
        vc.simulate_and_write(**kw)
        records, extant = log_of(kw)
        assert read_dir(tmp_path) == expected_files(records, extant, self.NAMES, 6.0, tree)
        seen = set()
        for path in (tmp_path / "gene_trees").glob("*_extant.nwk"):
            for label, _ in leaf_depths(parse_newick(path.read_text().splitlines()[0] + "\n")):
                species, _, gene = label.rpartition("_")
                assert species in self.NAMES[3:] and gene.isdigit(), label
                seen.add(species)
        assert seen == set(self.NAMES[3:])
        assert "'it''s_" in "".join(p.read_text() for p in (tmp_path / "gene_trees").iterdir())

    @pytest.mark.parametrize("bad", ["a\tb", "line\n", "cr\r", "\t"])
    @pytest.mark.parametrize("node", [2, 4])
    def test_tab_newline_or_cr_in_a_name_is_refused_before_writing(self, tmp_path, bad, node):
        tree, names = issue_tree()
        names[node] = bad
        with pytest.raises(ValueError, match=rf"^names\[{node}\] contains a tab, newline or carriage return"):
            vc.simulate_and_write(**run_kwargs(tree, names, 6.0, tmp_path / "out"))
        assert not (tmp_path / "out").exists()
        # Entries past n_nodes are never printed, so they are not checked.
        tree, names = issue_tree()
        assert vc.simulate_and_write(**run_kwargs(tree, names + [bad], 6.0, tmp_path / "ok"))[2] == 3

    def test_two_extant_leaves_with_one_name_are_refused(self, tmp_path):
        tree, names = issue_tree()
        names[5] = "A"
        with pytest.raises(ValueError, match="extant leaves 3 and 5 share the name 'A'"):
            vc.simulate_and_write(**run_kwargs(tree, names, 6.0, tmp_path / "out"))
        assert not (tmp_path / "out").exists()
        # Internal nodes and extinct leaves may share names with anything.
        names = ["A", "A", "Xext", "A0", "B", "C", "Xext"]
        assert vc.simulate_and_write(**run_kwargs(tree, names, 6.0, tmp_path / "ok"))[2] == 3


@pytest.mark.parametrize("total_age", [math.nan, math.inf, -math.inf, 5.999999999, 3.0, -1.0])
def test_total_age_before_the_tree_ends_or_not_finite_is_refused(tmp_path, total_age):
    tree, names = issue_tree()
    with pytest.raises(ValueError, match=r"^total_age must be a finite time no earlier than the latest node time \(6\)"):
        vc.simulate_and_write(**run_kwargs(tree, names, total_age, tmp_path / "out"))
    assert not (tmp_path / "out").exists()
    assert vc.simulate_and_write(**run_kwargs(tree, names, 6.0, tmp_path / "ok"))[2] == 3
