#pragma once
// A step of the secure session (or of the codec around it) whose failure is part of the chat:
// a session condition, a platform crypto failure, a tunnel payload too large. They come back
// as a value; any other exception is a fault of this program and is not caught here.

#include <optional>
#include <string>

#include "Duoquill/Session/SessionError.h"
#include "Duoquill/Base/PlatformError.h"

namespace duoquill::cli {

struct SessionStepFailure {
    std::string text;  // what the chat shows
    std::optional<SessionErrorCode> code;  // for a SessionError
};

template <class Step>
std::optional<SessionStepFailure> sessionStep(Step&& step) {
    try {
        step();
        return std::nullopt;
    } catch (const SessionError& e) {
        return SessionStepFailure{e.what(), e.code()};
    } catch (const TunnelPayloadTooLarge& e) {
        return SessionStepFailure{e.what(), std::nullopt};
    } catch (const CryptoError& e) {
        return SessionStepFailure{e.what(), std::nullopt};
    }
}

}  // namespace duoquill::cli
