// The chat client's machine, two of them back to back with nothing in between: no relay, no
// timeline, no io_context. The input schedules every event the driver would feed: which text
// goes across next (whole, altered in one byte, again, or lost), how a send ends, when a
// connection fails, when the earliest armed timer fires, what each side types and when it
// quits. Both machines hold real sessions of fast deterministic worlds, so every text is one a
// real peer could send; the input adds hostile ones: arbitrary text, relay notices, and tunnel
// payloads of any shape sealed by the other side's real session.
//
// Input: one byte choosing the worlds' seed (bits 0-1), a peer of the base protocol on side 1
// (bit 2), and whether the two first meet undisturbed (bit 3); then operations (see the switch).
//
// Invariants: no exception out of a machine; a machine that has exited does nothing more; a
// text from outside the other side's session (arbitrary, altered or taken before) leaves the
// receiving session's counters, chains and ratchet state as they were; every line shown as
// received was typed on the other side (or sealed there in a genuine record) and is shown at
// most as often; on the terminal it could steer nothing, and every other line the client
// writes by itself is plain text; a machine exits with status 0 only after a quit, and
// otherwise only with status 1 on a wrong key confirmation.

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <set>

#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Base/Utf8.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "DuoquillCLI/ChatMachine.h"
#include "DuoquillCLI/TerminalText.h"
#include "FuzzTarget.h"
#include "Kit/MachineChat.h"
#include "Kit/SessionAccess.h"

using namespace duoquill;
using namespace duoquill::cli::chat;
using duoquill::fuzz::FuzzInput;
using duoquill::fuzz::require;

namespace {

constexpr std::uint64_t worldSeeds[4] = {0x11, 0x22, 0x33, 0x44};
constexpr int maxOperations = 48;
constexpr std::size_t maxLineBytes = 512;

enum Operation : std::uint8_t {
    deliver,
    deliverAltered,
    deliverAgain,
    lose,
    rawText,
    sealedPayload,
    sealedLine,
    nextTimer,
    type,
    connectionLost,
    peerNotice,
    failNextSend,
    quit,
    operationCount,
};

// One client: its machine and what its driver would hold.
struct Side {
    Side(int owner, std::uint64_t seed, bool baseProtocolOnly) : world(seed, true) {
        auto config = test::machineConfig(owner, world);
        config.baseProtocolOnly = baseProtocolOnly;
        machine = std::make_unique<cli::ChatMachine>(std::move(config));
    }

    test::World world;
    std::unique_ptr<cli::ChatMachine> machine;
    bool connected = false;
    bool receiving = false;
    bool failNext = false;
    bool quitAsked = false;
    std::optional<int> exitStatus;
    std::array<std::optional<double>, timerCount> timers;  // deadlines
    std::deque<std::string> inTransit;                     // sent, on the way to the other side
    std::multiset<std::string> typed;                      // every line that may reach the other side
    std::vector<Show> shown;
};

// The session a text reaches, and what taking a text may move in it.
struct Observed {
    const PFSChatSession* session = nullptr;
    Bytes ephemeral;  // tells a new session at a reused address apart
    std::optional<test::ReceiveState> receive;
    Phase phase;

    static Observed of(const cli::ChatMachine& machine) {
        Observed o{.phase = machine.phase()};
        if (PFSChatSession* s = machine.currentSession()) {
            o.session = s;
            o.ephemeral = s->ephemeralPublicKey().compressed();
            o.receive = test::ReceiveState::of(*s);
        }
        return o;
    }
    bool sameSession(const Observed& other) const {
        return session == other.session && ephemeral == other.ephemeral && phase == other.phase;
    }
};

class Pair {
public:
    Pair(std::uint64_t seed, bool baseSide1)
        : sides_{std::make_unique<Side>(0, seed, false), std::make_unique<Side>(1, seed ^ 0x7065657200000000ULL,
                                                                                  baseSide1)} {}

    Side& side(int who) { return *sides_[who]; }

    void feed(int who, Event event) {
        Side& s = side(who);
        std::deque<Event> ready{std::move(event)};
        while (!ready.empty()) {
            Actions actions = s.machine->handle(std::move(ready.front()), now_);
            ready.pop_front();
            if (s.exitStatus) require(actions.empty(), "a machine that has exited does nothing more");
            for (auto& action : actions) perform(who, action, ready);
        }
    }

    // The oldest text on its way to `who`; false when nothing can go across. An altered copy is
    // a foreign text.
    bool deliver(int who, const std::function<void(std::string&)>& alter = {}) {
        Side& from = side(1 - who);
        if (from.inTransit.empty() || !side(who).receiving) return false;
        std::string text = std::move(from.inTransit.front());
        from.inTransit.pop_front();
        if (alter) {
            std::string altered = text;
            alter(altered);
            if (altered != text) {
                delivered_.push_back(altered);
                foreign(who, std::move(altered));
                return true;
            }
        }
        delivered_.push_back(text);
        feed(who, TextReceived{std::move(text)});
        return true;
    }
    void deliverAgain(int who, std::size_t index) {
        if (!delivered_.empty()) foreign(who, delivered_[index % delivered_.size()]);
    }
    // A text the other side's session did not seal for this moment. It may end the session (a
    // plain hello or bye), and before the tunnel a plain hello may move the handshake; otherwise
    // the session's receive state stays as it was.
    void foreign(int who, std::string text) {
        Side& s = side(who);
        if (!s.receiving) return;
        const bool plain = !text.empty() && text.front() == '{';
        const Observed before = Observed::of(*s.machine);
        feed(who, TextReceived{std::move(text)});
        const Observed after = Observed::of(*s.machine);
        if (!before.receive || !before.sameSession(after) || (plain && !before.receive->tunnelRxKey)) return;
        // A record sent in answer steps the sending side of the ratchet: not compared.
        test::ReceiveState moved = *after.receive;
        moved.dhRatchetPending = before.receive->dhRatchetPending;
        moved.hasDHRatchetPrivateKey = before.receive->hasDHRatchetPrivateKey;
        require(*before.receive == moved, "a refused text leaves the session's receive state");
    }

    // Fires the timer due first on either side, moving the clock to it.
    bool fireNextTimer() {
        std::optional<std::pair<int, int>> first;
        double due = 0;
        for (int who : {0, 1}) {
            for (int t = 0; t < timerCount; ++t) {
                const auto& deadline = side(who).timers[t];
                if (deadline && (!first || *deadline < due)) {
                    first = {who, t};
                    due = *deadline;
                }
            }
        }
        if (!first) return false;
        now_ = std::max(now_, due);
        side(first->first).timers[first->second].reset();
        feed(first->first, TimerFired{static_cast<Timer>(first->second)});
        return true;
    }

    void loseConnection(int who) {
        Side& s = side(who);
        if (!s.connected) return;
        dropConnection(who);
        feed(who, ConnectionLost{});
    }

    // Lets both sides meet: texts go across as soon as they can, timers fire when nothing can.
    void meet() {
        for (int step = 0; step < 200 && !bothActive(); ++step) {
            if (!deliver(0) && !deliver(1) && !fireNextTimer()) return;
        }
    }
    bool bothActive() { return side(0).machine->phase() == Phase::active && side(1).machine->phase() == Phase::active; }

private:
    void dropConnection(int who) {
        Side& s = side(who);
        s.connected = false;
        s.receiving = false;
        side(1 - who).inTransit.clear();  // what the relay had for this connection is gone with it
    }

    void perform(int who, Action& action, std::deque<Event>& ready) {
        Side& s = side(who);
        std::visit(
            [&](auto& a) {
                using A = std::decay_t<decltype(a)>;
                if constexpr (std::is_same_v<A, OpenConnection>) {
                    dropConnection(who);
                    s.connected = true;
                } else if constexpr (std::is_same_v<A, StartReceiving>) {
                    s.receiving = s.connected;
                } else if constexpr (std::is_same_v<A, CloseConnection>) {
                    dropConnection(who);
                } else if constexpr (std::is_same_v<A, SendText>) {
                    if (s.connected && std::exchange(s.failNext, false)) {
                        ready.emplace_back(SendFailed{std::move(a.tag), "broken pipe"});
                        return;
                    }
                    if (s.connected) s.inTransit.push_back(std::move(a.text));
                    ready.emplace_back(SendDone{std::move(a.tag)});  // nothing to send on counts as sent
                } else if constexpr (std::is_same_v<A, ArmTimer>) {
                    s.timers[static_cast<std::size_t>(a.timer)] = now_ + a.seconds;
                } else if constexpr (std::is_same_v<A, CancelTimer>) {
                    s.timers[static_cast<std::size_t>(a.timer)].reset();
                } else if constexpr (std::is_same_v<A, Show>) {
                    s.shown.push_back(a);
                } else if constexpr (std::is_same_v<A, Exit>) {
                    s.exitStatus = a.status;
                    s.timers = {};
                    dropConnection(who);
                }
            },
            action);
    }

    std::unique_ptr<Side> sides_[2];
    std::vector<std::string> delivered_;
    double now_ = 1'700'000'000.0;
};

// What the terminal would show of the text: no control, C1 or bidirectional code point, valid UTF-8.
bool steersNothing(std::string_view shown) {
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto c = static_cast<unsigned char>(shown[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
        const auto next = i + 1 < shown.size() ? static_cast<unsigned char>(shown[i + 1]) : 0;
        const auto third = i + 2 < shown.size() ? static_cast<unsigned char>(shown[i + 2]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) return false;
        if (c == 0xE2 && next == 0x80 && third >= 0xAA && third <= 0xAE) return false;
        if (c == 0xE2 && next == 0x81 && third >= 0xA6 && third <= 0xA9) return false;
    }
    return isValidUtf8(shown);
}

void checkWhatWasShown(Side& side, const Side& other) {
    std::map<std::string, std::size_t> received;
    const Show* last = nullptr;
    for (const Show& line : side.shown) {
        const std::string_view text = line.text.view();
        if (line.kind == Show::Kind::received) {
            ++received[std::string(text)];
            require(steersNothing(cli::TerminalText::neutralised(text)), "a received line reaches the terminal inert");
        } else if (line.kind != Show::Kind::sent && line.kind != Show::Kind::queued && !line.quotesTypedLine) {
            require(steersNothing(text), "the client's own lines are plain text");
        }
        last = &line;
    }
    for (const auto& [text, times] : received) {
        require(times <= other.typed.count(text), "a received line was sent by the peer, shown at most as often");
    }
    if (!side.exitStatus) return;
    if (*side.exitStatus == 0) {
        require(side.quitAsked, "a machine exits with status 0 only after a quit");
    } else {
        require(*side.exitStatus == 1 && last && last->text.view() == "Key confirmation failed",
                "a machine ends with an error only on a wrong key confirmation");
    }
}

std::string textOf(BytesView bytes) { return {bytes.begin(), bytes.end()}; }

std::vector<Bytes> seeds() {
    auto with = [](std::uint8_t selector, std::initializer_list<Bytes> operations) {
        fuzz::SeedWriter w;
        w.u8(selector);
        for (const auto& op : operations) w.bytes(op);
        return w.done();
    };
    auto op = [](Operation kind, std::uint8_t side, std::string_view text = {}) {
        return fuzz::SeedWriter()
            .u8(kind)
            .u8(side)
            .u16(static_cast<std::uint16_t>(text.size()))
            .bytes(asBytes(text))
            .done();
    };
    auto deliveries = [&](int count) {
        Bytes all;
        for (int i = 0; i < count; ++i) {
            for (const Bytes& one : {op(deliver, 0), op(deliver, 1)}) all.insert(all.end(), one.begin(), one.end());
        }
        return all;
    };
    constexpr std::uint8_t met = 8, base = 4;
    return {
        with(0, {deliveries(6), op(type, 0, "hello there"), deliveries(2), op(nextTimer, 0)}),
        with(met, {op(type, 1, "one"), op(deliverAltered, 0, "\x01\x10\x41"), op(type, 1, "two"), deliveries(3)}),
        with(met | 1, {op(sealedPayload, 1, R"({"t":"msg","n":0,"d":"AAAA"})"), op(deliver, 0),
                       op(sealedPayload, 1, protocol::encodeBye()), op(deliver, 0), op(nextTimer, 0), deliveries(4)}),
        with(met | 2, {op(connectionLost, 0), op(type, 0, "while away"), op(nextTimer, 0), deliveries(4),
                       op(nextTimer, 0), deliveries(4)}),
        with(met | base | 3, {op(type, 0, "to a base peer"), deliveries(2), op(quit, 1), deliveries(2)}),
        with(2, {op(deliver, 1), op(deliverAgain, 0, "\x03"), op(rawText, 0, protocol::encodePeerDisconnected()),
                 op(rawText, 0, R"({"t":"hello"})"), op(nextTimer, 0), deliveries(4)}),
        with(met | 3, {op(failNextSend, 0), op(type, 0, "fails"), op(peerNotice, 1), op(quit, 0), deliveries(2)}),
        with(1, {deliveries(2), op(sealedPayload, 0, R"({"t":"ready","kc":"AAAA"})"), deliveries(4)}),
    };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t selector = in.u8();
    Pair pair(worldSeeds[selector & 3], (selector & 4) != 0);
    pair.feed(0, Started{});
    pair.feed(1, Started{});
    if (selector & 8) pair.meet();

    for (int i = 0; i < maxOperations && in.remaining() > 0; ++i) {
        const auto operation = static_cast<Operation>(in.u8() % operationCount);
        const int who = in.u8() & 1;
        Side& side = pair.side(who);
        switch (operation) {
        case deliver:
            pair.deliver(who);
            break;
        case deliverAltered: {
            const std::uint16_t at = in.u16();
            const std::uint8_t value = in.u8();
            pair.deliver(who, [&](std::string& text) {
                if (!text.empty()) text[at % text.size()] = static_cast<char>(value);
            });
            break;
        }
        case deliverAgain:
            pair.deliverAgain(who, in.u8());
            break;
        case lose:
            if (!pair.side(1 - who).inTransit.empty()) pair.side(1 - who).inTransit.pop_front();
            break;
        case rawText:
            pair.foreign(who, textOf(in.take(in.u16())));
            break;
        case sealedPayload: {
            // The other side's session seals what it never would: any payload, in the tunnel.
            const std::string payload = textOf(in.take(in.u16()));
            Side& from = pair.side(1 - who);
            PFSChatSession* session = from.machine->currentSession();
            if (!session || !session->isTunnelReady() || !from.connected) break;
            try {
                from.inTransit.push_back(protocol::sealTunnelText(*session, payload));
            } catch (const std::exception&) {
            }
            break;
        }
        case sealedLine: {
            // A genuine record of any line, with any line numbers.
            const std::string line = textOf(in.take(in.u16() % maxLineBytes));
            const protocol::LineNumbers numbers{in.u64(), in.u64()};
            Side& from = pair.side(1 - who);
            PFSChatSession* session = from.machine->currentSession();
            if (!session || !session->isReady() || !from.connected) break;
            try {
                from.inTransit.push_back(protocol::sealChatLine(*session, asBytes(line), numbers));
                from.typed.insert(line);
            } catch (const std::exception&) {
            }
            break;
        }
        case nextTimer:
            pair.fireNextTimer();
            break;
        case type: {
            const std::string line = textOf(in.take(in.u16() % maxLineBytes));
            side.typed.insert(line);
            pair.feed(who, LineTyped{SecureText(line)});
            break;
        }
        case connectionLost:
            pair.loseConnection(who);
            break;
        case peerNotice:
            pair.foreign(who, protocol::encodePeerDisconnected());
            break;
        case failNextSend:
            side.failNext = true;
            break;
        case quit:
            side.quitAsked = true;
            pair.feed(who, QuitRequested{});
            break;
        case operationCount:
            break;
        }
    }
    checkWhatWasShown(pair.side(0), pair.side(1));
    checkWhatWasShown(pair.side(1), pair.side(0));
    return 0;
}
