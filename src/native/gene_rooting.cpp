// Gene-tree layout conversion and rootings for the scoring front end.
#include "front/gene_rooting.h"
#include "native/functions.h"
#include "py/args.h"
#include "py/guard.h"
#include "py/interrupt.h"
#include "py/result.h"

namespace vornix::native {

namespace {

const py::Signature kCheck{"gene_forest_check", {"offsets", "parent", "species"}};
const py::Signature kRootings{"gene_rootings",
                              {"offsets", "parent", "species", "trees", "first", "last", "with_origin"}};
const py::Signature kRerooted{"gene_rerooted", {"offsets", "parent", "species", "trees", "edges"}};

struct ForestArgs {
    std::vector<std::int64_t> offsets, parent, species;
    front::GeneForest view() const { return {offsets, parent, species}; }
};

ForestArgs read_forest(py::Args& a) {
    ForestArgs f;
    f.offsets = a.vec_i64();
    f.parent = a.vec_i64();
    f.species = a.vec_i64();
    return f;
}

const char* kind_name(front::ForestFault::Kind k) {
    switch (k) {
        case front::ForestFault::Kind::Offsets: return "offsets";
        case front::ForestFault::Kind::Parent: return "parent";
        case front::ForestFault::Kind::Unary: return "unary";
        case front::ForestFault::Kind::Polytomy: return "polytomy";
    }
    return "unknown";
}

}  // namespace

PyObject* gene_forest_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kCheck, args, nargs, kwnames);
        const ForestArgs f = read_forest(a);
        const auto fault = front::check_forest(f.view());
        if (!fault) return py::Ref::borrow(Py_None);
        return py::tuple(py::Ref::steal(PyUnicode_FromString(kind_name(fault->kind))), py::new_int(fault->tree),
                         py::new_int(fault->node), py::new_int(fault->children));
    });
}

PyObject* gene_rootings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kRootings, args, nargs, kwnames);
        const ForestArgs f = read_forest(a);
        const std::vector<std::uint64_t> trees = a.vec_u64();
        const std::vector<std::uint64_t> first = a.vec_u64();
        const std::vector<std::uint64_t> last = a.vec_u64();
        const bool with_origin = a.boolean();
        if (first.size() != trees.size() || last.size() != trees.size()) {
            py::raise(PyExc_ValueError, "trees, first and last need the same length");
        }
        std::vector<front::RootingRange> ranges(trees.size());
        for (std::size_t i = 0; i < trees.size(); ++i) ranges[i] = {trees[i], first[i], last[i]};
        Interrupt interrupt = py::interrupt();
        front::CoreBatch b = py::unwrap(front::rootings(f.view(), ranges, with_origin, interrupt));
        py::Ref origin = with_origin ? py::packed_le<std::int64_t>(b.origin) : py::Ref::borrow(Py_None);
        return py::tuple(py::packed_le<std::uint64_t>(b.offsets), py::packed_le<std::uint8_t>(b.is_leaf),
                         py::packed_le<std::int64_t>(b.left), py::packed_le<std::int64_t>(b.right),
                         py::packed_le<std::int64_t>(b.species), std::move(origin));
    });
}

PyObject* gene_rerooted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kRerooted, args, nargs, kwnames);
        const ForestArgs f = read_forest(a);
        const std::vector<std::uint64_t> trees = a.vec_u64();
        const std::vector<std::uint64_t> edges = a.vec_u64();
        Interrupt interrupt = py::interrupt();
        front::PreorderBatch b = py::unwrap(front::rerooted(f.view(), trees, edges, interrupt));
        return py::tuple(py::packed_le<std::int64_t>(b.offsets), py::packed_le<std::int64_t>(b.parent),
                         py::packed_le<std::int64_t>(b.origin));
    });
}

}  // namespace vornix::native
