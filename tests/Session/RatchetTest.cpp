// The root ratchet between two sessions, including the schedules where both sides send
// before either has heard from the other.

#include <gtest/gtest.h>

#include <deque>

#include "Duoquill/Platform/PlatformError.h"
#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
using E = SessionErrorCode;

class RatchetTest : public AfterHandshake {
protected:
    void expectRootsAgree() { EXPECT_EQ(Access::rootKey(ini()), Access::rootKey(res())); }
};

TEST_F(RatchetTest, TheInitiatorOpensWithKeysOnlyAndTheResponderAnswersWithARootStep) {
    const auto txKey = Access::txKey(ini());
    const auto root = Access::rootKey(ini());
    EXPECT_FALSE(res().prepareDHRatchetIfNeeded());  // nothing due on the responder yet
    const auto header = ini().prepareDHRatchetIfNeeded();
    ASSERT_TRUE(header);
    EXPECT_EQ(header->size(), 1632u);
    EXPECT_EQ(Access::txKey(ini()), txKey);
    EXPECT_EQ(Access::txCounter(ini()), 0u);
    EXPECT_EQ(Access::rootKey(ini()), root);
    EXPECT_FALSE(ini().prepareDHRatchetIfNeeded());

    // The responder's own records before the header arrives carry none.
    EXPECT_FALSE(res().prepareDHRatchetIfNeeded());
    const auto early = res().seal(asBytes("early"));
    EXPECT_EQ(ini().open(early.data, early.counter), toSecure(asBytes("early")));

    const auto rxKey = Access::rxKey(res());
    res().receiveDHRatchetKey(*header);  // keys only: no root step
    EXPECT_EQ(Access::rxKey(res()), rxKey);
    EXPECT_EQ(Access::rootKey(res()), root);
    EXPECT_TRUE(Access::dhRatchetPending(res()));

    const auto reply = res().prepareDHRatchetIfNeeded();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 3200u);
    EXPECT_EQ(Access::txCounter(res()), 0u);
    EXPECT_NE(Access::rootKey(res()), root);
    ini().receiveDHRatchetKey(*reply);
    expectRootsAgree();
    EXPECT_EQ(Access::rxKey(ini()), Access::txKey(res()));
    EXPECT_EQ(Access::rxCounter(ini()), 0u);
    const auto sealed = res().seal(asBytes("after the step"));
    EXPECT_EQ(sealed.counter, 0u);
    EXPECT_EQ(ini().open(sealed.data, sealed.counter), toSecure(asBytes("after the step")));
}

TEST_F(RatchetTest, RootsStayEqualThroughAlternationAndRuns) {
    int headers = 0;
    for (int turn = 0; turn < 24; ++turn) {
        auto& from = turn % 2 == 0 ? ini() : res();
        auto& to = turn % 2 == 0 ? res() : ini();
        const bool due = Access::dhRatchetPending(from);
        headers += due;
        const std::string text = "turn " + std::to_string(turn);
        EXPECT_EQ(deliver(from, to, asBytes(text)), toSecure(asBytes(text)));
        expectRootsAgree();
        EXPECT_TRUE(due) << "every change of speaker carries a header";
    }
    EXPECT_EQ(headers, 24);
    // Runs of consecutive records from one side move only its chain.
    for (int run = 0; run < 6; ++run) {
        auto& from = run % 2 == 0 ? ini() : res();
        auto& to = run % 2 == 0 ? res() : ini();
        for (int i = 0; i < 5; ++i) {
            const auto root = Access::rootKey(from);
            EXPECT_EQ(deliver(from, to, asBytes("run"), i == 2), i == 2 ? std::nullopt : std::optional(toSecure(asBytes("run"))));
            if (i > 0) {
                EXPECT_EQ(Access::rootKey(from), root);
            }
        }
        expectRootsAgree();
    }
}

TEST_F(RatchetTest, ShortAndInvalidHeadersChangeNothing) {
    const auto header = ini().prepareDHRatchetIfNeeded();
    res().receiveDHRatchetKey(*header);
    const auto reply = *res().prepareDHRatchetIfNeeded();
    const auto root = Access::rootKey(ini());
    const auto rxKey = Access::rxKey(ini());
    const bool pending = Access::dhRatchetPending(ini());

    expectSessionError(E::openFailed, [&] { ini().receiveDHRatchetKey(BytesView(reply).first(63)); });
    Bytes notAPoint(64, 0xff);
    EXPECT_THROW(ini().receiveDHRatchetKey(notAPoint), CryptoError);
    Bytes offCurve = concat(BytesView(reply).first(63), Bytes{static_cast<std::uint8_t>(reply[63] ^ 1)},
                            BytesView(reply).subspan(64));
    EXPECT_THROW(ini().receiveDHRatchetKey(offCurve), CryptoError);
    EXPECT_EQ(Access::rootKey(ini()), root);
    EXPECT_EQ(Access::rxKey(ini()), rxKey);
    EXPECT_EQ(Access::dhRatchetPending(ini()), pending);
    EXPECT_FALSE(Access::peerDHRatchetKey(ini()));

    // A 1632-byte header never steps the root, even on a side holding ratchet keys.
    ini().receiveDHRatchetKey(BytesView(reply).first(1632));
    EXPECT_EQ(Access::rootKey(ini()), root);
    EXPECT_EQ(Access::rxKey(ini()), rxKey);
    EXPECT_TRUE(Access::dhRatchetPending(ini()));
    EXPECT_EQ(Access::peerMLKEMRatchetPublicKeyData(ini()), Bytes(reply.begin() + 64, reply.begin() + 1632));
}

TEST_F(RatchetTest, AFullHeaderWithoutOwnRatchetKeyOnlyStoresThePeerKeys) {
    const Bytes header = concat(*ini().prepareDHRatchetIfNeeded(), Bytes(1568, 0x5a), Bytes(7, 1));
    const auto root = Access::rootKey(res());
    const auto rxKey = Access::rxKey(res());
    ASSERT_FALSE(Access::dhRatchetPrivateKey(res()));
    res().receiveDHRatchetKey(header);
    EXPECT_EQ(Access::rootKey(res()), root);
    EXPECT_EQ(Access::rxKey(res()), rxKey);
    EXPECT_TRUE(Access::dhRatchetPending(res()));
    EXPECT_EQ(Access::peerDHRatchetKey(res())->raw(), Bytes(header.begin(), header.begin() + 64));
    // The conversation carries on normally from there.
    EXPECT_EQ(deliver(res(), ini(), asBytes("on")), toSecure(asBytes("on")));
    expectRootsAgree();
}

TEST_F(RatchetTest, AFailedSendingStepStaysDueAndChangesNothing) {
    const auto txKey = Access::txKey(ini());
    world.keyStore.failNextMLKEM = true;
    EXPECT_THROW(ini().prepareDHRatchetIfNeeded(), CryptoError);
    EXPECT_TRUE(Access::dhRatchetPending(ini()));
    EXPECT_FALSE(Access::dhRatchetPrivateKey(ini()));
    EXPECT_EQ(Access::txKey(ini()), txKey);
    const auto header = ini().prepareDHRatchetIfNeeded();
    ASSERT_TRUE(header);
    EXPECT_EQ(header->size(), 1632u);
}

// Both sides seal one record each before either receives the other's, round after round:
// the schedule cover traffic produces whenever the network delay exceeds the gap between
// two sends. Returns false as soon as a record fails to open.
bool crossingRounds(PFSChatSession& a, PFSChatSession& b, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        const auto headerA = a.prepareDHRatchetIfNeeded();
        const auto fromA = a.seal(asBytes("a" + std::to_string(round)));
        const auto headerB = b.prepareDHRatchetIfNeeded();
        const auto fromB = b.seal(asBytes("b" + std::to_string(round)));
        try {
            if (headerA) b.receiveDHRatchetKey(*headerA);
            if (b.open(fromA.data, fromA.counter) != toSecure(asBytes("a" + std::to_string(round)))) return false;
            if (headerB) a.receiveDHRatchetKey(*headerB);
            if (a.open(fromB.data, fromB.counter) != toSecure(asBytes("b" + std::to_string(round)))) return false;
        } catch (const std::exception&) {
            return false;
        }
        if (Access::rootKey(a) != Access::rootKey(b)) return false;
    }
    return true;
}

TEST_F(RatchetTest, CrossingSendsStayInStep) {
    EXPECT_TRUE(crossingRounds(ini(), res(), 12));
    // And so do alternations afterwards.
    EXPECT_EQ(deliver(res(), ini(), asBytes("x")), toSecure(asBytes("x")));
    EXPECT_EQ(deliver(ini(), res(), asBytes("y")), toSecure(asBytes("y")));
    expectRootsAgree();
}

TEST_F(RatchetTest, CrossingSendsBrokeWhenBothSidesStartedWithAStepDue) {
    // The earlier rule: the key schedule left a step due on the responder too.
    Access::dhRatchetPending(res()) = true;
    EXPECT_FALSE(crossingRounds(ini(), res(), 3));
}

}  // namespace
}  // namespace duoquill
