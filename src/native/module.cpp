// vornix._native: the private extension module of the vornix package. It
// gives the Python front end native helpers (gene trees built in memory,
// fast Newick reading) over the same engine code as vornix_core.
#include "native/functions.h"

namespace {

PyMethodDef kFunctions[] = {
    {"version", vornix::native::version, METH_NOARGS, "version()\n--\n\nThe native layer's interface version."},
    {"check_species_tree", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vornix::native::check_species_tree)),
     METH_FASTCALL | METH_KEYWORDS,
     "check_species_tree(n_nodes, parent, time, extant_leaf, root)\n--\n\nNone when the simulators can take the tree, else why not."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "vornix._native", nullptr, 0, kFunctions, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kModule); }
