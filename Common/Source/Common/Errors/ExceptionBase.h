// The service's exceptions: an error number and a ready English message.
//
// Thrown by value, caught by reference. Each layer may catch, prefix its
// context to the message and throw a new exception of the same kind.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace TesselSoftware {

class ExceptionBase : public std::exception {
public:
    // code: a platform (Win32) error number, or 0 when the thrower has none.
    ExceptionBase(int32_t code, std::string message) noexcept
        : code_(code), message_(std::move(message)) {}
    explicit ExceptionBase(std::string message) noexcept : ExceptionBase(0, std::move(message)) {}

    int32_t Code() const noexcept { return code_; }
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    int32_t code_;
    std::string message_;
};

// Network and installation failures; the update pass reports them as
// "Network Error - %s." rather than as ordinary errors.
class CTLVexorNetException : public ExceptionBase {
public:
    using ExceptionBase::ExceptionBase;
};

// Runs a clean-up step of a failure path, dropping its own ExceptionBase:
// cleaning up must never hide the failure being reported.
template <typename Step>
void CleanUpQuietly(Step&& step) {
    try {
        step();
    } catch (const ExceptionBase&) {
    }
}

}  // namespace TesselSoftware
