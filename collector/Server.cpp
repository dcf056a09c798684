#include "Server.h"

#include <httplib.h>

#include <iostream>
#include <mutex>

namespace tallyvane::collector {
namespace {

void logLine(const std::string& line) {
    // One write per line, so lines of concurrent requests do not interleave.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cerr << line << std::endl;
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
    server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
        std::string reason = res.body;
        if (!reason.empty() && reason.back() == '\n') reason.pop_back();
        // Answers the HTTP layer gives by itself carry no reason of ours.
        if (reason.empty()) {
            reason = res.status == 413   ? "body over max_body_bytes"
                     : res.status == 404 ? "no such path or method"
                                         : "refused by the HTTP layer";
        }
        logLine("collector: " + req.method + " " + printable(req.path) + " from " +
                req.remote_addr + " -> " + std::to_string(res.status) + ": " + printable(reason));
    });
    return server;
}

}  // namespace tallyvane::collector
