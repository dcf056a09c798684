#include "Report.h"

#include <array>
#include <charconv>

namespace tallyvane::collector {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the document left to right: fixed text is expected literally, a value runs up to the
// text that must follow it.
class Cursor {
  public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool expect(std::string_view literal) {
        if (text_.substr(at_, literal.size()) != literal) return false;
        at_ += literal.size();
        return true;
    }
    // The text up to the first occurrence of delimiter, which is consumed too.
    std::optional<std::string_view> until(std::string_view delimiter) {
        const auto end = text_.find(delimiter, at_);
        if (end == std::string_view::npos) return std::nullopt;
        const auto value = text_.substr(at_, end - at_);
        at_ = end + delimiter.size();
        return value;
    }
    // The value of an element's last attribute: it ends at the first " />\n" that one of the
    // followers comes after, so a value may itself hold " />\n". The follower is not consumed.
    std::optional<std::string_view> lastValue(std::initializer_list<std::string_view> followers) {
        constexpr std::string_view close = "\" />\n";
        for (auto end = text_.find(close, at_); end != std::string_view::npos;
             end = text_.find(close, end + 1)) {
            const auto rest = text_.substr(end + close.size());
            for (const auto follower : followers) {
                if (rest.starts_with(follower)) {
                    const auto value = text_.substr(at_, end - at_);
                    at_ = end + close.size();
                    return value;
                }
            }
        }
        return std::nullopt;
    }
    // Everything left but suffix, which must end the text; all of it is consumed.
    std::optional<std::string_view> restBefore(std::string_view suffix) {
        const auto rest = text_.substr(at_);
        if (!rest.ends_with(suffix)) return std::nullopt;
        at_ = text_.size();
        return rest.substr(0, rest.size() - suffix.size());
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
};

std::optional<std::int64_t> decimal(std::optional<std::string_view> text) {
    if (!text || text->empty() || text->front() == '+') return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return value;
}

constexpr std::string_view kRowStart = "<InvAppDefinitionUsage APP_DEFINITION_ID=\"";
constexpr std::string_view kParamStart = "<AgentParams AGENT_PARAM_ID=\"1\" PARAM_NAME=\"";

std::optional<UsageRow> readRow(Cursor& in) {
    UsageRow row;
    const auto id = in.until("\" USER_SID=\"S-1-5-18\" LAST_USED=\"");
    const auto lastUsed = decimal(in.until("\" TOTAL_RUN_COUNT=\""));
    const auto count = decimal(in.until("\" TOTAL_RUN_TIME=\""));
    const auto time = decimal(in.until("\" FILE_VERSION=\""));
    const auto fileVersion = in.until("\" PRODUCT_NAME=\"");
    const auto productName = in.until("\" PRODUCT_VERSION=\"");
    const auto productVersion = in.lastValue({kRowStart, kParamStart});
    if (!id || !lastUsed || !count || !time || !fileVersion || !productName || !productVersion) {
        return std::nullopt;
    }
    return UsageRow{std::string(*id),
                    *lastUsed,
                    *count,
                    *time,
                    std::string(*fileVersion),
                    std::string(*productName),
                    std::string(*productVersion)};
}

// Well-formed UTF-8 without NUL: what the agent sends, and what every database can hold as text.
bool isUtf8Text(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        int extra = 0;
        std::uint32_t code = 0;
        if (c == 0) return false;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, code = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= text.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

}  // namespace

std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<ReportQuery> parseReportTarget(std::string_view target) {
    constexpr std::string_view kPrefix = "/invswmetering?computer=";
    constexpr std::array<std::string_view, 5> kKeys = {
        "&domain=", "&customerId=", "&resourceid=", "&remoffId=", "&actionToCall="};
    if (!target.starts_with(kPrefix)) return std::nullopt;
    std::array<std::string, 6> values;
    std::size_t at = kPrefix.size();
    for (std::size_t k = 0; k < kKeys.size(); ++k) {
        const auto end = target.find(kKeys[k], at);
        if (end == std::string_view::npos) return std::nullopt;
        values[k] = percentDecoded(target.substr(at, end - at));
        at = end + kKeys[k].size();
    }
    values[5] = percentDecoded(target.substr(at));
    // The agent always asks for action 1, the usage report.
    if (values[5] != "1") return std::nullopt;
    for (const auto& value : values) {
        if (!isUtf8Text(value)) return std::nullopt;
    }
    return ReportQuery{values[0], values[1], values[2], values[3], values[4], values[5]};
}

std::optional<ReportBody> parseReportBody(std::string_view body) {
    if (!isUtf8Text(body)) return std::nullopt;
    Cursor in(body);
    ReportBody report;
    if (!in.expect("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Summary>\n") ||
        !in.expect("<WMIData USER_SID=\"S-1-5-18\" TYPE=\"1\" USER_ID=\"0\" USER_NAME=\"")) {
        return std::nullopt;
    }
    const auto userName = in.until("\" DOMAIN_NAME=\"");
    const auto domainName = in.until("\" IS_LOCAL_ACCOUNT=\"false\" />\n");
    if (!userName || !domainName) return std::nullopt;
    report.userName = *userName;
    report.domainName = *domainName;

    while (in.expect(kRowStart)) {
        auto row = readRow(in);
        if (!row) return std::nullopt;
        report.rows.push_back(std::move(*row));
    }

    const std::array<std::pair<std::string_view, std::string*>, 9> params = {{
        {"COMPUTER_NAME", &report.computerName},
        {"DOMAIN_NETBIOS_NAME", &report.netbiosName},
        {"RESOURCE_ID", &report.resourceId},
        {"MSP_NAME", &report.mspName},
        {"CUSTOMER_NAME", &report.customerName},
        {"CUSTOMER_ID", &report.customerId},
        {"FQDN_NAME", &report.fqdn},
        {"OS_PLATFORM", &report.osPlatform},
        {"UNIQUE_VALUE", &report.uniqueValue},
    }};
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!in.expect(kParamStart) || !in.expect(params[i].first) ||
            !in.expect("\" PARAM_VALUE=\"")) {
            return std::nullopt;
        }
        // The last parameter's value ends where only its close and the root's end tag are left.
        const auto value = i + 1 < params.size() ? in.lastValue({kParamStart})
                                                 : in.restBefore("\" />\n</Summary>");
        if (!value) return std::nullopt;
        *params[i].second = *value;
    }
    return report;
}

}  // namespace tallyvane::collector
