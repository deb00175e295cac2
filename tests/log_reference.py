"""A slow, plain-Python model of the event-log engine, written from the
description of the process rather than from the C++ code, for bit-for-bit
cross-checks of simulate_log and simulate_trace on tiny trees.

Every draw, every comparison and every floating-point operation follows the
same order as the engine: Python floats are IEEE doubles and math.log/math.exp
call the C library, so results must agree exactly.
"""
import math

from model_reference import MASK, Fenwick, Rng, choose_recipient

LIMIT_MESSAGE = "exceeded max_events; families likely growing without bound — set max_family_size"


class LimitExceeded(Exception):
    pass


class Genome:
    def __init__(self):
        self.copies = []  # [gene, family] pairs, order matters
        self.counts = {}

    def add(self, gene, family):
        self.copies.append((gene, family))
        self.counts[family] = self.counts.get(family, 0) + 1

    def swap_remove(self, i):
        removed = self.copies[i]
        self.copies[i] = self.copies[-1]
        self.copies.pop()
        f = removed[1]
        self.counts[f] -= 1
        if self.counts[f] == 0:
            del self.counts[f]
        return removed


class Engine:
    def __init__(self, n_nodes, parent, time, extant_leaf, root, d, t, l, o, initial_size, cap, seed,
                 replacement, decay, allow_self, record_speciation, max_events=2_000_000_000):
        self.n, self.parent, self.time, self.extant, self.root = n_nodes, parent, time, extant_leaf, root
        self.d, self.t, self.l, self.o = d, t, l, o
        self.initial_size, self.cap = initial_size, cap
        self.replacement, self.decay, self.allow_self = replacement, decay, allow_self
        self.record_speciation = record_speciation
        self.max_events = max_events
        self.children = [[] for _ in range(n_nodes)]
        for i in range(n_nodes):
            if parent[i] >= 0:
                self.children[parent[i]].append(i)
        self.genomes = [None] * n_nodes
        self.active = []
        self.position = [-1] * n_nodes
        self.sampler = Fenwick(n_nodes)
        self.rng = Rng(seed)
        self.records = [[] for _ in range(9)]
        self.extant_content = []
        self.next_gene = 0
        self.next_family = 0
        self.events = 0
        self.now = 0.0

    def push(self, kind, branch, donor, recipient, family, gene, child1, time, child2):
        for col, v in zip(self.records, (kind, branch, time, donor, recipient, family, gene, child1, child2)):
            col.append(v)

    def rate(self, v):
        n = float(len(self.genomes[v].copies))
        return self.o + ((self.d + self.t) + self.l) * n

    def activate(self, v):
        self.position[v] = len(self.active)
        self.active.append(v)
        self.sampler.set_weight(v, self.rate(v))

    def refresh(self, v):
        self.sampler.set_weight(v, self.rate(v))

    def speciate_with(self, v, genome, t):
        left, right = self.children[v][0], self.children[v][1]
        lg, rg = Genome(), Genome()
        for g, f in genome.copies:
            if self.record_speciation:
                n = self.next_gene
                self.next_gene += 2
                lg.add(n, f)
                rg.add(n + 1, f)
                self.push(4, v, -1, -1, f, g, n, t, n + 1)
            else:
                lg.add(g, f)
                rg.add(g, f)
        self.genomes[left] = lg
        self.genomes[right] = rg
        self.activate(left)
        self.activate(right)

    def run(self):
        self.now = self.time[self.root]
        root_genome = Genome()
        for _ in range(self.initial_size):
            f = self.next_family
            self.next_family += 1
            g = self.next_gene
            self.next_gene += 1
            root_genome.add(g, f)
            self.push(0, self.root, -1, -1, f, g, -1, self.now, -1)
        self.speciate_with(self.root, root_genome, self.time[self.root])
        order = sorted((i for i in range(self.n) if self.parent[i] >= 0), key=lambda i: self.time[i])
        for v in order:
            end = self.time[v]
            self.event_loop(end)
            self.sampler.set_weight(v, 0.0)
            k = self.position[v]
            last = self.active[-1]
            self.active[k] = last
            self.position[last] = k
            self.active.pop()
            self.position[v] = -1
            genome = self.genomes[v]
            self.genomes[v] = None
            if self.extant[v]:
                self.extant_content.append((v, list(genome.copies)))
            elif self.children[v]:
                self.speciate_with(v, genome, end)
            self.now = end
        return self

    def event_loop(self, end):
        d, t, l, o = self.d, self.t, self.l, self.o
        while self.sampler.total > 0.0:
            big_r = self.sampler.total
            u = self.rng.uniform()
            step = -math.log(1.0 - u) / big_r
            self.now = self.now + step
            if not math.isfinite(step) or self.now >= end:
                return
            self.events += 1
            if self.events > self.max_events:
                raise LimitExceeded(LIMIT_MESSAGE)
            b = self.sampler.find_live(big_r * (1.0 - self.rng.uniform()))
            if b == self.sampler.n:
                return
            genome = self.genomes[b]
            n = float(len(genome.copies))
            x = self.rng.uniform() * (o + ((d + t) + l) * n)
            if x < d * n:
                self.duplication(b, genome)
            elif x < (d + t) * n:
                self.transfer(b, genome)
            elif x < ((d + t) + l) * n:
                self.loss(b, genome)
            else:
                f = self.next_family
                self.next_family += 1
                g = self.next_gene
                self.next_gene += 1
                genome.add(g, f)
                self.push(0, b, -1, -1, f, g, -1, self.now, -1)
                self.refresh(b)

    def duplication(self, b, genome):
        i = self.rng.next_u64() % len(genome.copies)
        g, f = genome.copies[i]
        if self.cap >= 0 and genome.counts[f] >= self.cap:
            return
        m = self.next_gene
        self.next_gene += 2
        genome.swap_remove(i)
        genome.add(m, f)
        genome.add(m + 1, f)
        self.push(1, b, -1, -1, f, g, m, self.now, m + 1)
        self.refresh(b)

    def transfer(self, b, genome):
        q = choose_recipient(self.rng, self.active, self.position, b, self.parent, self.now, self.time,
                             self.decay, self.allow_self)
        if q is None:
            return
        i = self.rng.next_u64() % len(genome.copies)
        g, f = genome.copies[i]
        m = self.next_gene
        self.next_gene += 2
        genome.copies[i] = (m, f)
        rec = self.genomes[q]
        rec.add(m + 1, f)
        self.push(2, b, b, q, f, g, m, self.now, m + 1)
        k = rec.counts[f]
        if k > (self.cap & MASK):
            removals = k - self.cap
        elif k >= 2 and self.replacement > 0.0 and self.rng.uniform() < self.replacement:
            removals = 1
        else:
            removals = 0
        for _ in range(removals):
            positions = [p for p, (gid, fam) in enumerate(rec.copies) if fam == f]
            residents = [p for p in positions if rec.copies[p][0] != m + 1]
            newcomer = [p for p in positions if rec.copies[p][0] == m + 1]
            candidates = residents if residents else newcomer
            if not candidates:
                continue
            p = candidates[self.rng.next_u64() % len(candidates)]
            lost, _ = rec.swap_remove(p)
            self.push(3, q, -1, -1, f, lost, -1, self.now, -1)
        self.refresh(b)
        self.refresh(q)

    def loss(self, b, genome):
        i = self.rng.next_u64() % len(genome.copies)
        g, f = genome.swap_remove(i)
        self.push(3, b, -1, -1, f, g, -1, self.now, -1)
        self.refresh(b)


def records_tuple(engine):
    cols = engine.records
    return (bytes(cols[0]),) + tuple(cols[1:])


def simulate_log(*args):
    e = Engine(*args, record_speciation=True).run()
    return records_tuple(e), [(v, list(c)) for v, c in e.extant_content]


def extant_profile(extant_content):
    import struct

    leaves, rows, cols, vals = [], [], [], []
    for j, (v, copies) in enumerate(extant_content):
        leaves.append(v)
        counts = {}
        for _, f in copies:
            counts[f] = counts.get(f, 0) + 1
        for f in sorted(counts):
            rows.append(j)
            cols.append(f)
            vals.append(counts[f])
    pack = lambda fmt, xs: struct.pack("<%d%s" % (len(xs), fmt), *xs)
    return pack("I", leaves), pack("I", rows), pack("Q", cols), pack("I", vals)


def simulate_trace(*args):
    e = Engine(*args, record_speciation=False).run()
    return records_tuple(e), extant_profile(e.extant_content)
