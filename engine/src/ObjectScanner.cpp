#include "ObjectScanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ArchiveIo.h"
#include "PatternMatcher.h"
#include "UniqueFd.h"

namespace VexorEngine {

namespace {

constexpr size_t kChunk = 64 * 1024;


// Remembers whether the source underneath failed, so that a container whose
// own stream broke is told apart from a damaged container inside a sound one.
class WatchedSource : public ByteSource {
  public:
    explicit WatchedSource(ByteSource& inner) : inner_(inner) {}
    long Read(uint8_t* buffer, size_t size) override {
        const long got = inner_.Read(buffer, size);
        if (got < 0) {
            failed_ = true;
        }
        return got;
    }
    bool failed() const { return failed_; }

  private:
    ByteSource& inner_;
    bool failed_ = false;
};

class Scanner {
  public:
    Scanner(const Engine& engine, CallbackChannel& channel, const ScanLimits& limits)
        : engine_(engine), channel_(channel), limits_(limits) {}

    ScanOutcome ScanTop(const std::string& path) {
        // Non-blocking, so that a FIFO cannot hold the scan at open; only
        // regular files are read (a device could stream for ever).
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (fd.get() < 0) {
            const int error = errno;
            Skip(error == EACCES || error == EPERM     ? kEngineReasonAccess
                 : error == ENOENT || error == ENOTDIR ? kEngineReasonNotFound
                                                       : kEngineReasonReadError);
            return std::move(outcome_);
        }
        struct stat info;
        if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
            ::fcntl(fd.get(), F_SETFL, 0) != 0) {
            Skip(kEngineReasonReadError);
            return std::move(outcome_);
        }
        if (info.st_size == 0) {
            Skip(kEngineReasonZeroSize);
            return std::move(outcome_);
        }
        FdSource source(fd.get());
        std::vector<std::string> member_path;
        ScanObject(source, path, member_path, 0);
        return std::move(outcome_);
    }

  private:
    // Collects the matches of one object; reports each signature once.
    class ObjectSink : public MatchSink {
      public:
        ObjectSink(Scanner& scanner, const std::string& name,
                   const std::vector<std::string>& member_path)
            : scanner_(scanner), name_(name), member_path_(member_path) {}

        void OnMatch(uint32_t pattern, uint64_t start) override {
            std::vector<Finding>& findings = scanner_.outcome_.findings;
            Finding* finding = nullptr;
            for (const size_t index : mine_) {
                if (findings[index].signature == pattern) {
                    finding = &findings[index];
                }
            }
            if (finding == nullptr) {
                mine_.push_back(findings.size());
                findings.push_back(Finding{name_, member_path_, pattern, {}, true});
                finding = &findings.back();
                scanner_.channel_.Infected(pattern, name_, scanner_.engine_.name(pattern), start);
            }
            if (finding->ranges.size() < scanner_.limits_.max_ranges) {
                finding->ranges.emplace_back(start,
                                             start + scanner_.engine_.matcher().length(pattern));
            } else {
                finding->ranges_complete = false;
            }
        }

      private:
        Scanner& scanner_;
        const std::string& name_;
        const std::vector<std::string>& member_path_;
        std::vector<size_t> mine_;  // this object's entries in the findings
    };

    // Member data, counted against the unpacked-size limit.
    class CountedSource : public ByteSource {
      public:
        CountedSource(Scanner& scanner, ByteSource& inner) : scanner_(scanner), inner_(inner) {}
        long Read(uint8_t* buffer, size_t size) override {
            if (scanner_.limit_hit_) {
                return -1;
            }
            const long got = inner_.Read(buffer, size);
            if (got > 0) {
                scanner_.unpacked_ += static_cast<uint64_t>(got);
                if (scanner_.unpacked_ > scanner_.limits_.max_unpacked_bytes) {
                    scanner_.limit_hit_ = true;
                    return -1;
                }
            }
            return got;
        }

      private:
        Scanner& scanner_;
        ByteSource& inner_;
    };

    void Skip(uint16_t reason) {
        channel_.NotScanned(reason);
        (reason == kEngineReasonLimit ? outcome_.skipped_limit : outcome_.skipped_error) = true;
    }

    // Reports a source that failed: a file that cannot be read, a damaged
    // container member, or the size limit (reported once, where it tripped).
    void SourceFailed(int depth) {
        if (limit_hit_) {
            if (!limit_reported_) {
                Skip(kEngineReasonLimit);
            }
            limit_reported_ = true;
            return;
        }
        Skip(depth == 0 ? kEngineReasonReadError : kEngineReasonCorrupt);
    }

    // Reads until at least `want` bytes or the end; -1 on failure.
    static long ReadAtLeast(ByteSource& source, uint8_t* buffer, size_t size, size_t want) {
        size_t have = 0;
        while (have < want) {
            const long got = source.Read(buffer + have, size - have);
            if (got < 0) {
                return -1;
            }
            if (got == 0) {
                break;
            }
            have += static_cast<size_t>(got);
        }
        return static_cast<long>(have);
    }

    // Returns false when the object's source failed (the caller's container
    // then stops); an object damaged inside a sound stream returns true.
    bool ScanObject(ByteSource& source, const std::string& name,
                    std::vector<std::string>& member_path, int depth) {
        std::vector<uint8_t> buffer(kChunk);
        const long first = ReadAtLeast(source, buffer.data(), buffer.size(), 4);
        if (first < 0) {
            SourceFailed(depth);
            return false;
        }
        if (LooksLikeZip(buffer.data(), static_cast<size_t>(first))) {
            if (depth >= limits_.max_depth) {
                Skip(kEngineReasonLimit);
                return true;
            }
            if (depth == 0) {
                outcome_.top_is_container = true;
            }
            PrefixedSource prefixed(buffer.data(), static_cast<size_t>(first), source);
            WatchedSource watched(prefixed);
            buffer = {};
            ScanContainer(watched, name, member_path, depth);
            return !watched.failed();
        }
        MatchStream stream(engine_.matcher());
        ObjectSink sink(*this, name, member_path);
        stream.Feed(buffer.data(), static_cast<size_t>(first), sink);
        for (;;) {
            const long got = source.Read(buffer.data(), buffer.size());
            if (got == 0) {
                return true;
            }
            if (got < 0) {
                SourceFailed(depth);
                return false;
            }
            stream.Feed(buffer.data(), static_cast<size_t>(got), sink);
        }
    }

    void ScanContainer(WatchedSource& source, const std::string& name,
                       std::vector<std::string>& member_path, int depth) {
        channel_.Send(kEngineMsgContainerStart);
        ArchiveReader reader(source);
        for (;;) {
            const ArchiveReader::Next next = reader.NextEntry();
            if (next == ArchiveReader::Next::kEnd) {
                break;
            }
            if (next == ArchiveReader::Next::kCorrupt) {
                if (source.failed()) {
                    SourceFailed(depth + 1);
                } else {
                    Skip(kEngineReasonCorrupt);
                }
                break;
            }
            if (!reader.is_regular_file()) {
                continue;
            }
            if (++members_ > limits_.max_members) {
                Skip(kEngineReasonLimit);
                break;
            }
            const std::string member = reader.pathname();
            const std::string member_name = name + "/" + member;
            member_path.push_back(member);
            bool source_ok = true;
            {
                ObjectScope scope(channel_, member_name);
                if (reader.is_encrypted()) {
                    Skip(kEngineReasonEncrypted);
                } else {
                    MemberSource data(reader);
                    CountedSource counted(*this, data);
                    source_ok = ScanObject(counted, member_name, member_path, depth + 1);
                }
            }
            member_path.pop_back();
            if (!source_ok || limit_hit_) {
                break;
            }
        }
        channel_.Send(kEngineMsgContainerEnd);
    }

    const Engine& engine_;
    CallbackChannel& channel_;
    const ScanLimits& limits_;
    ScanOutcome outcome_;
    uint64_t unpacked_ = 0;
    uint32_t members_ = 0;
    bool limit_hit_ = false;
    bool limit_reported_ = false;
};

}  // namespace

uint16_t ScanOutcome::Summary() const {
    if (!findings.empty()) {
        return kEngineSummaryInfected;
    }
    if (skipped_error) {
        return kEngineSummaryNotScannedError;
    }
    if (skipped_limit) {
        return kEngineSummaryNotScannedLimit;
    }
    return kEngineSummaryOk;
}

ScanOutcome ScanFile(const Engine& engine, CallbackChannel& channel, const std::string& path,
                     const ScanLimits& limits) {
    return Scanner(engine, channel, limits).ScanTop(path);
}

}  // namespace VexorEngine
