#include "Duoquill/Session/SessionError.h"

namespace duoquill {

std::string_view sessionErrorName(SessionErrorCode code) noexcept {
    switch (code) {
        case SessionErrorCode::handshakeNotComplete: return "handshakeNotComplete";
        case SessionErrorCode::sealFailed: return "sealFailed";
        case SessionErrorCode::openFailed: return "openFailed";
        case SessionErrorCode::replayDetected: return "replayDetected";
        case SessionErrorCode::sessionExpired: return "sessionExpired";
        case SessionErrorCode::pqExchangeNotReady: return "pqExchangeNotReady";
        case SessionErrorCode::pqDecapsulationFailed: return "pqDecapsulationFailed";
        case SessionErrorCode::pqRequired: return "pqRequired";
        case SessionErrorCode::pqAuthFailed: return "pqAuthFailed";
    }
    return "unknown";
}

// Every name is a string literal, so the view's data is null-terminated.
const char* SessionError::what() const noexcept { return sessionErrorName(code_).data(); }

}  // namespace duoquill
