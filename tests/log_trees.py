"""Random tiny species trees and engine settings for the event-log tests."""
import math
import random


def random_tree(rnd, n_leaves, shuffle=True, equal_end=True):
    """A dated binary tree with `n_leaves` leaves as the five simulation
    arguments (a dict). Leaves that reach the end time are extant; a few end
    earlier as extinct lineages. Node numbers are shuffled unless told not to,
    so that parents often have larger numbers than their children."""
    parent, time = [-1], [rnd.choice([0.0, 0.25, 1.5])]
    leaves = [0]
    while len(leaves) < n_leaves:
        v = leaves.pop(rnd.randrange(len(leaves)))
        for side in range(2):
            parent.append(v)
            # Sometimes both children share a time, to exercise tie order.
            if side == 1 and rnd.random() < 0.15:
                time.append(time[-1])
            else:
                time.append(time[v] + 1e-3 + rnd.expovariate(2.0))
            leaves.append(len(parent) - 1)
    end = max(time[v] for v in leaves) + rnd.expovariate(2.0)
    extant = [False] * len(parent)
    for v in leaves:
        if rnd.random() < 0.75 or not equal_end:
            extant[v] = True
            if equal_end:
                time[v] = end
            else:
                time[v] = time[parent[v]] + rnd.expovariate(1.5)
    n = len(parent)
    perm = list(range(n))
    if shuffle:
        rnd.shuffle(perm)
    new_parent, new_time, new_extant = [0] * n, [0.0] * n, [False] * n
    for old, new in enumerate(perm):
        new_parent[new] = -1 if parent[old] < 0 else perm[parent[old]]
        new_time[new] = time[old]
        new_extant[new] = extant[old]
    return dict(n_nodes=n, parent=new_parent, time=new_time, extant_leaf=new_extant, root=perm[0])


def random_settings(rnd):
    """Rates and modes for one run, tilted toward small but eventful runs."""
    return dict(
        duplication=rnd.choice([0.0, 0.3, 0.8, 1.5]),
        transfer=rnd.choice([0.0, 0.4, 1.0, 2.0]),
        loss=rnd.choice([0.0, 0.5, 1.0, 2.0]),
        origination=rnd.choice([0.0, 0.5, 2.0]),
        initial_size=rnd.choice([0, 1, 3, 6]),
        cap=rnd.choice([-1, -1, 0, 1, 2, 3]),
        seed=rnd.getrandbits(64),
        replacement=rnd.choice([0.0, 0.0, 0.5, 1.0, math.nan]),
        distance_decay=rnd.choice([-1.0, -0.5, 0.0, 0.7, 4.0, math.nan]),
        allow_self=rnd.random() < 0.5,
    )


ORDER = ("n_nodes", "parent", "time", "extant_leaf", "root", "duplication", "transfer", "loss",
         "origination", "initial_size", "cap", "seed", "replacement", "distance_decay", "allow_self")


def positional(kwargs):
    return [kwargs[k] for k in ORDER]
