#include "HostileRelay.h"

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <deque>
#include <stdexcept>

namespace duoquill::test {

namespace asio = boost::asio;

// One client connection: the client's end (an inbox its receive() waits on) and the relay's
// end (a room member).
struct HostileRelay::Link final : relay::RoomMember, std::enable_shared_from_this<Link> {
    explicit Link(HostileRelay& r) : relay(r) {}

    void deliver(relay::Frame frame) override { relay.downstream(shared_from_this(), *frame); }
    void displace() override { drop(); }
    std::chrono::steady_clock::time_point lastReceived() const override { return heard; }

    void push(std::string text) {
        inbox.push_back(std::move(text));
        if (wake) wake->cancel();
    }
    void drop() {
        failed = true;
        if (wake) wake->cancel();
    }

    HostileRelay& relay;
    // The timer a receive() sleeps on. It lives in that coroutine, on the client's executor,
    // so it goes with the client even when the link outlives it.
    asio::steady_timer* wake = nullptr;
    std::deque<std::string> inbox;
    std::shared_ptr<relay::Room> room;
    std::chrono::steady_clock::time_point heard;
    double lastArrival[2] = {0, 0};  // per direction (0 down, 1 up): keeps frames in order
    bool closedByClient = false;
    bool failed = false;
};

class ProxyTransport final : public cli::ChatTransport {
public:
    explicit ProxyTransport(std::shared_ptr<HostileRelay::Link> link) : link_(std::move(link)) {}

    void connect(const std::string& url) override {
        const std::string token = url.substr(url.rfind('/') + 1);
        auto& relay = link_->relay;
        relay.timeline_.schedule(relay.latency(), [alive = relay.alive_, link = link_, token] {
            if (*alive) link->relay.join(link, token);
        });
    }

    asio::awaitable<void> send(std::string text) override {
        if (link_->closedByClient || link_->failed) throw std::runtime_error("notConnected");
        link_->relay.upstream(link_, std::move(text));
        co_return;
    }

    asio::awaitable<std::string> receive() override {
        auto link = link_;
        asio::steady_timer wake(co_await asio::this_coro::executor);
        struct Waiting {
            HostileRelay::Link& link;
            ~Waiting() { link.wake = nullptr; }
        } waiting{*link};
        link->wake = &wake;
        while (link->inbox.empty() && !link->failed && !link->closedByClient) {
            wake.expires_at(asio::steady_timer::time_point::max());
            boost::system::error_code ignored;
            co_await wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
        if (link->failed || link->closedByClient) throw std::runtime_error("connection closed");
        std::string text = std::move(link->inbox.front());
        link->inbox.pop_front();
        co_return text;
    }

    asio::awaitable<void> disconnect() override {
        if (link_->closedByClient) co_return;
        link_->closedByClient = true;
        if (link_->wake) link_->wake->cancel();
        link_->relay.leave(link_);
        co_return;
    }

private:
    std::shared_ptr<HostileRelay::Link> link_;
};

HostileRelay::HostileRelay(cli::ManualTimeline& timeline, std::uint64_t seed)
    : timeline_(timeline), random_(seed), registry_(relay::Room::BacklogLimits{}) {}

HostileRelay::~HostileRelay() {
    *alive_ = false;
    for (auto& link : links_) {
        if (link->room) link->room->leave(*link);
    }
}

std::shared_ptr<cli::ChatTransport> HostileRelay::makeTransport() {
    auto link = std::make_shared<Link>(*this);
    links_.push_back(link);
    ++connections;
    return std::make_shared<ProxyTransport>(link);
}

double HostileRelay::latency() { return std::uniform_real_distribution<double>(0.005, 0.08)(random_); }

HostileRelay::Action HostileRelay::draw(const std::string& frame) {
    if (!hostile_) return Action::pass;
    // About one frame in six meets trouble.
    const int roll = std::uniform_int_distribution<int>(0, 5 * (actionCount - 1) - 1)(random_);
    if (roll >= actionCount - 1) return Action::pass;
    const auto action = static_cast<Action>(roll + 1);
    const bool hello = frame.find(R"("t":"hello")") != std::string::npos;
    return action == Action::flipBit && hello ? Action::pass : action;
}

std::string HostileRelay::injected() {
    const int pick = std::uniform_int_distribution<int>(0, 9)(random_);
    if (pick == 0 || recorded_.empty()) return R"({"t":"bye"})";
    if (pick == 1) return R"({"t":"peer-disconnected"})";
    return recorded_[std::uniform_int_distribution<std::size_t>(0, recorded_.size() - 1)(random_)];
}

void HostileRelay::upstream(const std::shared_ptr<Link>& link, std::string frame) {
    link->heard = std::chrono::steady_clock::time_point(
        std::chrono::microseconds(static_cast<std::int64_t>(timeline_.now() * 1e6)));
    if (recorded_.size() < 4096) recorded_.push_back(frame);
    handle(link, true, std::move(frame));
}

void HostileRelay::downstream(const std::shared_ptr<Link>& link, std::string frame) {
    handle(link, false, std::move(frame));
}

void HostileRelay::handle(const std::shared_ptr<Link>& link, bool up, std::string frame) {
    const Action action = draw(frame);
    ++actions[action];
    switch (action) {
    case Action::drop:
        return;
    case Action::duplicate:
        schedule(link, up, frame, 0, false);
        break;
    case Action::truncate:
        frame.resize(std::uniform_int_distribution<std::size_t>(0, frame.size())(random_));
        break;
    case Action::flipBit:
        if (!frame.empty()) {
            frame[std::uniform_int_distribution<std::size_t>(0, frame.size() - 1)(random_)] ^=
                static_cast<char>(1 << std::uniform_int_distribution<int>(0, 7)(random_));
        }
        break;
    case Action::inject:
        schedule(link, up, injected(), 0, false);
        break;
    default:
        break;
    }
    schedule(link, up, std::move(frame), action == Action::delay ? 2.0 : 0, action == Action::reorder);
}

void HostileRelay::schedule(const std::shared_ptr<Link>& link, bool up, std::string frame, double extraDelay,
                            bool reordered) {
    double& last = link->lastArrival[up ? 1 : 0];
    double at = timeline_.now() + latency() + extraDelay;
    if (reordered) {
        at += 0.1;  // late enough for the next frame to pass it; the order of the rest is kept
    } else {
        at = std::max(at, last);
        last = at;
    }
    timeline_.schedule(at - timeline_.now(), [alive = alive_, link, up, frame = std::move(frame)] {
        if (*alive) link->relay.arrive(link, up, frame);
    });
}

void HostileRelay::arrive(const std::shared_ptr<Link>& link, bool up, const std::string& frame) {
    if (up) {
        if (link->room && !link->closedByClient && !link->failed) {
            link->room->forward(*link, std::make_shared<const std::string>(frame));
        }
    } else if (!link->closedByClient && !link->failed) {
        link->push(frame);
    }
}

void HostileRelay::injectToAll(const std::string& frame) {
    for (const auto& link : links_) {
        if (!link->closedByClient && !link->failed) schedule(link, false, frame, 0, false);
    }
}

void HostileRelay::join(const std::shared_ptr<Link>& link, const std::string& token) {
    if (link->closedByClient || link->failed) return;
    link->room = registry_.join(token, link).room;
}

void HostileRelay::leave(const std::shared_ptr<Link>& link) {
    if (!link->room) return;
    auto room = std::move(link->room);
    timeline_.schedule(latency(), [alive = alive_, link, room] {
        if (*alive) link->relay.registry_.leave(room, *link);
    });
}

}  // namespace duoquill::test
