// Secret hygiene. Of the session: every key the session held, and every key it rotated away, is
// wiped before its memory goes back to the allocator; after destroy() (and after the session
// itself is gone) no copy of a root, chain, tunnel or handshake key is left in the session's own
// storage. Of the chat as a whole: the terminal output of a chat (through the real display,
// errors, restarts and the goodbye included) carries no key in any encoding, and both ways the
// client ends the process (quitting, and a fatal check) wipe the session before the end.
//
// A released key is caught as it is released: this program's operator new and delete are replaced
// (at the end of this file) by versions over malloc and free that scan each freed block for the
// watched secrets while a FreedMemoryWatch is active.

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <span>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Protocol/RelayMessages.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "DuoquillCLI/Terminal/TerminalChatDisplay.h"
#include "Kit/InProcessChat.h"
#include "Kit/SessionAccess.h"
#include "Kit/World.h"
#include "Redirection.h"

namespace duoquill::test {
namespace {

// Fixed storage: the scan runs inside operator delete and must not allocate.
struct Secret {
    std::array<std::uint8_t, 64> bytes{};
    std::size_t size = 0;
    std::array<char, 64> name{};
    std::size_t foundInBlockOf = 0;  // 0: not found
};

// Constant-initialised, so ready before any static constructor allocates.
struct WatchState {
    bool active = false;
    std::size_t count = 0;
    std::array<Secret, 512> secrets;

    std::span<Secret> watched() { return std::span(secrets).first(count); }
} state;

bool contains(const void* block, std::size_t size, const Secret& secret) {
    return size >= secret.size && memmem(block, size, secret.bytes.data(), secret.size) != nullptr;
}

void scanFreed(void* block, std::size_t size) noexcept {
    if (!state.active || block == nullptr) return;
    for (Secret& secret : state.watched()) {
        if (secret.foundInBlockOf == 0 && contains(block, size, secret)) secret.foundInBlockOf = size;
    }
}

// Watches every block freed while it lives for a copy of given secrets: a secret found in a
// freed block was released without being wiped first. One watch at a time; single-threaded use.
class FreedMemoryWatch {
public:
    FreedMemoryWatch() {
        state.count = 0;
        state.active = true;
    }
    ~FreedMemoryWatch() { state.active = false; }
    FreedMemoryWatch(FreedMemoryWatch&&) = delete;  // and with it every copy

    // Watches for `secret` from now on. Values already watched, shorter than 12 bytes (they would
    // match by chance), all zero (what wiped and not-yet-derived fields hold) or beyond the
    // storage are ignored.
    void watch(const std::string& name, BytesView secret) {
        if (secret.size() < 12 || state.count == state.secrets.size()) return;
        if (std::all_of(secret.begin(), secret.end(), [](std::uint8_t b) { return b == 0; })) return;
        const std::size_t size = std::min(secret.size(), Secret{}.bytes.size());
        for (const Secret& known : state.watched()) {
            if (known.size == size && std::memcmp(known.bytes.data(), secret.data(), size) == 0) return;
        }
        Secret& slot = state.secrets[state.count++];
        slot = Secret{};
        std::memcpy(slot.bytes.data(), secret.data(), size);
        slot.size = size;
        std::strncpy(slot.name.data(), name.c_str(), slot.name.size() - 1);
    }
    // Every secret the session holds now.
    void watch(const PFSChatSession& session) {
        for (const auto& [name, bytes] : Access::secrets(session)) watch(name, bytes);
    }
    std::size_t watchedCount() const { return state.count; }

    // "name (in a freed block of N bytes)", once per secret found.
    std::vector<std::string> findings() const {
        std::vector<std::string> out;
        for (const Secret& secret : state.watched()) {
            if (secret.foundInBlockOf == 0) continue;
            out.push_back(std::string(secret.name.data()) + " (in a freed block of " + std::to_string(secret.foundInBlockOf) + " bytes)");
        }
        return out;
    }

    // The names of the watched secrets found in the session's own storage.
    std::vector<std::string> leftIn(const PFSChatSession& session) const {
        std::vector<std::string> out;
        for (BytesView region : Access::storage(session)) {
            for (const Secret& secret : state.watched()) {
                if (contains(region.data(), region.size(), secret)) out.emplace_back(secret.name.data());
            }
        }
        return out;
    }
};

TEST(SessionHygiene, KeysAreWipedWhenRotatedAwayOnDestroyAndOnRelease) {
    World world;
    std::unique_ptr<PFSChatSession> a = world.makeSession(0), b = world.makeSession(1);
    FreedMemoryWatch watch;
    const auto watchAll = [&] { for (const auto* session : {a.get(), b.get()}) watch.watch(*session); };
    watchAll();
    World::handshake(*a, *b, false);
    watchAll();
    PFSChatSession& ini = a->isInitiator().value() ? *a : *b;
    PFSChatSession& res = a->isInitiator().value() ? *b : *a;
    EXPECT_EQ(res.tunnelOpen(ini.tunnelSeal(asBytes("kex2"), testTime), testTime).size(), 4u);
    res.completePQKeyExchange(ini.performPQKeyExchange(), testTime);
    watchAll();
    ini.completePQInitiator(testTime);
    watchAll();
    // Alternating turns (each a root step), a run of records, cover records and frames.
    PFSChatSession *from = &ini, *to = &res;
    for (int turn = 0; turn < 6; ++turn) {
        for (int i = 0; i <= turn % 3; ++i) {
            const auto header = from->prepareDHRatchetIfNeeded();
            const auto record = i == 1 ? from->sealDummy(testTime) : from->seal(asBytes("line " + std::to_string(turn)), testTime);
            const Bytes frame = from->tunnelSeal(record.data, testTime);
            const SecureBytes payload = to->tunnelOpen(frame, testTime);
            if (header) to->receiveDHRatchetKey(*header);
            to->open(payload, record.counter, testTime);
            watchAll();
        }
        std::swap(from, to);
    }
    EXPECT_GT(watch.watchedCount(), 30u) << "every rotation should have added new keys";
    EXPECT_EQ(watch.findings(), std::vector<std::string>{}) << "a rotated key was released unwiped";
    ASSERT_FALSE(watch.leftIn(*a).empty()) << "the scan must see the live keys before destroy()";
    a->destroy();
    EXPECT_EQ(watch.leftIn(*a), std::vector<std::string>{});
    a.reset();
    b.reset();  // no destroy() call: the destructor must do it
    EXPECT_EQ(watch.findings(), std::vector<std::string>{});

    // The watch is not blind: a copy released unwiped is found.
    watch.watch("probe", asBytes("a secret of many bytes"));
    const BytesView text = asBytes("xx a secret of many bytes xx");
    { const Bytes unwiped(text.begin(), text.end()); }
    EXPECT_EQ(watch.findings().size(), 1u);
}

// The real client of identity 0 on the real terminal display, and the real client of identity 1
// as its peer, through the simulated relay; the test seals frames of its own with the peer's
// session.
class ChatHygiene : public ::testing::Test {
protected:
    // Runs until both are active again (a restart the client makes takes the peer along).
    void handshakeAgain() {
        timeline.runFor(1);
        timeline.runFor(60, [this] { return client.isActive() && peer.isActive(); });
        ASSERT_TRUE(client.isActive() && peer.isActive());
    }
    PFSChatSession& peerSession() { return *peer.machine().currentSession(); }
    Instant peerNow() const { return Instant::of(peer.world.clock); }

    std::string shown() const { return readFile(dir.path() / "stderr"); }

    // Watches every secret of the client's session and, when the client ends the process,
    // records what is left of the session at that moment.
    void watchTheEnd(std::size_t fewestSecrets) {
        const PFSChatSession* session = client.client->machine().currentSession();
        ASSERT_NE(session, nullptr);
        watch.watch(*session);
        ASSERT_GE(watch.watchedCount(), fewestSecrets);
        client.onExit = [this](int) {
            ended = true;
            if (const PFSChatSession* left = client.client->machine().currentSession()) {
                leftAtExit = watch.leftIn(*left);
                leftAtExit.emplace_back("the session was still held");
            }
            freedUnwiped = watch.findings();
        };
    }

    TempDir dir;
    Redirection redirect{2, dir.path() / "stderr"};
    cli::TerminalChatDisplay terminal;
    FreedMemoryWatch watch;
    ManualTimeline timeline;
    SimulatedRelay relay{timeline, 7};
    ChatProcess client{0, timeline, relay, 7, &terminal};
    ChatProcess peer{1, timeline, relay, 8};
    bool ended = false;
    std::vector<std::string> leftAtExit, freedUnwiped;
};

TEST_F(ChatHygiene, NothingSecretReachesStandardErrorAndQuitWipesTheSessionBeforeTheProcessEnds) {
    std::set<Bytes> secrets{toBytes(World::identityKey(0).scalar()), toBytes(World::identityKey(1).scalar())};
    auto collect = [&] {
        for (const PFSChatSession* session : {client.machine().currentSession(), peer.machine().currentSession()}) {
            if (session == nullptr) continue;
            for (const auto& [name, bytes] : Access::secrets(*session)) secrets.insert(toBytes(bytes));
        }
    };
    handshakeAgain();
    for (int round = 0; round < 40; ++round) {
        client.type("terminal line " + std::to_string(round));
        timeline.runFor(0.5);
        peer.type("peer line " + std::to_string(round));
        timeline.runFor(2);
        collect();
        // Errors and restarts on the terminal too: a record that does not open, a skipped counter.
        if (round == 10) {
            auto record = peerSession().seal(asBytes("tampered"), peerNow());
            record.data[record.data.size() / 2] ^= 1;
            relay.sendAs(1, protocol::sealTunnelText(peerSession(), protocol::encode(protocol::Msg{
                                                                    record.counter, record.data, std::nullopt, std::nullopt}), peerNow()));
        } else if (round == 25) {
            (void)protocol::sealChatLine(peerSession(), peerNow(), asBytes("never sent"));
            relay.sendAs(1, protocol::sealChatLine(peerSession(), peerNow(), asBytes("after a gap")));
        }
        if (round == 10 || round == 25) {
            collect();
            ASSERT_NO_FATAL_FAILURE(handshakeAgain());
        }
    }
    collect();
    watchTheEnd(8);
    client.quit();
    timeline.runFor(5, [&] { return ended; });
    EXPECT_EQ(client.exitStatus, 0);
    EXPECT_EQ(freedUnwiped, std::vector<std::string>{});
    // quit() destroys the session in place and keeps the object: nothing secret may be left.
    std::erase(leftAtExit, "the session was still held");
    EXPECT_EQ(leftAtExit, std::vector<std::string>{});

    const std::string text = shown();
    for (const char* held : {"terminal line 39", "peer line 39", "restarting"})
        ASSERT_NE(text.find(held), std::string::npos) << "the capture must hold the chat and a restart";
    std::erase_if(secrets, [](const Bytes& s) { return s.size() < 12; });
    EXPECT_GT(secrets.size(), 40u);
    for (const Bytes& secret : secrets) {  // in every textual form it could take on a terminal
        std::string upper = hexString(secret), base64 = base64String(secret);
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        base64.erase(base64.find_last_not_of('=') + 1);
        for (const std::string& form :
             {std::string(secret.begin(), secret.end()), hexString(secret), upper, base64, base64URLString(secret)}) {
            EXPECT_EQ(text.find(form), std::string::npos) << "a secret reached standard error as " << form;
        }
    }
}

TEST_F(ChatHygiene, AFatalCheckWipesTheSessionBeforeTheProcessEnds) {
    // The peer's "ready" is replaced on the way by one whose key confirmation does not hold.
    int tunnelFrames = 0;
    relay.setRewriting(1, [&](const std::string& frame) {
        if (protocol::parsePlainFrame(frame)) return frame;
        PFSChatSession& session = peerSession();
        if (++tunnelFrames != (*session.isInitiator() ? 2 : 1)) return frame;
        return protocol::sealTunnelText(session, protocol::encode(protocol::Ready{Bytes(32, 0x42), {}}), peerNow());
    });
    timeline.runFor(10, [&] { return client.machine().currentSession() != nullptr; });
    watchTheEnd(1);  // a waiting session holds its pre-shared key
    timeline.runFor(5, [&] { return ended; });
    EXPECT_EQ(client.exitStatus, 1);
    // The message is the last thing shown.
    EXPECT_TRUE(shown().ends_with(" \x1B[31m\x1B[1mKey confirmation failed\x1B[0m\n")) << shown();
    EXPECT_EQ(leftAtExit, std::vector<std::string>{});
    EXPECT_EQ(freedUnwiped, std::vector<std::string>{});
}

}  // namespace
}  // namespace duoquill::test

// The replaced allocation functions. Arrays, nothrow and sized forms reach these through the
// standard library's defaults; aligned forms keep the library's own pair.
// Not inlined: g++ 14 would otherwise see malloc's block reach operator delete in this file and
// take it for a mismatched pair.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    if (block) duoquill::test::scanFreed(block, malloc_usable_size(block));
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
