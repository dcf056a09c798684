#pragma once
// The licence manager's pages: who used each app definition in the last N days, who reported it
// without use (reclaim candidates), a computer's days; as HTML with an SVG chart, or as CSV.
#include <cstdint>
#include <string>
#include <vector>

#include "Store.h"

namespace tallyvane::collector {

// One computer's use of one app definition over the window; lastUsed is its last use ever.
struct ComputerUse {
    std::string computer;
    bool usedInWindow = false;
    std::int64_t launches = 0, runTime = 0, lastUsed = 0;
    bool operator==(const ComputerUse&) const = default;
};

// fromDay (YYYY-MM-DD) is the window's first day; days as the store gives them.
// The computers that reported appDefinitionId, those that used it in the window first.
std::vector<ComputerUse> computersOf(const std::vector<StoredDay>& days,
                                     const std::string& appDefinitionId,
                                     const std::string& fromDay);

// The pages; token goes into every link. A table's CSV holds the same rows.
std::string overviewPage(const std::vector<AppSummary>& apps, int windowDays,
                         const std::string& token);
std::string appPage(const std::vector<StoredDay>& days, const std::string& appDefinitionId,
                    const std::string& fromDay, int windowDays, const std::string& token);
std::string computerPage(const std::vector<StoredDay>& days, const std::string& computer,
                         const std::string& token);
std::string overviewCsv(const std::vector<AppSummary>& apps);
std::string appCsv(const std::vector<ComputerUse>& computers);
std::string computerCsv(const std::vector<StoredDay>& days, const std::string& computer);

std::string htmlEscaped(std::string_view text);
// A CSV field: quoted, quotes doubled, and a leading = + - @ defused for spreadsheets.
std::string csvField(std::string_view text);

}  // namespace tallyvane::collector
