"""A slow, plain Python model of simulate_nucleotide, for bit-for-bit checks.

It is written independently of the native engine, step by step as the
behaviour is described: genomes are plain lists of [start, end, id, strand]
segments edited by walking cumulative positions from the first segment, with
no positioning index. The random source, the weighted sampler and the
recipient choice are modelled here too, with the same floating-point
operations in the same order, so that a seed gives the same result.
"""
import math

MASK = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15
EVENT_LIMIT = 2_000_000_000
LIMIT_MESSAGE = "exceeded max_events; genome growing without bound — lower duplication/transfer or raise loss"
INF = float("inf")


def _mix(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def _rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK


def c_log(x):
    """The C library's log, including its answers where math.log raises."""
    if x == 0.0:
        return -INF
    if x < 0.0 or math.isnan(x):
        return math.nan
    return math.log(x)


class Rng:
    def __init__(self, seed):
        self.s = [_mix((seed + (i + 1) * GAMMA) & MASK) for i in range(4)]

    def next_u64(self):
        s0, s1, s2, s3 = self.s
        result = (_rotl((s1 * 5) & MASK, 7) * 9) & MASK
        t = (s1 << 17) & MASK
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        s3 = _rotl(s3, 45)
        self.s = [s0, s1, s2, s3]
        return result

    def uniform(self):
        return float(self.next_u64() >> 11) * 2.0**-53


class Fenwick:
    def __init__(self, n):
        self.n = n
        self.tree = [0.0] * (n + 1)
        self.weight = [0.0] * n
        self.total = 0.0

    def set_weight(self, i, w):
        diff = w - self.weight[i]
        if diff == 0.0:
            return
        self.weight[i] = w
        self.total = diff + self.total
        j = i + 1
        while j <= self.n:
            self.tree[j] = diff + self.tree[j]
            j += j & -j

    def find(self, target):
        mask = 1
        while mask * 2 <= self.n:
            mask *= 2
        pos = 0
        while mask > 0:
            nxt = pos + mask
            if nxt <= self.n and self.tree[nxt] < target:
                target = target - self.tree[nxt]
                pos = nxt
            mask //= 2
        return pos

    def find_live(self, target):
        """find(), but never a slot of weight 0: the nearest positive slot
        below, else above; n when there is none."""
        s = self.find(target)
        if s < self.n and self.weight[s] > 0.0:
            return s
        for i in range(min(s, self.n) - 1, -1, -1):
            if self.weight[i] > 0.0:
                return i
        for i in range(s + 1, self.n):
            if self.weight[i] > 0.0:
                return i
        return self.n


def choose_recipient(rng, active, position, donor, parent, t, time, decay, allow_self):
    m = len(active)
    if m == 0 or (not allow_self and m == 1):
        return None
    if decay < 0.0:
        if allow_self:
            return active[rng.next_u64() % m]
        k = position[donor]
        r = rng.next_u64() % (m - 1)
        return active[r if r < k else r + 1]
    marked = set()
    v = donor
    while v >= 0:
        marked.add(v)
        v = parent[v]
    dist = []
    for c in active:
        if c == donor:
            d = 0.0 if allow_self else INF
        else:
            a = c
            while a not in marked:
                a = parent[a]
            h = t - time[a]
            d = h + h
        dist.append(d)
    d_min = INF
    for d in dist:
        if d < d_min:
            d_min = d
    if not math.isfinite(d_min):
        return None
    weights = [math.exp((d - d_min) * (-decay)) if math.isfinite(d) else 0.0 for d in dist]
    total = 0.0
    for w in weights:
        total = total + w
    if total <= 0.0:
        return None
    x = total * rng.uniform()
    for c, w in zip(active, weights):
        x = x - w
        if x <= 0.0:
            return c
    return active[-1]


# ---- segment lists ---------------------------------------------------------


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
        while sampler.total > 0.0:
            rate = sampler.total
            dt = -math.log(1.0 - rng.uniform()) / rate
            if not math.isfinite(dt) or now + dt >= time[v]:
                break
            now = now + dt
            events += 1
            if events > max_events:
                raise Limit(LIMIT_MESSAGE)
            w = sampler.find_live(rate * (1.0 - rng.uniform()))
            if w == n_nodes:
                continue
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
