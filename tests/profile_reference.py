"""A slow, plain model of the counts-only profile engine, for cross-checks.

Everything is written the direct way: genomes are dicts walked in ascending
family order (the linear walk that the native engine replaces by an index),
the sampler, the random source and the recipient choice are the shared
ones of model_reference. Results are the
four packed byte strings of the native functions, so they can be compared
byte for byte. Only for tiny inputs.
"""
import math
import struct

from model_reference import MASK, Fenwick, Rng, choose_recipient, split_seed

EVENT_LIMIT = 2_000_000_000
LIMIT_MESSAGE = "exceeded max_events; families likely growing without bound \u2014 set max_family_size"


class TooManyEvents(Exception):
    pass


def children_lists(n_nodes, parent):
    children = [[] for _ in range(n_nodes)]
    for i in range(n_nodes):
        if parent[i] >= 0:
            children[parent[i]].append(i)
    return children


def node_order(n_nodes, parent, time):
    return sorted((i for i in range(n_nodes) if parent[i] >= 0), key=lambda i: time[i])


def family_at(genome, i):
    """The linear walk: subtract counts in ascending family order."""
    for f in sorted(genome):
        if i < genome[f]:
            return f
        i -= genome[f]
    raise AssertionError("copy index past the last family")


def run_copy(tree, rates, cap, mode, seed, initial_size, max_events=EVENT_LIMIT):
    """One copy; returns (leaf ordinals, families, counts, family count, events)."""
    n_nodes, parent, time, extant, root = tree
    dup, tr, loss, orig = rates
    replacement, decay, allow_self = mode
    children = children_lists(n_nodes, parent)
    rng = Rng(seed)
    sampler = Fenwick(n_nodes)
    genomes = [None] * n_nodes
    active, position = [], [None] * n_nodes
    cap_u = cap & MASK

    def rate(g):
        return orig + ((dup + tr) + loss) * float(sum(g.values()))

    def activate(v, g):
        genomes[v] = g
        position[v] = len(active)
        active.append(v)
        sampler.set_weight(v, rate(g))

    for c in children[root]:
        activate(c, {f: 1 for f in range(initial_size)})
    next_family = initial_size
    events = 0
    t = time[root]
    out_leaf, out_family, out_count = [], [], []
    ordinal = 0
    for v in node_order(n_nodes, parent, time):
        while sampler.total > 0.0:
            total = sampler.total
            dt = -math.log(1.0 - rng.uniform()) / total
            t = t + dt
            if not math.isfinite(dt) or t >= time[v]:
                break
            events += 1
            if events > max_events:
                raise TooManyEvents(LIMIT_MESSAGE)
            b = sampler.find_live(total * (1.0 - rng.uniform()))
            if b >= n_nodes:
                break
            g = genomes[b]
            c = float(sum(g.values()))
            x = rng.uniform() * (orig + ((dup + tr) + loss) * c)
            if x < dup * c:
                kind = "D"
            elif x < (dup + tr) * c:
                kind = "T"
            elif x < ((dup + tr) + loss) * c:
                kind = "L"
            else:
                kind = "O"
            if kind != "O":
                f = family_at(g, rng.index_below(sum(g.values())))
            changed = b
            if kind == "O":
                g[next_family] = 1
                next_family += 1
            elif kind == "D":
                if cap >= 0 and g[f] >= cap:
                    continue
                g[f] += 1
            elif kind == "L":
                g[f] -= 1
                if g[f] == 0:
                    del g[f]
            else:
                q = choose_recipient(rng, active, position, b, parent, t, time, decay, allow_self)
                if q is None:
                    continue
                r = genomes[q]
                r[f] = r.get(f, 0) + 1
                k = r[f]
                if k > cap_u:
                    r[f] -= k - cap_u
                elif k >= 2 and replacement > 0.0 and rng.uniform() < replacement:
                    r[f] -= 1
                if r[f] == 0:
                    del r[f]
                changed = q
            sampler.set_weight(changed, rate(genomes[changed]))
        # Node v is reached.
        sampler.set_weight(v, 0.0)
        k = position[v]
        last = active[-1]
        active[k] = last
        if last != v:
            position[last] = k
        active.pop()
        position[v] = None
        g = genomes[v]
        genomes[v] = None
        if g is None:
            raise ValueError(f"node {v} reached without genes")
        if extant[v]:
            for f in sorted(g):
                out_leaf.append(ordinal)
                out_family.append(f)
                out_count.append(g[f])
            ordinal += 1
        else:
            for c in children[v]:
                activate(c, dict(g))
        t = time[v]
    return out_leaf, out_family, out_count, next_family, events


def _pack(fmt, values):
    return struct.pack("<%d%s" % (len(values), fmt), *values)


def pack(tree, copies):
    n_nodes, parent, time, extant, root = tree
    leaves = [v for v in node_order(n_nodes, parent, time) if extant[v]]
    rows, cols, vals = [], [], []
    offset = 0
    for leaf, family, count, family_count, _ in copies:
        rows += leaf
        cols += [f + offset for f in family]
        vals += count
        offset += family_count
    return _pack("I", leaves), _pack("I", rows), _pack("Q", cols), _pack("I", vals)


def simulate_profiles(tree, rates, cap, mode, seed, initial_size, max_events=EVENT_LIMIT):
    return pack(tree, [run_copy(tree, rates, cap, mode, seed, initial_size, max_events)])


def simulate_profiles_parallel(tree, rates, cap, mode, seed, initial_size, n_copies, max_events=EVENT_LIMIT):
    n = max(n_copies, 1)
    dup, tr, loss, orig = rates
    share = (dup, tr, loss, orig / float(n))
    copies = []
    for j in range(n):
        founding = initial_size // n + (1 if j < initial_size % n else 0)
        copies.append(run_copy(tree, share, cap, mode, split_seed(seed, j), founding, max_events))
    return pack(tree, copies)
