#include "report/ReportUpload.h"

#include <cstdint>
#include <exception>
#include <vector>

#include "lvornutils/HttpHandlermac.h"
#include "lvornutils/Log.h"
#include "report/UsageReport.h"
#include "usage/UsageRules.h"

namespace tallyvane::report {
namespace {

// Whether bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        int extra = 0;
        unsigned min = 0;
        unsigned cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

std::string build(store::MeteringFiles& files, const AgentSettings& settings,
                  const std::string& launchDataPath, const std::string& postDataPath,
                  const std::string& resetPath, const Clock& clock) {
    const AccountValues account = readAccountValues(settings);
    std::string document = reportHead(account);
    auto root = files.read(launchDataPath);
    const plist::Dict* launchData = root ? plist::asDict(*root) : nullptr;
    if (launchData == nullptr) {
        VornLog("generateAndPostXML: Failed to read plist file from URL.");
        return "nil";
    }
    appendUsageRows(document, *launchData);
    const AgentValues agent = readAgentValues(settings);
    document += reportTail(agent);

    // Record texts come from property lists and are UTF-8 already; settings could hold any bytes.
    const std::vector<std::uint8_t> body(document.begin(), document.end());
    if (isUtf8(document))
        VornLog("generateAndPostXML: Full XML String: " + document);
    else
        VornLog("generateAndPostXML: Failed to convert Data back to String.");

    const std::string path = requestPath(agent, settings.get(Setting::encodedLocalNameSpace));
    VornLog("generateAndPostXML: addAgentParams: URL to send: " + path);
    const int result = HttpHandlermac::initWithGlobals().VornSendData(path, body);
    if (result == 0) {
        VornLog("generateAndPostXML: Software Metering data sent successfully");
        files.updateAddedTime(postDataPath, usage::secondsOf(clock.now()));
        files.resetSoftwareMeteringRules(resetPath);
    } else {
        VornLog("generateAndPostXML: Software Metering data not 404 sent successfully");
    }
    return document;
}

}  // namespace

std::string buildAndPostReport(store::MeteringFiles& files, const AgentSettings& settings,
                               const std::string& launchDataPath, const std::string& postDataPath,
                               const std::string& resetPath, const Clock& clock) {
    try {
        return build(files, settings, launchDataPath, postDataPath, resetPath, clock);
    } catch (const std::exception& e) {
        // Out of memory or a library fault: the report run ends without sending or clearing.
        VornLog(std::string("generateAndPostXML: report abandoned: ") + e.what());
        return "nil";
    }
}

}  // namespace tallyvane::report
