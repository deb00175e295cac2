"""A slow, plain Python model of simulate_nucleotide, for bit-for-bit checks.

It is written independently of the native engine, step by step as the
behaviour is described: genomes are plain lists of [start, end, id, strand]
segments edited by walking cumulative positions from the first segment, with
no positioning index. The random source, the weighted sampler and the
recipient choice come from the shared model_reference, with the same
floating-point operations in the same order, so that a seed gives the same
result.
"""
import math

from model_reference import INF, Fenwick, Rng, c_log, choose_recipient

EVENT_LIMIT = 2_000_000_000
LIMIT_MESSAGE = "exceeded max_events; genome growing without bound — lower duplication/transfer or raise loss"


class Genome:
    def __init__(self, segs):
        self.segs = [list(s) for s in segs]
        self.length = sum(s[1] - s[0] for s in self.segs)

    def copy(self):
        return Genome(self.segs)


def _seg_len(s):
    return s[1] - s[0]


def index_at(g, p):
    """Index of the segment whose cumulative start is p, or len(segs)."""
    c = 0
    for k, s in enumerate(g.segs):
        if c == p:
            return k
        c += _seg_len(s)
    return len(g.segs)


def split_at(g, p):
    if p <= 0:
        return
    c = 0
    for k, s in enumerate(g.segs):
        n = _seg_len(s)
        if c == p:
            return
        if c < p < c + n:
            o = p - c
            start, end, uid, strand = s
            if strand == 1:
                first, second = [start, start + o, uid, strand], [start + o, end, uid, strand]
            else:
                first, second = [end - o, end, uid, strand], [start, end - o, uid, strand]
            g.segs[k : k + 1] = [first, second]
            return
        c += n


def arc_range(g, a, b):
    m = g.length
    o = a + b
    split_at(g, a)
    split_at(g, o % m)
    if o > m:
        t = index_at(g, a)
        if 0 < t < len(g.segs):
            g.segs = g.segs[t:] + g.segs[:t]
        acc = 0
        i = 0
        while acc < b:
            acc += _seg_len(g.segs[i])
            i += 1
        return 0, i
    i = index_at(g, a)
    if o == m:
        return i, len(g.segs)
    return i, index_at(g, o)


def invert(g, a, b):
    f, l = arc_range(g, a, b)
    g.segs[f:l] = [[s[0], s[1], s[2], -s[3]] for s in reversed(g.segs[f:l])]


def delete(g, a, b):
    if b >= g.length:
        g.segs = []
        g.length = 0
        return
    e = (a + b) % g.length
    split_at(g, a)
    split_at(g, e)
    kept = []
    c = 0
    for s in g.segs:
        n = _seg_len(s)
        if a + b > g.length:
            keep = c < a and c + n > e
        else:
            keep = c < a or c + n > a + b
        if keep:
            kept.append(s)
        c += n
    g.segs = kept
    g.length -= b


def duplicate(g, a, b):
    f, l = arc_range(g, a, b)
    g.segs[l:l] = [list(s) for s in g.segs[f:l]]
    g.length += b


def insert(g, q, pieces):
    if q < g.length:
        split_at(g, q)
        j = index_at(g, q)
        g.segs[j:j] = [list(s) for s in pieces]
    else:
        g.segs.extend(list(s) for s in pieces)
    g.length += sum(_seg_len(s) for s in pieces)


def transpose(g, a, b, q):
    f, l = arc_range(g, a, b)
    moved = g.segs[f:l]
    del g.segs[f:l]
    g.length -= b
    insert(g, q, moved)


# ---- the engine -------------------------------------------------------------


class Limit(Exception):
    pass


def simulate(n_nodes, parent, time, extant_leaf, root, inversion, loss, duplication, transfer, transposition,
             origination, root_length, extension, initial_size, seed, replacement, distance_decay, allow_self,
             max_events=EVENT_LIMIT, stats=None):
    children = [[] for _ in range(n_nodes)]
    for i in range(n_nodes):
        if parent[i] >= 0:
            children[parent[i]].append(i)
    genomes = [None] * n_nodes
    position = [-1] * n_nodes
    active = []
    sampler = Fenwick(n_nodes)
    rng = Rng(seed)
    rate_sum = (((inversion + loss) + duplication) + transfer) + transposition
    next_id = initial_size & 0xFFFFFFFF
    events = 0
    result = []

    def refresh(v):
        sampler.set_weight(v, origination + rate_sum * float(genomes[v].length))

    def speciate(v, g):
        for c in children[v]:
            genomes[c] = g.copy()
            position[c] = len(active)
            active.append(c)
            refresh(c)

    def raw_below(m):
        return rng.next_u64() % m

    def stretch(n):
        if n <= 1:
            return 1
        if extension >= 1.0:
            return n
        u = rng.uniform()
        x = c_log(max(u, 1e-300)) / c_log(extension)
        if math.isnan(x):
            k = 0
        elif math.isinf(x):
            k = (1 << 63) - 1 if x > 0 else -(1 << 63)
        else:
            k = min(max(math.ceil(x), -(1 << 63)), (1 << 63) - 1)
        return min(max(k, 1), n)

    root_genome = Genome([[0, root_length, k & 0xFFFFFFFF, 1] for k in range(initial_size)])
    now = time[root]
    speciate(root, root_genome)
    order = sorted((i for i in range(n_nodes) if parent[i] >= 0), key=lambda i: time[i])

    for v in order:
        while True:
            rate = sampler.total
            if not math.isfinite(rate):
                raise ValueError("the event rates overflow")
            if not rate > 0.0:
                break
            dt = -math.log(1.0 - rng.uniform()) / rate
            if not math.isfinite(dt) or now + dt >= time[v]:
                break
            now = now + dt
            events += 1
            if events > max_events:
                raise Limit(LIMIT_MESSAGE)
            w = sampler.find_live(rate * (1.0 - rng.uniform()))
            if w == n_nodes:
                break  # no branch has a positive rate: wait for the node time
            g = genomes[w]
            L = g.length
            x_len = float(L)
            c1 = inversion * x_len
            c2 = c1 + loss * x_len
            c3 = c2 + duplication * x_len
            c4 = c3 + transfer * x_len
            c5 = c4 + transposition * x_len
            rw = origination + ((((inversion * x_len + loss * x_len) + duplication * x_len) + transfer * x_len)
                                + transposition * x_len)
            if rw <= 0.0:
                continue
            x = rng.uniform() * rw
            kind = 0 if x < c1 else 1 if x < c2 else 2 if x < c3 else 3 if x < c4 else 4 if x < c5 else 5
            if stats is not None:
                stats.setdefault("kinds", [0] * 6)[kind] += 1
            if x < c1:
                p = raw_below(L)
                invert(g, p, stretch(L))
            elif x < c2:
                p = raw_below(L)
                delete(g, p, stretch(L))
            elif x < c3:
                p = raw_below(L)
                duplicate(g, p, stretch(L))
            elif x < c4:
                r = choose_recipient(rng, active, position, w, parent, now, time, distance_decay, allow_self)
                if r is not None:
                    p = raw_below(L)
                    k = stretch(L)
                    f, l = arc_range(g, p, k)
                    piece = [list(s) for s in g.segs[f:l]]
                    if piece:
                        rg = genomes[r]
                        q = raw_below(rg.length + 1)
                        insert(rg, q, piece)
                        refresh(w)
                        refresh(r)
            elif x < c5:
                if L >= 2:
                    p = raw_below(L)
                    k = min(stretch(L), L - 1)
                    q = raw_below(L) % (L - k + 1)
                    transpose(g, p, k, q)
            else:
                uid = next_id
                next_id = (next_id + 1) & 0xFFFFFFFF
                if L == 0:
                    g.segs.append([0, root_length, uid, 1])
                    g.length = root_length
                else:
                    n = stretch(L)
                    q = raw_below(L + 1)
                    insert(g, q, [[0, n, uid, 1]])
            refresh(w)
        now = time[v]
        sampler.set_weight(v, 0.0)
        pos = position[v]
        last = active[-1]
        active[pos] = last
        position[last] = pos
        active.pop()
        position[v] = -1
        g = genomes[v]
        genomes[v] = None
        if extant_leaf[v]:
            result.append((v, [(s[2], s[0], s[1], s[3]) for s in g.segs]))
        elif children[v]:
            speciate(v, g)
    if stats is not None:
        stats["events"] = events
    return result
