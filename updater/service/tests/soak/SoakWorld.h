// The scripted world of the service soak: simulated time, update sites that
// a publisher fills and an operator's misfortunes take down, and the events
// that happen to the service (clock steps, restarts, settings changes,
// requests for a pass). Everything follows from the seed.
//
//   SoakWorld world(options);                 // sites published, store set up
//   ... the service, in a process of its own, reports each wait of its
//   ... loop; the world acts until the wait's end (RunUntil), in time order
#pragma once

#include <atomic>
#include <initializer_list>
#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>


namespace TesselSoftware::Soak {

struct SoakOptions {
    int days = 30;
    uint64_t seed = 1;
    std::string root;            // the scratch system root
    std::string engine_library;  // the built stand-in engine, stamped per release
    std::string signatures;      // the publisher's signature list
    int site_port = 0;           // soak_site.py's port
};

// The simulated time, in memory that the world's process and the service's
// process (forked from it) share: the world moves it, the service reads it.
struct SharedTime {
    std::atomic<int64_t> elapsed{0};
    std::atomic<int64_t> skew{0};
    // Until this elapsed time the world has nothing to do and the checks
    // need no wake-up: the service's waits that end before it run on their
    // own, without a report (the world writes it while the service waits).
    std::atomic<int64_t> quiet_until{0};
};
static_assert(std::atomic<int64_t>::is_always_lock_free, "shared across processes");

// Wall time = start + elapsed + skew. The service's waits run on elapsed
// time (a 15-second wait is 15 seconds of it); the world's events are
// planned on it; a clock step changes only the skew, as an NTP step does.
// The world's side: the service process reads the same time through
// ServiceSideClock (SoakService.h).
class SimulatedClock {
public:
    explicit SimulatedClock(int64_t start);
    ~SimulatedClock();
    SimulatedClock(const SimulatedClock&) = delete;
    SimulatedClock& operator=(const SimulatedClock&) = delete;

    int64_t Start() const { return start_; }
    int64_t Now() const { return start_ + time_->elapsed.load() + time_->skew.load(); }
    int64_t Elapsed() const { return time_->elapsed.load(); }
    void SetElapsed(int64_t elapsed) { time_->elapsed.store(elapsed); }
    void Step(int64_t seconds) { time_->skew.fetch_add(seconds); }
    void SetQuietUntil(int64_t elapsed) { time_->quiet_until.store(elapsed); }
    SharedTime* Shared() const { return time_; }

private:
    const int64_t start_;
    SharedTime* time_;  // a shared anonymous mapping, made before any fork
};

// What the checks need to know of the world at a moment.
struct WorldState {
    uint32_t newest_dat = 0;             // the publisher's newest DAT version
    int64_t newest_dat_published = 0;    // its elapsed publication time
    bool dat_site_usable = true;         // up, not busy, not broken
    int64_t disturbed_until = 0;         // elapsed: no freshness promise before this
    int64_t schedule_moved_until = 0;    // elapsed: a clock step or settings change settles
    int64_t clock_stepped = 0;           // the clock's steps so far, each counted positive
    int asked = 0;                       // passes asked for so far
    int cancel_after_lines = 0;          // > 0: cancel the next pass after this many of its lines
    int cancels = 0;                     // passes cancelled so far
    int kill_after_lines = 0;            // > 0: kill the service during the next pass, at this line
    int kills = 0;                       // the service killed so far
    int kills_in_pass = 0;               // of those, during a pass
    int restarts = 0;
};

class SoakWorld {
public:
    explicit SoakWorld(SoakOptions options);
    SoakWorld(const SoakWorld&) = delete;
    SoakWorld& operator=(const SoakWorld&) = delete;

    SimulatedClock& Clock() { return clock_; }
    const SoakOptions& Options() const { return options_; }
    const WorldState& State() const { return state_; }
    // The elapsed time of the next planned event (the run's end without one).
    int64_t NextEventAt() const;
    bool Finished() const { return clock_.Elapsed() >= static_cast<int64_t>(options_.days) * 86400; }
    // Acts on every planned event up to elapsed time until, in order,
    // returning early once woken() says the service has been signalled.
    void RunUntil(int64_t until, const std::function<bool()>& woken);

    // Hooks for the service of the moment: ask for a pass, stop it.
    std::function<void()> ask_for_pass;
    // Called for each line the running pass writes; cancels the pass (as
    // "vexorctl cancel" does) at the planned line.
    void OnPassLine(bool pass_starts);
    std::function<void()> cancel_pass;
    std::function<void()> stop_service;
    // Kills the service process (SIGKILL) at once: at a wake-up, or during a
    // pass at the planned line.
    std::function<void()> kill_service;
    std::function<void(int64_t interval)> set_interval;
    // Points the DAT source at another address of the same site.
    std::function<void(const std::string& site)> set_dat_site;

    // The last events, newest last, for a violation's report.
    const std::deque<std::string>& Recent() const { return recent_; }
    void Note(const std::string& line);

private:
    struct Event {
        int64_t at;  // elapsed seconds
        int kind;
        int64_t value;
        bool operator>(const Event& other) const { return at > other.at; }
    };
    void Plan();
    void Apply(const Event& event);
    void PublishDat(bool broken);
    void PublishEngine();
    void SetMode(const std::string& site, const std::string& mode);
    void Disturb(int64_t until);
    void Kill();

    SoakOptions options_;
    SimulatedClock clock_;
    std::mt19937_64 random_;
    std::vector<Event> events_;  // a heap on at
    WorldState state_;
    std::string signatures_;
    std::string key_;  // the publisher's secret key file; "" for an unsigned world
    uint32_t engine_release_ = 0;
    int lines_in_pass_ = 0;
    int64_t interval_ = 3600;
    int64_t splay_ = 0;
    bool on_mirror_ = false;  // the DAT source names "dat-mirror" rather than "dat"
    std::deque<std::string> recent_;
};

}  // namespace TesselSoftware::Soak
