// The service of the soak in a process of its own, so the world can kill it
// (SIGKILL) as a power supply or an OOM killer would, at any moment.
//
//   ServiceProcess service(root, world.Clock());    // forks one life
//   ServiceProcess::Report report;
//   while (service.Next(&report)) {                 // the service waits or
//       ... the world runs to the wait's end ...    // writes a pass line
//       service.Reply(ServiceProcess::kGo);
//   }
//   service.Kill();  or  service.Wait();
//
// The service process runs the production loop, downloaders, stores, logs
// and control endpoint; its clock reads the shared simulated time, and each
// wait of its loop is a report the world answers once it has run to the
// wait's end (or signalled the service through the control endpoint).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "SoakWorld.h"

namespace TesselSoftware::Soak {

class ServiceProcess {
public:
    // What the service reports: a wait of its loop (timeout_s of simulated
    // time), or a line of its message history (written by the loop thread).
    struct Report {
        char kind = 0;  // kWait or kLine
        bool pass_starts = false;
        int64_t timeout_s = 0;
        // The loop's schedule at the report.
        int64_t next_check = 0;
        int64_t interval = 0;
        int64_t splay_offset = 0;
    };
    static constexpr char kWait = 'W', kLine = 'L';
    static constexpr char kGo = 'G', kStop = 'S';  // replies; kStop ends the loop as the service's Stop does

    // Forks the service's life; throws when the process cannot be made.
    ServiceProcess(const std::string& root, const SimulatedClock& clock);
    ~ServiceProcess();  // kills a process still running
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The next report; false once the process has ended or was killed, or
    // when it sent none for kStuckAfterMs of real time (then it is killed
    // and stuck() says so).
    bool Next(Report* report);
    bool stuck() const { return stuck_; }
    static constexpr int kStuckAfterMs = 120'000;
    void Reply(char reply);
    // SIGKILL, after delay_us of real time, and the process reaped.
    void Kill(int64_t delay_us = 0);
    // SIGKILL once the service runs a child process (7za, the engine
    // check), or after timeout_us of real time without one.
    void KillWhileAChildRuns(int64_t timeout_us);
    // Reaps an ended process: 0 after an orderly life, else a failure.
    int Wait();

private:
    pid_t pid_ = -1;
    int reports_ = -1;  // read end
    int replies_ = -1;  // write end
    bool reaped_ = false;
    bool stuck_ = false;
    int status_ = 0;
};

}  // namespace TesselSoftware::Soak
