// The four likelihood functions.
#include "bind/functions.h"
#include "py/args.h"
#include "py/guard.h"
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

recolite::GeneBatch read_gene_batch(py::Args& a) {
    recolite::GeneBatch g;
    g.offsets = a.vec_u64();
    g.is_leaf = a.vec_bool();
    g.left = a.vec_i64();
    g.right = a.vec_i64();
    g.species = a.vec_i64();
    return g;
}

recolite::Rates read_rates(py::Args& a) {
    recolite::Rates r;
    r.dup = a.f64();
    r.transfer = a.f64();
    r.loss = a.f64();
    return r;
}

py::Ref dated(const py::Signature& sig, bool joint, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args a(sig, args, nargs, kwnames);
    const std::uint64_t n_species = a.vec_i64().size();  // only sp_parent's length is used
    recolite::SpeciesArrays species;
    species.left = a.vec_i64();
    species.right = a.vec_i64();
    species.is_leaf = a.vec_bool();
    species.time = a.vec_f64();
    species.parent_time = a.vec_f64();
    species.root = a.u64();
    const recolite::GeneBatch genes = read_gene_batch(a);
    const recolite::Rates rates = read_rates(a);
    const std::uint64_t n_steps = a.u64();
    const std::uint8_t origination = a.u8();
    if (joint) {
        const std::uint64_t n_extinct = a.u64();
        return py::new_float(py::unwrap(recolite::dated_joint_loglik(n_species, std::move(species), genes, rates,
                                                                     n_steps, origination, n_extinct)));
    }
    return py::list_f64(
        py::unwrap(recolite::dated_family_loglik(n_species, std::move(species), genes, rates, n_steps, origination)));
}

py::Ref undated(const py::Signature& sig, bool joint, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args a(sig, args, nargs, kwnames);
    recolite::SpeciesArrays species;
    species.left = a.vec_i64();
    species.right = a.vec_i64();
    species.is_leaf = a.vec_bool();
    species.time = a.vec_f64();
    species.parent_time = a.vec_f64();
    species.root = a.u64();
    const recolite::GeneBatch genes = read_gene_batch(a);
    const recolite::Rates rates = read_rates(a);
    const std::uint8_t transfers = a.u8();
    const std::uint8_t origination = a.u8();
    if (joint) {
        const std::uint64_t n_extinct = a.u64();
        return py::new_float(py::unwrap(
            recolite::undated_joint_loglik(std::move(species), genes, rates, transfers, origination, n_extinct)));
    }
    return py::list_f64(
        py::unwrap(recolite::undated_family_loglik(std::move(species), genes, rates, transfers, origination)));
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
