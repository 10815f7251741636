#include "Common/Rpc/RpcFrameChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Common/Rpc/RpcPdu.h"

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
    // Without a stop descriptor a read simply blocks with a receive time-out
    // (one system call a wait); with one, waits go through poll.
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0 && stop_fd_ >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

bool RpcFrameChannel::SetReceiveTimeout(int timeout_ms) {
    if (timeout_ms == receive_timeout_ms_) return true;
    timeval limit{};
    if (timeout_ms > 0) {
        limit.tv_sec = timeout_ms / 1000;
        limit.tv_usec = (timeout_ms % 1000) * 1000;
    } else if (timeout_ms == 0) {
        limit.tv_usec = 1000;  // zero would mean no limit at all
    }
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0) {
        last_errno_ = errno;
        return false;
    }
    receive_timeout_ms_ = timeout_ms;
    return true;
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
    // Unread bytes move to the front; the buffer keeps its size, so no read
    // clears or grows memory it does not need.
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    if (buffer_.size() - end_ < kReadChunk / 2) buffer_.resize(end_ + kReadChunk);
    const bool blocking = stop_fd_ < 0;
    if (blocking && !SetReceiveTimeout(timeout_ms)) return FrameStatus::kError;
    // Between frames the peer has usually not written yet: wait first.
    bool wait_first = !inside_frame && !blocking;
    for (;;) {
        if (wait_first) {
            const FrameStatus waited = Wait(POLLIN, timeout_ms);
            if (waited != FrameStatus::kOk) return waited;
        }
        wait_first = true;
        const ssize_t got = ::recv(fd_, buffer_.data() + end_, buffer_.size() - end_, blocking ? 0 : MSG_DONTWAIT);
        if (got > 0) {
            end_ += static_cast<size_t>(got);
            return FrameStatus::kOk;
        }
        if (got == 0) return inside_frame ? FrameStatus::kError : FrameStatus::kClosed;
        if (errno == EINTR) {
            wait_first = false;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            last_errno_ = errno;
            return FrameStatus::kError;
        }
        if (blocking) return FrameStatus::kTimedOut;
    }
}

FrameStatus RpcFrameChannel::ReadFrame(std::vector<uint8_t>* frame, int idle_ms, int frame_ms,
                                       size_t max_frame) {
    const auto frame_deadline_from_now = [frame_ms] {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(frame_ms);
    };
    auto deadline = frame_deadline_from_now();
    bool begun = end_ > start_;
    size_t needed = kPduHeaderSize;
    for (;;) {
        const size_t available = end_ - start_;
        if (available >= kPduHeaderSize && needed == kPduHeaderSize) {
            PduHeader header;
            const std::span<const uint8_t> head(buffer_.data() + start_, kPduHeaderSize);
            if (!ParsePduHeader(head, max_frame, &header)) return FrameStatus::kMalformed;
            needed = header.frag_length;
        }
        if (available >= needed) {
            frame->assign(buffer_.begin() + static_cast<ptrdiff_t>(start_),
                          buffer_.begin() + static_cast<ptrdiff_t>(start_ + needed));
            start_ += needed;
            if (start_ == end_) start_ = end_ = 0;
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
    if (end_ > start_) return false;
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
