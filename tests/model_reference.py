"""Plain-Python pieces shared by the reference models of the forward engines
(event log, profiles, nucleotide genomes): the random source, the weighted
branch sampler and the choice of a transfer recipient.

Each piece follows the described process with the same floating-point
operations in the same order as the native code: Python floats are IEEE
doubles and math.log/math.exp call the C library, so a seed gives the same
draws and the same results bit for bit.
"""
import math

MASK = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15
INF = float("inf")


def mix(z):
    """The SplitMix64 output function."""
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def split_seed(seed, i):
    """The i-th (0-based) output of a SplitMix64 generator started at seed."""
    return mix((seed + (i + 1) * GAMMA) & MASK)


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK


def c_log(x):
    """The C library's log, including its answers where math.log raises."""
    if x == 0.0:
        return -INF
    if x < 0.0 or math.isnan(x):
        return math.nan
    return math.log(x)


class Rng:
    """xoshiro256** seeded by four SplitMix64 outputs, and the draws built on
    one 64-bit output each."""

    def __init__(self, seed):
        self.s = [split_seed(seed, i) for i in range(4)]

    def next_u64(self):
        s0, s1, s2, s3 = self.s
        result = (rotl((s1 * 5) & MASK, 7) * 9) & MASK
        t = (s1 << 17) & MASK
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        s3 = rotl(s3, 45)
        self.s = [s0, s1, s2, s3]
        return result

    def uniform(self):
        """The top 53 bits scaled into [0, 1)."""
        return float(self.next_u64() >> 11) * 2.0**-53

    def index_below(self, m):
        """The whole output modulo m, no rejection step."""
        return self.next_u64() % m

    def waiting_time(self, rate):
        """An exponential waiting time at total rate `rate`."""
        return -math.log(1.0 - self.uniform()) / rate

    def weighted_target(self, total):
        """A target in (0, total] for Fenwick.find_live."""
        return total * (1.0 - self.uniform())


class Fenwick:
    """Branch weights in a binary indexed tree with a running total that
    accumulates every change (never recomputed)."""

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
        """Smallest slot whose cumulative weight reaches target (ties left)."""
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
        """find(), but a slot without weight (a rounding artefact) gives way
        to the nearest slot with weight below it, else above it; n when none."""
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
    """The recipient of a transfer from `donor` at time t, or None.

    A negative decay draws uniformly among the live branches (the donor
    skipped unless allow_self); otherwise each candidate is weighted by
    exp(-decay * (d - d_min)) where d is twice the time back to where its
    lineage meets the donor's."""
    m = len(active)
    if m == 0 or (not allow_self and m == 1):
        return None
    if decay < 0.0:
        if allow_self:
            return active[rng.index_below(m)]
        k = position[donor]
        r = rng.index_below(m - 1)
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
    finite = [d for d in dist if not math.isnan(d)]
    d_min = min(finite) if finite else INF
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
