#include "Common/RpcFrameChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Common/RpcPdu.h"

namespace TesselSoftware {

namespace {

constexpr size_t kReadChunk = 64 * 1024;

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

RpcFrameChannel::RpcFrameChannel(int fd, int stop_fd) : fd_(fd), stop_fd_(stop_fd) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

RpcFrameChannel::~RpcFrameChannel() { ::close(fd_); }

FrameStatus RpcFrameChannel::Wait(short events, int timeout_ms) {
    pollfd fds[2] = {{fd_, events, 0}, {stop_fd_, POLLIN, 0}};
    const nfds_t count = stop_fd_ >= 0 ? 2 : 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int rc = ::poll(fds, count, timeout_ms < 0 ? -1 : RemainingMs(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) {
            last_errno_ = errno;
            return FrameStatus::kError;
        }
        if (count == 2 && (fds[1].revents & POLLIN)) return FrameStatus::kStopped;
        if (rc == 0) return FrameStatus::kTimedOut;
        return FrameStatus::kOk;  // readable, writable, or hung up: the next call tells
    }
}

FrameStatus RpcFrameChannel::Fill(int timeout_ms, bool inside_frame) {
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    const size_t used = buffer_.size();
    buffer_.resize(used + kReadChunk);
    for (;;) {
        const ssize_t got = ::recv(fd_, buffer_.data() + used, kReadChunk, MSG_DONTWAIT);
        if (got > 0) {
            buffer_.resize(used + static_cast<size_t>(got));
            return FrameStatus::kOk;
        }
        if (got == 0) {
            buffer_.resize(used);
            return inside_frame ? FrameStatus::kError : FrameStatus::kClosed;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            last_errno_ = errno;
            buffer_.resize(used);
            return FrameStatus::kError;
        }
        const FrameStatus waited = Wait(POLLIN, timeout_ms);
        if (waited != FrameStatus::kOk) {
            buffer_.resize(used);
            return waited;
        }
    }
}

FrameStatus RpcFrameChannel::ReadFrame(std::vector<uint8_t>* frame, int idle_ms, int frame_ms) {
    const auto frame_deadline_from_now = [frame_ms] {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(frame_ms);
    };
    auto deadline = frame_deadline_from_now();
    bool begun = buffer_.size() > start_;
    size_t needed = kPduHeaderSize;
    for (;;) {
        const size_t available = buffer_.size() - start_;
        if (available >= kPduHeaderSize && needed == kPduHeaderSize) {
            PduHeader header;
            const std::span<const uint8_t> head(buffer_.data() + start_, kPduHeaderSize);
            if (!ParsePduHeader(head, kMaxFrameBytes, &header)) return FrameStatus::kMalformed;
            needed = header.frag_length;
        }
        if (available >= needed) {
            frame->assign(buffer_.begin() + static_cast<ptrdiff_t>(start_),
                          buffer_.begin() + static_cast<ptrdiff_t>(start_ + needed));
            start_ += needed;
            return FrameStatus::kOk;
        }
        const FrameStatus filled = Fill(begun ? RemainingMs(deadline) : idle_ms, begun);
        if (filled != FrameStatus::kOk) return filled;
        if (!begun) {
            begun = true;
            deadline = frame_deadline_from_now();
        }
    }
}

bool RpcFrameChannel::PeerClosed() {
    if (buffer_.size() > start_) return false;
    pollfd fd{fd_, POLLIN, 0};
    if (::poll(&fd, 1, 0) <= 0) return false;
    if (fd.revents & (POLLHUP | POLLERR)) return true;
    uint8_t byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool RpcFrameChannel::Write(std::span<const uint8_t> bytes, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t rc = ::send(fd_, bytes.data() + sent, bytes.size() - sent,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (rc > 0) {
            sent += static_cast<size_t>(rc);
            continue;
        }
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Wait(POLLOUT, RemainingMs(deadline)) != FrameStatus::kOk) return false;
            continue;
        }
        last_errno_ = rc < 0 ? errno : EPIPE;
        return false;
    }
    return true;
}

}  // namespace TesselSoftware
