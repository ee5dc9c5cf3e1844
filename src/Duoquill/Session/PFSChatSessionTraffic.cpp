// Everything a session does once its keys exist: the record layer, the tunnel around it and
// the root ratchet.
//
// The record layer: padding, masked nonces, associated data, transcript binding and the
// per-record chain step; and the validity guard shared with the tunnel.

#include <algorithm>

#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Session/SessionEnvironment.h"
#include "Duoquill/Base/BigEndian.h"
#include "Duoquill/Primitives/AesGcm.h"
#include "Duoquill/Primitives/Hkdf.h"
#include "Duoquill/Primitives/Sha2.h"
#include "Duoquill/Base/PlatformError.h"

namespace duoquill {
namespace {

constexpr std::uint8_t kindCover = 0x00;
constexpr std::uint8_t kindMessage = 0x01;
constexpr std::size_t lengthFieldSize = 4;
constexpr std::uint32_t extraBucketChoices = 3;  // 0, 1 or 2 extra buckets
constexpr std::size_t shortestRecord = aesgcm::tagSize + 1;

[[noreturn]] void fail(SessionErrorCode code) { throw SessionError(code); }

}  // namespace

// Plaintext laid out where its ciphertext goes, so that it is sealed in place. Bytes does not
// wipe itself: the buffer is wiped unless it was sealed, and its whole size is reserved before
// anything is written, so that no reallocation leaves a copy behind.
class PFSChatSession::SealBuffer {
public:
    explicit SealBuffer(std::size_t size) { bytes_.reserve(size); }
    SealBuffer(SealBuffer&& other) noexcept : bytes_(std::move(other.bytes_)), sealed_(other.sealed_) {
        other.bytes_.clear();
    }
    SealBuffer& operator=(SealBuffer&&) = delete;
    ~SealBuffer() {
        if (!sealed_) secureWipe(bytes_.data(), bytes_.size());
    }
    Bytes& bytes() noexcept { return bytes_; }
    // The buffer once its contents are sealed.
    Bytes sealed() && {
        sealed_ = true;
        return std::move(bytes_);
    }

private:
    Bytes bytes_;
    bool sealed_ = false;
};

void PFSChatSession::appendBigEndian(Bytes& out, std::uint64_t value, std::size_t width) {
    bigendian::append(out, value, width);
}

void PFSChatSession::AssociatedData::append(BytesView bytes) {
    if (bytes.size() > capacity - size_) throw CryptoError("associated data longer than a record's");
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(size_));
    size_ += bytes.size();
}

BytesView PFSChatSession::chainSalt() const noexcept {
    return sessionID_ ? BytesView(*sessionID_) : BytesView();
}

std::array<std::uint8_t, 12> PFSChatSession::maskedNonce(std::uint64_t counter, BytesView mask) {
    std::array<std::uint8_t, 12> nonce{};
    bigendian::write(std::span(nonce).subspan(4, 8), counter);
    for (std::size_t i = 0; i < nonce.size() && i < mask.size(); ++i) nonce[i] ^= mask[i];
    return nonce;
}

PFSChatSession::AssociatedData PFSChatSession::aad(std::uint8_t direction, std::uint64_t counter,
                                                   BytesView sessionID, BytesView transcriptHash) {
    AssociatedData out = tunnelAAD(direction, counter, sessionID);
    out.append(transcriptHash);
    return out;
}

void PFSChatSession::ratchet(BytesView chainKey, std::span<std::uint8_t, chainKeySize> next) {
    chainKdf_.derive(chainKey, chainSalt(), asBytes(ratchetInfo), next);
}

void PFSChatSession::requireValid(const std::optional<SecureBytes>& key, std::uint64_t counter,
                                  std::uint64_t limit, Instant now) const {
    if (!key) fail(SessionErrorCode::handshakeNotComplete);
    if (counter >= limit) fail(SessionErrorCode::sessionExpired);
    if (now.uptimeSeconds - sessionCreatedAt_ >= sessionLifetimeSeconds) fail(SessionErrorCode::sessionExpired);
    // A time in the future is a negative age: not expired.
    if (epoch_ && now.wallSeconds - *epoch_ >= sessionLifetimeSeconds) fail(SessionErrorCode::sessionExpired);
}

PFSChatSession::SealBuffer PFSChatSession::pad(BytesView message, bool isDummy) {
    const std::size_t extra = recordBucket * env_.entropy->uniform(extraBucketChoices);
    const std::size_t used = isDummy ? 1 : 1 + lengthFieldSize + message.size();
    const std::size_t paddingSize =
        isDummy ? recordBucket - 1 + extra : (recordBucket - used % recordBucket) % recordBucket + extra;
    SealBuffer buffer(used + paddingSize + aesgcm::tagSize);
    Bytes& out = buffer.bytes();
    if (isDummy) {
        out.push_back(kindCover);
    } else {
        out.push_back(kindMessage);
        // Lengths of 2^32 bytes and more cannot be framed; the client stays far below.
        bigendian::append(out, static_cast<std::uint32_t>(message.size()), lengthFieldSize);
        out.insert(out.end(), message.begin(), message.end());
    }
    out.resize(used + paddingSize + aesgcm::tagSize);
    if (paddingSize != 0) env_.entropy->fill(std::span(out).subspan(used, paddingSize));
    return buffer;
}

std::optional<SecureBytes> PFSChatSession::unpad(SecureBytes padded) {
    if (padded.empty()) fail(SessionErrorCode::openFailed);
    if (padded[0] == kindCover) return std::nullopt;
    if (padded.size() < 1 + lengthFieldSize) fail(SessionErrorCode::openFailed);
    const std::uint64_t length = bigendian::read(BytesView(padded).subspan(1, lengthFieldSize));
    if (length > padded.size() - 1 - lengthFieldSize) fail(SessionErrorCode::openFailed);
    // The body moves to the front; what is left past it is wiped with the buffer.
    const auto body = padded.begin() + 1 + lengthFieldSize;
    std::copy(body, body + static_cast<std::ptrdiff_t>(length), padded.begin());
    padded.resize(static_cast<std::size_t>(length));
    return padded;
}

PFSChatSession::SealedRecord PFSChatSession::seal(BytesView message, Instant now) {
    requireValid(txKey_, txCounter_, recordCounterLimit, now);
    if (message.size() > 0xFFFFFFFFu) fail(SessionErrorCode::sealFailed);
    return sealRecord(pad(message, false));
}

PFSChatSession::SealedRecord PFSChatSession::sealDummy(Instant now) {
    requireValid(txKey_, txCounter_, recordCounterLimit, now);
    return sealRecord(pad({}, true));
}

PFSChatSession::SealedRecord PFSChatSession::sealPadded(BytesView padded) {
    SealBuffer buffer(padded.size() + aesgcm::tagSize);
    buffer.bytes().assign(padded.begin(), padded.end());
    buffer.bytes().resize(padded.size() + aesgcm::tagSize);
    return sealRecord(std::move(buffer));
}

PFSChatSession::SealedRecord PFSChatSession::sealRecord(SealBuffer padded) {
    const std::uint64_t counter = txCounter_;
    const auto nonce = maskedNonce(counter, txNonceMask_);
    aesgcm::sealInPlace(*txKey_, nonce, padded.bytes(), aad(txDirection_, counter, chainSalt(), txTranscriptHash_));
    Bytes record = std::move(padded).sealed();
    const auto nextHash = sha512Concat(txTranscriptHash_, record);
    ChainKey nextKey;
    ratchet(*txKey_, nextKey.value);

    // Same sizes as before: the buffers are reused, nothing here can throw.
    txTranscriptHash_.assign(nextHash.begin(), nextHash.end());
    txKey_->assign(nextKey.value.begin(), nextKey.value.end());
    txCounter_ = counter + 1;
    return {std::move(record), counter};
}

std::optional<SecureBytes> PFSChatSession::open(BytesView record, std::uint64_t counter, Instant now) {
    requireValid(rxKey_, rxCounter_, recordCounterLimit, now);
    if (record.size() < shortestRecord) fail(SessionErrorCode::openFailed);
    if (counter > rxCounter_) fail(SessionErrorCode::openFailed);
    if (counter < rxCounter_) fail(SessionErrorCode::replayDetected);

    const auto nonce = maskedNonce(counter, rxNonceMask_);
    SecureBytes padded =
        aesgcm::open(*rxKey_, nonce, record, aad(rxDirection_, counter, chainSalt(), rxTranscriptHash_));
    const auto nextHash = sha512Concat(rxTranscriptHash_, record);
    ChainKey nextKey;
    ratchet(*rxKey_, nextKey.value);

    rxTranscriptHash_.assign(nextHash.begin(), nextHash.end());
    rxKey_->assign(nextKey.value.begin(), nextKey.value.end());
    rxCounter_ = counter + 1;
    return unpad(std::move(padded));
}

// The tunnel: the outer layer around every tunnelled relay message, with its own keys,
// counters and chain, padded to 1536-byte buckets, tolerant of up to 20 lost frames.

namespace {

constexpr std::size_t counterFieldSize = 8;
constexpr std::size_t tunnelLengthFieldSize = 2;
constexpr std::uint32_t tunnelExtraBucketChoices = 2;  // 0 or 1 extra bucket
constexpr std::size_t shortestBody = aesgcm::tagSize + 1;

}  // namespace

PFSChatSession::AssociatedData PFSChatSession::tunnelAAD(std::uint8_t direction, std::uint64_t counter,
                                                         BytesView sessionID) {
    std::array<std::uint8_t, 1 + counterFieldSize> head{direction};
    bigendian::write(std::span(head).subspan<1>(), counter);
    AssociatedData out;
    out.append(head);
    out.append(sessionID);
    return out;
}

void PFSChatSession::tunnelRatchet(BytesView chainKey, std::span<std::uint8_t, chainKeySize> next) {
    chainKdf_.derive(chainKey, chainSalt(), asBytes(tunnelRatchetInfo), next);
}

PFSChatSession::SealBuffer PFSChatSession::tunnelPad(BytesView payload) {
    const std::size_t used = tunnelLengthFieldSize + payload.size();
    const std::size_t buckets = std::max<std::size_t>(1, (used + tunnelBucket - 1) / tunnelBucket);
    const std::size_t target = (buckets + env_.entropy->uniform(tunnelExtraBucketChoices)) * tunnelBucket;
    SealBuffer frame(counterFieldSize + target + aesgcm::tagSize);
    Bytes& out = frame.bytes();
    out.resize(counterFieldSize);  // the counter goes here once known
    bigendian::append(out, payload.size(), tunnelLengthFieldSize);
    out.insert(out.end(), payload.begin(), payload.end());
    out.resize(counterFieldSize + target + aesgcm::tagSize);
    if (target > used) env_.entropy->fill(std::span(out).subspan(counterFieldSize + used, target - used));
    return frame;
}

SecureBytes PFSChatSession::tunnelUnpad(SecureBytes padded) {
    if (padded.size() < tunnelLengthFieldSize) fail(SessionErrorCode::openFailed);
    const auto length = static_cast<std::size_t>(bigendian::read(BytesView(padded).first(tunnelLengthFieldSize)));
    if (padded.size() < tunnelLengthFieldSize + length) fail(SessionErrorCode::openFailed);
    const auto body = padded.begin() + tunnelLengthFieldSize;
    std::copy(body, body + static_cast<std::ptrdiff_t>(length), padded.begin());
    padded.resize(length);
    return padded;
}

Bytes PFSChatSession::tunnelSeal(BytesView payload, Instant now) {
    requireValid(tunnelTxKey_, tunnelTxCounter_, tunnelCounterLimit, now);
    if (payload.size() > tunnelMaxPayload) throw TunnelPayloadTooLarge();

    const std::uint64_t counter = tunnelTxCounter_;
    const auto nonce = maskedNonce(counter, txNonceMask_);
    SealBuffer frame = tunnelPad(payload);
    const std::span<std::uint8_t> bytes(frame.bytes());
    bigendian::write(bytes.first(counterFieldSize), counter);
    aesgcm::sealInPlace(*tunnelTxKey_, nonce, bytes.subspan(counterFieldSize),
                        tunnelAAD(txDirection_, counter, chainSalt()));
    ChainKey nextKey;
    tunnelRatchet(*tunnelTxKey_, nextKey.value);

    tunnelTxKey_->assign(nextKey.value.begin(), nextKey.value.end());
    tunnelTxCounter_ = counter + 1;
    return std::move(frame).sealed();
}

SecureBytes PFSChatSession::tunnelOpen(BytesView frame, Instant now) {
    requireValid(tunnelRxKey_, tunnelRxCounter_, tunnelCounterLimit, now);
    if (frame.size() < counterFieldSize + shortestBody) fail(SessionErrorCode::openFailed);
    const std::uint64_t counter = bigendian::read(frame.first(counterFieldSize));
    const BytesView body = frame.subspan(counterFieldSize);
    if (counter < tunnelRxCounter_) fail(SessionErrorCode::replayDetected);
    const std::uint64_t gap = counter - tunnelRxCounter_;
    if (gap > tunnelMaxGap) fail(SessionErrorCode::openFailed);

    // Step a copy over the skipped frames; the chain moves only once this frame authenticates.
    ChainKey key;
    if (tunnelRxKey_->size() != chainKeySize) fail(SessionErrorCode::openFailed);
    std::copy(tunnelRxKey_->begin(), tunnelRxKey_->end(), key.value.begin());
    for (std::uint64_t i = 0; i < gap; ++i) tunnelRatchet(key.value, key.value);
    const auto nonce = maskedNonce(counter, rxNonceMask_);
    SecureBytes padded = aesgcm::open(key.value, nonce, body, tunnelAAD(rxDirection_, counter, chainSalt()));
    tunnelRatchet(key.value, key.value);

    tunnelRxKey_->assign(key.value.begin(), key.value.end());
    tunnelRxCounter_ = counter + 1;
    return tunnelUnpad(std::move(padded));
}

// The root ratchet: each turn of the conversation mixes a fresh ECDH and a fresh ML-KEM
// secret into the root key and starts a new chain for the side that sends.
//
// Both steps compute everything first and store it only at the end, so a platform failure
// part-way leaves the session exactly as it was (and a due step still due).

namespace {

constexpr std::size_t keySize = 32;
constexpr std::size_t dhKeyOffset = 0;
constexpr std::size_t mlkemKeyOffset = p256::rawSize;
constexpr std::size_t ciphertextOffset = mlkemKeyOffset + PFSChatSession::mlkemPublicKeySize;

struct RootStepResult {
    SecureBytes rootKey;
    SecureBytes chainKey;
};

// ECDH, then the ECDH secret through HKDF with the DH-ratchet label: the first part of the
// root step's input key material.
SecureBytes dhPart(const P256KeyAgreementKey& own, const p256::PublicKey& other, std::string_view label) {
    SecureBytes s = own.sharedSecret(other);
    return hkdf::derive(HashFunction::sha512, s, {}, asBytes(label), keySize);
}

// The post-quantum label is used whether or not an ML-KEM secret is part of ikm. Wipes ikm.
RootStepResult rootStep(SecureBytes& ikm, BytesView rootKey, std::string_view label) {
    SecureBytes out = hkdf::derive(HashFunction::sha512, ikm, rootKey, asBytes(label), 2 * keySize);
    secureWipe(ikm.data(), ikm.size());
    return {SecureBytes(out.begin(), out.begin() + keySize), SecureBytes(out.begin() + keySize, out.end())};
}

}  // namespace

std::optional<Bytes> PFSChatSession::prepareDHRatchetIfNeeded() {
    if (!dhRatchetPending_) return std::nullopt;
    performDHRatchetSend();
    Bytes header = dhRatchetPublicKey_->raw();
    header.insert(header.end(), mlkemRatchetPublicKeyData_.begin(), mlkemRatchetPublicKeyData_.end());
    if (mlkemRatchetCiphertext_) {
        header.insert(header.end(), mlkemRatchetCiphertext_->begin(), mlkemRatchetCiphertext_->end());
    }
    return header;
}

// g++ 14 takes the vector inside an empty std::optional for uninitialized where the member
// optional is reset and then assigned in one inlined sequence; g++ 12 and clang see nothing.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
void PFSChatSession::performDHRatchetSend() {
    if (!rootKey_) fail(SessionErrorCode::handshakeNotComplete);

    std::unique_ptr<P256KeyAgreementKey> dhKey = env_.keyStore->generateP256();
    p256::PublicKey dhPublic = dhKey->publicKey();
    std::unique_ptr<MLKEM1024Key> mlkemKey = env_.keyStore->generateMLKEM1024();

    std::optional<Bytes> ciphertext;
    std::optional<RootStepResult> step;
    // Until a header of the peer has come there is nothing to agree with: the first header
    // only publishes keys.
    if (peerDHRatchetKey_) {
        SecureBytes ikm = dhPart(*dhKey, *peerDHRatchetKey_, dhRatchetInfo);
        if (peerMLKEMRatchetPublicKeyData_ && peerMLKEMRatchetPublicKeyData_->size() == mlkemPublicKeySize) {
            mlkem1024::Encapsulation encapsulation = env_.entropy->encapsulate(*peerMLKEMRatchetPublicKeyData_);
            ikm.insert(ikm.end(), encapsulation.sharedSecret.begin(), encapsulation.sharedSecret.end());
            ciphertext = std::move(encapsulation.ciphertext);
        }
        step = rootStep(ikm, *rootKey_, dhRatchetPQInfo);
    }

    dhRatchetPrivateKey_ = std::move(dhKey);
    dhRatchetPublicKey_ = dhPublic;
    mlkemRatchetPrivateKey_ = std::move(mlkemKey);
    mlkemRatchetPublicKeyData_ = mlkemRatchetPrivateKey_->publicKey();
    secureZeroData(mlkemRatchetCiphertext_);
    mlkemRatchetCiphertext_ = std::move(ciphertext);
    if (step) {
        rootKey_ = std::move(step->rootKey);
        txKey_ = std::move(step->chainKey);
        txCounter_ = 0;
    }
    dhRatchetPending_ = false;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void PFSChatSession::receiveDHRatchetKey(BytesView header) {
    if (header.size() < mlkemKeyOffset) fail(SessionErrorCode::openFailed);
    const p256::PublicKey peerKey = p256::PublicKey::fromRaw(header.subspan(dhKeyOffset, p256::rawSize));

    std::optional<Bytes> peerMLKEM;
    if (header.size() >= ciphertextOffset) {
        const BytesView key = header.subspan(mlkemKeyOffset, mlkemPublicKeySize);
        peerMLKEM.emplace(key.begin(), key.end());
    }
    std::optional<RootStepResult> step;
    if (header.size() >= ratchetHeaderWithCiphertextSize && dhRatchetPrivateKey_ && rootKey_) {
        SecureBytes ikm = dhPart(*dhRatchetPrivateKey_, peerKey, dhRatchetInfo);
        if (mlkemRatchetPrivateKey_) {
            const SecureBytes shared =
                mlkemRatchetPrivateKey_->decapsulate(header.subspan(ciphertextOffset, mlkemCiphertextSize));
            ikm.insert(ikm.end(), shared.begin(), shared.end());
        }
        step = rootStep(ikm, *rootKey_, dhRatchetPQInfo);
    }

    peerDHRatchetKey_ = peerKey;
    if (peerMLKEM) peerMLKEMRatchetPublicKeyData_ = std::move(peerMLKEM);
    if (step) {
        rootKey_ = std::move(step->rootKey);
        rxKey_ = std::move(step->chainKey);
        rxCounter_ = 0;
    }
    dhRatchetPending_ = true;
}

}  // namespace duoquill
