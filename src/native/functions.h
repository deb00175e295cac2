// The private module's Python-visible functions.
#pragma once

#include "py/ref.h"

namespace vornix::native {

PyObject* version(PyObject*, PyObject*);
PyObject* read_newick(PyObject*, PyObject* args, PyObject* kwargs);

// The simulators' species-tree check: None for a usable tree, else the
// message naming the node and the problem.
PyObject* check_species_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Gene-tree layout conversion and rootings (gene_rooting.cpp).
PyObject* gene_forest_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* gene_rootings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* gene_rerooted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// One event-log run as packed columns: (records, extant copies, profile,
// events drawn).
PyObject* simulate_families(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The gene trees of every family of the given records, as the writer prints
// them: (families, complete texts, their starts, extant texts, their starts).
PyObject* family_gene_trees(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// One nucleotide-engine run: ((leaf nodes, segment offsets, unit, start,
// end, strand), events drawn).
PyObject* simulate_genomes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The writer's output directory for the given records: (families, records,
// extant leaves).
PyObject* write_families(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// recPhyloXML documents of every family of the given records with an
// origination: (families, texts, their starts).
PyObject* family_recphyloxml(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Writes <trees_dir>/<f>_reconciled.xml per family; returns how many.
PyObject* write_recphyloxml(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The reconciled trees of every family of the given records as columns:
// (families, node starts, gene, parent, start, end, species, end kind,
// transfer recipient or -1).
PyObject* family_reconciliations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vornix::native
