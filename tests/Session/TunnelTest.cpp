// The tunnel layer: frame sizes, the forward window, replay, tampering, oversize payloads.

#include <gtest/gtest.h>

#include <set>

#include "Duoquill/Platform/AesGcm.h"
#include "Duoquill/Platform/PlatformError.h"
#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
using E = SessionErrorCode;

class TunnelTest : public AfterHandshake {
protected:
    std::pair<std::optional<SecureBytes>, std::uint64_t> rx(PFSChatSession& s) {
        return {Access::tunnelRxKey(s), Access::tunnelRxCounter(s)};
    }
    std::vector<Bytes> frames(int count) {
        std::vector<Bytes> out;
        for (int i = 0; i < count; ++i) out.push_back(ini().tunnelSeal(asBytes("frame " + std::to_string(i))));
        return out;
    }
};

TEST_F(TunnelTest, FramesFillWhole1536ByteBuckets) {
    auto sizeOf = [&](std::size_t payload, std::uint32_t r) {
        world.entropy.choices.push_back(r);
        return ini().tunnelSeal(Bytes(payload, 'x')).size();
    };
    EXPECT_EQ(sizeOf(0, 0), 1560u);
    EXPECT_EQ(sizeOf(0, 1), 3096u);
    EXPECT_EQ(sizeOf(1534, 0), 1560u);
    EXPECT_EQ(sizeOf(1534, 1), 3096u);
    EXPECT_EQ(sizeOf(1535, 0), 3096u);
    EXPECT_EQ(sizeOf(1535, 1), 4632u);
    EXPECT_EQ(sizeOf(65535, 0), 8 + 43 * 1536 + 16u);
    std::set<std::size_t> seen;
    for (int i = 0; i < 200 && seen.size() < 2; ++i) seen.insert(ini().tunnelSeal({}).size());
    EXPECT_EQ(seen, (std::set<std::size_t>{1560, 3096}));
}

TEST_F(TunnelTest, PayloadsRoundTripAtEveryBoundary) {
    for (std::size_t size : {0, 1, 1534, 1535, 3070, 3071, 65535}) {
        Bytes payload(size);
        for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 31 + size);
        EXPECT_EQ(res().tunnelOpen(ini().tunnelSeal(payload)), toSecure(payload)) << size;
    }
    EXPECT_EQ(Access::tunnelRxCounter(res()), 7u);
}

TEST_F(TunnelTest, OversizePayloadIsRefusedWithItsOwnErrorAndChangesNothing) {
    const auto key = Access::tunnelTxKey(ini());
    try {
        ini().tunnelSeal(Bytes(65536, 'x'));
        ADD_FAILURE() << "an oversize payload was framed";
    } catch (const SessionError&) {
        ADD_FAILURE() << "an oversize payload must not look like a session failure";
    } catch (const TunnelPayloadTooLarge&) {
    }
    EXPECT_EQ(Access::tunnelTxKey(ini()), key);
    EXPECT_EQ(Access::tunnelTxCounter(ini()), 0u);
    EXPECT_EQ(res().tunnelOpen(ini().tunnelSeal(asBytes("ok"))), toSecure(asBytes("ok")));
}

TEST_F(TunnelTest, InOrderThenReplay) {
    const auto f = frames(3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(res().tunnelOpen(f[i]), toSecure(asBytes("frame " + std::to_string(i))));
    const auto before = rx(res());
    expectSessionError(E::replayDetected, [&] { res().tunnelOpen(f[2]); });
    expectSessionError(E::replayDetected, [&] { res().tunnelOpen(f[0]); });
    EXPECT_EQ(rx(res()), before);
}

TEST_F(TunnelTest, AGapOfTwentyIsAcceptedAndTheSkippedFramesAreGone) {
    const auto f = frames(25);
    for (int i = 0; i < 4; ++i) res().tunnelOpen(f[i]);
    EXPECT_EQ(res().tunnelOpen(f[24]), toSecure(asBytes("frame 24")));
    for (int i = 4; i < 24; ++i) expectSessionError(E::replayDetected, [&] { res().tunnelOpen(f[i]); });
    EXPECT_EQ(Access::tunnelRxCounter(res()), 25u);
}

TEST_F(TunnelTest, AGapOfTwentyOneIsRefusedAndTheNextFrameIsStillExpected) {
    const auto f = frames(26);
    for (int i = 0; i < 4; ++i) res().tunnelOpen(f[i]);
    const auto before = rx(res());
    expectSessionError(E::openFailed, [&] { res().tunnelOpen(f[25]); });
    EXPECT_EQ(rx(res()), before);
    EXPECT_EQ(Access::tunnelRxCounter(res()), 4u);
    EXPECT_EQ(res().tunnelOpen(f[4]), toSecure(asBytes("frame 4")));
}

TEST_F(TunnelTest, EveryFlippedBitIsRejectedWithoutMovingTheReceiver) {
    const auto f = frames(3);
    res().tunnelOpen(f[0]);
    const Bytes& frame = f[2];  // counter 2 while 1 is expected: flips of the counter land on both sides
    const auto before = rx(res());
    for (std::size_t bit = 0; bit < frame.size() * 8; ++bit) {
        Bytes bad = frame;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        const std::size_t byte = bit / 8;
        if (byte < 8) {
            // The counter is bound into the nonce and the associated data.
            const std::uint64_t counter = 2 ^ (std::uint64_t{1} << (8 * (7 - byte) + bit % 8));
            try {
                res().tunnelOpen(bad);
                ADD_FAILURE() << "counter bit " << bit << " opened";
            } catch (const AuthenticationError&) {
                EXPECT_LE(counter, 21u);
                EXPECT_GE(counter, 1u);
            } catch (const SessionError& e) {
                EXPECT_EQ(e.code(), counter < 1 ? E::replayDetected : E::openFailed) << bit;
            }
        } else {
            EXPECT_THROW(res().tunnelOpen(bad), AuthenticationError) << "bit " << bit;
        }
        ASSERT_EQ(rx(res()), before);
    }
    expectSessionError(E::openFailed, [&] { res().tunnelOpen(BytesView(frame).first(24)); });
    EXPECT_THROW(res().tunnelOpen(BytesView(frame).first(25)), AuthenticationError);
    EXPECT_EQ(rx(res()), before);
    res().tunnelOpen(f[1]);
    EXPECT_EQ(res().tunnelOpen(frame), toSecure(asBytes("frame 2")));
}

TEST_F(TunnelTest, AnAuthenticFrameWithABadLengthStillMovesTheChain) {
    // Sealed by hand under the sender's current key: length field 2000 in a 1536-byte bucket.
    const SecureBytes key = *Access::tunnelTxKey(ini());
    const auto& mask = Access::txNonceMask(ini());
    const Bytes sid(Access::sessionID(ini())->begin(), Access::sessionID(ini())->end());
    const Bytes padded = concat(Bytes{0x07, 0xd0}, Bytes(1534, 0));
    Bytes frame(8, 0);
    const Bytes body = aesgcm::seal(key, Access::maskedNonce(0, mask), padded,
                                    Access::tunnelAAD(Access::txDirection(ini()), 0, sid));
    frame.insert(frame.end(), body.begin(), body.end());
    expectSessionError(E::openFailed, [&] { res().tunnelOpen(frame); });
    EXPECT_EQ(Access::tunnelRxCounter(res()), 1u);
    (void)ini().tunnelSeal(asBytes("lost"));  // the sender's own frame 0
    EXPECT_EQ(res().tunnelOpen(ini().tunnelSeal(asBytes("next"))), toSecure(asBytes("next")));

    expectSessionError(E::openFailed, [] { Access::tunnelUnpad(Bytes{0x00}); });
    EXPECT_EQ(Access::tunnelUnpad(Bytes{0x00, 0x00}), SecureBytes{});
    EXPECT_EQ(Access::tunnelUnpad(Bytes{0x00, 0x01, 'a', 'b'}), toSecure(asBytes("a")));
    expectSessionError(E::openFailed, [] { Access::tunnelUnpad(Bytes{0x00, 0x03, 'a', 'b'}); });
}

TEST(TunnelStages, HandshakeFramesUseTheProvisionalKeysAndStopAtPQComplete) {
    SessionWorld world;
    SessionPair pair(world);
    pair.completeHandshakes();
    auto& ini = pair.initiator();
    auto& res = pair.responder();
    // Both directions work before the key schedule: direction 0, no session ID, zero masks.
    EXPECT_EQ(res.tunnelOpen(ini.tunnelSeal(asBytes("kex2"))), toSecure(asBytes("kex2")));
    EXPECT_EQ(ini.tunnelOpen(res.tunnelSeal(asBytes("back"))), toSecure(asBytes("back")));
    const Bytes stale = ini.tunnelSeal(asBytes("late"));
    pair.completePQ();
    EXPECT_EQ(Access::tunnelTxCounter(ini), 0u);
    EXPECT_THROW(res.tunnelOpen(stale), AuthenticationError);
    EXPECT_EQ(res.tunnelOpen(ini.tunnelSeal(asBytes("ready"))), toSecure(asBytes("ready")));
    // Before completeHandshake there is no tunnel.
    SessionPair fresh(world);
    expectSessionError(E::handshakeNotComplete, [&] { fresh.a->tunnelSeal(asBytes("x")); });
    expectSessionError(E::handshakeNotComplete, [&] { fresh.a->tunnelOpen(Bytes(1560)); });
}

TEST(TunnelLimits, TwoHundredThousandFramesEndTheTunnelChain) {
    SessionWorld world;
    SessionPair pair(world);
    pair.handshake();
    Access::tunnelTxCounter(pair.initiator()) = PFSChatSession::tunnelCounterLimit - 1;
    const Bytes last = pair.initiator().tunnelSeal(asBytes("last"));
    expectSessionError(E::sessionExpired, [&] { pair.initiator().tunnelSeal(asBytes("one more")); });
    Access::tunnelRxCounter(pair.responder()) = PFSChatSession::tunnelCounterLimit;
    expectSessionError(E::sessionExpired, [&] { pair.responder().tunnelOpen(last); });
}

}  // namespace
}  // namespace duoquill
