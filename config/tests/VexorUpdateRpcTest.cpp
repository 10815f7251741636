#include <gtest/gtest.h>

#include <thread>

#include "ControlTestSupport.h"
#include "client/VexorUpdateRpc.h"

namespace TesselSoftware::RPCClient {
namespace {

using namespace Testing;

TEST(VexorUpdateRpc, TransportFailuresNameTheOperationAndTheError) {
    ScratchDir dir;
    ScopedEnv env("VEXOR_SYSTEM_ROOT", dir.path());  // no service runs here
    CVexorUpdateRpc rpc;
    ASSERT_TRUE(rpc.CreateBinding(kUpdaterEndpoint));
    std::string a, b;
    UpdaterStatus status;
    TRPCClientArray<VexorLogEntry> entries;
    DatSettings dat;
    EngineSettings engine;
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"Failed to get Vexor version info", [&] { rpc.GetVersionInfo(a, b); }},
        {"Failed to start Vexor update", [&] { rpc.StartUpdate(); }},
        {"Failed to cancel Vexor update", [&] { rpc.StopUpdate(); }},
        {"Failed to get Vexor updater status", [&] { rpc.GetStatus(status); }},
        {"Failed to cancel Vexor updater log entries", [&] { rpc.GetLogEntries(entries); }},
        {"Failed to get Vexor updater settings", [&] { rpc.GetDatSourceSettings(dat); }},
        {"Failed to set Vexor updater settings", [&] { rpc.SetDatSourceSettings(dat); }},
        {"Failed to get Vexor updater settings", [&] { rpc.GetEngineUpdateSettings(engine); }},
        {"Failed to set Vexor updater settings", [&] { rpc.SetEngineUpdateSettings(engine); }},
    };
    for (const auto& [text, call] : calls) {
        try {
            call();
            ADD_FAILURE() << text << ": no exception";
        } catch (const CRPCException& e) {
            EXPECT_EQ(1722, e.Code());
            EXPECT_EQ(std::string(text) + ". Error 1722 - The RPC server is unavailable.\r\n", e.Message());
        }
    }
}

TEST(VexorUpdateRpc, ABindingThatWasNotCreatedFailsEveryCall) {
    struct Row {
        const char* endpoint;
        const char* last_error;
    } rows[] = {
        {"", "RpcStringBindingCompose returned 0x6aa - 1706 - The endpoint format is invalid.\r\n"},
        {"a[b]", "RpcStringBindingCompose returned 0x6aa - 1706 - The endpoint format is invalid.\r\n"},
        {"../etc", "RpcBindingFromStringBinding returned 0x6aa - 1706 - The endpoint format is invalid.\r\n"},
    };
    for (const Row& row : rows) {
        CVexorUpdateRpc rpc;
        EXPECT_FALSE(rpc.CreateBinding(row.endpoint));
        EXPECT_EQ(row.last_error, rpc.GetLastErrorText()) << row.endpoint;
        UpdaterStatus status;
        try {
            rpc.GetStatus(status);
            ADD_FAILURE() << "no exception";
        } catch (const CRPCException& e) {
            EXPECT_EQ("RPC binding is null", e.Message());
        }
    }
}

TEST(VexorUpdateRpc, AFalseResultLeavesItsTextForTheCallingThreadAlone) {
    ScratchDir dir;
    ScriptedProcedures procedures;
    TestServer server(dir.path());
    ASSERT_TRUE(server.Start(procedures));
    CVexorUpdateRpc rpc;
    ASSERT_TRUE(rpc.CreateBinding(kUpdaterEndpoint));
    procedures.on_status = [](char16_t**) { return uint8_t{0}; };
    UpdaterStatus status;
    EXPECT_FALSE(rpc.GetStatus(status));
    EXPECT_EQ("No error message returned", rpc.GetLastErrorText());
    std::string other_thread_error = "unset";
    std::thread([&] { other_thread_error = rpc.GetLastErrorText(); }).join();
    EXPECT_EQ("", other_thread_error);
}

}  // namespace
}  // namespace TesselSoftware::RPCClient
