"""Random dated species trees for the front-end tests."""
import random


def random_arrays(rng, n_leaves, extinct_share=0.3):
    """A random binary dated tree with extinct lineages, nodes numbered so that
    parents may come after their children."""
    kids, t, leaves = {0: []}, {0: 0.0}, [0]
    while len(leaves) < n_leaves:
        v = leaves.pop(rng.randrange(len(leaves)))
        for _ in range(2):
            c = len(t)
            t[c] = t[v] + rng.uniform(0.05, 1.0)
            kids[c] = []
            kids[v].append(c)
            leaves.append(c)
    end = max(t.values()) + 0.5
    extant = {v: rng.random() >= extinct_share or v == leaves[0] for v in leaves}
    for v in leaves:
        if extant[v]:
            t[v] = end
    n = len(t)
    perm = list(range(n))
    rng.shuffle(perm)
    parent, time, is_extant = [-1] * n, [0.0] * n, [False] * n
    for v in range(n):
        for c in kids[v]:
            parent[perm[c]] = perm[v]
        time[perm[v]] = t[v]
        is_extant[perm[v]] = extant.get(v, False)
    return parent, time, is_extant, perm[0]


def random_named_arrays(rng, n_leaves, extinct_share=0.3):
    """random_arrays plus unique names, some of which Newick must quote."""
    parent, time, extant, root = random_arrays(rng, n_leaves, extinct_share)
    odd = ["t:u", "it's", "a b", "x(y)", "c,d", "[e]", "f;g", "Homo_sapiens"]
    names = []
    for i in range(len(parent)):
        base = rng.choice(odd) if rng.random() < 0.2 else ("sp" if extant[i] else "nd")
        names.append(f"{base}{i}")
    return parent, time, extant, root, names
