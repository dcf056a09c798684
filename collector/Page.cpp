#include "Page.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

namespace tallyvane::collector {
namespace {

std::string urlEncoded(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string utcTime(std::int64_t t) {
    const std::time_t when = static_cast<std::time_t>(t);
    std::tm tm{};
    char text[40] = "";
    if (gmtime_r(&when, &tm) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}

std::string hours(std::int64_t seconds) {
    return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
}

std::string head(const std::string& title) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + htmlEscaped(title) +
           "</title><style>body{font-family:sans-serif}table{border-collapse:collapse}"
           "td,th{border:1px solid #ccc;padding:2px 6px}</style></head><body>\n<h1>" +
           htmlEscaped(title) + "</h1>\n";
}

std::string windowLinks(const std::string& page, const std::string& token) {
    std::string out = "<p>Window:";
    for (const int n : {30, 60, 90}) {
        out += " <a href=\"" + page + (page.find('?') == std::string::npos ? "?" : "&amp;") +
               "days=" + std::to_string(n) + "&amp;token=" + urlEncoded(token) + "\">" +
               std::to_string(n) + " days</a>";
    }
    return out + "</p>\n";
}

// Launches by day over the window, one bar a day, drawn by the server.
std::string chart(const std::map<std::string, std::int64_t>& launchesByDay) {
    std::int64_t most = 1;
    for (const auto& [day, launches] : launchesByDay) most = std::max(most, launches);
    const int width = 8, height = 100;
    std::string out = "<svg id=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      std::to_string(std::max<std::size_t>(1, launchesByDay.size()) * width) +
                      "\" height=\"" + std::to_string(height) + "\">";
    int x = 0;
    for (const auto& [day, launches] : launchesByDay) {
        const auto bar = static_cast<int>(launches * height / most);
        out += "<rect data-day=\"" + htmlEscaped(day) + "\" data-launches=\"" +
               std::to_string(launches) + "\" x=\"" + std::to_string(x) + "\" y=\"" +
               std::to_string(height - bar) + "\" width=\"" + std::to_string(width - 1) +
               "\" height=\"" + std::to_string(bar) + "\" fill=\"#36c\"><title>" +
               htmlEscaped(day) + ": " + std::to_string(launches) + "</title></rect>";
        x += width;
    }
    return out + "</svg>\n";
}

}  // namespace

std::string htmlEscaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string csvField(std::string_view text) {
    std::string out = "\"";
    if (!text.empty() && std::string_view("=+-@").find(text.front()) != std::string_view::npos) {
        out += '\'';
    }
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::vector<ComputerUse> computersOf(const std::vector<StoredDay>& days,
                                     const std::string& appDefinitionId,
                                     const std::string& fromDay) {
    std::map<std::string, ComputerUse> byComputer;
    for (const StoredDay& d : days) {
        if (d.use.appDefinitionId != appDefinitionId) continue;
        ComputerUse& c = byComputer[d.computer];
        c.computer = d.computer;
        c.lastUsed = std::max(c.lastUsed, d.use.lastUsed);
        if (d.use.day >= fromDay) {
            c.usedInWindow = true;
            c.launches += d.use.launches;
            c.runTime += d.use.runTime;
        }
    }
    std::vector<ComputerUse> out;
    for (auto& [name, use] : byComputer) out.push_back(std::move(use));
    std::stable_sort(out.begin(), out.end(), [](const ComputerUse& a, const ComputerUse& b) {
        return a.usedInWindow > b.usedInWindow;
    });
    return out;
}

std::string overviewPage(const std::vector<AppSummary>& apps, int windowDays,
                         const std::string& token) {
    std::string out = head("Software use, last " + std::to_string(windowDays) + " days");
    out += windowLinks("/", token);
    out += "<p><a href=\"/apps.csv?days=" + std::to_string(windowDays) +
           "&amp;token=" + urlEncoded(token) + "\">CSV</a></p>\n";
    out +=
        "<table id=\"apps\"><tr><th>App definition</th><th>Product</th><th>Computers using"
        "</th><th>Reclaim candidates</th><th>Launches</th><th>Run time</th><th>Last use</th>"
        "</tr>\n";
    for (const AppSummary& a : apps) {
        out += "<tr><td><a href=\"/app?id=" + urlEncoded(a.appDefinitionId) +
               "&amp;days=" + std::to_string(windowDays) + "&amp;token=" + urlEncoded(token) +
               "\">" + htmlEscaped(a.appDefinitionId) + "</a></td><td>" +
               htmlEscaped(a.productName) + "</td><td>" + std::to_string(a.computersUsing) +
               "</td><td>" + std::to_string(a.reclaimCandidates) + "</td><td>" +
               std::to_string(a.launches) + "</td><td>" + hours(a.runTime) + "</td><td>" +
               utcTime(a.lastUsed) + "</td></tr>\n";
    }
    return out + "</table>\n</body></html>\n";
}

std::string appPage(const std::vector<StoredDay>& days, const std::string& appDefinitionId,
                    const std::string& fromDay, int windowDays, const std::string& token) {
    std::string out = head("App definition " + appDefinitionId + ", last " +
                           std::to_string(windowDays) + " days");
    out += windowLinks("/app?id=" + urlEncoded(appDefinitionId), token);
    std::map<std::string, std::int64_t> launchesByDay;
    for (const StoredDay& d : days) {
        if (d.use.appDefinitionId == appDefinitionId && d.use.day >= fromDay) {
            launchesByDay[d.use.day] += d.use.launches;
        }
    }
    out += "<h2>Launches by day</h2>\n" + chart(launchesByDay);
    out += "<p><a href=\"/app.csv?id=" + urlEncoded(appDefinitionId) +
           "&amp;days=" + std::to_string(windowDays) + "&amp;token=" + urlEncoded(token) +
           "\">CSV</a></p>\n";
    const auto computers = computersOf(days, appDefinitionId, fromDay);
    for (const bool used : {true, false}) {
        out += used ? "<h2>Used</h2>\n<table id=\"used\">"
                    : "<h2>Reclaim candidates: reported, not used</h2>\n<table id=\"reclaim\">";
        out += "<tr><th>Computer</th><th>Launches</th><th>Run time</th><th>Last use</th></tr>\n";
        for (const ComputerUse& c : computers) {
            if (c.usedInWindow != used) continue;

            out += "<tr><td><a href=\"/computer?name=" + urlEncoded(c.computer) +
                   "&amp;token=" + urlEncoded(token) + "\">" + htmlEscaped(c.computer) +
                   "</a></td><td>" + std::to_string(c.launches) + "</td><td>" + hours(c.runTime) +
                   "</td><td>" + utcTime(c.lastUsed) + "</td></tr>\n";
        }
        out += "</table>\n";
    }
    return out + "</body></html>\n";
}

std::string computerPage(const std::vector<StoredDay>& days, const std::string& computer,
                         const std::string& token) {
    std::string out = head("Computer " + computer);
    out += "<p><a href=\"/computer.csv?name=" + urlEncoded(computer) +
           "&amp;token=" + urlEncoded(token) + "\">CSV</a></p>\n";
    out +=
        "<table id=\"days\"><tr><th>Day</th><th>App definition</th><th>Product</th>"
        "<th>Version</th><th>Launches</th><th>Run time</th><th>Last use</th></tr>\n";
    for (const StoredDay& d : days) {
        if (d.computer != computer) continue;
        out += "<tr><td>" + htmlEscaped(d.use.day) + "</td><td>" +
               htmlEscaped(d.use.appDefinitionId) + "</td><td>" + htmlEscaped(d.use.productName) +
               "</td><td>" + htmlEscaped(d.use.productVersion) + "</td><td>" +
               std::to_string(d.use.launches) + "</td><td>" + hours(d.use.runTime) + "</td><td>" +
               utcTime(d.use.lastUsed) + "</td></tr>\n";
    }
    return out + "</table>\n</body></html>\n";
}

std::string overviewCsv(const std::vector<AppSummary>& apps) {
    std::string out =
        "app_definition_id,product_name,computers_using,reclaim_candidates,"
        "launches,run_time_seconds,last_used\n";
    for (const AppSummary& a : apps) {
        out += csvField(a.appDefinitionId) + "," + csvField(a.productName) + "," +
               std::to_string(a.computersUsing) + "," + std::to_string(a.reclaimCandidates) + "," +
               std::to_string(a.launches) + "," + std::to_string(a.runTime) + "," +
               std::to_string(a.lastUsed) + "\n";
    }
    return out;
}

std::string appCsv(const std::vector<ComputerUse>& computers) {
    std::string out = "computer,used_in_window,launches,run_time_seconds,last_used\n";
    for (const ComputerUse& c : computers) {
        out += csvField(c.computer) + "," + (c.usedInWindow ? "yes" : "no") + "," +
               std::to_string(c.launches) + "," + std::to_string(c.runTime) + "," +
               std::to_string(c.lastUsed) + "\n";
    }
    return out;
}

std::string computerCsv(const std::vector<StoredDay>& days, const std::string& computer) {
    std::string out =
        "day,app_definition_id,product_name,file_version,product_version,launches,"
        "run_time_seconds,last_used\n";
    for (const StoredDay& d : days) {
        if (d.computer != computer) continue;
        out += d.use.day + "," + csvField(d.use.appDefinitionId) + "," +
               csvField(d.use.productName) + "," + csvField(d.use.fileVersion) + "," +
               csvField(d.use.productVersion) + "," + std::to_string(d.use.launches) + "," +
               std::to_string(d.use.runTime) + "," + std::to_string(d.use.lastUsed) + "\n";
    }
    return out;
}

}  // namespace tallyvane::collector
