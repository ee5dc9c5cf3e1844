// The record layer: padding, masked nonces, associated data, transcript binding and the
// per-record chain step; and the validity guard shared with the tunnel.

#include <algorithm>

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Crypto/SessionEnvironment.h"
#include "Duoquill/Platform/Primitives/AesGcm.h"
#include "Duoquill/Platform/Primitives/Hkdf.h"

namespace duoquill {
namespace {

constexpr std::uint8_t kindCover = 0x00;
constexpr std::uint8_t kindMessage = 0x01;
constexpr std::size_t lengthFieldSize = 4;
constexpr std::uint32_t extraBucketChoices = 3;  // 0, 1 or 2 extra buckets
constexpr std::size_t shortestRecord = aesgcm::tagSize + 1;

[[noreturn]] void fail(SessionErrorCode code) { throw SessionError(code); }

}  // namespace

void PFSChatSession::appendBigEndian(Bytes& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

BytesView PFSChatSession::chainSalt() const noexcept {
    return sessionID_ ? BytesView(*sessionID_) : BytesView();
}

std::array<std::uint8_t, 12> PFSChatSession::maskedNonce(std::uint64_t counter, BytesView mask) {
    std::array<std::uint8_t, 12> nonce{};
    for (std::size_t i = 0; i < 8; ++i) nonce[4 + i] = static_cast<std::uint8_t>(counter >> (8 * (7 - i)));
    for (std::size_t i = 0; i < nonce.size() && i < mask.size(); ++i) nonce[i] ^= mask[i];
    return nonce;
}

SecureBytes PFSChatSession::aad(std::uint8_t direction, std::uint64_t counter, BytesView sessionID,
                                BytesView transcriptHash) {
    SecureBytes out = tunnelAAD(direction, counter, sessionID);
    out.insert(out.end(), transcriptHash.begin(), transcriptHash.end());
    return out;
}

SecureBytes PFSChatSession::ratchet(BytesView chainKey, BytesView salt) {
    return hkdf::derive(HashFunction::sha512, chainKey, salt, asBytes(ratchetInfo), 32);
}

void PFSChatSession::requireValid(const std::optional<SecureBytes>& key, std::uint64_t counter,
                                  std::uint64_t limit) const {
    if (!key) fail(SessionErrorCode::handshakeNotComplete);
    if (counter >= limit) fail(SessionErrorCode::sessionExpired);
    if (env_.clock->uptimeSeconds() - sessionCreatedAt_ >= sessionLifetimeSeconds) {
        fail(SessionErrorCode::sessionExpired);
    }
    if (epochs_.isSessionEpochExpired(roomCode_)) fail(SessionErrorCode::sessionExpired);
}

SecureBytes PFSChatSession::pad(BytesView message, bool isDummy) {
    const std::size_t extra = recordBucket * env_.entropy->uniform(extraBucketChoices);
    SecureBytes out;
    std::size_t paddingSize;
    if (isDummy) {
        out.reserve(recordBucket + extra);
        out.push_back(kindCover);
        paddingSize = recordBucket - 1 + extra;
    } else {
        const std::size_t used = 1 + lengthFieldSize + message.size();
        const std::size_t base = (recordBucket - used % recordBucket) % recordBucket;
        paddingSize = base + extra;
        out.reserve(used + paddingSize);
        out.push_back(kindMessage);
        // Lengths of 2^32 bytes and more cannot be framed; the client stays far below.
        const auto length = static_cast<std::uint32_t>(message.size());
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
        out.insert(out.end(), message.begin(), message.end());
    }
    const std::size_t start = out.size();
    out.resize(start + paddingSize);
    if (paddingSize != 0) env_.entropy->fill(std::span(out).subspan(start));
    return out;
}

std::optional<SecureBytes> PFSChatSession::unpad(BytesView padded) {
    if (padded.empty()) fail(SessionErrorCode::openFailed);
    if (padded[0] == kindCover) return std::nullopt;
    if (padded.size() < 1 + lengthFieldSize) fail(SessionErrorCode::openFailed);
    std::uint64_t length = 0;
    for (std::size_t i = 1; i <= lengthFieldSize; ++i) length = (length << 8) | padded[i];
    if (length > padded.size() - 1 - lengthFieldSize) fail(SessionErrorCode::openFailed);
    const auto body = padded.subspan(1 + lengthFieldSize, static_cast<std::size_t>(length));
    return SecureBytes(body.begin(), body.end());
}

PFSChatSession::SealedRecord PFSChatSession::seal(BytesView message) {
    requireValid(txKey_, txCounter_, recordCounterLimit);
    if (message.size() > 0xFFFFFFFFu) fail(SessionErrorCode::sealFailed);
    return sealPadded(pad(message, false));
}

PFSChatSession::SealedRecord PFSChatSession::sealDummy() {
    requireValid(txKey_, txCounter_, recordCounterLimit);
    return sealPadded(pad({}, true));
}

PFSChatSession::SealedRecord PFSChatSession::sealPadded(const SecureBytes& padded) {
    const std::uint64_t counter = txCounter_;
    const auto nonce = maskedNonce(counter, txNonceMask_);
    Bytes record = aesgcm::seal(*txKey_, nonce, padded, aad(txDirection_, counter, chainSalt(), txTranscriptHash_));
    Bytes nextHash = txTranscriptHash_;
    updateTranscriptHash(nextHash, record);
    SecureBytes nextKey = ratchet(*txKey_, chainSalt());

    txTranscriptHash_ = std::move(nextHash);
    txKey_ = std::move(nextKey);
    txCounter_ = counter + 1;
    return {std::move(record), counter};
}

std::optional<SecureBytes> PFSChatSession::open(BytesView record, std::uint64_t counter) {
    requireValid(rxKey_, rxCounter_, recordCounterLimit);
    if (record.size() < shortestRecord) fail(SessionErrorCode::openFailed);
    if (counter > rxCounter_) fail(SessionErrorCode::openFailed);
    if (counter < rxCounter_) fail(SessionErrorCode::replayDetected);

    const auto nonce = maskedNonce(counter, rxNonceMask_);
    const SecureBytes padded =
        aesgcm::open(*rxKey_, nonce, record, aad(rxDirection_, counter, chainSalt(), rxTranscriptHash_));
    Bytes nextHash = rxTranscriptHash_;
    updateTranscriptHash(nextHash, record);
    SecureBytes nextKey = ratchet(*rxKey_, chainSalt());

    rxTranscriptHash_ = std::move(nextHash);
    rxKey_ = std::move(nextKey);
    rxCounter_ = counter + 1;
    return unpad(padded);
}

}  // namespace duoquill
