// Control signals taken by one thread with sigwait, never in a handler.
//
//   BlockControlSignals();          // first thing in main, before any thread
//   SignalDispatcher dispatcher([](int signal) { service.Stop(); });
#pragma once

#include <functional>
#include <thread>

namespace TesselSoftware {

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread (and so in every
// thread started from it later) and ignores SIGPIPE.
void BlockControlSignals();

class SignalDispatcher {
public:
    // Calls on_signal on the dispatcher's thread for each SIGTERM, SIGINT or
    // SIGHUP. REQUIRES: BlockControlSignals() ran before any thread started.
    explicit SignalDispatcher(std::function<void(int)> on_signal);
    ~SignalDispatcher();
    SignalDispatcher(const SignalDispatcher&) = delete;
    SignalDispatcher& operator=(const SignalDispatcher&) = delete;

private:
    std::thread thread_;
};

}  // namespace TesselSoftware
