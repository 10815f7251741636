#include "ArchiveIo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace VexorEngine {

namespace {

constexpr size_t kReadBlock = 64 * 1024;

// libarchive converts each member's DOS time with mktime or localtime_r, and
// with TZ unset the C library re-reads its time-zone state on every such
// call. It guards that state with an internal lock that thread checkers
// cannot see, and the plug-in's threaded tests run under one; so header
// reads and writes take this lock as well, which orders the accesses where
// a checker sees it. A header takes microseconds; data is read outside it.
std::mutex& HeaderLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

long FdSource::Read(uint8_t* buffer, size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) {
            return static_cast<long>(got);
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

long MemorySource::Read(uint8_t* buffer, size_t size) {
    const size_t n = std::min(size, data_.size() - at_);
    std::memcpy(buffer, data_.data() + at_, n);
    at_ += n;
    return static_cast<long>(n);
}

long PrefixedSource::Read(uint8_t* buffer, size_t size) {
    if (at_ < prefix_.size()) {
        const size_t n = std::min(size, prefix_.size() - at_);
        std::memcpy(buffer, prefix_.data() + at_, n);
        at_ += n;
        return static_cast<long>(n);
    }
    return inner_.Read(buffer, size);
}

ArchiveReader::ArchiveReader(ByteSource& source)
    : source_(source), archive_(archive_read_new()), buffer_(kReadBlock) {
    if (archive_ == nullptr) {
        return;
    }
    archive_read_support_format_zip(archive_);
    opened_ =
        archive_read_open2(archive_, this, nullptr, &ReadCallback, nullptr, nullptr) == ARCHIVE_OK;
}

ArchiveReader::~ArchiveReader() {
    if (archive_ != nullptr) {
        archive_read_free(archive_);
    }
}

la_ssize_t ArchiveReader::ReadCallback(archive* a, void* self, const void** buffer) {
    auto* reader = static_cast<ArchiveReader*>(self);
    const long got = reader->source_.Read(reader->buffer_.data(), reader->buffer_.size());
    if (got < 0) {
        archive_set_error(a, EIO, "the archive's source could not be read");
        return -1;
    }
    *buffer = reader->buffer_.data();
    return got;
}

ArchiveReader::Next ArchiveReader::NextEntry() {
    if (!opened_) {
        return Next::kCorrupt;
    }
    int r;
    {
        std::lock_guard<std::mutex> lock(HeaderLock());
        r = archive_read_next_header(archive_, &entry_);
    }
    if (r == ARCHIVE_EOF) {
        return Next::kEnd;
    }
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
        return Next::kCorrupt;
    }
    return Next::kEntry;
}

std::string ArchiveReader::pathname() const {
    const char* name = archive_entry_pathname(entry_);
    return name != nullptr ? name : "";
}

bool ArchiveReader::is_regular_file() const {
    return archive_entry_filetype(entry_) == AE_IFREG;
}

bool ArchiveReader::is_encrypted() const {
    return archive_entry_is_data_encrypted(entry_) != 0;
}

long ArchiveReader::ReadData(uint8_t* buffer, size_t size) {
    const la_ssize_t got = archive_read_data(archive_, buffer, size);
    // A warning means a member whose checksum does not match: damaged.
    return got < 0 ? -1 : static_cast<long>(got);
}

bool FdSink::Write(const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd_, at, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        at += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

ArchiveWriter::ArchiveWriter(ByteSink& sink) : sink_(sink), archive_(archive_write_new()) {
    if (archive_ == nullptr) {
        return;
    }
    ok_ = archive_write_set_format_zip(archive_) == ARCHIVE_OK &&
          archive_write_set_bytes_per_block(archive_, 0) == ARCHIVE_OK &&
          archive_write_open2(archive_, this, nullptr, &WriteCallback, nullptr, nullptr) ==
              ARCHIVE_OK;
}

ArchiveWriter::~ArchiveWriter() {
    if (archive_ != nullptr) {
        archive_write_free(archive_);
    }
}

la_ssize_t ArchiveWriter::WriteCallback(archive* a, void* self, const void* data, size_t size) {
    if (!static_cast<ArchiveWriter*>(self)->sink_.Write(data, size)) {
        archive_set_error(a, EIO, "the rewritten archive could not be written");
        return -1;
    }
    return static_cast<la_ssize_t>(size);
}

bool ArchiveWriter::Add(archive_entry* like, const std::string& data) {
    if (!ok_) {
        return false;
    }
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_clone(like),
                                                                        &archive_entry_free);
    if (!entry) {
        return ok_ = false;
    }
    const bool regular = archive_entry_filetype(entry.get()) == AE_IFREG;
    archive_entry_set_size(entry.get(), regular ? static_cast<la_int64_t>(data.size()) : 0);
    {
        std::lock_guard<std::mutex> lock(HeaderLock());
        ok_ = archive_write_header(archive_, entry.get()) == ARCHIVE_OK;
    }
    if (ok_ && regular && !data.empty()) {
        ok_ = archive_write_data(archive_, data.data(), data.size()) ==
              static_cast<la_ssize_t>(data.size());
    }
    ok_ = ok_ && archive_write_finish_entry(archive_) == ARCHIVE_OK;
    return ok_;
}

bool ArchiveWriter::Finish() {
    if (!ok_ || finished_) {
        return false;
    }
    finished_ = true;
    return archive_write_close(archive_) == ARCHIVE_OK;
}

bool LooksLikeZip(const uint8_t* data, size_t size) {
    return size >= 4 && data[0] == 'P' && data[1] == 'K' &&
           ((data[2] == 3 && data[3] == 4) || (data[2] == 5 && data[3] == 6));
}

}  // namespace VexorEngine
