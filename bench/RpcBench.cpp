// Round trips of the control interface: UpdaterGetStatus against the real
// procedures, beside a bare AF_UNIX echo of the same socket kind as the
// floor. Prints latency percentiles with one client and calls per second
// with eight.
//
//   vexor_bench_rpc [CALLS]    (default 20000 per latency run)
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Common/Logs/EventLog.h"
#include "Common/Rpc/RPCServer.h"
#include "Common/Rpc/RpcClient.h"
#include "control/UpdaterControlHandlers.h"
#include "rpc/UpdaterControlClient.h"
#include "rpc/UpdaterControlServer.h"

namespace {

using namespace TesselSoftware;
using Clock = std::chrono::steady_clock;

class QuietLog : public ILogging {
public:
    bool LogV(int32_t, const char*, va_list) override { return true; }
};

class NoEvents : public IEventSink {
public:
    uint32_t Write(const std::string&, IEventLogging::EventType, uint32_t, const std::string&) override { return 0; }
};

struct Figures {
    double p50_us;
    double p99_us;
};

// Latency of count round trips made one after another.
Figures Latency(int count, const std::function<void()>& round_trip) {
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count / 10; ++i) round_trip();  // warm up
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        round_trip();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// Calls per second of threads clients, each with its own round trip, for
// about two seconds.
double Throughput(int threads, const std::function<std::function<void()>()>& make_client) {
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::vector<std::thread> workers;
    std::vector<std::function<void()>> clients;
    for (int i = 0; i < threads; ++i) clients.push_back(make_client());
    const auto start = Clock::now();
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&, i] {
            long done = 0;
            while (!stop) {
                clients[static_cast<size_t>(i)]();
                ++done;
            }
            calls += done;
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    for (std::thread& worker : workers) worker.join();
    return static_cast<double>(calls) / std::chrono::duration<double>(Clock::now() - start).count();
}

// A bare echo server on an AF_UNIX stream socket: one thread per
// connection, 64-byte messages.
class EchoServer {
public:
    explicit EchoServer(std::string path) : path_(std::move(path)) {
        listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        ::unlink(path_.c_str());
        if (::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listen_fd_, 64) != 0) {
            std::perror("echo server");
            std::exit(1);
        }
        acceptor_ = std::thread([this] {
            for (;;) {
                const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) return;
                std::thread([fd] {
                    char buffer[64];
                    for (;;) {
                        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_WAITALL);
                        if (got <= 0 || ::send(fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) break;
                    }
                    ::close(fd);
                }).detach();
            }
        });
    }
    ~EchoServer() {
        ::shutdown(listen_fd_, SHUT_RDWR);
        ::close(listen_fd_);
        acceptor_.join();
    }
    std::function<void()> Client() const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) std::exit(1);
        auto owner = std::shared_ptr<int>(new int(fd), [](int* p) {
            ::close(*p);
            delete p;
        });
        return [owner] {
            char buffer[64] = {};
            if (::send(*owner, buffer, sizeof buffer, MSG_NOSIGNAL) != 64 ||
                ::recv(*owner, buffer, sizeof buffer, MSG_WAITALL) != 64) {
                std::exit(1);
            }
        };
    }

private:
    std::string path_;
    int listen_fd_ = -1;
    std::thread acceptor_;
};

std::function<void()> StatusClient() {
    auto connection = std::make_shared<RpcClientConnection>(RpcEndpointPath("VexorfTUpdater_RPC64"),
                                                            UpdaterControl::InterfaceSyntax());
    return [connection] {
        int64_t last = 0, next = 0;
        uint8_t running = 0;
        char16_t* status = nullptr;
        if (!UpdaterControl::Client::UpdaterGetStatus(*connection, &last, &next, &running, &status)) std::exit(1);
        RpcFree(status);
    };
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
    char root_template[] = "/tmp/vexor-bench-rpc-XXXXXX";
    const std::string root = ::mkdtemp(root_template);
    ::setenv("VEXOR_SYSTEM_ROOT", root.c_str(), 1);

    QuietLog log;
    UpdaterCore core(log);
    core.Load();
    core.SetCurrentStatusText("Checking for updates");
    CDTLEventLog event_log("VexorDatUpdater64", false, true, std::make_shared<NoEvents>());
    UpdaterControlHandlers handlers(core, event_log);
    CRPCServer server;
    if (!server.UseEndpoint("VexorfTUpdater_RPC64") ||
        !server.RegisterInterface(UpdaterControl::ServerInterface(handlers)) || !server.Listen()) {
        std::fprintf(stderr, "the control server did not start\n");
        return 1;
    }
    EchoServer echo(root + "/echo.sock");

    const Figures echo_latency = Latency(calls, echo.Client());
    const Figures status_latency = Latency(calls, StatusClient());
    const double echo_rate = Throughput(8, [&] { return echo.Client(); });
    const double status_rate = Throughput(8, StatusClient);

    std::printf("AF_UNIX echo, 1 client:      p50 %6.1f us  p99 %6.1f us\n", echo_latency.p50_us, echo_latency.p99_us);
    std::printf("GetStatus, 1 client:         p50 %6.1f us  p99 %6.1f us  (goal p50 <= 50 us)\n",
                status_latency.p50_us, status_latency.p99_us);
    std::printf("AF_UNIX echo, 8 clients:     %8.0f round trips/s\n", echo_rate);
    std::printf("GetStatus, 8 clients:        %8.0f calls/s  (goal >= 20000)\n", status_rate);
    std::printf("GetStatus / echo: p50 latency x%.2f, throughput %.2f\n", status_latency.p50_us / echo_latency.p50_us,
                status_rate / echo_rate);
    server.UnregisterAll();
    std::system(("rm -rf '" + root + "'").c_str());
    return 0;
}
