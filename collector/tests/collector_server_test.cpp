// The collector program on 127.0.0.1 over a real SQLite file: what it answers, logs and keeps.
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "CollectorProcess.h"
#include "Store.h"

namespace tallyvane::collector {
namespace {

const std::string kGolden = goldenReport();

template <typename Client>
int post(Client& client, const std::string& path, const std::string& body) {
    const auto answer = client.Post(path.c_str(), body, "text/xml; charset=utf-8");
    return answer ? answer->status : -1;
}

TEST(CollectorServer, StoresOnceOverHttpsAndRefusesWhatIsNotAReport) {
    test::ScratchDir dir;
    const std::string at = dir.path() + "/", cert = at + "cert.pem", key = at + "key.pem",
                      db = at + "collector.db";
    ASSERT_TRUE(makeCertificate(dir.path()));
    CollectorProcess collector(dir.path(), db,
                               "certificate = " + cert + "\nkey = " + key +
                                   "\nmax_body_bytes = 4096\ncustomer_ids = 7, 8\n"
                                   "time_zone = Europe/Berlin\n");
    ASSERT_GT(collector.port(), 0) << collector.log();
    httplib::SSLClient client("127.0.0.1", collector.port());
    client.set_ca_cert_path(cert.c_str());
    client.enable_server_certificate_verification(true);

    for (int twice = 0; twice < 2; ++twice)
        EXPECT_EQ(post(client, reportTarget("R&D%20mac"), kGolden), 200) << collector.log();
    const std::string m = reportTarget("m");
    const std::tuple<std::string, std::string, int, std::string> bad[] = {
        {"/other", kGolden, 404, "POST /other from 127.0.0.1 -> 404"},
        {m.substr(0, 40), kGolden, 400, "-> 400: the query is not"},
        {reportTarget("m", "9"), kGolden, 403, "-> 403: customer id \"9\" is not allowed"},
        {m, "<Summary />", 400, "-> 400: the body is not a usage report"},
        {m, kGolden + std::string(4096, ' '), 413, "-> 413: body over max_body_bytes"},
    };
    for (const auto& [path, body, status, logged] : bad) {
        EXPECT_EQ(post(client, path, body), status) << path;
        EXPECT_TRUE(test::eventually([&] { return collector.log().find(logged) != logged.npos; },
                                     std::chrono::seconds(2)))
            << logged << "\n"
            << collector.log();
    }

    std::string error;
    const auto store = openStore(db, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->reportCount(), 1);
    const auto days = store->days();
    ASSERT_TRUE(days && days->size() == 7u);
    // The computer as decoded from the query; days in the fleet's zone, Berlin.
    EXPECT_EQ((*days)[0].computer, "R&D mac");
    EXPECT_EQ((*days)[2].use.day, "2024-05-01");

    // --check: these settings pass; broken ones name each fault.
    test::ChildProcess good(COLLECTOR_BIN, {"--check", "--config", collector.config()});
    EXPECT_EQ(good.waitExit(), 0);
    std::ofstream(at + "bad.conf")
        << "listen = nowhere\ncolour = blue\ntime_zone = Mars/Base\ncertificate = " << key
        << "\nkey = " << cert << "\ncustomer_ids =\n";
    test::ChildProcess broken({COLLECTOR_BIN, "--check", "--config", at + "bad.conf"}, {},
                              at + "check.log");
    EXPECT_EQ(broken.waitExit(), 1);
    for (const char* fault : {"line 1: listen needs HOST:PORT", "line 2: unknown key \"colour\"",
                              "customer_ids is empty", "time_zone \"Mars/Base\"", "does not load"})
        EXPECT_NE(test::slurp(at + "check.log").find(fault), std::string::npos) << fault;
}

TEST(CollectorServer, KilledMidReportKeepsEveryReportItAnswered) {
    test::ScratchDir dir;
    const std::string db = dir.path() + "/collector.db";
    std::mutex mutex;
    std::set<std::string> answered;
    // Killed several times, each the moment a report was answered: one answered before its
    // commit is then lost in most rounds.
    for (int round = 0; round < 6; ++round) {
        const std::string here = dir.path() + "/" + std::to_string(round);
        std::filesystem::create_directory(here);
        CollectorProcess collector(here, db, "customer_ids = *\n");
        ASSERT_GT(collector.port(), 0) << collector.log();
        std::atomic<int> sent{0};
        std::vector<std::thread> senders;
        for (int s = 0; s < 4; ++s) {
            senders.emplace_back([&, s] {
                httplib::Client client("127.0.0.1", collector.port());
                client.set_connection_timeout(1);
                for (int n = 0;; ++n) {
                    const std::string computer = "pc-" + std::to_string(round) + "-" +
                                                 std::to_string(s) + "-" + std::to_string(n);
                    if (post(client, reportTarget(computer), kGolden) != 200) return;
                    if (++sent == 40) collector.process().kill();
                    std::lock_guard lock(mutex);
                    answered.insert(computer);
                }
            });
        }
        for (auto& sender : senders) sender.join();
    }

    std::string error;
    const auto store = openStore(db, error);
    ASSERT_TRUE(store) << error;
    const auto days = store->days();
    ASSERT_TRUE(days);
    std::map<std::string, std::int64_t> launches;
    for (const StoredDay& d : *days) launches[d.computer] += d.use.launches;
    for (const auto& computer : answered)
        EXPECT_TRUE(launches.contains(computer)) << computer << " was answered 200 but is lost";
    // A report is whole or absent: the golden document holds 9 launches.
    for (const auto& [computer, count] : launches) EXPECT_EQ(count, 9) << computer;
    EXPECT_EQ(store->reportCount(), static_cast<std::int64_t>(launches.size()));
    EXPECT_GE(answered.size(), 6u * 40);
}

}  // namespace
}  // namespace tallyvane::collector
