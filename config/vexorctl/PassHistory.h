// The service's message history as vexorctl reads it, and how an update
// pass shows in it: its opening line, and its last line ("Check finished."
// or "Error: ...", which a cancel writes too).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/VexorUpdateRpc.h"

namespace TesselSoftware::VexorCtl {

// One message of the service's history.
struct HistoryLine {
    int64_t time = 0;
    std::string text;
    bool operator==(const HistoryLine&) const = default;
};

inline constexpr char kPassStarts[] = "******* Performing update *******";

// false when the service refused (its text is the thread's last error);
// transport failures throw CRPCException.
bool ReadHistory(RPCClient::CVexorUpdateRpc& rpc, std::vector<HistoryLine>* lines);

bool IsPassEnd(const HistoryLine& line);
bool IsPassFailure(const HistoryLine& line);

// The lines of now that came after then. The history is a window of the
// newest messages, so lines that dropped out of it are not reported again.
std::vector<HistoryLine> AddedSince(const std::vector<HistoryLine>& then, const std::vector<HistoryLine>& now);

}  // namespace TesselSoftware::VexorCtl
