#include "engines/event_log/engine_body.h"

namespace vornix::event_log {

template class BasicLogEngine<CompactLogGenome>;

}  // namespace vornix::event_log
