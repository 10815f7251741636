// The service's control procedures, called directly and through the
// administrators' client over the real endpoint.
#include <gtest/gtest.h>

#include "Common/Errors/Win32Error.h"
#include "ControlTestSupport.h"
#include "TestClock.h"
#include "client/VexorUpdateRpc.h"

namespace TesselSoftware {
namespace {

using namespace Testing;
using RPCClient::CVexorUpdateRpc;
using RPCClient::DatSettings;
using RPCClient::EngineSettings;

class ControlHandlersTest : public ::testing::Test, protected ServiceUnderTest {
protected:
    TestClock clock_{5000};
    ScopedServiceClock use_clock_{clock_};
    // Calls UpdaterSetDatSettings directly with the given flags and port.
    uint8_t SetDat(int64_t interval, uint8_t use_proxy, int16_t port, uint8_t requires_logon,
                   const char16_t* url = u"http://dat.example.test/", const char16_t* password = u"secret") {
        RpcString error;
        char16_t* raw = nullptr;
        const uint8_t result = handlers.UpdaterSetDatSettings(caller_, interval, 2, url, use_proxy, u"proxy", port,
                                                               requires_logon, u"user", password, u"/srv/dat",
                                                               u"\\\\host\\share", u"share-user", u"share-pass", &raw);
        error.reset(raw);
        last_error_ = error ? std::u16string(error.get()) : u"";
        return result;
    }
    RpcCaller caller_;
    std::u16string last_error_;
};

TEST_F(ControlHandlersTest, InputsAreTakenAsDocumented) {
    struct Row {
        int64_t interval;
        uint8_t use_proxy;
        int16_t port;
        uint8_t requires_logon;
        int64_t stored_interval;
        bool stored_use_proxy;
        int32_t stored_port;
        bool stored_requires_logon;
    } rows[] = {
        {60, 1, 8080, 1, 600, true, 8080, true},
        {86400, 2, -1, 2, 3600, true, 65535, false},  // any non-zero uses the proxy; only 1 means logon
        {900, 0, 0, 0, 900, false, 0, false},
    };
    for (const Row& row : rows) {
        ASSERT_EQ(1, SetDat(row.interval, row.use_proxy, row.port, row.requires_logon));
        EXPECT_EQ(row.stored_interval, core.UpdateInterval());
        EXPECT_EQ(row.stored_use_proxy, core.DatSourceSettings().UseProxy());
        EXPECT_EQ(row.stored_port, core.DatSourceSettings().ProxyPort());
        EXPECT_EQ(row.stored_requires_logon, core.DatSourceSettings().ProxyRequiresLogon());
    }
    UpdaterSettings stored;
    stored.Load();
    EXPECT_EQ(900, stored.UpdateInterval());
    EXPECT_EQ(2, stored.DATSource());
    EXPECT_EQ("share-pass", stored.DatSourceSettings().SharePassword());
    EXPECT_TRUE(log.Contains("-1 Updating settings...\r\n"));
    EXPECT_TRUE(log.Contains("2 Settings have been updated successfully.\r\n"));
}

TEST_F(ControlHandlersTest, AFailingApplyChangesNothingAndSaysWhy) {
    ASSERT_EQ(1, SetDat(1200, 0, 3128, 0));
    const std::u16string long_password(127, u'p');
    const char16_t lone_surrogate[] = {u'h', 0xD800, u'x', 0};
    auto store = FaultyRegistryStore::Serve();
    struct Row {
        const char* name;
        const char16_t* url;
        const char16_t* password;
        const char* store_fault;
        std::u16string reason;
    } rows[] = {
        {"password too long", u"http://new/", long_password.c_str(), nullptr,
         u"The value of ProxyPassword is too long: at most 126 characters are allowed"},
        {"text that does not convert", lone_surrogate, u"secret", nullptr, u"The value of SourceUrl is not valid text"},
        {"store refuses a write", u"http://new/", u"secret", "SourceAddress", u"Error saving DAT file updater configuration"},
    };
    for (const Row& row : rows) {
        store->write_faults.Clear();
        if (row.store_fault != nullptr) store->write_faults.Set(row.store_fault, Win32::kAccessDenied);
        sink->Clear();
        EXPECT_EQ(0, SetDat(60, 1, 1, 1, row.url, row.password)) << row.name;
        EXPECT_EQ(0u, last_error_.rfind(row.reason, 0)) << row.name;
        ASSERT_EQ(1u, Events().size()) << row.name;
        EXPECT_NE(std::string::npos, Events()[0].find("Unable to update settings - ")) << row.name;
        EXPECT_EQ(std::string::npos, Events()[0].find(std::string(126, 'p'))) << "no password in the event";
        store->write_faults.Clear();
        for (UpdaterSettings* settings : {static_cast<UpdaterSettings*>(&core), new UpdaterSettings}) {
            if (settings != &core) settings->Load();
            EXPECT_EQ(1200, settings->UpdateInterval()) << row.name;
            EXPECT_EQ("http://dat.example.test/", settings->DatSourceSettings().Address()) << row.name;
            EXPECT_EQ(3128, settings->DatSourceSettings().ProxyPort()) << row.name;
            EXPECT_FALSE(settings->DatSourceSettings().UseProxy()) << row.name;
            if (settings != &core) delete settings;
        }
    }
}

TEST_F(ControlHandlersTest, ANullOutPointerIsReportedByNameAfterTheEarlierOnesAreCleared) {
    int64_t last = 7, next = 7;
    uint8_t running = 7;
    EXPECT_EQ(0, handlers.UpdaterGetStatus(caller_, &last, &next, &running, nullptr));
    EXPECT_EQ(0, last + next + running);
    int64_t interval = 0;
    int32_t source = 0;
    int16_t port = 0;
    uint8_t requires_logon = 0;
    char16_t* s[11] = {};
    EXPECT_EQ(0, handlers.UpdaterGetDatSettings(caller_, &interval, &source, &s[0], nullptr, &s[1], &port,
                                                 &requires_logon, &s[2], &s[3], &s[4], &s[5], &s[6], &s[7], &s[8]));
    for (char16_t* text : s) EXPECT_EQ(nullptr, text);  // nothing filled in before the check failed
    int32_t count = 5;
    EXPECT_EQ(0, handlers.UpdaterGetLogEntries(caller_, &count, nullptr, &s[9]));
    EXPECT_EQ(0, count);
    EXPECT_EQ((std::vector<std::string>{"VexorDatUpdater64 1 0xC0000BB8 Invalid RPC parameter: pStatus",
                                        "VexorDatUpdater64 1 0xC0000BB8 Invalid RPC parameter: pUseProxyServer",
                                        "VexorDatUpdater64 1 0xC0000BB8 Invalid RPC parameter: ppLogEntries"}),
              Events());
}

// The administrators' client against the real procedures over the endpoint.
TEST_F(ControlHandlersTest, AllNineProceduresThroughTheClient) {
    TestServer server(dir.path());
    ASSERT_TRUE(server.Start(handlers));
    CVexorUpdateRpc rpc;
    ASSERT_TRUE(rpc.CreateBinding(RPCClient::kUpdaterEndpoint));
    EXPECT_EQ("ncalrpc:[VexorfTUpdater_RPC64]", rpc.StringBinding());

    std::string engine, dat;
    ASSERT_TRUE(rpc.GetVersionInfo(engine, dat));
    EXPECT_EQ("Unknown", engine);
    EXPECT_EQ(core.GetDATVersionText(), dat);

    RPCClient::TRPCClientArray<VexorLogEntry> entries;
    ASSERT_TRUE(rpc.GetLogEntries(entries));
    EXPECT_EQ(0, entries.Count());
    core.AddMessage("first");
    core.AddMessage("second \u00e9");
    ASSERT_TRUE(rpc.GetLogEntries(entries));
    ASSERT_EQ(2, entries.Count());
    EXPECT_EQ(5000, entries[0].time);
    EXPECT_EQ(u"second \u00e9", std::u16string(entries[1].text));
    EXPECT_THROW(entries[2], RPCClient::CRPCClientArrayException);

    DatSettings dat_settings{1800, 1, {"http://dat/", true, "proxy.test", 65000, true, "pu", "pp", "/local",
                                       "\\\\srv\\share", "su", "sp"}};
    ASSERT_TRUE(rpc.SetDatSourceSettings(dat_settings));
    DatSettings read_dat;
    ASSERT_TRUE(rpc.GetDatSourceSettings(read_dat));
    EXPECT_EQ(dat_settings, read_dat);
    EngineSettings engine_settings{2, {"https://engine/", false, "", 8080, false, "", "", "/engine", "", "", ""}};
    ASSERT_TRUE(rpc.SetEngineUpdateSettings(engine_settings));
    EngineSettings read_engine;
    ASSERT_TRUE(rpc.GetEngineUpdateSettings(read_engine));
    EXPECT_EQ(engine_settings, read_engine);

    rpc.StartUpdate();
    EXPECT_TRUE(core.TriggerEvent().Wait(0));
    rpc.StopUpdate();
    EXPECT_TRUE(core.IsCancelled());
    EXPECT_TRUE(log.Contains("A DAT update has been triggered from the configuration tool.\r\n"));
    EXPECT_TRUE(log.Contains("A DAT update has been cancelled from the configuration tool.\r\n"));
    core.SetCurrentStatusText("Checking for updates");
    RPCClient::UpdaterStatus status;
    ASSERT_TRUE(rpc.GetStatus(status));
    EXPECT_EQ("Checking for updates", status.status);
    EXPECT_EQ(core.NextCheckTime(), status.next_update);

    // A refused apply reaches the caller as its last error.
    dat_settings.source.net_share_password = std::string(127, 'x');
    EXPECT_FALSE(rpc.SetDatSourceSettings(dat_settings));
    EXPECT_EQ("The value of NetSharePassword is too long: at most 126 characters are allowed",
              rpc.GetLastErrorText());
}

}  // namespace
}  // namespace TesselSoftware
