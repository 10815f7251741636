#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>
#include <thread>

#include "VexorCtlTestSupport.h"
#include "core/PassRecord.h"
#include "core/UpdatePassLock.h"
#include "vexorctl/VexorCtl.h"

namespace TesselSoftware::VexorCtl {
namespace {

using namespace Testing;

class VexorCtlTest : public Testing::VexorCtlFixture {};

TEST_F(VexorCtlTest, CommandsAndTheirExitStatuses) {
    WriteFile(dir / "proxy.pw", "proxy-secret\n");
    WriteFile(dir / "long.pw", std::string(127, 'x') + "\n");
    struct Row {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;  // expected within standard output (or error output when status != 0)
    } rows[] = {
        {{"versions"}, "", 0, "engine-version: Unknown\n"},
        {{"dat", "set", "interval=60", "source=folder", "local-dir=/srv/dat", "use-proxy=yes", "proxy-port=3128",
          "--proxy-password-file", dir / "proxy.pw"}, "", 0, ""},
        {{"dat", "get"}, "", 0, "interval: 600\nsplay: 0\nsource: folder\nurl: http://update.vexor.example/Products/CommonUpdater\n"
                                "use-proxy: yes\nproxy: \nproxy-port: 3128\nproxy-logon: no\nproxy-user: \n"
                                "proxy-password: ********\nlocal-dir: /srv/dat\n"},
        {{"dat", "get", "--show-passwords"}, "", 0, "proxy-password: proxy-secret\n"},
        {{"dat", "set", "splay=900"}, "", 0, ""},
        {{"dat", "get"}, "", 0, "splay: 900\n"},
        {{"dat", "set", "splay=3601"}, "", 2, "invalid value for splay"},
        {{"engine", "set", "splay=60"}, "", 2, "unknown key splay"},
        {{"dat", "set", "fallback=http://origin.example/site,/srv/dat-copy"}, "", 0, ""},
        {{"dat", "get"}, "", 0, "fallback: http://origin.example/site,/srv/dat-copy\n"},
        {{"engine", "get"}, "", 0, "fallback: \n"},
        {{"engine", "set", "fallback=https://origin.example/engine", "proxy-port=8081"}, "", 0, ""},
        {{"--json", "engine", "get"}, "", 0, "\"proxy-port\": 8081,"},
        {{"--json", "engine", "get"}, "", 0, "\"fallback\": \"https://origin.example/engine\"}"},
        {{"dat", "set", "fallback=gopher://x.example/"}, "", 2, "invalid value for fallback: 'gopher://x.example/'"},
        {{"dat", "set", "fallback=relative/folder"}, "", 2, "neither a site URL nor an absolute folder"},
        {{"dat", "set", "fallback=/srv/a, /srv/b"}, "", 2, "' /srv/b' is not a site address"},
        {{"dat", "set", "fallback=/a,/b,/c,/d,/e,/f,/g,/h,/i"}, "", 2, "at most 8 fallback sites"},
        {{"dat", "set", "fallback="}, "", 0, ""},
        {{"dat", "get"}, "", 0, "fallback: \n"},
        {{"engine", "set", "source=share", "share-dir=\\\\host\\share", "--share-password"}, "share-secret\n", 0, ""},
        {{"--json", "engine", "get", "--show-passwords"}, "", 0,
         "\"source\": \"share\", \"url\": \"https://engine.vexor.example/engine610\""},
        {{"engine", "get", "--show-passwords"}, "", 0, "share-password: share-secret\n"},
        {{"dat", "set", "--share-password-file", dir / "long.pw"}, "", 1,
         "the service refused: The value of NetSharePassword is too long"},
        {{"--json", "status"}, "", 0, "\"update-running\": false"},
        {{"start"}, "", 0, ""},
        {{"cancel"}, "", 0, ""},
        {{"frobnicate"}, "", 2, "unknown command 'frobnicate'"},
        {{}, "", 2, "no command given"},
        {{"dat", "set"}, "", 2, "nothing to set"},
        {{"dat", "set", "colour=blue"}, "", 2, "unknown key colour"},
        {{"dat", "set", "proxy-port=70000"}, "", 2, "invalid value for proxy-port"},
        {{"dat", "set", "use-proxy=maybe"}, "", 2, "invalid value for use-proxy"},
        {{"dat", "set", "share-password=x"}, "", 2, "passwords are not taken from the command line"},
        {{"versions", "url=x"}, "", 2, "wrong number of arguments for versions"},
        {{"status", "now", "url=x"}, "", 2, "KEY=VALUE arguments belong to"},
        {{"--endpoint", "other", "status"}, "", 3, "Error 1722 - The RPC server is unavailable."},
    };
    for (const Row& row : rows) {
        const Outcome outcome = Ctl(row.args, row.input);
        std::string joined;
        for (const std::string& arg : row.args) joined += arg + " ";
        EXPECT_EQ(row.status, outcome.status) << joined << outcome.err;
        EXPECT_NE(std::string::npos, (row.status == 0 ? outcome.out : outcome.err).find(row.out))
            << joined << "\n" << outcome.out << outcome.err;
    }
    EXPECT_EQ("share-secret", core.EngineSourceSettings().SharePassword());
    EXPECT_TRUE(core.IsCancelled());
    for (const std::string& line : log.Lines()) {
        EXPECT_EQ(std::string::npos, line.find("secret")) << "a password reached the text log: " << line;
    }
}

// Values that would forge output lines or steer a terminal are refused where
// they enter, with the reason, and nothing stored changes.
TEST_F(VexorCtlTest, HostileValuesAreRefusedWithTheirReason) {
    WriteFile(dir / "nul.pw", std::string("pass\0word\n", 10));
    const struct Row {
        std::vector<std::string> args;
        int status;
        std::string reason;
    } rows[] = {
        {{"dat", "set", "url=http://a/\nuse-proxy: yes"}, 1,
         "The value of SourceUrl holds a control character (U+000A)"},
        {{"dat", "set", "local-dir=/srv/dat\r"}, 1, "The value of LocalDirectory holds a control character (U+000D)"},
        {{"engine", "set", "proxy=host\x1b[2J"}, 1, "The value of ProxyServer holds a control character (U+001B)"},
        {{"engine", "set", "share-user=DOM\\u\x7f"}, 1,
         "The value of NetShareUserName holds a control character (U+007F)"},
        {{"dat", "set", "proxy-user=a\xc2\x9b" "31m"}, 1, "The value of ProxyUser holds a control character (U+009B)"},
        {{"dat", "set", "--proxy-password-file", dir / "nul.pw"}, 2, "the proxy password holds a NUL character"},
    };
    for (const Row& row : rows) {
        const Outcome outcome = Ctl(row.args);
        EXPECT_EQ(row.status, outcome.status) << row.reason << outcome.err;
        EXPECT_NE(std::string::npos, outcome.err.find(row.reason)) << outcome.err;
    }
    const Outcome dat = Ctl({"dat", "get"});
    EXPECT_NE(std::string::npos, dat.out.find("url: http://update.vexor.example/Products/CommonUpdater\n")) << dat.out;
    EXPECT_NE(std::string::npos, dat.out.find("use-proxy: no\n")) << dat.out;

    // What is already stored (written around the endpoint) is shown, never
    // played to the terminal.
    core.DatSourceSettings().SetAddress("http://a/\nuse-proxy: yes\x1b[0m");
    const Outcome shown = Ctl({"dat", "get"});
    EXPECT_NE(std::string::npos, shown.out.find("url: http://a/\\nuse-proxy: yes\\x1b[0m\n")) << shown.out;
    core.AddMessage("line one\r\nuse-proxy: yes");
    const Outcome history = Ctl({"history"});
    EXPECT_NE(std::string::npos, history.out.find("  line one use-proxy: yes\n")) << history.out;
    EXPECT_EQ(std::string::npos, history.out.find("\nuse-proxy")) << history.out;
    const Outcome json = Ctl({"--json", "dat", "get"});
    EXPECT_NE(std::string::npos, json.out.find("\"http://a/\\u000ause-proxy: yes\\u001b[0m\"")) << json.out;
}

TEST_F(VexorCtlTest, AFolderTheServiceCannotSeeIsSavedWithAWarning) {
    const Outcome hidden = Ctl({"dat", "set", "source=folder", "local-dir=/home/admin/dat"});
    EXPECT_EQ(0, hidden.status) << hidden.err;
    EXPECT_NE(std::string::npos, hidden.err.find("vexorctl: warning: The updater service cannot see /home/admin/dat"))
        << hidden.err;
    EXPECT_EQ("/home/admin/dat", core.DatSourceSettings().LocalDirectory());
    const Outcome seen = Ctl({"dat", "set", "local-dir=/srv/vexor/dat"});
    EXPECT_EQ(0, seen.status);
    EXPECT_EQ("", seen.err);
}

// What an administrator meets at the point of entry says what happens:
// a bad address and a misplaced option are refused with the reason, a
// clamped interval is told, texts are one line, a share path reads as
// stored, and an unreachable service is named as such.
TEST_F(VexorCtlTest, TextsTellTheOperatorWhatHappens) {
    const struct Row {
        std::vector<std::string> args;
        int status;
        std::string out;  // a piece of standard output
        std::string err;  // a piece of standard error
    } rows[] = {
        {{"dat", "set", "url=not a url"}, 2, "",
         "invalid value for url: 'not a url' (not an address of the form scheme://host/path"},
        {{"dat", "set", "interval=300"}, 0, "", "note: the interval 300 s is outside 600..3600 seconds; the service keeps 600 s"},
        {{"engine", "set", "source=share", "share-dir=\\\\server\\share\\engine"}, 0, "", ""},
        {{"engine", "get"}, 0, "share-dir: \\\\server\\share\\engine\n", ""},
        {{"dat", "get"}, 0, "interval: 600\n", ""},
        {{"status"}, 0, "status: Check finished.\n", ""},
        {{"status", "--wait"}, 2, "", "the option --wait does not apply to 'status'"},
        {{"dat", "get", "--output", "x"}, 2, "", "the option --output does not apply to 'dat get'"},
        {{"dat", "set", "--show-passwords", "proxy=p"}, 2, "", "the option --show-passwords does not apply to 'dat set'"},
        {{"start", "--timeout", "5"}, 2, "", "--timeout applies to start --wait"},
        {{"--json", "metrics"}, 2, "", "the option --json does not apply to 'metrics'"},
        {{"--json", "health"}, 2, "{\"status\": \"CRITICAL\", \"exit-code\": 2, \"text\": \"no DAT set is installed\"", ""},
        {{"--endpoint", "nobody-listens", "status"}, 3, "",
         "Error 1722 - The RPC server is unavailable. The updater service is not running, or not listening at " +
             dir / "run/vexor/nobody-listens"},
    };
    core.SetCurrentStatusText("Check finished.\r\n");
    for (const Row& row : rows) {
        std::string joined;
        for (const std::string& arg : row.args) joined += arg + " ";
        SCOPED_TRACE(joined);
        const Outcome outcome = Ctl(row.args);
        EXPECT_EQ(row.status, outcome.status) << outcome.err;
        EXPECT_NE(std::string::npos, outcome.out.find(row.out)) << outcome.out;
        EXPECT_NE(std::string::npos, outcome.err.find(row.err)) << outcome.err;
        EXPECT_EQ(std::string::npos, (outcome.out + outcome.err).find("\\r\\n")) << "a literal line break";
    }
}

TEST_F(VexorCtlTest, HistoryListsMessagesOldestFirst) {
    core.AddMessage("first");
    core.AddMessage("second");
    const Outcome text = Ctl({"history"});
    ASSERT_EQ(0, text.status);
    EXPECT_LT(text.out.find("  first\n"), text.out.find("  second\n"));
    const Outcome json = Ctl({"--json", "history"});
    EXPECT_NE(std::string::npos, json.out.find("\"text\": \"first\"}, {\"time\": ")) << json.out;
}

// A pass as the service loop runs one, with its records: started by the
// trigger, ending after hold_ms with "Check finished." or error.
void RecordedPass(UpdaterCore& core, int hold_ms, const std::string& error, int lines = 0) {
    if (!core.TriggerEvent().Wait(10000)) return;
    core.SetPassForTesting([&] {
        for (int line = 0; line < lines; ++line) core.AddMessage("Downloading 'file-%d'", line);
        std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
        if (!error.empty()) throw ExceptionBase(0, error);
    });
    std::string busy;
    core.RunRecordedPass(TakeUpdatePassLock(&busy), busy);
}

TEST_F(VexorCtlTest, StartWaitTellsASucceedingFromAFailingPass) {
    const struct Row {
        const char* what;
        int hold_ms;
        std::string error;
        int status;
    } rows[] = {
        {"a pass that finds the set up to date", 600, "", 0},
        {"a pass that fails", 300, "Dat zip file \"x\" failed MD5 sum check.", 1},
    };
    for (const Row& row : rows) {
        std::thread pass([&] { RecordedPass(core, row.hold_ms, row.error); });
        const Outcome outcome = Ctl({"start", "--wait", "--timeout", "20"});
        pass.join();
        EXPECT_EQ(row.status, outcome.status) << row.what << outcome.err;
        if (row.error.empty()) {
            EXPECT_NE(std::string::npos, outcome.out.find("status: Check finished.")) << outcome.out;
        } else {
            EXPECT_NE(std::string::npos, outcome.err.find("the update pass failed: " + row.error)) << outcome.err;
        }
    }
}

// Passes that start and end between two polls, many in one second, some
// writing more lines than the history keeps, all alike to the line: each
// is told by its number in the pass record, never by its lines or times.
TEST_F(VexorCtlTest, StartWaitFindsPassesShorterThanAPoll) {
    for (int run = 0; run < 10; ++run) {
        std::thread pass([&] { RecordedPass(core, 0, run == 9 ? "the last one fails" : "", run % 2 == 1 ? 30 : 0); });
        const Outcome outcome = Ctl({"start", "--wait", "--timeout", "10"});
        pass.join();
        ASSERT_EQ(run == 9 ? 1 : 0, outcome.status) << "run " << run << ": " << outcome.err;
    }
}

// A request while a pass runs is dropped by the service: the running pass
// is the one to wait for, not a next one that never comes.
TEST_F(VexorCtlTest, StartWaitDuringAPassWaitsForThatPass) {
    std::thread pass([&] { RecordedPass(core, 800, "held up"); });
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([&] { return ReadPassRecord().Running(); }));
    const Outcome outcome = Ctl({"start", "--wait", "--timeout", "10"});
    pass.join();
    EXPECT_EQ(1, outcome.status) << outcome.err;
    EXPECT_NE(std::string::npos, outcome.err.find("the update pass failed: held up")) << outcome.err;
}

TEST_F(VexorCtlTest, AnAccountOutsideTheGroupsIsDenied) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    const ChildResult child = RunInChild(
        [this](int) {
            std::istringstream in;
            std::ostringstream out, err;
            return VexorCtl::Run({"status"}, in, out, err);
        },
        true);
    EXPECT_EQ(kAccessDenied, child.status);
}

}  // namespace
}  // namespace TesselSoftware::VexorCtl
