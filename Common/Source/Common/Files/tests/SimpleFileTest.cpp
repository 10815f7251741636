#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "Common/Errors/Win32Error.h"
#include "Common/Files/SimpleFile.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

using Testing::ReadFile;
using Testing::ScratchDir;
using Testing::WriteFile;

TEST(CSimpleFile, ConstructingFromAMissingNameThrowsWithCodeAndText) {
    ScratchDir dir;
    const std::string missing = dir / "missing.ini";
    try {
        CSimpleFile file(missing);
        FAIL() << "no exception";
    } catch (const CSimpleFileEx& e) {
        EXPECT_EQ(2, e.Code());
        EXPECT_EQ("CSimpleFile: " + missing + " - 2 - The system cannot find the file specified.\r\n",
                  e.Message());
    }
}

TEST(CSimpleFile, BlockReadsEndWithZeroAndTheEndFlag) {
    ScratchDir dir;
    WriteFile(dir / "data", std::string(2500, 'x'));
    CSimpleFile file(dir / "data");
    EXPECT_FALSE(file.IsEndOrFailed());
    EXPECT_EQ(2500u, file.GetLength());
    char block[1024];
    EXPECT_EQ(1024u, file.Read(block, sizeof block));
    EXPECT_EQ(1024u, file.Read(block, sizeof block));
    EXPECT_EQ(452u, file.Read(block, sizeof block));
    EXPECT_FALSE(file.IsEndOrFailed());
    EXPECT_EQ(0u, file.Read(block, sizeof block));
    EXPECT_TRUE(file.IsEndOrFailed());
}

TEST(CSimpleFile, ReadExactShortReadNamesBothCounts) {
    ScratchDir dir;
    WriteFile(dir / "data", std::string(200, 'x'));
    CSimpleFile file(dir / "data");
    EXPECT_EQ(160u, file.Seek(-40, CSimpleFile::kEnd));
    char buffer[100];
    try {
        file.ReadExact(buffer, sizeof buffer);
        FAIL() << "no exception";
    } catch (const CSimpleFileEx& e) {
        EXPECT_EQ(0, e.Code());
        EXPECT_EQ("ReadExact: read only 40 bytes requested 100", e.Message());
    }
    EXPECT_TRUE(file.IsOpen());  // the object keeps its handle after a throw
    EXPECT_EQ(0u, file.SeekToBegin());
    EXPECT_EQ(100u, file.ReadExact(buffer, sizeof buffer));
}

TEST(CSimpleFile, DetachHandsTheDescriptorOverOpen) {
    ScratchDir dir;
    WriteFile(dir / "data", "hello");
    int fd;
    {
        CSimpleFile file(dir / "data");
        fd = file.Detach();
        EXPECT_FALSE(file.IsOpen());
        EXPECT_TRUE(file.IsEndOrFailed());
        EXPECT_FALSE(file.Close());  // nothing left to close
    }
    char buffer[5];
    EXPECT_EQ(5, ::read(fd, buffer, sizeof buffer));
    ::close(fd);
}

TEST(CSimpleFile, AttachWithoutOwnershipLeavesTheDescriptorOpen) {
    ScratchDir dir;
    WriteFile(dir / "data", "abc");
    const int fd = ::open((dir / "data").c_str(), O_RDONLY);
    {
        CSimpleFile file(fd, false);
        EXPECT_EQ(fd, file.GetHandle());
        EXPECT_EQ(3u, file.GetLength());
    }
    EXPECT_EQ(0, ::fcntl(fd, F_GETFD) < 0 ? -1 : 0);
    ::close(fd);
}

TEST(CSimpleFile, CreateRefusesAnExistingFileThenWritesAndTruncates) {
    ScratchDir dir;
    CSimpleFile file;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(file.IsEndOrFailed());
    ASSERT_TRUE(file.Create(dir / "new", 0));
    EXPECT_EQ(10u, file.Write("0123456789", 10));
    EXPECT_EQ(10u, file.GetPosition());
    EXPECT_EQ(4u, file.Seek(4, CSimpleFile::kBegin));
    EXPECT_TRUE(file.SetEndOfFile());
    EXPECT_TRUE(file.Close());
    EXPECT_EQ("0123", ReadFile(dir / "new"));

    CSimpleFile again;
    EXPECT_FALSE(again.Create(dir / "new", 0));
    EXPECT_EQ(Win32::kAlreadyExists, GetLastError());
    EXPECT_TRUE(again.IsEndOrFailed());
}

TEST(CSimpleFile, FailingOperationsThrowWithTheirPrefix) {
    ScratchDir dir;
    WriteFile(dir / "ro", "data");
    CSimpleFile file;
    ASSERT_TRUE(file.OpenExisting(dir / "ro", CSimpleFile::kGenericRead, 0));
    try {
        file.Write("x", 1);
        FAIL() << "no exception";
    } catch (const CSimpleFileEx& e) {
        EXPECT_EQ(6, e.Code());
        EXPECT_EQ("Write: 6 - The handle is invalid.\r\n", e.Message());
    }
    try {
        file.Seek(-10, CSimpleFile::kBegin);
        FAIL() << "no exception";
    } catch (const CSimpleFileEx& e) {
        EXPECT_EQ("Seek: 87 - The parameter is incorrect.\r\n", e.Message());
    }
    CSimpleFile closed;
    EXPECT_THROW(closed.GetLength(), CSimpleFileEx);
}

// A file that is being executed cannot be opened for writing (ETXTBSY): the
// Linux form of a sharing violation, which Open retries.
class BusyExecutable {
public:
    explicit BusyExecutable(const std::string& path) : path_(path) {
        std::filesystem::copy_file("/bin/sleep", path);
        ::chmod(path.c_str(), 0755);
        char arg0[] = "sleep", arg1[] = "30";
        char* argv[] = {arg0, arg1, nullptr};
        EXPECT_EQ(0, ::posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environ));
        // Wait until the kernel has the file mapped for execution.
        for (int i = 0; i < 200; ++i) {
            const int fd = ::open(path.c_str(), O_WRONLY);
            if (fd < 0 && errno == ETXTBSY) return;
            if (fd >= 0) ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the executable never became busy";
    }
    ~BusyExecutable() { Stop(); }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    std::string path_;
    pid_t pid_ = -1;
};

TEST(CSimpleFile, OpenRetriesASharingViolationForTheWholeSeconds) {
    ScratchDir dir;
    const std::string busy = dir / "busy";
    BusyExecutable executable(busy);
    CSimpleFile file;

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(file.Open(busy, CSimpleFile::kGenericWrite, 0, CSimpleFile::kOpenExisting, 500));
    EXPECT_EQ(Win32::kSharingViolation, GetLastError());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900))
        << "500 ms is less than one whole second: no second attempt";

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        executable.Stop();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(file.Open(busy, CSimpleFile::kGenericWrite, 0, CSimpleFile::kOpenExisting, 5000));
    const auto waited = std::chrono::steady_clock::now() - start;
    releaser.join();
    EXPECT_GE(waited, std::chrono::milliseconds(1200));
    EXPECT_LT(waited, std::chrono::milliseconds(4500));
}

TEST(CSimpleFile, OpenDoesNotRetryOtherErrors) {
    ScratchDir dir;
    CSimpleFile file;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(file.Open(dir / "missing", CSimpleFile::kGenericRead, 0,
                           CSimpleFile::kOpenExisting, 3000));
    EXPECT_EQ(Win32::kFileNotFound, GetLastError());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

}  // namespace
}  // namespace TesselSoftware
