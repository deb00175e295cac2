"""The module boundary: registration, signatures, argument conversion, arity
errors, and the up-front validation of species trees and rates.

Most checks provoke an error in a *later* parameter: when the error names that
later parameter, every parameter before it converted successfully, whatever
the engine would then do with the values."""
import collections.abc
import math

import numpy as np
import pytest

import vornix_core as vc
from expected_docs import DOCS, ORDER, PARAMS

SIM_FUNCTIONS = ["simulate_log", "simulate_trace", "simulate_profiles", "simulate_profiles_parallel"]


def tree3():
    """Root 0 at time 0 with extant leaves 1 and 2 at time 1."""
    return dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0], extant_leaf=[False, True, True], root=0)


def log_kwargs(**over):
    kw = dict(tree3(), duplication=0.1, transfer=0.1, loss=0.1, origination=0.1, initial_size=2, cap=-1,
              seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False)
    kw.update(over)
    return kw


def sim_kwargs(name, **over):
    kw = log_kwargs()
    if name == "simulate_profiles_parallel":
        kw.update(n_copies=2, n_threads=1)
    kw.update(over)
    return kw


def nucleotide_kwargs(**over):
    kw = dict(tree3(), inversion=0.1, loss=0.1, duplication=0.1, transfer=0.1, transposition=0.1,
              origination=0.1, root_length=100, extension=0.5, initial_size=1, seed=1, replacement=0.0,
              distance_decay=-1.0, allow_self=False)
    kw.update(over)
    return kw


def dated_kwargs(**over):
    kw = dict(sp_parent=[2, 2, -1], sp_left=[-1, -1, 0], sp_right=[-1, -1, 1], sp_is_leaf=[True, True, False],
              sp_time=[1.0, 1.0, 0.0], sp_parent_time=[0.0, 0.0, 0.0], sp_root=2, gt_offsets=[0, 3],
              gt_is_leaf=[True, True, False], gt_left=[-1, -1, 0], gt_right=[-1, -1, 1], gt_species=[0, 1, -1],
              dup=0.1, transfer=0.1, loss=0.1, n_steps=1, origination=0, n_extinct=0)
    kw.update(over)
    return kw


def raised(fn, **kw):
    with pytest.raises(Exception) as info:
        fn(**kw)
    return info.value


def note_of(exc):
    return getattr(exc, "__notes__", [None])[-1]


def last_param_fails(fn, kw, last):
    """Call with an int in the bool parameter `last`: the call must fail there."""
    exc = raised(fn, **dict(kw, **{last: 1}))
    return type(exc), note_of(exc)


# --- module shape -------------------------------------------------------------------------------------------


def test_functions_registered_in_order_with_signatures_and_docs():
    names = [k for k, v in vars(vc).items() if callable(v)]
    assert names == ORDER
    for name in ORDER:
        fn = getattr(vc, name)
        assert fn.__text_signature__ == "(" + PARAMS[name] + ")"
        assert fn.__doc__ == DOCS.get(name)


def test_available():
    assert vc.available() is True
    with pytest.raises(TypeError):
        vc.available(1)
    with pytest.raises(TypeError):
        vc.available(x=1)


# --- arity -------------------------------------------------------------------------------------------------


def test_arity_errors_name_function_and_parameter():
    kw = log_kwargs()
    args = list(kw.values())
    with pytest.raises(TypeError, match=r"simulate_log\(\) takes 15 positional arguments but 16 were given"):
        vc.simulate_log(*args, 0)
    with pytest.raises(TypeError, match=r"simulate_log\(\) got an unexpected keyword argument 'bogus'"):
        vc.simulate_log(**kw, bogus=1)
    with pytest.raises(TypeError, match=r"simulate_log\(\) got multiple values for argument 'parent'"):
        vc.simulate_log(*args[:2], parent=[0])
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'allow_self'"):
        vc.simulate_log(*args[:14])
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'distance_decay' and 'allow_self'"):
        vc.simulate_log(*args[:13])
    with pytest.raises(TypeError, match=r"dated_joint_loglik\(\) missing 18 required"):
        vc.dated_joint_loglik()


def test_keywords_in_any_order_equal_positional():
    kw = log_kwargs(allow_self=1)
    shuffled = dict(reversed(list(kw.items())))
    for call in (lambda: vc.simulate_log(*kw.values()), lambda: vc.simulate_log(**shuffled)):
        exc = raised(lambda: call())
        assert type(exc) is TypeError and note_of(exc) == "while processing 'allow_self'"


# --- argument classes ----------------------------------------------------------------------------------------


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("param", ["n_nodes", "root", "initial_size", "seed"])
def test_unsigned_ints(param):
    kw = log_kwargs()
    for good in (True, np.uint64(2**64 - 1), np.int8(0), Index(2**64 - 1)):
        assert last_param_fails(vc.simulate_log, dict(kw, **{param: good}), "allow_self")[1].endswith("'allow_self'")
    for bad, cls in ((-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("1", TypeError)):
        exc = raised(vc.simulate_log, **dict(kw, **{param: bad}))
        assert type(exc) is cls and note_of(exc) == f"while processing '{param}'"


def test_signed_int_range_and_negative_cap():
    kw = log_kwargs()
    for good in (-1, -(2**63), 2**63 - 1, np.int64(-5)):
        assert last_param_fails(vc.simulate_log, dict(kw, cap=good), "allow_self")[1].endswith("'allow_self'")
    for bad in (2**63, -(2**63) - 1):
        exc = raised(vc.simulate_log, **dict(kw, cap=bad))
        assert type(exc) is OverflowError and note_of(exc) == "while processing 'cap'"


def test_small_int_range_message():
    for bad in (256, -1, 2**70):
        exc = raised(vc.dated_joint_loglik, **dated_kwargs(origination=bad))
        assert type(exc) is OverflowError
        assert str(exc) == "out of range integral type conversion attempted"
        assert note_of(exc) == "while processing 'origination'"
    exc = raised(vc.dated_joint_loglik, **dated_kwargs(origination=255, n_extinct=-1))
    assert note_of(exc) == "while processing 'n_extinct'"


def test_floats_accept_ints_and_float_protocol():
    kw = log_kwargs()
    for good in (1, Floaty(), np.float32(0.5), True):
        assert last_param_fails(vc.simulate_log, dict(kw, loss=good), "allow_self")[1].endswith("'allow_self'")
    exc = raised(vc.simulate_log, **dict(kw, loss="0.1"))
    assert type(exc) is TypeError and note_of(exc) == "while processing 'loss'"


def test_bool_accepts_only_python_and_numpy_booleans():
    for bad in (1, 0, 1.0, None, "True", np.int64(1)):
        exc = raised(vc.simulate_log, **log_kwargs(allow_self=bad))
        assert type(exc) is TypeError and note_of(exc) == "while processing 'allow_self'"
    # NumPy booleans in a bool sequence convert; the error then comes from a later parameter.
    exc = raised(vc.simulate_log, **log_kwargs(extant_leaf=[np.False_, np.True_, np.bool_(True)], allow_self=1))
    assert note_of(exc) == "while processing 'allow_self'"


class MySeq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Registered:
    """Not a sequence by protocol, but registered as one."""

    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)


collections.abc.Sequence.register(Registered)


def test_sequences_of_every_kind_convert():
    for make in (list, tuple, np.array, MySeq, Registered):
        kw = log_kwargs(parent=make([-1, 0, 0]), time=make([0.0, 1.0, 1.0]),
                        extant_leaf=make([False, True, True]), allow_self=1)
        assert note_of(raised(vc.simulate_log, **kw)) == "while processing 'allow_self'"
    # NumPy arrays of other widths and int arrays for float parameters.
    kw = log_kwargs(parent=np.array([-1, 0, 0], dtype=np.int8), time=np.array([0, 1, 1], dtype=np.uint16),
                    allow_self=1)
    assert note_of(raised(vc.simulate_log, **kw)) == "while processing 'allow_self'"


def test_sequence_errors():
    exc = raised(vc.simulate_log, **log_kwargs(parent="abc"))
    assert type(exc) is TypeError and str(exc) == "Can't extract `str` to `Vec`"
    assert note_of(exc) == "while processing 'parent'"
    for bad, cls in ((5, TypeError), ({1: 2}, TypeError), ([-1, 0.5, 0], TypeError),
                     ([-1, 2**63, 0], OverflowError), (np.array([-1.0, 0.0, 0.0]), TypeError),
                     (np.array([0, 0, 2**63], dtype=np.uint64), OverflowError)):
        exc = raised(vc.simulate_log, **log_kwargs(parent=bad))
        assert type(exc) is cls, bad
        assert note_of(exc) == "while processing 'parent'"
    exc = raised(vc.simulate_log, **log_kwargs(extant_leaf=np.array([0, 1, 1])))
    assert type(exc) is TypeError and note_of(exc) == "while processing 'extant_leaf'"
    exc = raised(vc.dated_joint_loglik, **dated_kwargs(gt_offsets=[0, -3]))
    assert type(exc) is OverflowError and note_of(exc) == "while processing 'gt_offsets'"


def test_leftmost_bad_parameter_is_reported():
    exc = raised(vc.simulate_log, **log_kwargs(time="x", root=-1, seed=-1, allow_self=1))
    assert note_of(exc) == "while processing 'time'"
    exc = raised(vc.simulate_and_write, **dict(log_kwargs(seed=-1), names=["a", 3, "c"], total_age=1.0, outdir=5))
    assert note_of(exc) == "while processing 'names'"
    exc = raised(vc.simulate_and_write, **dict(log_kwargs(), names=["a", "b", "c"], total_age=1.0, outdir=5))
    assert type(exc) is TypeError and note_of(exc) == "while processing 'outdir'"


def test_conversion_errors_leave_the_module_usable():
    for _ in range(3):
        with pytest.raises(TypeError):
            vc.simulate_log(**log_kwargs(parent="abc"))
    assert vc.available() is True


# --- validation of trees and rates ------------------------------------------------------------------------


BAD_TREES = [
    (dict(parent=[-1, 0]), "parent has 2 entries but n_nodes is 3"),
    (dict(time=[0.0, 1.0]), "time has 2 entries"),
    (dict(extant_leaf=[False]), "extant_leaf has 1 entries"),
    (dict(root=3), "root 3 is not a node index"),
    (dict(parent=[-1, 0, 7]), "parent of node 2 is 7"),
    (dict(parent=[1, 0, 0]), "the root 0 has a parent"),
    (dict(time=[math.nan, 1.0, 1.0]), "time of the root 0 is not finite"),
    (dict(time=[0.0, math.inf, 1.0]), "time of node 1 is not finite"),
    (dict(time=[0.0, 1.0, math.nan]), "time of node 2 is not finite"),
]


@pytest.mark.parametrize("fn", SIM_FUNCTIONS + ["simulate_nucleotide"])
@pytest.mark.parametrize("change,message", BAD_TREES)
def test_malformed_trees_raise_value_error(fn, change, message):
    kw = nucleotide_kwargs(**change) if fn == "simulate_nucleotide" else sim_kwargs(fn, **change)
    with pytest.raises(ValueError, match="invalid species tree: .*" + message):
        getattr(vc, fn)(**kw)


def test_structural_faults_detected_before_the_walk():
    # 1 <-> 2 form a cycle that never reaches the root.
    cyc = dict(n_nodes=4, parent=[-1, 2, 1, 0], time=[0.0, 1.0, 1.0, 1.0], extant_leaf=[False, True, True, True])
    with pytest.raises(ValueError, match="cycle"):
        vc.simulate_profiles(**sim_kwargs("simulate_profiles", **cyc))
    # Node 3 hangs below an extant leaf.
    below_leaf = dict(n_nodes=4, parent=[-1, 0, 0, 1], time=[0.0, 1.0, 1.0, 2.0],
                      extant_leaf=[False, True, True, True])
    with pytest.raises(ValueError, match="node 3 has parent 1, which is marked as an extant leaf"):
        vc.simulate_profiles(**sim_kwargs("simulate_profiles", **below_leaf))
    # Node 2 hangs below a second parentless node.
    detached = dict(n_nodes=4, parent=[-1, 0, 3, -1], time=[0.0, 1.0, 1.0, 0.0],
                    extant_leaf=[False, True, True, False])
    with pytest.raises(ValueError, match="node 2 is not below the root 0"):
        vc.simulate_profiles(**sim_kwargs("simulate_profiles", **detached))


def test_speciation_arity_depends_on_the_engine():
    single = dict(n_nodes=2, parent=[-1, 0], time=[0.0, 1.0], extant_leaf=[False, True])
    triple = dict(n_nodes=4, parent=[-1, 0, 0, 0], time=[0.0, 1.0, 1.0, 1.0], extant_leaf=[False, True, True, True])
    for fn in ("simulate_log", "simulate_trace"):
        with pytest.raises(ValueError, match="node 0 speciates but has 1 child"):
            getattr(vc, fn)(**sim_kwargs(fn, **single))
        with pytest.raises(ValueError, match="node 0 has 3 children"):
            getattr(vc, fn)(**sim_kwargs(fn, **triple))
    # The counts-only and nucleotide engines hand copies to every child: such trees pass
    # validation, and the first problem reported is the bad rate that follows.
    for shape in (single, triple):
        for fn in ("simulate_profiles", "simulate_profiles_parallel"):
            with pytest.raises(ValueError, match="duplication must be a finite, non-negative rate"):
                getattr(vc, fn)(**sim_kwargs(fn, duplication=-1.0, **shape))
        with pytest.raises(ValueError, match="duplication must be a finite, non-negative rate"):
            vc.simulate_nucleotide(**nucleotide_kwargs(duplication=-1.0, **shape))


def test_accepted_tree_shapes():
    """Any numbering, children dated before parents, extinct leaves, isolated nodes."""
    shapes = [
        dict(n_nodes=5, parent=[4, 3, 3, 4, -1], time=[2.0, 2.0, 3.0, 1.5, 0.0],
             extant_leaf=[True, True, True, False, False], root=4),
        dict(n_nodes=3, parent=[-1, 0, 0], time=[5.0, 1.0, 9.0], extant_leaf=[False, False, True], root=0),
        dict(n_nodes=4, parent=[-1, 0, 0, -1], time=[0.0, 1.0, 1.0, 0.5], extant_leaf=[False, True, True, False],
             root=0),
    ]
    for shape in shapes:
        for fn in SIM_FUNCTIONS:
            with pytest.raises(ValueError, match="loss must be"):
                getattr(vc, fn)(**sim_kwargs(fn, loss=-0.5, **shape))


@pytest.mark.parametrize("fn", SIM_FUNCTIONS + ["simulate_and_write"])
@pytest.mark.parametrize("rate", ["duplication", "transfer", "loss", "origination"])
@pytest.mark.parametrize("value", [-0.1, math.nan, math.inf, -math.inf])
def test_bad_family_rates(fn, rate, value):
    kw = sim_kwargs(fn, **{rate: value})
    if fn == "simulate_and_write":
        kw.update(names=["r", "a", "b"], total_age=1.0, outdir="/nonexistent/never-written")
    with pytest.raises(ValueError, match=f"^{rate} must be a finite, non-negative rate, got "):
        getattr(vc, fn)(**kw)


@pytest.mark.parametrize("rate", ["inversion", "loss", "duplication", "transfer", "transposition", "origination"])
def test_bad_nucleotide_rates(rate):
    for value in (-1.0, math.nan, math.inf):
        with pytest.raises(ValueError, match=f"^{rate} must be a finite, non-negative rate"):
            vc.simulate_nucleotide(**nucleotide_kwargs(**{rate: value}))


def test_mode_parameters_keep_their_meanings():
    """Negative and NaN decay, negative cap, any replacement are not rate errors."""
    for fn in SIM_FUNCTIONS:
        for over in (dict(distance_decay=math.nan), dict(distance_decay=-5.0), dict(cap=-3),
                     dict(replacement=2.0)):
            with pytest.raises(ValueError, match="^origination must be"):
                getattr(vc, fn)(**sim_kwargs(fn, origination=-1.0, **over))
