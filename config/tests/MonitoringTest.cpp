// vexorctl health and metrics against the real procedures on a scratch
// system root: the states a monitoring system must tell apart, and the
// exposition text read back by Prometheus' reference parser.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>

#include "Common/Platform/MachineLayout.h"
#include "Common/Platform/ProcessRunner.h"
#include "VexorCtlTestSupport.h"
#include "sources/CatalogueFreshness.h"
#include "vexorctl/HealthCheck.h"
#include "vexorctl/VexorCtl.h"

namespace TesselSoftware::VexorCtl {
namespace {

using namespace Testing;
namespace fs = std::filesystem;

class MonitoringTest : public Testing::VexorCtlFixture {
protected:
    // A set of version as the service finds one installed, recorded as
    // installed age_seconds ago.
    void InstallSet(uint32_t version, int64_t age_seconds) {
        const fs::path folder = MachineLayout::DefaultDatFolder();
        fs::create_directories(folder / ("avvdat-" + std::to_string(version) + "-files"));
        WriteFile(folder / ("avvdat-" + std::to_string(version) + ".zip"), "zip");
        RegistryKey key;
        key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
        key.WriteQword("LastUpdateTime", static_cast<uint64_t>(std::time(nullptr) - age_seconds));
        key.WriteQword("LastCheckTime", static_cast<uint64_t>(std::time(nullptr) - 600));
        key.WriteString("DATFolder", folder.string());
        core.Load();
    }
};

TEST_F(MonitoringTest, HealthTellsEachStateInOneLineWithItsExitStatus) {
    const struct Row {
        const char* what;
        std::function<void()> arrange;
        std::vector<std::string> args;
        int status;
        std::string line;  // expected within the one line
    } rows[] = {
        {"never updated", [] {}, {"health"}, 2, "VEXOR CRITICAL - no DAT set is installed"},
        {"fresh", [this] { InstallSet(6543, 7200); }, {"health"}, 0,
         "VEXOR OK - DAT set 6543 installed 2 h 0 min ago, last check 10 min ago | dat_age=720"},
        {"older than the warning age", [this] { InstallSet(6543, 30 * 3600); }, {"health"}, 1,
         "VEXOR WARNING - DAT set 6543 installed 1 d 6 h ago |"},
        {"older than a warning age of its own", [] {}, {"health", "--warn-hours", "1"}, 1,
         "s;3600;259200 last_check_age="},
        {"older than the critical age", [this] { InstallSet(6543, 80 * 3600); }, {"health"}, 2,
         "VEXOR CRITICAL - DAT set 6543 installed 3 d 8 h ago"},
        {"the last pass failed",
         [this] {
             InstallSet(6543, 3600);
             core.AddMessage("******* Performing update *******");
             core.AddMessageText("Error: Dat zip file \"avvdat-6544.zip\" failed MD5 sum check.");
         },
         {"health"}, 1, "the last update pass failed: Dat zip file \"avvdat-6544.zip\" failed MD5 sum check."},
        {"a pass after the failure succeeded", [this] { core.AddMessage("Check finished."); },
         {"health"}, 0, "VEXOR OK - DAT set 6543 installed 1 h 0 min ago"},
        {"service down", [] {}, {"health", "--endpoint", "elsewhere"}, 2,
         "VEXOR CRITICAL - the updater service is unreachable: "},
        {"limits the wrong way round", [] {}, {"health", "--warn-hours", "80"}, 3,
         "VEXOR UNKNOWN - --warn-hours is more than --crit-hours"},
        {"a limit that is no number", [] {}, {"health", "--crit-hours", "soon"}, 3,
         "VEXOR UNKNOWN - invalid value for --crit-hours"},
    };
    for (const Row& row : rows) {
        row.arrange();
        const Outcome outcome = Ctl(row.args);
        EXPECT_EQ(row.status, outcome.status) << row.what << ": " << outcome.out << outcome.err;
        EXPECT_NE(std::string::npos, outcome.out.find(row.line)) << row.what << ": " << outcome.out;
        EXPECT_EQ(1, std::count(outcome.out.begin(), outcome.out.end(), '\n')) << row.what << ": " << outcome.out;
    }
}

// The whole line, exactly, where the time is fixed; a text from a site can
// neither break the line nor start the performance data early.
TEST(HealthCheck, TheLineAndItsPerformanceData) {
    UpdaterReading reading;
    reading.service = UpdaterReading::Service::kAnswered;
    reading.dat_version = 6543;
    reading.dat_installed = 1'000'000;
    reading.last_check = 1'000'000 + 6600;
    const int64_t now = 1'000'000 + 7200;
    EXPECT_EQ("VEXOR OK - DAT set 6543 installed 2 h 0 min ago, last check 10 min ago | "
              "dat_age=7200s;86400;259200 last_check_age=600s dat_version=6543",
              JudgeHealth(reading, now, {}).line);
    reading.last_pass_failed = true;
    reading.last_error = "bad | site\nVEXOR OK";
    const HealthVerdict failed = JudgeHealth(reading, now, {3600, 7200});
    EXPECT_EQ(kHealthWarning, failed.state);
    EXPECT_EQ("VEXOR WARNING - DAT set 6543 installed 2 h 0 min ago; the last update pass failed: bad / site\\nVEXOR OK"
              " | dat_age=7200s;3600;7200 last_check_age=600s dat_version=6543",
              failed.line);
    reading.dat_installed = 0;
    EXPECT_EQ(kHealthUnknown, JudgeHealth(reading, now, {}).state);
}

TEST_F(MonitoringTest, HealthAndMetricsAsAnAccountOutsideTheGroups) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    for (const char* verb : {"health", "metrics"}) {
        const ChildResult child = RunInChild(
            [verb](int out_fd) {
                const Outcome outcome = Ctl({verb});
                const std::string text = outcome.out + outcome.err;
                return ::write(out_fd, text.data(), text.size()) < 0 ? 9 : outcome.status;
            },
            true);
        if (std::string(verb) == "health") {
            EXPECT_EQ(kHealthUnknown, child.status) << child.output;
            EXPECT_EQ(0u, child.output.rfind("VEXOR UNKNOWN - access to the updater service denied", 0)) << child.output;
        } else {
            EXPECT_EQ(kAccessDenied, child.status) << child.output;
        }
    }
}

// What node_exporter's textfile collector would read, parsed by the
// reference parser of the Prometheus client library: each sample (with its
// labels) to its value, and each family to its type under "TYPE name".
std::map<std::string, std::string> ParsedByPrometheus(const std::string& file) {
    std::string output;
    const ChildOutcome outcome = RunChildProcess(
        {"/usr/bin/python3", "-c",
         "import sys\n"
         "from prometheus_client.parser import text_string_to_metric_families\n"
         "for family in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
         "    print('TYPE ' + family.name, family.type)\n"
         "    for s in family.samples:\n"
         "        labels = ','.join(k + '=' + v for k, v in sorted(s.labels.items()))\n"
         "        print(s.name + ('{' + labels + '}' if labels else ''), repr(s.value))\n",
         file},
        30000, &output, 1 << 16);
    EXPECT_EQ(ChildOutcome::Kind::kExited, outcome.kind);
    EXPECT_EQ(0, outcome.exit_code) << "the reference parser refused the text (is python3-prometheus-client installed?)";
    std::map<std::string, std::string> parsed;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.rfind(' ');
        if (space != std::string::npos) parsed[line.substr(0, space)] = line.substr(space + 1);
    }
    return parsed;
}

TEST_F(MonitoringTest, MetricsAreWrittenAtomicallyAndReadByTheReferenceParser) {
    InstallSet(6543, 3600);
    core.AddMessage("******* Performing update *******");
    core.AddMessageText("Error: the source \"x\" is unreachable");
    RecordAcceptedCatalogue(CatalogueKind::kDat, "oem.ini", {1'796'083'200, 1'796'688'000});
    RecordAcceptedCatalogue(CatalogueKind::kDat, "avvdat.ini", {1'796'083'100, 0});
    RecordAcceptedCatalogue(CatalogueKind::kEngine, "EngineUpdate.ini", {1'795'000'000, 0});
    const std::string file = dir / "vexor.prom";
    WriteFile(file, "# an older file the collector may be reading\n");
    const Outcome outcome = Ctl({"metrics", "--output", file});
    ASSERT_EQ(0, outcome.status) << outcome.err;
    EXPECT_EQ("", outcome.out);
    const std::map<std::string, std::string> parsed = ParsedByPrometheus(file);
    const auto value = [&](const std::string& name) {
        const auto found = parsed.find(name);
        return found == parsed.end() ? -1.0 : std::stod(found->second);
    };
    EXPECT_EQ(1.0, value("vexor_up"));
    EXPECT_EQ(6543.0, value("vexor_dat_version"));
    EXPECT_NEAR(static_cast<double>(std::time(nullptr) - 3600), value("vexor_dat_installed_timestamp_seconds"), 5);
    EXPECT_NEAR(static_cast<double>(std::time(nullptr) - 600), value("vexor_last_check_timestamp_seconds"), 5);
    EXPECT_EQ(0.0, value("vexor_last_check_success"));
    EXPECT_EQ(0.0, value("vexor_update_running"));
    EXPECT_EQ(1.0, value("vexor_engine_info{version=Unknown}"));
    EXPECT_EQ(1'796'083'200.0, value("vexor_catalogue_signed_timestamp_seconds{kind=dat}"));
    EXPECT_EQ(1'795'000'000.0, value("vexor_catalogue_signed_timestamp_seconds{kind=engine}"));
    for (const auto& [name, type] : parsed) {
        EXPECT_NE(std::string::npos, name.find("vexor_")) << name;
        if (name.rfind("TYPE ", 0) == 0) {
            EXPECT_EQ("gauge", type) << name;
        }
    }
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tmp")) << "left behind: " << entry.path();
    }

    // The service down: vexor_up 0, and what the store still tells.
    const Outcome down = Ctl({"metrics", "--endpoint", "elsewhere"});
    ASSERT_EQ(0, down.status) << down.err;
    EXPECT_NE(std::string::npos, down.out.find("\nvexor_up 0\n")) << down.out;
    EXPECT_NE(std::string::npos, down.out.find("\nvexor_dat_installed_timestamp_seconds ")) << down.out;
    EXPECT_NE(std::string::npos, down.out.find("\nvexor_catalogue_signed_timestamp_seconds{kind=\"dat\"} 1796083200\n"))
        << down.out;
    EXPECT_EQ(std::string::npos, down.out.find("vexor_engine_info")) << down.out;

    const Outcome unwritable = Ctl({"metrics", "--output", dir / "no-such-folder/vexor.prom"});
    EXPECT_EQ(kServiceSaidNo, unwritable.status);
    EXPECT_NE(std::string::npos, unwritable.err.find("No such file or directory")) << unwritable.err;
}

}  // namespace
}  // namespace TesselSoftware::VexorCtl
