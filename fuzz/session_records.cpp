// receiveDHRatchetKey and open on a session with keys, the way the client hands them a
// received "msg": the ratchet header first, when one came, then the record and its counter.
// Three points of a conversation (fresh keys, after alternating traffic, after consecutive
// records), in either direction.
//
// Input: point and direction byte (bits 1-2, bit 0), flags (bit 0: a header came), counter
// (8 bytes), header length (2 bytes) and header, then the record.
//
// Before the input, the sender sends its next record (the one the seeds hold), so that its
// ratchet keys match the header it sent.
//
// The header travels beside the record, not inside it: the record's authentication does not
// cover it (the tunnel around the whole message does). A record can therefore open after an
// altered header, and the reply made with the altered keys cannot; the re-seal check below
// applies only when the header is the sender's own.
//
// Invariants: a refused header changes nothing; an accepted one stores the peer's keys and
// steps the root only for a full header when the receiver holds a ratchet key; a refused
// record leaves chain key, counter and transcript as they were, except for an authentic
// record with a malformed padded form, which moves them past it; what opens re-seals, in the
// other direction, to a record that opens to the same content.

#include <algorithm>

#include "Duoquill/Base/PlatformError.h"
#include "FuzzTarget.h"
#include "Conversation.h"

using namespace duoquill;
using duoquill::fuzz::Conversation;
using duoquill::fuzz::FuzzInput;
using duoquill::fuzz::ReceiveState;
using duoquill::fuzz::RecordMessage;
using duoquill::fuzz::require;

namespace {

constexpr std::uint64_t inputSeed = 0x7265636f7264;
constexpr std::string_view nextLine = "the sender's next line";

using Target = fuzz::ConversationWorld;
Target& target() { return Target::instance(); }

// Points with record keys: fresh, alternating, consecutive.
Conversation::Point pointOf(std::uint8_t sel) { return static_cast<Conversation::Point>(1 + (sel >> 1) % 3); }

Conversation::Sides enter(std::uint8_t sel, RecordMessage& next) {
    Target& t = target();
    auto sides = t.conversation.enter(pointOf(sel), sel & 1);
    t.world.reseed(inputSeed);
    next = fuzz::sendRecord(sides.sender, asBytes(nextLine));
    return sides;
}

Bytes input(std::uint8_t sel, const std::optional<Bytes>& header, std::uint64_t counter, BytesView record) {
    return fuzz::SeedWriter()
        .u8(sel)
        .u8(header ? 1 : 0)
        .u64(counter)
        .u16(header ? static_cast<std::uint16_t>(header->size()) : 0)
        .bytes(header ? BytesView(*header) : BytesView())
        .bytes(record)
        .done();
}

Bytes input(std::uint8_t sel, const RecordMessage& m) { return input(sel, m.header, m.record.counter, m.record.data); }

std::vector<Bytes> seeds() {
    std::vector<Bytes> out;
    for (int point = 0; point < 3; ++point) {
        for (bool reverse : {false, true}) {
            const auto sel = static_cast<std::uint8_t>(point << 1 | (reverse ? 1 : 0));
            RecordMessage next;
            auto sides = enter(sel, next);
            out.push_back(input(sel, next));
            const RecordMessage cover = fuzz::sendRecord(sides.sender, {}, true);
            out.push_back(input(sel, next.header, cover.record.counter, cover.record.data));  // one record lost
            SecureBytes badLength(256, 0x20);
            badLength[0] = 0x01, badLength[1] = 0xff;
            const auto malformed = fuzz::Access::sealRecordPadded(sides.sender, badLength);
            out.push_back(input(sel, std::nullopt, malformed.counter, malformed.data));
            const auto& earlier = target().conversation.earlierRecords[reverse ? 1 : 0];
            if (point >= 1 && !earlier.empty()) out.push_back(input(sel, earlier.back()));

            // The malformed record in place of the expected one (the sender's next counter).
            enter(sel, next);
            out.push_back(input(sel, next.header, next.record.counter,
                                fuzz::Access::sealRecordPadded(sides.sender, badLength).data));
        }
    }
    return out;
}

// Checks what receiveDHRatchetKey did; false when it refused the header.
bool receiveHeader(PFSChatSession& receiver, BytesView header) {
    const ReceiveState before = ReceiveState::of(receiver);
    try {
        receiver.receiveDHRatchetKey(header);
    } catch (const SessionError& e) {
        require(e.code() == SessionErrorCode::openFailed && header.size() < 64, "openFailed only under 64 bytes");
        require(ReceiveState::of(receiver) == before, "a short header changes nothing");
        return false;
    } catch (const CryptoError&) {
        require(ReceiveState::of(receiver) == before, "a header that is no curve point changes nothing");
        return false;
    }
    const ReceiveState after = ReceiveState::of(receiver);
    require(after.dhRatchetPending, "a header makes a step due");
    require(after.peerDHRatchetKey && std::ranges::equal(*after.peerDHRatchetKey, header.first(64)),
            "the peer's ratchet key is stored");
    if (header.size() >= 1632) {
        require(after.peerMLKEMRatchetPublicKeyData &&
                    std::ranges::equal(*after.peerMLKEMRatchetPublicKeyData, header.subspan(64, 1568)),
                "the peer's ML-KEM key is stored");
    } else {
        require(after.peerMLKEMRatchetPublicKeyData == before.peerMLKEMRatchetPublicKeyData, "a short header keeps it");
    }
    const bool stepped = header.size() >= 3200 && before.hasDHRatchetPrivateKey && before.rootKey;
    if (stepped) {
        require(after.rootKey != before.rootKey && after.rxCounter == 0, "a full header steps the root");
    } else {
        require(after.rootKey == before.rootKey && after.rxKey == before.rxKey && after.rxCounter == before.rxCounter,
                "no root step without a full header and a ratchet key");
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    target();
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t sel = in.u8();
    const bool hasHeader = in.u8() & 1;
    const std::uint64_t counter = in.u64();
    const BytesView header = in.take(in.u16());
    const BytesView record = in.rest();

    RecordMessage next;
    auto sides = enter(sel, next);
    if (hasHeader && !receiveHeader(sides.receiver, header)) return 0;

    const ReceiveState before = ReceiveState::of(sides.receiver);
    std::optional<SecureBytes> content;
    try {
        content = sides.receiver.open(record, counter, testTime);
    } catch (const SessionError& e) {
        const ReceiveState after = ReceiveState::of(sides.receiver);
        if (after == before) {
            const bool replay = record.size() >= 17 && counter < before.rxCounter;
            require(e.code() == (replay ? SessionErrorCode::replayDetected : SessionErrorCode::openFailed),
                    "replayDetected for old counters, openFailed otherwise");
        } else {
            require(e.code() == SessionErrorCode::openFailed && counter == before.rxCounter &&
                        after.rxCounter == counter + 1 && after.rxKey != before.rxKey &&
                        after.rxTranscriptHash != before.rxTranscriptHash,
                    "only an authentic record with a malformed payload moves the chain, by one");
        }
        return 0;
    } catch (const CryptoError&) {
        require(ReceiveState::of(sides.receiver) == before, "an unauthentic record moves nothing");
        return 0;
    }

    const ReceiveState after = ReceiveState::of(sides.receiver);
    require(counter == before.rxCounter && after.rxCounter == counter + 1, "exactly the expected counter opens");
    require(after.rxTranscriptHash != before.rxTranscriptHash && after.rxKey != before.rxKey,
            "the chain and the transcript move");
    const bool ownHeader = hasHeader ? next.header && std::ranges::equal(*next.header, header) : true;
    if (!ownHeader) return 0;
    const RecordMessage back = fuzz::sendRecord(sides.receiver, content ? BytesView(*content) : BytesView(), !content);
    const auto reopened = fuzz::receiveRecord(sides.sender, back);
    require(reopened == content, "the content re-seals to a record that opens");
    return 0;
}
