#include "Duoquill/Primitives/Hpke.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include "Duoquill/Base/BigEndian.h"
#include "Duoquill/Primitives/AesGcm.h"
#include "Duoquill/Primitives/Hkdf.h"
#include "Duoquill/Base/PlatformError.h"

namespace duoquill::hpke {

namespace {

// The suite: DHKEM(P-256, HKDF-SHA256) 0x0010, HKDF-SHA512 0x0003, AES-256-GCM 0x0002.
constexpr std::array<std::uint8_t, 5> kemSuiteId = {'K', 'E', 'M', 0x00, 0x10};
constexpr std::array<std::uint8_t, 10> hpkeSuiteId = {'H', 'P', 'K', 'E', 0x00, 0x10, 0x00, 0x03, 0x00, 0x02};
constexpr HashFunction kemHash = HashFunction::sha256;
constexpr HashFunction kdfHash = HashFunction::sha512;
constexpr std::size_t kemSecretSize = 32;  // Nsecret
constexpr std::size_t kdfHashSize = 64;    // Nh
constexpr std::string_view versionLabel = "HPKE-v1";

BytesView text(std::string_view s) { return asBytes(s); }

template <std::size_t N>
SecureBytes labeledExtract(HashFunction hash, const std::array<std::uint8_t, N>& suiteId, BytesView salt,
                           std::string_view label, BytesView ikm) {
    const auto labeledIkm = concat<SecureBytes>(text(versionLabel), suiteId, text(label), ikm);
    return hkdf::extract(hash, salt, labeledIkm);
}

template <std::size_t N>
SecureBytes labeledExpand(HashFunction hash, const std::array<std::uint8_t, N>& suiteId, BytesView prk,
                          std::string_view label, BytesView info, std::size_t length) {
    if (length > std::numeric_limits<std::uint16_t>::max()) throw CryptoError("HPKE: requested length too long");
    std::array<std::uint8_t, 2> encodedLength{};
    bigendian::write(encodedLength, length);
    const auto labeledInfo = concat(encodedLength, text(versionLabel), suiteId, text(label), info);
    return hkdf::expand(hash, prk, labeledInfo, length);
}

// DHKEM's ExtractAndExpand: the KEM shared secret from the DH output and enc || pkRm.
SecureBytes kemSharedSecret(BytesView dh, BytesView enc, BytesView recipientPublic) {
    const SecureBytes prk = labeledExtract(kemHash, kemSuiteId, {}, "eae_prk", dh);
    return labeledExpand(kemHash, kemSuiteId, prk, "shared_secret", concat(enc, recipientPublic), kemSecretSize);
}

void verifyPskInputs(const KeySchedule& schedule) {
    const bool gotPsk = !schedule.psk.empty();
    const bool gotPskId = !schedule.pskId.empty();
    if (gotPsk != gotPskId) throw CryptoError("HPKE: psk and psk_id must be given together");
    if (schedule.mode == Mode::base && gotPsk) throw CryptoError("HPKE: mode_base takes no psk");
    if (schedule.mode == Mode::psk && !gotPsk) throw CryptoError("HPKE: mode_psk needs a psk");
    if (schedule.mode != Mode::base && schedule.mode != Mode::psk) throw CryptoError("HPKE: unsupported mode");
}

SecureBytes nonceFor(const SecureBytes& baseNonce, std::uint64_t sequence) {
    SecureBytes nonce = baseNonce;
    for (std::size_t i = 0; i < sizeof sequence; ++i) {
        nonce[nonce.size() - 1 - i] ^= static_cast<std::uint8_t>(sequence >> (8 * i));
    }
    return nonce;
}

void checkSequence(std::uint64_t sequence) {
    // The nonce space is 96 bits; the 64-bit counter runs out first.
    if (sequence == std::numeric_limits<std::uint64_t>::max()) throw CryptoError("HPKE: message limit reached");
}

SecureBytes exportFrom(const SecureBytes& exporterSecret, BytesView exporterContext, std::size_t length) {
    if (length > 255 * kdfHashSize) throw CryptoError("HPKE: export length too long");
    return labeledExpand(kdfHash, hpkeSuiteId, exporterSecret, "sec", exporterContext, length);
}

// The key schedule context, mode || psk_id_hash || info_hash: public, and the same for every
// context of one room, so the last one made on this thread is kept.
Bytes scheduleContextFor(const KeySchedule& schedule) {
    struct Last {
        Mode mode;
        Bytes pskId, info, context;
    };
    thread_local std::optional<Last> last;
    auto same = [](BytesView a, const Bytes& b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); };
    if (last && last->mode == schedule.mode && same(schedule.pskId, last->pskId) && same(schedule.info, last->info)) {
        return last->context;
    }
    const SecureBytes pskIdHash = labeledExtract(kdfHash, hpkeSuiteId, {}, "psk_id_hash", schedule.pskId);
    const SecureBytes infoHash = labeledExtract(kdfHash, hpkeSuiteId, {}, "info_hash", schedule.info);
    const std::array<std::uint8_t, 1> mode = {static_cast<std::uint8_t>(schedule.mode)};
    last = Last{schedule.mode, toBytes(schedule.pskId), toBytes(schedule.info), concat(mode, pskIdHash, infoHash)};
    return last->context;
}

}  // namespace

// Runs the key schedule and fills either kind of context.
class ContextBuilder {
public:
    template <class Context>
    static Context build(SecureBytes sharedSecret, const KeySchedule& schedule) {
        const Bytes keyScheduleContext = scheduleContextFor(schedule);
        const SecureBytes secret = labeledExtract(kdfHash, hpkeSuiteId, sharedSecret, "secret", schedule.psk);

        Context context;
        context.key_ = labeledExpand(kdfHash, hpkeSuiteId, secret, "key", keyScheduleContext, aesgcm::keySize);
        context.baseNonce_ =
            labeledExpand(kdfHash, hpkeSuiteId, secret, "base_nonce", keyScheduleContext, aesgcm::nonceSize);
        context.exporterSecret_ = labeledExpand(kdfHash, hpkeSuiteId, secret, "exp", keyScheduleContext, kdfHashSize);
        context.sharedSecret_ = std::move(sharedSecret);
        return context;
    }

    static SenderContext sender(const p256::PublicKey& recipient, const KeySchedule& schedule,
                                const p256::PrivateKey& ephemeral) {
        verifyPskInputs(schedule);
        Bytes enc = ephemeral.publicX963();
        const SecureBytes dh = ephemeral.sharedSecret(recipient);
        SenderContext context = build<SenderContext>(kemSharedSecret(dh, enc, recipient.x963()), schedule);
        context.enc_ = std::move(enc);
        return context;
    }

    static RecipientContext recipient(BytesView enc, const P256KeyAgreementKey& recipient,
                                      const KeySchedule& schedule) {
        verifyPskInputs(schedule);
        if (enc.size() != encapsulatedKeySize) throw CryptoError("HPKE: encapsulated key must be 65 bytes");
        const p256::PublicKey ephemeral = p256::PublicKey::fromX963(enc);
        const SecureBytes dh = recipient.sharedSecret(ephemeral);
        return build<RecipientContext>(kemSharedSecret(dh, enc, recipient.publicKey().x963()), schedule);
    }
};

SenderContext SenderContext::setup(const p256::PublicKey& recipient, const KeySchedule& schedule) {
    return ContextBuilder::sender(recipient, schedule, p256::PrivateKey::generate());
}

SenderContext SenderContext::setupWithEphemeral(const p256::PublicKey& recipient, const KeySchedule& schedule,
                                                const p256::PrivateKey& ephemeral) {
    return ContextBuilder::sender(recipient, schedule, ephemeral);
}

Bytes SenderContext::seal(BytesView associatedData, BytesView plaintext) {
    checkSequence(sequence_);
    Bytes sealed = aesgcm::seal(key_, nonceFor(baseNonce_, sequence_), plaintext, associatedData);
    ++sequence_;
    return sealed;
}

SecureBytes SenderContext::exportSecret(BytesView exporterContext, std::size_t length) const {
    return exportFrom(exporterSecret_, exporterContext, length);
}

RecipientContext RecipientContext::setup(BytesView encapsulatedKey, const P256KeyAgreementKey& recipient,
                                         const KeySchedule& schedule) {
    return ContextBuilder::recipient(encapsulatedKey, recipient, schedule);
}

SecureBytes RecipientContext::open(BytesView associatedData, BytesView ciphertext) {
    checkSequence(sequence_);
    // A failed open leaves the sequence number where it was.
    SecureBytes plaintext = aesgcm::open(key_, nonceFor(baseNonce_, sequence_), ciphertext, associatedData);
    ++sequence_;
    return plaintext;
}

SecureBytes RecipientContext::exportSecret(BytesView exporterContext, std::size_t length) const {
    return exportFrom(exporterSecret_, exporterContext, length);
}

}  // namespace duoquill::hpke
