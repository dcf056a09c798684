// The collector at fleet size, with the durability it ships (SQLite WAL with synchronous=FULL;
// PostgreSQL with fsync and synchronous_commit on), on disk:
//   Ingest: 8 senders posting reports of 50 rows from 10,000 computers over HTTP on loopback.
//   ReclaimPage: the overview page over 10,000 computers x 50 app definitions a day x 90 days,
//   loaded once through the storage interface and kept in TALLYVANE_BENCH_DIR (default
//   /var/tmp/tallyvane-collector-bench) for later runs.
// Runs as root: the PostgreSQL cluster belongs to the postgres user.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "BenchSupport.h"
#include "Days.h"
#include "Store.h"

namespace {

namespace fs = std::filesystem;
using namespace tallyvane;
using namespace tallyvane::collector;

constexpr int kComputers = 10000, kApps = 50, kDays = 90, kSenders = 8, kRows = 50;
const std::string kPgBin = "/usr/lib/postgresql/15/bin";
const std::string kToken = "bench-token-0123456789";

fs::path benchDir() {
    const char* dir = std::getenv("TALLYVANE_BENCH_DIR");
    fs::path path = dir ? dir : "/var/tmp/tallyvane-collector-bench";
    fs::create_directories(path);
    return path;
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// A cluster of the bench's own on a private socket, with the server's default durability.
struct Cluster {
    fs::path dir = benchDir() / "pg";
    std::string connection;
    Cluster() {
        const std::string as = "runuser -u postgres -- ";
        if (!fs::exists(dir / "data/PG_VERSION")) {
            fs::create_directories(dir);
            const passwd* pg = getpwnam("postgres");
            if (pg == nullptr || chown(dir.c_str(), pg->pw_uid, pg->pw_gid) != 0) return;
            if (!run(as + kPgBin + "/initdb -D " + dir.string() +
                     "/data -A trust -U postgres -E UTF8 --locale=C.UTF-8 >" + dir.string() +
                     "/initdb.log 2>&1"))
                return;
        }
        if (run(as + kPgBin + "/pg_ctl start -w -t 60 -D " + dir.string() + "/data -l " +
                dir.string() + "/server.log -o \"-p 55433 -k " + dir.string() +
                " -c listen_addresses='' -c fsync=on -c synchronous_commit=on\" >/dev/null")) {
            connection = "host=" + dir.string() + " port=55433 user=postgres dbname=";
        }
    }
    ~Cluster() {
        run("runuser -u postgres -- " + kPgBin + "/pg_ctl stop -m fast -D " + dir.string() +
            "/data >/dev/null 2>&1");
    }
    // A database of that name, made empty when fresh is set.
    std::string database(const std::string& name, bool fresh) {
        const std::string psql =
            "runuser -u postgres -- " + kPgBin + "/psql -q \"" + connection + "postgres\" -c ";
        if (fresh) run(psql + "'DROP DATABASE IF EXISTS " + name + "' >/dev/null 2>&1");
        run(psql + "'CREATE DATABASE " + name + "' >/dev/null 2>&1");
        return connection + name;
    }
};

Cluster& cluster() {
    static Cluster c;
    return c;
}

// A running tallyvane-collector on database; its port, 0 when it did not start.
struct Collector {
    pid_t pid = -1;
    int port = 0;
    explicit Collector(const std::string& database) {
        const fs::path dir = benchDir();
        const std::string log = (dir / "collector.log").string();
        fs::remove(log);
        std::ofstream(dir / "collector.conf")
            << "listen = 127.0.0.1:0\ndatabase = " << database
            << "\ncustomer_ids = 7\npage_token = " << kToken << "\n";
        pid = bench::spawn({(bench::here() / "tallyvane-collector").string(), "--config",
                            (dir / "collector.conf").string()},
                           log);
        const std::string mark = "listening on 127.0.0.1:";
        for (int i = 0; i < 3000 && port == 0; ++i) {
            const std::string text = bench::slurp(log);
            if (const auto at = text.find(mark); at != std::string::npos)
                port = std::atoi(text.c_str() + at + mark.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Collector() {
        if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    }
};

// The agent's report of 50 app definitions used today, as report mode writes it.
std::string reportBody(int computer, std::int64_t now) {
    std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Summary>\n<WMIData USER_SID=\"S-1-5-18\" "
        "TYPE=\"1\" USER_ID=\"0\" USER_NAME=\"pc\" DOMAIN_NAME=\"WORKGROUP\" "
        "IS_LOCAL_ACCOUNT=\"false\" />\n";
    for (int app = 0; app < kRows; ++app) {
        body += "<InvAppDefinitionUsage APP_DEFINITION_ID=\"" + std::to_string(1000 + app) +
                "\" USER_SID=\"S-1-5-18\" LAST_USED=\"" + std::to_string(now - app) +
                "\" TOTAL_RUN_COUNT=\"2\" TOTAL_RUN_TIME=\"600\" FILE_VERSION=\"1.0\" "
                "PRODUCT_NAME=\"App " +
                std::to_string(app) + "\" PRODUCT_VERSION=\"1.0\" />\n";
    }
    const std::string name = "pc-" + std::to_string(computer);
    for (const auto& [param, value] : {std::pair{"COMPUTER_NAME", name},
                                       {"DOMAIN_NETBIOS_NAME", "WORKGROUP"},
                                       {"RESOURCE_ID", "0"},
                                       {"MSP_NAME", "MSP"},
                                       {"CUSTOMER_NAME", "Acme"},
                                       {"CUSTOMER_ID", "7"},
                                       {"FQDN_NAME", name + ".example.com"},
                                       {"OS_PLATFORM", "2"},
                                       {"UNIQUE_VALUE", std::to_string(now) + "-" + name}}) {
        body += "<AgentParams AGENT_PARAM_ID=\"1\" PARAM_NAME=\"" + std::string(param) +
                "\" PARAM_VALUE=\"" + value + "\" />\n";
    }
    return body + "</Summary>";
}

// Reports per second over HTTP into a fresh database; each iteration sends 800 reports.
void ingest(benchmark::State& state, const std::string& database) {
    Collector collector(database);
    if (collector.port == 0) return state.SkipWithError("the collector did not start");
    std::atomic<int> next{0}, failed{0};
    const std::int64_t now = std::time(nullptr);
    for (auto _ : state) {
        const int end = next.load() + 800;
        std::vector<std::thread> senders;
        for (int s = 0; s < kSenders; ++s) {
            senders.emplace_back([&] {
                httplib::Client client("127.0.0.1", collector.port);
                client.set_tcp_nodelay(true);  // as libcurl, the agent's client, sets it
                for (int n; (n = next++) < end;) {
                    const int computer = n % kComputers;
                    const auto answer = client.Post(
                        ("/invswmetering?computer=pc-" + std::to_string(computer) +
                         "&domain=WORKGROUP&customerId=7&resourceid=0&remoffId=3&actionToCall=1")
                            .c_str(),
                        reportBody(computer, now - n / kComputers), "text/xml");
                    if (!answer || answer->status != 200) ++failed;
                }
            });
        }
        for (auto& sender : senders) sender.join();
        next.store(end);
    }
    if (failed > 0) state.SkipWithError("some reports were not stored");
    state.SetItemsProcessed(next.load());
}

// The page's data set: computer c reports every app definition every day of the last 90, but
// one pair in five stopped 30 to 89 days ago, so that each window has reclaim candidates.
// One report a computer, through the storage interface.
void load(Store& store) {
    const std::int64_t today = std::time(nullptr) / 86400 * 86400 + 43200;
    for (int c = 0; c < kComputers; ++c) {
        Received r;
        r.query = {"pc-" + std::to_string(c), "WORKGROUP", "7", "0", "3", "1"};
        r.target = "/invswmetering?computer=" + r.query.computer;
        r.body = "dataset " + r.query.computer;
        r.receivedAt = today;
        for (int a = 0; a < kApps; ++a) {
            const int stopped = (c * 31 + a * 17) % 5 == 0 ? 30 + (c + a) % 60 : 0;
            for (int d = stopped; d < kDays; ++d) {
                const std::int64_t t = today - d * 86400;
                r.days.push_back({std::to_string(1000 + a), localDay(t).value_or(""), 2, 600, t,
                                  "App " + std::to_string(a), "1.0", "1.0"});
            }
        }
        if (store.add(r) == AddResult::failed) {
            std::fprintf(stderr, "load: %s\n", store.lastError().c_str());
            std::exit(1);
        }
    }
}

// The overview page of the window (30, 60 or 90 days) as a browser asks for it.
void reclaimPage(benchmark::State& state, const std::string& database) {
    std::string error;
    {
        auto store = openStore(database, error);
        if (!store) return state.SkipWithError(error.c_str());
        if (store->reportCount().value_or(0) < kComputers) load(*store);
    }
    Collector collector(database);
    if (collector.port == 0) return state.SkipWithError("the collector did not start");
    httplib::Client client("127.0.0.1", collector.port);
    client.set_read_timeout(60);
    const std::string path = "/?days=" + std::to_string(state.range(0)) + "&token=" + kToken;
    for (auto _ : state) {
        const auto answer = client.Get(path.c_str());
        if (!answer || answer->status != 200) return state.SkipWithError("the page failed");
        benchmark::DoNotOptimize(answer->body);
    }
}

void BM_IngestSqlite(benchmark::State& state) {
    const fs::path db = benchDir() / "ingest.db";
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
    ingest(state, db.string());
}
void BM_IngestPostgres(benchmark::State& state) {
    if (cluster().connection.empty()) return state.SkipWithError("no PostgreSQL cluster");
    ingest(state, cluster().database("ingest", true));
}
void BM_ReclaimPageSqlite(benchmark::State& state) {
    reclaimPage(state, (benchDir() / "page.db").string());
}
void BM_ReclaimPagePostgres(benchmark::State& state) {
    if (cluster().connection.empty()) return state.SkipWithError("no PostgreSQL cluster");
    reclaimPage(state, cluster().database("page", false));
}

}  // namespace

BENCHMARK(BM_IngestSqlite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_IngestPostgres)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ReclaimPageSqlite)->Unit(benchmark::kMillisecond)->Arg(30)->Arg(60)->Arg(90);
BENCHMARK(BM_ReclaimPagePostgres)->Unit(benchmark::kMillisecond)->Arg(30)->Arg(60)->Arg(90);
BENCHMARK_MAIN();
