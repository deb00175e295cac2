"""A slow, literal Python model of the reconciliation likelihoods.

Written to be read next to the native code: every sum and product is formed in
the same order, so with plain floats (IEEE doubles, no fused operations) the
model reproduces the native results bit for bit while no value leaves the
normal range of doubles.

The same code runs on any number type that supports + - * / and comparisons.
Passing `num=mpmath.mpf` (with `log=mpmath.log`) gives an evaluation whose
exponent cannot underflow, the yardstick for the native rescaling of tiny
likelihoods. The time grid (breakpoints, step counts) is always built with
plain floats so that both evaluations integrate over the same grid.
"""
import math

TOL_TIME = 1e-9
TOL_FIXED_POINT = 1e-13
MAX_SWEEPS = 500


def round_half_away(x):
    """C's round(): nearest integer, halves away from zero."""
    if x != x or x in (math.inf, -math.inf):
        return x
    a = abs(x)
    f = float(math.floor(a))
    r = f + 1.0 if a - f >= 0.5 else f
    return math.copysign(r, x)


def snap(t):
    return round_half_away(t * 1e12) / 1e12


def ceil_to_count(x):
    """ceil(x) as an unsigned 64-bit count, saturating (NaN and negatives give 0)."""
    if x != x or x <= 0.0:
        return 0
    if x == math.inf:
        return 2**64 - 1
    return min(math.ceil(x), 2**64 - 1)


def plain_sum(values, zero):
    s = zero
    for v in values:
        s = s + v
    return s


def _fmin(a, b):
    """C's fmin: a NaN operand is ignored."""
    if a != a:
        return b
    if b != b:
        return a
    return a if a < b else b


def _fmax(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return a if a > b else b


def _log_or_minus_inf(value, log):
    if value != value:
        return math.nan
    if value > 0:
        return float(log(value))
    return -math.inf


class Slice:
    __slots__ = ("branches", "ext", "t_end", "steps", "step")


class Dated:
    """The dated engine: time slices, Euler steps and the extinction grid."""

    def __init__(self, n, left, right, is_leaf, time, parent_time, root, dup, transfer, loss, n_steps,
                 num=float, log=math.log, dup_factor=2):
        self.num, self.log = num, log
        self.left, self.right, self.is_leaf, self.time = left, right, is_leaf, time
        self.n, self.root = n, root
        self.dup, self.transfer, self.loss = num(dup), num(transfer), num(loss)
        self.total_rate = (self.dup + self.transfer) + self.loss
        # The birth term of a duplication: 2 counts both orders in which the two
        # copies can found the two subtrees; 1 reproduces the older form.
        self.dup_birth = num(dup_factor) * self.dup
        self.branch_length = [time[i] - parent_time[i] for i in range(n)]
        total_rate_f = (dup + transfer) + loss

        points = sorted([snap(t) for t in time] + [0.0])
        breaks = [points[0]]
        for p in points[1:]:
            if p != breaks[-1]:
                breaks.append(p)
        self.slices = []
        for k in range(len(breaks) - 1):
            t0, t1 = breaks[k], breaks[k + 1]
            s = Slice()
            s.branches = [i for i in range(n)
                          if parent_time[i] <= t0 + TOL_TIME and time[i] >= t1 - TOL_TIME
                          and self.branch_length[i] > TOL_TIME]
            dt = t1 - t0
            s.steps = max(n_steps, ceil_to_count(total_rate_f * dt * 4)) if dt > 0 else 1
            s.step = num(dt) / s.steps if s.steps else math.inf
            s.t_end = t1
            self.slices.append(s)

        zero = num(0)
        e_cur = [zero] * n
        for s in reversed(self.slices):
            init = []
            for b in s.branches:
                if abs(time[b] - s.t_end) < TOL_TIME:
                    init.append(zero if is_leaf[b] else e_cur[left[b]] * e_cur[right[b]])
                else:
                    init.append(e_cur[b])
            s.ext = [init]
            N = len(s.branches)
            E = init
            for _ in range(s.steps):
                S = plain_sum(E, zero)
                new = []
                for k in range(N):
                    e = E[k]
                    decay = (self.total_rate * e - self.loss) - e * (self.dup * e)
                    if N >= 2:
                        decay = decay - (self.transfer * e) * ((S - e) / (N - 1))
                    new.append(e - s.step * decay)
                E = new
                s.ext.append(E)
            for k, b in enumerate(s.branches):
                e_cur[b] = E[k]
        self.ext_top = e_cur

    def extinction(self, origination):
        """P(no surviving gene) as the joint score uses it."""
        if origination == 1:
            ok = [b for b in range(len(self.time)) if self.branch_length[b] > TOL_TIME]
            if not ok:
                return math.nan
            return plain_sum([self.ext_top[b] for b in ok], self.num(0)) / len(ok)
        return self.ext_top[self.left[self.root]] * self.ext_top[self.right[self.root]]

    def gene_loglik(self, is_leaf, left, right, species, origination):
        num, zero = self.num, self.num(0)
        m = len(is_leaf)
        if m == 0:
            raise ValueError("empty gene tree")
        nt = len(self.time)
        tops, grids = [None] * m, [None] * m
        for u in range(m):
            leaf = bool(is_leaf[u])
            if not leaf:
                w, z = left[u], right[u]
                for c in (w, z):
                    if not (0 <= c < u) or grids[c] is None:
                        raise ValueError("bad gene child")
                tw, tz, gw, gz = tops[w], tops[z], grids[w], grids[z]
            top = [zero] * nt
            grid = [None] * len(self.slices)
            for i in reversed(range(len(self.slices))):
                s = self.slices[i]
                N = len(s.branches)
                P = []
                for b in s.branches:
                    if abs(self.time[b] - s.t_end) < TOL_TIME:
                        if self.is_leaf[b]:
                            v = num(1) if (leaf and species[u] == b) else zero
                        else:
                            l, r = self.left[b], self.right[b]
                            v = self.ext_top[r] * top[l] + self.ext_top[l] * top[r]
                            if not leaf:
                                v = v + (tw[l] * tz[r] + tw[r] * tz[l])
                    else:
                        v = top[b]
                    P.append(v)
                rows = [P]
                for j in range(s.steps):
                    E = s.ext[j]
                    SE, SP = plain_sum(E, zero), plain_sum(P, zero)
                    if not leaf:
                        Pw, Pz = gw[i][j], gz[i][j]
                        SPw, SPz = plain_sum(Pw, zero), plain_sum(Pz, zero)
                    new = []
                    for k in range(N):
                        if N >= 2:
                            Eb, Pb = (SE - E[k]) / (N - 1), (SP - P[k]) / (N - 1)
                        else:
                            Eb, Pb = zero, zero
                        if leaf:
                            M = zero
                        else:
                            M = (self.dup_birth * Pw[k]) * Pz[k]
                            if N >= 2:
                                M = M + (self.transfer / (N - 1)) * (
                                    (SPw - Pw[k]) * Pz[k] + Pw[k] * (SPz - Pz[k]))
                        inner = P[k] * ((self.total_rate - (2 * self.dup) * E[k]) - self.transfer * Eb) \
                            - (self.transfer * E[k]) * Pb
                        new.append((P[k] - s.step * inner) + s.step * M)
                    P = new
                    rows.append(P)
                grid[i] = rows
                for k, b in enumerate(s.branches):
                    top[b] = P[k]
            tops[u], grids[u] = top, grid
            if not leaf:
                grids[w] = grids[z] = None
        g = m - 1
        tg = tops[g]
        if origination == 1:
            ok = [b for b in range(nt) if self.branch_length[b] > TOL_TIME]
            L = plain_sum([tg[b] for b in ok], zero) / len(ok) if ok else math.nan
        else:
            l, s_ = self.left[self.root], self.right[self.root]
            L = self.ext_top[s_] * tg[l] + self.ext_top[l] * tg[s_]
            if not is_leaf[g]:
                tw, tz = tops[left[g]], tops[right[g]]
                L = L + (tw[l] * tz[s_] + tw[s_] * tz[l])
        return _log_or_minus_inf(L, self.log)


class Undated:
    """The undated (transfers=0) and reldated (transfers=1) engine."""

    def __init__(self, left, right, is_leaf, time, parent_time, root, transfers, dup, transfer, loss,
                 num=float, log=math.log, abs_=abs):
        self.num, self.log, self.abs = num, log, abs_
        n = len(left)
        self.left, self.right, self.is_leaf, self.n, self.root = left, right, is_leaf, n, root
        dup, transfer, loss = num(dup), num(transfer), num(loss)
        D = ((dup + 1) + transfer) + loss
        self.p_dup, self.p_transfer, self.p_spec = dup / D, transfer / D, num(1) / D
        p_loss = loss / D
        self.recipients = None
        if transfers == 1:
            finite = [t for t in time if t == t]
            tol = 1e-9 * max(1.0, max(finite)) if finite else 1e-9
            self.recipients = [
                [j for j in range(n) if j != i
                 and _fmin(time[i], time[j]) - _fmax(parent_time[i], parent_time[j]) > tol]
                for i in range(n)]
        zero = num(0)
        ext = [zero] * n
        for _ in range(MAX_SWEEPS):
            S = plain_sum(ext, zero)
            maxd = zero
            for b in range(n):
                Eb = self._mean(ext, b, S)
                c = zero if is_leaf[b] else ext[left[b]] * ext[right[b]]
                old = ext[b]
                new = self.p_spec * c + (Eb * (self.p_transfer * old) + (p_loss + old * (self.p_dup * old)))
                ext[b] = new
                S = S + (new - old)
                d = abs_(new - old)
                if d > maxd:
                    maxd = d
            if maxd < TOL_FIXED_POINT:
                break
        self.ext = ext

    def _mean(self, x, b, running_sum):
        if self.recipients is None:
            if self.n == 1:
                return self.num(0)
            return (running_sum - x[b]) / (self.n - 1)
        rec = self.recipients[b]
        if not rec:
            return self.num(0)
        return plain_sum([x[j] for j in rec], self.num(0)) / len(rec)

    def extinction(self, origination):
        if origination == 1:
            return plain_sum(self.ext, self.num(0)) / self.n
        return self.ext[self.root]

    def gene_loglik(self, is_leaf, left, right, species, origination):
        num, zero, n = self.num, self.num(0), self.n
        m = len(is_leaf)
        if m == 0:
            raise ValueError("empty gene tree")
        ext = self.ext
        SE = plain_sum(ext, zero)
        vecs = [None] * m
        for u in range(m):
            C = [zero] * n
            if is_leaf[u]:
                s = species[u]
                if not (0 <= s < n):
                    raise ValueError("bad tip species")
                C[s] = self.p_spec
            else:
                w, z = left[u], right[u]
                if not (0 <= w < u and 0 <= z < u):
                    raise ValueError("bad gene child")
                Pw, Pz = vecs[w], vecs[z]
                SPw, SPz = plain_sum(Pw, zero), plain_sum(Pz, zero)
                for b in range(n):
                    c = ((2 * self.p_dup) * Pw[b]) * Pz[b]
                    if not self.is_leaf[b]:
                        l, r = self.left[b], self.right[b]
                        c = c + self.p_spec * (Pw[l] * Pz[r] + Pw[r] * Pz[l])
                    if self.p_transfer > 0:
                        c = c + self.p_transfer * (Pz[b] * self._mean(Pw, b, SPw) + Pw[b] * self._mean(Pz, b, SPz))
                    C[b] = c
            P = [zero] * n
            for _ in range(MAX_SWEEPS):
                SP = plain_sum(P, zero)
                maxd = zero
                for b in range(n):
                    Eb = self._mean(ext, b, SE)
                    Pb = self._mean(P, b, SP)
                    if self.is_leaf[b]:
                        SL = zero
                    else:
                        l, r = self.left[b], self.right[b]
                        SL = self.p_spec * (P[l] * ext[r] + P[r] * ext[l])
                    old = P[b]
                    new = ((SL + C[b]) + Pb * (self.p_transfer * ext[b])) / \
                        ((1 - (2 * self.p_dup) * ext[b]) - self.p_transfer * Eb)
                    P[b] = new
                    SP = SP + (new - old)
                    d = self.abs(new - old)
                    if d > maxd:
                        maxd = d
                if maxd < TOL_FIXED_POINT:
                    break
            vecs[u] = P
        Pg = vecs[m - 1]
        L = plain_sum(Pg, zero) / n if origination == 1 else Pg[self.root]
        return _log_or_minus_inf(L, self.log)


def batch_scores(engine, offsets, is_leaf, left, right, species, origination):
    out = []
    for i in range(len(offsets) - 1):
        a, e = offsets[i], offsets[i + 1]
        out.append(engine.gene_loglik(is_leaf[a:e], left[a:e], right[a:e], species[a:e], origination))
    return out


def joint(engine, offsets, is_leaf, left, right, species, origination, n_extinct):
    total = 0.0
    if n_extinct > 0:
        P = engine.extinction(origination)
        total = n_extinct * float(engine.log(P)) if P > 0 else -math.inf
    for s in batch_scores(engine, offsets, is_leaf, left, right, species, origination):
        total += s
    return total
