"""Inputs for the likelihood tests: species trees and gene-tree batches as the
likelihood functions take them (post-order flat arrays)."""
import itertools
import random


class SpeciesTree:
    """Post-order arrays of a species tree; `leaves` lists the leaf indices."""

    def __init__(self, left, right, time, parent_time, root):
        self.left, self.right = left, right
        self.is_leaf = [l < 0 for l in left]
        self.time, self.parent_time, self.root = time, parent_time, root
        self.parent = [-1] * len(left)
        for i, (l, r) in enumerate(zip(left, right)):
            if l >= 0:
                self.parent[l] = self.parent[r] = i
        self.leaves = [i for i, leaf in enumerate(self.is_leaf) if leaf]

    @property
    def n(self):
        return len(self.left)

    def dated_args(self):
        """sp_parent .. sp_root of the dated functions."""
        return [self.parent, self.left, self.right, self.is_leaf, self.time, self.parent_time, self.root]

    def undated_args(self):
        """sp_left .. sp_root of the undated functions."""
        return [self.left, self.right, self.is_leaf, self.time, self.parent_time, self.root]


def species_from_nested(shape, node_time, root_time=0.0, root_parent_time=None):
    """A species tree from nested tuples of leaf names, e.g. (("a", "b"), "c");
    node_time(depth, node) gives the time of every node below the root. The
    root branch has length 0 unless root_parent_time says otherwise."""
    left, right, time, parent_time = [], [], [], []

    def build(node, depth, t_parent):
        t = root_time if depth == 0 else node_time(depth, node)
        if isinstance(node, tuple):
            a = build(node[0], depth + 1, t)
            b = build(node[1], depth + 1, t)
            left.append(a)
            right.append(b)
        else:
            left.append(-1)
            right.append(-1)
        time.append(t)
        parent_time.append(t_parent)
        return len(left) - 1

    root = build(shape, 0, root_time if root_parent_time is None else root_parent_time)
    return SpeciesTree(left, right, time, parent_time, root)


def random_species(rng, n_leaves, present=1.0, zero_root_branch=True, extinct=True):
    """A random dated binary species tree in post-order. Leaves end at the
    present unless drawn extinct; the root branch has length 0 when asked."""
    left, right, time, parent_time = [], [], [], []

    def build(k, t, t_parent):
        if k == 1:
            left.append(-1)
            right.append(-1)
            end = present if not (extinct and rng.random() < 0.25) else t + (present - t) * rng.random()
            time.append(end)
            parent_time.append(t_parent)
            return len(left) - 1
        split = rng.randint(1, k - 1)
        t_child = [t + (present - t) * rng.uniform(0.05, 0.7) for _ in range(2)]
        a = build(split, t_child[0], t)
        b = build(k - split, t_child[1], t)
        left.append(a)
        right.append(b)
        time.append(t)
        parent_time.append(t_parent)
        return len(left) - 1

    root_time = 0.0 if zero_root_branch else 0.2
    root = build(n_leaves, root_time, root_time if zero_root_branch else 0.0)
    return SpeciesTree(left, right, time, parent_time, root)


def caterpillar(leaves, present):
    """Spine nodes at 0, dt, 2 dt, ... (dt = present / leaves), each with one
    leaf at `present`; the deepest spine node joins leaves 0 and 1, and the
    last leaf (index 2 * leaves - 3) hangs from the root."""
    left, right, time, parent_time = [], [], [], []

    def add(lc, rc, t, tp):
        left.append(lc), right.append(rc), time.append(t), parent_time.append(tp)
        return len(left) - 1

    spine, dt = leaves - 1, present / leaves
    a, b = add(-1, -1, present, dt * (spine - 1)), add(-1, -1, present, dt * (spine - 1))
    node = add(a, b, dt * (spine - 1), dt * (spine - 2))
    for k in range(spine - 2, -1, -1):
        node = add(node, add(-1, -1, present, dt * k), dt * k, dt * (k - 1) if k > 0 else 0.0)
    return SpeciesTree(left, right, time, parent_time, node)


def random_gene_tree(rng, tips, species_choices, balanced=False):
    """Post-order (is_leaf, left, right, species) of a random binary tree with
    the given number of tips, each mapped to rng.choice(species_choices).
    A balanced tree splits every clade in halves (depth about log2(tips))."""
    is_leaf, left, right, species = [], [], [], []

    def build(k):
        if k == 1:
            is_leaf.append(True)
            left.append(-1)
            right.append(-1)
            species.append(rng.choice(species_choices))
            return len(is_leaf) - 1
        split = k // 2 if balanced else rng.randint(1, k - 1)
        a = build(split)
        b = build(k - split)
        is_leaf.append(False)
        left.append(a)
        right.append(b)
        species.append(-1)
        return len(is_leaf) - 1

    build(tips)
    return is_leaf, left, right, species


def batch(trees):
    """gt_offsets .. gt_species of a list of (is_leaf, left, right, species)."""
    offsets, cols = [0], ([], [], [], [])
    for tree in trees:
        for col, values in zip(cols, tree):
            col.extend(values)
        offsets.append(offsets[-1] + len(tree[0]))
    return [offsets, *cols]


def ordered_shapes(m):
    """Every rooted binary tree with m tips and ordered children, as nested
    pairs with None at the tips."""
    if m == 1:
        yield None
        return
    for k in range(1, m):
        for a in ordered_shapes(k):
            for b in ordered_shapes(m - k):
                yield (a, b)


def labelled_trees(max_tips, labels):
    """Every ordered binary tree with up to max_tips tips, tips labelled from
    `labels`, as (tree arrays, number of tips)."""
    for m in range(1, max_tips + 1):
        for shape in ordered_shapes(m):
            for tip_labels in itertools.product(labels, repeat=m):
                is_leaf, left, right, species = [], [], [], []
                it = iter(tip_labels)

                def emit(node):
                    if node is None:
                        is_leaf.append(True)
                        left.append(-1)
                        right.append(-1)
                        species.append(next(it))
                    else:
                        a = emit(node[0])
                        b = emit(node[1])
                        is_leaf.append(False)
                        left.append(a)
                        right.append(b)
                        species.append(-1)
                    return len(is_leaf) - 1

                emit(shape)
                yield (is_leaf, left, right, species), m


def perfect_copy(sp):
    """The gene tree that is a copy of the species tree, one tip per leaf."""
    is_leaf, left, right, species = [], [], [], []
    index = {}
    for i in range(sp.n):  # post-order already
        if sp.is_leaf[i]:
            is_leaf.append(True)
            left.append(-1)
            right.append(-1)
            species.append(i)
        else:
            is_leaf.append(False)
            left.append(index[sp.left[i]])
            right.append(index[sp.right[i]])
            species.append(-1)
        index[i] = len(is_leaf) - 1
    return is_leaf, left, right, species


def seeded(seed):
    return random.Random(seed)
