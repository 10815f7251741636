#include "service/SignalDispatcher.h"

#include <pthread.h>
#include <signal.h>

namespace TesselSoftware {

namespace {

// SIGUSR2 only ends the dispatcher; it is blocked with the others.
sigset_t DispatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGUSR2}) sigaddset(&set, signal_number);
    return set;
}

}  // namespace

void BlockControlSignals() {
    const sigset_t set = DispatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

SignalDispatcher::SignalDispatcher(std::function<void(int)> on_signal)
    : thread_([on_signal = std::move(on_signal)] {
          const sigset_t set = DispatchedSignals();
          for (;;) {
              int signal_number = 0;
              if (sigwait(&set, &signal_number) != 0) continue;
              if (signal_number == SIGUSR2) return;
              on_signal(signal_number);
          }
      }) {}

SignalDispatcher::~SignalDispatcher() {
    pthread_kill(thread_.native_handle(), SIGUSR2);
    thread_.join();
}

}  // namespace TesselSoftware
