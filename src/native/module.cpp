// vornix._native: the private extension module of the vornix package. It
// gives the Python front end native helpers (gene trees built in memory,
// fast Newick reading) over the same engine code as vornix_core.
#include "native/functions.h"

namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

template <class F>
PyCFunction fast(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kFunctions[] = {
    {"version", vornix::native::version, METH_NOARGS, "version()\n--\n\nThe native layer's interface version."},
    {"check_species_tree", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::check_species_tree)),
     METH_FASTCALL | METH_KEYWORDS,
     "check_species_tree(n_nodes, parent, time, extant_leaf, root)\n--\n\nNone when the simulators can take the tree, else why not."},
    {"simulate_families", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::simulate_families)),
     METH_FASTCALL | METH_KEYWORDS,
     "simulate_families(n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, "
     "initial_size, cap, seed, replacement, distance_decay, allow_self)\n--\n\n"
     "One event-log run as packed columns: (records, extant copies, profile, events)."},
    {"family_gene_trees", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::family_gene_trees)),
     METH_FASTCALL | METH_KEYWORDS,
     "family_gene_trees(tree, records, extant, names, total_age)\n--\n\n"
     "Complete and extant gene trees of every family, as the writer prints them."},
    {"simulate_genomes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::simulate_genomes)),
     METH_FASTCALL | METH_KEYWORDS,
     "simulate_genomes(n_nodes, parent, time, extant_leaf, root, inversion, loss, duplication, transfer, "
     "transposition, origination, root_length, extension, initial_size, seed, replacement, distance_decay, "
     "allow_self)\n--\n\nOne nucleotide-engine run as packed columns: (genomes, events)."},
    {"write_families", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::write_families)),
     METH_FASTCALL | METH_KEYWORDS,
     "write_families(tree, records, extant, names, total_age, outdir)\n--\n\n"
     "The writer's output directory for the given records."},
    {"family_recphyloxml", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::family_recphyloxml)),
     METH_FASTCALL | METH_KEYWORDS,
     "family_recphyloxml(records, extant, names, parent, root)\n--\n\n"
     "recPhyloXML documents of every family with an origination: (families, texts, starts)."},
    {"write_recphyloxml", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::write_recphyloxml)),
     METH_FASTCALL | METH_KEYWORDS,
     "write_recphyloxml(records, extant, names, parent, root, trees_dir)\n--\n\n"
     "Writes trees_dir/<f>_reconciled.xml for every family with an origination; returns how many."},
    {"family_reconciliations",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::family_reconciliations)),
     METH_FASTCALL | METH_KEYWORDS,
     "family_reconciliations(records, extant, names, parent, root, total_age)\n--\n\n"
     "Reconciled gene trees as columns: (families, starts, gene, parent, start, end, species, ends, transferred_to)."},
    {"gene_forest_check", fast(vornix::native::gene_forest_check), kFast,
     "gene_forest_check(offsets, parent, species)\n--\n\n"
     "None for a well-formed pre-order gene-tree batch, else (kind, tree, node, children) of its first fault."},
    {"gene_rootings", fast(vornix::native::gene_rootings), kFast,
     "gene_rootings(offsets, parent, species, trees, first, last, with_origin)\n--\n\n"
     "Rootings first..last-1 of each listed tree as packed post-order batch arrays:\n"
     "(offsets u64, is_leaf u8, left i64, right i64, species i64, origin i64 or None)."},
    {"gene_rerooted", fast(vornix::native::gene_rerooted), kFast,
     "gene_rerooted(offsets, parent, species, trees, edges)\n--\n\n"
     "Each listed tree rooted on one edge, in pre-order: (offsets i64, parent i64, origin i64)."},
    {"read_newick", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::read_newick)),
     METH_VARARGS | METH_KEYWORDS,
     "read_newick(text, source)\n--\n\nEvery tree of a Newick text (str or UTF-8 bytes) as flat columns: a tuple\n"
     "(tree_offsets, tree_line, parent, length, labels, line, column). labels is a\n"
     "list of str; the others are bytes of little-endian int64 (int32 for parent,\n"
     "float64 for length). Malformed text raises ValueError naming source, line\n"
     "and column."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "vornix._native", nullptr, 0, kFunctions, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kModule); }
