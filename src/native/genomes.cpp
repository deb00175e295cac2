// Nucleotide-level genome simulation for the Python front end: every extant
// genome's segments as packed columns numpy views without copying.
#include "bind/nucleotide_args.h"
#include "native/columns.h"
#include "native/functions.h"
#include "py/guard.h"
#include "py/interrupt.h"

namespace vornix::native {

using namespace nucleotide;

namespace {

const py::Signature kGenomesSignature = bind::nucleotide_signature("simulate_genomes");

// (leaf nodes, segment offsets per leaf, unit, start, end, strand): leaf i
// holds segments offsets[i] .. offsets[i + 1] in reading order.
py::Ref genome_columns(NucleotideResult& result) {
    std::size_t n = 0;
    for (const NLeaf& leaf : result.leaves) n += leaf.segments.size();
    std::vector<std::uint32_t> nodes, unit;
    std::vector<std::uint64_t> offsets;
    std::vector<std::int64_t> start, end;
    std::vector<std::int8_t> strand;
    nodes.reserve(result.leaves.size());
    offsets.reserve(result.leaves.size() + 1);
    unit.reserve(n);
    start.reserve(n);
    end.reserve(n);
    strand.reserve(n);
    offsets.push_back(0);
    for (NLeaf& leaf : result.leaves) {
        nodes.push_back(leaf.node);
        for (const NSeg& s : leaf.segments) {
            unit.push_back(s.id);
            start.push_back(s.start);
            end.push_back(s.end);
            strand.push_back(s.strand);
        }
        offsets.push_back(unit.size());
        std::vector<NSeg>().swap(leaf.segments);
    }
    return py::tuple(column_bytes(nodes), column_bytes(offsets), column_bytes(unit), column_bytes(start),
                     column_bytes(end), column_bytes(strand));
}

}  // namespace

PyObject* simulate_genomes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kGenomesSignature, args, nargs, kwnames);
        const bind::NucleotideCall c = bind::read_nucleotide_call(a);
        NucleotideResult result = py::unwrap(run_nucleotide(c.tree, c.params, {}, py::interrupt()));
        const std::uint64_t events = result.events;
        return py::tuple(genome_columns(result), py::new_int(events));
    });
}

}  // namespace vornix::native
