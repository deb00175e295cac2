// simulate_log and simulate_trace.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "bind/functions.h"
#include "bind/sim_args.h"
#include "engines/event_log/trace_profile.h"
#include "engines/event_log/run.h"
#include "py/guard.h"
#include "py/interrupt.h"
#include "py/result.h"

namespace vornix::bind {

using namespace event_log;

namespace {

const py::Signature kLogSignature{"simulate_log",
                                  {"n_nodes", "parent", "time", "extant_leaf", "root", "duplication", "transfer",
                                   "loss", "origination", "initial_size", "cap", "seed", "replacement",
                                   "distance_decay", "allow_self"}};
const py::Signature kTraceSignature{"simulate_trace", kLogSignature.params};

template <class C>
void release(C& column) {
    C().swap(column);
}

// A list of ints, repeated small values sharing one object from `pool`. The
// column's memory is released once it is converted.
template <class C>
py::Ref int_column(C& column, py::IntPool& pool) {
    using T = typename C::value_type;
    using Wide = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
    py::Ref list = py::list_of(column.size(), [&](std::size_t i) { return pool.get(static_cast<Wide>(column[i])); });
    release(column);
    return list;
}

// A list of floats; a run of equal times (every copy of one speciation) shares
// one float object.
py::Ref time_column(Column<double>& column) {
    py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(column.size())));
    PyObject* previous = nullptr;
    for (std::size_t i = 0; i < column.size(); ++i) {
        if (previous == nullptr || std::memcmp(&column[i], &column[i - 1], sizeof(double)) != 0) {
            previous = py::new_float(column[i]).release();
        } else {
            Py_INCREF(previous);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), previous);
    }
    release(column);
    return list;
}

// Node numbers, family numbers and -1 share objects.
std::size_t pool_limit(const Records& r, std::uint64_t n_nodes) {
    std::uint64_t families = 0;
    if (!r.family.empty()) families = *std::max_element(r.family.begin(), r.family.end()) + 1;
    return static_cast<std::size_t>(std::max(families, n_nodes) + 1);
}

// The nine columns as (kind bytes, branch, time, donor, recipient, family,
// gene, child1, child2).
py::Ref records_tuple(Records& r, py::IntPool& pool) {
    py::Ref kind = py::new_bytes(r.kind.data(), r.kind.size());
    release(r.kind);
    py::Ref branch = int_column(r.branch, pool);
    py::Ref time = time_column(r.time);
    py::Ref donor = int_column(r.donor, pool);
    py::Ref recipient = int_column(r.recipient, pool);
    py::Ref family = int_column(r.family, pool);
    py::Ref gene = int_column(r.gene, pool);
    py::Ref child1 = int_column(r.child1, pool);
    py::Ref child2 = int_column(r.child2, pool);
    return py::tuple(std::move(kind), std::move(branch), std::move(time), std::move(donor), std::move(recipient),
                     std::move(family), std::move(gene), std::move(child1), std::move(child2));
}

// [(leaf, [(gene, family), ...]), ...]
py::Ref extant_list(const ExtantContent& extant, py::IntPool& pool) {
    return py::list_of(extant.size(), [&](std::size_t j) {
        const ExtantLeaf& leaf = extant[j];
        py::Ref copies = py::list_of(leaf.copies.size(), [&](std::size_t i) {
            return py::number_tuple(pool.get(leaf.copies[i].first), pool.get(leaf.copies[i].second));
        });
        return py::tuple(pool.get(leaf.node), std::move(copies));
    });
}

py::Ref run(const py::Signature& sig, bool record_speciation, PyObject* const* args, Py_ssize_t nargs,
            PyObject* kwnames) {
    py::Args a(sig, args, nargs, kwnames);
    SpeciesTree tree = read_species_tree(a);
    const LogParams p = read_family_params(a);
    require_tree(tree, Speciation::FirstTwo);
    require_family_rates(p);

    LogResult result = py::unwrap(run_log(tree, p, record_speciation, kLogMaxEvents, 0, py::interrupt()));
    py::IntPool pool(pool_limit(result.records, tree.n_nodes));
    // The extant copies first: while their many small objects are made, the
    // record lists (millions of items) are not there yet for the collections
    // those allocations trigger to walk.
    py::Ref extant = record_speciation ? extant_list(result.extant, pool) : py::coo_tuple(extant_profile(result.extant));
    py::Ref records = records_tuple(result.records, pool);
    return py::tuple(std::move(records), std::move(extant));
}

}  // namespace

PyObject* simulate_log(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] { return run(kLogSignature, true, args, nargs, kwnames); });
}

PyObject* simulate_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] { return run(kTraceSignature, false, args, nargs, kwnames); });
}

}  // namespace vornix::bind
