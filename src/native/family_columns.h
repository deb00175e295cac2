// The packed columns the Python package hands back for a run's records and
// extant copies, read into the engine's structures.
#pragma once

#include "engines/event_log/records.h"
#include "model/interrupt.h"
#include "py/ref.h"

namespace vornix::native {

// Item i of a tuple of `size` columns; TypeError naming `what` otherwise.
PyObject* item(PyObject* tuple, Py_ssize_t i, Py_ssize_t size, const char* what);

// (kind, branch, time, donor, recipient, family, gene, child1, child2); the
// call stops with the pending exception once `interrupt` asks to.
event_log::Records read_records(PyObject* o, Interrupt& interrupt);

// (leaf nodes, leaf ordinal of each copy, gene of each copy, family of each
// copy), the copies grouped by leaf in the engine's order.
event_log::ExtantContent read_extant(PyObject* o, Interrupt& interrupt);

}  // namespace vornix::native
