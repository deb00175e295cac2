// The four likelihood functions.
#include "bind/functions.h"
#include "bind/sim_args.h"
#include "py/guard.h"

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

struct GeneBatch {
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint8_t> is_leaf;
    std::vector<std::int64_t> left, right, species;
};

GeneBatch read_gene_batch(py::Args& a) {
    GeneBatch g;
    g.offsets = a.vec_u64();
    g.is_leaf = a.vec_bool();
    g.left = a.vec_i64();
    g.right = a.vec_i64();
    g.species = a.vec_i64();
    return g;
}

py::Ref dated(const py::Signature& sig, bool joint, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args a(sig, args, nargs, kwnames);
    const auto sp_parent = a.vec_i64();
    const auto sp_left = a.vec_i64();
    const auto sp_right = a.vec_i64();
    const auto sp_is_leaf = a.vec_bool();
    const auto sp_time = a.vec_f64();
    const auto sp_parent_time = a.vec_f64();
    const std::uint64_t sp_root = a.u64();
    const GeneBatch genes = read_gene_batch(a);
    const double dup = a.f64(), transfer = a.f64(), loss = a.f64();
    const std::uint64_t n_steps = a.u64();
    const std::uint8_t origination = a.u8();
    const std::uint64_t n_extinct = joint ? a.u64() : 0;
    (void)sp_parent, (void)sp_left, (void)sp_right, (void)sp_is_leaf, (void)sp_time, (void)sp_parent_time;
    (void)sp_root, (void)genes, (void)dup, (void)transfer, (void)loss, (void)n_steps, (void)origination;
    (void)n_extinct;
    not_built(sig.name);
}

py::Ref undated(const py::Signature& sig, bool joint, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args a(sig, args, nargs, kwnames);
    const auto sp_left = a.vec_i64();
    const auto sp_right = a.vec_i64();
    const auto sp_is_leaf = a.vec_bool();
    const auto sp_time = a.vec_f64();
    const auto sp_parent_time = a.vec_f64();
    const std::uint64_t sp_root = a.u64();
    const GeneBatch genes = read_gene_batch(a);
    const double dup = a.f64(), transfer = a.f64(), loss = a.f64();
    const std::uint8_t transfers = a.u8();
    const std::uint8_t origination = a.u8();
    const std::uint64_t n_extinct = joint ? a.u64() : 0;
    (void)sp_left, (void)sp_right, (void)sp_is_leaf, (void)sp_time, (void)sp_parent_time, (void)sp_root;
    (void)genes, (void)dup, (void)transfer, (void)loss, (void)transfers, (void)origination, (void)n_extinct;
    not_built(sig.name);
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
