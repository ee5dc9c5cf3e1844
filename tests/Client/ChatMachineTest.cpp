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

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Primitives/Sha2.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "DuoquillCLI/ChatMachine.h"
#include "Kit/MachineChat.h"

namespace duoquill::cli {
namespace {

using namespace chat;
using Lines = std::vector<std::string>;

std::string timerName(Timer timer) {
    constexpr const char* names[] = {"retry", "connection", "cover", "stale", "young"};
    return names[static_cast<int>(timer)];
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
        auto config = test::machineConfig(owner, world, std::move(relay));
        config.makeSession = [this, make = std::move(config.makeSession)] {
            if (failSessions) throw CryptoError("no entropy");
            return make();
        };
        config.coverDraw = [] { return 0.5; };
        config.jitterDraw = [] { return 0.0; };
        config.baseProtocolOnly = baseProtocolOnly;
        config.lineStreamStart = (std::uint64_t{1} << 52) + 1000 * static_cast<std::uint64_t>(owner);
        machine = std::make_unique<ChatMachine>(std::move(config));
    }
    test::World world;
    std::unique_ptr<ChatMachine> machine;
    std::deque<SendText> wire;
    bool receiving = false;
    bool failSessions = false;
    std::vector<std::string> lastSentText;  // every text sent, in order
    Lines said;                              // every action, in order
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
                side(who).said.push_back(out.back());
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
    // Both sides start; with `meet`, their texts are delivered until nothing moves.
    void start(bool meet = false) {
        feed(0, Started{});
        feed(1, Started{});
        if (meet) pump();
    }
    // How many times `who` has done this, ever.
    long times(int who, const std::string& line) {
        return std::count(side(who).said.begin(), side(who).said.end(), line);
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

// The hello with one base64 character of its "ct" changed: it no longer opens.
std::string altered(boost::json::object hello) {
    std::string ct(hello["ct"].as_string());
    ct[10] = ct[10] == 'A' ? 'B' : 'A';
    hello["ct"] = ct;
    return text(hello);
}

// ---- connecting (the client's connection sequence and its retries) ----

TEST(ChatMachine, ConnectingTheNoPeerTimeoutLostConnectionsAndTheRetryBackOff) {
    BackToBack chat;
    EXPECT_EQ(chat.feed(0, Started{}, false), (Lines{"status:connecting...", "open", "send:hello", "input"}));
    EXPECT_EQ(chat.phase(0), Phase::connecting);
    // Only a hello that went out shows the connection open: it is read, and the peer awaited.
    const SendTag hello = chat.side(0).wire.back().tag;
    EXPECT_EQ(chat.feed(0, SendDone{hello}),
              (Lines{"status:waiting for peer...", "receive", "arm:connection:30", "arm:stale:6"}));
    EXPECT_EQ(chat.phase(0), Phase::waitingForPeer);
    EXPECT_EQ(chat.feed(0, TimerFired{Timer::connection}),
              (Lines{"status:timeout — no peer, retrying...", "close", "cancel:stale", "status:reconnecting...",
                     "arm:retry:0.3"}));
    EXPECT_EQ(chat.phase(0), Phase::reconnecting);

    // A relay that cannot be reached: every try says so, a repeat with its count, and none
    // claims to wait for the peer. The back-off grows 0.3, 1, 2, 4 ... 30 s.
    const std::pair<std::string, std::string> tries[] = {
        {"connection refused", "[connect error] connection refused"},
        {"connection refused", "[connect error] connection refused (2 times)"},
        {"connection refused", "[connect error] connection refused (3 times)"},
    };
    const char* delays[] = {"1", "2", "4"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(chat.feed(0, TimerFired{Timer::retry}, false), (Lines{"status:connecting...", "open", "send:hello"}));
        EXPECT_EQ(chat.feed(0, SendFailed{chat.side(0).wire.back().tag, tries[i].first}),
                  (Lines{"status:" + tries[i].second, "close", "status:reconnecting...",
                         std::string("arm:retry:") + delays[i]}));
    }
    const double expected[] = {0.3, 1, 2, 4, 8, 16, 30, 30, 30};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(ChatMachine::retryDelay(i), expected[i]) << i;

    // A lost connection shows "reconnecting..." twice: once for the loss, once for the retry.
    chat.feed(0, TimerFired{Timer::retry});
    EXPECT_EQ(chat.feed(0, ConnectionLost{}),
              (Lines{"drop", "cancel:connection", "cancel:stale", "status:reconnecting...", "cancel:retry",
                     "status:reconnecting...", "arm:retry:8"}));

    // A session that cannot be made is a connect error like any other, and so is its repeat.
    chat.side(0).failSessions = true;
    EXPECT_EQ(chat.feed(0, TimerFired{Timer::retry}),
              (Lines{"status:connecting...", "status:[connect error] no entropy", "status:reconnecting...",
                     "arm:retry:16"}));
    EXPECT_EQ(chat.feed(0, TimerFired{Timer::retry})[1], "status:[connect error] no entropy (2 times)");
    // Lines typed meanwhile wait; quitting while a retry is pending starts no connection.
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("early")}), (Lines{"taken:0", "queued:early"}));
    EXPECT_EQ(chat.feed(0, QuitRequested{}), (Lines{"cancel:retry", "peer:disconnected: quit",
                                                   "error:1 line was not confirmed by the peer:", "status:  early",
                                                   "exit:0"}));
}

// A relay URL that can reach no room ends the process at the first try instead of retrying.
TEST(ChatMachine, AnInvalidRelayURLEndsTheProcessAndAnEndedMachineDoesNothing) {
    for (const char* relay : {"wss://relay test", "wss://", "wss://:443", "wss://127.0.0.1:notaport", "wss://r.io:80x",
                              "wss://r.io:0", "wss://r.io:65536", "wss://r.io?room=", "wss://r.io/#"}) {
        SCOPED_TRACE(relay);
        Side lone(0, false, relay);
        ChatMachine& machine = *lone.machine;
        const auto actions = machine.handle(Started{}, 0);
        ASSERT_EQ(actions.size(), 3u);
        EXPECT_EQ(std::get<Show>(actions[1]).text.view(), "Invalid relay URL");
        EXPECT_EQ(std::get<Exit>(actions[2]).status, 1);
        EXPECT_EQ(machine.phase(), Phase::error);
        EXPECT_TRUE(machine.handle(LineTyped{SecureText("x")}, 0).empty());
        EXPECT_TRUE(machine.handle(QuitRequested{}, 0).empty());
    }
    for (const char* relay : {"wss://r.io:", "wss://[::1]:8443", "wss://r.io:65535/base/", "wss://user@r.io"}) {
        SCOPED_TRACE(relay);
        Side lone(0, false, relay);
        EXPECT_TRUE(std::holds_alternative<OpenConnection>(lone.machine->handle(Started{}, 0).at(1)));
    }
}

// ---- the handshake and the hellos it refuses ----

TEST(ChatMachine, HellosThatAreRefusedSaidOnceAlteredBackedOffAndYoungHandshakesLeftAlone) {
    const std::string stranger = base64URLString(p256::PrivateKey::generate().publicKey().compressed());
    // Each refusal is said once per session, whatever the next one is.
    const std::tuple<std::string, std::optional<std::string>, std::string> refused[] = {
        {"mlk", std::nullopt, "Post-quantum key exchange required"},
        {"mlk", base64String(Bytes(1567, 7)), "Post-quantum key exchange required"},
        {"pkid", base64URLString(sha512(asBytes(stranger))), "Peer identity mismatch"},
    };
    for (const auto& [field, value, message] : refused) {
        SCOPED_TRACE(message);
        BackToBack chat;
        chat.start();
        auto hello = helloOf(chat, 1);
        if (value) {
            hello[field] = *value;
        } else {
            hello.erase(field);
        }
        EXPECT_EQ(chat.feed(0, TextReceived{text(hello)}), (Lines{"error:" + message}));
        hello["pkid"] = base64URLString(sha512(asBytes(stranger)));
        EXPECT_EQ(chat.feed(0, TextReceived{text(hello)}), Lines{});
        EXPECT_EQ(chat.phase(0), Phase::waitingForPeer);
        // The real peer still gets in.
        chat.pump();
        EXPECT_EQ(chat.phase(0), Phase::active);
    }

    BackToBack chat;
    chat.start();
    const auto good = helloOf(chat, 1);
    chat.takeSent(1);
    // Our own hello sent back by the relay is no one's.
    EXPECT_EQ(chat.feed(0, TextReceived{chat.side(0).lastSentText.front()}), Lines{});
    EXPECT_EQ(chat.phase(0), Phase::waitingForPeer);

    // An altered hello fails to open: said once and counted. The next hello (of a fresh session)
    // waits a back-off of 0.3, 1, then 2 s at most (jitter draws 0 here); meanwhile the leader's
    // fresh session takes the latest hello, which fails again, and the same hello again is
    // only counted.
    const Lines first = chat.feed(0, TextReceived{altered(good)});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].rfind("status:[handshake error] ", 0), 0u) << first[0];
    EXPECT_EQ(first[1], "arm:connection:0.3");
    const std::string three =
        "status:three handshakes in a row failed; still retrying (something on the way may be altering messages)";
    const Lines fresh{"status:waiting for peer...", "send:hello", "arm:connection:8"};
    const std::pair<Lines, Lines> rounds[] = {
        {{"cancel:stale", fresh[0], fresh[1], fresh[2], "arm:connection:1"}, {three}},
        {{fresh[0], fresh[1], fresh[2], "arm:connection:2"}, {}},
        {{fresh[0], fresh[1], fresh[2], "arm:connection:2"}, {}},
    };
    for (const auto& [fired, alteredAgain] : rounds) {
        EXPECT_EQ(chat.feed(0, TimerFired{Timer::connection}), fired);
        EXPECT_EQ(chat.feed(0, TextReceived{altered(good)}), alteredAgain);
    }

    // The good hello still completes with this session, and ours goes out once more ahead of
    // the handshake (it may have been altered too).
    const Lines taken = chat.feed(0, TextReceived{text(good)});
    EXPECT_EQ(taken, (Lines{"cancel:connection", "status:handshaking...", "arm:connection:5", "arm:young:2",
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
        chat.start(true);
        EXPECT_EQ(chat.phase(0), Phase::active);
        EXPECT_EQ(chat.phase(1), Phase::active);
    }
    {
        // A wrong key confirmation is fatal.
        BackToBack chat;
        chat.start();
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
        EXPECT_EQ(fatal,
                  (Lines{"error:Key confirmation failed", "cancel:connection", "cancel:young", "exit:1", "close"}));
        EXPECT_EQ(chat.phase(0), Phase::error);
    }
    {
        // No answer within 5 s: a fresh session on the same connection. It adopts the peer's
        // latest hello at once (nothing says yet whether the peer follows the leader rule);
        // an adopted hello that leads nowhere is used up, so the next one waits 8 s for a new
        // hello, and then the relay connection goes.
        BackToBack chat;
        chat.start();
        chat.feed(0, TextReceived{chat.takeSent(1)});
        const Lines adopted = chat.feed(0, TimerFired{Timer::connection});
        ASSERT_GE(adopted.size(), 7u);
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
    chat.feed(1, Started{});
    chat.pump();
    ASSERT_EQ(chat.phase(0), Phase::active);

    // The queued line went when the session came; the peer showed it and confirms it in its
    // next record, after which a new session does not send it again.
    EXPECT_EQ(chat.times(0, "status:sending 1 line queued"), 1);
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

    // Quitting lists ours unconfirmed, and its goodbye confirms the peer's line that only it can.
    chat.takeSent(0);
    chat.feed(1, LineTyped{SecureText("last word")});
    chat.pump();
    ASSERT_FALSE(chat.machine(1).outbox().empty());
    EXPECT_EQ(chat.feed(0, QuitRequested{}), (Lines{"send:bye", "close", "cancel:cover", "peer:disconnected: quit",
                                                   "error:1 line was not confirmed by the peer:", "status:  lost",
                                                   "exit:0"}));
    EXPECT_EQ(chat.feed(1, TextReceived{chat.takeSent(0)}),
              (Lines{"confirmed:0", "peer:peer left", "cancel:cover", "status:waiting for peer...", "send:hello",
                     "arm:connection:8"}));
    // The relay's notice that follows changes nothing.
    EXPECT_EQ(chat.feed(1, TextReceived{protocol::encodePeerDisconnected()}), Lines{});
}

// One limit for a line, whether it waits for a session or goes at once, and whether or not a
// ratchet step is due beside it: the longest that always fits one tunnel frame. Each row: who
// types, how long a line, whether it goes.
TEST(ChatMachine, OneLineLimitQueuedOrActiveWithOrWithoutARatchetStepDue) {
    const std::size_t longest = protocol::longestAlwaysAcceptedLine();
    EXPECT_EQ(longest, 45307u);
    EXPECT_EQ(protocol::longestAlwaysAcceptedLine(true), longest);  // line numbers fit in the same frames
    EXPECT_EQ(ChatMachine::longestLine(), longest);
    BackToBack chat;
    chat.feed(0, Started{});
    const std::string queued(longest, 'q');
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText(queued)}), (Lines{"taken:0", "queued:" + queued}));
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText(queued + "q")}), (Lines{"error:message too large", "prompt"}));
    chat.feed(1, Started{});
    chat.pump();
    ASSERT_EQ(chat.phase(0), Phase::active);
    EXPECT_EQ(chat.times(1, "received:" + queued), 1);
    const int s = chat.machine(0).currentSession()->isDHRatchetPending() ? 0 : 1;
    ASSERT_TRUE(chat.machine(s).currentSession()->isDHRatchetPending());
    const std::tuple<int, std::size_t, bool> rows[] = {
        {s, protocol::maxChatLineBytes + 1, false}, {s, longest + 1, false}, {s, longest, true},
        // After a line of its own no step is due; the limit stays. The peer has one due.
        {s, longest + 1, false}, {s, longest, true}, {1 - s, longest + 1, false}, {1 - s, longest, true},
    };
    for (const auto& [who, size, goes] : rows) {
        SCOPED_TRACE(std::to_string(who) + " types " + std::to_string(size));
        const std::string line(size, static_cast<char>('a' + who));
        const Lines shown = chat.feed(who, LineTyped{SecureText(line)});
        if (!goes) {
            EXPECT_EQ(shown, (Lines{"error:message too large", "prompt"}));
            continue;
        }
        ASSERT_EQ(shown.size(), 4u);
        EXPECT_EQ(shown[1], "send:line");
        const Lines received = chat.feed(1 - who, TextReceived{chat.takeSent(who)});
        EXPECT_EQ(std::count(received.begin(), received.end(), "received:" + line), 1);
    }
}

// With no session, lines wait up to the queue's bound; the next is refused, none is dropped, and
// quitting lists the unconfirmed, each cut to its first 40 characters.
TEST(ChatMachine, TheQueueRefusesALinePastItsBoundAndTheExitListsTheUnconfirmed) {
    BackToBack chat;
    chat.feed(0, Started{});
    const std::string tail = " ✓ " + std::string(60, 'x');
    for (std::size_t i = 0; i < Outbox::maxLines; ++i) {
        const std::string line = "line " + std::to_string(i) + tail;
        ASSERT_EQ(chat.feed(0, LineTyped{SecureText(line)}), (Lines{"taken:" + std::to_string(i), "queued:" + line}));
    }
    // No prompt while not active.
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("one too many")}),
              (Lines{"error:line not sent: the queue of lines waiting for the peer is full"}));
    const std::string shortened = " ✓ " + std::string(40 - 9, 'x') + "…";
    EXPECT_EQ(chat.feed(0, QuitRequested{}),
              (Lines{"close", "cancel:connection", "cancel:stale", "peer:disconnected: quit",
                     "error:1000 lines were not confirmed by the peer:",
                     "status:  line 0" + shortened, "status:  line 1" + shortened, "status:  line 2" + shortened,
                     "status:  line 3" + shortened, "status:  line 4" + shortened, "status:  … and 995 more",
                     "exit:0"}));
}

// The third failed handshake in a row (a hello that does not open, or a handshake that times
// out) is said once; a session that became active starts the count again.
TEST(ChatMachine, TheThirdFailedHandshakeInARowIsSaidOnceAndTheCountStartsAgainWhenActive) {
    const std::string said =
        "status:three handshakes in a row failed; still retrying (something on the way may be altering messages)";
    BackToBack chat;
    chat.start();
    const std::string bad = altered(helloOf(chat, 1));
    const auto saidOn = [&](Event event) {
        const Lines shown = chat.feed(0, std::move(event));
        return std::count(shown.begin(), shown.end(), said);
    };
    const Lines first = chat.feed(0, TextReceived{bad});
    EXPECT_EQ(saidOn(TextReceived{bad}), 0);
    chat.pump();
    ASSERT_EQ(chat.phase(0), Phase::active);
    // The repeated error is counted, and the count said when the session forms.
    EXPECT_EQ(chat.times(0, first[0] + " (2 times)"), 1);

    // New connections on both sides; the peer's fresh hello, and two handshakes that time out.
    for (int who : {0, 1}) {
        chat.feed(who, ConnectionLost{});
        chat.feed(who, TimerFired{Timer::retry});
    }
    EXPECT_EQ(saidOn(TextReceived{chat.takeSent(1)}), 0);
    ASSERT_EQ(chat.phase(0), Phase::handshaking);
    EXPECT_EQ(saidOn(TimerFired{Timer::connection}), 0);
    chat.feed(0, TimerFired{Timer::youngHandshake});
    EXPECT_EQ(saidOn(TimerFired{Timer::connection}), 0);
    EXPECT_EQ(saidOn(TextReceived{bad}), 1);
    EXPECT_EQ(saidOn(TextReceived{bad}), 0);
}

// ---- what a hostile relay or peer sends ----

// Junk before the handshake, and forgeries, replays and hostile text while active, move nothing;
// a skipped record restarts the session.
TEST(ChatMachine, JunkForgeriesHostileTextAndAGapAreSurvived) {
    BackToBack chat;
    chat.start();
    auto badCiphertext = helloOf(chat, 1), noKeyId = helloOf(chat, 1);
    badCiphertext["ct"] = "not base64!";
    noKeyId.erase("pkid");
    const std::string junk[] = {
        "", "{", "{}", R"({"t":5})", R"({"t":"msg","n":0,"d":"AAAA"})", R"({"t":"hello"})", R"({"t":"bye"})",
        R"({"t":"peer-disconnected"})", "[" + std::string(5000, '[') + std::string(5001, ']'),
        "{\"t\":" + std::string(5000, '[') + std::string(5000, ']') + "}", text(badCiphertext), text(noKeyId),
        base64String(Bytes(45000, 0xA5))};
    for (const auto& frame : junk) EXPECT_EQ(chat.feed(0, TextReceived{frame}), Lines{}) << frame.substr(0, 40);
    chat.pump();
    ASSERT_EQ(chat.phase(0), Phase::active);

    // Records of the peer's session, sealed by the test: a replay, three tampered copies and
    // base64 that is no frame move nothing, and the genuine record still opens. Hostile text
    // reaches the display as it came (the display neutralises it); text that is not UTF-8 is
    // consumed without output.
    PFSChatSession& peer = *chat.machine(1).currentSession();
    const auto record = [&](std::string_view line) { return protocol::sealChatLine(peer, asBytes(line)); };
    const std::string first = record("first"), second = record("second");
    const std::string hostile = "\x1b]52;c;ZXZpbA==\x07\x1b[2J\rfake\x08\xC2\x9B" "1m\xE2\x80\xAEtxt.exe\x7F.";
    std::vector<std::pair<std::string, Lines>> rows{{first, {"received:first", "prompt"}}, {first, {}}};
    for (const std::size_t at : {std::size_t{12}, second.size() / 2, second.size() - 8}) {
        std::string tampered = second;
        tampered[at] = tampered[at] == 'A' ? 'B' : 'A';
        rows.emplace_back(tampered, Lines{});
    }
    rows.insert(rows.end(), {{"bm90IGEgZnJhbWU=", {}},
                             {second, {"received:second", "prompt"}},
                             {record(hostile), {"received:" + hostile, "prompt"}},
                             {record("\xFF\xFE"), {}}});
    for (const auto& [frame, shown] : rows) EXPECT_EQ(chat.feed(0, TextReceived{frame}), shown);

    // A record skipped: the session restarts, announced by the hello of a new session.
    (void)record("never sent");
    EXPECT_EQ(chat.feed(0, TextReceived{record("after a gap")}),
              (Lines{"error:session expired — restarting...", "cancel:cover", "status:waiting for peer...",
                     "send:hello", "arm:connection:8"}));
    EXPECT_NE(helloOf(chat, 0).at("ek"), boost::json::parse(chat.side(0).lastSentText.front()).at("ek"));
}

// ---- recovery: a peer that leaves, comes back, says goodbye, or sends records of an old session ----

TEST(ChatMachine, RecoveryGraceFreshHelloByeAndRecordsOfALeftSession) {
    BackToBack chat;
    chat.start(true);
    ASSERT_EQ(chat.phase(0), Phase::active);
    // An active session starts the back-off again from its first step.
    BackToBack lost;
    lost.start(true);
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
              (Lines{"peer:peer left", "cancel:cover", "status:waiting for peer...", "send:hello",
                     "arm:connection:8"}));

    // The peer comes back with a fresh hello while we are active: answered at once, with a
    // session that adopts it.
    BackToBack again;
    again.start(true);
    again.feed(1, TimerFired{Timer::cover});
    again.pump();
    again.feed(1, TextReceived{protocol::encodePeerDisconnected()});
    again.feed(1, TimerFired{Timer::connection});  // the peer's fresh session and its hello
    const Lines answered = again.feed(0, TextReceived{again.takeSent(1)});
    EXPECT_EQ(answered[0], "peer:peer reconnecting...");
    EXPECT_EQ(again.phase(0), Phase::handshaking);

    // A tunnelled bye ends the session; a plain one proves nothing.
    BackToBack third;
    third.start(true);
    EXPECT_EQ(third.feed(0, TextReceived{protocol::encodeBye()}), Lines{});
    third.feed(1, QuitRequested{});
    third.pump();
    EXPECT_EQ(third.phase(0), Phase::waitingForPeer);

    // Records of a session we left, still coming 6 s into our wait: the peer missed the relay's
    // notice, so the relay connection is left to make the relay say it again.
    BackToBack stale(true);
    stale.start(true);
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
