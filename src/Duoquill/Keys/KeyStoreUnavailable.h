#pragma once
// A key store that cannot be used here: no device, no permission, no provider or module, no
// token. what(): "cannot use <store> (<where>): <reason>", or for a device or server that did
// not answer, "cannot reach <store> at <where>: <reason>".

#include <string>

#include "Duoquill/Base/PlatformError.h"

namespace duoquill {

class KeyStoreUnavailable : public CryptoError {
public:
    KeyStoreUnavailable(const std::string& store, std::string where, std::string reason)
        : CryptoError("cannot use " + store + " (" + where + "): " + reason), where_(std::move(where)), reason_(std::move(reason)) {}

    static KeyStoreUnavailable unreachable(const std::string& store, std::string where, std::string reason) {
        Message message{"cannot reach " + store + " at " + where + ": " + reason};
        return {std::move(message), std::move(where), std::move(reason)};
    }

    const std::string& where() const noexcept { return where_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    struct Message {
        std::string text;
    };
    KeyStoreUnavailable(Message&& message, std::string where, std::string reason)
        : CryptoError(message.text), where_(std::move(where)), reason_(std::move(reason)) {}

    std::string where_;
    std::string reason_;
};

}  // namespace duoquill
