#include "SimulatedRelay.h"

#include <algorithm>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <stdexcept>

namespace asio = boost::asio;

namespace duoquill::test {

namespace {
constexpr std::size_t keptFrames = 16;
const std::string peerDisconnected = R"({"t":"peer-disconnected"})";
}  // namespace

struct SimulatedRelay::Connection {
    int owner = 0;
    std::string path;
    asio::any_io_executor executor;
    bool clientAlive = true;      // the process still exists
    bool closedByClient = false;  // disconnect() was called
    bool member = false;          // joined a room and not yet gone
    bool gone = false;            // left the relay, for whatever reason
    bool closeDelivered = false;  // the client has been told the connection ended
    std::deque<std::string> inbox;
    std::function<void(std::exception_ptr, std::string)> waiter;
    double lastUpstream = 0;    // FIFO towards the relay
    double lastDownstream = 0;  // FIFO towards the client
    double lastHeard = 0;

    void complete() {
        if (!waiter || !clientAlive) return;
        if (!inbox.empty()) {
            auto w = std::move(waiter);
            waiter = nullptr;
            std::string text = std::move(inbox.front());
            inbox.pop_front();
            w(nullptr, std::move(text));
        } else if (closeDelivered) {
            auto w = std::move(waiter);
            waiter = nullptr;
            w(std::make_exception_ptr(std::runtime_error("connection closed")), {});
        }
    }
};

class SimulatedTransport final : public cli::ChatTransport {
public:
    SimulatedTransport(SimulatedRelay& relay, asio::any_io_executor executor, int owner)
        : relay_(relay), alive_(relay.alive_), executor_(std::move(executor)), owner_(owner) {}

    ~SimulatedTransport() override {
        // A transport dropped without disconnect(): the connection goes with it.
        if (connection_ && !connection_->closedByClient && connection_->clientAlive && *alive_) {
            connection_->closedByClient = true;
            auto c = connection_;
            relay_.scheduleUpstream(c, [relay = &relay_, c] { relay->leave(c); });
        }
    }

    void connect(const std::string& url) override {
        auto c = std::make_shared<SimulatedRelay::Connection>();
        c->owner = owner_;
        const auto slash = url.rfind('/');
        c->path = slash == std::string::npos ? url : url.substr(slash + 1);
        c->executor = executor_;
        connection_ = c;
        if (relay_.refusing_) {
            c->gone = true;
            c->closeDelivered = true;
            return;
        }
        relay_.connections_.push_back(c);
        ++relay_.connectionsOpened_;
        relay_.scheduleUpstream(c, [relay = &relay_, c] { relay->join(c); });
    }

    asio::awaitable<void> send(std::string text) override {
        auto c = connection_;
        if (!c || c->closedByClient) throw std::runtime_error("notConnected");
        if (c->closeDelivered) throw std::runtime_error("connection closed");
        relay_.scheduleUpstream(c, [relay = &relay_, c, text = std::move(text)] { relay->receiveFrame(c, text); });
        co_return;
    }

    asio::awaitable<std::string> receive() override {
        auto c = connection_;
        if (!c || c->closedByClient) throw std::runtime_error("notConnected");
        // A named initiation: GCC 12 destroys closures built inside a co_await expression twice.
        auto initiation = [c](auto handler) {
                using Handler = decltype(handler);
                auto slot = std::make_shared<Handler>(std::move(handler));
                c->waiter = [slot, executor = c->executor](std::exception_ptr error, std::string text) {
                    asio::post(executor, [slot, error, text = std::move(text)]() mutable {
                        (*slot)(error, std::move(text));
                    });
                };
                c->complete();
            };
        std::string text = co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, std::string)>(
            std::move(initiation), asio::use_awaitable);
        co_return text;
    }

    asio::awaitable<void> disconnect() override {
        auto c = connection_;
        if (!c || c->closedByClient) co_return;
        c->closedByClient = true;
        c->closeDelivered = true;
        c->inbox.clear();
        c->complete();
        relay_.scheduleUpstream(c, [relay = &relay_, c] { relay->leave(c); });
        co_return;
    }

private:
    SimulatedRelay& relay_;
    std::shared_ptr<bool> alive_;
    asio::any_io_executor executor_;
    int owner_;
    std::shared_ptr<SimulatedRelay::Connection> connection_;
};

SimulatedRelay::SimulatedRelay(cli::ManualTimeline& timeline, std::uint64_t seed, double minLatency, double maxLatency)
    : timeline_(timeline), random_(seed), minLatency_(minLatency), maxLatency_(maxLatency) {}

SimulatedRelay::~SimulatedRelay() {
    *alive_ = false;
    for (auto& c : connections_) c->waiter = nullptr;
}

double SimulatedRelay::latency() {
    return std::uniform_real_distribution<double>(minLatency_, maxLatency_)(random_);
}

std::shared_ptr<cli::ChatTransport> SimulatedRelay::makeTransport(asio::any_io_executor executor, int owner) {
    return std::make_shared<SimulatedTransport>(*this, std::move(executor), owner);
}

void SimulatedRelay::scheduleUpstream(const std::shared_ptr<Connection>& c, std::function<void()> action) {
    const double at = std::max(timeline_.now() + latency(), c->lastUpstream);
    c->lastUpstream = at;
    timeline_.schedule(at - timeline_.now(), [alive = alive_, action = std::move(action)] {
        if (*alive) action();
    });
}

void SimulatedRelay::deliver(const std::shared_ptr<Connection>& c, std::string text) {
    if (c->gone) return;
    delivered_[c->owner].push_back(text);
    const double at = std::max(timeline_.now() + latency(), c->lastDownstream);
    c->lastDownstream = at;
    timeline_.schedule(at - timeline_.now(), [alive = alive_, c, text = std::move(text)]() mutable {
        if (!*alive || c->closeDelivered || !c->clientAlive) return;
        c->inbox.push_back(std::move(text));
        c->complete();
    });
}

void SimulatedRelay::join(const std::shared_ptr<Connection>& c) {
    if (c->gone || c->closedByClient || !c->clientAlive) {
        c->gone = true;
        return;
    }
    auto& room = rooms_[c->path];
    if (room.members.size() >= 2) {
        // A restarted client is the usual cause: the member heard from longest ago goes.
        auto oldest = *std::min_element(room.members.begin(), room.members.end(),
                                        [](const auto& a, const auto& b) { return a->lastHeard < b->lastHeard; });
        cut(oldest);
    }
    c->member = true;
    c->lastHeard = timeline_.now();
    room.members.push_back(c);
    if (room.members.size() == 2) {
        while (!room.kept.empty()) {
            deliver(c, std::move(room.kept.front()));
            room.kept.pop_front();
        }
    }
}

void SimulatedRelay::receiveFrame(const std::shared_ptr<Connection>& c, const std::string& text) {
    if (!c->member || c->gone) return;
    c->lastHeard = timeline_.now();
    const bool plain = !text.empty() && text.front() == '{';
    if (!plain && loseNext_[c->owner]) {
        loseNext_[c->owner] = false;
        lastLoss_ = timeline_.now();
        return;
    }
    if (plain && text.find(R"("t":"hello")") != std::string::npos) hellos_[c->owner].push_back(text);
    auto& room = rooms_[c->path];
    for (auto& other : room.members) {
        if (other != c) {
            deliver(other, text);
            return;
        }
    }
    room.kept.push_back(text);
    if (room.kept.size() > keptFrames) room.kept.pop_front();
}

void SimulatedRelay::leave(const std::shared_ptr<Connection>& c) {
    if (c->gone) return;
    c->gone = true;
    if (!c->member) return;
    c->member = false;
    auto& room = rooms_[c->path];
    std::erase(room.members, c);
    if (room.members.empty()) {
        room.kept.clear();
    } else {
        for (auto& other : room.members) deliver(other, peerDisconnected);
    }
}

void SimulatedRelay::cut(const std::shared_ptr<Connection>& c) {
    if (c->gone) return;
    leave(c);
    // The client learns of the end after what was already on its way.
    const double at = std::max(timeline_.now() + latency(), c->lastDownstream);
    c->lastDownstream = at;
    timeline_.schedule(at - timeline_.now(), [alive = alive_, c] {
        if (!*alive || !c->clientAlive) return;
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
        if (!c->gone) scheduleUpstream(c, [this, c] { leave(c); });
    }
    std::erase_if(connections_, [owner](const auto& c) { return c->owner == owner; });
}

void SimulatedRelay::cutConnectionOf(int owner) {
    for (auto& [path, room] : rooms_) {
        for (auto member : std::vector(room.members)) {
            if (member->owner == owner) cut(member);
        }
    }
}

void SimulatedRelay::restart() {
    for (auto& c : std::vector(connections_)) {
        if (c->gone) continue;
        if (c->member) {
            cut(c);
        } else {
            // Not joined yet: it will find no relay behind it.
            c->gone = true;
            timeline_.schedule(latency(), [alive = alive_, c] {
                if (!*alive || !c->clientAlive) return;
                c->closeDelivered = true;
                c->complete();
            });
        }
    }
    rooms_.clear();
}

void SimulatedRelay::loseNextTunnelFrameFrom(int owner) { loseNext_[owner] = true; }

bool SimulatedRelay::hasLossPending() const {
    return std::any_of(loseNext_.begin(), loseNext_.end(), [](const auto& entry) { return entry.second; });
}

bool SimulatedRelay::replayOldHello(int owner) {
    const auto& sent = hellos_[owner];
    if (sent.size() < 2) return false;
    const auto pick = std::uniform_int_distribution<std::size_t>(0, sent.size() - 2)(random_);
    const std::string hello = sent[pick];
    for (auto& [path, room] : rooms_) {
        for (auto& member : room.members) {
            if (member->owner != owner) {
                deliver(member, hello);
                return true;
            }
        }
    }
    return false;
}

const std::vector<std::string>& SimulatedRelay::deliveredTo(int owner) const {
    static const std::vector<std::string> none;
    const auto it = delivered_.find(owner);
    return it == delivered_.end() ? none : it->second;
}

std::size_t SimulatedRelay::memberCount(const std::string& path) const {
    const auto it = rooms_.find(path);
    return it == rooms_.end() ? 0 : it->second.members.size();
}

}  // namespace duoquill::test
