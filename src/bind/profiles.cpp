// simulate_profiles and simulate_profiles_parallel.
#include "bind/functions.h"
#include "bind/sim_args.h"
#include "engines/profile_run.h"
#include "py/guard.h"
#include "py/result.h"

namespace vornix::bind {

namespace {

const py::Signature kProfilesSignature{"simulate_profiles",
                                       {"n_nodes", "parent", "time", "extant_leaf", "root", "duplication", "transfer",
                                        "loss", "origination", "initial_size", "cap", "seed", "replacement",
                                        "distance_decay", "allow_self"}};

py::Signature parallel_signature() {
    py::Signature sig{"simulate_profiles_parallel", kProfilesSignature.params};
    sig.params.push_back("n_copies");
    sig.params.push_back("n_threads");
    return sig;
}
const py::Signature kParallelSignature = parallel_signature();

struct ProfileArgs {
    SpeciesTree tree;
    double duplication, transfer, loss, origination;
    std::uint64_t initial_size;
    std::int64_t cap;
    std::uint64_t seed;
    TransferMode mode;
};

ProfileArgs read_profile_args(py::Args& a) {
    ProfileArgs p;
    p.tree = read_species_tree(a);
    p.duplication = a.f64();
    p.transfer = a.f64();
    p.loss = a.f64();
    p.origination = a.f64();
    p.initial_size = a.u64();
    p.cap = a.i64();
    p.seed = a.u64();
    p.mode = read_transfer_mode(a);
    return p;
}

void validate(const ProfileArgs& p) {
    require_tree(p.tree, Speciation::AllChildren);
    require_rates({{"duplication", p.duplication}, {"transfer", p.transfer}, {"loss", p.loss},
                   {"origination", p.origination}});
}

profiles::ProfileParams engine_params(const ProfileArgs& p) {
    profiles::ProfileParams e;
    e.duplication = p.duplication;
    e.transfer = p.transfer;
    e.loss = p.loss;
    e.origination = p.origination;
    e.cap = p.cap;
    e.mode = p.mode;
    return e;
}

}  // namespace

PyObject* simulate_profiles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kProfilesSignature, args, nargs, kwnames);
        ProfileArgs p = read_profile_args(a);
        validate(p);
        return py::coo_tuple(py::unwrap(profiles::run_profiles(p.tree, engine_params(p), p.seed, p.initial_size)));
    });
}

PyObject* simulate_profiles_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kParallelSignature, args, nargs, kwnames);
        ProfileArgs p = read_profile_args(a);
        const std::uint64_t n_copies = a.u64();
        const std::uint64_t n_threads = a.u64();
        validate(p);
        return py::coo_tuple(py::unwrap(
            profiles::run_profiles_parallel(p.tree, engine_params(p), p.seed, p.initial_size, n_copies, n_threads)));
    });
}

}  // namespace vornix::bind
