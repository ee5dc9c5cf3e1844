// The record and tunnel layers between two sessions: sizes, order, replay, tampering, limits.
// The bytes of records and frames are pinned by the known-answer tests.

#include <gtest/gtest.h>

#include <set>

#include "Duoquill/Platform/PlatformError.h"
#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
using E = SessionErrorCode;

class RecordsTest : public AfterHandshake {
protected:
    std::vector<Bytes> frames(int count) {
        std::vector<Bytes> out;
        for (int i = 0; i < count; ++i) out.push_back(ini().tunnelSeal(asBytes("frame " + std::to_string(i))));
        return out;
    }
};

// The known-answer records pin one size for each choice of extra buckets and the largest
// message of one bucket; here, the smallest of two buckets and the choices real randomness makes.
TEST_F(RecordsTest, RecordSizesFollowTheBuckets) {
    world.entropy.choices.insert(world.entropy.choices.end(), {2, 1});
    EXPECT_EQ(ini().seal(Bytes(252, 0x42)).data.size(), 1040u);
    EXPECT_EQ(ini().sealDummy().data.size(), 528u);
    std::set<std::size_t> real, cover;
    for (int i = 0; i < 300 && (real.size() < 3 || cover.size() < 3); ++i) {
        real.insert(ini().seal(Bytes{0x41}).data.size());
        cover.insert(ini().sealDummy().data.size());
    }
    EXPECT_EQ(real, (std::set<std::size_t>{272, 528, 784}));
    EXPECT_EQ(cover, real);
}

TEST(Padding, UnpaddingRules) {
    struct Case {
        Bytes padded;
        std::optional<std::string> text;  // nothing: a cover record
        bool fails = false;
    };
    const Case cases[] = {
        {{}, {}, true},
        {{0x00}, {}},
        {{0x00, 0xff, 0xff, 0xff, 0xff}, {}},  // the rest of a cover record is not read
        {{0x01, 0, 0, 0}, {}, true},
        {{0x01, 0, 0, 0, 0}, ""},
        {{0x07, 0, 0, 0, 2, 'h', 'i', 'x'}, "hi"},
        {{0x01, 0, 0, 0, 2, 'h', 'i'}, "hi"},
        {{0x01, 0, 0, 0, 3, 'h', 'i'}, {}, true},
        {{0x01, 0xff, 0xff, 0xff, 0xff, 'h'}, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hexString(c.padded));
        if (c.fails) {
            expectSessionError(E::openFailed, [&] { Access::unpad(c.padded); });
        } else {
            EXPECT_EQ(Access::unpad(c.padded), c.text ? std::optional(secure(*c.text)) : std::nullopt);
        }
    }
    expectSessionError(E::openFailed, [] { Access::tunnelUnpad(Bytes{0x00}); });
    EXPECT_EQ(Access::tunnelUnpad(Bytes{0x00, 0x00}), SecureBytes{});
    EXPECT_EQ(Access::tunnelUnpad(Bytes{0x00, 0x01, 'a', 'b'}), secure("a"));
    expectSessionError(E::openFailed, [] { Access::tunnelUnpad(Bytes{0x00, 0x03, 'a', 'b'}); });
}

// Cover records open to nothing and move the chain: the known-answer records show it.
TEST_F(RecordsTest, InOrderReplayAndGap) {
    std::vector<PFSChatSession::SealedRecord> sealed;
    for (int i = 0; i < 5; ++i) sealed.push_back(ini().seal(asBytes("line " + std::to_string(i))));
    EXPECT_EQ(sealed[4].counter, 4u);
    EXPECT_EQ(res().open(sealed[0].data, 0), secure("line 0"));
    EXPECT_EQ(res().open(sealed[1].data, 1), secure("line 1"));
    const auto before = Access::fields(res());
    expectSessionError(E::replayDetected, [&] { res().open(sealed[1].data, 1); });
    expectSessionError(E::replayDetected, [&] { res().open(sealed[0].data, 0); });
    expectSessionError(E::openFailed, [&] { res().open(sealed[3].data, 3); });  // record 2 missing
    expectSessionError(E::openFailed, [&] { res().open(Bytes(16), 2); });       // too short
    EXPECT_EQ(Access::fields(res()), before);
    for (int i = 2; i < 5; ++i) EXPECT_EQ(res().open(sealed[i].data, i), secure("line " + std::to_string(i)));
}

// Which direction, counter, session ID and transcript state a record is bound to is pinned by
// the known-answer records, sealed and opened.
TEST_F(RecordsTest, EveryFlippedBitFailsAuthenticationAndMovesNothing) {
    const auto sealed = ini().seal(asBytes("tamper with me"));
    const auto before = Access::fields(res());
    for (std::size_t bit = 0; bit < sealed.data.size() * 8; ++bit) {
        EXPECT_THROW(res().open(flipped(sealed.data, bit), sealed.counter), AuthenticationError) << "bit " << bit;
    }
    EXPECT_THROW(res().open(BytesView(sealed.data).first(sealed.data.size() - 1), 0), AuthenticationError);
    EXPECT_EQ(Access::fields(res()), before);
    // A record of the responder's own chain fails too.
    EXPECT_THROW(res().open(res().seal(asBytes("mine")).data, 0), AuthenticationError);
    EXPECT_EQ(res().open(sealed.data, sealed.counter), secure("tamper with me"));
}

// A record or frame that authenticates but unpads badly is refused after its chain moved past it.
TEST_F(RecordsTest, AMalformedPaddedFormThatAuthenticatesStillAdvancesTheChain) {
    const auto bad = Access::sealRecordPadded(ini(), toSecure(concat(Bytes{0x01, 0, 0, 1, 0}, Bytes(251, 0))));
    const auto tiny = Access::sealRecordPadded(ini(), toSecure(Bytes{0x01, 0, 0}));
    const auto next = ini().seal(asBytes("after"));
    const auto before = Access::fields(res());
    expectSessionError(E::openFailed, [&] { res().open(bad.data, bad.counter); });
    EXPECT_EQ(Access::rxCounter(res()), 1u);
    EXPECT_NE(field(res(), "rxKey"), before.at("rxKey"));
    EXPECT_NE(field(res(), "rxTranscriptHash"), before.at("rxTranscriptHash"));
    expectSessionError(E::openFailed, [&] { res().open(tiny.data, tiny.counter); });
    EXPECT_EQ(res().open(next.data, next.counter), secure("after"));
    // An empty padded form seals to 16 bytes, below the shortest record: nothing moves.
    const auto empty = Access::sealRecordPadded(ini(), SecureBytes{});
    EXPECT_EQ(empty.data.size(), 16u);
    expectSessionError(E::openFailed, [&] { res().open(empty.data, empty.counter); });
    EXPECT_EQ(Access::rxCounter(res()), 3u);

    // A frame with length field 2000 in a 1536-byte bucket.
    const Bytes badLength = Access::sealTunnelPadded(ini(), toSecure(concat(Bytes{0x07, 0xd0}, Bytes(1534, 0))));
    expectSessionError(E::openFailed, [&] { res().tunnelOpen(badLength); });
    EXPECT_EQ(Access::tunnelRxCounter(res()), 1u);
    EXPECT_EQ(res().tunnelOpen(ini().tunnelSeal(asBytes("next"))), secure("next"));
}

TEST_F(RecordsTest, OneChainExpiresAfter100000RecordsAndKeyChecksComeFirst) {
    constexpr auto limit = PFSChatSession::recordCounterLimit;
    Access::txCounter(ini()) = limit - 3;
    for (std::uint64_t i = limit - 3; i < limit; ++i) EXPECT_EQ(ini().sealDummy().counter, i);
    const auto key = field(ini(), "txKey");
    for (int i = 0; i < 3; ++i) {
        expectSessionError(E::sessionExpired, [&] { ini().seal(asBytes("too many")); });
        expectSessionError(E::sessionExpired, [&] { ini().sealDummy(); });
    }
    EXPECT_EQ(field(ini(), "txKey"), key);
    EXPECT_EQ(Access::txCounter(ini()), limit);
    Access::rxCounter(res()) = limit;  // the receiving chain has the same limit
    expectSessionError(E::sessionExpired, [&] { res().open(Bytes(272), limit); });
    Access::rxCounter(res()) = limit - 1;
    expectSessionError(E::replayDetected, [&] { res().open(Bytes(272), 0); });

    // Before the key schedule the missing key is reported ahead of counter and lifetime.
    SessionWorld fresh;
    SessionPair early(fresh);
    early.completeHandshakes();
    Access::txCounter(*early.a) = limit;
    fresh.clock.advance(100000);
    expectSessionError(E::handshakeNotComplete, [&] { early.a->sealDummy(); });
    expectSessionError(E::handshakeNotComplete, [&] { early.a->open(Bytes(272), 0); });
}

// ---- tunnel ----

TEST_F(RecordsTest, TunnelFramesFillWhole1536ByteBucketsAndRoundTrip) {
    const std::tuple<std::size_t, std::uint32_t, std::size_t> sizes[] = {
        {0, 0, 1560}, {1534, 0, 1560}, {1534, 1, 3096}, {1535, 0, 3096}, {1535, 1, 4632},
        {3070, 0, 3096}, {3071, 0, 4632}, {65535, 0, 8 + 43 * 1536 + 16}};
    for (const auto& [size, r, frameSize] : sizes) {
        Bytes payload(size);
        for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 31 + size);
        world.entropy.choices.push_back(r);
        const Bytes frame = ini().tunnelSeal(payload);
        EXPECT_EQ(frame.size(), frameSize) << size;
        EXPECT_EQ(res().tunnelOpen(frame), toSecure(payload)) << size;
    }
    std::set<std::size_t> seen;
    for (int i = 0; i < 200 && seen.size() < 2; ++i) seen.insert(ini().tunnelSeal({}).size());
    EXPECT_EQ(seen, (std::set<std::size_t>{1560, 3096}));

    // An oversize payload has its own error, not a session failure, and changes nothing.
    const auto before = Access::fields(ini());
    EXPECT_THROW(ini().tunnelSeal(Bytes(65536, 'x')), TunnelPayloadTooLarge);
    static_assert(!std::is_base_of_v<SessionError, TunnelPayloadTooLarge>);
    EXPECT_EQ(Access::fields(ini()), before);
}

TEST_F(RecordsTest, TunnelReplayAndTheForwardWindowOfTwenty) {
    const auto f = frames(30);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(res().tunnelOpen(f[i]), secure("frame " + std::to_string(i)));
    auto before = Access::fields(res());
    expectSessionError(E::replayDetected, [&] { res().tunnelOpen(f[2]); });
    expectSessionError(E::replayDetected, [&] { res().tunnelOpen(f[0]); });
    EXPECT_EQ(Access::fields(res()), before);
    res().tunnelOpen(f[3]);
    // From 4, a gap of 21 is refused and 4 is still expected; a gap of 20 is accepted.
    before = Access::fields(res());
    expectSessionError(E::openFailed, [&] { res().tunnelOpen(f[25]); });
    EXPECT_EQ(Access::fields(res()), before);
    EXPECT_EQ(res().tunnelOpen(f[24]), secure("frame 24"));
    for (int i = 4; i < 24; ++i) expectSessionError(E::replayDetected, [&] { res().tunnelOpen(f[i]); });
    EXPECT_EQ(res().tunnelOpen(f[25]), secure("frame 25"));
    EXPECT_EQ(Access::tunnelRxCounter(res()), 26u);
}

TEST_F(RecordsTest, EveryFlippedTunnelBitIsRejectedWithoutMovingTheReceiver) {
    const auto f = frames(3);
    res().tunnelOpen(f[0]);
    const Bytes& frame = f[2];  // counter 2 while 1 is expected: flips of the counter land on both sides
    const auto before = Access::fields(res());
    for (std::size_t bit = 0; bit < frame.size() * 8; ++bit) {
        const std::size_t byte = bit / 8;
        if (byte >= 8) {
            EXPECT_THROW(res().tunnelOpen(flipped(frame, bit)), AuthenticationError) << "bit " << bit;
        } else {
            // The counter is bound into the nonce and the associated data.
            const std::uint64_t counter = 2 ^ (std::uint64_t{1} << (8 * (7 - byte) + bit % 8));
            try {
                res().tunnelOpen(flipped(frame, bit));
                ADD_FAILURE() << "counter bit " << bit << " opened";
            } catch (const AuthenticationError&) {
                EXPECT_TRUE(counter >= 1 && counter <= 21) << bit;
            } catch (const SessionError& e) {
                EXPECT_EQ(e.code(), counter < 1 ? E::replayDetected : E::openFailed) << bit;
            }
        }
        ASSERT_EQ(Access::tunnelRxCounter(res()), 1u);
    }
    expectSessionError(E::openFailed, [&] { res().tunnelOpen(BytesView(frame).first(24)); });
    EXPECT_THROW(res().tunnelOpen(BytesView(frame).first(25)), AuthenticationError);
    EXPECT_EQ(Access::fields(res()), before);
    res().tunnelOpen(f[1]);
    EXPECT_EQ(res().tunnelOpen(frame), secure("frame 2"));
}

// Without keys (before the P-256 stage) the tunnel refuses as after teardown: see the teardown test.
TEST(TunnelStages, HandshakeFramesUseTheProvisionalKeysAndStopAtPQComplete) {
    SessionWorld world;
    SessionPair pair(world);
    pair.completeHandshakes();
    auto& ini = pair.initiator();
    auto& res = pair.responder();
    EXPECT_EQ(ini.tunnelOpen(res.tunnelSeal(asBytes("back"))), secure("back"));
    const Bytes stale = ini.tunnelSeal(asBytes("late"));
    pair.completePQ();
    EXPECT_THROW(res.tunnelOpen(stale), AuthenticationError);
    EXPECT_EQ(res.tunnelOpen(ini.tunnelSeal(asBytes("ready"))), secure("ready"));

    // Two hundred thousand frames end a tunnel chain.
    Access::tunnelTxCounter(ini) = PFSChatSession::tunnelCounterLimit - 1;
    const Bytes last = ini.tunnelSeal(asBytes("last"));
    expectSessionError(E::sessionExpired, [&] { ini.tunnelSeal(asBytes("one more")); });
    Access::tunnelRxCounter(res) = PFSChatSession::tunnelCounterLimit;
    expectSessionError(E::sessionExpired, [&] { res.tunnelOpen(last); });
}

}  // namespace
}  // namespace duoquill
