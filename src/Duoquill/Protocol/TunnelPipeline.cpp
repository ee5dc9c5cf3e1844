#include "Duoquill/Protocol/TunnelPipeline.h"

#include <cstdint>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Primitives/AesGcm.h"

namespace duoquill::protocol {
namespace {

std::string sealMsg(PFSChatSession& session, Instant now, const std::optional<Bytes>& header,
                    const PFSChatSession::SealedRecord& record, std::optional<LineNumbers> numbers,
                    std::optional<LinePart> part = std::nullopt) {
    return sealTunnelText(session, encode(Msg{record.counter, record.data, header, numbers}, part), now);
}

std::string_view asText(const SecureBytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::size_t base64Length(std::size_t bytes) { return 4 * ((bytes + 2) / 3); }

std::size_t decimalDigits(std::uint64_t value) {
    std::size_t digits = 1;
    for (; value >= 10; value /= 10) ++digits;
    return digits;
}

}  // namespace

std::string sealTunnelText(PFSChatSession& session, std::string_view jsonText, Instant now) {
    return base64String(session.tunnelSeal(asBytes(jsonText), now));
}

std::string sealChatLine(PFSChatSession& session, Instant now, BytesView line, std::optional<LineNumbers> numbers,
                         std::optional<LinePart> part) {
    const auto header = session.prepareDHRatchetIfNeeded();
    const auto record = session.seal(line, now);
    return sealMsg(session, now, header, record, numbers, part);
}

std::string sealCoverRecord(PFSChatSession& session, Instant now, std::optional<LineNumbers> numbers) {
    const auto header = session.prepareDHRatchetIfNeeded();
    const auto record = session.sealDummy(now);
    return sealMsg(session, now, header, record, numbers);
}

std::optional<RelayMessage> openTunnelText(PFSChatSession& session, std::string_view frameText, Instant now) {
    const auto frame = bytesFromBase64String(frameText);
    if (!frame) return std::nullopt;
    // A frame that does not open under the session's keys is not ours to read; anything else
    // thrown here is a fault of this program and must not pass for a forged frame.
    try {
        return parseRelayMessage(asText(session.tunnelOpen(*frame, now)), true);
    } catch (const SessionError&) {
        return std::nullopt;
    } catch (const CryptoError&) {
        return std::nullopt;
    }
}

std::optional<RelayMessage> parsePlainFrame(std::string_view frameText) {
    if (frameText.empty() || frameText.front() != '{') return std::nullopt;
    return parseRelayMessage(frameText);
}

std::size_t largestMsgTextLength(std::size_t lineBytes, bool ratchetHeaderPending, bool lineNumbers) {
    // Record: kind byte and 4-byte length, padded to the next bucket, up to two more random
    // buckets, then the tag.
    const std::size_t bucket = PFSChatSession::recordBucket;
    const std::size_t framed = 5 + lineBytes;
    const std::size_t record = (framed + bucket - 1) / bucket * bucket + 2 * bucket + aesgcm::tagSize;
    // {"t":"msg","n":N,"d":"…","rk":"…"}
    std::size_t length = std::string_view(R"({"t":"msg","n":)").size() +
                         decimalDigits(PFSChatSession::recordCounterLimit - 1) +
                         std::string_view(R"(,"d":")").size() + base64Length(record) + 1 + 1;
    if (ratchetHeaderPending) length += std::string_view(R"(,"rk":")").size() + base64Length(ratchetHeaderMaxBytes) + 1;
    if (lineNumbers) {
        length += std::string_view(R"(,"s":,"a":)").size() + 2 * decimalDigits(UINT64_MAX);
    }
    return length;
}

std::size_t longestAlwaysAcceptedLine(bool lineNumbers) {
    std::size_t line = maxChatLineBytes;
    while (line > 0 && largestMsgTextLength(line, true, lineNumbers) > maxTunnelPayload) --line;
    return line;
}

bool fitsCoverFrame(const PFSChatSession& session, std::size_t lineBytes) {
    return lineBytes <= coverSizedLineBytes ||
           (lineBytes <= linePartBytes && session.pendingRatchetHeaderSize() != PFSChatSession::ratchetHeaderSize);
}

bool chatLineFits(const PFSChatSession& session, std::size_t lineBytes, bool lineNumbers) {
    return lineBytes <= maxChatLineBytes &&
           largestMsgTextLength(lineBytes, session.isDHRatchetPending(), lineNumbers) <= maxTunnelPayload;
}

}  // namespace duoquill::protocol
