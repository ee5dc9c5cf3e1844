#pragma once
// PFSChatSession: every secret of one chat session between the local identity key and one
// peer identity key in one room.
//
// Life of a session (the client drives it, one call at a time, from one thread):
//
//   1. Creation makes a fresh P-256 ephemeral key, an ML-KEM-1024 key and an ML-DSA-87 key,
//      and seals the raw ephemeral public key to the peer's identity key with HPKE (mode_psk,
//      the psk drawn from the static-static ECDH): authCiphertext, authEncapKey. These and
//      mlkemPublicKeyData go into the hello message.
//   2. completeHandshake(peer's three values) opens the peer's ephemeral key, decides the
//      roles (the smaller raw ephemeral key is the initiator) and installs provisional tunnel
//      keys: phase p256Complete, isTunnelReady.
//   3. Initiator: performPQKeyExchange() -> ciphertext sent through the tunnel, then
//      completePQInitiator(). Responder: completePQKeyExchange(ciphertext). Either derives
//      the master key and every session key: phase pqComplete, isReady, fresh tunnel keys;
//      the caller then writes the room's epoch file with the time it passed in. The client then exchanges localKeyConfirmation and compares
//      the peer's with expectedPeerKeyConfirmation.
//   4. Traffic: prepareDHRatchetIfNeeded() then seal()/sealDummy(); tunnelSeal() of the
//      message around it. On receipt: tunnelOpen(), receiveDHRatchetKey() when a header came,
//      then open().
//   5. destroy() (also run by the destructor) wipes every secret; the caller removes the
//      room's epoch file.
//
// The session reads no clock and no file: every call that needs the time takes it, and the
// room's epoch file is read by the caller before the session is made (`roomEpoch`).
//
// Errors: SessionError for the session's own conditions (what() is the case name);
// TunnelPayloadTooLarge from tunnelSeal; CryptoError/AuthenticationError from the platform
// pass through unchanged. Unless a function says otherwise, a call that throws leaves the
// session as it was.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/Base/SecureBytes.h"
#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Primitives/Hkdf.h"
#include "Duoquill/Primitives/P256.h"
#include "Duoquill/Session/Instant.h"
#include "Duoquill/Session/SessionError.h"

namespace duoquill {

struct SessionEnvironment;  // SessionEnvironment.h: the seams tests use to pin every input
class SessionEntropy;

class PFSChatSession {
public:
    using SessionError = duoquill::SessionError;

    enum class HandshakePhase : std::uint8_t { initial, p256Complete, pqComplete };

    // A sealed record and the counter it was sealed under; the counter travels beside it.
    struct SealedRecord {
        Bytes data;
        std::uint64_t counter = 0;
    };

    static constexpr std::size_t mlkemPublicKeySize = 1568;
    static constexpr std::size_t mlkemCiphertextSize = 1568;
    static constexpr std::uint64_t recordCounterLimit = 100000;
    static constexpr std::uint64_t tunnelCounterLimit = 200000;
    static constexpr std::uint64_t tunnelMaxGap = 20;
    static constexpr std::size_t tunnelMaxPayload = 65535;
    static constexpr double sessionLifetimeSeconds = 86400.0;
    static constexpr std::size_t recordBucket = 256;
    static constexpr std::size_t tunnelBucket = 1536;
    static constexpr std::size_t ratchetHeaderSize = 64 + 1568;              // keys only
    static constexpr std::size_t ratchetHeaderWithCiphertextSize = 64 + 1568 + 1568;

    // Creates the session with the system key store and randomness.
    // localStaticKey: the local identity key; peerStaticKey: the peer's identity key;
    // roomCode: the 128-hex-digit room code; roomEpoch: the room's epoch file as read just
    // before (nothing: no usable file), which ends this session too once a day old, until its
    // own keys are made; peerMLDSAPublicKey: kept and wiped, never used.
    // Throws what key generation, key agreement or HPKE report.
    PFSChatSession(std::shared_ptr<const P256KeyAgreementKey> localStaticKey, const p256::PublicKey& peerStaticKey,
                   std::string roomCode, std::optional<double> roomEpoch = std::nullopt,
                   std::optional<Bytes> peerMLDSAPublicKey = std::nullopt);
    // The same with the key store and entropy taken from `environment`; they must outlive the
    // session (the struct itself need not).
    PFSChatSession(const SessionEnvironment& environment, std::shared_ptr<const P256KeyAgreementKey> localStaticKey,
                   const p256::PublicKey& peerStaticKey, std::string roomCode,
                   std::optional<double> roomEpoch = std::nullopt,
                   std::optional<Bytes> peerMLDSAPublicKey = std::nullopt);
    ~PFSChatSession();  // runs destroy()

    PFSChatSession(const PFSChatSession&) = delete;
    PFSChatSession& operator=(const PFSChatSession&) = delete;

    // ---- handshake ----

    // Opens the peer's sealed ephemeral key and runs the P-256 stage. Raises
    // handshakeNotComplete when the static or ephemeral keys are gone (a second call),
    // pqRequired when the peer's ML-KEM key is not 1568 bytes; an HPKE or point failure
    // passes through. Everything that can fail runs before anything is written.
    void completeHandshake(BytesView peerAuthCiphertext, BytesView peerAuthEncapKey,
                           BytesView peerMLKEMPublicKeyData, Instant now);

    // Initiator, phase p256Complete: encapsulates to the peer's ML-KEM key and returns the
    // 1568-byte ciphertext to send. pqExchangeNotReady on the wrong phase or role.
    Bytes performPQKeyExchange();
    // Initiator, after performPQKeyExchange: derives every session key. `now` starts the
    // session's age and is the time the caller writes to the room's epoch file.
    void completePQInitiator(Instant now);
    // Responder, phase p256Complete: decapsulates the initiator's ciphertext and derives every
    // session key. pqDecapsulationFailed when decapsulation fails (e.g. a wrong length).
    void completePQKeyExchange(BytesView ciphertext, Instant now);

    bool isReady() const noexcept { return txKey_.has_value(); }
    bool isTunnelReady() const noexcept { return tunnelTxKey_.has_value(); }
    HandshakePhase handshakePhase() const noexcept { return handshakePhase_; }
    // Absent until completeHandshake.
    std::optional<bool> isInitiator() const noexcept { return isInitiator_; }

    // Published in the hello message.
    const Bytes& mlkemPublicKeyData() const noexcept { return mlkemPublicKeyData_; }
    const Bytes& authCiphertext() const noexcept { return authCiphertext_; }  // 80 bytes
    const Bytes& authEncapKey() const noexcept { return authEncapKey_; }      // 65 bytes
    const p256::PublicKey& ephemeralPublicKey() const noexcept { return ephemeralPublicKey_; }

    // 32 bytes each once the session keys exist; the client sends the first in its "ready"
    // and compares the peer's with the second in constant time.
    const std::optional<SecureBytes>& localKeyConfirmation() const noexcept { return localKeyConfirmation_; }
    const std::optional<SecureBytes>& expectedPeerKeyConfirmation() const noexcept {
        return expectedPeerKeyConfirmation_;
    }

    // ---- records ----
    //
    // Every seal and open first checks, in order: the chain key is present
    // (handshakeNotComplete), its counter is below 100000, the session's uptime age and the
    // age of its epoch (its keys' wall-clock time, or the room's reading before they exist)
    // are below 86400 s at `now` (sessionExpired).

    // Pads the message (kind 0x01, 4-byte length, random padding to 256-byte buckets plus 0,
    // 1 or 2 extra buckets) and seals it under the sending chain; the chain then steps.
    SealedRecord seal(BytesView message, Instant now);
    // The same for a cover record (kind 0x00, 256, 512 or 768 bytes of plaintext).
    SealedRecord sealDummy(Instant now);
    // Opens the record sealed under `counter`, which must be exactly the next expected one
    // (a smaller counter is replayDetected, a greater one openFailed). Returns the message,
    // or nothing for a cover record. An authentication failure passes through and moves
    // nothing; a record that authenticates but unpads badly raises openFailed after the
    // chain has moved past it.
    std::optional<SecureBytes> open(BytesView record, std::uint64_t counter, Instant now);

    // ---- tunnel ----
    //
    // Runs from p256Complete on. Frames are counter (8 bytes) || ciphertext || tag, padded to
    // 1536-byte buckets (plus 0 or 1 extra). The same guard as records, limit 200000 frames.

    // Raises TunnelPayloadTooLarge (nothing changed) for payloads over 65535 bytes.
    Bytes tunnelSeal(BytesView payload, Instant now);
    // Accepts frames up to 20 ahead of the expected one (those skipped can never open);
    // older frames are replayDetected, frames further ahead openFailed. As with records, an
    // authentic frame whose padded payload is malformed raises openFailed after the chain
    // has moved past it.
    SecureBytes tunnelOpen(BytesView frame, Instant now);

    // ---- root ratchet ----

    // Call right before each seal/sealDummy. When a ratchet step is due, makes new DH and
    // ML-KEM ratchet keys (and a root step once the peer's ratchet key is known) and returns
    // the header to send with that record: 1632 bytes (keys) or 3200 (keys and ciphertext).
    // Only the initiator starts with a step due; afterwards a step is due after each header
    // received, so the two sides' root steps strictly alternate.
    std::optional<Bytes> prepareDHRatchetIfNeeded();
    // Call with a received header before opening its record. Stores the peer's ratchet keys;
    // a 3200-byte header also steps the root and the receiving chain. openFailed under 64
    // bytes; a bad point passes the platform error. Either way nothing changes.
    void receiveDHRatchetKey(BytesView header);
    // True when the next record sent must carry a ratchet header (the client bounds the size
    // of a message before anything moves).
    bool isDHRatchetPending() const noexcept { return dhRatchetPending_; }
    // The size of the header the next record carries: 0 when no step is due; keys only
    // (ratchetHeaderSize) until a usable header of the peer has come; else keys and ciphertext.
    std::size_t pendingRatchetHeaderSize() const noexcept {
        if (!dhRatchetPending_) return 0;
        const bool ciphertext = peerDHRatchetKey_ && peerMLKEMRatchetPublicKeyData_ &&
                                peerMLKEMRatchetPublicKeyData_->size() == mlkemPublicKeySize;
        return ciphertext ? ratchetHeaderWithCiphertextSize : ratchetHeaderSize;
    }

    // ---- teardown ----

    // Wipes every secret and returns the handshake to its start. Afterwards every operation
    // fails. Safe to call any number of times.
    void destroy() noexcept;

private:
    friend struct PFSChatSessionTestAccess;  // defined only by the test kit

    struct Env {
        KeyStore* keyStore;
        SessionEntropy* entropy;
    };

    void create(std::optional<Bytes> peerMLDSAPublicKey);
    SecureBytes deniablePSK() const;
    void deriveHybridKeys(Instant now);
    void deriveAllKeysFromMasterKey(const SecureBytes& masterKey, bool isInitiator, Instant now);

    void requireValid(const std::optional<SecureBytes>& key, std::uint64_t counter, std::uint64_t limit,
                      Instant now) const;
    class SealBuffer;
    // Seals a padded plaintext as the next record.
    SealedRecord sealPadded(BytesView padded);
    SealedRecord sealRecord(SealBuffer padded);
    // The padded plaintext with room for the tag after it.
    SealBuffer pad(BytesView message, bool isDummy);
    // A frame's layout: room for the counter, the padded payload, room for the tag.
    SealBuffer tunnelPad(BytesView payload);
    void performDHRatchetSend();

    // Pure helpers of the formats.
    static std::array<std::uint8_t, 12> maskedNonce(std::uint64_t counter, BytesView mask);
    // Associated data, built on the stack (a record's is 137 bytes at most). Wiped when it
    // goes: it carries the session ID, which is wiped like a key.
    class AssociatedData {
    public:
        static constexpr std::size_t capacity = 1 + 8 + 64 + 64;
        AssociatedData() = default;
        AssociatedData(const AssociatedData&) = default;
        AssociatedData& operator=(const AssociatedData&) = default;
        ~AssociatedData() { secureWipe(bytes_.data(), size_); }
        // Throws CryptoError past the capacity.
        void append(BytesView bytes);
        operator BytesView() const noexcept { return {bytes_.data(), size_}; }

    private:
        std::array<std::uint8_t, capacity> bytes_;
        std::size_t size_ = 0;
    };
    // sessionID is empty while the session has none.
    static AssociatedData aad(std::uint8_t direction, std::uint64_t counter, BytesView sessionID,
                              BytesView transcriptHash);
    static AssociatedData tunnelAAD(std::uint8_t direction, std::uint64_t counter, BytesView sessionID);
    // The body, moved to the front of the same buffer.
    static std::optional<SecureBytes> unpad(SecureBytes padded);
    static SecureBytes tunnelUnpad(SecureBytes padded);
    // One chain step, salted with chainSalt(), written to next (which may be chainKey).
    static constexpr std::size_t chainKeySize = 32;
    using ChainKey = Wiped<std::array<std::uint8_t, chainKeySize>>;
    void ratchet(BytesView chainKey, std::span<std::uint8_t, chainKeySize> next);
    void tunnelRatchet(BytesView chainKey, std::span<std::uint8_t, chainKeySize> next);
    // sessionID, or empty before the session keys exist.
    BytesView chainSalt() const noexcept;
    Bytes info(std::string_view prefix) const;
    static void appendBigEndian(Bytes& out, std::uint64_t value, std::size_t width);

    // The fields destroy() clears: the secrets and everything derived from or bound to them,
    // visited as visit(name, field). The tests' snapshots and hygiene checks walk this list too.
    template <class Self, class Visit>
    static void forEachSecret(Self& s, Visit&& visit) {
        visit("ephemeralPrivateKey", s.ephemeralPrivateKey_);
        visit("localStaticKey", s.localStaticKey_);
        visit("peerStaticKey", s.peerStaticKey_);
        visit("pskDeniable", s.pskDeniable_);
        visit("mlkemPrivateKey", s.mlkemPrivateKey_);
        visit("txKey", s.txKey_);
        visit("rxKey", s.rxKey_);
        visit("tunnelTxKey", s.tunnelTxKey_);
        visit("tunnelRxKey", s.tunnelRxKey_);
        visit("resumeAuthKey", s.resumeAuthKey_);
        visit("rootKey", s.rootKey_);
        visit("dhRatchetPrivateKey", s.dhRatchetPrivateKey_);
        visit("dhRatchetPublicKey", s.dhRatchetPublicKey_);
        visit("peerDHRatchetKey", s.peerDHRatchetKey_);
        visit("mlkemRatchetPrivateKey", s.mlkemRatchetPrivateKey_);
        visit("mlkemRatchetPublicKeyData", s.mlkemRatchetPublicKeyData_);
        visit("peerMLKEMRatchetPublicKeyData", s.peerMLKEMRatchetPublicKeyData_);
        visit("mlkemRatchetCiphertext", s.mlkemRatchetCiphertext_);
        visit("mldsaSigningKey", s.mldsaSigningKey_);
        visit("peerMLDSAPublicKeyData", s.peerMLDSAPublicKeyData_);
        visit("mldsaPublicKeyData", s.mldsaPublicKeyData_);
        visit("pqAuthVerified", s.pqAuthVerified_);
        visit("txNonceMask", s.txNonceMask_);
        visit("rxNonceMask", s.rxNonceMask_);
        visit("sessionID", s.sessionID_);
        visit("localKeyConfirmation", s.localKeyConfirmation_);
        visit("expectedPeerKeyConfirmation", s.expectedPeerKeyConfirmation_);
        visit("txTranscriptHash", s.txTranscriptHash_);
        visit("rxTranscriptHash", s.rxTranscriptHash_);
        visit("p256SharedSecret", s.p256SharedSecret_);
        visit("mlkemSharedSecret", s.mlkemSharedSecretData_);
        visit("mlkemCiphertext", s.mlkemCiphertextData_);
        visit("orderedEpk", s.orderedEpkSalt_);
        visit("peerMLKEMPublicKeyData", s.peerMLKEMPublicKeyData_);
        visit("handshakePhase", s.handshakePhase_);
        visit("isInitiator", s.isInitiator_);
        visit("sessionCreatedAt", s.sessionCreatedAt_);
        visit("epoch", s.epoch_);
    }
    // Every field that can change after creation: the secrets, then what destroy() keeps.
    template <class Self, class Visit>
    static void forEachState(Self& s, Visit&& visit) {
        forEachSecret(s, visit);
        visit("ephemeralPublicKeyRaw", s.ephemeralPublicKey_);
        visit("mlkemPublicKeyData", s.mlkemPublicKeyData_);
        visit("authCiphertext", s.authCiphertext_);
        visit("authEncapKey", s.authEncapKey_);
        visit("txCounter", s.txCounter_);
        visit("rxCounter", s.rxCounter_);
        visit("txDirection", s.txDirection_);
        visit("rxDirection", s.rxDirection_);
        visit("resumeCounter", s.resumeCounter_);
        visit("dhRatchetPending", s.dhRatchetPending_);
        visit("tunnelTxCounter", s.tunnelTxCounter_);
        visit("tunnelRxCounter", s.tunnelRxCounter_);
    }

    template <class T>
    static void secureZeroData(std::optional<T>& value) noexcept {
        if (value) {
            secureWipe(value->data(), value->size());
            value.reset();
        }
    }

    // Class-wide labels.
    static constexpr std::string_view ratchetInfo = "morvane-pfs:ratchet";
    static constexpr std::string_view tunnelRatchetInfo = "morvane-pfs:tunnel-ratchet";
    static constexpr std::string_view dhRatchetInfo = "morvane-pfs:dh-ratchet";
    static constexpr std::string_view dhRatchetPQInfo = "morvane-pfs:dh-ratchet-pq";
    static constexpr std::string_view rootChainInfo = "morvane-pfs:root-chain";
    static constexpr std::string_view nonceMaskAInfo = "morvane-pfs:nonce-mask-a";
    static constexpr std::string_view nonceMaskBInfo = "morvane-pfs:nonce-mask-b";
    static constexpr std::string_view deniablePSKIdentifier = "morvane-pfs:deniable-v1";

    Env env_;

    // Fields in the order of the session's data model.
    std::unique_ptr<P256KeyAgreementKey> ephemeralPrivateKey_;
    p256::PublicKey ephemeralPublicKey_;
    std::unique_ptr<MLKEM1024Key> mlkemPrivateKey_;
    Bytes mlkemPublicKeyData_;
    std::optional<Bytes> peerMLKEMPublicKeyData_;
    std::optional<SecureBytes> p256SharedSecret_;
    std::optional<Bytes> orderedEpkSalt_;
    std::optional<SecureBytes> mlkemSharedSecretData_;
    std::optional<Bytes> mlkemCiphertextData_;
    HandshakePhase handshakePhase_ = HandshakePhase::initial;
    std::optional<bool> isInitiator_;
    Bytes authCiphertext_;
    Bytes authEncapKey_;
    std::optional<SecureBytes> txKey_, rxKey_;
    std::optional<SecureBytes> sessionID_;
    std::optional<SecureBytes> resumeAuthKey_;
    std::uint64_t txCounter_ = 0, rxCounter_ = 0;
    std::uint8_t txDirection_ = 0, rxDirection_ = 0;
    std::uint64_t resumeCounter_ = 0;
    double sessionCreatedAt_ = 0;
    // Wall-clock seconds the session's age is counted from on the wall clock: the room's
    // reading until the keys exist, then their time.
    std::optional<double> epoch_;
    SecureBytes txNonceMask_ = SecureBytes(12, 0), rxNonceMask_ = SecureBytes(12, 0);
    std::unique_ptr<P256KeyAgreementKey> dhRatchetPrivateKey_;
    std::optional<p256::PublicKey> dhRatchetPublicKey_, peerDHRatchetKey_;
    std::unique_ptr<MLKEM1024Key> mlkemRatchetPrivateKey_;
    Bytes mlkemRatchetPublicKeyData_;
    std::optional<Bytes> peerMLKEMRatchetPublicKeyData_, mlkemRatchetCiphertext_;
    bool dhRatchetPending_ = false;
    std::optional<SecureBytes> rootKey_;
    std::optional<SecureBytes> tunnelTxKey_, tunnelRxKey_;
    std::uint64_t tunnelTxCounter_ = 0, tunnelRxCounter_ = 0;
    std::optional<SecureBytes> localKeyConfirmation_, expectedPeerKeyConfirmation_;
    Bytes txTranscriptHash_ = Bytes(64, 0), rxTranscriptHash_ = Bytes(64, 0);
    std::unique_ptr<MLDSA87Key> mldsaSigningKey_;
    std::optional<Bytes> peerMLDSAPublicKeyData_;
    Bytes mldsaPublicKeyData_;
    bool pqAuthVerified_ = false;
    const std::string roomCode_;
    std::shared_ptr<const P256KeyAgreementKey> localStaticKey_;
    std::optional<p256::PublicKey> peerStaticKey_;
    // The HPKE psk of the two identities, made once at creation for both the seal and the
    // open (it would otherwise cost a second static ECDH); gone with the static keys.
    std::optional<SecureBytes> pskDeniable_;
    // The chain salt's HMAC keying, kept across the per-record steps; wiped by destroy().
    hkdf::SaltCache chainKdf_{HashFunction::sha512};
    const Bytes infoKex_, infoTemp_, infoTunnelA_, infoTunnelB_, infoP256Extract_, infoMasterPQ_, infoA_, infoB_,
        infoSid_, infoResumeAuth_, infoConfirmA_, infoConfirmB_, infoTranscriptA_, infoTranscriptB_,
        infoDeniableAuth_;
};

}  // namespace duoquill
