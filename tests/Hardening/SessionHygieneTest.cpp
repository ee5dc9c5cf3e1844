// Secret hygiene of the session: every key the session held, and every key it rotated away,
// is wiped before its memory goes back to the allocator; after destroy() (and after the
// session itself is gone) no copy of a root, chain, tunnel or handshake key is left in the
// session's own storage.

#include <gtest/gtest.h>

#include <memory>

#include "FreedMemoryWatch.h"
#include "Kit/SessionAccess.h"
#include "Kit/World.h"

namespace duoquill::test {
namespace {

class SessionHygiene : public ::testing::Test {
protected:
    // Watches every secret both sessions hold now.
    void watchAll() {
        for (const auto* s : {a.get(), b.get()}) {
            for (const auto& [name, bytes] : Access::secrets(*s)) watch.watch(name, bytes);
        }
    }

    void handshakeAndTalk() {
        watchAll();
        World::handshake(*a, *b, false);
        watchAll();
        PFSChatSession& ini = a->isInitiator().value() ? *a : *b;
        PFSChatSession& res = a->isInitiator().value() ? *b : *a;
        EXPECT_EQ(res.tunnelOpen(ini.tunnelSeal(asBytes("kex2"))).size(), 4u);
        res.completePQKeyExchange(ini.performPQKeyExchange());
        watchAll();
        ini.completePQInitiator();
        watchAll();
        // Alternating turns (each a root step), a run of records, cover records and frames.
        PFSChatSession* from = &ini;
        PFSChatSession* to = &res;
        for (int turn = 0; turn < 6; ++turn) {
            for (int i = 0; i <= turn % 3; ++i) {
                const auto header = from->prepareDHRatchetIfNeeded();
                const auto record = i == 1 ? from->sealDummy() : from->seal(asBytes("line " + std::to_string(turn)));
                const Bytes frame = from->tunnelSeal(record.data);
                const SecureBytes payload = to->tunnelOpen(frame);
                if (header) to->receiveDHRatchetKey(*header);
                to->open(payload, record.counter);
                watchAll();
            }
            std::swap(from, to);
        }
    }

    std::vector<std::string> leftIn(const PFSChatSession& s) const {
        std::vector<std::string> out;
        for (BytesView region : Access::storage(s)) {
            for (auto& name : watch.occurrencesIn(region)) out.push_back(name);
        }
        return out;
    }

    World world;
    std::unique_ptr<PFSChatSession> a = world.makeSession(0), b = world.makeSession(1);
    FreedMemoryWatch watch;
};

TEST_F(SessionHygiene, KeysAreWipedWhenRotatedAwayOnDestroyAndOnRelease) {
    handshakeAndTalk();
    EXPECT_GT(watch.watchedCount(), 30u) << "every rotation should have added new keys";
    EXPECT_EQ(watch.findings(), std::vector<std::string>{}) << "a rotated key was released unwiped";
    ASSERT_FALSE(leftIn(*a).empty()) << "the scan must see the live keys before destroy()";
    a->destroy();
    EXPECT_EQ(leftIn(*a), std::vector<std::string>{});
    a.reset();
    b.reset();  // no destroy() call: the destructor must do it
    EXPECT_EQ(watch.findings(), std::vector<std::string>{});

    // The watch is not blind: a copy released unwiped is found.
    watch.watch("probe", asBytes("a secret of many bytes"));
    {
        const std::string_view text = "xx a secret of many bytes xx";
        const Bytes unwiped(text.begin(), text.end());
    }
    EXPECT_EQ(watch.findings().size(), 1u);
}

}  // namespace
}  // namespace duoquill::test
