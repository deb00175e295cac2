"""simulate_log and simulate_trace: result shapes, the fixed behaviours of the
engine, and invariants that any broken run would violate."""
import math
import random
import struct
from collections import Counter

import pytest

import vornix_core as vc
from log_trees import ORDER, positional, random_settings, random_tree

O, D, T, L, S = range(5)
CHERRY = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0], extant_leaf=[False, True, True], root=0)
QUIET = dict(duplication=0.0, transfer=0.0, loss=0.0, origination=0.0, initial_size=2, cap=-1, seed=1,
             replacement=0.0, distance_decay=-1.0, allow_self=False)


def rows(records):
    return list(zip(records[0], *records[1:]))


def unpack(profile):
    leaves, r, c, v = profile
    return (list(struct.unpack(f"<{len(leaves) // 4}I", leaves)), list(struct.unpack(f"<{len(r) // 4}I", r)),
            list(struct.unpack(f"<{len(c) // 8}Q", c)), list(struct.unpack(f"<{len(v) // 4}I", v)))


def busy_case(seed, n_leaves=10):
    rnd = random.Random(seed)
    kwargs = {**random_tree(rnd, n_leaves), **random_settings(rnd)}
    kwargs.update(initial_size=rnd.randint(3, 12), duplication=0.5, transfer=0.9, loss=0.9, origination=1.0)
    return kwargs


def test_two_founding_families_on_a_cherry():
    records, extant = vc.simulate_log(**CHERRY, **QUIET)
    assert records == (bytes([O, O, S, S]), [0, 0, 0, 0], [0.0] * 4, [-1] * 4, [-1] * 4, [0, 1, 0, 1],
                       [0, 1, 0, 1], [-1, -1, 2, 4], [-1, -1, 3, 5])
    assert extant == [(1, [(2, 0), (4, 1)]), (2, [(3, 0), (5, 1)])]
    trace, profile = vc.simulate_trace(**CHERRY, **QUIET)
    assert trace == (bytes([O, O]), [0, 0], [0.0, 0.0], [-1, -1], [-1, -1], [0, 1], [0, 1], [-1, -1], [-1, -1])
    assert unpack(profile) == ([1, 2], [0, 0, 1, 1], [0, 1, 0, 1], [1, 1, 1, 1])


def test_result_types():
    records, extant = vc.simulate_log(**busy_case(3))
    assert isinstance(records, tuple) and len(records) == 9
    assert isinstance(records[0], bytes) and set(records[0]) <= {O, D, T, L, S}
    assert all(isinstance(col, list) and len(col) == len(records[0]) for col in records[1:])
    assert all(type(x) is float for x in records[2])
    assert all(type(x) is int for col in records[3:] for x in col)
    assert isinstance(extant, list) and all(isinstance(e, tuple) and len(e) == 2 for e in extant)
    _, profile = vc.simulate_trace(**busy_case(3))
    assert isinstance(profile, tuple) and all(type(b) is bytes for b in profile)


def test_quiet_runs_only_found_and_speciate():
    rnd = random.Random(7)
    tree = random_tree(rnd, 9)
    records, extant = vc.simulate_log(**tree, **{**QUIET, "initial_size": 3})
    internal = sum(1 for v in range(tree["n_nodes"]) if v in tree["parent"])
    assert records[0] == bytes([O] * 3 + [S] * (3 * internal))
    assert all(sorted(f for _, f in copies) == [0, 1, 2] for _, copies in extant)
    records, extant = vc.simulate_log(**tree, **{**QUIET, "initial_size": 0})
    assert records[0] == b"" and all(copies == [] for _, copies in extant)
    trace, profile = vc.simulate_trace(**tree, **{**QUIET, "initial_size": 0})
    leaves, r, c, v = unpack(profile)
    assert trace[0] == b"" and leaves == [leaf for leaf, _ in extant] and r == c == v == []


def test_no_extant_leaf():
    tree = dict(CHERRY, extant_leaf=[False, False, False])
    assert vc.simulate_log(**tree, **QUIET)[1] == []
    assert vc.simulate_trace(**tree, **QUIET)[1] == (b"", b"", b"", b"")


def test_extant_leaves_in_time_then_node_order():
    # Root 4; leaves 3, 0 and 2 end together at time 2, leaf 1 earlier at 1.5.
    tree = dict(n_nodes=5, parent=[3, 4, 3, 4, -1], time=[2.0, 1.5, 2.0, 1.0, 0.0],
                extant_leaf=[True, True, True, False, False], root=4)
    _, extant = vc.simulate_log(**tree, **QUIET)
    assert [leaf for leaf, _ in extant] == [1, 0, 2]
    _, profile = vc.simulate_trace(**tree, **QUIET)
    assert unpack(profile)[0] == [1, 0, 2]


def replay(tree, records):
    """Replays a full log against the tree and returns each extant leaf's set
    of gene ids, checking the log's own consistency on the way."""
    parent, n = tree["parent"], tree["n_nodes"]
    children = [[c for c in range(n) if parent[c] == p] for p in range(n)]
    content = {}  # branch -> {gene: family}
    minted = set()
    root = tree["root"]
    content[root] = {}

    def mint(g):
        assert g not in minted, f"gene id {g} minted twice"
        minted.add(g)

    for kind, b, t, donor, recipient, f, g, c1, c2 in rows(records):
        here = content.setdefault(b, {})
        if kind == O:
            assert (donor, recipient, c1, c2) == (-1, -1, -1, -1)
            mint(g)
            here[g] = f
        elif kind == L:
            assert (donor, recipient, c1, c2) == (-1, -1, -1, -1)
            assert here.pop(g) == f
        else:
            assert c2 == c1 + 1
            mint(c1)
            mint(c2)
            assert here.pop(g) == f
            if kind == D:
                here[c1] = here[c2] = f
            elif kind == T:
                assert donor == b and recipient >= 0
                here[c1] = f
                content.setdefault(recipient, {})[c2] = f
            else:
                assert kind == S
                left, right = children[b][:2]
                content.setdefault(left, {})[c1] = f
                content.setdefault(right, {})[c2] = f
    return content


@pytest.mark.parametrize("seed", range(25))
def test_log_replays_into_its_extant_content(seed):
    kwargs = busy_case(seed)
    records, extant = vc.simulate_log(**kwargs)
    content = replay(kwargs, records)
    for leaf, copies in extant:
        assert dict(copies) == content.get(leaf, {})
        assert len(dict(copies)) == len(copies)
    assert all(t >= kwargs["time"][kwargs["root"]] for t in records[2])


@pytest.mark.parametrize("seed", range(25))
def test_trace_agrees_with_log(seed):
    kwargs = busy_case(100 + seed)
    log, extant = vc.simulate_log(**kwargs)
    trace, profile = vc.simulate_trace(**kwargs)
    assert S not in trace[0]
    keep = [i for i, k in enumerate(log[0]) if k != S]
    for col in range(6):  # kind, branch, time, donor, recipient, family
        assert [log[col][i] for i in keep] == list(trace[col])
    leaves, r, c, v = unpack(profile)
    assert leaves == [leaf for leaf, _ in extant]
    want = [(j, f, n) for j, (_, copies) in enumerate(extant) for f, n in sorted(Counter(f for _, f in copies).items())]
    assert list(zip(r, c, v)) == want


def test_cap_zero_keeps_nothing_that_arrives():
    kwargs = {**busy_case(5, n_leaves=12), "cap": 0, "replacement": 0.0}
    records, _ = vc.simulate_log(**kwargs)
    rs = rows(records)
    assert D not in records[0]
    transfers = 0
    for i, (kind, b, t, donor, recipient, f, g, c1, c2) in enumerate(rs):
        if kind != T:
            continue
        transfers += 1
        # Then L records on the recipient for that family: residents first,
        # the arriving copy last.
        j = i + 1
        while j < len(rs) and rs[j][0] == L and rs[j][1] == recipient and rs[j][2] == t and rs[j][5] == f:
            j += 1
        losses = rs[i + 1:j]
        assert losses and losses[-1][6] == c2
        assert all(loss[6] != c2 for loss in losses[:-1])
    assert transfers > 0


def test_full_replacement_keeps_the_recipient_count():
    kwargs = {**busy_case(9, n_leaves=12), "cap": -1, "replacement": 1.0}
    records, _ = vc.simulate_log(**kwargs)
    children = [[c for c in range(kwargs["n_nodes"]) if kwargs["parent"][c] == p] for p in range(kwargs["n_nodes"])]
    content = {}
    rs = rows(records)
    replaced = 0
    for i, (kind, b, t, donor, recipient, f, g, c1, c2) in enumerate(rs):
        here = content.setdefault(b, {})
        if kind == O:
            here[g] = f
        elif kind == L:
            here.pop(g)
        elif kind == D:
            here.pop(g)
            here[c1] = here[c2] = f
        elif kind == S:
            here.pop(g)
            content.setdefault(children[b][0], {})[c1] = f
            content.setdefault(children[b][1], {})[c2] = f
        else:
            here.pop(g)
            here[c1] = f
            content.setdefault(recipient, {})[c2] = f
            residents = [gid for gid, fam in content[recipient].items() if fam == f and gid != c2]
            following = rs[i + 1] if i + 1 < len(rs) else None
            removal = following is not None and following[:3] == (L, recipient, t) and following[5] == f
            # The family was already there: exactly one resident goes, and
            # never the arriving copy.
            assert removal == bool(residents)
            if residents:
                assert following[6] in residents
                replaced += 1
    assert replaced > 0


def test_transfer_without_recipient_leaves_no_trace():
    # The root's right child dies at once, so one branch is live for most of
    # the run; with allow_self off its transfers find nobody.
    tree = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 0.01], extant_leaf=[False, True, False], root=0)
    for decay in (-1.0, 0.5):
        settings = {**QUIET, "transfer": 3.0, "initial_size": 4, "distance_decay": decay}
        records, extant = vc.simulate_log(**tree, **settings)
        assert T not in records[0]
        assert sorted(f for _, f in extant[0][1]) == [0, 1, 2, 3]
        records, _ = vc.simulate_log(**tree, **{**settings, "allow_self": True})
        assert records[0].count(T) > 0
        late = [(d, r) for k, t, d, r in zip(records[0], records[2], records[3], records[4]) if k == T and t > 0.01]
        assert late and all(d == r == 1 for d, r in late)


def test_runs_are_reproducible_and_seeded():
    kwargs = busy_case(21)
    first = vc.simulate_log(**kwargs)
    assert vc.simulate_log(**kwargs) == first
    assert vc.simulate_log(*positional(kwargs)) == first
    shuffled = list(ORDER)
    random.Random(1).shuffle(shuffled)
    assert vc.simulate_log(**{k: kwargs[k] for k in shuffled}) == first
    assert vc.simulate_log(**{**kwargs, "seed": kwargs["seed"] ^ 1}) != first
    assert vc.simulate_trace(**kwargs) == vc.simulate_trace(**kwargs)


def test_bad_trees_raise_and_leave_the_module_usable():
    # A child dated before its (non-root) parent is reached before its branch
    # was ever populated.
    tree = dict(n_nodes=5, parent=[-1, 0, 0, 1, 1], time=[0.0, 2.0, 3.0, 1.0, 3.0],
                extant_leaf=[False, False, True, True, True], root=0)
    with pytest.raises(ValueError, match="node 3"):
        vc.simulate_log(**tree, **QUIET)
    with pytest.raises(ValueError):
        vc.simulate_trace(**dict(CHERRY, parent=[-1, 0, 5]), **QUIET)
    with pytest.raises(ValueError):
        vc.simulate_log(**dict(CHERRY, time=[0.0, math.nan, 1.0]), **QUIET)
    with pytest.raises(ValueError):
        vc.simulate_log(**CHERRY, **{**QUIET, "loss": -1.0})
    with pytest.raises(MemoryError):
        vc.simulate_trace(**CHERRY, **{**QUIET, "initial_size": 2**63})
    assert vc.simulate_log(**CHERRY, **QUIET)[1][0][0] == 1


def test_a_child_dated_before_the_root_is_reached_at_once():
    # The clock steps back to the child's time, as the walk prescribes.
    tree = dict(n_nodes=3, parent=[-1, 0, 0], time=[1.0, 0.5, 2.0], extant_leaf=[False, True, True], root=0)
    records, extant = vc.simulate_log(**tree, **{**QUIET, "origination": 2.0, "seed": 4})
    assert [leaf for leaf, _ in extant] == [1, 2]
    assert extant[0][1] == [(2, 0), (4, 1)]


@pytest.mark.parametrize("cap", [0, 1, 2, 3])
def test_no_branch_ends_over_the_cap(cap):
    # Duplications stop at the cap and transfers are trimmed back to it; only
    # an origination can hold a family's single copy when the cap is 0.
    for seed in range(6):
        kwargs = {**busy_case(300 + seed), "cap": cap, "duplication": 1.5}
        _, profile = vc.simulate_trace(**kwargs)
        vals = unpack(profile)[3]
        assert vals and max(vals) <= max(cap, 1)
        _, extant = vc.simulate_log(**kwargs)
        for _, copies in extant:
            assert max(Counter(f for _, f in copies).values(), default=0) <= max(cap, 1)


def test_repeated_values_share_int_objects():
    # Memory: one object per node number and per family number.
    records, extant = vc.simulate_log(**{**busy_case(2, n_leaves=150), "initial_size": 300})
    families = records[5] + [f for _, copies in extant for _, f in copies]
    assert max(families) > 256 and len({id(f) for f in families}) == len(set(families))
    nodes = records[1] + [v for v in records[3] + records[4] if v >= 0]
    assert max(nodes) > 256
    assert len({id(v) for v in nodes}) == len(set(nodes))
