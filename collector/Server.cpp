#include "Server.h"

#include <httplib.h>

#include <iostream>
#include <mutex>

#include "Page.h"

namespace tallyvane::collector {
namespace {

void logLine(const std::string& line) {
    // One write per line, so lines of concurrent requests do not interleave.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cerr << line << std::endl;
}

// Compares in time independent of where the texts differ, so the token cannot be guessed by timing.
bool sameToken(const std::string& given, const std::string& token) {
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size() && i < token.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ token[i]);
    }
    return difference == 0;
}

// What a page needs: the window's first day and its length, the request, and the store.
struct PageRequest {
    const httplib::Request& http;
    std::string fromDay;
    int window = 30;
};
using Render = std::function<std::optional<std::string>(Store&, const PageRequest&)>;

// The pages: each asks the store for what it shows and renders it, or answers why not.
void addPages(httplib::Server& server, const Settings& settings, Store& store) {
    const auto page = [&server, &settings, &store](const char* path, const char* type,
                                                   Render render) {
        server.Get(path, [&settings, &store, type, render](const httplib::Request& req,
                                                           httplib::Response& res) {
            if (!sameToken(req.get_param_value("token"), settings.pageToken)) {
                res.status = 403;
                res.set_content("a valid token is needed\n", "text/plain; charset=utf-8");
                return;
            }
            const std::string asked = req.get_param_value("days");
            const int window = asked == "60" ? 60 : asked == "90" ? 90 : 30;
            const auto now = static_cast<std::int64_t>(std::time(nullptr));
            const PageRequest page{req, localDay(now - (window - 1) * 86400).value_or(""), window};
            try {
                const auto body = render(store, page);
                if (!body) {
                    res.status = 503;
                    res.set_content(
                        "cannot read the database: " + printable(store.lastError()) + "\n",
                        "text/plain; charset=utf-8");
                    return;
                }
                res.set_content(*body, type);
            } catch (const std::exception& e) {
                res.status = 500;
                res.set_content(std::string("internal error: ") + e.what() + "\n", "text/plain");
            }
        });
    };
    // Each reads only the days it shows: one app definition's or one computer's.
    const auto ofApp = [](Store& s, const PageRequest& p) {
        return s.days(DayFilter{p.http.get_param_value("id"), {}});
    };
    const auto ofComputer = [](Store& s, const PageRequest& p) {
        return s.days(DayFilter{{}, p.http.get_param_value("name")});
    };
    const char* html = "text/html; charset=utf-8";
    const char* csv = "text/csv; charset=utf-8";
    const std::string& token = settings.pageToken;
    page("/", html, [&token](Store& s, const PageRequest& p) -> std::optional<std::string> {
        const auto apps = s.summary(p.fromDay);
        if (!apps) return std::nullopt;
        return overviewPage(*apps, p.window, token);
    });
    page("/app", html,
         [&token, ofApp](Store& s, const PageRequest& p) -> std::optional<std::string> {
             const auto days = ofApp(s, p);
             if (!days) return std::nullopt;
             return appPage(*days, p.http.get_param_value("id"), p.fromDay, p.window, token);
         });
    page("/computer", html,
         [&token, ofComputer](Store& s, const PageRequest& p) -> std::optional<std::string> {
             const auto days = ofComputer(s, p);
             if (!days) return std::nullopt;
             return computerPage(*days, p.http.get_param_value("name"), token);
         });
    page("/apps.csv", csv, [](Store& s, const PageRequest& p) -> std::optional<std::string> {
        const auto apps = s.summary(p.fromDay);
        if (!apps) return std::nullopt;
        return overviewCsv(*apps);
    });
    page("/app.csv", csv, [ofApp](Store& s, const PageRequest& p) -> std::optional<std::string> {
        const auto days = ofApp(s, p);
        if (!days) return std::nullopt;
        return appCsv(computersOf(*days, p.http.get_param_value("id"), p.fromDay));
    });
    page("/computer.csv", csv,
         [ofComputer](Store& s, const PageRequest& p) -> std::optional<std::string> {
             const auto days = ofComputer(s, p);
             if (!days) return std::nullopt;
             return computerCsv(*days, p.http.get_param_value("name"));
         });
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out(text.substr(0, 200));
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return out;
}

Answer acceptReport(Store& store, const Settings& settings, const std::string& target,
                    const std::string& body, std::int64_t now) {
    if (body.size() > settings.maxBodyBytes) return {413, "body over max_body_bytes"};
    const auto query = parseReportTarget(target);
    if (!query) return {400, "the query is not a usage report's"};
    if (!settings.anyCustomerId && !settings.customerIds.contains(query->customerId)) {
        return {403, "customer id \"" + printable(query->customerId) + "\" is not allowed"};
    }
    const auto report = parseReportBody(body);
    if (!report) return {400, "the body is not a usage report"};
    Received received{target, body, *query, foldDays(report->rows), now};
    const std::string from = "computer \"" + printable(query->computer) + "\"";
    switch (store.add(received)) {
        case AddResult::stored:
            return {200, "stored the report of " + from + ", " +
                             std::to_string(report->rows.size()) + " rows"};
        case AddResult::duplicate:
            return {200, "the report of " + from + " was stored before"};
        case AddResult::failed:
            break;
    }
    return {503, "cannot store the report of " + from + ": " + printable(store.lastError())};
}

std::unique_ptr<httplib::Server> makeServer(const Settings& settings, Store& store,
                                            std::string& error) {
    std::unique_ptr<httplib::Server> server;
    if (settings.certificate.empty()) {
        server = std::make_unique<httplib::Server>();
    } else {
        auto secure = std::make_unique<httplib::SSLServer>(settings.certificate.c_str(),
                                                           settings.key.c_str());
        if (!secure->is_valid()) {
            error = "the certificate or key does not load";
            return nullptr;
        }
        server = std::move(secure);
    }
    // One byte more than allowed still reaches the handler, which then names the limit.
    server->set_payload_max_length(settings.maxBodyBytes + 1);
    // The answer's head and body go out in separate writes: without this, Nagle's algorithm
    // holds the body until the client's delayed acknowledgement, up to 40 ms per request.
    server->set_tcp_nodelay(true);
    server->Post("/invswmetering",
                 [&store, &settings](const httplib::Request& req, httplib::Response& res) {
                     Answer answer;
                     try {
                         answer = acceptReport(store, settings, req.target, req.body,
                                               static_cast<std::int64_t>(std::time(nullptr)));
                     } catch (const std::exception& e) {
                         answer = {500, std::string("internal error: ") + e.what()};
                     }
                     res.status = answer.status;
                     res.set_content(answer.reason + "\n", "text/plain; charset=utf-8");
                 });
    if (!settings.pageToken.empty()) addPages(*server, settings, store);
    server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
        // A page's body is not a reason; a report's answer is.
        std::string reason = req.method == "POST" || res.status >= 400
                                 ? res.body
                                 : "served " + std::to_string(res.body.size()) + " bytes";
        if (!reason.empty() && reason.back() == '\n') reason.pop_back();
        // Answers the HTTP layer gives by itself carry no reason of ours.
        if (reason.empty()) {
            reason = res.status == 413   ? "body over max_body_bytes"
                     : res.status == 404 ? "no such path or method"
                                         : "refused by the HTTP layer";
        }
        // The path only: the query of a page holds the token.
        logLine("collector: " + req.method + " " + printable(req.path) + " from " +
                req.remote_addr + " -> " + std::to_string(res.status) + ": " + printable(reason));
    });
    return server;
}

}  // namespace tallyvane::collector
