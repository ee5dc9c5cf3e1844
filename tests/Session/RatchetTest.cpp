// The root ratchet between two sessions: headers that cannot step it, the schedules where
// both sides send before either has heard from the other, and a long conversation through
// both layers as the client carries it. The steps' bytes are pinned by the known-answer tests.

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <random>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/PlatformError.h"
#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
using E = SessionErrorCode;

class RatchetTest : public AfterHandshake {};

TEST_F(RatchetTest, TheResponderAttachesNoHeaderUntilItHasReceivedOne) {
    EXPECT_FALSE(res().prepareDHRatchetIfNeeded());
    const auto early = res().seal(asBytes("early"));
    EXPECT_EQ(ini().open(early.data, early.counter), toSecure(asBytes("early")));
    res().receiveDHRatchetKey(*ini().prepareDHRatchetIfNeeded());
    EXPECT_TRUE(res().prepareDHRatchetIfNeeded());
}

TEST_F(RatchetTest, HeadersThatCannotStepTheRootChangeNothingOrOnlyStoreThePeerKeys) {
    const auto header = ini().prepareDHRatchetIfNeeded();
    res().receiveDHRatchetKey(*header);
    const auto reply = *res().prepareDHRatchetIfNeeded();
    const auto before = Access::fields(ini());
    expectSessionError(E::openFailed, [&] { ini().receiveDHRatchetKey(BytesView(reply).first(63)); });
    EXPECT_THROW(ini().receiveDHRatchetKey(Bytes(64, 0xff)), CryptoError);
    Bytes offCurve = reply;
    offCurve[63] ^= 1;
    EXPECT_THROW(ini().receiveDHRatchetKey(offCurve), CryptoError);
    EXPECT_EQ(Access::fields(ini()), before);

    // A 1632-byte header never steps the root, even on a side holding ratchet keys.
    ini().receiveDHRatchetKey(BytesView(reply).first(1632));
    auto after = Access::fields(ini());
    EXPECT_EQ(after.at("rootKey") + after.at("rxKey"), before.at("rootKey") + before.at("rxKey"));
    EXPECT_EQ(after.at("dhRatchetPending"), "true");
    EXPECT_EQ(after.at("peerMLKEMRatchetPublicKeyData"), hexOf(BytesView(reply).subspan(64, 1568)));

    // A full header reaching a side without a ratchet key of its own only stores the keys.
    SessionWorld world2;
    SessionPair other(world2);
    other.handshake();
    auto& r = other.responder();
    const Bytes full = concat(*other.initiator().prepareDHRatchetIfNeeded(), Bytes(1568, 0x5a), Bytes(7, 1));
    const auto otherBefore = Access::fields(r);
    ASSERT_EQ(otherBefore.at("dhRatchetPrivateKey"), "null");
    r.receiveDHRatchetKey(full);
    after = Access::fields(r);
    EXPECT_EQ(after.at("rootKey") + after.at("rxKey"), otherBefore.at("rootKey") + otherBefore.at("rxKey"));
    EXPECT_EQ(after.at("dhRatchetPending"), "true");
    EXPECT_EQ(after.at("peerDHRatchetKey"), hexOf(BytesView(full).first(64)));
    EXPECT_EQ(deliver(r, other.initiator(), asBytes("on")), toSecure(asBytes("on")));
    EXPECT_EQ(Access::rootKey(r), Access::rootKey(other.initiator()));
}

TEST_F(RatchetTest, KeyStoreFailuresPassThroughAndAFailedSendingStepStaysDue) {
    world.keyStore.failNextMLKEM = true;
    EXPECT_THROW(world.makeSession(makeIdentity(), makeIdentity()), CryptoError);
    const auto txKey = Access::txKey(ini());
    world.keyStore.failNextMLKEM = true;
    EXPECT_THROW(ini().prepareDHRatchetIfNeeded(), CryptoError);
    EXPECT_TRUE(Access::dhRatchetPending(ini()));
    EXPECT_EQ(field(ini(), "dhRatchetPrivateKey"), "null");
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
        const std::string textA = "a" + std::to_string(round), textB = "b" + std::to_string(round);
        const auto headerA = a.prepareDHRatchetIfNeeded();
        const auto fromA = a.seal(asBytes(textA));
        const auto headerB = b.prepareDHRatchetIfNeeded();
        const auto fromB = b.seal(asBytes(textB));
        try {
            if (headerA) b.receiveDHRatchetKey(*headerA);
            if (b.open(fromA.data, fromA.counter) != toSecure(asBytes(textA))) return false;
            if (headerB) a.receiveDHRatchetKey(*headerB);
            if (a.open(fromB.data, fromB.counter) != toSecure(asBytes(textB))) return false;
        } catch (const std::exception&) {
            return false;
        }
        if (Access::rootKey(a) != Access::rootKey(b)) return false;
    }
    return true;
}

TEST_F(RatchetTest, CrossingSendsStayInStep) {
    EXPECT_TRUE(crossingRounds(ini(), res(), 12));
    EXPECT_EQ(deliver(res(), ini(), asBytes("x")), toSecure(asBytes("x")));
    EXPECT_EQ(deliver(ini(), res(), asBytes("y")), toSecure(asBytes("y")));
    EXPECT_EQ(Access::rootKey(ini()), Access::rootKey(res()));
}

TEST_F(RatchetTest, CrossingSendsBrokeWhenBothSidesStartedWithAStepDue) {
    // The earlier rule: the key schedule left a step due on the responder too.
    Access::dhRatchetPending(res()) = true;
    EXPECT_FALSE(crossingRounds(ini(), res(), 3));
}

// ---- a long conversation: records with their ratchet headers in "msg" JSON, wrapped in
// tunnel frames, with random speakers, lengths, cover records and delivery delays ----

int recordCount() {
    if (const char* env = std::getenv("DUOQUILL_LONG_RUN_RECORDS"); env != nullptr && *env != '\0') {
        return std::atoi(env);
    }
#if defined(__SANITIZE_ADDRESS__)
    return 1500;  // the sanitised build is an order of magnitude slower
#else
    return 10000;
#endif
}

Bytes wrap(PFSChatSession& from, BytesView text, bool cover) {
    const auto header = from.prepareDHRatchetIfNeeded();
    const auto sealed = cover ? from.sealDummy() : from.seal(text);
    boost::json::object msg{{"t", "msg"}, {"n", sealed.counter}, {"d", base64String(sealed.data)}};
    if (header) msg["rk"] = base64String(*header);
    return from.tunnelSeal(asBytes(boost::json::serialize(msg)));
}

std::optional<SecureBytes> unwrap(PFSChatSession& to, BytesView frame) {
    const SecureBytes payload = to.tunnelOpen(frame);
    const auto msg = boost::json::parse(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()))
                         .as_object();
    if (const auto* rk = msg.if_contains("rk")) to.receiveDHRatchetKey(*bytesFromBase64String(rk->as_string()));
    return to.open(*bytesFromBase64String(msg.at("d").as_string()), msg.at("n").to_number<std::uint64_t>());
}

TEST_F(RatchetTest, TenThousandRecordsInRandomOrderArriveIntact) {
    PFSChatSession* side[2] = {&ini(), &res()};
    std::deque<std::pair<Bytes, std::optional<Bytes>>> wire[2];  // from side i: frame, and text unless cover
    std::mt19937_64 rng(20240611);
    const int total = recordCount();
    int sent = 0, received = 0, texts = 0, crossings = 0;
    while (sent < total || !wire[0].empty() || !wire[1].empty()) {
        if (sent < total && rng() % 4 < 2) {
            const int from = static_cast<int>(rng() % 2);
            crossings += !wire[0].empty() && !wire[1].empty();
            std::optional<Bytes> text;
            if (rng() % 4 != 0) {
                text.emplace(rng() % 4097);
                for (auto& b : *text) b = static_cast<std::uint8_t>(rng());
                ++texts;
            }
            wire[from].emplace_back(wrap(*side[from], text ? BytesView(*text) : BytesView(), !text), text);
            ++sent;
        } else if (const int to = static_cast<int>(rng() % 2); !wire[1 - to].empty()) {
            const auto [frame, text] = std::move(wire[1 - to].front());
            wire[1 - to].pop_front();
            const auto opened = unwrap(*side[to], frame);
            ASSERT_EQ(opened.has_value(), text.has_value()) << "record " << received;
            if (opened) {
                ASSERT_EQ(Bytes(opened->begin(), opened->end()), *text) << "record " << received;
            }
            ++received;
        }
        // Whenever everything in flight has landed, the roots agree.
        if (wire[0].empty() && wire[1].empty()) {
            ASSERT_EQ(Access::rootKey(ini()), Access::rootKey(res())) << "after " << sent;
        }
    }
    EXPECT_EQ(received, total);
    EXPECT_GT(texts, total / 2);
    EXPECT_GT(crossings, 0);
}

}  // namespace
}  // namespace duoquill
