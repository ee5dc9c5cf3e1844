// Teardown: every secret wiped, the handshake back at its start.

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Session/PFSChatSession.h"

namespace duoquill {

namespace {

// Key objects and public keys go by being released; the storage of private keys wipes itself.
template <class T>
void clear(std::unique_ptr<T>& key) noexcept {
    key.reset();
}
void clear(std::shared_ptr<const P256KeyAgreementKey>& key) noexcept { key.reset(); }
void clear(std::optional<p256::PublicKey>& key) noexcept { key.reset(); }
void clear(std::optional<bool>& flag) noexcept { flag.reset(); }
template <class T>
void clear(std::optional<T>& bytes) noexcept {
    if (bytes) {
        secureWipe(bytes->data(), bytes->size());
        bytes.reset();
    }
}
void clear(Bytes& bytes) noexcept { secureZero(bytes); }
void clear(SecureBytes& bytes) noexcept { secureZero(bytes); }
void clear(bool& flag) noexcept { flag = false; }
void clear(double& time) noexcept { time = 0; }
void clear(std::optional<double>& time) noexcept { time.reset(); }
void clear(PFSChatSession::HandshakePhase& phase) noexcept { phase = PFSChatSession::HandshakePhase::initial; }

}  // namespace

void PFSChatSession::destroy() noexcept {
    forEachSecret(*this, [](std::string_view, auto& field) { clear(field); });
    chainKdf_.clear();
}

}  // namespace duoquill
