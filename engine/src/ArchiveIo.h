// Byte sources and sinks, and RAII wrappers of libarchive's ZIP reader and
// writer over them. A member of an archive is itself a source, so nested
// archives are read in one stream without being unpacked to disk.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <string>
#include <vector>

namespace VexorEngine {

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Up to size bytes into buffer: the count, 0 at the end, -1 on failure.
    virtual long Read(uint8_t* buffer, size_t size) = 0;
};

// Reads the whole of an open descriptor it does not own.
class FdSource : public ByteSource {
  public:
    explicit FdSource(int fd) : fd_(fd) {}
    long Read(uint8_t* buffer, size_t size) override;

  private:
    int fd_;
};

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(const std::string& data) : data_(data) {}
    long Read(uint8_t* buffer, size_t size) override;

  private:
    const std::string& data_;
    size_t at_ = 0;
};

// Bytes already read from inner (a sniffed prefix), then the rest of inner.
class PrefixedSource : public ByteSource {
  public:
    PrefixedSource(const uint8_t* prefix, size_t size, ByteSource& inner)
        : prefix_(prefix, prefix + size), inner_(inner) {}
    long Read(uint8_t* buffer, size_t size) override;

  private:
    std::vector<uint8_t> prefix_;
    size_t at_ = 0;
    ByteSource& inner_;
};

// A ZIP archive read front to back from a source (no seeking).
class ArchiveReader {
  public:
    enum class Next { kEntry, kEnd, kCorrupt };

    explicit ArchiveReader(ByteSource& source);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    Next NextEntry();
    archive_entry* entry() const { return entry_; }
    std::string pathname() const;
    bool is_regular_file() const;
    bool is_encrypted() const;
    // The current entry's data: the count, 0 at its end, -1 when it is damaged.
    long ReadData(uint8_t* buffer, size_t size);

  private:
    static la_ssize_t ReadCallback(archive* a, void* self, const void** buffer);

    ByteSource& source_;
    archive* archive_ = nullptr;
    archive_entry* entry_ = nullptr;
    bool opened_ = false;
    std::vector<uint8_t> buffer_;
};

// The current entry of a reader, as a source.
class MemberSource : public ByteSource {
  public:
    explicit MemberSource(ArchiveReader& reader) : reader_(reader) {}
    long Read(uint8_t* buffer, size_t size) override { return reader_.ReadData(buffer, size); }

  private:
    ArchiveReader& reader_;
};

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual bool Write(const void* data, size_t size) = 0;
};

class FdSink : public ByteSink {
  public:
    explicit FdSink(int fd) : fd_(fd) {}
    bool Write(const void* data, size_t size) override;

  private:
    int fd_;
};

class StringSink : public ByteSink {
  public:
    bool Write(const void* data, size_t size) override {
        bytes.append(static_cast<const char*>(data), size);
        return true;
    }
    std::string bytes;
};

// A ZIP archive written to a sink; Finish must succeed for the archive to be
// complete.
class ArchiveWriter {
  public:
    explicit ArchiveWriter(ByteSink& sink);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Writes an entry like `like` (name, mode, times) holding data; entries
    // other than regular files are written without data.
    bool Add(archive_entry* like, const std::string& data);
    bool Finish();

  private:
    static la_ssize_t WriteCallback(archive* a, void* self, const void* data, size_t size);

    ByteSink& sink_;
    archive* archive_ = nullptr;
    bool ok_ = false;
    bool finished_ = false;
};

bool LooksLikeZip(const uint8_t* data, size_t size);

}  // namespace VexorEngine
