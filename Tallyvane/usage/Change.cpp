#include "usage/Change.h"

#include "usage/UsageRules.h"

namespace tallyvane::usage {
namespace {

struct Applier {
    UsageRecord& record;

    bool operator()(const Change::Launch& launch) const {
        if (launch.stamped) stampLaunch(record, *launch.stamped);
        countLaunch(record, launch.name, launch.version, launch.counted);
        return true;
    }
    bool operator()(const Change::Termination& end) const {
        terminate(record, end.ended, end.lastUsed);
        return true;
    }
    bool operator()(const Change::Carry& carry) const {
        const auto launch = record.launchTime();
        if (launch) carryIntoToday(record, *launch, carry.now);
        return launch.has_value();
    }
    bool operator()(const Change::Settle& settle) const {
        auto result = usage::settle(record, settle.now, settle.fresh);
        if (result.outcome != Settlement::Outcome::Settled) return false;
        record = std::move(result.settled);
        return true;
    }
    bool operator()(const Change::Reset& reset) const {
        if (reset.reported)
            removeReported(record, UsageRecordView(*reset.reported));
        else
            record.clearUsage();
        return true;
    }
};

}  // namespace

bool Change::apply(UsageRecord& record) const {
    return std::visit(Applier{record}, what);
}

}  // namespace tallyvane::usage
