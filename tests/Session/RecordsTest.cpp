// The record layer between two sessions: sizes, order, replay, tampering, limits.

#include <gtest/gtest.h>

#include <set>

#include "Duoquill/Platform/AesGcm.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Random.h"
#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
using E = SessionErrorCode;

class RecordsTest : public AfterHandshake {
protected:
    struct RxState {
        std::optional<SecureBytes> key;
        std::uint64_t counter;
        Bytes hash;
        bool operator==(const RxState&) const = default;
    };
    RxState rxState(PFSChatSession& s) { return {Access::rxKey(s), Access::rxCounter(s), Access::rxTranscriptHash(s)}; }
};

TEST_F(RecordsTest, SizesFollowTheBuckets) {
    for (std::uint32_t r : {0u, 1u, 2u}) {
        world.entropy.choices.push_back(r);
        EXPECT_EQ(ini().seal(Bytes{0x41}).data.size(), 256 + 256 * r + 16);
        world.entropy.choices.push_back(r);
        EXPECT_EQ(ini().seal(Bytes(251, 0x42)).data.size(), 256 + 256 * r + 16);
        world.entropy.choices.push_back(r);
        EXPECT_EQ(ini().seal(Bytes(252, 0x42)).data.size(), 512 + 256 * r + 16);
        world.entropy.choices.push_back(r);
        EXPECT_EQ(ini().sealDummy().data.size(), 256 + 256 * r + 16);
    }
    // A message that fills its bucket exactly draws no padding bytes at all.
    world.entropy.choices.push_back(0);
    world.entropy.paddingBytes.push_back(Bytes(1));  // would be consumed (and mismatch) if drawn
    EXPECT_EQ(ini().seal(Bytes(251, 0x42)).data.size(), 272u);
    EXPECT_EQ(world.entropy.paddingBytes.size(), 1u);
    world.entropy.paddingBytes.clear();

    // With real randomness, every choice of extra buckets occurs.
    std::set<std::size_t> real, cover;
    for (int i = 0; i < 300 && (real.size() < 3 || cover.size() < 3); ++i) {
        real.insert(ini().seal(Bytes{0x41}).data.size());
        cover.insert(ini().sealDummy().data.size());
    }
    EXPECT_EQ(real, (std::set<std::size_t>{272, 528, 784}));
    EXPECT_EQ(cover, (std::set<std::size_t>{272, 528, 784}));
}

TEST_F(RecordsTest, NonceIsTheMaskXoredWithTheCounter) {
    const Bytes mask = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const auto zero = Access::maskedNonce(0, mask);
    EXPECT_TRUE(std::equal(zero.begin(), zero.end(), mask.begin()));
    auto one = Access::maskedNonce(1, mask);
    EXPECT_TRUE(std::equal(one.begin(), one.end() - 1, mask.begin()));
    EXPECT_EQ(one[11], 12 ^ 1);
    const auto big = Access::maskedNonce(0x0102030405060708ull, Bytes(12, 0));
    EXPECT_EQ(Bytes(big.begin(), big.end()), (Bytes{0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
    const Bytes a = Access::aad(1, 2, {}, Bytes(64, 9));
    EXPECT_EQ(a.size(), 73u);
    EXPECT_EQ(Access::aad(1, 2, Bytes(64, 5), Bytes(64, 9)).size(), 137u);
}

TEST_F(RecordsTest, UnpaddingRules) {
    expectSessionError(E::openFailed, [] { Access::unpad({}); });
    EXPECT_FALSE(Access::unpad(Bytes{0x00}));
    EXPECT_FALSE(Access::unpad(Bytes{0x00, 0xff, 0xff, 0xff, 0xff}));  // rest of a cover record unread
    expectSessionError(E::openFailed, [] { Access::unpad(Bytes{0x01, 0, 0, 0}); });
    EXPECT_EQ(Access::unpad(Bytes{0x01, 0, 0, 0, 0}), SecureBytes{});
    EXPECT_EQ(Access::unpad(Bytes{0x07, 0, 0, 0, 2, 'h', 'i', 'x'}), toSecure(asBytes("hi")));
    EXPECT_EQ(Access::unpad(Bytes{0x01, 0, 0, 0, 2, 'h', 'i'}), toSecure(asBytes("hi")));
    expectSessionError(E::openFailed, [] { Access::unpad(Bytes{0x01, 0, 0, 0, 3, 'h', 'i'}); });
    expectSessionError(E::openFailed, [] { Access::unpad(Bytes{0x01, 0xff, 0xff, 0xff, 0xff, 'h'}); });
}

TEST_F(RecordsTest, InOrderReplayAndGap) {
    std::vector<PFSChatSession::SealedRecord> sealed;
    for (int i = 0; i < 5; ++i) sealed.push_back(ini().seal(asBytes("line " + std::to_string(i))));
    const auto cover = ini().sealDummy();
    EXPECT_EQ(sealed[4].counter, 4u);
    EXPECT_EQ(res().open(sealed[0].data, 0), toSecure(asBytes("line 0")));
    EXPECT_EQ(res().open(sealed[1].data, 1), toSecure(asBytes("line 1")));
    const auto before = rxState(res());
    expectSessionError(E::replayDetected, [&] { res().open(sealed[1].data, 1); });
    expectSessionError(E::replayDetected, [&] { res().open(sealed[0].data, 0); });
    expectSessionError(E::openFailed, [&] { res().open(sealed[3].data, 3); });  // record 2 missing
    expectSessionError(E::openFailed, [&] { res().open(Bytes(16), 2); });       // too short
    EXPECT_EQ(rxState(res()), before);
    EXPECT_EQ(res().open(sealed[2].data, 2), toSecure(asBytes("line 2")));
    EXPECT_EQ(res().open(sealed[3].data, 3), toSecure(asBytes("line 3")));
    EXPECT_EQ(res().open(sealed[4].data, 4), toSecure(asBytes("line 4")));
    // A cover record opens to nothing but moves the chain like any other.
    const auto beforeCover = rxState(res());
    EXPECT_FALSE(res().open(cover.data, cover.counter));
    EXPECT_NE(rxState(res()), beforeCover);
    EXPECT_EQ(Access::rxCounter(res()), 6u);
}

TEST_F(RecordsTest, EveryFlippedBitFailsAuthenticationAndMovesNothing) {
    const auto sealed = ini().seal(asBytes("tamper with me"));
    const auto before = rxState(res());
    for (std::size_t bit = 0; bit < sealed.data.size() * 8; ++bit) {
        Bytes bad = sealed.data;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_THROW(res().open(bad, sealed.counter), AuthenticationError) << "bit " << bit;
    }
    EXPECT_THROW(res().open(BytesView(sealed.data).first(sealed.data.size() - 1), 0), AuthenticationError);
    EXPECT_EQ(rxState(res()), before);
    EXPECT_EQ(res().open(sealed.data, sealed.counter), toSecure(asBytes("tamper with me")));
}

TEST_F(RecordsTest, RecordsBoundToAnotherContextFailAuthentication) {
    // Seal by hand under the right key and nonce, but bind another direction, counter,
    // session ID or transcript state; each is offered under the expected counter 0.
    const SecureBytes key = *Access::txKey(ini());
    const Bytes mask(Access::txNonceMask(ini()).begin(), Access::txNonceMask(ini()).end());
    const Bytes sid(Access::sessionID(ini())->begin(), Access::sessionID(ini())->end());
    const Bytes hash = Access::txTranscriptHash(ini());
    const std::uint8_t dir = Access::txDirection(ini());
    const Bytes padded = concat(Bytes{0x01, 0, 0, 0, 1, 'x'}, Bytes(250, 0));
    auto sealWith = [&](std::uint64_t nonceCounter, const Bytes& aad) {
        const auto nonce = Access::maskedNonce(nonceCounter, mask);
        return aesgcm::seal(key, nonce, padded, aad);
    };
    Bytes otherHash = hash;
    otherHash[0] ^= 1;
    Bytes otherSid = sid;
    otherSid[63] ^= 1;
    const std::vector<Bytes> forged = {
        sealWith(0, Access::aad(dir ^ 1, 0, sid, hash)),
        sealWith(1, Access::aad(dir, 1, sid, hash)),
        sealWith(0, Access::aad(dir, 1, sid, hash)),
        sealWith(0, Access::aad(dir, 0, otherSid, hash)),
        sealWith(0, Access::aad(dir, 0, {}, hash)),
        sealWith(0, Access::aad(dir, 0, sid, otherHash)),
    };
    const auto before = rxState(res());
    for (const Bytes& record : forged) EXPECT_THROW(res().open(record, 0), AuthenticationError);
    EXPECT_EQ(rxState(res()), before);
    // The genuine binding opens.
    EXPECT_EQ(res().open(sealWith(0, Access::aad(dir, 0, sid, hash)), 0), toSecure(asBytes("x")));

    // A record of the responder's chain offered to the responder itself fails too.
    const auto own = res().seal(asBytes("mine"));
    EXPECT_THROW(res().open(own.data, 1), AuthenticationError);
}

TEST_F(RecordsTest, AMalformedPaddedFormThatAuthenticatesStillAdvancesTheChain) {
    const auto bad = Access::sealPadded(ini(), toSecure(concat(Bytes{0x01, 0, 0, 1, 0}, Bytes(251, 0))));
    const auto tiny = Access::sealPadded(ini(), toSecure(Bytes{0x01, 0, 0}));
    const auto next = ini().seal(asBytes("after"));
    const auto before = rxState(res());
    expectSessionError(E::openFailed, [&] { res().open(bad.data, bad.counter); });
    EXPECT_EQ(Access::rxCounter(res()), 1u);
    EXPECT_NE(Access::rxKey(res()), before.key);
    EXPECT_NE(Access::rxTranscriptHash(res()), before.hash);
    expectSessionError(E::openFailed, [&] { res().open(tiny.data, tiny.counter); });
    EXPECT_EQ(res().open(next.data, next.counter), toSecure(asBytes("after")));
    // An empty padded form seals to 16 bytes, below the shortest record: nothing moves.
    const auto empty = Access::sealPadded(ini(), SecureBytes{});
    EXPECT_EQ(empty.data.size(), 16u);
    expectSessionError(E::openFailed, [&] { res().open(empty.data, empty.counter); });
    EXPECT_EQ(Access::rxCounter(res()), 3u);
}

TEST_F(RecordsTest, OneChainExpiresAfter100000Records) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr std::uint64_t skipped = PFSChatSession::recordCounterLimit - 2000;  // keep the slow build quick
#else
    constexpr std::uint64_t skipped = 0;
#endif
    Access::txCounter(ini()) = skipped;
    for (std::uint64_t i = skipped; i < PFSChatSession::recordCounterLimit; ++i) {
        ASSERT_EQ(ini().sealDummy().counter, i);
    }
    const auto key = Access::txKey(ini());
    for (int i = 0; i < 3; ++i) {
        expectSessionError(E::sessionExpired, [&] { ini().seal(asBytes("too many")); });
        expectSessionError(E::sessionExpired, [&] { ini().sealDummy(); });
    }
    EXPECT_EQ(Access::txKey(ini()), key);
    EXPECT_EQ(Access::txCounter(ini()), PFSChatSession::recordCounterLimit);
    // The receiving chain has the same limit.
    Access::rxCounter(res()) = PFSChatSession::recordCounterLimit;
    expectSessionError(E::sessionExpired, [&] { res().open(Bytes(272), PFSChatSession::recordCounterLimit); });
    Access::rxCounter(res()) = PFSChatSession::recordCounterLimit - 1;
    expectSessionError(E::replayDetected, [&] { res().open(Bytes(272), 0); });
}

TEST_F(RecordsTest, GuardOrderKeyThenCounterThenUptimeThenEpoch) {
    SessionWorld fresh;
    SessionPair early(fresh);
    early.completeHandshakes();  // tunnel keys only
    expectSessionError(E::handshakeNotComplete, [&] { early.a->seal(asBytes("x")); });
    expectSessionError(E::handshakeNotComplete, [&] { early.a->open(Bytes(272), 0); });
    // The key check comes before the counter and lifetime checks.
    Access::txCounter(*early.a) = PFSChatSession::recordCounterLimit;
    fresh.clock.advance(100000);
    expectSessionError(E::handshakeNotComplete, [&] { early.a->sealDummy(); });
}

}  // namespace
}  // namespace duoquill
