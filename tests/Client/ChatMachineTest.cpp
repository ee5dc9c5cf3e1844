// The chat client's decisions as tables: a client brought to a state, one event, the actions
// its machine returns (written as short words) and the state it ends in. Each client is the
// program's own driver and machine; the test holds only its transport (sends complete when
// told, texts arrive when handed), its timers (each fires when told) and its clock. Two
// clients of the identity pair are wired back to back, so that every hello, kex2, ready and
// record is a real one; what a hostile relay or peer would send is made from them.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>
#include <algorithm>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Primitives/Sha2.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "DuoquillCLI/Chat/ChatDriver.h"
#include "DuoquillCLI/Chat/ChatMachine.h"
#include "Kit/InProcessChat.h"

namespace duoquill::cli {
namespace {

using namespace chat;
using Lines = std::vector<std::string>;

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

std::string timerName(Timer timer) {
    constexpr const char* names[] = {"retry", "connection", "cover", "stale", "young"};
    return names[static_cast<int>(timer)];
}

std::string tagName(SendTag::Kind kind) {
    constexpr const char* names[] = {"hello", "hello", "hello", "kex2", "ready", "ready", "line", "line", "cover", "bye"};
    return names[static_cast<int>(kind)];
}

std::string seconds(double s) { return (std::ostringstream() << s).str(); }

// Every event a machine handled: the state before, the event's index in Event, the state after.
using Transition = std::tuple<Phase, std::size_t, Phase>;

// One client: the driver and its machine, and what the test holds of its world.
struct Side final : ChatObserver {
    Side(int owner, bool baseProtocolOnly, std::vector<Transition>* transitions_ = nullptr,
         std::string relay = "wss://relay.test", bool steady = false)
        : firstNumber((std::uint64_t{1} << 52) + 1000 * static_cast<std::uint64_t>(owner)),
          world(0x5eed + owner, true),
          transitions(transitions_) {
        auto config = test::machineConfig(owner, world, std::move(relay));
        config.makeSession = [this, make = std::move(config.makeSession)](std::optional<double> roomEpoch) {
            if (failSessions) throw CryptoError("no entropy");
            return make(roomEpoch);
        };
        config.coverDraw = [] { return 0.5; };
        config.jitterDraw = [this] { return jitter; };
        config.baseProtocolOnly = baseProtocolOnly;
        config.steady = steady;
        config.lineStreamStart = firstNumber;
        driver = ChatDriver::create(
            {
                .executor = io.get_executor(),
                .timers = timers,
                .display = display,
                .makeTransport =
                    [this] {
                        auto transport = std::make_shared<test::HeldTransport>(sends, io.get_executor());
                        current = transport;
                        made.push_back(transport);
                        return transport;
                    },
                .clock = clock,
                .exitProcess = [this](int status) { exitStatus = status; },
                .startInput = {},
                .observer = this,
                .storeSessionEpoch = {},
            },
            std::make_unique<ChatMachine>(std::move(config)));
    }
    ~Side() override {
        driver.reset();
        timers.clear();
        sends.waiting.clear();
        for (const auto& transport : made) {
            if (auto alive = transport.lock()) alive->forget();
        }
    }

    // Hands the event to the client the way it would come: texts and a lost connection through
    // the transport, a timer through the timers, a send's end through the send held; the rest
    // (and what has no way in, such as a loss with no connection) straight to the driver.
    // Returns what the machine did.
    Lines feed(Event event, bool completeSends, double now) {
        clock.setWall(now);
        clock.setUptime(now);
        const std::size_t first = said.size();
        sends.hold = !completeSends;
        auto transport = current.lock();
        std::visit(
            [&](auto& e) {
                using E = std::decay_t<decltype(e)>;
                if constexpr (std::is_same_v<E, TextReceived>) {
                    if (!transport || !transport->hand(std::move(e.text))) driver->feed(std::move(event));
                } else if constexpr (std::is_same_v<E, ConnectionLost>) {
                    if (!transport || !transport->hand(std::nullopt)) driver->feed(std::move(event));
                } else if constexpr (std::is_same_v<E, TimerFired>) {
                    if (!timers.fire(e.timer)) ADD_FAILURE() << "timer " << timerName(e.timer) << " is not armed";
                } else if constexpr (std::is_same_v<E, SendDone>) {
                    endSend(e.tag, std::nullopt, completeSends);
                } else if constexpr (std::is_same_v<E, SendFailed>) {
                    endSend(e.tag, e.reason, completeSends);
                } else {
                    driver->feed(std::move(event));
                }
            },
            event);
        run();
        sends.hold = false;
        return Lines(said.begin() + static_cast<std::ptrdiff_t>(first), said.end());
    }
    void run() {
        while (io.poll() > 0) {
        }
        io.restart();
    }
    // Ends the held sends in order up to the one of `tag`: those before it succeed.
    void endSend(const SendTag& tag, std::optional<std::string> failure, bool completeSends) {
        const auto shown = [](const SendTag& t) { return t.shown ? std::string(t.shown->view()) : "\x01"; };
        const auto sameTag = [&](const SendTag& t) {
            return t.kind == tag.kind && t.session == tag.session && t.kept == tag.kept && shown(t) == shown(tag);
        };
        sends.hold = true;
        while (!sends.waiting.empty()) {
            auto [text, resume] = std::move(sends.waiting.front());
            sends.waiting.pop_front();
            const auto sent = std::ranges::find_if(sentLog, [&](const SendText& s) { return s.text == text; });
            const bool target = sent != sentLog.end() && sameTag(sent->tag);
            if (target) sends.hold = !completeSends;
            resume(target && failure ? std::make_exception_ptr(std::runtime_error(*failure)) : nullptr);
            run();
            if (target) return;
        }
        ADD_FAILURE() << "no send of " << tagName(tag.kind) << " is held";
    }

    void observe(const Action& action, Phase now) override {
        lines.observe(action, now);
        if (auto* write = std::get_if<WriteSessionEpoch>(&action)) {
            epochFile.push_back("write:" + seconds(write->wallSeconds - clock.wallSeconds()));
        } else if (std::holds_alternative<ClearSessionEpoch>(action)) {
            epochFile.push_back("clear");
        } else if (const auto* output = std::get_if<Output>(&action)) {
            // As a display draws it: "status:connecting...", "connected", "received:hi", ...
            test::RecordingDisplay drawn{timeline};
            drawn.show(*output);
            said.insert(said.end(), drawn.lines.begin(), drawn.lines.end());
        } else {
            said.push_back(describe(action));
        }
    }
    void handled(std::size_t eventKind, Phase before, Phase after) override {
        if (transitions) transitions->push_back({before, eventKind, after});
    }
    std::string describe(const Action& action) {
        const auto numbered = [this](std::uint64_t n) { return std::to_string(n - firstNumber); };
        return std::visit(
            Overloaded{
                [&](const OpenConnection&) { return wire.clear(), std::string("open"); },
                [](const StartReceiving&) { return std::string("receive"); },
                [&](const CloseConnection& a) { return current.reset(), std::string(a.disconnect ? "close" : "drop"); },
                [&](const SendText& a) {
                    wire.push_back(a);
                    sentLog.push_front(a);
                    return "send:" + tagName(a.tag.kind);
                },
                [&](const ArmTimer& a) {
                    timers.arming(a.timer);
                    return "arm:" + timerName(a.timer) + ":" + seconds(a.seconds);
                },
                [](const StartInput&) { return std::string("input"); },
                [&](const LineTaken& a) { return "taken:" + (a.number ? numbered(*a.number) : "-"); },
                [&](const Confirmed& a) {
                    std::string all = "confirmed";
                    for (auto n : a.numbers) all += ":" + numbered(n);
                    return all;
                },
                [](const Exit& a) { return "exit:" + std::to_string(a.status); },
                [](const UnconfirmedAtExit& a) { return "unconfirmed:" + std::to_string(a.numbers.size()); },
                [](const auto&) { return std::string("epoch"); },
            },
            action);
    }
    const ChatMachine& machine() const { return driver->machine(); }

    const std::uint64_t firstNumber;  // of this side's lines: numbers are shown from it, as 0
    test::World world;
    ManualClock clock;
    boost::asio::io_context io;
    test::HeldTimers timers{io.get_executor()};
    test::ManualTimeline timeline;
    test::RecordingDisplay display{timeline};
    std::vector<Transition>* transitions;
    test::HeldSends sends;
    std::weak_ptr<test::HeldTransport> current;
    std::vector<std::weak_ptr<test::HeldTransport>> made;
    std::shared_ptr<ChatDriver> driver;
    std::optional<int> exitStatus;
    std::deque<SendText> wire;       // sent and not yet delivered
    std::deque<SendText> sentLog;    // every send, newest first
    bool failSessions = false;
    double jitter = 0.0;  // the back-off's draw
    Lines said;                              // every action, in order
    test::LineLedger lines;
    Lines epochFile;                         // what it did to the room's epoch file, in order
};

// Two clients back to back. feed() returns what the event made the machine do, and what the
// completion of its sends made it do after (sends complete at once unless told otherwise).
class BackToBack {
public:
    explicit BackToBack(bool bBase = false, bool aSteady = false, bool bSteady = false)
        : sides_{Side(0, false, &transitions, "wss://relay.test", aSteady),
                 Side(1, bBase, &transitions, "wss://relay.test", bSteady)} {}

    Lines feed(int who, Event event, bool completeSends = true) {
        return side(who).feed(std::move(event), completeSends, now);
    }
    // Delivers what each side sent to the other, until nothing moves.
    void pump() {
        for (bool moved = true; moved;) {
            moved = false;
            for (int who : {0, 1}) {
                auto& from = side(who);
                const auto to = side(1 - who).current.lock();
                if (from.wire.empty() || !to || !to->receiving()) continue;
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
    // A lost connection, and the retry that opens the next.
    void reconnect(int who) {
        feed(who, ConnectionLost{});
        feed(who, TimerFired{Timer::retry});
    }
    // How many times `who` has done this, ever.
    long times(int who, const std::string& line) {
        return std::count(side(who).said.begin(), side(who).said.end(), line);
    }
    // The texts `who` sent and nobody took, dropped; the last one returned.
    std::string takeSent(int who) {
        const std::string last = side(who).wire.empty() ? "" : side(who).wire.back().text;
        side(who).wire.clear();
        return last;
    }
    const ChatMachine& machine(int who) { return side(who).machine(); }
    Side& side(int who) { return sides_[who]; }
    Phase phase(int who) { return machine(who).phase(); }

    double now = 1'700'000'000.0;
    std::vector<Transition> transitions;

private:
    Side sides_[2];
};

// Side 0 brought to a state.
void toWaiting(BackToBack& chat) { chat.start(); }
void toHandshaking(BackToBack& chat) {
    chat.start();
    chat.feed(0, TextReceived{chat.takeSent(1)});
}
void toActive(BackToBack& chat) { chat.start(true); }
void toReconnecting(BackToBack& chat) {
    chat.start();
    chat.feed(0, ConnectionLost{});
}

// The hello `who` sends next, as JSON, for altering.
boost::json::object helloOf(BackToBack& chat, int who) {
    return boost::json::parse(chat.side(who).sentLog.front().text).as_object();
}

std::string text(const boost::json::object& o) { return boost::json::serialize(o); }

// The hello with one base64 character of its "ct" changed: it no longer opens.
std::string altered(boost::json::object hello) {
    std::string ct(hello["ct"].as_string());
    ct[10] = ct[10] == 'A' ? 'B' : 'A';
    hello["ct"] = ct;
    return text(hello);
}

// ---- the handshake and the hellos it refuses ----

// An altered hello fails to open: said once and counted. The next hello (of a fresh session)
// waits a back-off of 0.3, 1, then 2 s at most (jitter draws 0 here); meanwhile the leader's
// fresh session takes the latest hello, which fails again, and the same hello again is only
// counted. The third failed handshake in a row (a hello that does not open, or a handshake that
// times out) is said once; a session that became active starts the count again.
TEST(ChatMachine, FailedHandshakesAreSaidOnceBackedOffAndCountedUntilASessionIsActive) {
    BackToBack chat;
    chat.start();
    const auto good = boost::json::parse(chat.takeSent(1)).as_object();
    const std::string bad = altered(good);
    const Lines first = chat.feed(0, TextReceived{bad});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].rfind("status:[handshake error] ", 0), 0u) << first[0];
    EXPECT_EQ(first[1], "arm:connection:0.3");
    const std::string three =
        "status:three handshakes in a row failed; still retrying (something on the way may be altering messages)";
    for (const auto& [backOff, alteredAgain] : {std::pair{std::string("1"), Lines{three}}, {"2", {}}, {"2", {}}}) {
        EXPECT_EQ(chat.feed(0, TimerFired{Timer::connection}),
                  (Lines{"status:waiting for peer...", "send:hello", "arm:connection:8", "arm:connection:" + backOff}));
        EXPECT_EQ(chat.feed(0, TextReceived{bad}), alteredAgain);
    }

    // The good hello still completes with this session, and ours goes out once more ahead of
    // the handshake (it may have been altered too). The repeated error is said with its count
    // when the session forms.
    chat.takeSent(0);
    EXPECT_EQ(chat.feed(0, TextReceived{text(good)}),
              (Lines{"status:handshaking...", "arm:connection:5", "arm:young:2", "send:hello"}));
    chat.pump();
    EXPECT_EQ(chat.times(0, first[0] + " (7 times)"), 1);

    // New connections on both sides; the peer's fresh hello, and two handshakes that time out.
    const auto saidOn = [&](Event event) { return std::ranges::count(chat.feed(0, std::move(event)), three); };
    for (int who : {0, 1}) chat.reconnect(who);
    EXPECT_EQ(saidOn(TextReceived{chat.takeSent(1)}), 0);
    EXPECT_EQ(saidOn(TimerFired{Timer::connection}), 0);
    chat.feed(0, TimerFired{Timer::youngHandshake});
    EXPECT_EQ(saidOn(TimerFired{Timer::connection}), 0);
    EXPECT_EQ(saidOn(TextReceived{bad}), 1);
    EXPECT_EQ(saidOn(TextReceived{bad}), 0);
}

// A hello the leader adopts but cannot encapsulate to (its ML-KEM key has no coefficient below q)
// is used up: the next fresh session waits for a hello made for it rather than adopting it again.
// Which side initiates follows the sessions' keys, so rounds run until the leader has initiated.
TEST(ChatMachine, AnAdoptedHelloWhoseKeyCannotBeEncapsulatedToIsNotAdoptedAgain) {
    BackToBack chat;
    toActive(chat);
    const int leader = chat.machine(0).leadsRecovery() ? 0 : 1, peer = 1 - leader;
    int failed = 0;
    for (int round = 0; round < 12 && failed == 0; ++round) {
        chat.reconnect(peer);
        auto hello = boost::json::parse(chat.takeSent(peer)).as_object();
        hello["mlk"] = base64String(Bytes(1568, 0xFF));
        const Lines said = chat.feed(leader, TextReceived{text(hello)});
        if (std::ranges::any_of(said, [](const std::string& l) { return l.starts_with("status:[handshake error]"); })) {
            ++failed;
            EXPECT_EQ(std::ranges::count(said, std::string("send:hello")), 2);
            EXPECT_EQ(chat.phase(leader), Phase::waitingForPeer);
        }
        for (int who : {0, 1}) {
            chat.takeSent(who);
            chat.reconnect(who);
        }
        chat.pump();
        ASSERT_EQ(chat.phase(leader), Phase::active);
    }
    EXPECT_EQ(failed, 1);
}

// ---- lines: queued, sent, confirmed, kept, shown once ----

// One limit for a line, whether it waits for a session or goes at once, and whether or not a
// ratchet step is due beside it: the longest that always fits one tunnel frame.
TEST(ChatMachine, LinesAreQueuedSentConfirmedShownOnceAndKeptToOneLimitAndAFailedSendSaysWhatHappens) {
    const std::size_t longest = protocol::longestAlwaysAcceptedLine();
    EXPECT_EQ(longest, 45307u);
    const std::string queued(longest, 'q');
    BackToBack chat;
    chat.feed(0, Started{});
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText(queued)}), (Lines{"taken:0", "queued:" + queued}));
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText(queued + "q")}), (Lines{"error:message too large", "prompt"}));
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("")}), (Lines{"prompt"}));
    chat.feed(1, Started{});
    chat.pump();

    // The queued line went when the session came; the peer showed it and confirms it in its
    // next record, after which a new session does not send it again.
    EXPECT_EQ(chat.times(0, "status:sending 1 line queued"), 1);
    EXPECT_EQ(chat.times(1, "received:" + queued), 1);
    EXPECT_EQ(chat.feed(1, TimerFired{Timer::cover}), (Lines{"send:cover", "arm:cover:3.5"}));
    EXPECT_EQ(chat.feed(0, TextReceived{chat.takeSent(1)}), (Lines{"confirmed:0"}));

    // Typed while active: sent, and "sent" once the transport took it.
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("hi")}), (Lines{"taken:1", "send:line", "sent:hi", "prompt"}));
    chat.pump();
    // The same record delivered twice is shown once (the tunnel refuses the replay).
    EXPECT_EQ(chat.feed(1, TextReceived{chat.side(0).sentLog.front().text}), Lines{});
    chat.feed(1, TimerFired{Timer::cover});
    chat.pump();
    EXPECT_TRUE(chat.side(0).lines.unconfirmed.empty());

    // Each row: who types, how long a line, whether it goes.
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
        const std::string taken = "taken:" + std::to_string(chat.side(who).lines.numbered - 1);
        EXPECT_EQ(shown, (goes ? Lines{taken, "send:line", "sent:" + line, "prompt"}
                               : Lines{"error:message too large", "prompt"}));
        if (!goes) continue;
        const Lines received = chat.feed(1 - who, TextReceived{chat.takeSent(who)});
        EXPECT_EQ(std::count(received.begin(), received.end(), "received:" + line), 1);
    }

    // A failed send to a confirming peer keeps the line, and says so.
    const std::string taken = "taken:" + std::to_string(chat.side(0).lines.numbered);
    EXPECT_EQ(chat.feed(0, LineTyped{SecureText("lost")}, false), (Lines{taken, "send:line"}));
    EXPECT_EQ(chat.feed(0, SendFailed{chat.side(0).wire.back().tag, "broken pipe"}),
              (Lines{"error:not sent yet: broken pipe; the line will be sent again in the next session", "prompt"}));

    // Quitting lists ours unconfirmed, and its goodbye confirms the peer's line that only it can.
    chat.takeSent(0);
    chat.feed(1, LineTyped{SecureText("last word")});
    chat.pump();
    EXPECT_EQ(chat.feed(0, QuitRequested{}), (Lines{"unconfirmed:1", "send:bye", "close", "peer:disconnected: quit",
                                                   "error:1 line was not confirmed by the peer:", "status:  lost",
                                                   "exit:0"}));
    const Lines bye = chat.feed(1, TextReceived{chat.takeSent(0)});
    ASSERT_EQ(bye.size(), 5u);
    EXPECT_TRUE(chat.side(1).lines.unconfirmed.empty());
    EXPECT_EQ(Lines(bye.begin() + 1, bye.end()),
              (Lines{"peer:peer left", "status:waiting for peer...", "send:hello", "arm:connection:8"}));
    // The relay's notice that follows changes nothing.
    EXPECT_EQ(chat.feed(1, TextReceived{protocol::encodePeerDisconnected()}), Lines{});
}

// Steady: a typed line waits for the tick and goes in place of its cover record; nothing goes
// between ticks. A line longer than a cover record's padding goes in parts, one a tick, shown
// once whole, to a peer that joins them, and whole with a note to one that does not.
TEST(ChatMachine, SteadyLinesWaitForTheTickAndGoInPartsOrWholeWithANote) {
    for (const bool base : {false, true}) {
        SCOPED_TRACE(base ? "base peer" : "joining peer");
        BackToBack chat(base, true);
        chat.start(true);
        EXPECT_EQ(chat.times(0, "status:the peer sends when it types: its timing is visible"), 1);
        EXPECT_EQ(chat.feed(0, LineTyped{SecureText("hi")}), (Lines{"taken:0", "queued:hi", "prompt"}));
        EXPECT_EQ(chat.feed(0, TimerFired{Timer::cover}), (Lines{"send:line", "sent later:hi", "prompt", "arm:cover:3.5"}));
        EXPECT_EQ(chat.feed(1, TextReceived{chat.takeSent(0)}), (Lines{"received:hi", "prompt"}));

        const std::string longLine = std::string(300, 'a') + std::string(300, 'b');
        chat.feed(0, LineTyped{SecureText(longLine)});
        chat.feed(0, LineTyped{SecureText("after")});
        Lines shownByPeer, ticks;
        for (int tick = 0; tick < 4; ++tick) {
            const Lines did = chat.feed(0, TimerFired{Timer::cover});
            EXPECT_EQ(std::count_if(did.begin(), did.end(), [](const std::string& l) { return l.starts_with("send:"); }), 1);
            ticks.push_back(did.front());
            for (auto& l : chat.feed(1, TextReceived{chat.takeSent(0)})) shownByPeer.push_back(l);
        }
        // To a joining peer, 600 bytes go as parts of 507 and 93, then the next line.
        EXPECT_EQ(ticks, (base ? Lines{"status:sent whole: this line's size was visible to the relay", "send:line",
                                       "send:cover", "send:cover"}
                               : Lines{"send:cover", "send:line", "send:line", "send:cover"}));
        EXPECT_EQ(shownByPeer, (Lines{"received:" + longLine, "prompt", "received:after", "prompt"}));
    }
    // The initiator's first record carries a keys-only ratchet header, beside which a line past
    // one record bucket would not look like cover: it waits a tick.
    BackToBack chat(false, false, true);
    chat.start(true);
    ASSERT_EQ(chat.machine(1).currentSession()->pendingRatchetHeaderSize(), PFSChatSession::ratchetHeaderSize);
    const std::string line(300, '.');
    chat.feed(1, LineTyped{SecureText(line)});
    EXPECT_EQ(chat.feed(1, TimerFired{Timer::cover}), (Lines{"send:cover", "arm:cover:3.5"}));
    EXPECT_EQ(chat.feed(1, TimerFired{Timer::cover}), (Lines{"send:line", "sent later:" + line, "prompt", "arm:cover:3.5"}));
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
              (Lines{"unconfirmed:1000", "close", "peer:disconnected: quit",
                     "error:1000 lines were not confirmed by the peer:",
                     "status:  line 0" + shortened, "status:  line 1" + shortened, "status:  line 2" + shortened,
                     "status:  line 3" + shortened, "status:  line 4" + shortened, "status:  … and 995 more",
                     "exit:0"}));
}

// ---- what a hostile relay or peer sends ----

// Junk before the handshake, and forgeries, replays, hostile text and parts that do not follow
// each other while active, move nothing; a skipped record restarts the session.
TEST(ChatMachine, JunkForgeriesHostileTextStrayPartsAndAGapAreSurvived) {
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

    // Records of the peer's session, sealed by the test: a replay, three tampered copies and
    // base64 that is no frame move nothing, and the genuine record still opens. Hostile text
    // reaches the display as it came (the display neutralises it); text that is not UTF-8 is
    // consumed without output.
    PFSChatSession& peer = *chat.machine(1).currentSession();
    const auto record = [&](std::string_view line) { return protocol::sealChatLine(peer, testTime, asBytes(line)); };
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

    // What the peer sends as parts is taken only as a whole line in order: a part out of its
    // line's order, of another count, malformed, or past the longest line drops the line in parts
    // silently; a whole line in between is shown and ends it. Each row: a part's text, index and
    // count (a whole line: count 0), and the line it completes.
    const auto part = [&](std::string_view text, std::uint64_t index, std::uint64_t count) {
        return protocol::sealChatLine(peer, testTime, asBytes(text), std::nullopt, protocol::LinePart{index, count});
    };
    const std::tuple<std::string, std::uint64_t, std::uint64_t, std::string> parts[] = {
        {"b", 1, 2, ""}, {"a", 0, 2, ""}, {"b", 1, 2, "ab"},  // no first part, then both
        {"a", 0, 3, ""}, {"c", 2, 3, ""}, {"b", 1, 3, ""},    // a part skipped
        {"a", 0, 2, ""}, {"b", 1, 3, ""},                     // another count
        {"a", 0, 2, ""}, {"w", 0, 0, "w"}, {"b", 1, 2, ""},   // a whole line in between
        {"x", 0, 2, ""}, {std::string(ChatMachine::longestLine(), 'y'), 1, 2, ""},
    };
    for (const auto& [text, index, count, shown] : parts) {
        EXPECT_EQ(chat.feed(0, TextReceived{count ? part(text, index, count) : record(text)}),
                  (shown.empty() ? Lines{} : Lines{"received:" + shown, "prompt"}));
    }
    // Malformed part members: the record is opened (the chain goes on) and holds no line.
    const auto sealed = peer.seal(asBytes("m"), testTime);
    const std::string malformed = protocol::sealTunnelText(
        peer, R"({"t":"msg","n":)" + std::to_string(sealed.counter) + R"(,"d":")" + base64String(sealed.data) +
                  R"(","p":2,"pn":2})",
        testTime);
    EXPECT_EQ(chat.feed(0, TextReceived{malformed}), Lines{});
    EXPECT_EQ(chat.feed(0, TextReceived{record("still here")}), (Lines{"received:still here", "prompt"}));

    // A record skipped: the session restarts, announced by the hello of a new session.
    (void)record("never sent");
    EXPECT_EQ(chat.feed(0, TextReceived{record("after a gap")}),
              (Lines{"error:session expired — restarting...", "status:waiting for peer...",
                     "send:hello", "arm:connection:8"}));
    EXPECT_NE(helloOf(chat, 0).at("ek"), boost::json::parse(chat.side(0).sentLog.back().text).at("ek"));
}

// ---- the README's table of transitions, row by row ----

// The state names the table uses, in the order of Phase.
std::string tableState(Phase phase) {
    constexpr const char* names[] = {"idle",   "waiting",      "waiting", "handshaking",
                                     "active", "reconnecting", "ended",   "ended"};
    return names[static_cast<int>(phase)];
}

// The event kinds of the rows' keys, in the order of Event.
constexpr const char* eventKinds[] = {"started", "text", "sendDone", "sendFailed", "lost", "typed", "timer", "quit"};
static_assert(std::size(eventKinds) == std::variant_size_v<Event>);

struct TableRow {
    std::string key;   // "kind/case", or a kind alone
    std::string kind;  // one of eventKinds, or "any"
    std::set<std::string> from;
    std::set<std::string> to;  // empty: unchanged
};

std::set<std::string> stateList(std::string cell) {
    for (std::size_t at; (at = cell.find(" or ")) != std::string::npos;) cell.replace(at, 4, ", ");
    std::set<std::string> states;
    std::istringstream in(cell);
    for (std::string state; std::getline(in >> std::ws, state, ',');) states.insert(state);
    return states;
}

// The rows of the table under "### The chat client's transitions".
std::vector<TableRow> readmeTable() {
    std::ifstream in(DUOQUILL_README);
    std::string line;
    while (std::getline(in, line) && line != "### The chat client's transitions") {
    }
    std::vector<TableRow> rows;
    while (std::getline(in, line) && !line.starts_with("#")) {
        if (!line.starts_with("|")) continue;
        std::vector<std::string> cells;
        for (std::size_t start = 2, end; (end = line.find(" | ", start)) != std::string::npos; start = end + 3) {
            cells.push_back(line.substr(start, end - start));
        }
        cells.push_back(line.substr(line.rfind(" | ") + 3, line.size() - line.rfind(" | ") - 5));
        if (cells.size() != 4 || !cells[1].starts_with('`')) continue;  // the header
        const std::string key = cells[1].substr(1, cells[1].find('`', 1) - 1);
        rows.push_back({key, key.substr(0, key.find('/')), stateList(cells[0]),
                        cells[3] == "unchanged" ? std::set<std::string>{} : stateList(cells[3])});
    }
    return rows;
}

// One event as a row has it: the state before and after; `stepped` is what it did.
using Seen = std::pair<Phase, Phase>;
Lines stepped;
Seen step(BackToBack& chat, int who, Event event, bool completeSends = true) {
    const Phase before = chat.phase(who);
    stepped = chat.feed(who, std::move(event), completeSends);
    return {before, chat.phase(who)};
}

// Both sides handshaking with each other's hello, nothing of the handshake delivered yet but,
// with `kex2Delivered`, the initiator's kex2; returns the initiator.
int bothHandshaking(BackToBack& chat, bool completeSends = true, bool kex2Delivered = false) {
    chat.start();
    const std::string hello0 = chat.takeSent(0), hello1 = chat.takeSent(1);
    chat.feed(0, TextReceived{hello1}, completeSends);
    chat.feed(1, TextReceived{hello0}, completeSends);
    const int i = *chat.machine(0).currentSession()->isInitiator() ? 0 : 1;
    if (kex2Delivered) chat.feed(1 - i, TextReceived{chat.side(i).wire.front().text});
    return i;
}
Bytes ephemeralOf(const ChatMachine& machine) { return machine.currentSession()->ephemeralPublicKey().compressed(); }
void toSendingHello(BackToBack& chat) { chat.feed(0, Started{}, false); }
void toSendingLine(BackToBack& chat) {
    toActive(chat);
    chat.feed(0, LineTyped{SecureText("hi")}, false);
}

using Scenario = std::function<std::vector<Seen>(BackToBack&)>;
using SetUp = void (*)(BackToBack&);
using MakeEvent = std::function<Event(BackToBack&)>;
MakeEvent endsLastSend(std::optional<std::string> failure) {
    return [failure](BackToBack& c) -> Event {
        const SendTag tag = c.side(0).wire.back().tag;
        return failure ? Event{SendFailed{tag, *failure}} : Event{SendDone{tag}};
    };
}
// Side 0 brought to a state, then one event (its sends complete unless told otherwise); with
// `expected`, what it must do.
Scenario after(SetUp to, MakeEvent event, std::optional<Lines> expected = std::nullopt, bool completeSends = true) {
    return [=](BackToBack& c) {
        to(c);
        const Seen seen = step(c, 0, event(c), completeSends);
        EXPECT_EQ(stepped, expected.value_or(stepped));
        return std::vector{seen};
    };
}
Scenario after(SetUp to, Event event, std::optional<Lines> expected = std::nullopt, bool completeSends = true) {
    return after(to, [event](BackToBack&) { return event; }, std::move(expected), completeSends);
}
// A new hello of the peer (side 1's next session, after one of ours failed it and it backed off)
// while side 0 handshakes after an altered hello: a young handshake remembers it and goes on; an
// older one answers it with a fresh session.
Scenario newHelloWhileHandshaking(bool young) {
    return [young](BackToBack& c) {
        c.start();
        const std::string good = c.takeSent(1), ours = c.takeSent(0);
        c.feed(0, TextReceived{altered(boost::json::parse(good).as_object())});
        c.feed(0, TextReceived{good});
        c.feed(1, TextReceived{altered(boost::json::parse(ours).as_object())});
        c.feed(1, TimerFired{Timer::connection});
        if (!young) c.feed(0, TimerFired{Timer::youngHandshake});
        const Bytes session = ephemeralOf(c.machine(0));
        const Seen seen = step(c, 0, TextReceived{c.takeSent(1)});
        EXPECT_EQ(ephemeralOf(c.machine(0)) == session, young) << "the same session goes on";
        return std::vector{seen};
    };
}
// The same check from each state, each in a world of its own whose transitions `c` keeps.
std::vector<Seen> fromEach(BackToBack& c, std::initializer_list<SetUp> states,
                           const std::function<void(BackToBack&, std::vector<Seen>&)>& check) {
    std::vector<Seen> seen;
    for (const SetUp to : states) {
        BackToBack chat;
        to(chat);
        check(chat, seen);
        c.transitions.insert(c.transitions.end(), chat.transitions.begin(), chat.transitions.end());
    }
    return seen;
}

const std::map<std::string, Scenario>& scenarios() {
    static const std::map<std::string, Scenario> all{
        {"started", after([](BackToBack&) {}, Started{},
                          Lines{"status:connecting...", "open", "send:hello", "input"}, false)},
        {"timer/retry", after(toReconnecting, TimerFired{Timer::retry})},
        {"started/no-session", [](BackToBack& c) {
            // A session that cannot be made is a connect error like any other. So is a relay that
            // cannot be reached: every try says so, a repeat with its count, and none claims to
            // wait for the peer. The back-off grows 0.3, 1, 2, 4 ... 30 s.
            c.side(0).failSessions = true;
            const Seen idle = step(c, 0, Started{});
            EXPECT_EQ(stepped, (Lines{"status:connecting...", "status:[connect error] no entropy",
                                      "status:reconnecting...", "arm:retry:0.3", "input"}));
            c.side(0).failSessions = false;
            for (const auto& [repeat, delay] : {std::pair{"", "1"}, {" (2 times)", "2"}, {" (3 times)", "4"}}) {
                EXPECT_EQ(c.feed(0, TimerFired{Timer::retry}, false),
                          (Lines{"status:connecting...", "open", "send:hello"}));
                EXPECT_EQ(c.feed(0, SendFailed{c.side(0).wire.back().tag, "connection refused"}),
                          (Lines{"status:[connect error] connection refused" + std::string(repeat), "close",
                                 "status:reconnecting...", std::string("arm:retry:") + delay}));
            }
            const double expected[] = {0.3, 1, 2, 4, 8, 16, 30, 30, 30};
            for (int i = 0; i < 9; ++i) EXPECT_EQ(ChatMachine::retryDelay(i), expected[i]) << i;
            c.feed(0, TimerFired{Timer::retry});
            c.feed(0, ConnectionLost{});
            c.side(0).failSessions = true;
            const Seen reconnecting = step(c, 0, TimerFired{Timer::retry});
            EXPECT_EQ(stepped, (Lines{"status:connecting...", "status:[connect error] no entropy",
                                      "status:reconnecting...", "arm:retry:16"}));
            EXPECT_EQ(c.feed(0, TimerFired{Timer::retry})[1], "status:[connect error] no entropy (2 times)");
            // Lines typed meanwhile wait; quitting while a retry is pending starts no connection.
            EXPECT_EQ(c.feed(0, LineTyped{SecureText("early")}), (Lines{"taken:0", "queued:early"}));
            EXPECT_EQ(c.feed(0, QuitRequested{}), (Lines{"unconfirmed:1", "peer:disconnected: quit",
                                                         "error:1 line was not confirmed by the peer:",
                                                         "status:  early", "exit:0"}));
            return std::vector{idle, reconnecting};
        }},
        {"started/bad-url", [](BackToBack&) {
            // It ends the process at the first try instead of retrying; the ended machine does nothing.
            std::vector<Seen> seen;
            for (const char* relay : {"wss://relay test", "wss://", "wss://:443", "wss://127.0.0.1:notaport",
                                      "wss://r.io:80x", "wss://r.io:0", "wss://r.io:65536", "wss://r.io?room=",
                                      "wss://r.io/#"}) {
                SCOPED_TRACE(relay);
                Side lone(0, false, nullptr, relay);
                EXPECT_EQ(lone.feed(Started{}, true, 0),
                          (Lines{"status:connecting...", "error:Invalid relay URL", "exit:1"}));
                EXPECT_EQ(lone.machine().phase(), Phase::error);
                seen.push_back({Phase::idle, lone.machine().phase()});
                EXPECT_EQ(lone.feed(LineTyped{SecureText("x")}, true, 0), Lines{});
                EXPECT_EQ(lone.feed(QuitRequested{}, true, 0), Lines{});
            }
            for (const char* relay : {"wss://r.io:", "wss://[::1]:8443", "wss://r.io:65535/base/", "wss://user@r.io"}) {
                EXPECT_EQ(Side(0, false, nullptr, relay).feed(Started{}, true, 0).at(1), "open") << relay;
            }
            return seen;
        }},
        // Only a hello that went out shows the connection open: it is read, and the peer awaited.
        {"sendDone/hello", after(toSendingHello, endsLastSend(std::nullopt),
                                 Lines{"status:waiting for peer...", "receive", "arm:connection:30", "arm:stale:6"})},
        {"sendFailed/hello", after(toSendingHello, endsLastSend("broken pipe"))},
        {"timer/no-peer", after(toWaiting, TimerFired{Timer::connection},
                                Lines{"status:timeout — no peer, retrying...", "close", "status:reconnecting...",
                                      "arm:retry:0.3"})},
        {"timer/reconnect-no-peer", [](BackToBack& c) {
            toActive(c);
            c.feed(0, TextReceived{protocol::encodePeerDisconnected()});
            c.feed(0, TimerFired{Timer::connection});
            return std::vector{step(c, 0, TimerFired{Timer::connection})};
        }},
        {"text/hello", after(toWaiting, [](BackToBack& c) -> Event { return TextReceived{c.takeSent(1)}; })},
        {"text/hello-refused", [](BackToBack& c) {
            // Each refusal is said once per session, whatever the next one is, and the real peer
            // still gets in.
            const std::string stranger = base64URLString(sha512(asBytes(
                base64URLString(p256::PrivateKey::generate().publicKey().compressed()))));
            const std::tuple<std::string, std::optional<std::string>, std::string> refused[] = {
                {"mlk", std::nullopt, "Post-quantum key exchange required"},
                {"mlk", base64String(Bytes(1567, 7)), "Post-quantum key exchange required"},
                {"pkid", stranger, "Peer identity mismatch"},
            };
            std::vector<Seen> seen;
            for (const auto& [field, value, message] : refused) {
                const auto more = fromEach(c, {toWaiting, toHandshaking, toActive}, [&](BackToBack& chat, auto& got) {
                    auto hello = boost::json::parse(chat.side(1).sentLog.back().text).as_object();
                    value ? void(hello[field] = *value) : void(hello.erase(field));
                    got.push_back(step(chat, 0, TextReceived{text(hello)}));
                    EXPECT_EQ(stepped, Lines{"error:" + message});
                    hello["pkid"] = stranger;
                    EXPECT_EQ(chat.feed(0, TextReceived{text(hello)}), Lines{});
                    chat.pump();
                    EXPECT_EQ(chat.phase(0), Phase::active);
                });
                seen.insert(seen.end(), more.begin(), more.end());
            }
            return seen;
        }},
        {"text/hello-ignored", [](BackToBack& c) {
            return fromEach(c, {toWaiting, toHandshaking, toActive}, [](BackToBack& chat, auto& seen) {
                const Bytes session = ephemeralOf(chat.machine(0));
                seen.push_back(step(chat, 0, TextReceived{chat.side(0).sentLog.back().text}));
                seen.push_back(step(chat, 0, TextReceived{R"({"t":"hello","pkid":"x"})"}));
                EXPECT_EQ(ephemeralOf(chat.machine(0)), session) << "the session goes on";
            });
        }},
        {"text/hello-unopened", [](BackToBack& c) {
            toWaiting(c);
            // The back-off's jitter takes at most half the delay (0.3 s here).
            c.side(0).jitter = 0.999;
            const Seen seen = step(c, 0, TextReceived{altered(boost::json::parse(c.takeSent(1)).as_object())});
            EXPECT_EQ(stepped.back(), "arm:connection:0.15015");
            return std::vector{seen};
        }},
        {"timer/backoff", [](BackToBack& c) {
            toWaiting(c);
            c.feed(0, TextReceived{altered(boost::json::parse(c.takeSent(1)).as_object())});
            return std::vector{step(c, 0, TimerFired{Timer::connection})};
        }},
        {"text/stale", [](BackToBack& outer) {
            BackToBack c(true);  // a base-protocol peer: not known to answer hellos
            toActive(c);
            c.reconnect(0);
            c.feed(0, TimerFired{Timer::staleWatch});
            c.feed(1, TimerFired{Timer::cover});
            const std::string record = c.takeSent(1);
            c.feed(0, TextReceived{record});
            const Seen seen = step(c, 0, TextReceived{record});
            EXPECT_EQ(stepped, (Lines{"close", "status:reconnecting...", "arm:retry:1"}));
            outer.transitions = c.transitions;
            return std::vector{seen};
        }},
        {"text/kex2", [](BackToBack& c) {
            const int i = bothHandshaking(c);
            return std::vector{step(c, 1 - i, TextReceived{c.side(i).wire.front().text})};
        }},
        {"text/kex2-failed", [](BackToBack& c) {
            // A second kex2, after the genuine one, under the keys both sides now hold.
            const int i = bothHandshaking(c, true, true);
            const Seen seen = step(c, 1 - i, TextReceived{protocol::sealTunnelText(
                *c.machine(i).currentSession(), protocol::encode(protocol::Kex2{Bytes(1568, 1)}), testTime)});
            EXPECT_EQ(c.times(1 - i, "status:[kex2 error] pqExchangeNotReady"), 1);
            return std::vector{seen};
        }},
        {"text/ready", [](BackToBack& c) {
            const int i = bothHandshaking(c, true, true);
            return std::vector{step(c, i, TextReceived{c.side(1 - i).wire.back().text})};
        }},
        {"text/ready-wrong", [](BackToBack& c) {
            const int i = bothHandshaking(c, true, true);
            const Seen seen = step(c, i, TextReceived{protocol::sealTunnelText(
                *c.machine(1 - i).currentSession(), protocol::encode(protocol::Ready{Bytes(32, 7), {}}), testTime)});
            EXPECT_EQ(stepped, (Lines{"error:Key confirmation failed", "exit:1"}));
            EXPECT_EQ(c.side(i).exitStatus, 1);
            return std::vector{seen};
        }},
        {"sendFailed/kex2", [](BackToBack& c) {
            const int i = bothHandshaking(c, false);
            EXPECT_TRUE(c.side(i).wire.front().tag.kind == SendTag::Kind::kex2);
            return std::vector{step(c, i, SendFailed{c.side(i).wire.front().tag, "broken pipe"})};
        }},
        {"timer/handshake", [](BackToBack& c) {
            // No answer within 5 s: a fresh session on the same connection. It adopts the peer's
            // latest hello at once (nothing says yet whether the peer follows the leader rule); an
            // adopted hello that leads nowhere is used up, so the next one waits 8 s for a new
            // hello, and then the relay connection goes.
            toHandshaking(c);
            const Seen adopted = step(c, 0, TimerFired{Timer::connection});
            EXPECT_EQ(stepped, (Lines{"status:waiting for peer...", "send:hello", "arm:connection:8",
                                      "status:handshaking...", "arm:connection:5", "arm:young:2"}));
            c.feed(0, TimerFired{Timer::youngHandshake});
            const Seen usedUp = step(c, 0, TimerFired{Timer::connection});
            EXPECT_EQ(stepped, (Lines{"status:waiting for peer...", "send:hello", "arm:connection:8"}));
            EXPECT_EQ(c.feed(0, TimerFired{Timer::connection}),
                      (Lines{"close", "status:reconnecting...", "arm:retry:0.3"}));
            EXPECT_EQ(c.phase(0), Phase::reconnecting);
            return std::vector{adopted, usedUp};
        }},
        {"text/hello-young", newHelloWhileHandshaking(true)},
        {"text/hello-new", newHelloWhileHandshaking(false)},
        {"text/msg-early", [](BackToBack& c) {
            // The responder turns active; its ready is lost, its line reaches the initiator.
            const int i = bothHandshaking(c);
            for (const auto& sent : std::exchange(c.side(i).wire, {})) c.feed(1 - i, TextReceived{sent.text});
            c.takeSent(1 - i);
            c.feed(1 - i, LineTyped{SecureText("early")});
            const Seen seen = step(c, i, TextReceived{c.takeSent(1 - i)});
            EXPECT_EQ(c.times(i, "received:early"), 0) << "numbered: it comes again once the ready has";
            return std::vector{seen};
        }},
        {"typed/active", after(toActive, LineTyped{SecureText("hi")})},
        {"sendDone/line", after(toSendingLine, endsLastSend(std::nullopt))},
        {"sendFailed/line", after(toSendingLine, endsLastSend("broken pipe"))},
        {"text/msg", [](BackToBack& c) {
            toActive(c);
            c.feed(1, LineTyped{SecureText("hi")});
            const Seen shown = step(c, 0, TextReceived{c.takeSent(1)});
            // A record out of order inside a frame that opens: a fresh session.
            const Seen failed = step(c, 0, TextReceived{protocol::sealTunnelText(
                *c.machine(1).currentSession(),
                protocol::encode(protocol::Msg{5, Bytes(272, 1), std::nullopt, std::nullopt}), testTime)});
            EXPECT_EQ(c.times(0, "error:session expired — restarting..."), 1);
            return std::vector{shown, failed};
        }},
        {"timer/cover", after(toActive, TimerFired{Timer::cover})},
        {"text/peer-disconnected", after(toActive, TextReceived{protocol::encodePeerDisconnected()},
                                         Lines{"peer:peer reconnecting...", "arm:connection:5"})},
        {"timer/grace", [](BackToBack& c) {
            // The room's epoch file is written when keys are made and removed with the session; an
            // active session starts the retry back-off again from its first step.
            toActive(c);
            EXPECT_EQ(c.side(0).epochFile, Lines{"write:0"});
            c.now += 60;
            c.feed(0, TextReceived{protocol::encodePeerDisconnected()});
            const Seen seen = step(c, 0, TimerFired{Timer::connection});
            EXPECT_EQ(stepped,
                      (Lines{"peer:peer left", "status:waiting for peer...", "send:hello", "arm:connection:8"}));
            c.pump();
            EXPECT_EQ(c.side(0).epochFile, (Lines{"write:0", "clear", "write:0"}));
            for (const char* delay : {"0.3", "1"}) {
                EXPECT_EQ(c.feed(0, ConnectionLost{}).back(), std::string("arm:retry:") + delay);
                c.feed(0, TimerFired{Timer::retry});
            }
            c.pump();
            EXPECT_EQ(c.feed(0, ConnectionLost{}).back(), "arm:retry:0.3");
            c.feed(0, QuitRequested{});
            EXPECT_EQ(c.side(0).epochFile.back(), "clear");
            return std::vector{seen};
        }},
        {"text/hello-active", [](BackToBack& c) {
            toActive(c);
            c.feed(1, TextReceived{protocol::encodePeerDisconnected()});
            c.feed(1, TimerFired{Timer::connection});
            const Seen seen = step(c, 0, TextReceived{c.takeSent(1)});
            EXPECT_EQ(stepped.at(0), "peer:peer reconnecting...");
            return std::vector{seen};
        }},
        {"text/bye", [](BackToBack& outer) {
            BackToBack c(true);  // a base-protocol peer: not known to answer hellos
            toActive(c);
            // A plain bye proves nothing: the peer's own comes through the tunnel.
            EXPECT_EQ(c.feed(0, TextReceived{protocol::encodeBye()}), Lines{});
            c.feed(1, QuitRequested{});
            const Seen seen = step(c, 0, TextReceived{c.takeSent(1)});
            // A timer fires in vain once the state that armed it is left: the stale watch of the
            // first wait, still sleeping, does not make this wait take undecryptable frames for a
            // peer that stays.
            EXPECT_EQ(c.feed(0, TimerFired{Timer::staleWatch}), Lines{});
            for (int i = 0; i < ChatMachine::staleFramesBeforeLeaving; ++i) {
                EXPECT_EQ(c.feed(0, TextReceived{"bm90IGEgZnJhbWU="}), Lines{});
            }
            outer.transitions = c.transitions;
            return std::vector{seen};
        }},
        {"lost", [](BackToBack& c) {
            return fromEach(c, {toWaiting, toHandshaking, toActive}, [](BackToBack& chat, auto& seen) {
                seen.push_back(step(chat, 0, ConnectionLost{}));
                EXPECT_EQ(chat.times(0, "status:reconnecting..."), 1);
                EXPECT_EQ(stepped.front(), "drop");
            });
        }},
        {"lost/none", [](BackToBack& c) {
            const Seen idle = step(c, 0, ConnectionLost{});
            toReconnecting(c);
            return std::vector{idle, step(c, 0, ConnectionLost{})};
        }},
        {"typed/queued", [](BackToBack& c) {
            return fromEach(c, {toWaiting, toHandshaking, toReconnecting}, [](BackToBack& chat, auto& seen) {
                seen.push_back(step(chat, 0, LineTyped{SecureText("later")}));
            });
        }},
        {"quit", [](BackToBack& c) {
            auto seen = fromEach(c, {toWaiting, toHandshaking, toActive, toReconnecting}, [](BackToBack& chat, auto& got) {
                got.push_back(step(chat, 0, QuitRequested{}));
            });
            seen.push_back(step(c, 0, QuitRequested{}));
            return seen;
        }},
        {"any", [](BackToBack& c) {
            c.feed(0, QuitRequested{});
            return std::vector{step(c, 0, LineTyped{SecureText("x")}), step(c, 0, Started{})};
        }},
    };
    return all;
}

TEST(ChatMachine, EveryRowOfTheReadmeTableAndNoChangeOfStateWithoutOne) {
    const auto rows = readmeTable();
    ASSERT_GE(rows.size(), 30u) << DUOQUILL_README;
    std::vector<Transition> made;
    std::set<std::string> keys;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        EXPECT_TRUE(keys.insert(row.key).second) << "a key used twice";
        EXPECT_TRUE(row.kind == "any" || std::ranges::find(eventKinds, row.kind) != std::end(eventKinds));
        const auto scenario = scenarios().find(row.key);
        if (scenario == scenarios().end()) {
            ADD_FAILURE() << "no scenario for the row";
            continue;
        }
        BackToBack chat;
        for (const auto& [from, to] : scenario->second(chat)) {
            EXPECT_TRUE(row.from.contains(tableState(from))) << "from " << tableState(from);
            const auto next = row.to.empty() ? std::set{tableState(from)} : row.to;
            EXPECT_TRUE(next.contains(tableState(to))) << tableState(from) << " to " << tableState(to);
        }
        made.insert(made.end(), chat.transitions.begin(), chat.transitions.end());
    }
    for (const auto& [key, scenario] : scenarios()) EXPECT_TRUE(keys.contains(key)) << key << ": no row";
    // Every change of state seen on the way, set-ups included, is one a row allows.
    for (const auto& [before, event, after] : made) {
        const std::string from = tableState(before), to = tableState(after);
        if (from == to) continue;
        const bool allowed = std::ranges::any_of(rows, [&](const TableRow& row) {
            return (row.kind == "any" || row.kind == eventKinds[event]) && row.from.contains(from) &&
                   row.to.contains(to);
        });
        EXPECT_TRUE(allowed) << from << " --" << eventKinds[event] << "--> " << to;
    }
}

}  // namespace
}  // namespace duoquill::cli
