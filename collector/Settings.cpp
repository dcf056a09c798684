#include "Settings.h"

#include <charconv>
#include <memory>

#include <openssl/ssl.h>

#include "Days.h"

namespace tallyvane::collector {
namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

template <typename Number>
std::optional<Number> number(std::string_view text, Number low, Number high) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

Settings parseSettings(std::string_view text, std::vector<std::string>& errors) {
    Settings s;
    int lineNumber = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (line.empty() || line.front() == '#') continue;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            errors.push_back(where + "not \"key = value\"");
            continue;
        }
        const auto key = trimmed(line.substr(0, equals));
        const auto value = trimmed(line.substr(equals + 1));
        if (key == "listen") {
            const auto colon = value.rfind(':');
            const auto port = colon == std::string_view::npos
                                  ? std::nullopt
                                  : number<int>(value.substr(colon + 1), 0, 65535);
            if (!port || colon == 0) {
                errors.push_back(where + "listen needs HOST:PORT");
                continue;
            }
            s.listenHost = value.substr(0, colon);
            s.listenPort = *port;
        } else if (key == "database") {
            if (value.empty()) errors.push_back(where + "database is empty");
            s.database = value;
        } else if (key == "certificate") {
            s.certificate = value;
        } else if (key == "key") {
            s.key = value;
        } else if (key == "max_body_bytes") {
            const auto limit = number<std::size_t>(value, 1, std::size_t{1} << 30);
            if (!limit) errors.push_back(where + "max_body_bytes needs 1 to 1073741824");
            s.maxBodyBytes = limit.value_or(s.maxBodyBytes);
        } else if (key == "customer_ids") {
            s.customerIds.clear();
            s.anyCustomerId = value == "*";
            for (auto rest = s.anyCustomerId ? std::string_view() : value; !rest.empty();) {
                const auto comma = rest.find(',');
                const auto id = trimmed(rest.substr(0, comma));
                if (!id.empty()) s.customerIds.emplace(id);
                rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
            }
        } else if (key == "time_zone") {
            s.timeZone = value;
        } else if (key == "page_token") {
            // A short token is a guessable one.
            if (value.size() < 16)
                errors.push_back(where + "page_token needs 16 characters or more");
            s.pageToken = value;
        } else {
            errors.push_back(where + "unknown key \"" + std::string(key) + "\"");
        }
    }
    if (s.certificate.empty() != s.key.empty()) {
        errors.push_back("certificate and key go together: both for HTTPS, neither for HTTP");
    }
    if (s.customerIds.empty() && !s.anyCustomerId) {
        errors.push_back("customer_ids is empty: every report would be refused");
    }
    return s;
}

void checkSettings(const Settings& s, std::vector<std::string>& errors) {
    if (!isKnownTimeZone(s.timeZone)) {
        errors.push_back("time_zone \"" + s.timeZone + "\" is not a zone of /usr/share/zoneinfo");
    }
    if (s.certificate.empty()) return;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_server_method()),
                                                              &SSL_CTX_free);
    if (!context || SSL_CTX_use_certificate_chain_file(context.get(), s.certificate.c_str()) != 1) {
        errors.push_back("certificate " + s.certificate + " does not load");
    } else if (SSL_CTX_use_PrivateKey_file(context.get(), s.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
               SSL_CTX_check_private_key(context.get()) != 1) {
        errors.push_back("key " + s.key + " does not load or does not match the certificate");
    }
}

}  // namespace tallyvane::collector
