// HttpTransfer::Get against the curl command line on one large file served
// by nginx on loopback, in the same run: throughput of each and their ratio,
// and how much the peak resident memory grew during the download (the data
// is streamed to the file, never held).
//
//   vexor_bench_http [MEGABYTES]     (default 500)
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "TestServers.h"
#include "TestSupport.h"
#include "sources/HttpTransfer.h"

namespace {

using namespace TesselSoftware;
using Clock = std::chrono::steady_clock;

// Peak resident set so far, in kB (VmHWM).
long PeakRssKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmHWM:") {
            status >> value;
            return value;
        }
    }
    return 0;
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 500;
    Testing::ScratchDir dir;
    Testing::ScopedEnv root("VEXOR_SYSTEM_ROOT", dir.path());
    Testing::NoProxyEnvironment no_proxy;
    const std::string file = dir / "site/plain/big.bin";
    {
        Testing::WriteFile(file, "");
        std::ofstream out(file, std::ios::binary);
        const std::string block = Testing::RandomBytes(1 << 20);
        for (long i = 0; i < megabytes; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    Testing::TestCertificates tls(dir / "tls"), other(dir / "tls-other", "Other CA");
    Testing::NginxServer nginx(dir / "nginx", dir / "site", tls, other);
    const std::string url = nginx.HttpUrl("/plain/big.bin");
    std::system(("cat '" + file + "' > /dev/null").c_str());  // both read from the page cache

    const double bytes = static_cast<double>(megabytes) * (1 << 20);
    const auto run_curl = [&] {
        std::filesystem::remove(dir / "curl.bin");
        ::sync();  // the write-back of the run before must not slow this one
        const auto begin = Clock::now();
        const std::string command = "curl -s --compressed -o '" + dir / "curl.bin" + "' '" + url + "'";
        return std::system(command.c_str()) == 0 ? Seconds(begin) : -1.0;
    };
    ProxySettings proxy;
    HttpTransfer client(&proxy, "Vexor for Tessel 6.1.2.", 1, 180, 5, uint64_t{1} << 40);
    const auto run_ours = [&] {
        std::filesystem::remove(dir / "received.bin");
        ::sync();
        const auto begin = Clock::now();
        FileTransferOutput output(dir / "received.bin");
        return client.Get(url, output, 1, [](double) { return 0; }) ? Seconds(begin) : -1.0;
    };
    // Alternating runs, best of each: both meet the same page cache and
    // the same write-back of the file before.
    double ours = 1e9, theirs = 1e9;
    long rss_growth = 0;
    for (int round = 0; round < 3; ++round) {
        const double curl_seconds = run_curl();
        const long rss_before = PeakRssKb();
        const double our_seconds = run_ours();
        rss_growth = std::max(rss_growth, PeakRssKb() - rss_before);
        if (our_seconds < 0 || curl_seconds < 0) {
            std::printf("download failed: %s\n", client.ErrorText().c_str());
            return 1;
        }
        ours = std::min(ours, our_seconds);
        theirs = std::min(theirs, curl_seconds);
    }
    std::printf("%ld MB over loopback HTTP\n", megabytes);
    std::printf("HttpTransfer::Get  %8.1f MB/s\n", bytes / ours / 1e6);
    std::printf("curl command line  %8.1f MB/s\n", bytes / theirs / 1e6);
    std::printf("ratio Get / curl: %.3f (goal >= 0.95)\n", theirs / ours);
    std::printf("peak RSS growth during the download: %.1f MB (goal < 5 MB)\n", rss_growth / 1024.0);
    return 0;
}
