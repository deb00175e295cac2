"""simulate_nucleotide from Python: result shape, walk order, the documented
special settings, and refusal of unusable input."""
import math
import os
import subprocess
import sys
import textwrap

import pytest

import vornix_core

# Root 0; node 1 (internal, t=1) with children 3 (extinct, t=3), 4 (extant,
# t=3) and 5 (extant, t=2); node 2 (extant, t=2).
TREE = dict(n_nodes=6, parent=[-1, 0, 0, 1, 1, 1], time=[0.0, 1.0, 2.0, 3.0, 3.0, 2.0],
            extant_leaf=[False, False, True, False, True, True], root=0)
ZERO = dict(inversion=0.0, loss=0.0, duplication=0.0, transfer=0.0, transposition=0.0, origination=0.0)
MODE = dict(seed=5, replacement=0.0, distance_decay=-1.0, allow_self=False)


def run(tree=TREE, **settings):
    args = dict(ZERO, root_length=10, extension=0.9, initial_size=1, **MODE)
    args.update(settings)
    return vornix_core.simulate_nucleotide(**tree, **args)


def total_length(segments):
    return sum(end - start for _, start, end, _ in segments)


def expand(segments):
    """The genome nucleotide by nucleotide: (unit, coordinate, strand)."""
    out = []
    for unit, start, end, strand in segments:
        coords = range(start, end) if strand == 1 else range(end - 1, start - 1, -1)
        out.extend((unit, c, strand) for c in coords)
    return out


def test_zero_rates_report_the_root_genome_at_extant_leaves_in_walk_order():
    out = run(root_length=7, initial_size=3)
    assert [node for node, _ in out] == [2, 5, 4]  # by time, ties by number; extinct 3 absent
    assert all(segments == [(0, 0, 7, 1), (1, 0, 7, 1), (2, 0, 7, 1)] for _, segments in out)
    assert isinstance(out, list) and all(isinstance(entry, tuple) for entry in out)
    assert run(tree=dict(n_nodes=1, parent=[-1], time=[0.0], extant_leaf=[False], root=0), inversion=1.0) == []


def test_result_shape_and_reproducibility():
    busy = dict(inversion=0.02, loss=0.02, duplication=0.02, transfer=0.05, transposition=0.02, origination=0.5,
                root_length=50, initial_size=2)
    out = run(**busy)
    assert out == run(**busy)
    assert out != run(**dict(busy, seed=6))
    for node, segments in out:
        assert type(node) is int
        for segment in segments:
            unit, start, end, strand = segment
            assert type(segment) is tuple and all(type(x) is int for x in segment)
            assert 0 <= start < end and strand in (1, -1) and unit >= 0


def test_extension_at_least_one_makes_every_stretch_the_whole_genome():
    # Duplications double the whole genome each time.
    for extension in (1.0, 3.5, math.inf):
        for node, segments in run(duplication=0.05, root_length=3, initial_size=2, extension=extension):
            doublings = total_length(segments) // 6
            assert total_length(segments) % 6 == 0 and doublings & (doublings - 1) == 0
    # A loss removes everything at once.
    for _, segments in run(loss=0.3, extension=1.0, initial_size=2):
        assert segments in ([], [(0, 0, 10, 1), (1, 0, 10, 1)])
    # A transposition moves all but one nucleotide in front of or behind the
    # remaining one: read around the circle, the genome stays the same.
    start = [(0, i, 1) for i in range(5)]
    rotations = [start[k:] + start[:k] for k in range(5)]
    for _, segments in run(transposition=2.0, extension=1.0, root_length=5):
        assert expand(segments) in rotations


def test_an_emptied_genome_regains_material_only_by_origination():
    regained = 0
    for seed in range(8):
        # Losses take the whole genome; an origination into an empty genome
        # brings a whole new unit of root_length.
        for _, segments in run(loss=0.3, extension=1.0, origination=0.8, root_length=12, seed=seed):
            assert segments == [] or (len(segments) == 1 and segments[0][1:] == (0, 12, 1))
            regained += any(unit > 0 for unit, *_ in segments)
    assert regained > 0
    # Without origination or transfer an emptied genome stays empty.
    tree = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 6.0, 6.0], extant_leaf=[False, True, True], root=0)
    assert run(tree=tree, loss=1.0, inversion=1.0, extension=1.0) == [(1, []), (2, [])]


def test_root_length_must_be_positive_where_it_is_used():
    with pytest.raises(ValueError, match="root_length"):
        run(root_length=0, initial_size=1)
    with pytest.raises(ValueError, match="root_length"):
        run(root_length=-4, initial_size=0, origination=0.2)
    # Unused: no root units and no originations.
    assert run(root_length=0, initial_size=0, inversion=1.0) == [(2, []), (5, []), (4, [])]
    with pytest.raises(ValueError, match="root_length"):
        run(root_length=2**62, initial_size=2)  # a root genome longer than 64 bits


def test_a_child_dated_before_its_parent_fails_and_the_module_stays_usable():
    with pytest.raises(ValueError, match="node 2 is reached before its branch holds a genome"):
        run(tree=dict(n_nodes=3, parent=[-1, 0, 1], time=[0.0, 2.0, 1.0], extant_leaf=[False, False, True], root=0))
    assert run(root_length=3)[0] == (2, [(0, 0, 3, 1)])


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer reserves more address space than the limit allows")
def test_running_out_of_memory_raises_memory_error_and_keeps_the_interpreter():
    """Every duplication doubles the genome; under an address-space limit the
    allocation fails and the call raises MemoryError."""
    script = textwrap.dedent("""
        import resource, vornix_core
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        tree = dict(n_nodes=2, parent=[-1, 0], time=[0.0, 1000.0], extant_leaf=[False, True], root=0)
        rates = dict(inversion=0.0, loss=0.0, transfer=0.0, transposition=0.0, origination=0.0)
        common = dict(extension=1.0, initial_size=1, seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False)
        try:
            vornix_core.simulate_nucleotide(**tree, **rates, duplication=1.0, root_length=2, **common)
        except MemoryError:
            print("MemoryError")
        print(vornix_core.simulate_nucleotide(**tree, **rates, duplication=0.0, root_length=2, **common))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["MemoryError", "[(1, [(0, 0, 2, 1)])]"]


class TestRunawaysEndWithAClearAnswer:
    M = 1.7976931348623157e308

    def test_once_every_genome_is_empty_the_walk_jumps_to_the_next_node(self):
        # Loss empties both genomes early; a rounding residue in the sampler's
        # running total used to keep drawing events until the event limit.
        times = [0.0, -0.0, 2.0999205619769706e+200, 2.0999205619769706e+200]
        tree = dict(n_nodes=4, parent=[-1, 0, 0, 0], time=times, extant_leaf=[False, True, True, True], root=0)
        out = vornix_core.simulate_nucleotide(**tree, inversion=0.0, loss=0.002153082630784443, duplication=0.0,
                                              transfer=0.0, transposition=0.0, origination=0.0, root_length=7,
                                              extension=0.3, initial_size=3, seed=6413051092664171030,
                                              replacement=0.0, distance_decay=-1.0, allow_self=False)
        assert out == [(1, [(0, 0, 7, 1), (1, 0, 7, 1), (2, 0, 7, 1)]), (2, []), (3, [])]

    @pytest.mark.parametrize("rates", [dict(inversion=M, loss=M), dict(transfer=M, transposition=M / 2)])
    def test_rates_that_add_up_past_the_largest_double_are_refused_up_front(self, rates):
        with pytest.raises(ValueError, match="inversion \\+ loss \\+ duplication \\+ transfer \\+ transposition"):
            run(**rates)

    @pytest.mark.parametrize("rates", [dict(loss=M), dict(inversion=M / 4), dict(duplication=1e300, origination=M)])
    def test_a_branch_rate_that_overflows_stops_with_value_error(self, rates):
        with pytest.raises(ValueError, match="^the event rates overflow: a branch's total rate .* not finite; lower these rates$"):
            run(**rates)
        assert run() == run()  # still usable

    def test_a_sampler_total_that_overflows_over_several_branches_stops_too(self):
        # Each branch's rate is finite (0.6 of the largest double) but two
        # branches together are not.
        with pytest.raises(ValueError, match="sum over the live branches is not finite"):
            run(root_length=1, initial_size=1, inversion=0.6 * self.M)
