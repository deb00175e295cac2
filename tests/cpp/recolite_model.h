// A literal model of the reconciliation likelihoods for the C++ tests, written
// from the description of the recursions rather than from the engines: one
// gene node at a time, one plain loop per sum, no lanes, no tables, no
// scaling. It runs on any number type with + - * / and comparisons; with
// Unbounded (a double mantissa with an exponent of its own) no value can
// underflow or overflow, which makes it the yardstick for the engines'
// scaled values; with Watched (a double that notes every result outside the
// normal range) it tells whether the plain double computation stayed normal.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace model {

// m * 2^e with m in [0.5, 1) (or m = 0): doubles whose exponent never runs
// out. Every operation rounds its mantissa once, as a double operation does,
// so while a double computation stays in the normal range its Unbounded twin
// has the same bits.
struct Unbounded {
    double m = 0.0;
    std::int64_t e = 0;

    Unbounded() = default;
    Unbounded(double x) { set(x, 0); }  // NOLINT: implicit, like a double

    static Unbounded make(double mantissa, std::int64_t exponent) {
        Unbounded u;
        u.set(mantissa, exponent);
        return u;
    }
    void set(double x, std::int64_t extra) {
        if (x == 0.0 || !std::isfinite(x)) {
            m = x;
            e = 0;
            return;
        }
        int k = 0;
        m = std::frexp(x, &k);
        e = extra + k;
    }
    // The double nearest to the value (0 or inf outside the range).
    double to_double() const {
        if (m == 0.0 || !std::isfinite(m)) return m;
        if (e > 2000) return m > 0 ? HUGE_VAL : -HUGE_VAL;
        if (e < -2000) return 0.0 * m;
        return std::ldexp(m, static_cast<int>(e));
    }
    double log() const {
        if (m != m) return m;
        if (!(m > 0.0)) return -std::numeric_limits<double>::infinity();
        const long double v = std::log(static_cast<long double>(m)) + static_cast<long double>(e) * std::log(2.0L);
        return static_cast<double>(v);
    }
};

inline Unbounded operator*(const Unbounded& a, const Unbounded& b) {
    if (a.m == 0.0 || b.m == 0.0 || !std::isfinite(a.m) || !std::isfinite(b.m)) return Unbounded(a.m * b.m);
    return Unbounded::make(a.m * b.m, a.e + b.e);
}

inline Unbounded operator/(const Unbounded& a, const Unbounded& b) {
    if (a.m == 0.0 || b.m == 0.0 || !std::isfinite(a.m) || !std::isfinite(b.m)) return Unbounded(a.m / b.m);
    return Unbounded::make(a.m / b.m, a.e - b.e);
}

inline Unbounded operator+(const Unbounded& a, const Unbounded& b) {
    if (b.m == 0.0) return a.m == 0.0 ? Unbounded(a.m + b.m) : a;
    if (a.m == 0.0) return b;
    if (!std::isfinite(a.m) || !std::isfinite(b.m)) return Unbounded(a.m + b.m);
    const bool a_big = a.e >= b.e;
    const Unbounded& big = a_big ? a : b;
    const Unbounded& small = a_big ? b : a;
    const std::int64_t gap = big.e - small.e;
    if (gap > 1100) return big;  // far below the last bit of the larger one
    return Unbounded::make(big.m + std::ldexp(small.m, -static_cast<int>(gap)), big.e);
}

inline Unbounded operator-(const Unbounded& a) { return Unbounded::make(-a.m, a.e); }
inline Unbounded operator-(const Unbounded& a, const Unbounded& b) { return a + (-b); }

inline bool operator>(const Unbounded& a, const Unbounded& b) {
    const Unbounded d = a - b;
    return d.m > 0.0;
}
inline bool operator<(const Unbounded& a, const Unbounded& b) { return b > a; }

inline Unbounded abs(const Unbounded& a) { return Unbounded::make(std::fabs(a.m), a.e); }
inline double log_of(const Unbounded& a) { return a.log(); }

// A double that notes (in a flag shared by all) every result that is
// subnormal, infinite or NaN.
struct Watched {
    double v = 0.0;
    static bool& left_range() {
        static bool flag = false;
        return flag;
    }
    Watched() = default;
    Watched(double x) : v(x) { note(); }  // NOLINT: implicit, like a double
    void note() const {
        if (!std::isfinite(v) || (v != 0.0 && std::fabs(v) < DBL_MIN)) left_range() = true;
    }
};

// A product or quotient of nonzero factors that rounds to 0 has underflowed.
inline Watched underflow_checked(double r, Watched a, Watched b) {
    if (r == 0.0 && a.v != 0.0 && b.v != 0.0) Watched::left_range() = true;
    return Watched(r);
}
inline Watched operator*(Watched a, Watched b) { return underflow_checked(a.v * b.v, a, b); }
inline Watched operator/(Watched a, Watched b) { return underflow_checked(a.v / b.v, a, b); }
inline Watched operator+(Watched a, Watched b) { return Watched(a.v + b.v); }
inline Watched operator-(Watched a, Watched b) { return Watched(a.v - b.v); }
inline bool operator>(Watched a, Watched b) { return a.v > b.v; }
inline bool operator<(Watched a, Watched b) { return a.v < b.v; }
inline Watched abs(Watched a) { return Watched(std::fabs(a.v)); }
inline double log_of(Watched a) { return a.v > 0.0 ? std::log(a.v) : -std::numeric_limits<double>::infinity(); }

struct Species {
    std::vector<std::int64_t> left, right;
    std::vector<bool> is_leaf;
    std::vector<double> time, parent_time;
    std::size_t root = 0;
    std::size_t n() const { return left.size(); }
};

struct Gene {
    std::vector<bool> is_leaf;
    std::vector<std::int64_t> left, right, species;
};

inline double snap(double t) { return std::round(t * 1e12) / 1e12; }

// The dated model: slices between the distinct snapped node times, Euler
// steps backwards in time, extinction grid, then one gene node at a time.
template <class Num>
struct Dated {
    struct Slice {
        std::vector<std::size_t> branches;
        std::vector<std::vector<Num>> ext;  // steps + 1 rows
        double t_end = 0.0;
        std::uint64_t steps = 0;
        Num step = 0.0;
    };
    const Species& sp;
    Num dup, transfer, loss, total;
    std::vector<double> branch_length;
    std::vector<Slice> slices;
    std::vector<Num> ext_top;

    Dated(const Species& s, double d, double t, double l, std::uint64_t n_steps)
        : sp(s), dup(d), transfer(t), loss(l), total((Num(d) + Num(t)) + Num(l)) {
        const std::size_t n = sp.n();
        const double total_f = (d + t) + l;
        for (std::size_t i = 0; i < n; ++i) branch_length.push_back(sp.time[i] - sp.parent_time[i]);
        std::vector<double> points{0.0};
        for (const double x : sp.time) points.push_back(snap(x));
        std::sort(points.begin(), points.end());
        points.erase(std::unique(points.begin(), points.end()), points.end());
        for (std::size_t k = 0; k + 1 < points.size(); ++k) {
            Slice s;
            const double t0 = points[k], t1 = points[k + 1];
            for (std::size_t i = 0; i < n; ++i) {
                if (sp.parent_time[i] <= t0 + 1e-9 && sp.time[i] >= t1 - 1e-9 && branch_length[i] > 1e-9) {
                    s.branches.push_back(i);
                }
            }
            const double dt = t1 - t0;
            const double c = std::ceil(total_f * dt * 4);
            const std::uint64_t by_rate = c > 0 ? static_cast<std::uint64_t>(c) : 0;
            s.steps = std::max(n_steps, by_rate);
            s.step = Num(dt / static_cast<double>(s.steps));
            s.t_end = t1;
            slices.push_back(std::move(s));
        }
        std::vector<Num> cur(n, Num(0.0));
        for (std::size_t k = slices.size(); k-- > 0;) {
            Slice& s = slices[k];
            const std::size_t N = s.branches.size();
            std::vector<Num> E;
            for (const std::size_t b : s.branches) {
                if (std::fabs(sp.time[b] - s.t_end) < 1e-9) {
                    E.push_back(sp.is_leaf[b] ? Num(0.0) : cur[sp.left[b]] * cur[sp.right[b]]);
                } else {
                    E.push_back(cur[b]);
                }
            }
            s.ext.push_back(E);
            for (std::uint64_t j = 0; j < s.steps; ++j) {
                Num S = 0.0;
                for (const Num& x : E) S = S + x;
                std::vector<Num> next;
                for (std::size_t i = 0; i < N; ++i) {
                    Num decay = (total * E[i] - loss) - E[i] * (dup * E[i]);
                    if (N >= 2) decay = decay - (transfer * E[i]) * ((S - E[i]) / Num(double(N - 1)));
                    next.push_back(E[i] - s.step * decay);
                }
                E = next;
                s.ext.push_back(E);
            }
            for (std::size_t i = 0; i < N; ++i) cur[s.branches[i]] = E[i];
        }
        ext_top = cur;
    }

    // The root term L (before the logarithm).
    Num likelihood(const Gene& g, std::uint8_t origination) const {
        const std::size_t m = g.is_leaf.size(), nt = sp.time.size();
        std::vector<std::vector<Num>> top(m);
        std::vector<std::vector<std::vector<std::vector<Num>>>> grid(m);  // [node][slice][row][k]
        for (std::size_t u = 0; u < m; ++u) {
            const bool leaf = g.is_leaf[u];
            const std::size_t w = leaf ? 0 : g.left[u], z = leaf ? 0 : g.right[u];
            top[u].assign(nt, Num(0.0));
            grid[u].resize(slices.size());
            for (std::size_t i = slices.size(); i-- > 0;) {
                const Slice& s = slices[i];
                const std::size_t N = s.branches.size();
                std::vector<Num> P;
                for (const std::size_t b : s.branches) {
                    Num v = 0.0;
                    if (std::fabs(sp.time[b] - s.t_end) < 1e-9) {
                        if (sp.is_leaf[b]) {
                            v = (leaf && g.species[u] == static_cast<std::int64_t>(b)) ? Num(1.0) : Num(0.0);
                        } else {
                            const std::size_t l = sp.left[b], r = sp.right[b];
                            v = ext_top[r] * top[u][l] + ext_top[l] * top[u][r];
                            if (!leaf) v = v + (top[w][l] * top[z][r] + top[w][r] * top[z][l]);
                        }
                    } else {
                        v = top[u][b];
                    }
                    P.push_back(v);
                }
                grid[u][i].push_back(P);
                for (std::uint64_t j = 0; j < s.steps; ++j) {
                    const std::vector<Num>& E = s.ext[j];
                    Num SE = 0.0, SP = 0.0, SPw = 0.0, SPz = 0.0;
                    for (std::size_t k = 0; k < N; ++k) SE = SE + E[k];
                    for (std::size_t k = 0; k < N; ++k) SP = SP + P[k];
                    if (!leaf) {
                        for (std::size_t k = 0; k < N; ++k) SPw = SPw + grid[w][i][j][k];
                        for (std::size_t k = 0; k < N; ++k) SPz = SPz + grid[z][i][j][k];
                    }
                    std::vector<Num> next;
                    const Num nm1(double(N >= 2 ? N - 1 : 1));
                    for (std::size_t k = 0; k < N; ++k) {
                        const Num Eb = N >= 2 ? (SE - E[k]) / nm1 : Num(0.0);
                        const Num Pb = N >= 2 ? (SP - P[k]) / nm1 : Num(0.0);
                        Num M = 0.0;
                        if (!leaf) {
                            const Num& pw = grid[w][i][j][k];
                            const Num& pz = grid[z][i][j][k];
                            M = (Num(2.0) * dup * pw) * pz;
                            if (N >= 2) M = M + (transfer / nm1) * ((SPw - pw) * pz + pw * (SPz - pz));
                        }
                        const Num inner =
                            P[k] * ((total - (Num(2.0) * dup) * E[k]) - transfer * Eb) - (transfer * E[k]) * Pb;
                        next.push_back((P[k] - s.step * inner) + s.step * M);
                    }
                    P = next;
                    grid[u][i].push_back(P);
                }
                for (std::size_t k = 0; k < N; ++k) top[u][s.branches[k]] = P[k];
            }
            if (!leaf) grid[w] = grid[z] = {};  // no other node reads them
        }
        const std::size_t gr = m - 1;
        if (origination == 1) {
            Num sum = 0.0;
            std::size_t count = 0;
            for (std::size_t b = 0; b < nt; ++b) {
                if (branch_length[b] > 1e-9) {
                    sum = sum + top[gr][b];
                    ++count;
                }
            }
            return sum / Num(double(count));
        }
        const std::size_t l = sp.left[sp.root], s = sp.right[sp.root];
        Num L = ext_top[s] * top[gr][l] + ext_top[l] * top[gr][s];
        if (!g.is_leaf[gr]) {
            const std::size_t w = g.left[gr], z = g.right[gr];
            L = L + (top[w][l] * top[z][s] + top[w][s] * top[z][l]);
        }
        return L;
    }
};

// The undated (reldated = false) and reldated model: extinction and every
// gene node's vector as fixed points of in-place sweeps.
template <class Num>
struct Undated {
    const Species& sp;
    bool reldated;
    Num p_dup, p_transfer, p_spec, p_loss;
    std::vector<std::vector<std::size_t>> recipients;
    std::vector<Num> ext;

    Num mean(const std::vector<Num>& x, std::size_t b, const Num& running_sum) const {
        const std::size_t n = sp.n();
        if (!reldated) return n == 1 ? Num(0.0) : (running_sum - x[b]) / Num(double(n - 1));
        if (recipients[b].empty()) return Num(0.0);
        Num s = 0.0;
        for (const std::size_t j : recipients[b]) s = s + x[j];
        return s / Num(double(recipients[b].size()));
    }

    Undated(const Species& s, bool rel, double d, double t, double l) : sp(s), reldated(rel) {
        const std::size_t n = sp.n();
        const Num D = ((Num(d) + Num(1.0)) + Num(t)) + Num(l);
        p_dup = Num(d) / D;
        p_transfer = Num(t) / D;
        p_spec = Num(1.0) / D;
        p_loss = Num(l) / D;
        if (reldated) {
            double latest = 1.0;
            for (const double x : sp.time) latest = std::max(latest, x);
            recipients.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = 0; j < n; ++j) {
                    if (j != i && std::fmin(sp.time[i], sp.time[j]) - std::fmax(sp.parent_time[i], sp.parent_time[j]) >
                                      1e-9 * latest) {
                        recipients[i].push_back(j);
                    }
                }
            }
        }
        ext.assign(n, Num(0.0));
        for (int sweep = 0; sweep < 500; ++sweep) {
            Num S = 0.0, maxd = 0.0;
            for (const Num& x : ext) S = S + x;
            for (std::size_t b = 0; b < n; ++b) {
                const Num Eb = mean(ext, b, S);
                const Num c = sp.is_leaf[b] ? Num(0.0) : ext[sp.left[b]] * ext[sp.right[b]];
                const Num old = ext[b];
                const Num next = p_spec * c + (Eb * (p_transfer * old) + (p_loss + old * (p_dup * old)));
                ext[b] = next;
                S = S + (next - old);
                if (abs(next - old) > maxd) maxd = abs(next - old);
            }
            if (maxd < Num(1e-13)) break;
        }
    }

    Num likelihood(const Gene& g, std::uint8_t origination) const {
        const std::size_t n = sp.n(), m = g.is_leaf.size();
        Num SE = 0.0;
        for (const Num& x : ext) SE = SE + x;
        std::vector<std::vector<Num>> vec(m);
        for (std::size_t u = 0; u < m; ++u) {
            std::vector<Num> C(n, Num(0.0));
            if (g.is_leaf[u]) {
                C[g.species[u]] = p_spec;
            } else {
                const std::vector<Num>& Pw = vec[g.left[u]];
                const std::vector<Num>& Pz = vec[g.right[u]];
                Num SPw = 0.0, SPz = 0.0;
                for (const Num& x : Pw) SPw = SPw + x;
                for (const Num& x : Pz) SPz = SPz + x;
                for (std::size_t b = 0; b < n; ++b) {
                    Num c = ((Num(2.0) * p_dup) * Pw[b]) * Pz[b];
                    if (!sp.is_leaf[b]) {
                        const std::size_t l = sp.left[b], r = sp.right[b];
                        c = c + p_spec * (Pw[l] * Pz[r] + Pw[r] * Pz[l]);
                    }
                    if (p_transfer > Num(0.0)) c = c + p_transfer * (Pz[b] * mean(Pw, b, SPw) + Pw[b] * mean(Pz, b, SPz));
                    C[b] = c;
                }
            }
            std::vector<Num> P(n, Num(0.0));
            for (int sweep = 0; sweep < 500; ++sweep) {
                Num SP = 0.0, maxd = 0.0;
                for (const Num& x : P) SP = SP + x;
                for (std::size_t b = 0; b < n; ++b) {
                    const Num Eb = mean(ext, b, SE);
                    const Num Pb = mean(P, b, SP);
                    Num SL = 0.0;
                    if (!sp.is_leaf[b]) {
                        const std::size_t l = sp.left[b], r = sp.right[b];
                        SL = p_spec * (P[l] * ext[r] + P[r] * ext[l]);
                    }
                    const Num old = P[b];
                    const Num next = ((SL + C[b]) + Pb * (p_transfer * ext[b])) /
                                     ((Num(1.0) - (Num(2.0) * p_dup) * ext[b]) - p_transfer * Eb);
                    P[b] = next;
                    SP = SP + (next - old);
                    if (abs(next - old) > maxd) maxd = abs(next - old);
                }
                if (maxd < Num(1e-13)) break;
            }
            vec[u] = P;
        }
        const std::vector<Num>& Pg = vec[m - 1];
        if (origination == 1) {
            Num s = 0.0;
            for (const Num& x : Pg) s = s + x;
            return s / Num(double(n));
        }
        return Pg[sp.root];
    }
};

}  // namespace model
