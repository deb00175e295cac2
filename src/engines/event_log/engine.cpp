#include "engines/event_log/engine.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "model/rates.h"

namespace vornix::event_log {

Outcome<LogResult> run_log(const SpeciesTree& tree, const LogParams& params, bool record_speciation,
                           std::uint64_t max_events, std::uint64_t memory_budget, Interrupt interrupt) {
    Outcome<TreeWalk> walk = prepare_tree(tree, Speciation::FirstTwo);
    if (!walk.ok()) return walk.error();
    for (const auto& [name, value] : {std::pair{"duplication", params.duplication}, std::pair{"transfer", params.transfer},
                                      std::pair{"loss", params.loss}, std::pair{"origination", params.origination}}) {
        if (auto msg = check_rate(name, value); !msg.empty()) return value_error(msg);
    }
    if (auto msg = check_rate_sum(params); !msg.empty()) return value_error(msg);
    try {
        // Under a cap or replacement the families of the copy list are
        // small ids of the branch's family index; otherwise (gene id and
        // family read together by most events, no index kept) the list is
        // one array of pairs. Both give the same run.
        if (family_counts_matter(params.cap, params.mode)) {
            BasicLogEngine<CompactLogGenome> engine(tree, walk.value().children, params, record_speciation, max_events,
                                                    memory_budget, interrupt);
            return engine.run(walk.value().order);
        }
        LogEngine engine(tree, walk.value().children, params, record_speciation, max_events, memory_budget,
                         interrupt);
        return engine.run(walk.value().order);
    } catch (const std::bad_alloc&) {
        return EngineError{ErrorKind::Memory, "out of memory in the event-log engine"};
    } catch (const std::length_error&) {
        return EngineError{ErrorKind::Memory, "out of memory in the event-log engine"};
    }
}

}  // namespace vornix::event_log
