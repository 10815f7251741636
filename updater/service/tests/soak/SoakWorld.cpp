#include "SoakWorld.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "SitePublisher.h"

namespace TesselSoftware::Soak {

namespace fs = std::filesystem;

namespace {

constexpr int64_t kHour = 3600, kDay = 86400;
constexpr VexorPublisher::Date kPublished{2026, 12, 1};
// After a disturbance the freshness promise needs an interval and a splay
// of the longest kind, and a wake-up, before it holds again.
constexpr int64_t kSettle = 3600 + 3600 + 60;

enum Kind : int {
    kPublishDat, kRepairDat, kReleaseEngine, kDatDown, kDatUp, kDatBusy, kDatIdle, kEngineBusy, kEngineIdle,
    kClockStep, kRestart, kSetInterval, kSetSplay, kAskForPass, kArmCancel, kSwitchSource, kKill,
};

const char* KindName(int kind) {
    static const char* const kNames[] = {"publish DAT", "repair DAT site", "engine release", "DAT site down",
                                         "DAT site up", "DAT site busy", "DAT site idle", "engine site busy",
                                         "engine site idle", "clock step", "restart", "interval", "splay",
                                         "ask for a pass", "cancel the next pass", "switch the DAT source",
                                         "kill the service"};
    return kNames[kind];
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

// Points the served name at a new tree in one rename, as a publisher's
// deployment does; the tree before stays until the next swap.
void Serve(const std::string& sites, const std::string& name, const std::string& tree) {
    const std::string link = sites + "/" + name, staged = link + ".new";
    fs::remove(staged);
    fs::create_symlink(fs::path(tree).filename(), staged);
    fs::rename(staged, link);
}

}  // namespace

SimulatedClock::SimulatedClock(int64_t start) : start_(start) {
    void* shared = ::mmap(nullptr, sizeof(SharedTime), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) throw std::runtime_error("no shared memory for the simulated clock");
    time_ = new (shared) SharedTime;
}

SimulatedClock::~SimulatedClock() {
    time_->~SharedTime();
    ::munmap(time_, sizeof(SharedTime));
}

SoakWorld::SoakWorld(SoakOptions options)
    : options_(std::move(options)), clock_(1'800'000'000), random_(options_.seed) {
    std::ifstream in(options_.signatures);
    signatures_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    for (const char* folder : {"/sites", "/modes", "/etc/vexor/trusted-keys"}) fs::create_directories(options_.root + folder);
    if (options_.seed % 2 == 0) {
        std::string error;
        if (!VexorPublisher::WriteKeyPair(options_.root + "/publisher", &error)) throw std::runtime_error(error);
        key_ = options_.root + "/publisher/vexor-publisher.key";
        fs::copy_file(options_.root + "/publisher/vexor-publisher.pub",
                      options_.root + "/etc/vexor/trusted-keys/publisher.pub");
    }
    {
        // Some fleets start with a splay, some without.
        static const int64_t kSplays[] = {0, 900, 3600};
        splay_ = kSplays[options_.seed % 3];
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteDword("UpdateSplaySeconds", static_cast<uint32_t>(splay_));
    }
    state_.newest_dat = 99;
    PublishDat(false);
    PublishEngine();
    Plan();
}

void SoakWorld::Plan() {
    const int64_t end = static_cast<int64_t>(options_.days) * kDay;
    const auto uniform = [this](int64_t low, int64_t high) {
        return std::uniform_int_distribution<int64_t>(low, high)(random_);
    };
    const auto every = [&](int64_t low, int64_t high, const std::function<void(int64_t)>& plan) {
        for (int64_t at = uniform(low, high); at < end; at += uniform(low, high)) plan(at);
    };
    const auto add = [this](int64_t at, int kind, int64_t value) { events_.push_back({at, kind, value}); };
    every(2 * kHour, 8 * kHour, [&](int64_t at) {
        const bool broken = uniform(0, 9) == 0;
        add(at, kPublishDat, broken);
        if (broken) add(at + uniform(kHour, 6 * kHour), kRepairDat, 0);
    });
    every(14 * kDay, 35 * kDay, [&](int64_t at) { add(at, kReleaseEngine, 0); });
    every(2 * kDay, 6 * kDay, [&](int64_t at) {
        add(at, kDatDown, 0);
        add(at + uniform(30 * 60, 8 * kHour), kDatUp, 0);
    });
    every(3 * kDay, 8 * kDay, [&](int64_t at) {
        const int64_t retry = uniform(600, 12 * kHour);
        add(at, kDatBusy, uniform(0, 1) == 0 ? -retry : retry);  // negative: 503
        add(at + retry + uniform(0, kHour), kDatIdle, 0);
    });
    every(5 * kDay, 15 * kDay, [&](int64_t at) {
        const int64_t retry = uniform(kHour, kDay);
        add(at, kEngineBusy, retry);
        add(at + retry + uniform(0, kHour), kEngineIdle, 0);
    });
    every(4 * kDay, 12 * kDay, [&](int64_t at) {
        add(at, kClockStep, uniform(0, 1) == 0 ? -uniform(30, kHour) : uniform(30, kHour));
    });
    if (options_.days >= 20) {  // a clock set a year ahead, then corrected
        const int64_t at = uniform(kDay, end - 2 * kDay);
        add(at, kClockStep, 365 * kDay);
        add(at + uniform(kHour, 6 * kHour), kClockStep, -365 * kDay);
    }
    every(kDay, 5 * kDay, [&](int64_t at) { add(at, kRestart, 0); });
    every(5 * kDay, 15 * kDay, [&](int64_t at) {
        static const int64_t kIntervals[] = {600, 900, 1800, 3600};
        add(at, kSetInterval, kIntervals[uniform(0, 3)]);
    });
    every(7 * kDay, 20 * kDay, [&](int64_t at) {
        static const int64_t kSplays[] = {0, 300, 900, 3600};
        add(at, kSetSplay, kSplays[uniform(0, 3)]);
    });
    every(6 * kHour, 3 * kDay, [&](int64_t at) { add(at, kAskForPass, 0); });
    every(2 * kDay, 6 * kDay, [&](int64_t at) { add(at, kArmCancel, uniform(1, 12)); });
    every(5 * kDay, 15 * kDay, [&](int64_t at) { add(at, kSwitchSource, 0); });
    // SIGKILL: half of them while the service waits, half during a pass at
    // one of its lines. From a stream of their own, so a seed's world is
    // otherwise the one it was before kills were planned.
    std::mt19937_64 kill_random(options_.seed ^ 0x6b696c6cULL);
    const auto kill_uniform = [&](int64_t low, int64_t high) {
        return std::uniform_int_distribution<int64_t>(low, high)(kill_random);
    };
    for (int64_t at = kill_uniform(2 * kDay, 6 * kDay); at < end; at += kill_uniform(2 * kDay, 6 * kDay)) {
        add(at, kKill, kill_uniform(0, 1) == 0 ? 0 : kill_uniform(1, 14));
    }
    std::make_heap(events_.begin(), events_.end(), std::greater<Event>());
}

void SoakWorld::Note(const std::string& line) {
    recent_.push_back("day " + std::to_string(clock_.Elapsed() / kDay) + " +" +
                      std::to_string(clock_.Elapsed() % kDay) + " s (wall " + std::to_string(clock_.Now()) +
                      "): " + line);
    if (recent_.size() > 24) recent_.pop_front();
}

int64_t SoakWorld::NextEventAt() const {
    const int64_t end = static_cast<int64_t>(options_.days) * kDay;
    return events_.empty() ? end : std::min(end, events_.front().at);
}

void SoakWorld::RunUntil(int64_t until, const std::function<bool()>& woken) {
    while (!events_.empty() && events_.front().at <= until) {
        std::pop_heap(events_.begin(), events_.end(), std::greater<Event>());
        const Event event = events_.back();
        events_.pop_back();
        clock_.SetElapsed(std::max(clock_.Elapsed(), event.at));
        Note(std::string(KindName(event.kind)) + " " + std::to_string(event.value));
        Apply(event);
        if (woken()) return;
    }
    clock_.SetElapsed(std::max(clock_.Elapsed(), until));
    if (Finished() && stop_service) stop_service();
    woken();
}

void SoakWorld::OnPassLine(bool pass_starts) {
    if (pass_starts) lines_in_pass_ = 0;
    ++lines_in_pass_;
    if (state_.kill_after_lines > 0 && lines_in_pass_ >= state_.kill_after_lines) {
        state_.kill_after_lines = 0;
        ++state_.kills_in_pass;
        Note("during the pass, after its line " + std::to_string(lines_in_pass_));
        Kill();
        return;
    }
    if (state_.cancel_after_lines <= 0 || lines_in_pass_ < state_.cancel_after_lines) return;
    state_.cancel_after_lines = 0;
    ++state_.cancels;
    Note("cancel during the pass");
    Disturb(clock_.Elapsed());  // the set it was installing comes a check later
    if (cancel_pass) cancel_pass();
}

void SoakWorld::Kill() {
    ++state_.kills;
    Note("SIGKILL to the service");
    Disturb(clock_.Elapsed());
    state_.schedule_moved_until = clock_.Elapsed() + kSettle;  // its pass may not have recorded its check
    if (kill_service) kill_service();
}

void SoakWorld::Disturb(int64_t until) { state_.disturbed_until = std::max(state_.disturbed_until, until + kSettle); }

void SoakWorld::SetMode(const std::string& site, const std::string& mode) {
    WriteText(options_.root + "/modes/" + site, mode + "\n");
    // The DAT site's mirror is down, busy and up with it.
    if (site == "dat") WriteText(options_.root + "/modes/dat-mirror", mode + "\n");
}

void SoakWorld::Apply(const Event& event) {
    const int64_t now = clock_.Elapsed();
    switch (event.kind) {
        case kPublishDat:
            PublishDat(event.value != 0);
            break;
        case kRepairDat:
            --state_.newest_dat;  // the same version again, whole
            PublishDat(false);
            break;
        case kReleaseEngine: PublishEngine(); break;
        case kDatDown:
            SetMode("dat", "down");
            state_.dat_site_usable = false;
            break;
        case kDatUp:
            SetMode("dat", "up");
            state_.dat_site_usable = true;
            Disturb(now);
            break;
        case kDatBusy:
            SetMode("dat", (event.value < 0 ? "503 " : "429 ") + std::to_string(std::abs(event.value)));
            state_.dat_site_usable = false;
            break;
        case kDatIdle:
            SetMode("dat", "up");
            state_.dat_site_usable = true;
            Disturb(now + kDay);  // a cool-down kept from the site's answer may outlast it
            break;
        case kEngineBusy: SetMode("engine", "429 " + std::to_string(event.value)); break;
        case kEngineIdle: SetMode("engine", "up"); break;
        case kClockStep:
            clock_.Step(event.value);
            state_.clock_stepped += std::abs(event.value);
            Disturb(now);
            state_.schedule_moved_until = now + kSettle;
            break;
        case kRestart:
            ++state_.restarts;
            Disturb(now);
            if (stop_service) stop_service();
            break;
        case kSetInterval:
            interval_ = event.value;
            Disturb(now);
            state_.schedule_moved_until = now + kSettle;
            if (set_interval) set_interval(event.value);
            break;
        case kSetSplay: {
            splay_ = event.value;
            Disturb(now);
            state_.schedule_moved_until = now + kSettle;
            RegistryKey key;
            key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
            key.WriteDword("UpdateSplaySeconds", static_cast<uint32_t>(event.value));
            break;
        }
        case kAskForPass:
            ++state_.asked;
            if (ask_for_pass) ask_for_pass();
            break;
        case kArmCancel: state_.cancel_after_lines = static_cast<int>(event.value); break;
        case kKill:
            if (event.value == 0) {
                Kill();
            } else {
                state_.kill_after_lines = static_cast<int>(event.value);
            }
            break;
        case kSwitchSource:
            // The same site under another address (a mirror): what the
            // address's cool-down said does not hold for the other one.
            on_mirror_ = !on_mirror_;
            Disturb(now);
            if (set_dat_site) set_dat_site(on_mirror_ ? "dat-mirror" : "dat");
            break;
        default: break;
    }
}

void SoakWorld::PublishDat(bool broken) {
    const uint32_t version = ++state_.newest_dat;
    const uint32_t first = std::max<uint32_t>(100, version > 3 ? version - 3 : 1);
    VexorPublisher::SiteFaults faults;
    if (broken) {
        // No patch reaches the new version and its archive is damaged: no
        // pass can install it until the publisher repairs the site.
        faults.corrupt = VexorPublisher::Corrupt::kArchive;
        if (version > first) faults.drop_patch = version - 1;
    }
    const std::string tree = options_.root + "/sites/dat-" + std::to_string(version) + (broken ? "-broken" : "");
    fs::remove_all(tree);
    std::string error;
    if (!VexorPublisher::WriteSite(signatures_, first, version, version - first, kPublished, faults, tree, &error) ||
        (!key_.empty() && !VexorPublisher::SignTree(tree, key_, &error))) {
        throw std::runtime_error("publishing DAT " + std::to_string(version) + ": " + error);
    }
    Serve(options_.root + "/sites", "dat", tree);
    Serve(options_.root + "/sites", "dat-mirror", tree);
    if (!broken) {
        state_.newest_dat_published = clock_.Elapsed();
    } else {
        Disturb(clock_.Elapsed() + kDay);
    }
    // Older trees go, but for the last few (a pass may still read one).
    for (const auto& entry : fs::directory_iterator(options_.root + "/sites")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("dat-", 0) != 0 || name.size() < 5 || !std::isdigit(static_cast<unsigned char>(name[4]))) continue;
        const uint32_t old = static_cast<uint32_t>(std::strtoul(name.c_str() + 4, nullptr, 10));
        if (old + 3 < version) fs::remove_all(entry.path());
    }
}

void SoakWorld::PublishEngine() {
    ++engine_release_;
    VexorPublisher::EngineRelease release;
    release.version = "6.5." + std::to_string(engine_release_) + ".0";
    release.engine_dir = "engine-" + std::to_string(engine_release_);
    release.library = options_.engine_library;
    release.date = kPublished;
    const std::string tree = options_.root + "/sites/engine-" + std::to_string(engine_release_);
    std::string error;
    if (!VexorPublisher::WriteEngineRelease(release, {}, tree, &error) ||
        (!key_.empty() && !VexorPublisher::SignTree(tree, key_, &error))) {
        throw std::runtime_error("publishing engine " + release.version + ": " + error);
    }
    Serve(options_.root + "/sites", "engine", tree);
}

}  // namespace TesselSoftware::Soak
