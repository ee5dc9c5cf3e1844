// The chat client's decisions as tables: a machine brought to a state, one event, the actions it
// returns (written as short words) and the state it ends in. Two machines of the identity pair
// are wired back to back, so that every hello, kex2, ready and record is a real one; what a
// hostile relay or peer would send is made from them.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "DuoquillCLI/ChatMachine.h"
#include "Kit/World.h"

namespace duoquill::cli {
namespace {

using namespace chat;
using Lines = std::vector<std::string>;

std::string timerName(Timer timer) {
    switch (timer) {
        case Timer::retry: return "retry";
        case Timer::connection: return "connection";
        case Timer::cover: return "cover";
        case Timer::staleWatch: return "stale";
        case Timer::youngHandshake: return "young";
    }
    return "?";
}

std::string tagName(SendTag::Kind kind) {
    constexpr const char* names[] = {"hello", "hello", "hello", "kex2", "ready", "ready", "line", "line", "cover", "bye"};
    return names[static_cast<int>(kind)];
}

std::string showName(Show::Kind kind) {
    constexpr const char* names[] = {"status", "peer", "error", "connected", "sent", "queued", "received", "prompt"};
    return names[static_cast<int>(kind)];
}

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", s);
    return text;
}

// One side: a machine, what it sent and not yet delivered, whether its connection is read.
struct Side {
    Side(int owner, bool baseProtocolOnly, std::string relay = "wss://relay.test") : world(0x5eed + owner, true) {
        const auto key = test::World::identityKey(owner);
        const auto peer = test::World::identityKey(1 - owner).publicKey();
        const SecureBytes roomKeyData = key.sharedSecret(peer);
        const std::string roomCode = KeyHelpers::deriveRoomCode(roomKeyData);
        const Bytes local = key.publicKey().compressed(), remote = peer.compressed();
        machine = std::make_unique<ChatMachine>(ChatMachineConfig{
            .relayBaseURL = std::move(relay),
            .roomKeyData = roomKeyData,
            .localPubKeyCompressed = base64URLString(local),
            .peerPubKeyBase64URL = base64URLString(remote),
            .leads = local < remote,
            .makeSession =
                [this, key, peer, roomCode] {
                    if (failSessions) throw CryptoError("no entropy");
                    return std::make_unique<PFSChatSession>(world.environment(), SoftwareKeyStore::wrap(key), peer,
                                                            roomCode);
                },
            .coverDraw = [] { return 0.5; },
            .jitterDraw = [] { return 0.0; },
            .baseProtocolOnly = baseProtocolOnly,
            .lineStreamStart = (std::uint64_t{1} << 52) + 1000 * static_cast<std::uint64_t>(owner),
        });
    }
    test::World world;
    std::unique_ptr<ChatMachine> machine;
    std::deque<SendText> wire;
    bool receiving = false;
    bool failSessions = false;
    std::vector<std::string> lastSentText;  // every text sent, in order
};

// Two machines back to back. feed() returns what the event made the machine do, and what the
// completion of its sends made it do after (sends complete at once unless told otherwise).
class BackToBack {
public:
    explicit BackToBack(bool bBase = false) : sides_{Side(0, false), Side(1, bBase)} {}

    Lines feed(int who, Event event, bool completeSends = true) {
        Lines out;
        std::deque<Event> pending{std::move(event)};
        while (!pending.empty()) {
            Event next = std::move(pending.front());
            pending.pop_front();
            for (auto& action : side(who).machine->handle(std::move(next), now)) {
                out.push_back(describe(who, action));
                if (auto* send = std::get_if<SendText>(&action); send && completeSends) pending.push_back(SendDone{send->tag});
            }
        }
        return out;
    }
    // Delivers what each side sent to the other, until nothing moves.
    void pump() {
        for (bool moved = true; moved;) {
            moved = false;
            for (int who : {0, 1}) {
                auto& from = side(who);
                if (from.wire.empty() || !side(1 - who).receiving) continue;
                std::string text = std::move(from.wire.front().text);
                from.wire.pop_front();
                feed(1 - who, TextReceived{std::move(text)});
                moved = true;
            }
        }
    }
    void startBoth() {
        feed(0, Started{});
        feed(1, Started{});
        pump();
    }
    // The texts `who` sent and nobody took, dropped; the last one returned.
    std::string takeSent(int who) {
        std::string last;
        for (auto& s : side(who).wire) last = std::move(s.text);
        side(who).wire.clear();
        return last;
    }
    ChatMachine& machine(int who) { return *side(who).machine; }
    Side& side(int who) { return sides_[who]; }
    Phase phase(int who) { return side(who).machine->phase(); }

    double now = 1'700'000'000.0;

private:
    std::string describe(int who, Action& action) {
        auto& s = side(who);
        return std::visit(
            [&](auto& a) -> std::string {
                using A = std::decay_t<decltype(a)>;
                if constexpr (std::is_same_v<A, OpenConnection>) {
                    s.receiving = false;
                    s.wire.clear();
                    return "open";
                } else if constexpr (std::is_same_v<A, StartReceiving>) {
                    s.receiving = true;
                    return "receive";
                } else if constexpr (std::is_same_v<A, CloseConnection>) {
                    s.receiving = false;
                    return a.disconnect ? "close" : "drop";
                } else if constexpr (std::is_same_v<A, SendText>) {
                    s.lastSentText.push_back(a.text);
                    s.wire.push_back(a);
                    return "send:" + tagName(a.tag.kind);
                } else if constexpr (std::is_same_v<A, ArmTimer>) {
                    return "arm:" + timerName(a.timer) + ":" + seconds(a.seconds);
                } else if constexpr (std::is_same_v<A, CancelTimer>) {
                    return "cancel:" + timerName(a.timer);
                } else if constexpr (std::is_same_v<A, Show>) {
                    return showName(a.kind) + (a.text.empty() ? "" : ":" + std::string(a.text.view()));
                } else if constexpr (std::is_same_v<A, StartInput>) {
                    return "input";
                } else if constexpr (std::is_same_v<A, LineTaken>) {
                    return "taken:" + (a.number ? std::to_string(*a.number - s.machine->outbox().streamStart()) : "-");
                } else if constexpr (std::is_same_v<A, Confirmed>) {
                    std::string all = "confirmed";
                    for (auto n : a.numbers) all += ":" + std::to_string(n - firstNumber(who));
                    return all;
                } else {
                    return "exit:" + std::to_string(a.status);
                }
            },
            action);
    }

    // Line numbers are shown from each side's first, which is 0.
    std::uint64_t firstNumber(int who) { return side(who).machine->outbox().streamStart(); }

    Side sides_[2];
};

// The hello `who` sends next, as JSON, for altering.
boost::json::object helloOf(BackToBack& chat, int who) {
    return boost::json::parse(chat.side(who).lastSentText.back()).as_object();
}

std::string text(const boost::json::object& o) { return boost::json::serialize(o); }

// ---- connecting (the client's connection sequence and its retries) ----

TEST(ChatMachine, ConnectingTheNoPeerTimeoutLostConnectionsAndTheRetryBackOff) {
    BackToBack chat;
    EXPECT_EQ(chat.feed(0, Started{}, false),
              (Lines{"status:connecting...", "open", "status:waiting for peer...", "send:hello", "input"}));
    EXPECT_EQ(chat.phase(0), Phase::waitingForPeer);
    // Only a hello that went out opens the connection for reading and starts the wait.
    const SendTag hello = chat.side(0).wire.back().tag;
    EXPECT_EQ(chat.feed(0, SendDone{hello}), (Lines{"receive", "arm:connection:30", "arm:stale:6"}));
    EXPECT_EQ(chat.feed(0, TimerFired{Timer::connection}),
              (Lines{"status:timeout — no peer, retrying...", "close", "cancel:stale", "status:reconnecting...",
                     "arm:retry:0.3"}));
    EXPECT_EQ(chat.phase(0), Phase::reconnecting);

    // A failed hello: said with its reason, then the back-off grows 0.3, 1, 2, 4 ... 30 s.
    EXPECT_EQ(chat.feed(0, TimerFired{Timer::retry}, false),
              (Lines{"status:connecting...", "open", "status:waiting for peer...", "send:hello"}));
    EXPECT_EQ(chat.feed(0, SendFailed{chat.side(0).wire.back().tag, "connection refused"}),
              (Lines{"status:[connect error] connection refused", "close", "status:reconnecting...", "arm:retry:1"}));
    const double expected[] = {0.3, 1, 2, 4, 8, 16, 30, 30, 30};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(ChatMachine::retryDelay(i), expected[i]) << i;

    // A lost connection shows "reconnecting..." twice: once for the loss, once for the retry.
    chat.feed(0, TimerFired{Timer::retry});
    EXPECT_EQ(chat.feed(0, ConnectionLost{}),
              (Lines{"drop", "cancel:connection", "cancel:stale", "status:reconnecting...", "cancel:retry",
                     "status:reconnecting...", "arm:retry:2"}));

    // A session that cannot be made is a connect error like any other.
    chat.side(0).failSessions = true;
    EXPECT_EQ(chat.feed(0, TimerFired{Timer::retry}),
              (Lines{"status:connecting...", "status:[connect error] no entropy", "status:reconnecting...",
                     "arm:retry:4"}));
    // Lines typed meanwhile wait; quitting while a retry is pending starts no connection.
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("early")}), (Lines{"taken:0", "queued:early"}));
    EXPECT_EQ(chat.feed(0, QuitRequested{}), (Lines{"cancel:retry", "peer:disconnected: quit",
                                                   "error:1 line was not confirmed by the peer:", "status:  early",
                                                   "exit:0"}));
}

TEST(ChatMachine, AnInvalidRelayURLEndsTheProcessAndAnEndedMachineDoesNothing) {
    Side lone(0, false, "wss://relay test");
    ChatMachine& machine = *lone.machine;
    const auto actions = machine.handle(Started{}, 0);
    ASSERT_EQ(actions.size(), 3u);
    EXPECT_EQ(std::get<Show>(actions[1]).text.view(), "Invalid relay URL");
    EXPECT_EQ(std::get<Exit>(actions[2]).status, 1);
    EXPECT_EQ(machine.phase(), Phase::error);
    EXPECT_TRUE(machine.handle(LineTyped{SecureText("x")}, 0).empty());
    EXPECT_TRUE(machine.handle(QuitRequested{}, 0).empty());
}

// ---- the handshake and the hellos it refuses ----

TEST(ChatMachine, HellosThatAreRefusedSaidOnceAlteredBackedOffAndYoungHandshakesLeftAlone) {
    BackToBack chat;
    chat.feed(0, Started{});
    chat.feed(1, Started{});
    const auto good = helloOf(chat, 1);
    chat.takeSent(1);

    auto withoutMlk = good;
    withoutMlk.erase("mlk");
    auto stranger = good;
    stranger["pkid"] = "c3RyYW5nZXI";
    EXPECT_EQ(chat.feed(0, TextReceived{text(withoutMlk)}), (Lines{"error:Post-quantum key exchange required"}));
    // One refusal is said per session, whatever the next one is.
    EXPECT_EQ(chat.feed(0, TextReceived{text(stranger)}), Lines{});
    // Our own hello sent back by the relay is no one's.
    EXPECT_EQ(chat.feed(0, TextReceived{chat.side(0).lastSentText.front()}), Lines{});
    EXPECT_EQ(chat.phase(0), Phase::waitingForPeer);

    // An altered hello fails to open: said, counted, and the next hello waits the back-off.
    auto altered = good;
    std::string ct(altered["ct"].as_string());
    ct[10] = ct[10] == 'A' ? 'B' : 'A';
    altered["ct"] = ct;
    const Lines first = chat.feed(0, TextReceived{text(altered)});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].rfind("status:[handshake error] ", 0), 0u) << first[0];
    EXPECT_EQ(first[1], "arm:connection:0.3");
    // The same line again is counted, not said; the back-off already runs.
    EXPECT_EQ(chat.feed(0, TextReceived{text(altered)}), Lines{});
    EXPECT_EQ(chat.feed(0, TextReceived{text(altered)}),
              (Lines{"status:three handshakes in a row failed; still retrying (something on the way may be altering "
                     "messages)"}));

    // The good hello still completes with this session, and ours goes out once more ahead of
    // the handshake (it may have been altered too); the count is said when it starts.
    const Lines taken = chat.feed(0, TextReceived{text(good)});
    EXPECT_EQ(Lines(taken.begin(), taken.begin() + 6),
              (Lines{"cancel:connection", "cancel:stale", "status:handshaking...", "arm:connection:5", "arm:young:2",
                     "send:hello"}));
    EXPECT_EQ(chat.phase(0), Phase::handshaking);
    // A new hello this early is remembered, not answered: it crossed ours.
    chat.feed(1, TimerFired{Timer::connection});  // the peer times out and sends a fresh hello
    EXPECT_EQ(chat.feed(0, TextReceived{chat.takeSent(1)}), Lines{});
    EXPECT_EQ(chat.phase(0), Phase::handshaking);
}

TEST(ChatMachine, TheHandshakeReachesActiveAndEachOfItsFailures) {
    {
        BackToBack chat;
        chat.startBoth();
        EXPECT_EQ(chat.phase(0), Phase::active);
        EXPECT_EQ(chat.phase(1), Phase::active);
    }
    {
        // A wrong key confirmation is fatal.
        BackToBack chat;
        chat.feed(0, Started{});
        chat.feed(1, Started{});
        const std::string helloA = chat.takeSent(0), helloB = chat.takeSent(1);
        chat.feed(1, TextReceived{helloA});
        chat.feed(0, TextReceived{helloB});
        ASSERT_EQ(chat.phase(0), Phase::handshaking);
        // The responder takes the kex2; the peer's genuine ready is then replaced by a forged one.
        const int initiator = *chat.machine(0).currentSession()->isInitiator() ? 0 : 1;
        chat.feed(1 - initiator, TextReceived{chat.side(initiator).wire.front().text});
        PFSChatSession& session = *chat.machine(1).currentSession();
        const Bytes kc(32, 7);
        const Lines fatal =
            chat.feed(0, TextReceived{protocol::sealTunnelText(session, protocol::encode(protocol::Ready{kc, {}}))});
        EXPECT_EQ(fatal, (Lines{"error:Key confirmation failed", "cancel:connection", "cancel:young", "exit:1", "close"}));
        EXPECT_EQ(chat.phase(0), Phase::error);
    }
    {
        // No answer within 5 s: a fresh session on the same connection. It adopts the peer's
        // latest hello at once (nothing says yet whether the peer follows the leader rule);
        // an adopted hello that leads nowhere is used up, so the next one waits 8 s for a new
        // hello, and then the relay connection goes.
        BackToBack chat;
        chat.feed(0, Started{});
        chat.feed(1, Started{});
        chat.feed(0, TextReceived{chat.takeSent(1)});
        const Lines adopted = chat.feed(0, TimerFired{Timer::connection});
        EXPECT_EQ(Lines(adopted.begin(), adopted.begin() + 7),
                  (Lines{"cancel:young", "status:waiting for peer...", "send:hello", "arm:connection:8",
                         "cancel:connection", "status:handshaking...", "arm:connection:5"}));
        EXPECT_EQ(chat.phase(0), Phase::handshaking);
        chat.feed(0, TimerFired{Timer::youngHandshake});
        EXPECT_EQ(chat.feed(0, TimerFired{Timer::connection}),
                  (Lines{"status:waiting for peer...", "send:hello", "arm:connection:8"}));
        EXPECT_EQ(chat.feed(0, TimerFired{Timer::connection}),
                  (Lines{"close", "status:reconnecting...", "arm:retry:0.3"}));
        EXPECT_EQ(chat.phase(0), Phase::reconnecting);
    }
}

// ---- lines: queued, sent, confirmed, kept, shown once ----

TEST(ChatMachine, LinesAreQueuedSentConfirmedAndShownOnceAndAFailedSendSaysWhatHappens) {
    BackToBack chat;
    chat.feed(0, Started{});
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("before")}), (Lines{"taken:0", "queued:before"}));
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("")}), (Lines{"prompt"}));
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText(std::string(protocol::longestAlwaysAcceptedLine(true) + 1, 'x'))}),
              (Lines{"error:message too large", "prompt"}));
    chat.feed(1, Started{});
    chat.pump();
    ASSERT_EQ(chat.phase(0), Phase::active);

    // The queued line went when the session came; the peer showed it and confirms it in its
    // next record, after which a new session does not send it again.
    EXPECT_FALSE(chat.machine(0).outbox().empty());
    EXPECT_EQ(chat.feed(1, TimerFired{Timer::cover}), (Lines{"send:cover", "arm:cover:3.5"}));
    EXPECT_EQ(chat.feed(0, TextReceived{chat.takeSent(1)}), (Lines{"confirmed:0"}));
    EXPECT_TRUE(chat.machine(0).outbox().empty());

    // Typed while active: sent, and "sent" once the transport took it.
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("hi")}), (Lines{"taken:1", "send:line", "sent:hi", "prompt"}));
    chat.pump();
    // The same record delivered twice is shown once (the tunnel refuses the replay).
    const std::string record = chat.side(0).lastSentText.back();
    EXPECT_EQ(chat.feed(1, TextReceived{record}), Lines{});
    chat.feed(1, TimerFired{Timer::cover});
    chat.pump();
    EXPECT_TRUE(chat.machine(0).outbox().empty());

    // A failed send to a confirming peer keeps the line, and says so.
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("lost")}, false), (Lines{"taken:2", "send:line"}));
    const SendTag tag = chat.side(0).wire.back().tag;
    EXPECT_EQ(chat.feed(0, SendFailed{tag, "broken pipe"}),
              (Lines{"error:not sent yet: broken pipe; the line will be sent again in the next session", "prompt"}));
    EXPECT_EQ(chat.machine(0).outbox().entries().size(), 1u);

    // Quitting tells the peer which of its lines were shown ("a"), and lists ours unconfirmed.
    const Lines quit = chat.feed(0, QuitRequested{});
    EXPECT_EQ(quit, (Lines{"send:bye", "close", "cancel:cover", "peer:disconnected: quit",
                           "error:1 line was not confirmed by the peer:", "status:  lost", "exit:0"}));
    PFSChatSession& peerSession = *chat.machine(1).currentSession();
    chat.takeSent(0);
    const auto bye = protocol::openTunnelText(peerSession, chat.side(0).lastSentText.back());
    ASSERT_TRUE(bye);
    EXPECT_TRUE(protocol::decodeByeConfirmation(*bye).has_value());
}

TEST(ChatMachine, APeerWithoutLineNumbersGetsEachLineOnceAndAFailedSendIsSaidToHaveFailed) {
    BackToBack chat(true);
    chat.startBoth();
    ASSERT_EQ(chat.phase(0), Phase::active);
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("one")}, false), (Lines{"taken:-", "send:line"}));
    EXPECT_EQ(chat.feed(0, SendFailed{chat.side(0).wire.back().tag, "broken pipe"}),
              (Lines{"error:send failed: broken pipe", "prompt"}));
    EXPECT_TRUE(chat.machine(0).outbox().empty());
    // The base peer drops what is typed while no session is active.
    chat.feed(1, ConnectionLost{});
    EXPECT_EQ(chat.feed(1, LineTyped{SecureText("gone")}), Lines{});
}

// ---- recovery: a peer that leaves, comes back, says goodbye, or sends records of an old session ----

TEST(ChatMachine, RecoveryGraceFreshHelloByeAndRecordsOfALeftSession) {
    BackToBack chat;
    chat.startBoth();
    ASSERT_EQ(chat.phase(0), Phase::active);
    // An active session starts the back-off again from its first step.
    BackToBack lost;
    lost.startBoth();
    EXPECT_EQ(lost.feed(0, ConnectionLost{}).back(), "arm:retry:0.3");
    lost.feed(0, TimerFired{Timer::retry});
    EXPECT_EQ(lost.feed(0, ConnectionLost{}).back(), "arm:retry:1");
    lost.feed(0, TimerFired{Timer::retry});
    lost.pump();
    ASSERT_EQ(lost.phase(0), Phase::active);
    EXPECT_EQ(lost.feed(0, ConnectionLost{}).back(), "arm:retry:0.3");

    // The relay says the peer left: a grace of 5 s, then a fresh session.
    EXPECT_EQ(chat.feed(0, TextReceived{protocol::encodePeerDisconnected()}),
              (Lines{"peer:peer reconnecting...", "arm:connection:5"}));
    EXPECT_EQ(chat.feed(0, TimerFired{Timer::connection}),
              (Lines{"cancel:cover", "status:waiting for peer...", "send:hello", "arm:connection:8"}));

    // The peer comes back with a fresh hello while we are active: answered at once, with a
    // session that adopts it.
    BackToBack again;
    again.startBoth();
    again.feed(1, TimerFired{Timer::cover});
    again.pump();
    again.feed(1, TextReceived{protocol::encodePeerDisconnected()});
    again.feed(1, TimerFired{Timer::connection});  // the peer's fresh session and its hello
    const Lines answered = again.feed(0, TextReceived{again.takeSent(1)});
    EXPECT_EQ(answered[0], "peer:peer reconnecting...");
    EXPECT_EQ(again.phase(0), Phase::handshaking);

    // A tunnelled bye ends the session; a plain one proves nothing.
    BackToBack third;
    third.startBoth();
    EXPECT_EQ(third.feed(0, TextReceived{protocol::encodeBye()}), Lines{});
    third.feed(1, QuitRequested{});
    third.pump();
    EXPECT_EQ(third.phase(0), Phase::waitingForPeer);

    // Records of a session we left, still coming 6 s into our wait: the peer missed the relay's
    // notice, so the relay connection is left to make the relay say it again.
    BackToBack stale(true);
    stale.startBoth();
    stale.feed(0, TimerFired{Timer::connection});  // no timer is armed in active: nothing
    stale.feed(0, ConnectionLost{});
    stale.feed(0, TimerFired{Timer::retry});
    stale.feed(0, SendDone{stale.side(0).wire.back().tag});
    stale.feed(0, TimerFired{Timer::staleWatch});
    stale.feed(1, TimerFired{Timer::cover});
    const std::string record = stale.takeSent(1);
    EXPECT_EQ(stale.feed(0, TextReceived{record}), Lines{});
    EXPECT_EQ(stale.feed(0, TextReceived{record}),
              (Lines{"close", "cancel:connection", "status:reconnecting...", "arm:retry:1"}));
}

}  // namespace
}  // namespace duoquill::cli
