// simulate_profiles and simulate_profiles_parallel.
#include "bind/functions.h"
#include "bind/sim_args.h"
#include "engines/profiles/run.h"
#include "py/guard.h"
#include "py/interrupt.h"
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
    FamilyParams family;
};

ProfileArgs read_profile_args(py::Args& a) {
    ProfileArgs p;
    p.tree = read_species_tree(a);
    p.family = read_family_params(a);
    return p;
}

void validate(const ProfileArgs& p) {
    require_tree(p.tree, Speciation::AllChildren);
    require_family_rates(p.family);
}

profiles::ProfileParams engine_params(const ProfileArgs& p) {
    profiles::ProfileParams e;
    e.duplication = p.family.duplication;
    e.transfer = p.family.transfer;
    e.loss = p.family.loss;
    e.origination = p.family.origination;
    e.cap = p.family.cap;
    e.mode = p.family.mode;
    return e;
}

}  // namespace

PyObject* simulate_profiles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kProfilesSignature, args, nargs, kwnames);
        ProfileArgs p = read_profile_args(a);
        validate(p);
        const FamilyParams& f = p.family;
        return py::coo_tuple(
            py::unwrap(profiles::run_profiles(p.tree, engine_params(p), f.seed, f.initial_size, py::interrupt())));
    });
}

PyObject* simulate_profiles_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kParallelSignature, args, nargs, kwnames);
        ProfileArgs p = read_profile_args(a);
        const std::uint64_t n_copies = a.u64();
        const std::uint64_t n_threads = a.u64();
        validate(p);
        const FamilyParams& f = p.family;
        return py::coo_tuple(py::unwrap(profiles::run_profiles_parallel(p.tree, engine_params(p), f.seed,
                                                                        f.initial_size, n_copies, n_threads, {},
                                                                        py::interrupt())));
    });
}

}  // namespace vornix::bind
