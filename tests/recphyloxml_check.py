"""Independent readers for the reconciliation tests: a small Newick reader
and a recPhyloXML reader built on the standard library's XML parser."""
import xml.etree.ElementTree as ET

NS = "{http://www.recg.org}"


def newick_tree(text):
    """(label, (children...)) of one Newick tree; lengths are dropped, quoted
    labels unquoted. Iterative, so deep trees are fine."""
    text = text.strip()
    root = ["", []]
    node, stack, i = root, [], 0
    while text[i] != ";":
        c = text[i]
        if c == "(":
            child = ["", []]
            node[1].append(child)
            stack.append(node)
            node, i = child, i + 1
        elif c == ",":
            child = ["", []]
            stack[-1][1].append(child)
            node, i = child, i + 1
        elif c == ")":
            node, i = stack.pop(), i + 1
        elif c == ":":
            i += 1
            while text[i] not in ",);":
                i += 1
        elif c == "'":
            j, label = i + 1, []
            while not (text[j] == "'" and text[j + 1] != "'"):
                label.append(text[j])
                j += 2 if text[j] == "'" else 1
            node[0], i = "".join(label), j + 1
        else:
            j = i
            while text[j] not in ",():;":
                j += 1
            node[0], i = text[i:j], j
    assert not stack
    return freeze(root)


def freeze(node):
    """A [label, [children]] tree as nested tuples, without recursion."""
    order, stack = [], [node]
    while stack:
        n = stack.pop()
        order.append(n)
        stack.extend(n[1])
    frozen = {}
    for n in reversed(order):
        frozen[id(n)] = (n[0], tuple(frozen[id(c)] for c in n[1]))
    return frozen[id(node)]


class Document:
    """A recPhyloXML document read with xml.etree: the species tree as
    name -> (parent name, [child names]) and the gene tree's clades."""

    def __init__(self, text):
        self.root = ET.fromstring(text)
        assert self.root.tag == NS + "recPhylo"
        sp_trees = self.root.findall(NS + "spTree")
        gene_trees = self.root.findall(NS + "recGeneTree")
        assert len(sp_trees) == 1 and len(gene_trees) == 1
        self.species = {}
        top = sp_trees[0].find(NS + "phylogeny").findall(NS + "clade")
        assert len(top) == 1
        stack = [(top[0], None)]
        while stack:
            clade, up = stack.pop()
            name = clade.findtext(NS + "name")
            assert name not in self.species
            kids = clade.findall(NS + "clade")
            self.species[name] = (up, [k.findtext(NS + "name") for k in kids])
            stack.extend((k, name) for k in kids)
        phylogeny = gene_trees[0].find(NS + "phylogeny")
        assert phylogeny.get("rooted") == "true"
        roots = phylogeny.findall(NS + "clade")
        assert len(roots) == 1
        self.gene_root = roots[0]

    def clades(self):
        """(clade, parent clade, index among siblings) in preorder."""
        stack = [(self.gene_root, None, 0)]
        while stack:
            clade, up, k = stack.pop()
            yield clade, up, k
            kids = clade.findall(NS + "clade")
            stack.extend((c, clade, i) for i, c in reversed(list(enumerate(kids))))

    @staticmethod
    def events(clade):
        """[(tag, attributes)] of the clade's eventsRec, in order."""
        rec = clade.findall(NS + "eventsRec")
        assert len(rec) == 1
        return [(e.tag[len(NS):], dict(e.attrib)) for e in rec[0]]

    def gene_tree(self):
        """(name, children) nested like newick_tree's result."""
        frozen = {}
        order = [c for c, _, _ in self.clades()]
        for clade in reversed(order):
            kids = clade.findall(NS + "clade")
            frozen[id(clade)] = (clade.findtext(NS + "name"), tuple(frozen[id(k)] for k in kids))
        return frozen[id(self.gene_root)]
