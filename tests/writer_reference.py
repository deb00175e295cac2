"""A plain-Python model of the output directory, written from the event log
that simulate_log returns and the species tree. The tests compare
simulate_and_write's files with it byte for byte (same engine, same seed, so
the same records)."""
import collections
import math

EVENTS_HEADER = "time\tevent\tbranch\tdonor\trecipient\tnodes\n"
TRANSFERS_HEADER = "time\tfamily\tdonor_branch\trecipient_branch\tparent_id\tdonor_copy_id\ttransfer_id\n"
SUMMARY_HEADER = ("family\torigin_time\torigin_branch\tn_dup\tn_transfer\tn_loss\tn_speciation\t"
                  "extant_copies\tspecies_present\n")
INT128_MAX = 2**127 - 1


def fmt_g(x, sig):
    if x == 0 or not math.isfinite(x):
        return "0"
    e = math.floor(math.log10(abs(x)))
    d = min(max(sig - 1 - e, 0), 17)
    s = f"{x:.{d}f}"
    if "." in s:
        s = s.rstrip("0").rstrip(".")
    return s


def natkey(name):
    digits = "".join(c for c in name if "0" <= c <= "9")
    number = int(digits) if digits else 0
    return (number if number <= INT128_MAX else 0, name.encode())


def natural_order(leaves, names):
    return sorted(leaves, key=lambda leaf: natkey(names[leaf]))


class Node:
    def __init__(self, gid, start, end, lost=False, species=None, children=()):
        self.id, self.start, self.end, self.lost, self.species = gid, start, end, lost, species
        self.children = list(children)


def build(gid, birth, ends, split, lost, leaf_of, total_age, lineage_end=None):
    """The complete tree below copy gid (iterative: chains can be deep).
    lineage_end maps a copy left on an extinct leaf to that leaf's time."""
    lineage_end = lineage_end or {}
    made = {}
    stack = [(gid, False)]
    while stack:
        g, expanded = stack.pop()
        if g in split and not expanded:
            stack.append((g, True))
            stack.extend((c, False) for c in reversed(split[g]))
            continue
        start = birth.get(g, 0.0)
        if g in split:
            made[g] = Node(g, start, ends[g], children=[made.pop(c) for c in split[g]])
        elif g in lost:
            made[g] = Node(g, start, ends[g], lost=True)
        else:
            species = leaf_of.get(g)
            end = lineage_end.get(g, total_age) if species is None else total_age
            made[g] = Node(g, start, end, species=species)
    return made[gid]


def prune(node):
    if not node.children:
        return node if node.species is not None else None
    kept = [k for k in (prune(c) for c in node.children) if k is not None]
    if not kept:
        return None
    if len(kept) == 1:
        only = kept[0]
        return Node(only.id, node.start, only.end, only.lost, only.species, only.children)
    return Node(node.id, node.start, node.end, node.lost, node.species, kept)


def newick(node, names):
    length = node.end - node.start
    length = fmt_g(length if length > 0 else 0.0, 6)
    if node.children:
        return "(" + ",".join(newick(c, names) for c in node.children) + f"){node.id}:{length}"
    if node.lost:
        return f"LOSS_{node.id}:{length}"
    if node.species is not None:
        return f"{quoted(names[node.species] + '_' + str(node.id))}:{length}"
    return f"{node.id}:{length}"


def quoted(label):
    """A Newick label, in single quotes with inner ones doubled when it holds
    whitespace or punctuation that Newick gives a meaning."""
    if any(c in " \t\n\v\f\r()[]':;," for c in label):
        return "'" + label.replace("'", "''") + "'"
    return label


def extinct_leaf_ends(tree):
    """Node -> time for the extinct leaves below the root."""
    parent, time, extant = tree["parent"], tree["time"], tree["extant_leaf"]
    with_children = {p for p in parent if p >= 0}
    return {v: time[v] for v in range(tree["n_nodes"])
            if v != tree["root"] and parent[v] >= 0 and v not in with_children and not extant[v]}


def first_two_children(tree):
    kids = collections.defaultdict(list)
    for v, p in enumerate(tree["parent"]):
        if p >= 0:
            kids[p].append(v)
    return kids


def expected_files(records, extant, names, total_age, tree=None):
    """Relative path -> text of every file the writer produces. With the
    species tree, copies left on an extinct leaf end at its time."""
    kids = first_two_children(tree) if tree else {}
    extinct = extinct_leaf_ends(tree) if tree else {}
    kind, branch, time, donor, recipient, family, gene, child1, child2 = records
    kind = list(kind)
    name = lambda node: names[node] if node >= 0 else ""  # noqa: E731
    files = {}

    leaf_of, leaf_counts = {}, {}
    for leaf, copies in extant:
        counts = leaf_counts.setdefault(leaf, collections.Counter())
        for g, f in copies:
            leaf_of[g] = leaf
            counts[f] += 1
    columns = natural_order([leaf for leaf, _ in extant], names)

    by_family = collections.defaultdict(list)
    for i, f in enumerate(family):
        by_family[f].append(i)

    summary = [SUMMARY_HEADER]
    for f in sorted(by_family):
        lines = [EVENTS_HEADER]
        birth, ends, split, lost, root = {}, {}, {}, set(), None
        where = {}  # copy -> the species branch it is on
        origin, tally = None, collections.Counter()
        for i in by_family[f]:
            k, g, c1, c2, t = kind[i], gene[i], child1[i], child2[i], time[i]
            tally[k] += 1
            if k == 0:
                nodes = f"origin={g}"
                if g not in birth:
                    birth[g], where[g] = t, branch[i]
                root, origin = g, i
            elif k == 3:
                nodes = f"lost={g}"
                lost.add(g)
                ends[g] = t
            else:
                labels = {1: ("left", "right"), 2: ("donor_copy", "transfer_copy"), 4: ("child", "child")}[k]
                nodes = f"parent={g};{labels[0]}={c1};{labels[1]}={c2}"
                split[g] = (c1 % 2**64, c2 % 2**64)
                ends[g] = birth[c1 % 2**64] = birth[c2 % 2**64] = t
                if k == 1:
                    on = (branch[i], branch[i])
                elif k == 2:
                    on = (branch[i], recipient[i])
                else:
                    on = (kids[branch[i]] + [None, None])[:2] if tree else (None, None)
                where[c1 % 2**64], where[c2 % 2**64] = on
            lines.append(f"{fmt_g(t, 10)}\t{'ODTLS'[k]}\t{names[branch[i]]}\t{name(donor[i])}\t"
                         f"{name(recipient[i])}\t{nodes}\n")
        files[f"gene_family_events/{f + 1}_events.tsv"] = "".join(lines)
        if root is not None:
            lineage_end = {g: extinct[b] for g, b in where.items() if b in extinct}
            complete = build(root, birth, ends, split, lost, leaf_of, total_age, lineage_end)
            files[f"gene_trees/{f + 1}_complete.nwk"] = newick(complete, names) + ";\n"
            kept = prune(complete)
            if kept is not None:
                files[f"gene_trees/{f + 1}_extant.nwk"] = newick(kept, names) + ";\n"
        copies = sum(c[f] for c in leaf_counts.values())
        present = sum(1 for c in leaf_counts.values() if f in c)
        when = fmt_g(time[origin], 10) if origin is not None else ""
        where = names[branch[origin]] if origin is not None else ""
        summary.append(f"{f + 1}\t{when}\t{where}\t{tally[1]}\t{tally[2]}\t{tally[3]}\t{tally[4]}\t"
                       f"{copies}\t{present}\n")
    files["Gene_family_summary.tsv"] = "".join(summary)

    transfers = [TRANSFERS_HEADER]
    for i, k in enumerate(kind):
        if k == 2:
            transfers.append(f"{fmt_g(time[i], 10)}\t{family[i] + 1}\t{names[donor[i]]}\t{names[recipient[i]]}\t"
                             f"{gene[i]}\t{child1[i]}\t{child2[i]}\n")
    files["Transfers.tsv"] = "".join(transfers)

    header = "family" + "".join("\t" + names[leaf] for leaf in columns) + "\n"
    profiles, presence = [header], [header]
    with_copies = sorted({f for c in leaf_counts.values() for f in c})
    for f in with_copies:
        counts = [leaf_counts[leaf][f] for leaf in columns]
        profiles.append(f"{f + 1}" + "".join(f"\t{c}" for c in counts) + "\n")
        presence.append(f"{f + 1}" + "".join("\t1" if c else "\t0" for c in counts) + "\n")
    files["Profiles.tsv"] = "".join(profiles)
    files["Presence.tsv"] = "".join(presence)
    return files
