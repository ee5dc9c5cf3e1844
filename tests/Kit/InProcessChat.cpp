#include "Kit/InProcessChat.h"

#include <boost/asio/async_result.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <stdexcept>

#include "Duoquill/Base/CryptoCore.h"

namespace asio = boost::asio;

namespace duoquill::test {

namespace {

// The driver's transport over a Connection: each completion is posted to its executor.
class SimulatedTransport final : public cli::ChatTransport {
public:
    SimulatedTransport(SimulatedRelay& relay, asio::any_io_executor executor, int owner)
        : relay_(relay), executor_(std::move(executor)), owner_(owner) {}

    // Dropped without disconnect(): the connection goes with it.
    ~SimulatedTransport() override { if (c_) relay_.drop(c_); }

    void connect(const std::string& url) override { c_ = relay_.connect(owner_, url); }

    asio::awaitable<void> send(std::string text) override {
        if (!c_) throw std::runtime_error("notConnected");
        if (auto failure = relay_.send(c_, std::move(text))) throw std::runtime_error(*failure);
        co_return;
    }

    asio::awaitable<std::string> receive() override {
        if (!c_) throw std::runtime_error("notConnected");
        // A named initiation: GCC 12 destroys closures built inside a co_await expression twice.
        auto initiation = [this](auto handler) {
            auto slot = std::make_shared<decltype(handler)>(std::move(handler));
            relay_.receive(c_, [slot, executor = executor_](std::optional<std::string> text) {
                asio::post(executor, [slot, text = std::move(text)]() mutable {
                    if (!text) return (*slot)(std::make_exception_ptr(std::runtime_error("connection closed")), std::string());
                    (*slot)(nullptr, std::move(*text));
                });
            });
        };
        std::string text = co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, std::string)>(
            std::move(initiation), asio::use_awaitable);
        co_return text;
    }

    asio::awaitable<void> disconnect() override {
        if (c_) relay_.disconnect(c_);
        co_return;
    }

private:
    SimulatedRelay& relay_;
    asio::any_io_executor executor_;
    int owner_;
    SimulatedRelay::ConnectionPtr c_;
};

}  // namespace

ManualChatTimers::~ManualChatTimers() {
    *alive_ = false;
    auto pending = std::move(pending_);
    for (const auto& [id, unused] : pending) timeline_.cancel(id);
}

asio::awaitable<void> ManualChatTimers::sleep(double seconds, cli::TaskHandle& task) {
    if (task.isCancelled()) co_return;
    // A named initiation: GCC 12 destroys closures built inside a co_await expression twice.
    auto initiation = [this, seconds, &task](auto handler) {
        using Handler = decltype(handler);
        // The timeline owns the waiting coroutine; the cancel hook only points at it.
        auto slot = std::make_shared<std::optional<Handler>>(std::move(handler));
        auto complete = [executor = executor_](const std::shared_ptr<std::optional<Handler>>& s) {
            if (s && s->has_value()) asio::post(executor, *std::exchange(*s, std::nullopt));
        };
        auto eventId = std::make_shared<ManualTimeline::EventId>(0);
        const auto id = timeline_.schedule(seconds, [this, slot, complete, eventId, alive = alive_] {
            if (!*alive) return;
            pending_.erase(*eventId);
            complete(slot);
        });
        *eventId = id;
        pending_.emplace(id, true);
        task.setCancelHook([this, id, weak = std::weak_ptr(slot), complete, alive = std::weak_ptr<bool>(alive_)] {
            if (const auto stillAlive = alive.lock(); !stillAlive || !*stillAlive) return;
            pending_.erase(id);
            complete(weak.lock());
            timeline_.cancel(id);
        });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(std::move(initiation), asio::use_awaitable);
    task.clearCancelHook();
}

ChatProcess::ChatProcess(int owner_, ManualTimeline& timeline_, SimulatedRelay& relay_, std::uint64_t seed,
                         cli::ChatDisplay* shownOn, bool baseProtocolOnly, bool steady)
    : owner(owner_),
      timeline(timeline_),
      relay(relay_),
      timers(std::make_unique<ManualChatTimers>(timeline, io->get_executor())),
      world(seed, true),
      coverStream(seed ^ 0xC0E5u) {
    pollerKey = timeline.attach([ioc = io.get()] {
        const auto n = ioc->poll();
        if (ioc->stopped()) ioc->restart();
        return n;
    });
    cli::ChatEnvironment environment{
        .executor = io->get_executor(),
        .timers = *timers,
        .display = shownOn ? *shownOn : display,
        .identity = identity,
        .makeTransport = [this] { return std::make_shared<SimulatedTransport>(relay, io->get_executor(), owner); },
        .makeSession =
            [this](std::shared_ptr<const P256KeyAgreementKey> local, const p256::PublicKey& peer,
                   const std::string& roomCode, std::optional<double> roomEpoch) {
                return std::make_unique<PFSChatSession>(world.environment(), std::move(local), peer, roomCode,
                                                        roomEpoch);
            },
        .clock = world.clock,
        .coverDelay = [this] { return 2.0 + static_cast<double>(coverStream.next() % 3001) / 1000.0; },
        .backoffJitter = [this] { return static_cast<double>(world.stream.next() % 1000) / 1000.0; },
        .exitProcess =
            [this](int status) {
                exitStatus = status;
                if (onExit) onExit(status);
            },
        .startInputReader = {},
        .baseProtocolOnly = baseProtocolOnly,
        .lineStreamStart = (std::uint64_t{1} << 52) + world.stream.next() % (std::uint64_t{1} << 51),
        .observer = &lines,
        .epochDirectory = world.epochs.path(),
        .steady = steady,
    };
    const std::string peerKey = base64URLString(World::identityKey(1 - owner).publicKey().compressed());
    client = cli::CLIChatClient::create(std::move(environment), peerKey, "wss://relay.test");
    asio::co_spawn(*io, client->run(), asio::detached);
}

void ChatProcess::type(std::string_view line) { asio::co_spawn(*io, client->sendMessage(SecureText(line)), asio::detached); }

void ChatProcess::quit() { asio::co_spawn(*io, client->quit(), asio::detached); }

ChatProcess::~ChatProcess() {
    relay.processDied(owner);
    client.reset();
    timers.reset();
    io.reset();
    timeline.detach(pollerKey);
}

}  // namespace duoquill::test
