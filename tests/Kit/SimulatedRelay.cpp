#include "Kit/SimulatedRelay.h"

#include <algorithm>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <deque>
#include <optional>
#include <stdexcept>
#include <vector>

#include "Duoquill/Protocol/RelayMessages.h"
#include "Duoquill/Protocol/TunnelPipeline.h"

namespace asio = boost::asio;

namespace duoquill::test {

ManualTimeline::EventId ManualTimeline::schedule(double delay, std::function<void()> fire) {
    const EventId id = nextId_++;
    events_.emplace(Key{now_ + std::max(delay, 0.0), id}, std::move(fire));
    return id;
}

void ManualTimeline::cancel(EventId id) {
    const auto event = std::ranges::find_if(events_, [id](const auto& e) { return e.first.id == id; });
    // Take the callback out before destroying it: its destructor may reach back into us.
    if (event != events_.end()) events_.extract(event);
}

void ManualTimeline::pollAll() {
    for (std::size_t round = 1; round != 0;) {
        round = 0;
        // Copy the keys: a handler may attach or detach executors.
        std::vector<std::size_t> keys;
        for (const auto& [key, poll] : pollers_) keys.push_back(key);
        for (const auto key : keys) if (const auto it = pollers_.find(key); it != pollers_.end()) round += it->second();
    }
}

void ManualTimeline::runUntil(double until, const std::function<bool()>& stopWhen) {
    for (;;) {
        pollAll();
        if (stopWhen && stopWhen()) return;
        if (events_.empty() || events_.begin()->first.deadline > until) {
            now_ = std::max(now_, until);
            return;
        }
        fireFirst();
    }
}

void ManualTimeline::fireFirst() {
    auto node = events_.extract(events_.begin());
    now_ = std::max(now_, node.key().deadline);
    node.mapped()();
}

bool ManualTimeline::fireNext() {
    pollAll();
    if (events_.empty()) return false;
    fireFirst();
    pollAll();
    return true;
}

struct SimulatedRelay::Connection final : relay::RoomMember, std::enable_shared_from_this<Connection> {
    SimulatedRelay* relay = nullptr;
    int owner = 0;
    std::string path;
    std::weak_ptr<relay::Room> room;  // while a member (the room holds the member)
    Connection(SimulatedRelay* r, int o, std::string p) : relay(r), owner(o), path(std::move(p)) {}
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

// Each completion is posted to the transport's executor.
class SimulatedRelay::Transport final : public cli::ChatTransport {
public:
    Transport(SimulatedRelay& relay, int owner, asio::any_io_executor executor)
        : relay_(relay), owner_(owner), executor_(std::move(executor)) {}

    ~Transport() override {
        if (!c_ || c_->closedByClient || !c_->clientAlive) return;
        c_->closedByClient = true;
        c_->waiter = nullptr;
        leaveLater();
    }

    void connect(const std::string& url) override {
        c_ = std::make_shared<Connection>(&relay_, owner_, url.substr(url.rfind('/') + 1));
        relay_.connections_.push_back(c_);
        relay_.schedule(c_->lastUpstream, [&relay = relay_, c = c_] { relay.join(c); });
    }

    asio::awaitable<void> send(std::string text) override {
        if (!c_ || c_->closedByClient) throw std::runtime_error("notConnected");
        if (c_->closeDelivered) throw std::runtime_error("connection closed");
        relay_.schedule(c_->lastUpstream, [&relay = relay_, c = c_, text = std::move(text)] { relay.receiveFrame(c, text); });
        co_return;
    }

    // A later receive replaces a receiver not yet called.
    asio::awaitable<std::string> receive() override {
        if (!c_) throw std::runtime_error("notConnected");
        // A named initiation: GCC 12 destroys closures built inside a co_await expression twice.
        auto initiation = [this](auto handler) {
            auto slot = std::make_shared<decltype(handler)>(std::move(handler));
            c_->waiter = [slot, executor = executor_](std::optional<std::string> text) {
                asio::post(executor, [slot, text = std::move(text)]() mutable {
                    if (!text) return (*slot)(std::make_exception_ptr(std::runtime_error("connection closed")), std::string());
                    (*slot)(nullptr, std::move(*text));
                });
            };
            if (c_->closedByClient) return std::exchange(c_->waiter, nullptr)(std::nullopt);
            c_->complete();
        };
        co_return co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, std::string)>(
            std::move(initiation), asio::use_awaitable);
    }

    // Closes with code 1000: the connection leaves after what was sent on it.
    asio::awaitable<void> disconnect() override {
        if (c_ && !c_->closedByClient) {
            c_->closedByClient = c_->closeDelivered = true;
            c_->inbox.clear();
            c_->complete();
            leaveLater();
        }
        co_return;
    }

private:
    void leaveLater() { relay_.schedule(c_->lastUpstream, [&relay = relay_, c = c_] { relay.leave(c); }); }

    SimulatedRelay& relay_;
    int owner_;
    asio::any_io_executor executor_;
    ConnectionPtr c_;
};

std::shared_ptr<cli::ChatTransport> SimulatedRelay::transport(int owner, asio::any_io_executor executor) {
    return std::make_shared<Transport>(*this, owner, std::move(executor));
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

void SimulatedRelay::receiveFrame(const ConnectionPtr& c, const std::string& sent) {
    const auto room = c->room.lock();
    if (!room || c->gone) return;
    const auto rewrite = rewriting_.find(c->owner);
    const std::string text = rewrite != rewriting_.end() && rewrite->second ? rewrite->second(sent) : sent;
    c->lastHeard = timeline_.now();
    const auto message = protocol::parsePlainFrame(text);
    if (!message && loseNext_[c->owner]) {
        loseNext_[c->owner] = false;
        lastLoss_ = timeline_.now();
        return;
    }
    if (message && message->type == protocol::MessageType::hello) hellos_[c->owner].push_back(text);
    if (seen_.size() < 4096) seen_.push_back(text);
    room->forward(*c, std::make_shared<const std::string>(text));
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
    for (auto& c : std::vector(connections_)) if (c->owner == owner && !c->room.expired() && !c->gone) cut(c);
}

void SimulatedRelay::restart() {
    // Members are cut (each one's leaving may reach the other first); a connection not yet
    // joined finds no relay behind it.
    for (auto& c : std::vector(connections_)) if (!c->gone) cut(c);
    rooms_ = std::make_unique<relay::RoomRegistry>(relay::Room::BacklogLimits{});
}

void SimulatedRelay::replayOldHello(int owner) {
    const auto& sent = hellos_[owner];
    if (sent.size() < 2) return;
    const std::string hello = sent[std::uniform_int_distribution<std::size_t>(0, sent.size() - 2)(random_)];
    for (auto& c : connections_) if (c->owner != owner && !c->room.expired() && !c->gone) return deliver(c, hello);
}

void SimulatedRelay::sendAs(int owner, std::string text) {
    for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
        const ConnectionPtr& c = *it;
        if (c->owner != owner || c->gone || c->room.expired()) continue;
        schedule(c->lastUpstream, [this, c, text = std::move(text)] { receiveFrame(c, text); });
        return;
    }
}

}  // namespace duoquill::test
