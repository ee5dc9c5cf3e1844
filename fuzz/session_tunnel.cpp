// tunnelOpen on a session with keys, at four points of a conversation (handshake stage with
// provisional keys, fresh session keys, after traffic both ways, after consecutive records),
// in either direction.
//
// Input: one byte choosing the point (bits 1-2) and the direction (bit 0), then the frame.
//
// Invariants: a refused frame leaves the receiver's tunnel key and counter as they were,
// except for an authentic frame whose padded payload is malformed, which moves them past it;
// an accepted frame moves the counter to its own plus one, from at most 20 ahead; what opens
// re-seals, in the other direction, to a frame that opens to the same payload.

#include "Duoquill/Base/BigEndian.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Protocol/RelayMessages.h"
#include "FuzzTarget.h"
#include "Conversation.h"

using namespace duoquill;
using duoquill::fuzz::Conversation;
using duoquill::fuzz::FuzzInput;
using duoquill::fuzz::ReceiveState;
using duoquill::fuzz::require;

namespace {

constexpr std::uint64_t inputSeed = 0x74756e6e656c;

using Target = fuzz::ConversationWorld;
Target& target() { return Target::instance(); }

std::uint8_t selector(int point, bool reverse) { return static_cast<std::uint8_t>(point << 1 | (reverse ? 1 : 0)); }

std::vector<Bytes> seeds() {
    Target& t = target();
    std::vector<Bytes> out;
    auto seed = [&](std::uint8_t sel, BytesView frame) { out.push_back(fuzz::SeedWriter().u8(sel).bytes(frame).done()); };
    const std::string ready = R"({"t":"ready","kc":"IxZ2pH0r5yq1K8w9b3m4n5o6p7q8r9s0t1u2v3w4x5y"})";
    for (int point = 0; point < Conversation::pointCount; ++point) {
        for (bool reverse : {false, true}) {
            const std::uint8_t sel = selector(point, reverse);
            auto sides = t.conversation.enter(static_cast<Conversation::Point>(point), reverse);
            seed(sel, sides.sender.tunnelSeal(asBytes(ready), testTime));
            seed(sel, sides.sender.tunnelSeal(Bytes(1600, '7'), testTime));  // two buckets
            seed(sel, sides.sender.tunnelSeal({}, testTime));
            for (int i = 0; i < 17; ++i) sides.sender.tunnelSeal(asBytes("{}"), testTime);
            seed(sel, sides.sender.tunnelSeal(asBytes(protocol::encodeBye()), testTime));  // 20 ahead of the first

            t.conversation.enter(static_cast<Conversation::Point>(point), reverse);
            SecureBytes badLength(1536, 0x20);
            badLength[0] = 0xff, badLength[1] = 0xff;
            seed(sel, fuzz::Access::sealTunnelPadded(sides.sender, badLength));
            const auto& earlier = t.conversation.earlierFrames[reverse ? 1 : 0];
            if (point >= 2 && !earlier.empty()) seed(sel, earlier.back());
        }
    }
    return out;
}

std::optional<std::uint64_t> frameCounter(BytesView frame) {
    if (frame.size() < 8) return std::nullopt;
    return bigendian::read(frame.first(8));
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
    const BytesView frame = in.rest();
    Target& t = target();
    auto sides = t.conversation.enter(static_cast<Conversation::Point>((sel >> 1) % Conversation::pointCount), sel & 1);
    t.world.reseed(inputSeed);

    const ReceiveState before = ReceiveState::of(sides.receiver);
    const auto counter = frameCounter(frame);
    std::optional<SecureBytes> payload;
    try {
        payload = sides.receiver.tunnelOpen(frame, testTime);
    } catch (const SessionError& e) {
        const ReceiveState after = ReceiveState::of(sides.receiver);
        if (after == before) {
            const bool replay = frame.size() >= 25 && *counter < before.tunnelRxCounter;
            require(e.code() == (replay ? SessionErrorCode::replayDetected : SessionErrorCode::openFailed),
                    "replayDetected for old counters, openFailed otherwise");
        } else {
            require(e.code() == SessionErrorCode::openFailed && counter && after.tunnelRxCounter == *counter + 1,
                    "only an authentic frame with a malformed payload moves the chain, past itself");
        }
        return 0;
    } catch (const CryptoError&) {
        require(ReceiveState::of(sides.receiver) == before, "an unauthentic frame moves nothing");
        return 0;
    }

    const ReceiveState after = ReceiveState::of(sides.receiver);
    require(counter && *counter >= before.tunnelRxCounter && *counter - before.tunnelRxCounter <= 20,
            "accepted from the expected counter up to 20 ahead");
    require(after.tunnelRxCounter == *counter + 1, "the counter moves past the frame");
    const SecureBytes back = sides.sender.tunnelOpen(sides.receiver.tunnelSeal(*payload, testTime), testTime);
    require(back == *payload, "the payload re-seals to a frame that opens");
    return 0;
}
