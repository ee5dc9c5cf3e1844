#include "Kit/SessionAccess.h"

#include <type_traits>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Primitives/AesGcm.h"
#include "Kit/World.h"

namespace duoquill {

namespace {

template <class T>
constexpr bool isBuffer = std::is_same_v<T, Bytes> || std::is_same_v<T, SecureBytes>;
template <class T>
constexpr bool isSecret = std::is_same_v<T, SecureBytes> || std::is_same_v<T, std::optional<SecureBytes>>;

template <class T>
const T* present(const T& field) {
    return &field;
}
template <class T>
const T* present(const std::optional<T>& field) {
    return field ? &*field : nullptr;
}

// A snapshot shares key objects with the session: the session owns its keys through
// unique_ptr, so the key moves into shared ownership and a forwarder takes its place.
class SharedP256Key final : public P256KeyAgreementKey {
public:
    explicit SharedP256Key(std::shared_ptr<const P256KeyAgreementKey> key) : key_(std::move(key)) {}
    p256::PublicKey publicKey() const override { return key_->publicKey(); }
    SecureBytes sharedSecret(const p256::PublicKey& peer) const override { return key_->sharedSecret(peer); }
    SecureBytes dataRepresentation() const override { return key_->dataRepresentation(); }
    std::shared_ptr<const P256KeyAgreementKey> key_;
};

template <class Key>
using SharedKey = std::conditional_t<std::is_same_v<Key, MLKEM1024Key>, test::SharedMLKEMKey, SharedP256Key>;

// One field as fields() shows it.
template <class T>
std::string shown(const T& value) {
    if constexpr (std::is_same_v<T, PFSChatSession::HandshakePhase>) {
        static constexpr const char* phases[] = {"initial", "p256Complete", "pqComplete"};
        return phases[static_cast<int>(value)];
    } else if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_arithmetic_v<T>) {
        return std::to_string(value);  // a direction byte promotes to int: a decimal number
    } else if constexpr (std::is_same_v<T, p256::PublicKey>) {
        return hexString(value.raw());
    } else if constexpr (requires { value.has_value(); }) {
        return value ? shown(*value) : "null";
    } else if constexpr (requires { static_cast<bool>(value); }) {
        return value ? "set" : "null";
    } else {
        return hexString(value);
    }
}

template <class T>
std::any copyOf(T& field) {
    return field;
}
template <class Key>
std::any copyOf(std::unique_ptr<Key>& slot) {
    if constexpr (std::is_same_v<Key, MLDSA87Key>) {
        return {};  // never used after creation
    } else {
        if (!slot) return std::shared_ptr<const Key>();
        std::shared_ptr<const Key> shared(std::move(slot));
        slot = std::make_unique<SharedKey<Key>>(shared);
        return shared;
    }
}

template <class T>
void assign(T& field, const std::any& value) {
    field = std::any_cast<const T&>(value);
}
template <class Key>
void assign(std::unique_ptr<Key>& slot, const std::any& value) {
    if constexpr (!std::is_same_v<Key, MLDSA87Key>) {
        const auto& shared = std::any_cast<const std::shared_ptr<const Key>&>(value);
        slot = shared ? std::make_unique<SharedKey<Key>>(shared) : nullptr;
    }
}

}  // namespace

PFSChatSessionTestAccess::Fields PFSChatSessionTestAccess::fields(const S& s) {
    Fields out;
    S::forEachState(s, [&](const char* name, const auto& field) { out.emplace(name, shown(field)); });
    return out;
}

std::vector<std::pair<std::string, Bytes>> PFSChatSessionTestAccess::perRoomLabels(const S& s) {
    return {{"infoKex", s.infoKex_}, {"infoTemp", s.infoTemp_}, {"infoTunnelA", s.infoTunnelA_},
            {"infoTunnelB", s.infoTunnelB_}, {"infoP256Extract", s.infoP256Extract_}, {"infoMasterPQ", s.infoMasterPQ_},
            {"infoA", s.infoA_}, {"infoB", s.infoB_}, {"infoSid", s.infoSid_}, {"infoResumeAuth", s.infoResumeAuth_},
            {"infoConfirmA", s.infoConfirmA_}, {"infoConfirmB", s.infoConfirmB_}, {"infoTranscriptA", s.infoTranscriptA_},
            {"infoTranscriptB", s.infoTranscriptB_}, {"infoDeniableAuth", s.infoDeniableAuth_}};
}

std::vector<std::pair<std::string, std::string_view>> PFSChatSessionTestAccess::constantLabels() {
    return {{"ratchetInfo", S::ratchetInfo},         {"tunnelRatchetInfo", S::tunnelRatchetInfo},
            {"dhRatchetInfo", S::dhRatchetInfo},     {"dhRatchetPQInfo", S::dhRatchetPQInfo},
            {"rootChainInfo", S::rootChainInfo},     {"nonceMaskAInfo", S::nonceMaskAInfo},
            {"nonceMaskBInfo", S::nonceMaskBInfo},   {"deniablePSKIdentifier", S::deniablePSKIdentifier}};
}

std::vector<std::pair<std::string, BytesView>> PFSChatSessionTestAccess::secrets(const S& s) {
    std::vector<std::pair<std::string, BytesView>> out;
    S::forEachSecret(s, [&](const char* name, const auto& field) {
        if constexpr (isSecret<std::decay_t<decltype(field)>>) {
            if (const auto* bytes = present(field)) out.emplace_back(name, BytesView(*bytes));
        }
    });
    return out;
}

std::vector<BytesView> PFSChatSessionTestAccess::storage(const S& s) {
    std::vector<BytesView> out{BytesView(reinterpret_cast<const std::uint8_t*>(&s), sizeof s)};
    S::forEachState(s, [&](const char*, const auto& field) {
        using T = std::remove_cvref_t<decltype(*present(field))>;
        if constexpr (isBuffer<T>) {
            if (const auto* bytes = present(field)) out.emplace_back(*bytes);
        }
    });
    return out;
}

PFSChatSessionTestAccess::Snapshot PFSChatSessionTestAccess::take(S& s) {
    Snapshot out;
    S::forEachState(s, [&](const char*, auto& field) { out.push_back(copyOf(field)); });
    return out;
}

void PFSChatSessionTestAccess::restore(S& s, const Snapshot& snapshot) {
    std::size_t i = 0;
    S::forEachState(s, [&](const char*, auto& field) { assign(field, snapshot[i++]); });
}

Bytes PFSChatSessionTestAccess::sealTunnelPadded(S& s, const SecureBytes& padded) {
    const std::uint64_t counter = s.tunnelTxCounter_;
    const auto nonce = S::maskedNonce(counter, s.txNonceMask_);
    const Bytes sealed = aesgcm::seal(*s.tunnelTxKey_, nonce, padded, S::tunnelAAD(s.txDirection_, counter, s.chainSalt()));
    Bytes frame;
    S::appendBigEndian(frame, counter, 8);
    frame.insert(frame.end(), sealed.begin(), sealed.end());
    S::ChainKey next;
    s.tunnelRatchet(*s.tunnelTxKey_, next.value);
    s.tunnelTxKey_->assign(next.value.begin(), next.value.end());
    s.tunnelTxCounter_ = counter + 1;
    return frame;
}

PFSChatSessionTestAccess::ReceiveState PFSChatSessionTestAccess::ReceiveState::of(S& s) {
    return {s.rxKey_,           s.rootKey_,           s.tunnelRxKey_, s.rxCounter_, s.tunnelRxCounter_,
            s.rxTranscriptHash_,
            s.peerDHRatchetKey_ ? std::optional<Bytes>(s.peerDHRatchetKey_->raw()) : std::nullopt,
            s.peerMLKEMRatchetPublicKeyData_, s.dhRatchetPending_, s.dhRatchetPrivateKey_ != nullptr};
}

}  // namespace duoquill
