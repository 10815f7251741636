// RpcFrameChannel: reads and writes whole RPC frames on a connected AF_UNIX
// stream socket, with time limits, for both ends of the local RPC runtime.
//
// The channel owns the descriptor and closes it when destroyed. An optional
// stop descriptor (an eventfd) that becomes readable ends any wait at once;
// the descriptor is then made non-blocking and waits use poll. Sends use MSG_NOSIGNAL, so a peer that went away is
// an error, never SIGPIPE. One thread at a time.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "Common/Rpc/RpcPdu.h"

namespace TesselSoftware {

enum class FrameStatus {
    kOk,
    kClosed,     // the peer hung up between frames
    kTimedOut,   // nothing, or only part of a frame, arrived in time
    kStopped,    // the stop descriptor fired
    kMalformed,  // the header is not a DCE RPC 5.0 little-endian frame
    kError,      // the socket failed, or the peer hung up inside a frame
};

class RpcFrameChannel {
public:
    RpcFrameChannel(int fd, int stop_fd);
    ~RpcFrameChannel();
    RpcFrameChannel(const RpcFrameChannel&) = delete;
    RpcFrameChannel& operator=(const RpcFrameChannel&) = delete;

    // Waits up to idle_ms (-1: for ever) for a frame to begin and then up to
    // frame_ms for the rest of it; on kOk *frame holds one whole frame. A
    // header announcing more than max_frame bytes is kMalformed, before any
    // of its body is buffered.
    FrameStatus ReadFrame(std::vector<uint8_t>* frame, int idle_ms, int frame_ms,
                          size_t max_frame = kMaxFrameBytes);
    // Sends all bytes within timeout_ms; false on any failure.
    bool Write(std::span<const uint8_t> bytes, int timeout_ms);
    // True when the peer hung up and nothing unread is left (checked
    // without waiting).
    bool PeerClosed();
    // The errno of the last failure, or 0.
    int LastErrno() const { return last_errno_; }
    int fd() const { return fd_; }

private:
    // Waits until fd_ is ready for events; returns kOk, kTimedOut or kStopped.
    FrameStatus Wait(short events, int timeout_ms);
    // Sets SO_RCVTIMEO when it differs from the last value set.
    bool SetReceiveTimeout(int timeout_ms);
    // Reads what is available into the buffer; kOk when something came.
    FrameStatus Fill(int timeout_ms, bool inside_frame);

    const int fd_;
    const int stop_fd_;
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;  // unread bytes are buffer_[start_, end_)
    size_t end_ = 0;
    int last_errno_ = 0;
    int receive_timeout_ms_ = -2;  // none set yet
};

}  // namespace TesselSoftware
