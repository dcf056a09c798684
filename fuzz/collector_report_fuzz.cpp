// The collector's readers of what agents send: a document they accept, written back in the
// agent's layout, gives the same bytes (every value is kept as written); days fold without fault.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Days.h"
#include "Report.h"

namespace {

using namespace tallyvane::collector;

std::string element(std::string_view name,
                    std::initializer_list<std::pair<std::string_view, std::string_view>> values) {
    std::string out = "<" + std::string(name);
    for (const auto& [attribute, value] : values) {
        out += " " + std::string(attribute) + "=\"" + std::string(value) + "\"";
    }
    return out + " />\n";
}

std::string written(const ReportBody& b) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Summary>\n";
    out += element("WMIData", {{"USER_SID", "S-1-5-18"},
                               {"TYPE", "1"},
                               {"USER_ID", "0"},
                               {"USER_NAME", b.userName},
                               {"DOMAIN_NAME", b.domainName},
                               {"IS_LOCAL_ACCOUNT", "false"}});
    for (const UsageRow& r : b.rows) {
        out += element("InvAppDefinitionUsage", {{"APP_DEFINITION_ID", r.appDefinitionId},
                                                 {"USER_SID", "S-1-5-18"},
                                                 {"LAST_USED", std::to_string(r.lastUsed)},
                                                 {"TOTAL_RUN_COUNT", std::to_string(r.runCount)},
                                                 {"TOTAL_RUN_TIME", std::to_string(r.runTime)},
                                                 {"FILE_VERSION", r.fileVersion},
                                                 {"PRODUCT_NAME", r.productName},
                                                 {"PRODUCT_VERSION", r.productVersion}});
    }
    const std::pair<std::string_view, const std::string*> params[] = {
        {"COMPUTER_NAME", &b.computerName},
        {"DOMAIN_NETBIOS_NAME", &b.netbiosName},
        {"RESOURCE_ID", &b.resourceId},
        {"MSP_NAME", &b.mspName},
        {"CUSTOMER_NAME", &b.customerName},
        {"CUSTOMER_ID", &b.customerId},
        {"FQDN_NAME", &b.fqdn},
        {"OS_PLATFORM", &b.osPlatform},
        {"UNIQUE_VALUE", &b.uniqueValue}};
    for (const auto& [name, value] : params) {
        out += element("AgentParams",
                       {{"AGENT_PARAM_ID", "1"}, {"PARAM_NAME", name}, {"PARAM_VALUE", *value}});
    }
    return out + "</Summary>";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool zone = useTimeZone("UTC");
    (void)zone;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)parseReportTarget(bytes);
    if (const auto body = parseReportBody(bytes)) {
        // Only numbers may come back otherwise written ("007", "-0"); the values read the same.
        if (parseReportBody(written(*body)) != body) std::abort();
        (void)foldDays(body->rows);
    }
    return 0;
}
