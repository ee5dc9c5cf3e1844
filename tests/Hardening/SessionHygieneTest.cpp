// Secret hygiene of the session: every key the session held, and every key it rotated away,
// is wiped before its memory goes back to the allocator; after destroy() (and after the
// session itself is gone) no copy of a root, chain, tunnel or handshake key is left in the
// session's own storage.

#include <gtest/gtest.h>

#include <memory>

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Crypto/SessionEnvironment.h"
#include "Duoquill/Platform/KeyStorage/KeyStore.h"
#include "FreedMemoryWatch.h"
#include "Kit/SessionAccess.h"
#include "Kit/Paths.h"

namespace duoquill {

namespace {

using Access = PFSChatSessionTestAccess;

class SessionHygiene : public ::testing::Test {
protected:
    void SetUp() override {
        std::shared_ptr<const P256KeyAgreementKey> idA = KeyStore::system().generateP256();
        std::shared_ptr<const P256KeyAgreementKey> idB = KeyStore::system().generateP256();
        const SessionEnvironment environment{.epochDirectory = dir.path()};
        a = std::make_unique<PFSChatSession>(environment, idA, idB->publicKey(), roomCode);
        b = std::make_unique<PFSChatSession>(environment, idB, idA->publicKey(), roomCode);
    }

    // Watches every secret both sessions hold now.
    void watchAll() {
        for (const auto* s : {a.get(), b.get()}) {
            for (const auto& [name, bytes] : Access::secrets(*s)) watch.watch(name, bytes);
        }
    }

    void handshakeAndTalk() {
        watchAll();
        a->completeHandshake(b->authCiphertext(), b->authEncapKey(), b->mlkemPublicKeyData());
        b->completeHandshake(a->authCiphertext(), a->authEncapKey(), a->mlkemPublicKeyData());
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

    test::TempDir dir;
    const std::string roomCode = std::string(128, 'c');
    std::unique_ptr<PFSChatSession> a, b;
    test::FreedMemoryWatch watch;
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
}

TEST_F(SessionHygiene, TheWatchCatchesAnUnwipedCopy) {
    watch.watch("probe", asBytes("a secret of many bytes"));
    {
        const std::string_view text = "xx a secret of many bytes xx";
        const Bytes unwiped(text.begin(), text.end());
    }
    EXPECT_EQ(watch.findings().size(), 1u);
}

}  // namespace
}  // namespace duoquill
