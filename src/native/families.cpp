// Gene-family simulation for the Python front end: the event-log engine's
// records and extant content as packed columns, and the writer's gene trees
// and output directory built from such columns.
#include <type_traits>

#include "bind/sim_args.h"
#include "engines/event_log/run.h"
#include "engines/event_log/trace_profile.h"
#include "front/family_trees.h"
#include "native/columns.h"
#include "native/family_columns.h"
#include "native/functions.h"
#include "py/guard.h"
#include "py/interrupt.h"
#include "writer/output_checks.h"
#include "writer/write_output.h"

namespace vornix::native {

using event_log::ExtantContent;
using event_log::Records;

namespace {

const py::Signature kSimulateSignature{
    "simulate_families",
    {"n_nodes", "parent", "time", "extant_leaf", "root", "duplication", "transfer", "loss", "origination",
     "initial_size", "cap", "seed", "replacement", "distance_decay", "allow_self"}};
const py::Signature kTreesSignature{"family_gene_trees", {"tree", "records", "extant", "names", "total_age"}};
const py::Signature kWriteSignature{"write_families",
                                    {"tree", "records", "extant", "names", "total_age", "outdir"}};

}  // namespace

PyObject* item(PyObject* tuple, Py_ssize_t i, Py_ssize_t size, const char* what) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != size) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple of %zd columns", what, size);
        throw py::Error{};
    }
    return PyTuple_GET_ITEM(tuple, i);
}

namespace {

// Stops the call with the pending exception once `interrupt` asks to.
void check(Interrupt& interrupt) {
    if (interrupt.poll_now()) py::unwrap(Outcome<int>(interrupted()));
}

}  // namespace

// (kind, branch, time, donor, recipient, family, gene, child1, child2),
// polling between columns (each can be hundreds of megabytes).
Records read_records(PyObject* o, Interrupt& interrupt) {
    Records r;
    auto column = [&](auto& out, Py_ssize_t i) {
        check(interrupt);
        using Out = std::remove_reference_t<decltype(out)>;
        out = packed_column<typename Out::value_type, Out>(item(o, i, 9, "records"));
    };
    column(r.kind, 0);
    column(r.branch, 1);
    column(r.time, 2);
    column(r.donor, 3);
    column(r.recipient, 4);
    column(r.family, 5);
    column(r.gene, 6);
    column(r.child1, 7);
    column(r.child2, 8);
    check(interrupt);
    const std::size_t n = r.kind.size();
    for (std::size_t size : {r.branch.size(), r.time.size(), r.donor.size(), r.recipient.size(), r.family.size(),
                             r.gene.size(), r.child1.size(), r.child2.size()}) {
        if (size != n) py::raise(PyExc_ValueError, "the record columns differ in length");
    }
    return r;
}

// (leaf nodes, leaf ordinal of each copy, gene of each copy, family of each
// copy), the copies grouped by leaf in the engine's order.
ExtantContent read_extant(PyObject* o, Interrupt& interrupt) {
    const auto nodes = packed_column<std::uint64_t>(item(o, 0, 4, "extant"));
    const auto leaf = packed_column<std::uint32_t>(item(o, 1, 4, "extant"));
    const auto gene = packed_column<std::uint64_t>(item(o, 2, 4, "extant"));
    const auto family = packed_column<std::uint64_t>(item(o, 3, 4, "extant"));
    if (gene.size() != leaf.size() || family.size() != leaf.size()) {
        py::raise(PyExc_ValueError, "the extant copy columns differ in length");
    }
    ExtantContent extant(nodes.size());
    for (std::size_t j = 0; j < nodes.size(); ++j) extant[j].node = nodes[j];
    for (std::size_t i = 0; i < leaf.size(); ++i) {
        if (interrupt.tick()) check(interrupt);
        if (leaf[i] >= extant.size()) py::raise(PyExc_ValueError, "an extant copy names a leaf that is not listed");
        extant[leaf[i]].copies.emplace_back(gene[i], family[i]);
    }
    return extant;
}

namespace {

// (n_nodes, parent, time, extant_leaf, root) of the run, checked as the
// simulation checked it.
SpeciesTree read_tree(PyObject* o) {
    SpeciesTree t;
    t.n_nodes = py::to_u64(item(o, 0, 5, "tree"));
    t.parent = py::to_vec_i64(item(o, 1, 5, "tree"));
    t.time = py::to_vec_f64(item(o, 2, 5, "tree"));
    t.extant_leaf = py::to_vec_bool(item(o, 3, 5, "tree"));
    t.root = py::to_u64(item(o, 4, 5, "tree"));
    bind::require_tree(t, Speciation::FirstTwo);
    return t;
}

// tree, records, extant, names, total_age: a run as the Python package
// holds it, the arguments the gene-tree functions start with.
struct GeneTreeArgs {
    SpeciesTree tree;
    Records records;
    ExtantContent extant;
    std::vector<std::string> names;
    double total_age = 0.0;
};

GeneTreeArgs read_gene_tree_args(py::Args& a, Interrupt& interrupt) {
    GeneTreeArgs run;
    run.tree = a.with(read_tree);
    run.records = a.with([&](PyObject* o) { return read_records(o, interrupt); });
    run.extant = a.with([&](PyObject* o) { return read_extant(o, interrupt); });
    run.names = a.vec_str();
    run.total_age = a.f64();
    return run;
}

void require_named_leaves(const ExtantContent& extant, std::size_t n_names) {
    for (const auto& leaf : extant) {
        if (leaf.node >= n_names) py::raise(PyExc_ValueError, "an extant leaf has no entry in names");
    }
}

py::Ref records_tuple(Records& r) {
    return py::tuple(column_bytes(r.kind), column_bytes(r.branch), column_bytes(r.time), column_bytes(r.donor),
                     column_bytes(r.recipient), column_bytes(r.family), column_bytes(r.gene), column_bytes(r.child1),
                     column_bytes(r.child2));
}

py::Ref extant_tuple(ExtantContent& extant) {
    std::size_t n_copies = 0;
    for (const auto& leaf : extant) n_copies += leaf.copies.size();
    std::vector<std::uint64_t> nodes, gene, family;
    std::vector<std::uint32_t> ordinal;
    nodes.reserve(extant.size());
    gene.reserve(n_copies);
    family.reserve(n_copies);
    ordinal.reserve(n_copies);
    for (std::size_t j = 0; j < extant.size(); ++j) {
        nodes.push_back(extant[j].node);
        for (const auto& [g, f] : extant[j].copies) {
            ordinal.push_back(static_cast<std::uint32_t>(j));
            gene.push_back(g);
            family.push_back(f);
        }
        std::vector<event_log::GeneCopy>().swap(extant[j].copies);
    }
    return py::tuple(column_bytes(nodes), column_bytes(ordinal), column_bytes(gene), column_bytes(family));
}

}  // namespace

PyObject* simulate_families(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kSimulateSignature, args, nargs, kwnames);
        SpeciesTree tree = bind::read_species_tree(a);
        const event_log::LogParams p = bind::read_family_params(a);
        bind::require_tree(tree, Speciation::FirstTwo);
        bind::require_family_rates(p);
        event_log::LogResult result = py::unwrap(
            event_log::run_log(tree, p, /*record_speciation=*/true, event_log::kLogMaxEvents, 0, py::interrupt()));
        py::Ref profile = py::coo_tuple(event_log::extant_profile(result.extant));
        py::Ref records = records_tuple(result.records);
        py::Ref extant = extant_tuple(result.extant);
        return py::tuple(std::move(records), std::move(extant), std::move(profile), py::new_int(result.events));
    });
}

PyObject* family_gene_trees(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kTreesSignature, args, nargs, kwnames);
        Interrupt interrupt = py::interrupt();
        const GeneTreeArgs run = read_gene_tree_args(a, interrupt);
        require_named_leaves(run.extant, run.names.size());
        front::FamilyTreeTexts texts =
            py::unwrap(front::family_tree_texts(run.records, run.extant, writer::SpeciesBranches(run.tree), run.names,
                                                run.total_age, writer::default_pool(), interrupt));
        return py::tuple(column_bytes(texts.families), string_bytes(texts.complete), column_bytes(texts.complete_start),
                         string_bytes(texts.extant), column_bytes(texts.extant_start));
    });
}

PyObject* write_families(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kWriteSignature, args, nargs, kwnames);
        Interrupt interrupt = py::interrupt();
        const GeneTreeArgs run = read_gene_tree_args(a, interrupt);
        const std::string outdir = a.str();
        bind::require_names(run.names, run.tree.n_nodes);
        // The same refusals as simulate_and_write, whose files these are.
        if (auto refused = writer::check_output_request(run.tree, run.names, run.total_age)) {
            py::raise_engine_error(*refused);
        }
        const writer::WriteCounts counts =
            py::unwrap(writer::write_output(run.records, run.extant, writer::SpeciesBranches(run.tree), run.names,
                                            run.total_age, outdir, writer::default_pool(), interrupt));
        return py::tuple(py::new_int(counts.families), py::new_int(counts.records), py::new_int(counts.extant_leaves));
    });
}

}  // namespace vornix::native
