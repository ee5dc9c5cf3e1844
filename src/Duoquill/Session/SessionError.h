#pragma once
// Errors of the secure session. A SessionError carries only its case; its text form, what(),
// is the bare case name ("pqRequired"), which is what the chat client shows.

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string_view>

namespace duoquill {

// In declaration order. sealFailed is raised only for a message of 4 GiB or more, which the
// record's 4-byte length field cannot frame; pqAuthFailed is never raised.
enum class SessionErrorCode : std::uint8_t {
    handshakeNotComplete,
    sealFailed,
    openFailed,
    replayDetected,
    sessionExpired,
    pqExchangeNotReady,
    pqDecapsulationFailed,
    pqRequired,
    pqAuthFailed,
};

// The case name, e.g. "openFailed".
std::string_view sessionErrorName(SessionErrorCode code) noexcept;

class SessionError : public std::exception {
public:
    explicit SessionError(SessionErrorCode code) noexcept : code_(code) {}
    SessionErrorCode code() const noexcept { return code_; }
    const char* what() const noexcept override;
    friend bool operator==(const SessionError& a, const SessionError& b) noexcept { return a.code_ == b.code_; }

private:
    SessionErrorCode code_;
};

// A tunnel frame holds at most 65535 payload bytes (16-bit length field). Raised by
// tunnelSeal before anything changes; deliberately not a SessionError, so the client
// reports it as a failed send and keeps the session.
class TunnelPayloadTooLarge : public std::length_error {
public:
    TunnelPayloadTooLarge() : std::length_error("tunnel payload larger than 65535 bytes") {}
};

}  // namespace duoquill
