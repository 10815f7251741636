// vexor-soak DAYS [SEED]: months of the updater service's life in a minute.
//
// The real service (UpdaterCore's loop, the downloaders, the stores, the
// logs, the control endpoint and its procedures) runs in a process of its
// own (ServiceProcess) on a simulated clock, against update sites on
// 127.0.0.1 that a world script drives from SEED (SoakWorld); the world
// stops and starts it, and kills it, at random moments. At every wake-up of
// the loop the invariants below are checked; a violation prints the
// simulated time, the seed and the last events. The last line is
//   soak: days=D seed=S passes=P asked=A violations=V wall_s=W
// and the exit status is 0 only when V is 0.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "SoakService.h"
#include "SoakWorld.h"
#include "client/VexorUpdateRpc.h"
#include "core/PassRecord.h"
#include "dat/EngineStartCheck.h"
#include "sources/DownloaderFS.h"
#include "sources/DownloaderINET.h"
#include "vexorctl/HealthCheck.h"
#include "vexorctl/MetricsText.h"

namespace TesselSoftware::Soak {
namespace {

namespace fs = std::filesystem;
using RPCClient::CVexorUpdateRpc;

extern "C" char** environ;

// soak_site.py, started on a free port and killed with the object.
class SiteServer {
public:
    explicit SiteServer(const std::string& root) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const std::string script = VEXOR_SOAK_SITE;
        char* argv[] = {const_cast<char*>("/usr/bin/python3"), const_cast<char*>(script.c_str()),
                        const_cast<char*>(root.c_str()), nullptr};
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0) throw std::runtime_error("spawn");
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(out[0]);
        port_ = std::atoi(line.c_str());
        if (port_ <= 0) throw std::runtime_error("the soak site did not start");
    }
    ~SiteServer() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// The invariants, checked at each wake-up of the loop (on its thread).
class Checker {
public:
    explicit Checker(SoakWorld& world) : world_(world) {}

    // A new life of the service: what the checks read of its process.
    void Attach(pid_t service, CVexorUpdateRpc* rpc) {
        service_ = service;
        rpc_ = rpc;
        first_wake_of_life_ = true;
        pass_seen_ = true;  // a new life reads the record once
        samples_.clear();
        next_sample_ = 0;
    }
    // Each report carries the loop's schedule of the moment.
    void Observe(const ServiceProcess::Report& report) {
        schedule_ = report;
        if (schedule_changed_) next_before_ = report.next_check;
        schedule_changed_ = false;
        // A pass opens with this line: only then is the store's pass
        // record worth reading.
        if (report.kind == ServiceProcess::kLine && report.pass_starts) pass_seen_ = true;
    }
    void AtWakeUp();
    // A settings change through the control endpoint moved the next check;
    // the service's next report says where to.
    void ScheduleChanged() { schedule_changed_ = true; }
    // At the end of a life: memory and open files did not grow in it, and
    // a killed service left no process behind.
    void EndOfLife(bool killed, pid_t site_server);
    void Finish();

    int passes = 0, asked_passes = 0, violations = 0;

private:
    void Violation(const std::string& what);
    void CheckPass(int64_t wall, int64_t elapsed, const PassRecord& record);
    void CheckRequests(int64_t wall);
    void CheckFreshness(int64_t elapsed);
    void CheckInstalledSet();
    void CheckNoLeftovers();
    void Sample(int64_t elapsed);
    void CountDay(int64_t elapsed);

    SoakWorld& world_;
    pid_t service_ = -1;
    CVexorUpdateRpc* rpc_ = nullptr;
    ServiceProcess::Report schedule_;
    bool schedule_changed_ = false;
    bool first_wake_of_life_ = true;
    bool pass_seen_ = true;
    uint32_t installed_ = 0;  // DATVersion, read after each pass
    uint64_t last_ended_ = 0;
    int asked_seen_ = 0;
    int64_t next_before_ = 0;      // the loop's next check at the previous wake-up
    int64_t period_before_ = 0;    // interval + offset then
    int64_t longest_period_ = 0;   // since the last pass
    int64_t last_pass_elapsed_ = 0;
    int64_t stepped_at_pass_ = 0;
    std::map<std::string, int64_t> cool_until_;  // site -> wall time before which it may not be asked
    size_t requests_read_ = 0;
    int64_t next_sample_ = 0;
    std::vector<std::pair<int, int64_t>> samples_;  // open files, resident KiB, once a day of this life
    int lives_measured_ = 0;
    int most_files_ = 0;
    int64_t most_resident_ = 0;
    // The simulated day being counted: its passes, those asked for, and
    // whether anything that moves the schedule happened in it.
    int64_t day_ = 0;
    int day_passes_ = 0, day_asked_ = 0;
    int64_t day_interval_ = 0;
};

void Checker::Violation(const std::string& what) {
    ++violations;
    if (violations > 20) return;
    const int64_t elapsed = world_.Clock().Elapsed();
    std::cout << "soak: VIOLATION day " << elapsed / 86400 << " +" << elapsed % 86400 << " s (wall "
              << world_.Clock().Now() << "), seed " << world_.Options().seed << ": " << what << "\n"
              << "  last events:\n";
    for (const std::string& line : world_.Recent()) std::cout << "    " << line << "\n";
}

void Checker::AtWakeUp() {
    const int64_t wall = world_.Clock().Now(), elapsed = world_.Clock().Elapsed();
    if (pass_seen_) {
        pass_seen_ = false;
        CheckRequests(wall);  // only passes ask the sites
        const PassRecord record = ReadPassRecord();
        if (record.ended > last_ended_) {
            last_ended_ = record.ended;
            CheckPass(wall, elapsed, record);
            if (!record.Failed()) CheckNoLeftovers();
        }
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        key.ReadDword("DATVersion", 0, &installed_);
        CheckInstalledSet();
    }
    const int64_t period = schedule_.interval + schedule_.splay_offset;
    longest_period_ = std::max(longest_period_, period);
    // No gap between passes longer than the schedule allows and a wake-up
    // late; a clock step may hold the next check back by the step, but by
    // no more than one interval (beyond that the wrong-clock guard acts).
    const int64_t stepped = std::min(world_.State().clock_stepped - stepped_at_pass_, longest_period_);
    if (passes > 0 && elapsed - last_pass_elapsed_ > longest_period_ + stepped + 2 * 15) {
        Violation("no pass for " + std::to_string(elapsed - last_pass_elapsed_) + " s (the schedule allows " +
                  std::to_string(longest_period_) + " s, clock steps " + std::to_string(stepped) + " s more)");
        last_pass_elapsed_ = elapsed;  // once per gap
    }
    next_before_ = schedule_.next_check;
    period_before_ = period;
    first_wake_of_life_ = false;
    CheckFreshness(elapsed);
    CountDay(elapsed);
    Sample(elapsed);
}

void Checker::CheckPass(int64_t wall, int64_t elapsed, const PassRecord& record) {
    ++passes;
    const bool asked = world_.State().asked > asked_seen_;
    asked_seen_ = world_.State().asked;
    if (asked) ++asked_passes;
    ++day_passes_;
    if (asked) ++day_asked_;
    world_.Note("pass " + std::to_string(record.ended) + ": " + record.result);
    // A pass comes only at or after its check, or when asked, or when the
    // clock went back further than the schedule reaches (the guard).
    const bool due = wall >= next_before_ || next_before_ - wall > period_before_;
    if (!asked && !first_wake_of_life_ && !due) {
        Violation("a pass ran at " + std::to_string(wall) + ", " + std::to_string(next_before_ - wall) +
                  " s before its next check, and nobody asked for it");
    }
    last_pass_elapsed_ = elapsed;
    longest_period_ = 0;
    stepped_at_pass_ = world_.State().clock_stepped;
    if (!record.Failed()) return;
    // A failed pass shows where an operator looks before the next check.
    const VexorCtl::UpdaterReading reading = VexorCtl::ReadUpdater(*rpc_);
    const VexorCtl::HealthVerdict verdict = VexorCtl::JudgeHealth(reading, wall, {});
    if (verdict.state == VexorCtl::kHealthOk) Violation("health says OK after the failed pass: " + record.result);
    if (VexorCtl::MetricsText(reading).find("\nvexor_last_check_success 0\n") == std::string::npos) {
        Violation("the metrics do not show the failed pass: " + record.result);
    }
}

// No request reaches a site before the time its last 429 or 503 named.
void Checker::CheckRequests(int64_t wall) {
    std::ifstream log(world_.Options().root + "/requests.log");
    log.seekg(static_cast<std::streamoff>(requests_read_));
    std::string site;
    int status = 0;
    while (log >> site >> status) {
        if (const auto cool = cool_until_.find(site); cool != cool_until_.end() && wall < cool->second) {
            Violation("the site '" + site + "' was asked " + std::to_string(cool->second - wall) +
                      " s before its Retry-After");
        }
        if (status == 429 || status == 503) {
            std::ifstream mode(world_.Options().root + "/modes/" + site);
            std::string code;
            int64_t retry = 0;
            mode >> code >> retry;
            cool_until_[site] = wall + std::min<int64_t>(retry, 86400);
        }
    }
    log.clear();
    requests_read_ = static_cast<size_t>(log.tellg() < 0 ? requests_read_ : static_cast<size_t>(log.tellg()));
}

// While the site is up, the set is never older than the schedule and the
// publisher's newest version allow.
void Checker::CheckFreshness(int64_t elapsed) {
    const WorldState& state = world_.State();
    if (!state.dat_site_usable || elapsed < state.disturbed_until) return;
    const int64_t allowed = 3600 + 3600 + 60;
    // The site's last 429 or 503 holds the service back until its
    // Retry-After, even when the site is back before that.
    for (const char* site : {"dat", "dat-mirror"}) {
        if (const auto cool = cool_until_.find(site);
            cool != cool_until_.end() && world_.Clock().Now() < cool->second + allowed) {
            return;
        }
    }
    if (elapsed - state.newest_dat_published <= allowed) return;
    if (installed_ < state.newest_dat) {
        Violation("DAT set " + std::to_string(installed_) + " installed, " + std::to_string(state.newest_dat) +
                  " published " + std::to_string(elapsed - state.newest_dat_published) + " s ago on a usable site");
        world_.Note("freshness violation reported");
        const_cast<WorldState&>(state).disturbed_until = elapsed + allowed;  // once per episode
    }
}

// DATPath and DATVersion always name a complete set.
void Checker::CheckInstalledSet() {
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    std::string path;
    uint32_t version = 0;
    key.ReadString("DATPath", "", &path);
    key.ReadDword("DATVersion", 0, &version);
    if (version == 0) return;
    if (fs::path(path).filename() != "avvdat-" + std::to_string(version) + "-files") {
        Violation("DATPath " + path + " does not name DATVersion " + std::to_string(version));
        return;
    }
    for (const char* name : {"avvscan.dat", "avvnames.dat", "avvclean.dat"}) {
        std::error_code error;
        if (fs::file_size(path + "/" + name, error) == 0 || error) Violation("the configured set lacks " + std::string(name));
    }
}

// A pass that succeeded leaves no build folder, archive or temporary folder
// in the DAT folder, whatever a killed or cancelled pass left before it:
// a gateway's disk does not fill up with the remains of crashes.
void Checker::CheckNoLeftovers() {
    std::error_code error;
    for (fs::directory_iterator entry(world_.Options().root + "/dat", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind("~", 0) == 0 || name.rfind("UpdateFrom-", 0) == 0) {
            Violation("a successful pass left " + name + " in the DAT folder");
            return;
        }
    }
}

// Passes per simulated day: 86 400 / interval, within one, plus at most
// those asked for, on each day in which nothing moved the schedule (a clock
// step or a settings change); a restart must not move it.
void Checker::CountDay(int64_t elapsed) {
    const int64_t interval = schedule_.interval;
    if (day_interval_ == 0) day_interval_ = interval;
    if (interval != day_interval_) day_interval_ = -1;
    if (elapsed < (day_ + 1) * 86400) return;
    const bool calm = day_interval_ > 0 && world_.State().schedule_moved_until < day_ * 86400;
    const int64_t expected = calm ? 86400 / day_interval_ : 0;
    // An asked-for pass may stand in for a scheduled one (without a splay
    // every pass sets the next check an interval on), or come on top.
    if (calm && day_ > 0 && (day_passes_ < expected - 1 || day_passes_ > expected + day_asked_ + 1)) {
        Violation("day " + std::to_string(day_) + " had " + std::to_string(day_passes_) + " passes (" +
                  std::to_string(day_asked_) + " asked for) with the interval " + std::to_string(day_interval_) +
                  " s: 86400 / interval is " + std::to_string(expected));
    }
    day_ = elapsed / 86400;
    day_passes_ = day_asked_ = 0;
    day_interval_ = interval;
}

// The service process's open files and resident memory, once a simulated
// day of its life.
void Checker::Sample(int64_t elapsed) {
    if (elapsed < next_sample_) return;
    next_sample_ = elapsed + 86400;
    const std::string proc = "/proc/" + std::to_string(service_);
    int files = 0;
    std::error_code error;
    for (fs::directory_iterator entry(proc + "/fd", error), end; !error && entry != end; entry.increment(error)) ++files;
    int64_t resident = 0;
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) resident = std::atoll(line.c_str() + 6);
    }
    samples_.emplace_back(files, resident);
}

// The processes other than the site server whose command line names the
// scratch root: the service's children (7za, the engine check).
std::vector<std::string> ProcessesOfTheRoot(const std::string& root, pid_t site_server) {
    std::vector<std::string> found;
    std::error_code error;
    for (fs::directory_iterator entry("/proc", error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos || std::stoi(name) == site_server) continue;
        std::ifstream in(entry->path() / "cmdline");
        std::string command((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (char& c : command) c = c == '\0' ? ' ' : c;
        if (command.find(root) != std::string::npos) found.push_back(name + ": " + command);
    }
    return found;
}

void Checker::EndOfLife(bool killed, pid_t site_server) {
    // The first day of a life settles its caches; growth is measured from
    // its second day, in lives of three days or more.
    if (samples_.size() >= 3) {
        ++lives_measured_;
        const auto& [files0, resident0] = samples_[1];
        const auto& [files1, resident1] = samples_.back();
        most_files_ = std::max(most_files_, files1);
        most_resident_ = std::max(most_resident_, resident1);
        if (files1 > files0 + 2) {
            Violation("open files grew from " + std::to_string(files0) + " to " + std::to_string(files1) + " in " +
                      std::to_string(samples_.size()) + " days of one life");
        }
        if (resident1 > resident0 + 32 * 1024) {
            Violation("resident memory grew from " + std::to_string(resident0) + " to " + std::to_string(resident1) +
                      " KiB in " + std::to_string(samples_.size()) + " days of one life");
        }
    }
    if (!killed) return;
    // Its children die with it (their parent-death signal), within moments.
    std::vector<std::string> left;
    for (int attempt = 0; attempt < 100; ++attempt) {
        left = ProcessesOfTheRoot(world_.Options().root, site_server);
        if (left.empty()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Violation("the killed service left " + std::to_string(left.size()) + " process(es) running: " + left.front());
}

void Checker::Finish() {
    std::cout << "soak: " << lives_measured_ << " lives of three days or more measured; at most " << most_files_
              << " open files, " << most_resident_ / 1024 << " MiB resident\n";
}

void PrepareStore(const SoakOptions& options) {
    const std::string& root = options.root;
    fs::create_directories(root + "/opt/vexor");
    fs::create_directories(root + "/etc");
    fs::create_directories(root + "/log");
    fs::create_symlink("/usr/bin/7za", root + "/opt/vexor/7za");
    std::ofstream(root + "/etc/machine-id") << "5b1c9e0d2a4f4e7c8d6b3a291f0e7c44\n";
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    const std::string site = "http://127.0.0.1:" + std::to_string(options.site_port);
    key.WriteString("InstallPath", root + "/opt/vexor/");
    key.WriteString("DATFolder", root + "/dat");
    key.WriteString("LogPath", root + "/log");
    key.WriteString("EnginePath", fs::path(options.engine_library).parent_path().string() + "/");
    key.WriteDword("DATSource", Internet);
    key.WriteString("SourceAddress", site + "/dat");
    key.WriteDword("EngineUpdateSource", Internet);
    key.WriteString("EngineUpdateINETAddress", site + "/engine");
    key.WriteQword("UpdateInterval", 3600);
}

int Run(int days, uint64_t seed) {
    const auto started = std::chrono::steady_clock::now();
    char pattern[] = "/dev/shm/vexor-soak-XXXXXX";
    char fallback[] = "/tmp/vexor-soak-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) made = ::mkdtemp(fallback);
    if (made == nullptr) throw std::runtime_error("no scratch folder");
    const std::string root = made;
    ::setenv("VEXOR_SYSTEM_ROOT", root.c_str(), 1);
    SiteServer sites(root);
    SoakOptions options{days, seed, root, VEXOR_ENGINE_LIBRARY, VEXOR_SAMPLE_SIGNATURES, sites.port()};
    PrepareStore(options);
    RegisterFolderDownloader();
    RegisterInternetDownloader();
    SetEngineCheckProgramForTesting(VEXOR_ENGINE_CHECK);
    SetEngineCheckAccountForTesting("");
    // When a kill hits a pass: a few milliseconds after one of its lines.
    std::mt19937_64 kill_moments(seed);
    SoakWorld world(options);
    Checker checker(world);
    while (!world.Finished()) {
        // One life of the service, in a process of its own: what it keeps
        // in memory starts anew; only the stores and the files stay.
        ServiceProcess service(root, world.Clock());
        CVexorUpdateRpc rpc;
        rpc.CreateBinding(RPCClient::kUpdaterEndpoint);
        // Set by the world's calls that signal the service's loop (their
        // control calls return once the loop's event is set).
        bool signalled = false, stop = false, killed = false;
        world.ask_for_pass = [&] {
            rpc.StartUpdate();
            signalled = true;
        };
        world.cancel_pass = [&] { rpc.StopUpdate(); };
        world.stop_service = [&] { signalled = stop = true; };
        world.kill_service = [&] { signalled = killed = true; };
        world.set_interval = [&](int64_t seconds) {
            RPCClient::DatSettings settings;
            if (rpc.GetDatSourceSettings(settings)) {
                settings.update_interval = seconds;
                signalled = rpc.SetDatSourceSettings(settings);
            }
            checker.ScheduleChanged();
        };
        world.set_dat_site = [&](const std::string& site) {
            RPCClient::DatSettings settings;
            if (rpc.GetDatSourceSettings(settings)) {
                settings.source.source_url = "http://127.0.0.1:" + std::to_string(options.site_port) + "/" + site;
                signalled = rpc.SetDatSourceSettings(settings);
            }
        };
        checker.Attach(service.pid(), &rpc);
        ServiceProcess::Report report;
        while (!killed && service.Next(&report)) {
            checker.Observe(report);
            if (report.kind == ServiceProcess::kLine) {
                world.OnPassLine(report.pass_starts);
                service.Reply(ServiceProcess::kGo);
                // Mid-pass: the pass goes on for a moment, or until it runs
                // a child process (7za, the engine check), then dies.
                if (killed && kill_moments() % 2 == 0) {
                    service.Kill(std::uniform_int_distribution<int64_t>(0, 20'000)(kill_moments));
                } else if (killed) {
                    service.KillWhileAChildRuns(300'000);
                }
                continue;
            }
            checker.AtWakeUp();
            signalled = false;
            world.RunUntil(world.Clock().Elapsed() + report.timeout_s, [&] { return signalled; });
            if (killed) {
                service.Kill();
                break;
            }
            // The checks look at every fifth minute at least.
            world.Clock().SetQuietUntil(stop ? 0 : std::min(world.NextEventAt(), world.Clock().Elapsed() + 300));
            service.Reply(stop ? ServiceProcess::kStop : ServiceProcess::kGo);
            stop = false;
        }
        if (service.stuck()) {
            std::cout << "soak: the service process reported nothing for "
                      << ServiceProcess::kStuckAfterMs / 1000 << " s and was killed; its output is in " << root
                      << "/log/service-output.log\n";
            return 1;
        }
        if (!killed && service.Wait() != 0) {
            std::cout << "soak: the service process ended with status " << service.Wait() << "; its output is in "
                      << root << "/log/service-output.log\n";
            return 1;
        }
        checker.EndOfLife(killed, sites.pid());
        world.ask_for_pass = world.stop_service = world.cancel_pass = world.kill_service = nullptr;
        world.set_interval = nullptr;
        world.set_dat_site = nullptr;
    }
    checker.Finish();
    std::printf("soak: the world restarted the service %d times, killed it %d times (%d during a pass), cancelled %d "
                "passes and asked for %d\n",
                world.State().restarts, world.State().kills, world.State().kills_in_pass, world.State().cancels,
                world.State().asked);
    const double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // VEXOR_SOAK_KEEP=1 keeps the scratch root (sites, store, logs) to look at.
    if (std::getenv("VEXOR_SOAK_KEEP") == nullptr) {
        fs::remove_all(root);
    } else {
        std::printf("soak: kept %s\n", root.c_str());
    }
    std::printf("soak: days=%d seed=%llu passes=%d asked=%d violations=%d wall_s=%.1f\n", days,
                static_cast<unsigned long long>(seed), checker.passes, checker.asked_passes, checker.violations,
                wall_s);
    return checker.violations == 0 ? 0 : 1;
}

}  // namespace
}  // namespace TesselSoftware::Soak

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::atoi(argv[1]) <= 0) {
        std::fprintf(stderr, "Usage: vexor-soak DAYS [SEED]\n");
        return 2;
    }
    try {
        return TesselSoftware::Soak::Run(std::atoi(argv[1]), argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "soak: %s\n", e.what());
        return 2;
    }
}
