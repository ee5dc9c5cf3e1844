// The tunnel: the outer layer around every tunnelled relay message, with its own keys,
// counters and chain, padded to 1536-byte buckets, tolerant of up to 20 lost frames.

#include <algorithm>

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Crypto/SessionEnvironment.h"
#include "Duoquill/Platform/Primitives/AesGcm.h"
#include "Duoquill/Platform/Primitives/Hkdf.h"

namespace duoquill {
namespace {

constexpr std::size_t counterFieldSize = 8;
constexpr std::size_t lengthFieldSize = 2;
constexpr std::uint32_t extraBucketChoices = 2;  // 0 or 1 extra bucket
constexpr std::size_t shortestBody = aesgcm::tagSize + 1;

[[noreturn]] void fail(SessionErrorCode code) { throw SessionError(code); }

}  // namespace

SecureBytes PFSChatSession::tunnelAAD(std::uint8_t direction, std::uint64_t counter, BytesView sessionID) {
    SecureBytes out;
    out.reserve(1 + counterFieldSize + sessionID.size() + 64);
    out.push_back(direction);
    for (std::size_t i = counterFieldSize; i-- > 0;) out.push_back(static_cast<std::uint8_t>(counter >> (8 * i)));
    out.insert(out.end(), sessionID.begin(), sessionID.end());
    return out;
}

SecureBytes PFSChatSession::tunnelRatchet(BytesView chainKey, BytesView salt) {
    return hkdf::derive(HashFunction::sha512, chainKey, salt, asBytes(tunnelRatchetInfo), 32);
}

SecureBytes PFSChatSession::tunnelPad(BytesView payload) {
    const std::size_t used = lengthFieldSize + payload.size();
    const std::size_t buckets = std::max<std::size_t>(1, (used + tunnelBucket - 1) / tunnelBucket);
    const std::size_t target = (buckets + env_.entropy->uniform(extraBucketChoices)) * tunnelBucket;
    SecureBytes out;
    out.reserve(target);
    out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    out.resize(target);
    if (target > used) env_.entropy->fill(std::span(out).subspan(used));
    return out;
}

SecureBytes PFSChatSession::tunnelUnpad(BytesView padded) {
    if (padded.size() < lengthFieldSize) fail(SessionErrorCode::openFailed);
    const std::size_t length = (std::size_t{padded[0]} << 8) | padded[1];
    if (padded.size() < lengthFieldSize + length) fail(SessionErrorCode::openFailed);
    const auto body = padded.subspan(lengthFieldSize, length);
    return SecureBytes(body.begin(), body.end());
}

Bytes PFSChatSession::tunnelSeal(BytesView payload) {
    requireValid(tunnelTxKey_, tunnelTxCounter_, tunnelCounterLimit);
    if (payload.size() > tunnelMaxPayload) throw TunnelPayloadTooLarge();

    const std::uint64_t counter = tunnelTxCounter_;
    const auto nonce = maskedNonce(counter, txNonceMask_);
    const SecureBytes padded = tunnelPad(payload);
    const Bytes sealed = aesgcm::seal(*tunnelTxKey_, nonce, padded, tunnelAAD(txDirection_, counter, chainSalt()));
    SecureBytes nextKey = tunnelRatchet(*tunnelTxKey_, chainSalt());

    Bytes frame;
    frame.reserve(counterFieldSize + sealed.size());
    appendBigEndian(frame, counter, counterFieldSize);
    frame.insert(frame.end(), sealed.begin(), sealed.end());

    tunnelTxKey_ = std::move(nextKey);
    tunnelTxCounter_ = counter + 1;
    return frame;
}

SecureBytes PFSChatSession::tunnelOpen(BytesView frame) {
    requireValid(tunnelRxKey_, tunnelRxCounter_, tunnelCounterLimit);
    if (frame.size() < counterFieldSize + shortestBody) fail(SessionErrorCode::openFailed);
    std::uint64_t counter = 0;
    for (std::size_t i = 0; i < counterFieldSize; ++i) counter = (counter << 8) | frame[i];
    const BytesView body = frame.subspan(counterFieldSize);
    if (counter < tunnelRxCounter_) fail(SessionErrorCode::replayDetected);
    const std::uint64_t gap = counter - tunnelRxCounter_;
    if (gap > tunnelMaxGap) fail(SessionErrorCode::openFailed);

    // Step a copy over the skipped frames; the chain moves only once this frame authenticates.
    SecureBytes key = *tunnelRxKey_;
    for (std::uint64_t i = 0; i < gap; ++i) key = tunnelRatchet(key, chainSalt());
    const auto nonce = maskedNonce(counter, rxNonceMask_);
    const SecureBytes padded = aesgcm::open(key, nonce, body, tunnelAAD(rxDirection_, counter, chainSalt()));
    SecureBytes nextKey = tunnelRatchet(key, chainSalt());

    tunnelRxKey_ = std::move(nextKey);
    tunnelRxCounter_ = counter + 1;
    return tunnelUnpad(padded);
}

}  // namespace duoquill
