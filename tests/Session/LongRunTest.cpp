// A long conversation through both layers, as the client carries it: records with their
// ratchet headers in "msg" JSON, wrapped in tunnel frames, with random speakers, lengths,
// cover records and delivery delays (so sends cross in flight).

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <random>

#include "Duoquill/Crypto/CryptoCore.h"
#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;

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
    const std::string json = boost::json::serialize(msg);
    return from.tunnelSeal(asBytes(json));
}

std::optional<SecureBytes> unwrap(PFSChatSession& to, BytesView frame) {
    const SecureBytes payload = to.tunnelOpen(frame);
    const auto msg = boost::json::parse(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()))
                         .as_object();
    if (const auto* rk = msg.if_contains("rk")) to.receiveDHRatchetKey(*bytesFromBase64String(rk->as_string()));
    return to.open(*bytesFromBase64String(msg.at("d").as_string()), msg.at("n").to_number<std::uint64_t>());
}

struct InFlight {
    Bytes frame;
    std::optional<Bytes> text;  // nothing for a cover record
};

TEST(LongRun, TenThousandRecordsArriveIntact) {
    SessionWorld world;
    SessionPair pair(world);
    pair.handshake();
    PFSChatSession* side[2] = {&pair.initiator(), &pair.responder()};
    std::deque<InFlight> wire[2];  // wire[i]: from side i to the other, in order
    std::mt19937_64 rng(20240611);
    const int total = recordCount();
    int sent = 0, received = 0, texts = 0, crossings = 0;

    auto receiveOne = [&](int to) {
        auto& queue = wire[1 - to];
        const InFlight next = std::move(queue.front());
        queue.pop_front();
        const auto opened = unwrap(*side[to], next.frame);
        ASSERT_EQ(opened.has_value(), next.text.has_value()) << "record " << received;
        if (opened) {
            ASSERT_EQ(Bytes(opened->begin(), opened->end()), *next.text) << "record " << received;
        }
        ++received;
    };

    while (sent < total || !wire[0].empty() || !wire[1].empty()) {
        const auto action = rng() % 4;
        if (sent < total && action < 2) {
            const int from = static_cast<int>(rng() % 2);
            if (!wire[0].empty() && !wire[1].empty()) ++crossings;
            const bool cover = rng() % 4 == 0;
            std::optional<Bytes> text;
            if (!cover) {
                text.emplace(rng() % 4097);
                for (auto& b : *text) b = static_cast<std::uint8_t>(rng());
                ++texts;
            }
            wire[from].push_back({wrap(*side[from], text ? BytesView(*text) : BytesView(), cover), text});
            ++sent;
        } else {
            const int to = static_cast<int>(rng() % 2);
            if (!wire[1 - to].empty()) receiveOne(to);
            if (::testing::Test::HasFatalFailure()) return;
        }
        // Now and then everything in flight lands, so the roots can be compared.
        if (sent % 97 == 0 && wire[0].empty() && wire[1].empty()) {
            ASSERT_EQ(Access::rootKey(*side[0]), Access::rootKey(*side[1]));
        }
    }
    EXPECT_EQ(received, total);
    EXPECT_GT(texts, total / 2);
    EXPECT_GT(crossings, 0);
    EXPECT_EQ(Access::rootKey(*side[0]), Access::rootKey(*side[1]));
}

}  // namespace
}  // namespace duoquill
