// vornix._native: the private extension module of the vornix package. It
// gives the Python front end native helpers (gene trees built in memory,
// fast Newick reading) over the same engine code as vornix_core.
#include "native/functions.h"

namespace {

PyMethodDef kFunctions[] = {
    {"version", vornix::native::version, METH_NOARGS, "version()\n--\n\nThe native layer's interface version."},
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
