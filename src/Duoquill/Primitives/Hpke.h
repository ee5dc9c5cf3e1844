#pragma once
// HPKE (RFC 9180) for one suite: DHKEM(P-256, HKDF-SHA256), HKDF-SHA512, AES-256-GCM,
// in mode_base and mode_psk. No floor is imposed on the length of info.

#include <optional>

#include "Duoquill/Primitives/P256KeyAgreementKey.h"
#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::hpke {

inline constexpr std::size_t encapsulatedKeySize = 65;

enum class Mode : std::uint8_t { base = 0x00, psk = 0x01 };

// mode_base takes an empty psk and psk_id; mode_psk requires both non-empty.
struct KeySchedule {
    Mode mode = Mode::base;
    BytesView info;
    BytesView psk;
    BytesView pskId;
};

class SenderContext {
public:
    // Draws a fresh ephemeral key. Throws CryptoError on bad parameters.
    static SenderContext setup(const p256::PublicKey& recipient, const KeySchedule& schedule);
    // With a given ephemeral key: for known-answer tests only.
    static SenderContext setupWithEphemeral(const p256::PublicKey& recipient, const KeySchedule& schedule,
                                            const p256::PrivateKey& ephemeral);

    const Bytes& encapsulatedKey() const noexcept { return enc_; }
    // Seals at the current sequence number and advances it.
    Bytes seal(BytesView associatedData, BytesView plaintext);
    SecureBytes exportSecret(BytesView exporterContext, std::size_t length) const;

    // Key-schedule outputs, exposed for known-answer tests.
    const SecureBytes& sharedSecret() const noexcept { return sharedSecret_; }
    const SecureBytes& key() const noexcept { return key_; }
    const SecureBytes& baseNonce() const noexcept { return baseNonce_; }
    const SecureBytes& exporterSecret() const noexcept { return exporterSecret_; }

private:
    SenderContext() = default;
    Bytes enc_;
    SecureBytes sharedSecret_, key_, baseNonce_, exporterSecret_;
    std::uint64_t sequence_ = 0;
    friend class ContextBuilder;
};

class RecipientContext {
public:
    // Throws CryptoError on a malformed encapsulated key or bad parameters.
    static RecipientContext setup(BytesView encapsulatedKey, const P256KeyAgreementKey& recipient,
                                  const KeySchedule& schedule);

    // Opens at the current sequence number and advances it; throws AuthenticationError.
    SecureBytes open(BytesView associatedData, BytesView ciphertext);
    SecureBytes exportSecret(BytesView exporterContext, std::size_t length) const;

    const SecureBytes& sharedSecret() const noexcept { return sharedSecret_; }
    const SecureBytes& key() const noexcept { return key_; }
    const SecureBytes& baseNonce() const noexcept { return baseNonce_; }
    const SecureBytes& exporterSecret() const noexcept { return exporterSecret_; }

private:
    RecipientContext() = default;
    SecureBytes sharedSecret_, key_, baseNonce_, exporterSecret_;
    std::uint64_t sequence_ = 0;
    friend class ContextBuilder;
};

}  // namespace duoquill::hpke
