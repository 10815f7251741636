#include "core/UpdateProgress.h"

#include <atomic>
#include <cstdio>

namespace TesselSoftware {

namespace {

std::atomic<IUpdateProgress*> g_current_progress{nullptr};

}  // namespace

void IUpdateProgress::AddMessage(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    AddMessageText(text);
}

IUpdateProgress* CurrentUpdateProgress() { return g_current_progress.load(); }
void SetCurrentUpdateProgress(IUpdateProgress* progress) { g_current_progress.store(progress); }
bool CurrentUpdateCancelled() {
    const IUpdateProgress* progress = CurrentUpdateProgress();
    return progress != nullptr && progress->IsCancelled();
}
void ClearCurrentUpdateProgress(IUpdateProgress* progress) {
    g_current_progress.compare_exchange_strong(progress, nullptr);
}

}  // namespace TesselSoftware
