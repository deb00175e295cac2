"""Plain-Python models for the scoring tests: random gene trees as Newick,
the post-order layout of a rooted tree, and every rooting of a tree, built
by recursion on an explicit neighbour list (no shared code with the
package)."""
import math
import random


def random_newick(rng: random.Random, species: list[str], n_leaves: int, unrooted: bool = False,
                  lengths: bool = False) -> str:
    """A random binary tree over leaves named ``<species>_<k>``; with
    `unrooted`, three subtrees at the top."""
    counts: dict[str, int] = {}
    nodes = []
    for _ in range(n_leaves):
        s = rng.choice(species)
        counts[s] = counts.get(s, 0) + 1
        nodes.append(f"{s}_{counts[s]}")
    if lengths:
        nodes = [f"{n}:{rng.uniform(0.01, 2):.3f}" for n in nodes]
    top = 3 if unrooted and n_leaves >= 3 else 2 if n_leaves >= 2 else 1
    while len(nodes) > top:
        i, j = sorted(rng.sample(range(len(nodes)), 2))
        b = nodes.pop(j)
        a = nodes.pop(i)
        joined = f"({a},{b})"
        if lengths:
            joined += f":{rng.uniform(0.01, 2):.3f}"
        nodes.insert(rng.randrange(len(nodes) + 1), joined)
    return (nodes[0] if top == 1 else "(" + ",".join(nodes) + ")") + ";"


def children_of(parent: list[int]) -> list[list[int]]:
    kids: list[list[int]] = [[] for _ in parent]
    for v, p in enumerate(parent):
        if p >= 0:
            kids[p].append(v)
    return kids


def neighbours(parent: list[int]) -> tuple[dict[int, list[int]], bool]:
    """Each node's neighbours in the unrooted tree, children first and then
    the node above; a rooted tree's root is left out, its two children
    joined."""
    kids = children_of(parent)
    rooted = len(kids[0]) == 2
    nb: dict[int, list[int]] = {}
    for v in range(len(parent)):
        if rooted and v == 0:
            continue
        up = [] if v == 0 else [parent[v]]
        if rooted and parent[v] == 0:
            up = [k for k in kids[0] if k != v]
        nb[v] = kids[v] + up
    return nb, rooted


def edges(parent: list[int]) -> list[tuple[int, int]]:
    """Edges in rooting order: a rooted tree's root edge first, then the
    edge above every other node in pre-order."""
    if len(parent) == 1:
        return []
    kids = children_of(parent)
    if len(kids[0]) == 2:
        a, b = kids[0]
        return [(a, b)] + [(v, parent[v]) for v in range(1, len(parent)) if v not in (a, b)]
    return [(v, parent[v]) for v in range(1, len(parent))]


def rooted_postorder(nb: dict[int, list[int]], x: int, y: int, species: list[int]):
    """The tree rooted between x and y, as post-order rows
    (is_leaf, left, right, species, source node)."""
    rows: list[tuple[bool, int, int, int, int]] = []

    def walk(v: int, came_from: int) -> int:
        below = [walk(w, v) for w in nb[v] if w != came_from]
        if not below:
            rows.append((True, -1, -1, species[v], v))
        else:
            rows.append((False, below[0], below[1], -1, v))
        return len(rows) - 1

    left = walk(x, y)
    right = walk(y, x)
    rows.append((False, left, right, -1, -1))
    return rows


def all_rootings(parent: list[int], species: list[int]):
    """Every rooting of a tree given by pre-order parents, in edge order."""
    if len(parent) == 1:
        return [[(True, -1, -1, species[0], 0)]]
    nb, _ = neighbours(parent)
    return [rooted_postorder(nb, x, y, species) for x, y in edges(parent)]


def as_is_postorder(parent: list[int], species: list[int]):
    """A rooted tree as post-order rows, children in their order."""
    kids = children_of(parent)
    rows = []

    def walk(v: int) -> int:
        below = [walk(c) for c in kids[v]]
        rows.append((not below, *(below or [-1, -1]), species[v] if not below else -1, v))
        return len(rows) - 1

    walk(0)
    return rows


def clades(rows, names: list[str]) -> frozenset:
    """The leaf sets below every node of a post-order tree."""
    below: list[frozenset] = []
    for is_leaf, left, right, _sp, src in rows:
        below.append(frozenset([names[src]]) if is_leaf else below[left] | below[right])
    return frozenset(below)


def log_mean_exp(values: list[float]) -> float:
    top = max(values)
    if top == -math.inf:
        return -math.inf
    return top + math.log(math.fsum(math.exp(v - top) for v in values)) - math.log(len(values))


def yule_tree(rng: random.Random, n: int):
    """A pure-birth species tree with `n` living leaves: node arrays
    (parent, time, extant_leaf, names), root 0 at time 0."""
    parent, time, alive, t = [-1], [0.0], [0], 0.0
    first = True
    while len(alive) < n:
        if not first:
            t += rng.expovariate(len(alive))
        first = False
        p = alive.pop(rng.randrange(len(alive)))
        time[p] = t
        for _ in range(2):
            parent.append(p)
            time.append(0.0)
            alive.append(len(parent) - 1)
    t += rng.expovariate(len(alive))
    extant = [False] * len(parent)
    for a in alive:
        time[a] = t
        extant[a] = True
    names = [f"s{i}" if e else f"n{i}" for i, e in enumerate(extant)]
    return parent, time, extant, names
