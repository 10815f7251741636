// A second process for the registry store's multi-process tests.
//
//   registry_probe write-pairs N     writes N DATPath/DATVersion pairs under the lock, each in one transaction
//   registry_probe read-pairs N      reads N pairs, each at one moment; exit 1 on a mismatch
//   registry_probe write-forever     rewrites ten values in a loop until killed
//   registry_probe read-only         reads DATVersion, then tries to write it
//   registry_probe hold-lock-and-die takes the registry lock and is killed holding it
//
// Uses the store of $VEXOR_SYSTEM_ROOT.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Common/Platform/NamedMutex.h"
#include "Common/Registry/RegistryKey.h"

using namespace TesselSoftware;

namespace {

constexpr char kProductKey[] = "SOFTWARE\\Quorvane\\Vexor for Tessel";

std::string PathFor(uint32_t version) { return "/dat/avvdat-" + std::to_string(version) + "-files"; }

std::shared_ptr<NamedMutex> RegistryLock() {
    uint32_t error = 0;
    auto lock = NamedMutex::Open(kRegistryLockName, &error);
    if (!lock) {
        std::fprintf(stderr, "cannot open the registry lock: %u\n", error);
        std::exit(2);
    }
    return lock;
}

// As the service's writers do: under the registry lock, one transaction.
int WritePairs(int count) {
    auto lock = RegistryLock();
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKey);
    for (int i = 1; i <= count; ++i) {
        NamedMutex::Guard guard(*lock);
        key.WriteTogether({{"DATPath", true, PathFor(static_cast<uint32_t>(i)), 0},
                           {"DATVersion", false, "", static_cast<uint32_t>(i)}});
    }
    return 0;
}

// Readers take no lock: the pair is read in one read transaction.
int ReadPairs(int count) {
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyRead);
    for (int i = 0; i < count; ++i) {
        const auto pair = key.ReadValuesTogether({"DATPath", "DATVersion"});
        const auto path = RegistryStringOf(pair[0]);
        const auto version = RegistryDwordOf(pair[1]);
        if (path.has_value() != version.has_value() || (path && *path != PathFor(*version))) {
            std::printf("mismatch: %s with %u\n", path.value_or("").c_str(), version.value_or(0));
            return 1;
        }
    }
    return 0;
}

int WriteForever() {
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKey);
    for (uint32_t round = 1;; ++round) {
        for (int v = 0; v < 10; ++v) {
            key.WriteString("Value" + std::to_string(v), "round " + std::to_string(round));
        }
    }
}

int ReadOnly() {
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyRead);
    std::printf("DATVersion=%u\n", key.ReadRequiredDword("DATVersion"));
    try {
        key.WriteDword("DATVersion", 1);
        std::printf("write succeeded\n");
    } catch (const CRegKeyException& e) {
        std::printf("write: %s\n", e.Message().c_str());
    }
    try {
        RegistryKey writer;
        writer.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyRead | kKeySetValue);
        std::printf("open for writing succeeded\n");
    } catch (const CRegKeyException& e) {
        std::printf("open: %s\n", e.Message().c_str());
    }
    return 0;
}

int HoldLockAndDie() {
    auto lock = RegistryLock();
    lock->Lock();
    std::printf("locked\n");
    std::fflush(stdout);
    ::kill(::getpid(), SIGKILL);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string command = argv[1];
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;
    try {
        if (command == "write-pairs") return WritePairs(count);
        if (command == "read-pairs") return ReadPairs(count);
        if (command == "write-forever") return WriteForever();
        if (command == "read-only") return ReadOnly();
        if (command == "hold-lock-and-die") return HoldLockAndDie();
    } catch (const ExceptionBase& e) {
        std::printf("exception: %s\n", e.Message().c_str());
        return 3;
    }
    return 2;
}
