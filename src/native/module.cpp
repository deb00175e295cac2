// vornix._native: the private extension module of the vornix package. It
// gives the Python front end native helpers (gene trees built in memory,
// fast Newick reading) over the same engine code as vornix_core.
#include "native/functions.h"
#include "py/method.h"

namespace {

using vornix::py::as_method;
using vornix::py::kFastcall;

PyMethodDef kFunctions[] = {
    {"version", vornix::native::version, METH_NOARGS, "version()\n--\n\nThe native layer's interface version."},
    {"check_species_tree", as_method(vornix::native::check_species_tree), kFastcall,
     "check_species_tree(n_nodes, parent, time, extant_leaf, root)\n--\n\nNone when the simulators can take the tree, else why not."},
    {"simulate_families", as_method(vornix::native::simulate_families), kFastcall,
     "simulate_families(n_nodes, parent, time, extant_leaf, root, duplication, transfer, loss, origination, "
     "initial_size, cap, seed, replacement, distance_decay, allow_self)\n--\n\n"
     "One event-log run as packed columns: (records, extant copies, profile, events)."},
    {"family_gene_trees", as_method(vornix::native::family_gene_trees), kFastcall,
     "family_gene_trees(tree, records, extant, names, total_age)\n--\n\n"
     "Complete and extant gene trees of every family, as the writer prints them."},
    {"simulate_genomes", as_method(vornix::native::simulate_genomes), kFastcall,
     "simulate_genomes(n_nodes, parent, time, extant_leaf, root, inversion, loss, duplication, transfer, "
     "transposition, origination, root_length, extension, initial_size, seed, replacement, distance_decay, "
     "allow_self)\n--\n\nOne nucleotide-engine run as packed columns: (genomes, events)."},
    {"write_families", as_method(vornix::native::write_families), kFastcall,
     "write_families(tree, records, extant, names, total_age, outdir)\n--\n\n"
     "The writer's output directory for the given records."},
    {"family_recphyloxml", as_method(vornix::native::family_recphyloxml), kFastcall,
     "family_recphyloxml(records, extant, names, parent, root)\n--\n\n"
     "recPhyloXML documents of every family with an origination: (families, texts, starts)."},
    {"write_recphyloxml", as_method(vornix::native::write_recphyloxml), kFastcall,
     "write_recphyloxml(records, extant, names, parent, root, trees_dir)\n--\n\n"
     "Writes trees_dir/<f>_reconciled.xml for every family with an origination; returns how many."},
    {"family_reconciliations", as_method(vornix::native::family_reconciliations), kFastcall,
     "family_reconciliations(records, extant, names, parent, root, total_age)\n--\n\n"
     "Reconciled gene trees as columns: (families, starts, gene, parent, start, end, species, ends, transferred_to)."},
    {"gene_forest_check", as_method(vornix::native::gene_forest_check), kFastcall,
     "gene_forest_check(offsets, parent, species)\n--\n\n"
     "None for a well-formed pre-order gene-tree batch, else (kind, tree, node, children) of its first fault."},
    {"gene_rootings", as_method(vornix::native::gene_rootings), kFastcall,
     "gene_rootings(offsets, parent, species, trees, first, last, with_origin)\n--\n\n"
     "Rootings first..last-1 of each listed tree as packed post-order batch arrays:\n"
     "(offsets u64, is_leaf u8, left i64, right i64, species i64, origin i64 or None)."},
    {"gene_rerooted", as_method(vornix::native::gene_rerooted), kFastcall,
     "gene_rerooted(offsets, parent, species, trees, edges)\n--\n\n"
     "Each listed tree rooted on one edge, in pre-order: (offsets i64, parent i64, origin i64)."},
    {"read_newick", as_method(vornix::native::read_newick), METH_VARARGS | METH_KEYWORDS,
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
