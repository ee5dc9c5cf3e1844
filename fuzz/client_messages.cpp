// The chat client, two of them back to back with no relay in between: each is the program's own
// driver and machine on one simulated timeline, with a transport the input steers. The input
// schedules every event: which text goes across next (whole, altered in one byte, again, or
// lost), how a send ends, when a connection fails, when the earliest armed timer fires, what
// each side types (a short line, or a long one of one byte repeated) and when it quits. Both
// machines hold real sessions of fast deterministic worlds, so every text is one a real peer
// could send; the input adds hostile ones: arbitrary text, relay notices, and tunnel payloads of
// any shape sealed by the other side's real session.
//
// Input: one byte choosing the worlds' seed (bits 0-1), a peer of the base protocol on side 1
// (bit 2), whether the two first meet undisturbed (bit 3) and a steady side 0 (bit 4); then
// operations (see the switch).
//
// Invariants: no exception out of a machine; a machine that has exited does nothing more; a
// text from outside the other side's session (arbitrary, altered or taken before) leaves the
// receiving session's counters, chains and ratchet state as they were; every line shown as
// received was typed on the other side (or sealed there in a genuine record) and is shown at
// most as often; on the terminal it could steer nothing, and every other line the client
// writes by itself is plain text; a machine exits with status 0 only after a quit, and
// otherwise only with status 1 on a wrong key confirmation.

#include <boost/asio/io_context.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <set>

#include "Duoquill/Base/Utf8.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "DuoquillCLI/Chat/ChatDriver.h"
#include "DuoquillCLI/Chat/ChatMachine.h"
#include "DuoquillCLI/Terminal/TerminalText.h"
#include "FuzzTarget.h"
#include "Kit/InProcessChat.h"
#include "Kit/SessionAccess.h"

namespace asio = boost::asio;
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
    typeLong,
    operationCount,
};

// One client: the program's driver running its machine, on the pair's timeline, and what the
// fuzzer knows of its connection (told by the driver before each action).
struct Side final : cli::ChatObserver {
    Side(int owner, std::uint64_t seed, bool baseProtocolOnly, test::ManualTimeline& timeline_, bool steady = false)
        : timeline(timeline_), world(seed, true), timers(io.get_executor(), &timeline), display(timeline) {
        auto config = test::machineConfig(owner, world);
        config.baseProtocolOnly = baseProtocolOnly;
        config.steady = steady;
        pollerKey = timeline.attach([this] {
            const auto n = io.poll() + endBrokenReceives();
            if (io.stopped()) io.restart();
            return n;
        });
        driver = cli::ChatDriver::create(
            {
                .executor = io.get_executor(),
                .timers = timers,
                .display = display,
                .makeTransport =
                    [this] {
                        auto& connection = *connections.emplace_back(std::make_unique<Connection>());
                        connection.sends.endAtOnce = [this, &connection](std::string text) {
                            return endSend(connection, std::move(text));
                        };
                        auto transport = std::make_shared<test::HeldTransport>(connection.sends, io.get_executor());
                        connection.transport = transport;
                        return transport;
                    },
                .clock = world.clock,
                .exitProcess = [this](int status) { exitStatus = status; },
                .startInput = {},
                .observer = this,
            },
            std::make_unique<cli::ChatMachine>(std::move(config)));
    }
    ~Side() override {
        driver.reset();
        for (const auto& connection : connections) {
            if (auto alive = connection->transport.lock()) alive->forget();
        }
        timeline.detach(pollerKey);
    }

    void observe(const Action& action, Phase) override {
        require(!exitStatus, "a machine that has exited does nothing more");
        if (const auto* output = std::get_if<Output>(&action)) shown.push_back(*output);
        if (std::holds_alternative<OpenConnection>(action) || std::holds_alternative<CloseConnection>(action) ||
            std::holds_alternative<Exit>(action)) {
            dropConnection();
        }
        if (std::holds_alternative<OpenConnection>(action)) connected = true;
        if (std::holds_alternative<StartReceiving>(action)) receiving = connected;
    }
    void dropConnection();

    // One connection the driver opened, and whether the input broke it.
    struct Connection {
        test::HeldSends sends;
        std::weak_ptr<test::HeldTransport> transport;
        bool broken = false;
    };
    std::exception_ptr endSend(const Connection& connection, std::string text);
    std::size_t endBrokenReceives();
    std::shared_ptr<test::HeldTransport> current() const {
        return connections.empty() ? nullptr : connections.back()->transport.lock();
    }

    test::ManualTimeline& timeline;
    test::World world;
    asio::io_context io;
    test::HeldTimers timers;
    test::RecordingDisplay display;
    std::shared_ptr<cli::ChatDriver> driver;
    std::size_t pollerKey = 0;
    std::vector<std::unique_ptr<Connection>> connections;  // the current one last
    Side* other = nullptr;
    bool connected = false;
    bool receiving = false;
    bool failNext = false;
    bool quitAsked = false;
    std::optional<int> exitStatus;
    std::deque<std::string> inTransit;  // sent, on the way to the other side
    std::multiset<std::string> typed;   // every line that may reach the other side
    std::vector<Output> shown;
};

void Side::dropConnection() {
    connected = false;
    receiving = false;
    other->inTransit.clear();  // what the relay had for this connection is gone with it
}

// Ends a send as the relay connection would: a text on the current connection goes on its way,
// one on a broken connection fails, as does one the input chose to fail.
std::exception_ptr Side::endSend(const Connection& connection, std::string text) {
    if (connection.broken) return std::make_exception_ptr(std::runtime_error("connection lost"));
    if (connected && std::exchange(failNext, false)) return std::make_exception_ptr(std::runtime_error("broken pipe"));
    if (connected && &connection == connections.back().get()) inTransit.push_back(std::move(text));
    return nullptr;
}

// A read of a broken connection learns of its end; returns how many did.
std::size_t Side::endBrokenReceives() {
    std::size_t ended = 0;
    for (const auto& connection : connections) {
        const auto transport = connection->transport.lock();
        if (connection->broken && transport && transport->hand(std::nullopt)) ++ended;
    }
    return ended;
}

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
    Pair(std::uint64_t seed, bool baseSide1, bool steadySide0 = false)
        : sides_{std::make_unique<Side>(0, seed, false, timeline_, steadySide0),
                 std::make_unique<Side>(1, seed ^ 0x7065657200000000ULL, baseSide1, timeline_)} {
        sides_[0]->other = sides_[1].get();
        sides_[1]->other = sides_[0].get();
    }

    Side& side(int who) { return *sides_[who]; }

    // The event, and everything the driver does about it until it waits for the next one.
    void feed(int who, Event event) {
        side(who).driver->feed(std::move(event));
        timeline_.settle();
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
        receive(who, std::move(text));
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
        const Observed before = Observed::of(s.driver->machine());
        receive(who, std::move(text));
        const Observed after = Observed::of(s.driver->machine());
        if (!before.receive || !before.sameSession(after) || (plain && !before.receive->tunnelRxKey)) return;
        // A record sent in answer steps the sending side of the ratchet: not compared.
        test::ReceiveState moved = *after.receive;
        moved.dhRatchetPending = before.receive->dhRatchetPending;
        moved.hasDHRatchetPrivateKey = before.receive->hasDHRatchetPrivateKey;
        require(*before.receive == moved, "a refused text leaves the session's receive state");
    }

    // Fires the timer due first on either side, moving the clock to it.
    bool fireNextTimer() { return timeline_.fireNext(); }

    void loseConnection(int who) {
        Side& s = side(who);
        const auto transport = s.current();
        if (!s.connected || !transport) return;
        s.dropConnection();
        s.connections.back()->broken = true;  // what it sends or reads from now on fails
        transport->hand(std::nullopt);
        timeline_.settle();
    }

    // Lets both sides meet: texts go across as soon as they can, timers fire when nothing can.
    void meet() {
        for (int step = 0; step < 200 && !bothActive(); ++step) {
            if (!deliver(0) && !deliver(1) && !fireNextTimer()) return;
        }
    }
    bool bothActive() {
        return side(0).driver->machine().phase() == Phase::active && side(1).driver->machine().phase() == Phase::active;
    }

private:
    void receive(int who, std::string text) {
        if (auto transport = side(who).current()) transport->hand(std::move(text));
        timeline_.settle();
    }

    test::ManualTimeline timeline_;
    std::unique_ptr<Side> sides_[2];
    std::vector<std::string> delivered_;
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
    const Output* last = nullptr;
    for (const Output& output : side.shown) {
        last = &output;
        if (const auto* line = std::get_if<LineReceived>(&output)) {
            const std::string_view text = line->line.view();
            ++received[std::string(text)];
            require(steersNothing(cli::TerminalText::neutralised(text)), "a received line reaches the terminal inert");
            continue;
        }
        // What was typed is shown as typed.
        if (std::holds_alternative<LineSent>(output) || std::holds_alternative<LineQueued>(output) ||
            std::holds_alternative<UnconfirmedLines>(output)) {
            continue;
        }
        test::RecordingDisplay drawn{side.timeline};
        drawn.show(output);
        for (const auto& line : drawn.lines) require(steersNothing(line), "the client's own lines are plain text");
    }
    for (const auto& [text, times] : received) {
        require(times <= other.typed.count(text), "a received line was sent by the peer, shown at most as often");
    }
    if (!side.exitStatus) return;
    if (*side.exitStatus == 0) {
        require(side.quitAsked, "a machine exits with status 0 only after a quit");
    } else {
        const auto* fatal = last ? std::get_if<FatalError>(last) : nullptr;
        require(*side.exitStatus == 1 && fatal && fatal->why == FatalError::Why::keyConfirmationFailed,
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
    auto longLine = [](std::uint8_t side, std::uint16_t length) {
        return fuzz::SeedWriter().u8(typeLong).u8(side).u16(length).u8('x').done();
    };
    auto longLines = [&](int count) {
        Bytes all;
        for (int i = 0; i < count; ++i) {
            const Bytes one = longLine(0, 48000);
            all.insert(all.end(), one.begin(), one.end());
        }
        return all;
    };
    constexpr std::uint8_t met = 8, base = 4, steady = 16;
    auto ticks = [&](int count) {
        Bytes all;
        for (int i = 0; i < count; ++i) {
            for (const Bytes& one : {op(nextTimer, 0), deliveries(1)}) all.insert(all.end(), one.begin(), one.end());
        }
        return all;
    };
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
        with(met, {longLine(0, 65535), op(connectionLost, 0), longLines(23), op(nextTimer, 0), deliveries(2)}),
        with(met | steady, {op(type, 0, "steady"), longLine(0, 600), ticks(4), op(connectionLost, 0), ticks(6)}),
        with(met | steady | base, {longLine(0, 600), op(type, 0, "fits"), ticks(4)}),
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
    Pair pair(worldSeeds[selector & 3], (selector & 4) != 0, (selector & 16) != 0);
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
            PFSChatSession* session = from.driver->machine().currentSession();
            if (!session || !session->isTunnelReady() || !from.connected) break;
            try {
                from.inTransit.push_back(protocol::sealTunnelText(*session, payload, testTime));
            } catch (const std::exception&) {
            }
            break;
        }
        case sealedLine: {
            // A genuine record of any line, with any line numbers.
            const std::string line = textOf(in.take(in.u16() % maxLineBytes));
            const protocol::LineNumbers numbers{in.u64(), in.u64()};
            Side& from = pair.side(1 - who);
            PFSChatSession* session = from.driver->machine().currentSession();
            if (!session || !session->isReady() || !from.connected) break;
            try {
                from.inTransit.push_back(protocol::sealChatLine(*session, testTime, asBytes(line), numbers));
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
        case typeLong: {
            // One byte repeated: a line past the longest a record takes, or enough of them to
            // fill the queue, in a few input bytes.
            const std::uint16_t length = in.u16();
            const std::string line(length, static_cast<char>(in.u8()));
            side.typed.insert(line);
            pair.feed(who, LineTyped{SecureText(line)});
            break;
        }
        case operationCount:
            break;
        }
    }
    checkWhatWasShown(pair.side(0), pair.side(1));
    checkWhatWasShown(pair.side(1), pair.side(0));
    return 0;
}
