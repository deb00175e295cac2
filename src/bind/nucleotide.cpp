// simulate_nucleotide.
#include <algorithm>

#include "bind/functions.h"
#include "bind/nucleotide_args.h"
#include "py/guard.h"
#include "py/interrupt.h"
#include "py/result.h"

namespace vornix::bind {

using namespace nucleotide;

namespace {

const py::Signature kNucleotideSignature = nucleotide_signature("simulate_nucleotide");

// [(leaf node, [(id, start, end, strand), ...]), ...]. Unit ids repeat across
// segments and leaves, so they share int objects.
py::Ref leaves_list(const NucleotideResult& result) {
    py::IntPool ids(std::min<std::size_t>(result.next_id, std::size_t{1} << 16));
    return py::list_of(result.leaves.size(), [&](std::size_t i) {
        const NLeaf& leaf = result.leaves[i];
        py::Ref segments = py::list_of(leaf.segments.size(), [&](std::size_t k) {
            const NSeg& s = leaf.segments[k];
            return py::number_tuple(ids.get(std::uint64_t{s.id}), py::new_int(s.start), py::new_int(s.end),
                                    py::new_int(std::int64_t{s.strand}));
        });
        return py::tuple(py::new_int(std::uint64_t{leaf.node}), std::move(segments));
    });
}

}  // namespace

PyObject* simulate_nucleotide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kNucleotideSignature, args, nargs, kwnames);
        const NucleotideCall c = read_nucleotide_call(a);
        const NucleotideResult result = py::unwrap(run_nucleotide(c.tree, c.params, {}, py::interrupt()));
        return leaves_list(result);
    });
}

}  // namespace vornix::bind
