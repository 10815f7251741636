// The scripted world of the service soak: simulated time, update sites that
// a publisher fills and an operator's misfortunes take down, and the events
// that happen to the service (clock steps, restarts, settings changes,
// requests for a pass). Everything follows from the seed.
//
//   SoakWorld world(options);                   // sites published, store set up
//   SimulatedClock& clock = world.Clock();      // the service reads this one
//   ... the service loop waits through the clock; the world acts inside
//   ... those waits, in time order, on the loop's own thread
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "Common/Clock.h"

namespace TesselSoftware::Soak {

struct SoakOptions {
    int days = 30;
    uint64_t seed = 1;
    std::string root;            // the scratch system root
    std::string engine_library;  // the built stand-in engine, stamped per release
    std::string signatures;      // the publisher's signature list
    int site_port = 0;           // soak_site.py's port
};

// Wall time = start + elapsed + skew. The service's waits run on elapsed
// time (a 15-second wait is 15 seconds of it); the world's events are
// planned on it; a clock step changes only the skew, as an NTP step does.
class SimulatedClock final : public Clock {
public:
    explicit SimulatedClock(int64_t start) : start_(start) {}
    int64_t Now() override { return start_ + elapsed_.load() + skew_.load(); }
    // Runs the world until the time-out has passed or one of the events is
    // set (by the world, or by a control call the world made).
    int WaitForAny(std::initializer_list<AutoResetEvent*> events, int64_t timeout_ms) override;

    int64_t Elapsed() const { return elapsed_.load(); }
    void SetElapsed(int64_t elapsed) { elapsed_.store(elapsed); }
    void Step(int64_t seconds) { skew_.fetch_add(seconds); }
    // Called at the start of each wait (the checks) and to let the world
    // act until an elapsed time (it returns early once an event is set).
    std::function<void()> on_wait;
    std::function<void(int64_t until, const std::function<bool()>& woken)> run_world;

private:
    const int64_t start_;
    std::atomic<int64_t> elapsed_{0};
    std::atomic<int64_t> skew_{0};
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
