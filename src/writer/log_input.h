// What the writer reads from the event-log engine: its records, the extant
// content at the end of a run, and the event codes.
#pragma once

#include "engines/event_log/records.h"

namespace vornix::writer {

using event_log::ExtantContent;
using event_log::Records;
using event_log::kDuplication;
using event_log::kLoss;
using event_log::kOrigination;
using event_log::kSpeciation;
using event_log::kTransfer;

}  // namespace vornix::writer
