#pragma once
// The usage report: an XML document built as text, one element per line, values inserted as
// they stand (no escaping), and the request path it is sent to.
#include <optional>
#include <string>

#include "plist/Value.h"
#include "settings/AgentLibrary.h"
#include "settings/AgentSettings.h"

namespace tallyvane::report {

// The reporting account, read from the agent globals before the rows are built.
struct AccountValues {
    std::optional<std::string> localComputerName;
    std::optional<std::string> encodedLocalNameSpace;
};

// The agent's identity, read from the agent globals after the rows are built.
struct AgentValues {
    std::optional<std::string> localComputerName;
    std::optional<std::string> currentLocalNamespace;
    std::optional<std::string> vornCustomerID;
    std::optional<std::string> vornCustomerName;
    std::optional<std::string> vornMSPName;
    std::optional<std::string> vornAgentResourceID;
    std::optional<std::string> fqdnName;
    std::optional<std::string> serialNumber;
    std::optional<std::string> vornRemoteOffID;
};

// From the agent's settings, in the order the values are needed.
AccountValues readAccountValues(const AgentSettings& settings);
AgentValues readAgentValues(const AgentSettings& settings);

// The declaration, "<Summary>" and the WMIData line.
std::string reportHead(const AccountValues& account);
// Appends one InvAppDefinitionUsage line per reported day of each record of the launch-data
// dictionary, logging each record's outcome and printing the extra days to standard output.
// A record whose TOTAL_RUN_TIME has no 64-bit whole-second value is left out with a log line;
// extra-day rows stop, with a log line, where LAST_USED + 86400 * (k - 1) leaves the 64-bit range
// or after kMostExtraDays rows.
void appendUsageRows(std::string& document, const plist::Dict& launchData,
                     LogSink& log = agentLibraryLog(), LogSink& printed = agentLibraryPrinter());
// The nine AgentParams lines and "</Summary>" (no line feed after it).
std::string reportTail(const AgentValues& agent);

// Guards against a hostile RUNNING_NO_OF_DAYS: about 270 years of whole days per record.
inline constexpr std::int64_t kMostExtraDays = 100000;

// The whole document: head, rows, tail.
std::string usageReport(const AccountValues& account, const plist::Dict& launchData,
                        const AgentValues& agent, LogSink& log = agentLibraryLog(),
                        LogSink& printed = agentLibraryPrinter());

// "/invswmetering?computer=...&domain=...&customerId=...&resourceid=...&remoffId=...
// &actionToCall=1", values unescaped, resource id "0" when absent.
std::string requestPath(const AgentValues& agent,
                        const std::optional<std::string>& encodedLocalNameSpace);

}  // namespace tallyvane::report
