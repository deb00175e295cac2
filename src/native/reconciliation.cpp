// Reconciled gene trees for the Python front end: recPhyloXML documents (in
// memory or one file per family) and the trees as columns for drawing.
#include "front/recphyloxml.h"
#include "native/columns.h"
#include "native/family_columns.h"
#include "native/functions.h"
#include "py/args.h"
#include "py/guard.h"
#include "py/interrupt.h"
#include "py/result.h"

namespace vornix::native {

using event_log::ExtantContent;
using event_log::Records;

namespace {

const py::Signature kDocumentsSignature{"family_recphyloxml", {"records", "extant", "names", "parent", "root"}};
const py::Signature kWriteSignature{"write_recphyloxml", {"records", "extant", "names", "parent", "root", "trees_dir"}};
const py::Signature kColumnsSignature{"family_reconciliations",
                                      {"records", "extant", "names", "parent", "root", "total_age"}};

// records, extant, names, parent, root: the columns of a run and the species
// tree it ran on, the arguments every function here starts with.
struct ReconcileArgs {
    Records records;
    ExtantContent extant;
    std::vector<std::string> names;
    std::vector<std::int64_t> parent;
    std::uint64_t root = 0;
    front::SpeciesInput species() const { return {parent, root, names}; }
};

ReconcileArgs read_reconcile_args(py::Args& a, Interrupt& interrupt) {
    ReconcileArgs run;
    run.records = a.with([&](PyObject* o) { return read_records(o, interrupt); });
    run.extant = a.with([&](PyObject* o) { return read_extant(o, interrupt); });
    run.names = a.vec_str();
    run.parent = a.vec_i64();
    run.root = a.u64();
    return run;
}

}  // namespace

PyObject* family_recphyloxml(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kDocumentsSignature, args, nargs, kwnames);
        Interrupt interrupt = py::interrupt();
        const ReconcileArgs run = read_reconcile_args(a, interrupt);
        front::FamilyDocuments docs = py::unwrap(front::recphyloxml_documents(
            run.records, run.extant, run.species(), writer::default_pool(), interrupt));
        return py::tuple(column_bytes(docs.families), string_bytes(docs.text), column_bytes(docs.start));
    });
}

PyObject* write_recphyloxml(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kWriteSignature, args, nargs, kwnames);
        Interrupt interrupt = py::interrupt();
        const ReconcileArgs run = read_reconcile_args(a, interrupt);
        const std::string trees_dir = a.str();
        const std::uint64_t written = py::unwrap(front::write_recphyloxml(
            run.records, run.extant, run.species(), trees_dir, writer::default_pool(), interrupt));
        return py::new_int(written);
    });
}

PyObject* family_reconciliations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kColumnsSignature, args, nargs, kwnames);
        Interrupt interrupt = py::interrupt();
        const ReconcileArgs run = read_reconcile_args(a, interrupt);
        const double total_age = a.f64();
        front::FamilyReconciliations trees =
            py::unwrap(front::reconciled_families(run.records, run.extant, run.species(), total_age, interrupt));
        const std::size_t n = trees.nodes.size();
        std::vector<std::uint64_t> gene(n), species(n);
        std::vector<std::int64_t> up(n), transferred_to(n);
        std::vector<double> start(n), end(n);
        std::vector<std::uint8_t> ends(n);
        for (std::size_t i = 0; i < n; ++i) {
            const front::ReconciledNode& node = trees.nodes[i];
            gene[i] = node.gene;
            up[i] = node.parent == front::kNoParent ? -1 : static_cast<std::int64_t>(node.parent);
            start[i] = node.start;
            end[i] = node.end;
            species[i] = node.species;
            ends[i] = static_cast<std::uint8_t>(node.ends);
            transferred_to[i] = node.arrived_from_transfer == writer::kNoSpecies
                                    ? -1
                                    : static_cast<std::int64_t>(node.arrived_from_transfer);
        }
        std::vector<front::ReconciledNode>().swap(trees.nodes);
        return py::tuple(column_bytes(trees.families), column_bytes(trees.start), column_bytes(gene), column_bytes(up),
                         column_bytes(start), column_bytes(end), column_bytes(species), column_bytes(ends),
                         column_bytes(transferred_to));
    });
}

}  // namespace vornix::native
