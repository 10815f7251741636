// The registry store and the registry lock between processes: what the
// service, the plug-in in the gateway and the tools rely on at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
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

TEST_F(RegistryProcessTest, ReaderUnderTheLockNeverSeesAMismatchedPair) {
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
    // The gateway's account reads through the store's group.
    const std::string store = dir_.path() + "/var/lib/vexor/registry.db";
    ASSERT_EQ(0, ::chown(store.c_str(), 0, Testing::kNobodyId));
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
