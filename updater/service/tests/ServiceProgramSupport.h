// Pieces of the tests that run the real service program.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace TesselSoftware::Testing {

// Receives what the service tells systemd on a NOTIFY_SOCKET of its own.
class NotifyReceiver {
public:
    explicit NotifyReceiver(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        timeval limit{20, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~NotifyReceiver() { ::close(fd_); }
    NotifyReceiver(const NotifyReceiver&) = delete;
    NotifyReceiver& operator=(const NotifyReceiver&) = delete;

    // The messages received until one contains wanted (or 20 s passed).
    std::string Until(const std::string& wanted) {
        std::string all;
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) return all;
            all += std::string(buffer, static_cast<size_t>(got)) + "\n";
            if (all.find(wanted) != std::string::npos) return all;
        }
    }

private:
    std::string path_;
    int fd_;
};

}  // namespace TesselSoftware::Testing
