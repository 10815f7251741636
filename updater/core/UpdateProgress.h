// IUpdateProgress: what the update runs and the downloaders report to, and
// poll for cancellation. UpdaterCore implements it; a process has at most one
// current instance, which downloaders made by the factory report to.
#pragma once

#include <cstdarg>
#include <string>

namespace TesselSoftware {

// Codes of ReportProgress; any other code does nothing.
enum ProgressEvent : int {
    kProgressCheckFinished = 0,
    kProgressUnzipping = 4,
    kProgressText = 6,
    kProgressUpToDate = 7,
    kProgressRetrievingMain = 9,
};

class IUpdateProgress {
public:
    IUpdateProgress() = default;
    IUpdateProgress(const IUpdateProgress&) = delete;
    IUpdateProgress& operator=(const IUpdateProgress&) = delete;
    virtual ~IUpdateProgress() = default;

    // printf-style message for the text log and the message history.
    void AddMessage(const char* format, ...) __attribute__((format(printf, 2, 3)));
    virtual void AddMessageText(const std::string& text) = 0;
    virtual bool IsCancelled() const = 0;
    virtual void SetCurrentStatusText(const std::string& text) = 0;
    virtual void ReportProgress(int code, const std::string& text, int number) = 0;
};

// The process's current progress sink, or nullptr. Set by UpdaterCore for
// its lifetime; read by downloaders at construction.
IUpdateProgress* CurrentUpdateProgress();
void SetCurrentUpdateProgress(IUpdateProgress* progress);
// Clears the current sink when it is progress (a newer one stays).
void ClearCurrentUpdateProgress(IUpdateProgress* progress);
// True when the current sink's pass is cancelled (or the service is
// stopping): child processes of a pass ask it to end early.
bool CurrentUpdateCancelled();

}  // namespace TesselSoftware
