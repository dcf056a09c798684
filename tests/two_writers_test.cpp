// Monitor mode and report mode writing the same launch-data file at once: a report every second
// while real applications start and end. Every write must make its change on the record the file
// held just before it, and every figure must be either reported once or still in the file.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "support/AgentInstallation.h"
#include "support/AppBundle.h"
#include "support/MgmtServer.h"
#include "support/TimeZone.h"

namespace tallyvane::test {
namespace {

using namespace std::chrono_literals;
using plist::Dict;

const std::vector<std::string> kApps = {"Alpha", "Beta", "Gamma"};
std::string idOf(const std::string& app) {
    return std::to_string(301 + (std::find(kApps.begin(), kApps.end(), app) - kApps.begin()));
}

// One line of the shared log: which process wrote it, and what.
struct Line {
    int pid;
    std::string message;
};

std::vector<Line> logLines(const std::string& agent) {
    std::vector<Line> lines;
    for (const auto& text : linesOf(slurp(agent + "/logs/AppMonitor.log"))) {
        const auto mark = text.find("] ");
        if (text.size() >= 34 && text.compare(24, 10, "tallyvane[") == 0 && mark != text.npos)
            lines.push_back({std::stoi(text.substr(34)), text.substr(mark + 2)});
    }
    return lines;
}

// The usage figures of a record; absent keys stay empty.
struct Figures {
    std::optional<double> count, time, launch, lastUsed;
    bool operator==(const Figures&) const = default;
};

// The figures of a record as a write's log line describes it.
Figures figuresIn(const std::string& described) {
    const auto number = [&](const char* key) -> std::optional<double> {
        std::smatch m;
        if (!std::regex_search(described, m,
                               std::regex(std::string("\"") + key + "\": (-?[0-9.e+]+)")))
            return std::nullopt;
        return std::stod(m[1]);
    };
    return {number("TOTAL_RUN_COUNT"), number("TOTAL_RUN_TIME"), number("LAUNCH_TIME"),
            number("LAST_USED")};
}

// What a successful report leaves of a record: the reported figures go; what grew since the
// report read the record keeps its growth; a changed moment stays.
Figures afterReset(const Figures& now, const Figures& read) {
    auto figure = [](std::optional<double> n, std::optional<double> r) -> std::optional<double> {
        if (!r || !n) return n;
        if (*n == *r) return std::nullopt;
        return *n > *r ? std::optional(*n - *r) : n;
    };
    auto moment = [](std::optional<double> n, std::optional<double> r) {
        return r && n == r ? std::nullopt : n;
    };
    return {figure(now.count, read.count), figure(now.time, read.time),
            moment(now.launch, read.launch), moment(now.lastUsed, read.lastUsed)};
}

// The rows of posted documents: app definition id to count and run time.
std::map<std::string, Figures> rowsOf(const std::string& document) {
    std::map<std::string, Figures> rows;
    const std::regex row(
        "APP_DEFINITION_ID=\"([0-9]+)\"[^>]*TOTAL_RUN_COUNT=\"(-?[0-9]+)\" "
        "TOTAL_RUN_TIME=\"(-?[0-9.]+)\"");
    for (std::sregex_iterator it(document.begin(), document.end(), row), end; it != end; ++it)
        rows[(*it)[1]] = Figures{std::stod((*it)[2]), std::stod((*it)[3]), {}, {}};
    return rows;
}

TEST(TwoWriters, ReportsDuringLaunchesAndTerminationsNeitherLoseNorRepeatFigures) {
    MgmtServer server;
    AgentInstallation agent(Dict{{"ServerURL", server.url()}});
    ScratchDir apps;
    Dict records;
    std::map<std::string, std::string> executables;
    for (const auto& app : kApps) {
        records[idOf(app)] = Dict{{"FileName", app + ".app"}, {"AppDefinitionId", idOf(app)}};
        executables[app] = makeBundle(apps.path(), app);
    }
    const std::string launchData = agent.meteringPath("AppLaunchData.plist");
    writePlist(launchData, records);

    auto monitor = agent.start({"startMonitoring"});
    ASSERT_TRUE(eventually([&] { return agent.logHas("Inside checkAlreadyRunningApps"); }));
    ASSERT_TRUE(observing(agent, apps.path()));
    const int monitorPid = monitor->pid();

    // Three launchers start and end the applications, starts of one app overlapping.
    const auto until = std::chrono::steady_clock::now() + 60s;
    std::atomic<int> launches = 0;
    std::vector<std::thread> launchers;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        launchers.emplace_back([&, seed] {
            std::mt19937 random(seed);
            std::uniform_int_distribution<int> pick(0, 2), life(30, 1500), pause(0, 300);
            while (std::chrono::steady_clock::now() < until) {
                ChildProcess app({executables[kApps[pick(random)]], "600"}, {});
                ++launches;
                std::this_thread::sleep_for(std::chrono::milliseconds(life(random)));
                app.signal(SIGKILL);
                (void)app.waitExit();
                std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            }
        });
    }
    int reports = 0;
    while (std::chrono::steady_clock::now() < until) {
        const auto next = std::chrono::steady_clock::now() + 1s;
        EXPECT_EQ(agent.start({"postxmldata"})->waitExit(), 1);
        ++reports;
        std::this_thread::sleep_until(next);
    }
    for (auto& launcher : launchers) launcher.join();

    // Every termination handled and every reset taken up before the books are compared.
    const auto countOf = [&](const std::string& prefix) {
        return std::ranges::count_if(logLines(agent.path()), [&](const Line& line) {
            return line.pid == monitorPid && line.message.starts_with(prefix);
        });
    };
    EXPECT_TRUE(eventually(
        [&] {
            // Starts that overlap a run of the same application are that run, not launches.
            std::size_t closed = 0, launched = 0;
            for (const auto& app : kApps) {
                closed += countOf("appDidTerminate: " + app + " closed");
                launched += countOf("App launched: " + app);
            }
            return launched > 0 && launched <= static_cast<std::size_t>(launches) &&
                   closed == launched && countOf("AppMonitor: resetPlist() called") == reports;
        },
        30s));
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(server.waitForRequests(reports));
    const auto requests = server.requests();

    // Walk the log in order, keeping the file's figures as each write left them.
    std::map<std::string, Figures> file;
    std::map<int, std::string> lastEvent;            // per process: what its next write does
    std::map<int, std::pair<double, double>> ended;  // the monitor's L and session run time
    std::map<int, std::map<std::string, std::vector<Figures>>> seen;  // per report: states
    std::map<std::string, double> counted, reported;
    std::map<int, std::size_t> documentOf;  // per report: its posted document
    std::size_t posted = 0;
    const std::regex changed("AppDefinitionId ([0-9]+) changed since the report was built");
    const std::vector<Line> log = logLines(agent.path());
    std::set<std::pair<int, std::string>> loggedResets;
    for (const Line& line : log)
        if (std::smatch match; std::regex_search(line.message, match, changed))
            loggedResets.emplace(line.pid, match[1]);
    int reading = 0;  // the report that has not built its document yet
    for (const Line& line : log) {
        const std::string& m = line.message;
        std::smatch match;
        if (m.starts_with("Match found: ") || m == "LAUNCH_TIME key not found in appData for app") {
            lastEvent[line.pid] = "count";
        } else if (m.starts_with("LAUNCH_TIME exists with value: ")) {
            lastEvent[line.pid] = "carry";
        } else if (m.starts_with("appDidTerminate: launchTime: ")) {
            ended[line.pid].first = std::stod(m.substr(29));
            lastEvent[line.pid] = "end";
        } else if (m.starts_with("appDidTerminate: sessionRunTime ")) {
            ended[line.pid].second = std::stod(m.substr(32));
        } else if (m.starts_with("checkAlreadyRunningAppsAndUpdatePlist: ")) {
            lastEvent[line.pid] = "settle";
        } else if (m.starts_with(" plistData[appDefinitionIDString] = newAppData   ")) {
            std::smatch id;
            ASSERT_TRUE(std::regex_search(m, id, std::regex("\"AppDefinitionId\": \"([0-9]+)\"")));
            Figures& was = file[id[1]];
            const Figures written = figuresIn(m);
            const std::string& event = lastEvent[line.pid];
            SCOPED_TRACE(event + " of " + std::string(id[1]) + ": " + m);
            if (event == "count") {
                EXPECT_EQ(written.count, was.count.value_or(0) + 1);
                counted[id[1]] += 1;
                EXPECT_EQ(written.time, was.time);
            } else if (event == "carry") {
                EXPECT_EQ(written.count, was.count);
                EXPECT_EQ(written.time, was.time);
            } else if (event == "end") {
                // The session runs from the file's launch moment, not the monitor's copy of it.
                const auto [mine, session] = ended[line.pid];
                const double expected = was.launch.value_or(0) == 0
                                            ? 0
                                            : was.time.value_or(0) + session + (mine - *was.launch);
                EXPECT_EQ(written.time, expected);
                EXPECT_EQ(written.count, was.count);
                EXPECT_EQ(written.launch, was.launch);
            } else if (event == "settle") {
                ASSERT_TRUE(was.launch.has_value());
                EXPECT_EQ(written.time, localDayAt(*was.launch, 23, 59, 59) - *was.launch);
                EXPECT_EQ(written.launch, localDayAt(*was.launch, 0, 0, 0));
                EXPECT_EQ(written.count, was.count);
            } else {
                ADD_FAILURE() << "a write after no known event";
            }
            was = written;
        }
        if (line.pid != monitorPid && !seen.contains(line.pid)) reading = line.pid;
        if (reading != 0) {
            // The figures a report may have read: every state the file had until it built.
            for (const auto& app : kApps) {
                auto& states = seen[reading][idOf(app)];
                if (states.empty() || states.back() != file[idOf(app)])
                    states.push_back(file[idOf(app)]);
            }
        }
        if (line.pid == reading && m.starts_with("generateAndPostXML: Full XML String: "))
            reading = 0;
        const auto reset = [&](const std::string& id) {
            ASSERT_TRUE(documentOf.contains(line.pid));
            ASSERT_LT(documentOf[line.pid], requests.size());
            const auto rows = rowsOf(requests[documentOf[line.pid]].body);
            const auto row = rows.find(id);
            Figures& now = file[id];
            // The document shows one state the file had while this report ran.
            const auto& states = seen[line.pid][id];
            auto read = std::find_if(states.rbegin(), states.rend(), [&](const Figures& s) {
                // A record not yet opened (no count or no last use) has no row.
                return row == rows.end() ? s.count.value_or(0) == 0 || s.lastUsed.value_or(0) == 0
                                         : s.count.value_or(0) == row->second.count &&
                                               std::floor(s.time.value_or(0)) == row->second.time;
            });
            ASSERT_NE(read, states.rend())
                << "report " << documentOf[line.pid] << " shows figures of " << id
                << " that the file never held";
            reported[id] += read->count.value_or(0);
            now = afterReset(now, *read);
        };
        if (std::regex_search(m, match, changed)) reset(match[1]);
        if (m == "generateAndPostXML: Software Metering data sent successfully") {
            // The reset follows: a record written since the report read it says when it came,
            // any other is as it was here.
            documentOf[line.pid] = posted++;
            for (const auto& app : kApps)
                if (!loggedResets.contains({line.pid, idOf(app)})) reset(idOf(app));
        }
    }

    // The file ends as the walk says, and each figure was reported once or is still there.
    for (const auto& app : kApps) {
        const std::string id = idOf(app);
        SCOPED_TRACE(app);
        const Dict final = launchRecord(launchData, id);
        EXPECT_EQ(plist::realFor(final, "TOTAL_RUN_COUNT"), file[id].count);
        EXPECT_EQ(plist::realFor(final, "TOTAL_RUN_TIME"), file[id].time);
        EXPECT_EQ(reported[id] + file[id].count.value_or(0), counted[id]);
    }
    EXPECT_EQ(posted, static_cast<std::size_t>(reports));
    EXPECT_TRUE(monitor->running());
}

}  // namespace
}  // namespace tallyvane::test
