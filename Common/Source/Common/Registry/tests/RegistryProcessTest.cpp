// The registry store and the registry lock between processes: what the
// service, the plug-in in the gateway and the tools rely on at once.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "Common/Platform/NamedMutex.h"
#include "Common/Registry/RegistryKey.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

using Testing::SpawnedProcess;

constexpr char kProductKey[] = "SOFTWARE\\Quorvane\\Vexor for Tessel";

class RegistryProcessTest : public ::testing::Test {
protected:
    RegistryProcessTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {
        ::chmod(dir_.path().c_str(), 0755);
        RegistryKey key;
        key.Create(RegistryRoot::kLocalMachine, kProductKey);
    }
    static std::vector<std::string> Probe(std::vector<std::string> args) {
        args.insert(args.begin(), VEXOR_REGISTRY_PROBE);
        return args;
    }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
};

TEST_F(RegistryProcessTest, AReaderNeverSeesAMismatchedPair) {
    SpawnedProcess writer(Probe({"write-pairs", "400"}));
    SpawnedProcess reader(Probe({"read-pairs", "400"}));
    SpawnedProcess second_reader(Probe({"read-pairs", "400"}));
    std::string output;
    EXPECT_EQ(0, reader.Wait(&output)) << output;
    EXPECT_EQ(0, second_reader.Wait(&output)) << output;
    EXPECT_EQ(0, writer.Wait(&output)) << output;

    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyRead);
    EXPECT_EQ(400u, key.ReadRequiredDword("DATVersion"));
    EXPECT_EQ("/dat/avvdat-400-files", key.ReadRequiredString("DATPath"));
}

TEST_F(RegistryProcessTest, WriterKilledMidWriteLeavesEveryValueOldOrNew) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        SCOPED_TRACE(attempt);
        SpawnedProcess writer(Probe({"write-forever"}));
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 70 * attempt));
        writer.Kill(SIGKILL);
        writer.Wait();

        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyAllAccess);
        int lowest = 1 << 30, highest = 0;
        for (int v = 0; v < 10; ++v) {
            std::string text;
            if (!key.ReadString("Value" + std::to_string(v), "", &text)) continue;
            ASSERT_EQ(0u, text.rfind("round ", 0)) << text;
            const int round = std::stoi(text.substr(6));
            lowest = std::min(lowest, round);
            highest = std::max(highest, round);
        }
        // Values are written in order each round: a kill leaves at most two
        // neighbouring rounds, never a torn or missing older value.
        if (highest > 0) {
            EXPECT_LE(highest - lowest, 1);
        }
        key.WriteDword("StillWritable", 1);
    }
}

TEST_F(RegistryProcessTest, AnAccountReadsThroughTheStoresGroupAndIsDeniedElsewhere) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the store to another account";
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyAllAccess);
    key.WriteDword("DATVersion", 4242);
    // The gateway's account reads the readers' copy, through its group.
    const std::string copy = dir_.path() + "/var/lib/vexor/registry.readers.db";
    ASSERT_EQ(0, ::chown(copy.c_str(), 0, Testing::kNobodyId));
    for (const char* folder : {"/var", "/var/lib"}) ::chmod((dir_.path() + folder).c_str(), 0755);
    // The build tree may not be reachable for that account: run a copy.
    const std::string probe = dir_.path() + "/registry_probe";
    std::filesystem::copy_file(VEXOR_REGISTRY_PROBE, probe);
    ::chmod(probe.c_str(), 0755);
    const struct {
        mode_t folder_mode;  // of the store's folder, owned by root:root
        int status;
        const char* output;
    } kCases[] = {
        {0755, 0,
         "DATVersion=4242\n"
         "write: Failed to set value 'DATVersion', 5 - Access is denied.\n"
         "open: Failed to open key 'SOFTWARE\\Quorvane\\Vexor for Tessel', 5 - Access is denied.\n"},
        // A folder the account may not enter hides the file: that is
        // access denied too, not a store that does not exist.
        {0750, 3,
         "exception: Failed to open key 'SOFTWARE\\Quorvane\\Vexor for Tessel', 5 - Access is denied.\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.folder_mode);
        ::chmod((dir_.path() + "/var/lib/vexor").c_str(), c.folder_mode);
        const auto child = Testing::RunInChild(
            [&](int out) {
                ::dup2(out, STDOUT_FILENO);
                char* argv[] = {const_cast<char*>(probe.c_str()), const_cast<char*>("read-only"),
                                nullptr};
                ::execv(argv[0], argv);
                return 127;
            },
            true);
        EXPECT_EQ(c.status, child.status);
        EXPECT_EQ(c.output, child.output);
    }
}

// An account of the store's group (the gateway, the engine check, a
// monitoring account) opens every file of the store's folder it can and
// holds every lock it can take on them: the writers never wait for it, and
// it reads each write once it is done.
TEST_F(RegistryProcessTest, AReaderHoldingEveryFileItCanOpenStopsNoWrite) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a reader of the store's group";
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyAllAccess);
    key.WriteDword("DATVersion", 1);
    const std::string folder = dir_.path() + "/var/lib/vexor";
    for (const char* sub : {"/var", "/var/lib", "/var/lib/vexor"}) ::chmod((dir_.path() + sub).c_str(), 0755);
    ASSERT_EQ(0, ::chown((folder + "/registry.readers.db").c_str(), 0, Testing::kNobodyId));

    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    const pid_t reader = ::fork();
    if (reader == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(Testing::kNobodyId) != 0 || ::setuid(Testing::kNobodyId) != 0) {
            ::_exit(125);
        }
        std::string held;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            struct flock whole = {};
            whole.l_type = F_RDLCK;
            whole.l_whence = SEEK_SET;
            ::fcntl(fd, F_SETLK, &whole);  // every byte, SQLite's lock bytes included
            ::flock(fd, LOCK_SH | LOCK_NB);
            held += entry.path().filename().string() + " ";
        }
        if (::write(ready[1], held.data(), held.size()) < 0) ::_exit(124);
        ::close(ready[1]);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char buffer[512] = {};
    const ssize_t got = ::read(ready[0], buffer, sizeof buffer - 1);
    ::close(ready[0]);
    const std::string held(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    EXPECT_EQ(std::string::npos, held.find("registry.db ")) << held;

    for (uint32_t version = 2; version <= 5; ++version) {
        key.WriteTogether({{"DATPath", true, "/dat/avvdat-" + std::to_string(version) + "-files", 0},
                           {"DATVersion", false, "", version}});
    }
    ::kill(reader, SIGKILL);
    ::waitpid(reader, nullptr, 0);

    const auto read = Testing::RunInChild(
        [&](int out) {
            RegistryKey seen;
            seen.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyRead);
            const std::string text = std::to_string(seen.ReadRequiredDword("DATVersion"));
            return ::write(out, text.data(), text.size()) < 0 ? 1 : 0;
        },
        /*drop_to_nobody=*/true);
    EXPECT_EQ("5", read.output) << "the reader does not see the last write";
}

TEST_F(RegistryProcessTest, DamagedStoreGivesTheCorruptRegistryError) {
    const std::string store = dir_.path() + "/damaged/registry.db";
    Testing::WriteFile(store, std::string(4096, '\x5A'));
    auto damaged = RegistryStore::ForPath(store);
    RegistryStore::Key key;
    EXPECT_EQ(1009u, damaged->OpenKey(damaged->Root(RegistryRoot::kLocalMachine), "SOFTWARE",
                                      kKeyRead, &key));
    EXPECT_EQ(1009u, damaged->CreateKey(damaged->Root(RegistryRoot::kLocalMachine), "SOFTWARE",
                                        kKeyAllAccess, &key, nullptr));
}

TEST(NamedMutex, RecursiveInAThreadExclusiveBetweenThreads) {
    Testing::ScratchDir dir;
    Testing::ScopedEnv root("VEXOR_SYSTEM_ROOT", dir.path());
    uint32_t error = 1;
    auto first = NamedMutex::Open(kRegistryLockName, &error);
    ASSERT_TRUE(first) << error;
    EXPECT_EQ(dir.path() + "/run/lock/vexorft.registrylock", first->path());
    auto second = NamedMutex::Open(kRegistryLockName, &error);  // same lock, other object
    ASSERT_TRUE(first->Lock());
    ASSERT_TRUE(second->Lock());  // recursive across objects of the name
    std::atomic<bool> other_has_it{false};
    std::thread other([&] {
        NamedMutex::Guard guard(*first);
        other_has_it = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(other_has_it.load());
    second->Unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(other_has_it.load());  // still held once
    first->Unlock();
    other.join();
    EXPECT_TRUE(other_has_it.load());

    struct stat info;
    ASSERT_EQ(0, ::stat(first->path().c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);  // its creator alone: no reader can hold it
}

TEST(NamedMutex, OwnerDyingReleasesTheLockToTheNextWaiter) {
    Testing::ScratchDir dir;
    Testing::ScopedEnv root("VEXOR_SYSTEM_ROOT", dir.path());
    SpawnedProcess holder({VEXOR_REGISTRY_PROBE, "hold-lock-and-die"});
    EXPECT_EQ("locked", holder.ReadLine());
    EXPECT_EQ(128 + SIGKILL, holder.Wait());
    uint32_t error = 0;
    auto lock = NamedMutex::Open(kRegistryLockName, &error);
    ASSERT_TRUE(lock);
    EXPECT_TRUE(lock->Lock());
    lock->Unlock();
}

TEST(NamedMutex, ExcludesAnotherProcess) {
    Testing::ScratchDir dir;
    Testing::ScopedEnv root("VEXOR_SYSTEM_ROOT", dir.path());
    uint32_t error = 0;
    auto lock = NamedMutex::Open(kRegistryLockName, &error);
    ASSERT_TRUE(lock);
    ASSERT_TRUE(lock->Lock());
    // While this process holds the lock, the probe's pair writer cannot even
    // start its first pair.
    {
        RegistryKey key;
        key.Create(RegistryRoot::kLocalMachine, kProductKey);
    }
    SpawnedProcess writer({VEXOR_REGISTRY_PROBE, "write-pairs", "1"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyRead);
        uint32_t version = 0;
        EXPECT_FALSE(key.ReadDword("DATVersion", 0, &version));
    }
    lock->Unlock();
    EXPECT_EQ(0, writer.Wait());
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyRead);
    EXPECT_EQ(1u, key.ReadRequiredDword("DATVersion"));
}

}  // namespace
}  // namespace TesselSoftware
