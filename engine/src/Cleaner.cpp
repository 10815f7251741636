#include "Cleaner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ArchiveIo.h"
#include "UniqueFd.h"

namespace VexorEngine {

namespace {

constexpr size_t kMaxMemberSize = size_t{256} << 20;  // members are rewritten in memory
constexpr size_t kChunk = 64 * 1024;

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;


// A file created beside the target that replaces it on Commit, or is
// removed when the object goes without a commit.
class Replacement {
  public:
    explicit Replacement(const std::string& target)
        : target_(target), temp_(target + ".~vxclean-XXXXXX"), fd_(::mkstemp(temp_.data())) {}
    ~Replacement() {
        fd_.Close();
        if (!committed_) {
            ::unlink(temp_.c_str());
        }
    }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    int fd() const { return fd_.get(); }
    bool Commit(mode_t mode) {
        if (fd_.get() < 0 || ::fchmod(fd_.get(), mode) != 0 || ::fsync(fd_.get()) != 0 ||
            !fd_.Close()) {
            return false;
        }
        committed_ = ::rename(temp_.c_str(), target_.c_str()) == 0;
        return committed_;
    }

  private:
    std::string target_;
    std::string temp_;
    UniqueFd fd_;
    bool committed_ = false;
};

// Sorted, merged copy of the ranges.
Ranges Merge(Ranges ranges) {
    std::sort(ranges.begin(), ranges.end());
    Ranges merged;
    for (const auto& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

// Copies source to sink without the bytes in the (merged) ranges.
bool CopyExcept(ByteSource& source, ByteSink& sink, const Ranges& ranges) {
    std::vector<uint8_t> buffer(kChunk);
    uint64_t at = 0;
    size_t next = 0;
    for (;;) {
        const long got = source.Read(buffer.data(), buffer.size());
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        const uint64_t end = at + static_cast<uint64_t>(got);
        uint64_t from = at;
        while (from < end) {
            while (next < ranges.size() && ranges[next].second <= from) {
                ++next;
            }
            const uint64_t cut = next < ranges.size() ? std::max(ranges[next].first, from) : end;
            const uint64_t keep_end = std::min(cut, end);
            if (keep_end > from && !sink.Write(buffer.data() + (from - at), keep_end - from)) {
                return false;
            }
            from =
                next < ranges.size() ? std::max(keep_end, std::min(ranges[next].second, end)) : end;
        }
        at = end;
    }
}

struct PlanItem {
    std::vector<std::string> member_path;
    bool remove = false;
    Ranges ranges;
};

class Plan {
  public:
    void Add(const Finding& finding, bool remove) {
        for (PlanItem& item : items_) {
            if (item.member_path == finding.member_path) {
                item.remove = item.remove || remove;
                item.ranges.insert(item.ranges.end(), finding.ranges.begin(), finding.ranges.end());
                return;
            }
        }
        items_.push_back(PlanItem{finding.member_path, remove, finding.ranges});
    }
    const PlanItem* Find(const std::vector<std::string>& path) const {
        for (const PlanItem& item : items_) {
            if (item.member_path == path) {
                return &item;
            }
        }
        return nullptr;
    }
    bool HasBelow(const std::vector<std::string>& path) const {
        for (const PlanItem& item : items_) {
            if (item.member_path.size() > path.size() &&
                std::equal(path.begin(), path.end(), item.member_path.begin())) {
                return true;
            }
        }
        return false;
    }

  private:
    std::vector<PlanItem> items_;
};

bool ReadMember(ArchiveReader& reader, std::string* data) {
    std::vector<uint8_t> buffer(kChunk);
    for (;;) {
        const long got = reader.ReadData(buffer.data(), buffer.size());
        if (got < 0 || data->size() + static_cast<size_t>(std::max(got, 0L)) > kMaxMemberSize) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        data->append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(got));
    }
}

// Writes the archive read from `in` to `out`, leaving out the members the
// plan removes, cutting the planned bytes out of others and rewriting the
// containers that hold either. Fails on anything it cannot carry over whole.
bool Rewrite(ByteSource& in, ArchiveWriter& out, const Plan& plan, std::vector<std::string>& path) {
    ArchiveReader reader(in);
    for (;;) {
        const ArchiveReader::Next next = reader.NextEntry();
        if (next == ArchiveReader::Next::kEnd) {
            return true;
        }
        if (next == ArchiveReader::Next::kCorrupt || reader.is_encrypted()) {
            return false;
        }
        path.push_back(reader.pathname());
        const PlanItem* item = plan.Find(path);
        bool ok = true;
        std::string data;
        if (item == nullptr || !item->remove) {
            ok = !reader.is_regular_file() || ReadMember(reader, &data);
            if (ok && item != nullptr) {
                StringSink cut;
                MemorySource whole(data);
                ok = CopyExcept(whole, cut, Merge(item->ranges));
                data.swap(cut.bytes);
            } else if (ok && plan.HasBelow(path)) {
                StringSink rewritten;
                MemorySource whole(data);
                ArchiveWriter inner(rewritten);
                ok = Rewrite(whole, inner, plan, path) && inner.Finish();
                data.swap(rewritten.bytes);
            }
            ok = ok && out.Add(reader.entry(), data);
        }
        path.pop_back();
        if (!ok) {
            return false;
        }
    }
}

bool RewriteFile(const std::string& path, const Plan& plan, bool container) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        return false;
    }
    Replacement replacement(path);
    if (replacement.fd() < 0) {
        return false;
    }
    FdSource source(fd.get());
    FdSink sink(replacement.fd());
    if (container) {
        ArchiveWriter writer(sink);
        std::vector<std::string> member_path;
        if (!Rewrite(source, writer, plan, member_path) || !writer.Finish()) {
            return false;
        }
    } else {
        const PlanItem* top = plan.Find({});
        if (top == nullptr || !CopyExcept(source, sink, Merge(top->ranges))) {
            return false;
        }
    }
    return replacement.Commit(info.st_mode & 07777);
}

}  // namespace

void CleanFile(const Engine& engine, CallbackChannel& channel, const std::string& path,
               const ScanOutcome& outcome) {
    if (outcome.findings.empty()) {
        return;
    }
    // Only a completely scanned object is changed: a part that was not read
    // may hold more of the infection, and could not be carried over anyway.
    bool cleanable = !outcome.skipped_error && !outcome.skipped_limit;
    for (const Finding& finding : outcome.findings) {
        cleanable = cleanable && finding.ranges_complete &&
                    engine.action(finding.signature) != CleanAction::kNone;
    }
    if (!cleanable) {
        channel.Send(kEngineMsgCleanFailed);
        return;
    }
    Plan plan;
    for (const Finding& finding : outcome.findings) {
        const bool remove = engine.action(finding.signature) == CleanAction::kDelete;
        if (remove && finding.member_path.empty()) {
            // The top object itself must go; deleting it is the caller's decision.
            channel.Cleaned(finding.signature, finding.object, kEngineCleanRemoval);
            return;
        }
        plan.Add(finding, remove);
    }
    if (!RewriteFile(path, plan, outcome.top_is_container)) {
        channel.Send(kEngineMsgCleanFailed);
        return;
    }
    for (const Finding& finding : outcome.findings) {
        const bool remove = engine.action(finding.signature) == CleanAction::kDelete;
        channel.Cleaned(finding.signature, finding.object,
                        remove ? kEngineCleanMemberRemoved : kEngineCleanBytesRemoved);
    }
}

}  // namespace VexorEngine
