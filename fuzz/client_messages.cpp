// The chat client's machine holding a real session, fed what the relay passes in each phase:
// waiting for its peer, half-way through the handshake (as initiator or responder), and active.
// The client is the test kit's bare ChatMachine (no io_context: the kit carries out its
// actions), its peer a protocol peer on the kit's simulated relay, both in fast deterministic
// worlds. The frames come as the relay would pass them: plain JSON,
// arbitrary text, tunnel frames the peer's real session sealed around arbitrary payloads (so
// that kex2, ready, msg and bye objects of any shape reach their handlers), genuine records,
// replays of earlier frames and dropped connections, interleaved with simulated time, typed
// lines and fresh handshakes.
//
// Input: one byte choosing the client's seed (bits 0-1, and with it the roles) and the phase
// (bits 2-3), then operations (see the switch below).
//
// Invariants: no crash and no exception out of the client; a frame from outside the peer's
// session (arbitrary text, or one the client has already taken) leaves the session's receive
// counters, chains and ratchet state as they were; every line shown as received is a line the
// peer sent in a genuine record, none is shown more often than it was sent, and on the
// terminal it could steer nothing; every other line shown is plain text; the client ends the
// process only with status 1 and the message of a wrong key confirmation.

#include <boost/json/serialize.hpp>

#include <map>
#include <set>

#include "Duoquill/Platform/Utf8.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "DuoquillCLI/TerminalText.h"
#include "FuzzTarget.h"
#include "Kit/MachineChat.h"
#include "Kit/SessionAccess.h"

using namespace duoquill;
using duoquill::fuzz::FuzzInput;
using duoquill::fuzz::require;
using duoquill::test::ReceiveState;

namespace {

constexpr std::uint64_t clientSeeds[4] = {0x11, 0x22, 0x33, 0x44};
constexpr int maxOperations = 64;

enum Phase : std::uint8_t { waiting, helloOnly, active, activeAfterTraffic };

enum Operation : std::uint8_t {
    rawFrame,
    peerTunnel,
    peerLine,
    passTime,
    dropConnection,
    userTypes,
    freshHandshake,
    replayFrame,
};

// The client of identity 0 and a peer of identity 1 that answers its hellos.
struct Rig {
    explicit Rig(std::uint64_t seed) : peerWorld(seed ^ 0x7065657200000000ULL, true), client(0, timeline, relay, seed) {}

    // Runs `seconds` of simulated time; the peer keeps the client's latest hello.
    void run(double seconds = 0.1) {
        timeline.runFor(seconds);
        while (const auto text = peer.next(0)) {
            if (auto hello = protocol::parsePlainFrame(*text); hello && hello->type == protocol::MessageType::hello) {
                clientHello = std::move(hello->object);
            }
        }
    }
    // A fresh peer session: its hello, and with `complete` the rest of the handshake.
    void handshake(bool complete) {
        peer.renewSession();
        peer.send(boost::json::serialize(peer.hello()));
        try {
            if (complete && clientHello) peer.handshake(*clientHello);
        } catch (const std::exception&) {
        }
        run();
    }
    void says(std::string_view line) {
        if (!peer.session().isReady()) return;
        peer.send(peer.msgFrame(std::string(line)));
        peerLines.insert(std::string(line));
    }

    test::ManualTimeline timeline;
    test::SimulatedRelay relay{timeline, 1};
    test::World peerWorld;
    SessionEnvironment peerEnvironment = peerWorld.environment();
    test::MachineProcess client;
    test::SimulatedPeer peer{relay, 1, client.world.clock, &peerEnvironment};
    std::optional<boost::json::object> clientHello;
    std::multiset<std::string> peerLines;  // each line the peer sent in a genuine record
};

// The session a frame reaches, and what taking a frame may move in it.
struct Observed {
    const PFSChatSession* session = nullptr;
    Bytes ephemeral;  // tells a new session at a reused address apart
    std::optional<ReceiveState> receive;
    cli::chat::Phase state;

    static Observed of(Rig& rig) {
        Observed o{.state = rig.client.machine->phase()};
        if (PFSChatSession* s = rig.client.machine->currentSession()) {
            o.session = s;
            o.ephemeral = s->ephemeralPublicKey().compressed();
            o.receive = ReceiveState::of(*s);
        }
        return o;
    }
    // The same session in the same state: the frame's way there takes simulated time, in which
    // the client's own timers may legitimately end the session.
    bool sameSession(const Observed& other) const {
        return session == other.session && ephemeral == other.ephemeral && state == other.state;
    }
};

// A frame the peer's session did not seal for this moment. Before the tunnel is up a plain
// hello may legitimately move the handshake; otherwise the frame may end the session (a plain
// hello or bye), but while the session stays it must leave its receive state untouched.
void deliverForeign(Rig& rig, std::string text) {
    rig.run();  // what was already on its way arrives first
    const bool plain = !text.empty() && text.front() == '{';
    const Observed before = Observed::of(rig);
    rig.peer.send(std::move(text));
    rig.run();
    const Observed after = Observed::of(rig);
    const bool mayHandshake = plain && before.receive && !before.receive->tunnelRxKey;
    if (before.session && before.sameSession(after) && !mayHandshake) {
        // A cover record sent on the way steps the sending side of the ratchet: not compared.
        ReceiveState moved = *after.receive;
        moved.dhRatchetPending = before.receive->dhRatchetPending;
        moved.hasDHRatchetPrivateKey = before.receive->hasDHRatchetPrivateKey;
        require(*before.receive == moved, "a refused frame leaves the session's receive state");
    }
}

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

void enterPhase(Rig& rig, std::uint8_t phase) {
    rig.run(0.5);
    if (phase == waiting) return;
    rig.handshake(phase != helloOnly);
    rig.run(0.5);
    if (phase == activeAfterTraffic) {
        rig.says("first line");
        rig.client.type("an answer");
        rig.run(3);
        rig.says("second line");
        rig.run(0.5);
    }
}

std::vector<Bytes> seeds() {
    auto with = [](std::uint8_t selector, std::initializer_list<Bytes> operations) {
        fuzz::SeedWriter w;
        w.u8(selector);
        for (const auto& op : operations) w.bytes(op);
        return w.done();
    };
    auto op = [](Operation kind, std::string_view text) {
        return fuzz::SeedWriter().u8(kind).u16(static_cast<std::uint16_t>(text.size())).bytes(asBytes(text)).done();
    };
    auto short_ = [](Operation kind, std::uint8_t value) { return fuzz::SeedWriter().u8(kind).u8(value).done(); };
    return {
        with(active << 2, {op(peerLine, "hello there"), short_(passTime, 20), op(peerLine, "again")}),
        with(active << 2 | 1, {op(peerTunnel, R"({"t":"msg","n":0,"d":"AAAA"})"), op(peerTunnel, protocol::encodeBye())}),
        with(activeAfterTraffic << 2 | 2, {short_(replayFrame, 3), op(userTypes, "typed"), short_(passTime, 40)}),
        with(helloOnly << 2, {op(peerTunnel, R"({"t":"ready","kc":"AAAA"})"), short_(passTime, 30)}),
        with(helloOnly << 2 | 3, {op(peerTunnel, R"({"t":"kex2","mc":"AAAA"})"), short_(freshHandshake, 1)}),
        with(waiting << 2, {op(rawFrame, protocol::encodePeerDisconnected()), op(rawFrame, protocol::encodeBye()),
                            short_(freshHandshake, 1), short_(passTime, 10)}),
        with(active << 2 | 1, {short_(dropConnection, 0), short_(passTime, 60), short_(freshHandshake, 1)}),
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
    Rig rig(clientSeeds[selector & 3]);
    enterPhase(rig, (selector >> 2) & 3);

    for (int i = 0; i < maxOperations && in.remaining() > 0 && !rig.client.exitStatus; ++i) {
        switch (in.u8() % 8) {
        case rawFrame: {
            const BytesView text = in.take(in.u16());
            deliverForeign(rig, std::string(text.begin(), text.end()));
            break;
        }
        case peerTunnel: {
            const BytesView payload = in.take(in.u16());
            if (rig.peer.session().isTunnelReady()) {
                rig.peer.sendTunneled({reinterpret_cast<const char*>(payload.data()), payload.size()});
            }
            break;
        }
        case peerLine: {
            const BytesView line = in.take(in.u16() % 512);
            rig.says({reinterpret_cast<const char*>(line.data()), line.size()});
            break;
        }
        case passTime:
            rig.run(0.25 * in.u8());
            break;
        case dropConnection:
            in.u8();
            rig.relay.cutConnectionOf(0);
            break;
        case userTypes: {
            const BytesView line = in.take(in.u16() % 512);
            rig.client.type(std::string(line.begin(), line.end()));
            break;
        }
        case freshHandshake:
            rig.handshake(in.u8() & 1);
            break;
        case replayFrame: {
            const std::uint8_t index = in.u8();
            const auto& taken = rig.relay.deliveredTo(0);
            if (!taken.empty()) deliverForeign(rig, taken[index % taken.size()]);
            break;
        }
        }
        rig.run();
    }
    if (!rig.client.exitStatus) rig.run(30);

    std::map<std::string, int> shown;
    std::string last;
    for (const auto& line : rig.client.display.lines) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        last = line;
        const std::string_view kind = std::string_view(line).substr(0, colon), text = std::string_view(line).substr(colon + 1);
        if (kind == "received") {
            ++shown[std::string(text)];
            require(steersNothing(cli::TerminalText::neutralised(text)), "a received line reaches the terminal inert");
        } else if (kind != "sent" && kind != "queued") {  // both echo what was typed
            require(steersNothing(text), "the client's own lines are plain text");
        }
    }
    for (const auto& [text, times] : shown) {
        require(static_cast<std::size_t>(times) <= rig.peerLines.count(text),
                "a received line is one the peer sent, shown at most as often as sent");
    }
    if (rig.client.exitStatus) {
        require(*rig.client.exitStatus == 1 && last == "error:Key confirmation failed",
                "the client ends only on a wrong key confirmation");
    }
    return 0;
}
