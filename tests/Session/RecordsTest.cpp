// The record and tunnel layers between two sessions (sizes, order, replay, tampering, limits),
// and the root ratchet: headers that cannot step it, and a long conversation through both
// layers as the client carries it, where both sides often send before either has heard from
// the other. The bytes of records, frames and steps are pinned by the known-answer tests.

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <set>

#include "SessionTestSupport.h"

namespace duoquill::test {
namespace {

class RecordsTest : public AfterHandshake {};

// The known-answer records pin one record size for each choice of extra buckets and the
// largest message of one bucket; here, the smallest of two buckets, the bucket edges of frames,
// and the choices real randomness makes.
TEST_F(RecordsTest, RecordsAndFramesFillWholeBucketsAndRoundTrip) {
    world.entropy.choices.insert(world.entropy.choices.end(), {2, 1});
    EXPECT_EQ(ini().seal(Bytes(252, 0x42), testTime).data.size(), 1040u);
    EXPECT_EQ(ini().sealDummy(testTime).data.size(), 528u);
    const std::tuple<std::size_t, std::uint32_t, std::size_t> sizes[] = {
        {0, 0, 1560}, {1534, 0, 1560}, {1534, 1, 3096}, {1535, 0, 3096}, {1535, 1, 4632},
        {3070, 0, 3096}, {3071, 0, 4632}, {65535, 0, 8 + 43 * 1536 + 16}};
    for (const auto& [size, r, frameSize] : sizes) {
        const Bytes payload = DeterministicStream(size).bytes(size);
        world.entropy.choices.push_back(r);
        const Bytes frame = ini().tunnelSeal(payload, testTime);
        EXPECT_EQ(frame.size(), frameSize) << size;
        EXPECT_EQ(res().tunnelOpen(frame, testTime), toSecure(payload)) << size;
    }
    std::set<std::size_t> real, cover, frames;
    for (int i = 0; i < 300 && (real.size() < 3 || cover.size() < 3 || frames.size() < 2); ++i) {
        real.insert(ini().seal(Bytes{0x41}, testTime).data.size());
        cover.insert(ini().sealDummy(testTime).data.size());
        frames.insert(ini().tunnelSeal({}, testTime).size());
    }
    EXPECT_EQ(real, (std::set<std::size_t>{272, 528, 784}));
    EXPECT_EQ(cover, real);
    EXPECT_EQ(frames, (std::set<std::size_t>{1560, 3096}));

    // An oversize payload has its own error, not a session failure, and changes nothing.
    const auto before = Access::fields(ini());
    EXPECT_THROW(ini().tunnelSeal(Bytes(65536, 'x'), testTime), TunnelPayloadTooLarge);
    static_assert(!std::is_base_of_v<SessionError, TunnelPayloadTooLarge>);
    EXPECT_EQ(Access::fields(ini()), before);
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
    expectSessionError(E::openFailed, [] { Access::tunnelUnpad(Bytes{0x00, 0x03, 'a', 'b'}); });
}

// Cover records open to nothing and move the chain: the known-answer records show it. Which
// direction, counter, session ID and transcript state a record is bound to is pinned there too.
TEST_F(RecordsTest, RecordsOpenInOrderOnceAndUnalteredAndARefusalMovesNothing) {
    std::vector<PFSChatSession::SealedRecord> sealed;
    for (int i = 0; i < 5; ++i) sealed.push_back(ini().seal(asBytes("line " + std::to_string(i)), testTime));
    // A record of the responder's own chain does not open on its receiving chain.
    EXPECT_THROW(res().open(res().seal(asBytes("mine"), testTime).data, 0, testTime), AuthenticationError);
    EXPECT_EQ(res().open(sealed[0].data, 0, testTime), secure("line 0"));
    const auto before = Access::fields(res());
    const Bytes& next = sealed[1].data;
    for (std::size_t bit = 0; bit < next.size() * 8; ++bit) {
        EXPECT_THROW(res().open(flipped(next, bit), 1, testTime), AuthenticationError) << "bit " << bit;
    }
    EXPECT_THROW(res().open(BytesView(next).first(next.size() - 1), 1, testTime), AuthenticationError);
    expectSessionError(E::replayDetected, [&] { res().open(sealed[0].data, 0, testTime); });
    expectSessionError(E::openFailed, [&] { res().open(sealed[2].data, 2, testTime); });  // record 1 missing
    expectSessionError(E::openFailed, [&] { res().open(Bytes(16), 1, testTime); });       // too short
    EXPECT_EQ(Access::fields(res()), before);
    for (int i = 1; i < 5; ++i) EXPECT_EQ(res().open(sealed[i].data, i, testTime), secure("line " + std::to_string(i)));
    expectSessionError(E::replayDetected, [&] { res().open(sealed[4].data, 4, testTime); });
}

// A record or frame that authenticates but unpads badly is refused after its chain moved past it.
TEST_F(RecordsTest, AMalformedPaddedFormThatAuthenticatesStillAdvancesTheChain) {
    const auto bad = Access::sealRecordPadded(ini(), toSecure(concat(Bytes{0x01, 0, 0, 1, 0}, Bytes(251, 0))));
    const auto tiny = Access::sealRecordPadded(ini(), toSecure(Bytes{0x01, 0, 0}));
    const auto next = ini().seal(asBytes("after"), testTime);
    // Each opens only if the one before moved the counter, key and transcript on.
    expectSessionError(E::openFailed, [&] { res().open(bad.data, bad.counter, testTime); });
    expectSessionError(E::openFailed, [&] { res().open(tiny.data, tiny.counter, testTime); });
    EXPECT_EQ(res().open(next.data, next.counter, testTime), secure("after"));
    // An empty padded form seals to 16 bytes, below the shortest record: nothing moves.
    const auto empty = Access::sealRecordPadded(ini(), SecureBytes{});
    expectSessionError(E::openFailed, [&] { res().open(empty.data, empty.counter, testTime); });
    EXPECT_EQ(Access::rxCounter(res()), 3u);

    // A frame with length field 2000 in a 1536-byte bucket.
    const Bytes badLength = Access::sealTunnelPadded(ini(), toSecure(concat(Bytes{0x07, 0xd0}, Bytes(1534, 0))));
    expectSessionError(E::openFailed, [&] { res().tunnelOpen(badLength, testTime); });
    EXPECT_EQ(Access::tunnelRxCounter(res()), 1u);
    EXPECT_EQ(res().tunnelOpen(ini().tunnelSeal(asBytes("next"), testTime), testTime), secure("next"));
}

// 100,000 records end a record chain, 200,000 frames a tunnel chain.
TEST_F(RecordsTest, RecordAndTunnelChainsEndAtTheirLimits) {
    constexpr auto limit = PFSChatSession::recordCounterLimit;
    Access::txCounter(ini()) = limit - 3;
    for (std::uint64_t i = limit - 3; i < limit; ++i) EXPECT_EQ(ini().sealDummy(testTime).counter, i);
    const auto before = Access::fields(ini());
    expectSessionError(E::sessionExpired, [&] { ini().seal(asBytes("too many"), testTime); });
    expectSessionError(E::sessionExpired, [&] { ini().sealDummy(testTime); });
    EXPECT_EQ(Access::fields(ini()), before);
    Access::rxCounter(res()) = limit;  // the receiving chain has the same limit
    expectSessionError(E::sessionExpired, [&] { res().open(Bytes(272), limit, testTime); });
    Access::rxCounter(res()) = limit - 1;
    expectSessionError(E::replayDetected, [&] { res().open(Bytes(272), 0, testTime); });

    Access::tunnelTxCounter(ini()) = PFSChatSession::tunnelCounterLimit - 1;
    const Bytes last = ini().tunnelSeal(asBytes("last"), testTime);
    expectSessionError(E::sessionExpired, [&] { ini().tunnelSeal(asBytes("one more"), testTime); });
    Access::tunnelRxCounter(res()) = PFSChatSession::tunnelCounterLimit;
    expectSessionError(E::sessionExpired, [&] { res().tunnelOpen(last, testTime); });
}

// ---- tunnel ----

TEST_F(RecordsTest, TunnelFramesOpenOnceUnalteredAndWithinAForwardWindowOfTwenty) {
    std::vector<Bytes> f;
    for (int i = 0; i < 30; ++i) f.push_back(ini().tunnelSeal(asBytes("frame " + std::to_string(i)), testTime));
    EXPECT_EQ(res().tunnelOpen(f[0], testTime), secure("frame 0"));
    const Bytes& frame = f[2];  // counter 2 while 1 is expected: flips of the counter land on both sides
    auto before = Access::fields(res());
    // A flipped counter (the first 64 bits) may fall out of the window instead: which error
    // that raises is pinned below.
    for (std::size_t bit = 0; bit < 64; ++bit) EXPECT_ANY_THROW(res().tunnelOpen(flipped(frame, bit), testTime)) << bit;
    for (std::size_t bit = 64; bit < frame.size() * 8; ++bit) {
        EXPECT_THROW(res().tunnelOpen(flipped(frame, bit), testTime), AuthenticationError) << "bit " << bit;
    }
    expectSessionError(E::openFailed, [&] { res().tunnelOpen(BytesView(frame).first(24), testTime); });
    EXPECT_THROW(res().tunnelOpen(BytesView(frame).first(25), testTime), AuthenticationError);
    expectSessionError(E::replayDetected, [&] { res().tunnelOpen(f[0], testTime); });
    EXPECT_EQ(Access::fields(res()), before);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(res().tunnelOpen(f[i], testTime), secure("frame " + std::to_string(i)));
    expectSessionError(E::replayDetected, [&] { res().tunnelOpen(f[2], testTime); });
    // From 4, a gap of 21 is refused and 4 is still expected; a gap of 20 is accepted.
    before = Access::fields(res());
    expectSessionError(E::openFailed, [&] { res().tunnelOpen(f[25], testTime); });
    EXPECT_EQ(Access::fields(res()), before);
    EXPECT_EQ(res().tunnelOpen(f[24], testTime), secure("frame 24"));
    for (int i = 4; i < 24; ++i) expectSessionError(E::replayDetected, [&] { res().tunnelOpen(f[i], testTime); });
    EXPECT_EQ(res().tunnelOpen(f[25], testTime), secure("frame 25"));
    EXPECT_EQ(Access::tunnelRxCounter(res()), 26u);
}

// ---- the root ratchet ----

class RatchetTest : public AfterHandshake {};

TEST_F(RatchetTest, HeadersThatCannotStepTheRootChangeNothingOrOnlyStoreThePeerKeys) {
    const auto header = ini().prepareDHRatchetIfNeeded();
    res().receiveDHRatchetKey(*header);
    const auto reply = *res().prepareDHRatchetIfNeeded();
    const auto before = Access::fields(ini());
    expectSessionError(E::openFailed, [&] { ini().receiveDHRatchetKey(BytesView(reply).first(63)); });
    EXPECT_THROW(ini().receiveDHRatchetKey(Bytes(64, 0xff)), CryptoError);
    EXPECT_THROW(ini().receiveDHRatchetKey(flipped(reply, 63 * 8)), CryptoError);  // off the curve
    EXPECT_EQ(Access::fields(ini()), before);

    // A 1632-byte header never steps the root, even on a side holding ratchet keys.
    ini().receiveDHRatchetKey(BytesView(reply).first(1632));
    auto after = Access::fields(ini());
    EXPECT_EQ(after.at("rootKey") + after.at("rxKey"), before.at("rootKey") + before.at("rxKey"));
    EXPECT_EQ(after.at("dhRatchetPending"), "true");
    EXPECT_EQ(after.at("peerMLKEMRatchetPublicKeyData"), hexString(BytesView(reply).subspan(64, 1568)));

    // A full header reaching a side without a ratchet key of its own only stores the keys.
    SessionPair other(world);
    other.handshake();
    auto& r = other.responder();
    const Bytes full = concat(*other.initiator().prepareDHRatchetIfNeeded(), Bytes(1568, 0x5a), Bytes(7, 1));
    const auto otherBefore = Access::fields(r);  // no ratchet key: a step would change the root
    r.receiveDHRatchetKey(full);
    after = Access::fields(r);
    EXPECT_EQ(after.at("rootKey") + after.at("rxKey"), otherBefore.at("rootKey") + otherBefore.at("rxKey"));
    EXPECT_EQ(after.at("dhRatchetPending"), "true");
    EXPECT_EQ(after.at("peerDHRatchetKey"), hexString(BytesView(full).first(64)));
    EXPECT_EQ(receive(other.initiator(), send(r, toBytes(asBytes("on")))), secure("on"));
    EXPECT_EQ(Access::rootKey(r), Access::rootKey(other.initiator()));
}

TEST_F(RatchetTest, KeyStoreFailuresPassThroughAndAFailedSendingStepStaysDue) {
    world.keyStore.failNextMLKEM = true;
    EXPECT_THROW(world.makeSession(makeIdentity(), makeIdentity()), CryptoError);
    const auto before = Access::fields(ini());  // a step due
    world.keyStore.failNextMLKEM = true;
    EXPECT_THROW(ini().prepareDHRatchetIfNeeded(), CryptoError);
    EXPECT_EQ(Access::fields(ini()), before);
    EXPECT_EQ(ini().prepareDHRatchetIfNeeded().value_or(Bytes{}).size(), 1632u);
}

// ---- a long conversation, with random speakers, lengths, cover records and delivery delays ----

#if defined(__SANITIZE_ADDRESS__)
constexpr int longRunRecords = 1500;  // the sanitised build is an order of magnitude slower
#else
constexpr int longRunRecords = 10000;
#endif

TEST_F(RatchetTest, TenThousandRecordsInRandomOrderArriveIntact) {
    PFSChatSession* side[2] = {&ini(), &res()};
    std::deque<InFlight> wire[2];  // sent by side i, oldest first
    std::mt19937_64 rng(20240611);
    int sent = 0, received = 0, crossings = 0;
    while (sent < longRunRecords || !wire[0].empty() || !wire[1].empty()) {
        if (sent < longRunRecords && rng() % 4 < 2) {
            const int from = static_cast<int>(rng() % 2);
            std::optional<Bytes> text;  // a cover record one time in four
            if (rng() % 4 != 0) text = DeterministicStream(rng()).bytes(rng() % 4097);
            wire[from].push_back(send(*side[from], std::move(text)));
            // A root step sent while records of the peer are still on their way.
            crossings += wire[from].back().header.has_value() && !wire[1 - from].empty();
            ++sent;
        } else if (const int to = static_cast<int>(rng() % 2); !wire[1 - to].empty()) {
            const InFlight delivered = *next(wire[1 - to]);
            const auto opened = receive(*side[to], delivered);
            ASSERT_EQ(opened ? std::optional(toBytes(*opened)) : std::nullopt, delivered.text) << "record " << received;
            ++received;
        }
        // Whenever everything in flight has landed, the roots agree.
        if (wire[0].empty() && wire[1].empty()) {
            ASSERT_EQ(Access::rootKey(ini()), Access::rootKey(res())) << "after " << sent;
        }
    }
    EXPECT_EQ(received, longRunRecords);
    EXPECT_GT(crossings, 0);
}

}  // namespace
}  // namespace duoquill::test
