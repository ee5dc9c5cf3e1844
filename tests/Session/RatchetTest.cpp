// The root ratchet between two sessions: headers that cannot step it, the schedules where
// both sides send before either has heard from the other, and a long conversation through
// both layers as the client carries it. The steps' bytes are pinned by the known-answer tests.

#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "Duoquill/Platform/PlatformError.h"
#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
using E = SessionErrorCode;

class RatchetTest : public AfterHandshake {};

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
    EXPECT_EQ(after.at("peerMLKEMRatchetPublicKeyData"), hexString(BytesView(reply).subspan(64, 1568)));

    // A full header reaching a side without a ratchet key of its own only stores the keys.
    SessionPair other(world);
    other.handshake();
    auto& r = other.responder();
    const Bytes full = concat(*other.initiator().prepareDHRatchetIfNeeded(), Bytes(1568, 0x5a), Bytes(7, 1));
    const auto otherBefore = Access::fields(r);
    ASSERT_EQ(otherBefore.at("dhRatchetPrivateKey"), "null");
    r.receiveDHRatchetKey(full);
    after = Access::fields(r);
    EXPECT_EQ(after.at("rootKey") + after.at("rxKey"), otherBefore.at("rootKey") + otherBefore.at("rxKey"));
    EXPECT_EQ(after.at("dhRatchetPending"), "true");
    EXPECT_EQ(after.at("peerDHRatchetKey"), hexString(BytesView(full).first(64)));
    EXPECT_EQ(deliver(r, other.initiator(), asBytes("on")), secure("on"));
    EXPECT_EQ(Access::rootKey(r), Access::rootKey(other.initiator()));
}

TEST_F(RatchetTest, KeyStoreFailuresPassThroughAndAFailedSendingStepStaysDue) {
    world.keyStore.failNextMLKEM = true;
    EXPECT_THROW(world.makeSession(makeIdentity(), makeIdentity()), CryptoError);
    const auto txKey = field(ini(), "txKey");
    world.keyStore.failNextMLKEM = true;
    EXPECT_THROW(ini().prepareDHRatchetIfNeeded(), CryptoError);
    EXPECT_TRUE(ini().isDHRatchetPending());
    EXPECT_EQ(field(ini(), "dhRatchetPrivateKey"), "null");
    EXPECT_EQ(field(ini(), "txKey"), txKey);
    const auto header = ini().prepareDHRatchetIfNeeded();
    ASSERT_TRUE(header);
    EXPECT_EQ(header->size(), 1632u);
}

// Records with their ratchet headers, wrapped in tunnel frames as the client carries them.
struct InFlight {
    std::optional<Bytes> header;
    Bytes frame;  // the record in a tunnel frame
    std::uint64_t counter;
    std::optional<Bytes> text;  // nothing: a cover record
};

InFlight send(PFSChatSession& from, std::optional<Bytes> text) {
    auto header = from.prepareDHRatchetIfNeeded();
    const auto sealed = text ? from.seal(*text) : from.sealDummy();
    return {std::move(header), from.tunnelSeal(sealed.data), sealed.counter, std::move(text)};
}

// Opened in the client's order: the frame, the ratchet header, then the record.
std::optional<SecureBytes> receive(PFSChatSession& to, const InFlight& sent) {
    const SecureBytes record = to.tunnelOpen(sent.frame);
    if (sent.header) to.receiveDHRatchetKey(*sent.header);
    return to.open(record, sent.counter);
}

// Both sides seal one record each before either receives the other's, round after round:
// the schedule cover traffic produces whenever the network delay exceeds the gap between
// two sends.
TEST_F(RatchetTest, CrossingSendsStayInStep) {
    for (int round = 0; round < 12; ++round) {
        const Bytes textA = toBytes(asBytes("a" + std::to_string(round)));
        const Bytes textB = toBytes(asBytes("b" + std::to_string(round)));
        const InFlight fromA = send(ini(), textA), fromB = send(res(), textB);
        ASSERT_EQ(receive(res(), fromA), toSecure(textA)) << round;
        ASSERT_EQ(receive(ini(), fromB), toSecure(textB)) << round;
        ASSERT_EQ(Access::rootKey(ini()), Access::rootKey(res())) << round;
    }
    EXPECT_EQ(deliver(res(), ini(), asBytes("x")), secure("x"));
    EXPECT_EQ(deliver(ini(), res(), asBytes("y")), secure("y"));
    EXPECT_EQ(Access::rootKey(ini()), Access::rootKey(res()));
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
    int sent = 0, received = 0, texts = 0, crossings = 0;
    while (sent < longRunRecords || !wire[0].empty() || !wire[1].empty()) {
        if (sent < longRunRecords && rng() % 4 < 2) {
            const int from = static_cast<int>(rng() % 2);
            crossings += !wire[0].empty() && !wire[1].empty();
            std::optional<Bytes> text;
            if (rng() % 4 != 0) {
                text.emplace(rng() % 4097);
                for (auto& b : *text) b = static_cast<std::uint8_t>(rng());
                ++texts;
            }
            wire[from].push_back(send(*side[from], std::move(text)));
            ++sent;
        } else if (const int to = static_cast<int>(rng() % 2); !wire[1 - to].empty()) {
            const InFlight next = std::move(wire[1 - to].front());
            wire[1 - to].pop_front();
            const auto opened = receive(*side[to], next);
            ASSERT_EQ(opened.has_value(), next.text.has_value()) << "record " << received;
            if (opened) {
                ASSERT_EQ(toBytes(*opened), *next.text) << "record " << received;
            }
            ++received;
        }
        // Whenever everything in flight has landed, the roots agree.
        if (wire[0].empty() && wire[1].empty()) {
            ASSERT_EQ(Access::rootKey(ini()), Access::rootKey(res())) << "after " << sent;
        }
    }
    EXPECT_EQ(received, longRunRecords);
    EXPECT_GT(texts, longRunRecords / 2);
    EXPECT_GT(crossings, 0);
}

}  // namespace
}  // namespace duoquill
