#include "vexorctl/PassHistory.h"

#include <algorithm>

#include "Common/Text/TextConversion.h"

namespace TesselSoftware::VexorCtl {

bool ReadHistory(RPCClient::CVexorUpdateRpc& rpc, std::vector<HistoryLine>* lines) {
    RPCClient::TRPCClientArray<VexorLogEntry> entries;
    if (!rpc.GetLogEntries(entries)) return false;
    lines->clear();
    for (int32_t i = 0; i < entries.Count(); ++i) {
        lines->push_back({entries[i].time, entries[i].text != nullptr ? WideToNarrow(entries[i].text) : ""});
    }
    return true;
}

bool IsPassFailure(const HistoryLine& line) { return line.text.rfind("Error: ", 0) == 0; }

bool IsPassEnd(const HistoryLine& line) { return line.text == "Check finished." || IsPassFailure(line); }

// The longest end of then that now starts with is what both hold; a window
// that moved past all of then is new throughout.
std::vector<HistoryLine> AddedSince(const std::vector<HistoryLine>& then, const std::vector<HistoryLine>& now) {
    for (size_t shared = std::min(then.size(), now.size()); shared > 0; --shared) {
        if (std::equal(then.end() - static_cast<ptrdiff_t>(shared), then.end(), now.begin())) {
            return {now.begin() + static_cast<ptrdiff_t>(shared), now.end()};
        }
    }
    return now;
}

}  // namespace TesselSoftware::VexorCtl
