// An independent DCE/RPC client (python3-impacket over a UNIX socket)
// against the service's end of the control interface.
#include <gtest/gtest.h>

#include "ControlTestSupport.h"

namespace TesselSoftware {
namespace {

using namespace Testing;

// The peer's one JSON line for a call, or its error output.
std::string Peer(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/python3", VEXOR_RPC_PEER, RpcEndpointPath(kEndpoint)};
    argv.insert(argv.end(), args.begin(), args.end());
    SpawnedProcess peer(argv);
    std::string output;
    const int status = peer.Wait(&output);
    return status == 0 ? output : "exit " + std::to_string(status) + ": " + output;
}

bool Has(const std::string& output, const std::string& part) { return output.find(part) != std::string::npos; }

TEST(ImpacketPeer, CallsEveryProcedureOfTheService) {
    ServiceUnderTest service;
    UpdaterCore& core = service.core;
    core.AddMessage("first message");
    TestServer server(service.dir.path());
    ASSERT_TRUE(server.Start(service.handlers));

    const std::string set_dat =
        R"({"UpdateInterval": 86400, "DATSource": 2, "SourceUrl": "http://dat.test/", "UseProxyServer": 2,)"
        R"( "ProxyServer": "proxy", "ProxyPort": 65535, "ProxyRequiresLogon": 2, "ProxyUser": "pu",)"
        R"( "ProxyPassword": "pp", "LocalDirectory": "/srv/dat", "NetShareDirectory": "\\\\h\\s",)"
        R"( "NetShareUserName": "su", "NetSharePassword": "sp"})";
    const std::string set_engine =
        R"({"DownloaderType": 1, "SourceUrl": null, "UseProxyServer": 0, "ProxyServer": "", "ProxyPort": 8080,)"
        R"( "ProxyRequiresLogon": 1, "ProxyUser": "", "ProxyPassword": "", "LocalDirectory": "",)"
        R"( "NetShareDirectory": "\\\\engine\\share", "NetShareUserName": "", "NetSharePassword": ""})";
    struct Row {
        std::vector<std::string> args;
        std::vector<std::string> expected;
    } rows[] = {
        {{"UpdaterGetVersionInfo"}, {R"("result": 1)", R"("pEngineVersion": "Unknown")", R"("pError": null)"}},
        {{"UpdaterStartUpdate"}, {R"("result": null)"}},
        {{"UpdaterCancelUpdate"}, {R"("result": null)"}},
        {{"UpdaterGetStatus"}, {R"("result": 1)", R"("pIsUpdateRunning": 0)"}},
        {{"UpdaterGetLogEntries"}, {R"("pNumEntries": 1)", R"("text": "first message")"}},
        {{"UpdaterSetDatSettings", set_dat}, {R"("result": 1)", R"("pError": null)"}},
        {{"UpdaterGetDatSettings"},
         {R"("pUpdateInterval": 3600)", R"("pDATSource": 2)", R"("pUseProxyServer": 1)", R"("pProxyPort": -1)",
          R"("pProxyRequiresLogon": 0)", R"("pNetShareDirectory": "\\\\h\\s")", R"("pNetSharePassword": "sp")"}},
        {{"UpdaterSetEngineSettings", set_engine}, {R"("result": 1)"}},
        {{"UpdaterGetEngineSettings"},
         {R"("pDownloaderType": 1)", R"("pSourceUrl": "")", R"("pProxyRequiresLogon": 1)",
          R"("pNetShareDirectory": "\\\\engine\\share")"}},
        {{"UpdaterGetStatus", "{}", "--version", "3.0"}, {R"("bind_rejected")"}},
    };
    for (const Row& row : rows) {
        const std::string output = Peer(row.args);
        for (const std::string& part : row.expected) EXPECT_TRUE(Has(output, part)) << row.args[0] << ": " << output;
    }
    EXPECT_TRUE(core.TriggerEvent().Wait(0));
    EXPECT_TRUE(core.IsCancelled());
}

// Records how the strings arrived and answers with a null and an empty one.
class StringProbe final : public FixedProcedures {
public:
    uint8_t UpdaterGetVersionInfo(const RpcCaller&, char16_t** engine, char16_t** dat, char16_t**) override {
        *engine = nullptr;
        *dat = RpcCopyString(u"");
        return 1;
    }
    uint8_t UpdaterSetEngineSettings(const RpcCaller&, int32_t, const char16_t* url, uint8_t, const char16_t* proxy,
                                     int16_t, uint8_t, const char16_t*, const char16_t*, const char16_t*,
                                     const char16_t*, const char16_t*, const char16_t*, char16_t**) override {
        url_was_null = url == nullptr;
        proxy_text = proxy != nullptr ? std::u16string(proxy) : u"(null)";
        return 1;
    }
    bool url_was_null = false;
    std::u16string proxy_text;
};

TEST(ImpacketPeer, NullStringsStayDistinctFromEmptyOnesAndLongCallsAreFragmented) {
    ScratchDir dir;
    StringProbe probe;
    TestServer server(dir.path());
    ASSERT_TRUE(server.Start(probe));
    const std::string answer = Peer({"UpdaterGetVersionInfo"});
    EXPECT_TRUE(Has(answer, R"("pEngineVersion": null, "pDatVersion": "")")) << answer;

    const std::string proxy(3000, 'p');
    const std::string request = Peer({"UpdaterSetEngineSettings",
                                      R"({"DownloaderType": 0, "SourceUrl": null, "ProxyServer": ")" + proxy + R"("})",
                                      "--max-frag", "256"});
    EXPECT_TRUE(Has(request, R"("result": 1)")) << request;
    EXPECT_TRUE(probe.url_was_null);
    EXPECT_EQ(std::u16string(proxy.begin(), proxy.end()), probe.proxy_text);
}

}  // namespace
}  // namespace TesselSoftware
