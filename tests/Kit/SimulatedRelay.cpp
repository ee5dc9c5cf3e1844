#include "Kit/SimulatedRelay.h"

#include <algorithm>
#include <deque>
#include <stdexcept>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Primitives/Sha2.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "Kit/World.h"

namespace duoquill::test {

struct SimulatedRelay::Connection final : relay::RoomMember, std::enable_shared_from_this<Connection> {
    SimulatedRelay* relay = nullptr;
    int owner = 0;
    std::string path;
    std::weak_ptr<relay::Room> room;  // while a member (the room holds the member)
    bool clientAlive = true;      // the process still exists
    bool closedByClient = false;  // disconnected or dropped by its client
    bool gone = false;            // left the relay, for whatever reason
    bool closeDelivered = false;  // the client has been told the connection ended
    std::deque<std::string> inbox;
    std::function<void(std::optional<std::string>)> waiter;
    double lastUpstream = 0;    // FIFO towards the relay
    double lastDownstream = 0;  // FIFO towards the client
    double lastHeard = 0;

    void deliver(relay::Frame frame) override { relay->deliver(shared_from_this(), *frame); }
    void displace() override {
        room.reset();
        relay->closeLater(shared_from_this());
    }
    std::chrono::steady_clock::time_point lastReceived() const override {
        return std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(lastHeard)));
    }

    void complete() {
        if (!waiter || !clientAlive || (inbox.empty() && !closeDelivered)) return;
        auto w = std::exchange(waiter, nullptr);
        if (inbox.empty()) return w(std::nullopt);
        std::string text = std::move(inbox.front());
        inbox.pop_front();
        w(std::move(text));
    }
};

SimulatedRelay::SimulatedRelay(ManualTimeline& timeline, std::uint64_t seed)
    : timeline_(timeline), random_(seed), rooms_(std::make_unique<relay::RoomRegistry>(relay::Room::BacklogLimits{})) {}

SimulatedRelay::~SimulatedRelay() {
    *alive_ = false;
    for (auto& c : connections_) c->waiter = nullptr;
}

SimulatedRelay::ConnectionPtr SimulatedRelay::connect(int owner, const std::string& url) {
    return open(owner, url.substr(url.rfind('/') + 1));
}

SimulatedRelay::ConnectionPtr SimulatedRelay::open(int owner, const std::string& path) {
    auto c = std::make_shared<Connection>();
    c->relay = this;
    c->owner = owner;
    c->path = path;
    connections_.push_back(c);
    schedule(c->lastUpstream, [this, c] { join(c); });
    return c;
}

std::optional<std::string> SimulatedRelay::send(const ConnectionPtr& c, std::string text) {
    if (c->closedByClient) return "notConnected";
    if (c->closeDelivered) return "connection closed";
    schedule(c->lastUpstream, [this, c, text = std::move(text)] { receiveFrame(c, text); });
    return std::nullopt;
}

void SimulatedRelay::receive(const ConnectionPtr& c, std::function<void(std::optional<std::string>)> receiver) {
    if (c->closedByClient) return receiver(std::nullopt);
    c->waiter = std::move(receiver);
    c->complete();
}

void SimulatedRelay::disconnect(const ConnectionPtr& c) {
    if (c->closedByClient) return;
    c->closedByClient = c->closeDelivered = true;
    c->inbox.clear();
    c->complete();
    schedule(c->lastUpstream, [this, c] { leave(c); });
}

void SimulatedRelay::drop(const ConnectionPtr& c) {
    if (c->closedByClient || !c->clientAlive) return;
    c->closedByClient = true;
    c->waiter = nullptr;
    schedule(c->lastUpstream, [this, c] { leave(c); });
}

// Runs `action` after a hop's latency, never before the previous action of its direction.
void SimulatedRelay::schedule(double& last, std::function<void()> action) {
    last = std::max(timeline_.now() + latency(), last);
    timeline_.schedule(last - timeline_.now(), [alive = alive_, action = std::move(action)] {
        if (*alive) action();
    });
}

void SimulatedRelay::deliver(const ConnectionPtr& c, std::string text) {
    if (c->gone) return;
    delivered_[c->owner].push_back(text);
    if (hostile_ && below(6) == 0) {
        switch (below(6)) {
        case 0: return;                                     // dropped
        case 1: push(c, text); break;                       // twice
        case 2: text.resize(below(text.size() + 1)); break;  // cut short
        case 3:
            if (!text.empty()) text[below(text.size())] ^= static_cast<char>(1u << below(8));
            break;
        case 4: {
            const std::size_t pick = below(seen_.size() + 2);
            push(c, pick == 0 ? protocol::encodeBye() : pick == 1 ? protocol::encodePeerDisconnected() : seen_[pick - 2]);
            break;
        }
        case 5: return push(c, std::move(text), 0.6);  // overtaken by what follows
        }
    }
    push(c, std::move(text));
}

void SimulatedRelay::push(const ConnectionPtr& c, std::string text, double extraDelay) {
    auto arrive = [c, text = std::move(text)]() mutable {
        if (c->closeDelivered || !c->clientAlive) return;
        c->inbox.push_back(std::move(text));
        c->complete();
    };
    if (extraDelay == 0) return schedule(c->lastDownstream, std::move(arrive));
    timeline_.schedule(latency() + extraDelay, [alive = alive_, arrive = std::move(arrive)]() mutable {
        if (*alive) arrive();
    });
}

void SimulatedRelay::join(const ConnectionPtr& c) {
    if (c->gone || c->closedByClient || !c->clientAlive) {
        c->gone = true;
        return;
    }
    c->lastHeard = timeline_.now();
    c->room = rooms_->join(c->path, c).room;
}

void SimulatedRelay::receiveFrame(const ConnectionPtr& c, const std::string& text) {
    const auto room = c->room.lock();
    if (!room || c->gone) return;
    c->lastHeard = timeline_.now();
    const auto message = protocol::parsePlainFrame(text);
    const bool plain = message.has_value();
    if (!plain && loseNext_[c->owner]) {
        loseNext_[c->owner] = false;
        lastLoss_ = timeline_.now();
        return;
    }
    if (plain && message->type == protocol::MessageType::hello) hellos_[c->owner].push_back(text);
    if (seen_.size() < 4096) seen_.push_back(text);
    std::string forwarded = text;
    if (const auto at = forwarded.find("\"ct\":\""); spoilingHellos_ && plain && at != std::string::npos &&
                                                      message->type == protocol::MessageType::hello) {
        char& spoiled = forwarded[at + 6 + below(100)];
        spoiled = spoiled == 'A' ? 'B' : 'A';
    }
    room->forward(*c, std::make_shared<const std::string>(std::move(forwarded)));
}

void SimulatedRelay::leave(const ConnectionPtr& c) {
    if (c->gone) return;
    c->gone = true;
    if (auto room = std::exchange(c->room, {}).lock()) rooms_->leave(room, *c);
}

void SimulatedRelay::cut(const ConnectionPtr& c) {
    leave(c);
    closeLater(c);
}

// The client learns of the end after what was already on its way.
void SimulatedRelay::closeLater(const ConnectionPtr& c) {
    c->gone = true;
    schedule(c->lastDownstream, [c] {
        if (!c->clientAlive) return;
        c->closeDelivered = true;
        c->complete();
    });
}

void SimulatedRelay::processDied(int owner) {
    for (auto& c : connections_) {
        if (c->owner != owner || !c->clientAlive) continue;
        c->clientAlive = false;
        c->waiter = nullptr;
        c->inbox.clear();
        if (!c->gone) schedule(c->lastUpstream, [this, c] { leave(c); });
    }
    std::erase_if(connections_, [owner](const auto& c) { return c->owner == owner; });
}

void SimulatedRelay::cutConnectionOf(int owner) {
    for (auto& c : std::vector(connections_)) {
        if (c->owner == owner && !c->room.expired() && !c->gone) cut(c);
    }
}

void SimulatedRelay::restart() {
    // Members are cut (each one's leaving may reach the other first); a connection not yet
    // joined finds no relay behind it.
    for (auto& c : std::vector(connections_)) {
        if (!c->gone) cut(c);
    }
    rooms_ = std::make_unique<relay::RoomRegistry>(relay::Room::BacklogLimits{});
}

bool SimulatedRelay::hasLossPending() const {
    return std::any_of(loseNext_.begin(), loseNext_.end(), [](const auto& entry) { return entry.second; });
}

void SimulatedRelay::replayOldHello(int owner) {
    const auto& sent = hellos_[owner];
    if (sent.size() < 2) return;
    const std::string hello = sent[std::uniform_int_distribution<std::size_t>(0, sent.size() - 2)(random_)];
    for (auto& c : connections_) {
        if (c->owner != owner && !c->room.expired() && !c->gone) return deliver(c, hello);
    }
}

SimulatedPeer::SimulatedPeer(SimulatedRelay& relay, int owner, const Clock& dayClock,
                             const SessionEnvironment* environment)
    : relay_(relay),
      key_(World::identityKey(owner)),
      peerPublicKey_(World::identityKey(1 - owner).publicKey()),
      environment_(environment ? *environment : SessionEnvironment{.epochDirectory = epochDirectory_.path()}) {
    const SecureBytes roomKeyData = key_.sharedSecret(peerPublicKey_);
    roomCode_ = KeyHelpers::deriveRoomCode(roomKeyData);
    connection_ = relay.open(owner, KeyHelpers::deriveRoomToken(roomKeyData, dayClock));
    renewSession();
}

SimulatedPeer::~SimulatedPeer() { relay_.processDied(connection_->owner); }

void SimulatedPeer::send(std::string text) {
    relay_.schedule(connection_->lastUpstream, [relay = &relay_, c = connection_, text = std::move(text)] {
        relay->receiveFrame(c, text);
    });
}

std::optional<std::string> SimulatedPeer::next(double seconds) {
    relay_.timeline_.runFor(seconds, [this] { return !connection_->inbox.empty(); });
    if (connection_->inbox.empty()) return std::nullopt;
    std::string text = std::move(connection_->inbox.front());
    connection_->inbox.pop_front();
    return text;
}

void SimulatedPeer::renewSession() {
    session_.reset();
    session_ = std::make_unique<PFSChatSession>(environment_, SoftwareKeyStore::wrap(key_), peerPublicKey_, roomCode_);
}

void SimulatedPeer::sendTunneled(std::string_view jsonText) { send(protocol::sealTunnelText(*session_, jsonText)); }

std::optional<boost::json::object> SimulatedPeer::nextOfType(const std::string& type, double seconds, bool tunneled) {
    for (const double until = relay_.timeline_.now() + seconds; relay_.timeline_.now() <= until;) {
        const auto text = next(until - relay_.timeline_.now());
        if (!text) return std::nullopt;
        auto message = !tunneled                    ? protocol::parsePlainFrame(*text)
                       : session_->isTunnelReady() ? protocol::openTunnelText(*session_, *text)
                                                   : std::nullopt;
        if (message && message->typeName == type) return std::move(message->object);
    }
    return std::nullopt;
}

std::optional<boost::json::object> SimulatedPeer::nextPlain(const std::string& type, double seconds) {
    return nextOfType(type, seconds, false);
}

boost::json::object SimulatedPeer::hello() const {
    const std::string keyId = base64URLString(sha512(asBytes(base64URLString(key_.publicKey().compressed()))));
    const protocol::Hello hello{keyId, session_->authCiphertext(), session_->authEncapKey(),
                                session_->mlkemPublicKeyData()};
    return protocol::parseRelayMessage(protocol::encode(hello))->object;
}

bool SimulatedPeer::handshake(const boost::json::object& clientHello, std::optional<std::string> kcOverride) {
    const auto hello = protocol::decodeHello({protocol::MessageType::hello, "hello", clientHello});
    if (!hello || !hello->mlk) throw std::runtime_error("the client's hello does not decode");
    session_->completeHandshake(hello->ct, hello->ek, *hello->mlk);
    if (*session_->isInitiator()) {
        sendTunneled(protocol::encode(protocol::Kex2{session_->performPQKeyExchange()}));
        session_->completePQInitiator();
    } else {
        const auto kex2 = nextOfType("kex2", 5.0, true);
        const auto mc = kex2 ? protocol::decodeKex2({protocol::MessageType::kex2, "kex2", *kex2}) : std::nullopt;
        if (!mc) return false;
        session_->completePQKeyExchange(mc->mc);
    }
    const auto kc = kcOverride ? bytesFromBase64URLString(*kcOverride) : toBytes(*session_->localKeyConfirmation());
    sendTunneled(protocol::encode(protocol::Ready{kc.value(), {}}));
    return true;
}

std::string SimulatedPeer::msgFrame(const std::string& line) {
    return protocol::sealChatLine(*session_, asBytes(line));
}

}  // namespace duoquill::test
