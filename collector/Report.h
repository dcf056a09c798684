#pragma once
// The agent's usage report as it arrives: the request's query and its XML body, read by their
// fixed layout (the agent inserts values without escaping them).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvane::collector {

// The values of the request query, each percent-decoded once.
struct ReportQuery {
    std::string computer;
    std::string domain;
    std::string customerId;
    std::string resourceId;
    std::string remoffId;
    std::string actionToCall;
    bool operator==(const ReportQuery&) const = default;
};

// One InvAppDefinitionUsage element.
struct UsageRow {
    std::string appDefinitionId;
    std::int64_t lastUsed = 0;
    std::int64_t runCount = 0;
    std::int64_t runTime = 0;
    std::string fileVersion;
    std::string productName;
    std::string productVersion;
    bool operator==(const UsageRow&) const = default;
};

struct ReportBody {
    std::string userName;    // WMIData USER_NAME
    std::string domainName;  // WMIData DOMAIN_NAME
    std::vector<UsageRow> rows;
    // The AgentParams values, in the order the agent writes them.
    std::string computerName, netbiosName, resourceId, mspName, customerName, customerId, fqdn,
        osPlatform, uniqueValue;
    bool operator==(const ReportBody&) const = default;
};

// Each "%XX" (two hex digits) becomes its byte; everything else, a lone '%' and '+' included,
// stays as it is.
std::string percentDecoded(std::string_view text);

// The request target "/invswmetering?computer=...&actionToCall=1", split at the keys in their
// fixed order (the first occurrence of each after the one before); nothing when it has another
// shape.
std::optional<ReportQuery> parseReportTarget(std::string_view target);

// The report document; nothing when it is not in the agent's layout.
std::optional<ReportBody> parseReportBody(std::string_view body);

}  // namespace tallyvane::collector
