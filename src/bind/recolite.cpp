// The four likelihood functions.
#include "bind/functions.h"
#include "py/args.h"
#include "py/guard.h"
#include "py/interrupt.h"
#include "py/result.h"
#include "recolite/recolite.h"

namespace vornix::bind {

namespace {

const py::Signature kDatedJoint{"dated_joint_loglik",
                                {"sp_parent", "sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time",
                                 "sp_root", "gt_offsets", "gt_is_leaf", "gt_left", "gt_right", "gt_species", "dup",
                                 "transfer", "loss", "n_steps", "origination", "n_extinct"}};
const py::Signature kDatedFamily{"dated_family_loglik",
                                 {kDatedJoint.params.begin(), kDatedJoint.params.end() - 1}};
const py::Signature kUndatedJoint{"undated_joint_loglik",
                                  {"sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root",
                                   "gt_offsets", "gt_is_leaf", "gt_left", "gt_right", "gt_species", "dup", "transfer",
                                   "loss", "transfers", "origination", "n_extinct"}};
const py::Signature kUndatedFamily{"undated_family_loglik",
                                   {kUndatedJoint.params.begin(), kUndatedJoint.params.end() - 1}};

// Every argument of a likelihood function, read left to right: the dated
// lists start with sp_parent (only its length is used) and carry n_steps;
// the undated lists carry transfers instead.
struct Call {
    std::uint64_t n_species = 0;
    recolite::SpeciesArrays species;
    recolite::GeneBatch genes;
    recolite::Rates rates;
    std::uint64_t n_steps = 0;
    std::uint8_t transfers = 0, origination = 0;
    std::uint64_t n_extinct = 0;
};

Call read_call(py::Args& a, bool dated, bool joint) {
    Call c;
    if (dated) c.n_species = a.vec_i64().size();
    c.species.left = a.vec_i64();
    c.species.right = a.vec_i64();
    c.species.is_leaf = a.vec_bool();
    c.species.time = a.vec_f64();
    c.species.parent_time = a.vec_f64();
    c.species.root = a.u64();
    c.genes.offsets = a.vec_u64();
    c.genes.is_leaf = a.vec_bool();
    c.genes.left = a.vec_i64();
    c.genes.right = a.vec_i64();
    c.genes.species = a.vec_i64();
    c.rates.dup = a.f64();
    c.rates.transfer = a.f64();
    c.rates.loss = a.f64();
    if (dated) {
        c.n_steps = a.u64();
    } else {
        c.transfers = a.u8();
    }
    c.origination = a.u8();
    if (joint) c.n_extinct = a.u64();
    return c;
}

py::Ref dated(const py::Signature& sig, bool joint, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args a(sig, args, nargs, kwnames);
    Call c = read_call(a, true, joint);
    if (joint) {
        return py::new_float(py::unwrap(recolite::dated_joint_loglik(c.n_species, std::move(c.species), c.genes, c.rates,
                                                                     c.n_steps, c.origination, c.n_extinct,
                                                                     py::interrupt())));
    }
    return py::list_f64(py::unwrap(recolite::dated_family_loglik(c.n_species, std::move(c.species), c.genes, c.rates,
                                                                 c.n_steps, c.origination, py::interrupt())));
}

py::Ref undated(const py::Signature& sig, bool joint, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args a(sig, args, nargs, kwnames);
    Call c = read_call(a, false, joint);
    if (joint) {
        return py::new_float(py::unwrap(recolite::undated_joint_loglik(std::move(c.species), c.genes, c.rates,
                                                                       c.transfers, c.origination, c.n_extinct,
                                                                       py::interrupt())));
    }
    return py::list_f64(py::unwrap(recolite::undated_family_loglik(std::move(c.species), c.genes, c.rates,
                                                                   c.transfers, c.origination, py::interrupt())));
}

}  // namespace

PyObject* dated_joint_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] { return dated(kDatedJoint, true, args, nargs, kwnames); });
}

PyObject* dated_family_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] { return dated(kDatedFamily, false, args, nargs, kwnames); });
}

PyObject* undated_joint_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] { return undated(kUndatedJoint, true, args, nargs, kwnames); });
}

PyObject* undated_family_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] { return undated(kUndatedFamily, false, args, nargs, kwnames); });
}

}  // namespace vornix::bind
