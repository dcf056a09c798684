#include "report/UsageReport.h"

#include <cstdint>
#include <limits>

#include "calendar/Calendar.h"
#include "usage/UsageRecord.h"
#include "usage/UsageRules.h"

namespace tallyvane::report {
namespace {

constexpr std::int64_t kDay = 86400;

struct Attribute {
    const char* name;
    std::string_view value;
};

void appendElement(std::string& out, std::string_view element,
                   std::initializer_list<Attribute> attributes) {
    out += '<';
    out += element;
    for (const Attribute& a : attributes) {
        out += ' ';
        out += a.name;
        out += "=\"";
        out += a.value;
        out += '"';
    }
    out += " />\n";
}

void appendAgentParam(std::string& out, std::string_view name, std::string_view value) {
    appendElement(out, "AgentParams",
                  {{"AGENT_PARAM_ID", "1"}, {"PARAM_NAME", name}, {"PARAM_VALUE", value}});
}

std::string textOf(const plist::Text* s) {
    return s ? s->str() : std::string();
}

}  // namespace

AccountValues readAccountValues(const AgentSettings& settings) {
    AccountValues v;
    v.localComputerName = settings.get(Setting::localComputerName);
    v.encodedLocalNameSpace = settings.get(Setting::encodedLocalNameSpace);
    return v;
}

AgentValues readAgentValues(const AgentSettings& settings) {
    AgentValues v;
    v.localComputerName = settings.get(Setting::localComputerName);
    v.currentLocalNamespace = settings.get(Setting::currentLocalNamespace);
    v.vornCustomerID = settings.get(Setting::vornCustomerID);
    v.vornCustomerName = settings.get(Setting::vornCustomerName);
    v.vornMSPName = settings.get(Setting::vornMSPName);
    v.vornAgentResourceID = settings.get(Setting::vornAgentResourceID);
    v.fqdnName = settings.get(Setting::fqdnName);
    v.serialNumber = settings.get(Setting::serialNumber);
    v.vornRemoteOffID = settings.get(Setting::vornRemoteOffID);
    return v;
}

std::string reportHead(const AccountValues& account) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Summary>\n";
    appendElement(out, "WMIData",
                  {{"USER_SID", "S-1-5-18"},
                   {"TYPE", "1"},
                   {"USER_ID", "0"},
                   {"USER_NAME", account.localComputerName.value_or("")},
                   {"DOMAIN_NAME", account.encodedLocalNameSpace.value_or("")},
                   {"IS_LOCAL_ACCOUNT", "false"}});
    return out;
}

void appendUsageRows(std::string& document, const plist::Dict& launchData, LogSink& log,
                     LogSink& printed) {
    for (const auto& [id, value] : launchData) {
        const plist::Dict* fields = plist::asDict(value);
        if (fields == nullptr) continue;
        const UsageRecordView record(*fields);
        const plist::Text* appDefinitionId = record.appDefinitionId();
        if (appDefinitionId == nullptr) continue;

        const std::int64_t lastUsed = record.lastUsed().value_or(0);
        const std::int64_t runCount = record.totalRunCount().value_or(0);
        const double runTime = record.exactReal(key::kTotalRunTime).value_or(0);
        const std::string fileVersion = textOf(record.string(key::kFileVersion));
        const std::string productName = textOf(record.string(key::kProductName));
        const std::string productVersion = textOf(record.string(key::kProductVersion));
        const std::int64_t runningDays = record.runningNoOfDays().value_or(0);

        if (lastUsed == 0 || runCount == 0) {
            log.write(" Total Run count is  zero , So " + productName + " is not yet opened");
            continue;
        }
        const auto wholeRunTime = calendar::wholeSeconds(runTime);
        if (!wholeRunTime) {
            // The row needs a whole number of seconds; a run time without one is not reported.
            log.write("generateAndPostXML: " + productName + " is left out: TOTAL_RUN_TIME " +
                      usage::shortestDecimal(runTime) + " has no whole-second value");
            continue;
        }
        const std::string opened =
            " Total Run count is not zero , So " + productName + " is already opened";
        log.write(opened);
        auto appendRow = [&](std::int64_t used, std::string_view count, std::string_view time) {
            const std::string usedText = std::to_string(used);
            appendElement(document, "InvAppDefinitionUsage",
                          {{"APP_DEFINITION_ID", *appDefinitionId},
                           {"USER_SID", "S-1-5-18"},
                           {"LAST_USED", usedText},
                           {"TOTAL_RUN_COUNT", count},
                           {"TOTAL_RUN_TIME", time},
                           {"FILE_VERSION", fileVersion},
                           {"PRODUCT_NAME", productName},
                           {"PRODUCT_VERSION", productVersion}});
        };
        appendRow(lastUsed, std::to_string(runCount), std::to_string(*wholeRunTime));

        for (std::int64_t k = 2; k <= runningDays; ++k) {
            if (k - 1 > kMostExtraDays) {
                log.write("generateAndPostXML: extra-day rows of " + productName + " stop after " +
                          std::to_string(kMostExtraDays) + " days");
                break;
            }
            std::int64_t t = 0;
            if (__builtin_add_overflow(lastUsed, kDay * (k - 1), &t)) {
                log.write("generateAndPostXML: extra-day rows of " + productName + " stop at day " +
                          std::to_string(k) +
                          ": LAST_USED + 86400 * (k - 1) leaves the 64-bit range");
                break;
            }
            log.write(opened);
            printed.write("updatedLastUsedTime " + std::to_string(k) + ": " +
                          calendar::utcText(static_cast<double>(t)));
            appendRow(t, "1", "86400");
        }
    }
}

std::string reportTail(const AgentValues& agent) {
    std::string out;
    appendAgentParam(out, "COMPUTER_NAME", agent.localComputerName.value_or(""));
    appendAgentParam(out, "DOMAIN_NETBIOS_NAME", agent.currentLocalNamespace.value_or(""));
    appendAgentParam(out, "RESOURCE_ID", agent.vornAgentResourceID.value_or("0"));
    appendAgentParam(out, "MSP_NAME", agent.vornMSPName.value_or(""));
    appendAgentParam(out, "CUSTOMER_NAME", agent.vornCustomerName.value_or(""));
    appendAgentParam(out, "CUSTOMER_ID", agent.vornCustomerID.value_or(""));
    appendAgentParam(out, "FQDN_NAME", agent.fqdnName.value_or(""));
    appendAgentParam(out, "OS_PLATFORM", "2");
    appendAgentParam(out, "UNIQUE_VALUE", agent.serialNumber.value_or("--"));
    out += "</Summary>";
    return out;
}

std::string usageReport(const AccountValues& account, const plist::Dict& launchData,
                        const AgentValues& agent, LogSink& log, LogSink& printed) {
    std::string document = reportHead(account);
    appendUsageRows(document, launchData, log, printed);
    document += reportTail(agent);
    return document;
}

std::string requestPath(const AgentValues& agent,
                        const std::optional<std::string>& encodedLocalNameSpace) {
    return "/invswmetering?computer=" + agent.localComputerName.value_or("") +
           "&domain=" + encodedLocalNameSpace.value_or("") +
           "&customerId=" + agent.vornCustomerID.value_or("") +
           "&resourceid=" + agent.vornAgentResourceID.value_or("0") +
           "&remoffId=" + agent.vornRemoteOffID.value_or("") + "&actionToCall=1";
}

}  // namespace tallyvane::report
