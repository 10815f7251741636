// The local RPC runtime over a real socket, with procedures of fixed answers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <grp.h>
#include <sys/xattr.h>

#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/MachineLayout.h"
#include "Common/Rpc/RpcFrameChannel.h"
#include "ControlTestSupport.h"

namespace TesselSoftware {
namespace {

using namespace Testing;
namespace Stub = UpdaterControl::Client;

class RpcRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.Start(procedures_)); }

    // One GetStatus call on connection; its result or the error number.
    static uint32_t Status(RpcClientConnection& connection) {
        int64_t last = 0, next = 0;
        uint8_t running = 0;
        char16_t* status = nullptr;
        const uint32_t error = CallError([&] { Stub::UpdaterGetStatus(connection, &last, &next, &running, &status); });
        RpcFree(status);
        return error != 0 ? error : (last == 1234 ? 0 : Win32::kGenFailure);
    }
    // A valid request stub of UpdaterSetDatSettings.
    static std::vector<uint8_t> SetDatSettingsStub() {
        NdrWriter out;
        out.WriteHyper(600);
        out.WriteEnum16(2);
        out.WriteUniqueString(u"http://example.test/dat");
        out.WriteSmall(1);
        out.WriteUniqueString(u"proxy");
        out.WriteShort(8080);
        out.WriteSmall(0);
        for (const char16_t* text : {u"user", u"", u"/srv/dat", u"\\\\server\\share", u"share-user"}) {
            out.WriteUniqueString(text);
        }
        out.WriteUniqueString(nullptr);
        return out.TakeBytes();
    }

    ScratchDir dir_;
    RecordingLog log_;
    ScriptedProcedures procedures_;
    TestServer server_{dir_.path(), &log_};
};

TEST_F(RpcRuntimeTest, RefusesOtherInterfacesAndVersionsAndUnknownOpnums) {
    const SyntaxId served = UpdaterControl::InterfaceSyntax();
    const SyntaxId other_uuid{*ParseUuid("8ee43b67-09d6-4773-9c3a-b26af6222818"), 2, 0};
    for (const SyntaxId& syntax : {SyntaxId{served.uuid, 3, 0}, SyntaxId{served.uuid, 1, 0},
                                   SyntaxId{served.uuid, 2, 1}, other_uuid}) {
        auto connection = Connect(syntax);
        EXPECT_EQ(Win32::kUnknownInterface, Status(*connection)) << syntax.major << "." << syntax.minor;
    }
    auto connection = Connect();
    for (uint16_t opnum : {uint16_t{9}, uint16_t{100}, uint16_t{0xFFFF}}) {
        EXPECT_EQ(Win32::kProcNumOutOfRange, CallError([&] { connection->Call(opnum, {}); })) << opnum;
    }
    EXPECT_EQ(0u, Status(*connection));  // the same connection goes on
}

TEST_F(RpcRuntimeTest, EveryPrefixOfARequestIsBadStubDataAndTheNextCallIsServed) {
    const std::vector<uint8_t> stub = SetDatSettingsStub();
    auto connection = Connect();
    ASSERT_EQ(0u, CallError([&] { connection->Call(UpdaterControl::kUpdaterSetDatSettings, stub); }));
    for (size_t size = 0; size < stub.size(); ++size) {
        const std::span<const uint8_t> prefix(stub.data(), size);
        ASSERT_EQ(Win32::kBadStubData,
                  CallError([&] { connection->Call(UpdaterControl::kUpdaterSetDatSettings, prefix); }))
            << size;
    }
    EXPECT_EQ(0u, Status(*connection));
    EXPECT_EQ(2, procedures_.calls.load());  // no malformed request reached a procedure
}

TEST_F(RpcRuntimeTest, TargetedMutationsOfARequestAreBadStubData) {
    // Offsets in the SetDatSettings stub: the enum at 8, then SourceUrl's
    // referent at 12, maximum count at 16, offset at 20, actual count at 24
    // and its 24 units from 28.
    const struct Row {
        const char* name;
        size_t offset;
        std::vector<uint8_t> bytes;
    } rows[] = {
        {"enumeration above 0x7FFF", 8, {0x00, 0x80}},
        {"counts beyond the request", 16, {0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0x7f}},
        {"nonzero offset", 20, {0x01, 0x00, 0x00, 0x00}},
        {"actual count above the maximum", 24, {0x19, 0x00, 0x00, 0x00}},
        {"no terminator", 28 + 23 * 2, {'x', 0x00}},
        {"a terminator inside", 28, {0x00, 0x00}},
    };
    auto connection = Connect();
    for (const Row& row : rows) {
        std::vector<uint8_t> stub = SetDatSettingsStub();
        std::copy(row.bytes.begin(), row.bytes.end(), stub.begin() + static_cast<ptrdiff_t>(row.offset));
        EXPECT_EQ(Win32::kBadStubData,
                  CallError([&] { connection->Call(UpdaterControl::kUpdaterSetDatSettings, stub); }))
            << row.name;
    }
    EXPECT_EQ(0u, Status(*connection));
    EXPECT_EQ(1, procedures_.calls.load());
}

TEST_F(RpcRuntimeTest, MutatedFramesNeverStopTheServer) {
    const auto frames = BuildRequestFragments(2, 0, UpdaterControl::kUpdaterSetDatSettings, SetDatSettingsStub(), 5840);
    ASSERT_EQ(1u, frames.size());
    BindPdu bind{5840, 5840, 0, {{0, UpdaterControl::InterfaceSyntax(), {NdrTransferSyntax()}}}};
    const std::vector<uint8_t> bind_frame = BuildBind(PduType::kBind, 1, bind);
    std::mt19937 random(20261208);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> request = frames[0];
        std::vector<uint8_t> binding = bind_frame;
        std::vector<uint8_t>& target = round % 4 == 0 ? binding : request;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) target[random() % target.size()] = static_cast<uint8_t>(random());
        const int fd = RawConnect();
        ASSERT_GE(fd, 0);
        RpcFrameChannel channel(fd, -1);
        std::vector<uint8_t> answer;
        if (channel.Write(binding, 300) && channel.ReadFrame(&answer, 300, 300) == FrameStatus::kOk &&
            answer[2] == static_cast<uint8_t>(PduType::kBindAck) && channel.Write(request, 300)) {
            // A fault, a response or a hang-up are all fine; only a crash is not.
            channel.ReadFrame(&answer, 300, 300);
        }
    }
    auto connection = Connect();
    EXPECT_EQ(0u, Status(*connection));
}

TEST_F(RpcRuntimeTest, PeersThatStallOrVanishDoNotHoldACallThread) {
    server_.server().SetTimeoutsForTesting(5000, 200);
    // Half a frame, then nothing.
    const int half = RawConnect();
    const auto bind = BuildBind(PduType::kBind, 1, BindPdu{5840, 5840, 0, {{0, UpdaterControl::InterfaceSyntax(), {NdrTransferSyntax()}}}});
    ASSERT_EQ(10, ::send(half, bind.data(), 10, MSG_NOSIGNAL));
    // A caller that never reads a large answer.
    procedures_.on_status = [](char16_t** status) {
        std::u16string text(300000, u'x');
        *status = RpcCopyString(text.c_str());
        return uint8_t{1};
    };
    const int deaf = RawConnect();
    RpcFrameChannel deaf_channel(deaf, -1);
    std::vector<uint8_t> answer;
    ASSERT_TRUE(deaf_channel.Write(bind, 1000));
    ASSERT_EQ(FrameStatus::kOk, deaf_channel.ReadFrame(&answer, 1000, 1000));
    ASSERT_TRUE(deaf_channel.Write(BuildRequestFragments(2, 0, UpdaterControl::kUpdaterGetStatus, {}, 5840)[0], 1000));
    // A caller that hangs up between the fragments of its request.
    {
        const int gone = RawConnect();
        RpcFrameChannel channel(gone, -1);
        ASSERT_TRUE(channel.Write(bind, 1000));
        ASSERT_EQ(FrameStatus::kOk, channel.ReadFrame(&answer, 1000, 1000));
        const auto fragments = BuildRequestFragments(2, 0, UpdaterControl::kUpdaterSetDatSettings, SetDatSettingsStub(), 80);
        ASSERT_TRUE(channel.Write(fragments[0], 1000));
    }
    EXPECT_TRUE(WaitUntil([&] { return server_.server().ConnectionCount() == 0; }, std::chrono::seconds(10)));
    ::close(half);
    procedures_.on_status = nullptr;
    auto connection = Connect();
    EXPECT_EQ(0u, Status(*connection));
}

TEST_F(RpcRuntimeTest, AnythingAProcedureThrowsFailsThatCallAlone) {
    auto connection = Connect();
    procedures_.on_status = [](char16_t**) -> uint8_t { throw std::runtime_error("broken"); };
    EXPECT_EQ(Win32::kCallFailed, Status(*connection));
    procedures_.on_status = [](char16_t**) -> uint8_t { throw 42; };
    EXPECT_EQ(Win32::kCallFailed, Status(*connection));
    procedures_.on_status = nullptr;
    EXPECT_EQ(0u, Status(*connection));
}

TEST_F(RpcRuntimeTest, LargeRequestsAndAnswersTravelInFragments) {
    const std::u16string long_text(20000, u'\u00e9');
    procedures_.on_status = [&](char16_t** status) {
        *status = RpcCopyString(long_text.c_str());
        return uint8_t{1};
    };
    auto connection = Connect();
    connection->SetMaxFragment(256);
    int64_t last = 0, next = 0;
    uint8_t running = 0;
    char16_t* status = nullptr;
    ASSERT_EQ(1, Stub::UpdaterGetStatus(*connection, &last, &next, &running, &status));
    EXPECT_EQ(long_text, std::u16string(status));
    RpcFree(status);
    char16_t* error = nullptr;
    EXPECT_EQ(1, Stub::UpdaterSetEngineSettings(*connection, 1, long_text.c_str(), 0, u"", 0, 0, u"", u"", u"",
                                                u"", u"", u"", &error));
}

// Blocks each GetStatus call until released, counting those inside. The
// held calls sleep on a condition variable: a thousand threads polling a
// flag would take the machine's cores from the callers still connecting.
class HeldCalls {
public:
    explicit HeldCalls(ScriptedProcedures& procedures) {
        procedures.on_status = [this](char16_t**) {
            ++inside;
            std::unique_lock lock(mutex_);
            released_.wait(lock, [this] { return release_; });
            return uint8_t{1};
        };
    }
    // Starts count callers, each on a connection of its own.
    void Start(int count, const std::function<uint32_t(RpcClientConnection&)>& call) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, call] {
                auto connection = Connect();
                if (call(*connection) == 0) ++succeeded;
            });
        }
    }
    void Finish() {
        {
            std::lock_guard lock(mutex_);
            release_ = true;
        }
        released_.notify_all();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }
    std::atomic<int> inside{0};
    std::atomic<int> succeeded{0};

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool release_ = false;  // GUARDED_BY(mutex_)
    std::vector<std::thread> threads_;
};

TEST_F(RpcRuntimeTest, HoldsTheMostConcurrentCalls) {
#ifdef __SANITIZE_THREAD__
    // Thousands of threads are beyond what the race checker runs in time;
    // it checks the same paths with fewer.
    const int clients = 100;
#else
    const int clients = static_cast<int>(CRPCServer::kMaxConcurrentCalls);
#endif
    HeldCalls held(procedures_);
    held.Start(clients, Status);
    EXPECT_TRUE(WaitUntil([&] { return held.inside == clients; }, std::chrono::seconds(50))) << held.inside;
    held.Finish();
    EXPECT_EQ(clients, held.succeeded.load());
}

TEST_F(RpcRuntimeTest, UnregisteringWaitsForRunningCallsAndRefusesNewOnes) {
    HeldCalls held(procedures_);
    held.Start(3, Status);
    ASSERT_TRUE(WaitUntil([&] { return held.inside == 3; }));
    auto bound = Connect();
    ASSERT_EQ(0u, CallError([&] { bound->Call(UpdaterControl::kUpdaterStartUpdate, {}); }));
    std::atomic<bool> unregistered{false};
    std::thread unregister([&] {
        server_.server().UnregisterAll();
        unregistered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(unregistered);
    EXPECT_EQ(Win32::kUnknownInterface, Status(*bound));  // a bound caller is refused now
    EXPECT_EQ(Win32::kUnknownInterface, Status(*Connect()));  // and so is a new one
    held.Finish();
    unregister.join();
    EXPECT_EQ(3, held.succeeded.load());
}

TEST(RpcEndpoint, ASecondServerFailsAfterSevenAttemptsAndAStaleSocketDoesNot) {
    ScratchDir dir;
    ScriptedProcedures procedures;
    RecordingLog log;
    TestServer first(dir.path());
    ASSERT_TRUE(first.Start(procedures));
    {
        TestServer second(dir.path(), &log);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(second.server().UseEndpoint(kEndpoint));
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(6 * 5));
        EXPECT_EQ(Win32::kDuplicateEndpoint, second.server().LastStatus());
        ASSERT_EQ(1u, log.Lines().size());
        EXPECT_EQ("-1 RpcServerUseProtseqEp returned 0x6cc - 1740 - The endpoint is a duplicate.\r\n\n",
                  log.Lines()[0]);
        EXPECT_FALSE(second.server().Listen());
        EXPECT_EQ("-1 RpcServerListen returned: 0x6b2\n", log.Lines()[1]);
        EXPECT_TRUE(second.server().RegisterInterface(UpdaterControl::ServerInterface(procedures)));
        EXPECT_FALSE(second.server().RegisterInterface(UpdaterControl::ServerInterface(procedures)));
        EXPECT_EQ("-1 RpcServerRegisterIf returned 0x6b0 - 1712 - The type UUID has already been registered.\r\n\n",
                  log.Lines()[2]);
    }
    char host[256] = {};
    ::gethostname(host, sizeof host);
    ASSERT_EQ(1u, first.server().Bindings().size());
    EXPECT_EQ("ncalrpc:" + std::string(host).substr(0, 15) + "[VexorfTUpdater_RPC64]", first.server().Bindings()[0]);
}

TEST(RpcEndpoint, AStaleSocketFileFromACrashDoesNotStopTheNextStart) {
    ScratchDir dir;
    ScopedEnv env("VEXOR_SYSTEM_ROOT", dir.path());
    ASSERT_TRUE(EnsureDirectory(MachineLayout::RuntimeDirectory(), true));
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", RpcEndpointPath(kEndpoint).c_str());
        ASSERT_EQ(0, ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address));
        ::close(fd);  // the file stays, as after a crash
    }
    ScriptedProcedures procedures;
    TestServer server(dir.path());
    ASSERT_TRUE(server.Start(procedures));
    struct stat info {};
    ASSERT_EQ(0, ::stat(RpcEndpointPath(kEndpoint).c_str(), &info));
    EXPECT_EQ(0660u, info.st_mode & 07777);
    EXPECT_EQ(0u, CallError([&] { Connect()->Call(UpdaterControl::kUpdaterStartUpdate, {}); }));
}

// In a forked child run as root: becomes nobody with the given groups.
bool BecomeNobody(const std::vector<gid_t>& groups) {
    return ::setgroups(groups.size(), groups.data()) == 0 && ::setgid(kNobodyId) == 0 && ::setuid(kNobodyId) == 0;
}

// A server whose policy names root, an administrators' group and a readers'
// group, under a scratch root other accounts may enter; the tests act as
// those accounts from forked children, so they need root.
class RpcAccountsTest : public ::testing::Test {
protected:
    static constexpr gid_t kAdmins = 47001, kReaders = 47002;
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other accounts";
        ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
        server_.server().SetAccessPolicy({{0}, kAdmins, kReaders});
        ASSERT_TRUE(server_.Start(procedures_));
    }
    // Readers reach the socket through an ACL, where the file system has them.
    static bool SocketHasAcl() {
        return ::getxattr(RpcEndpointPath(kEndpoint).c_str(), "system.posix_acl_access", nullptr, 0) > 0;
    }

    ScratchDir dir_;
    ScriptedProcedures procedures_;
    TestServer server_{dir_.path()};
};

// Callers are told apart by their socket credentials.
TEST_F(RpcAccountsTest, AdministratorsCallEverythingReadersOnlyReadOthersNothing) {
    const bool acl = SocketHasAcl();
    // Each row: the groups of an unprivileged caller, then what its calls of
    // opnums 0, 3, 4, 1 and 6 end with.
    struct Row {
        const char* who;
        std::vector<gid_t> groups;
        std::vector<uint32_t> results;
    } rows[] = {
        {"nobody", {}, {5, 5, 5, 5, 5}},
        {"reader", {kReaders}, {0, 0, 0, 5, 5}},
        {"admin", {kAdmins}, {0, 0, 0, 0, 0}},
    };
    for (const Row& row : rows) {
        if (row.groups == std::vector<gid_t>{kReaders} && !acl) continue;  // no ACLs on this file system
        const ChildResult child = RunInChild(
            [&](int out) {
                if (!BecomeNobody(row.groups)) return 9;
                std::string results;
                auto connection = Connect();
                for (uint16_t opnum : {0, 3, 4, 1, 6}) {
                    std::vector<uint8_t> stub;
                    if (opnum == 6) stub = NdrWriter().TakeBytes();
                    const uint32_t error = CallError([&] { connection->Call(opnum, stub); });
                    results += std::to_string(error == Win32::kBadStubData ? 0 : error) + " ";
                }
                return ::write(out, results.data(), results.size()) < 0 ? 8 : 0;
            },
            false);
        std::string expected;
        for (uint32_t result : row.results) expected += std::to_string(result) + " ";
        EXPECT_EQ(0, child.status) << row.who;
        EXPECT_EQ(expected, child.output) << row.who;
    }
}

TEST(RpcAccess, DecidedFromTheAccountAndItsGroups) {
    constexpr gid_t kAdmins = 47001, kReaders = 47002;
    const RpcAccessPolicy policy{{0, 990}, kAdmins, kReaders};
    const struct Row {
        const char* who;
        uid_t uid;
        gid_t gid;
        std::vector<gid_t> groups;
        RpcAccess access;
    } rows[] = {
        {"root", 0, 0, {}, RpcAccess::kAll},
        {"the service's account", 990, 990, {}, RpcAccess::kAll},
        {"an administrator by supplementary group", 1000, 1000, {5, kAdmins}, RpcAccess::kAll},
        {"an administrator by primary group", 1000, kAdmins, {}, RpcAccess::kAll},
        {"a reader", 1001, 1001, {kReaders}, RpcAccess::kRead},
        {"a reader who is an administrator too", 1001, kReaders, {kAdmins}, RpcAccess::kAll},
        {"anyone else", 65534, 65534, {100, 4}, RpcAccess::kNone},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.access, AccessFor(policy, row.uid, row.gid, row.groups)) << row.who;
    }
    // Groups the machine does not have grant nothing.
    EXPECT_EQ(RpcAccess::kNone, AccessFor({{0}, std::nullopt, std::nullopt}, 1000, 1000, {kAdmins, kReaders}));
}

// The socket's mode lets this account in (it owns the socket), but the
// server's policy does not name it: refused, and no procedure runs.
TEST(RpcAccess, ACallerTheSocketLetsInButThePolicyDoesNotIsRefused) {
    ScratchDir dir;
    ScriptedProcedures procedures;
    TestServer server(dir.path());
    server.server().SetAccessPolicy({{::geteuid() + 1}, std::nullopt, std::nullopt});
    ASSERT_TRUE(server.Start(procedures));
    auto connection = Connect();
    EXPECT_EQ(Win32::kAccessDenied, CallError([&] { connection->Call(UpdaterControl::kUpdaterGetStatus, {}); }));
    EXPECT_EQ(0, procedures.calls.load());
}

// A reader holding every connection it can, and sending frames larger than
// a read-only call needs, never keeps an administrator waiting.
TEST_F(RpcAccountsTest, AReaderCannotStarveTheAdministrators) {
    if (!SocketHasAcl()) GTEST_SKIP() << "no ACLs on this file system: readers cannot reach the socket";
    std::atomic<bool> reader_done{false};
    std::atomic<int> admin_calls{0}, admin_failures{0};
    std::atomic<int64_t> slowest_ms{0};
    std::thread admin([&] {
        while (!reader_done) {
            const auto start = std::chrono::steady_clock::now();
            auto connection = Connect();
            int64_t last = 0, next = 0;
            uint8_t running = 0;
            char16_t* status = nullptr;
            if (CallError([&] { Stub::UpdaterGetStatus(*connection, &last, &next, &running, &status); }) != 0) {
                ++admin_failures;
            }
            RpcFree(status);
            const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start).count();
            if (ms > slowest_ms) slowest_ms = ms;
            ++admin_calls;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const ChildResult reader = RunInChild(
        [&](int out) {
            if (!BecomeNobody({kReaders})) return 9;
            // Whether the server has hung up on fd, waiting up to ms.
            const auto hung_up = [](int fd, int ms) {
                pollfd p{fd, POLLIN, 0};
                char byte;
                return ::poll(&p, 1, ms) > 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
            };
            std::vector<int> fds;
            for (int i = 0; i < 40; ++i) fds.push_back(RawConnect());
            // The server takes them from its backlog in its own time (slowly
            // under the race checker): wait until it has hung up on the rest.
            int refused = 0;
            std::vector<int> kept;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            do {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                refused = 0;
                kept.clear();
                for (int fd : fds) {
                    if (fd < 0 || hung_up(fd, 0)) ++refused;
                    else kept.push_back(fd);
                }
            } while (refused < 24 && std::chrono::steady_clock::now() < deadline);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            // A request frame of 60 000 bytes: far more than a reader may send.
            std::vector<uint8_t> big(60000, 0);
            const uint8_t header[16] = {5, 0, 0, 3, 0x10, 0, 0, 0, 0x60, 0xEA, 0, 0, 1, 0, 0, 0};
            std::copy(std::begin(header), std::end(header), big.begin());
            int dropped = 0;
            for (int fd : kept) {
                if (::send(fd, big.data(), big.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 || hung_up(fd, 2000)) ++dropped;
            }
            const std::string text = std::to_string(refused) + " " + std::to_string(kept.size()) + " " +
                                     std::to_string(dropped);
            return ::write(out, text.data(), text.size()) < 0 ? 8 : 0;
        },
        false);
    reader_done = true;
    admin.join();
    ASSERT_EQ(0, reader.status);
    // 16 connections kept, the other 24 closed at once; each big frame ends its connection.
    EXPECT_EQ("24 16 16", reader.output);
    EXPECT_GT(admin_calls.load(), 5);
    EXPECT_EQ(0, admin_failures.load());
#ifdef __SANITIZE_THREAD__
    EXPECT_LT(slowest_ms.load(), 5000);  // the race checker slows every call
#else
    EXPECT_LT(slowest_ms.load(), 1000);
#endif
}

}  // namespace
}  // namespace TesselSoftware
