"""Demonstration of vornix_core: simulate gene families along a small dated
species tree and write the full output directory.

    python3 examples/demo.py [OUTDIR]

Without OUTDIR the files go to a new directory under the system's temporary
directory, which is kept so that you can look at it afterwards.
"""
import pathlib
import sys
import tempfile

import vornix_core

# A dated species tree: (name, time, children). Time runs forward from the
# root (0) to the present (10); leaves dated before 10 are extinct lineages.
SPECIES_TREE = (
    "root", 0.0, [
        ("amniotes", 1.5, [
            ("mammals", 3.0, [
                ("euarchontoglires", 5.0, [
                    ("primates", 7.0, [("human", 10.0, []), ("chimpanzee", 10.0, [])]),
                    ("rodents", 7.5, [("mouse", 10.0, []), ("rat", 10.0, [])]),
                ]),
                ("laurasiatheria", 4.5, [
                    ("carnivores", 7.2, [
                        ("dog", 10.0, []),
                        ("felids", 8.0, [("cat", 10.0, []), ("Smilodon", 9.9, [])]),
                    ]),
                    ("cetartiodactyls", 6.0, [("cow", 10.0, []), ("Pakicetus", 7.8, [])]),
                ]),
            ]),
            ("sauropsids", 2.5, [
                ("archosaurs", 4.0, [
                    ("dinosaurs", 5.0, [("chicken", 10.0, []), ("Tyrannosaurus", 8.3, [])]),
                    ("crocodile", 10.0, []),
                ]),
                ("lizard", 10.0, []),
            ]),
        ]),
        ("amphibians", 4.0, [("frog", 10.0, []), ("salamander", 10.0, [])]),
    ],
)
PRESENT = 10.0


def flatten(tree):
    """The nested tree as the flat arrays the simulation functions take."""
    parent, time, extant, names, extinct = [], [], [], [], []
    stack = [(tree, -1)]
    while stack:
        (name, when, children), up = stack.pop()
        node = len(names)
        parent.append(up)
        time.append(when)
        extant.append(not children and when == PRESENT)
        names.append(name)
        if not children and when < PRESENT:
            extinct.append(name)
        stack.extend((child, node) for child in reversed(children))
    arrays = dict(n_nodes=len(names), parent=parent, time=time, extant_leaf=extant, root=0)
    return arrays, names, extinct


def show(title, lines):
    print(f"\n{title}")
    for line in lines:
        print("   ", line)


def main():
    outdir = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="vornix_demo_"))
    tree, names, extinct = flatten(SPECIES_TREE)
    n_species = sum(tree["extant_leaf"])
    print(f"vornix_core is available: {vornix_core.available()}")
    print(f"Species tree: {tree['n_nodes']} nodes, {n_species} extant species, "
          f"extinct lineages: {', '.join(extinct)}")

    families, records, leaves = vornix_core.simulate_and_write(
        **tree, names=names, duplication=0.2, transfer=0.1, loss=0.25, origination=0.5, initial_size=20,
        cap=-1, seed=2024, replacement=0.0, distance_decay=-1.0, allow_self=False, total_age=PRESENT,
        outdir=str(outdir))

    print(f"\nOutput directory: {outdir}")
    print(f"  {families} gene families, {records} event records, {leaves} extant species")
    events = sorted((outdir / "gene_family_events").iterdir(), key=lambda p: int(p.name.split("_")[0]))
    trees = list((outdir / "gene_trees").iterdir())
    print(f"  gene_family_events/: {len(events)} event tables")
    print(f"  gene_trees/: {sum(p.name.endswith('_complete.nwk') for p in trees)} complete trees, "
          f"{sum(p.name.endswith('_extant.nwk') for p in trees)} extant trees")
    for name in ("Transfers.tsv", "Gene_family_summary.tsv", "Profiles.tsv", "Presence.tsv"):
        n_lines = len((outdir / name).read_text().splitlines()) - 1
        print(f"  {name}: {n_lines} lines after the header")

    summary = (outdir / "Gene_family_summary.tsv").read_text().splitlines()
    show("Gene_family_summary.tsv (first lines):", summary[:6])
    profiles = (outdir / "Profiles.tsv").read_text().splitlines()
    show("Profiles.tsv (copies per species, columns in natural name order):", profiles[:6])

    # A sample family whose extant tree is small enough to read: the one
    # spread over the most species with at most eight surviving copies.
    rows = [line.split("\t") for line in summary[1:]]
    small = [row for row in rows if 2 <= int(row[7]) <= 8] or rows
    family = max(small, key=lambda row: (int(row[8]), -int(row[7]), -int(row[0])))[0]
    table = (outdir / "gene_family_events" / f"{family}_events.tsv").read_text().splitlines()
    show(f"gene_family_events/{family}_events.tsv (first lines):", table[:8])
    show(f"gene_trees/{family}_complete.nwk (every copy that ever existed; LOSS_ marks lost copies):",
         [(outdir / "gene_trees" / f"{family}_complete.nwk").read_text().strip()])
    show(f"gene_trees/{family}_extant.nwk (the surviving copies, as species_geneid):",
         [(outdir / "gene_trees" / f"{family}_extant.nwk").read_text().strip()])


if __name__ == "__main__":
    main()
