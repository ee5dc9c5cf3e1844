#include "Kit/InProcessChat.h"

#include <algorithm>
#include <boost/asio/async_result.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <stdexcept>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Identity/KeyHelpers.h"

namespace asio = boost::asio;

namespace duoquill::test {

HeldTimers::~HeldTimers() {
    *alive_ = false;
    clear();
}

void HeldTimers::clear() {
    for (const auto& [id, sleep] : std::exchange(sleeping_, {})) {
        if (timeline_) timeline_->cancel(sleep.event);
    }
}

bool HeldTimers::end(std::uint64_t id) {
    const auto sleeping = sleeping_.find(id);
    if (sleeping == sleeping_.end()) return false;
    auto wake = std::move(sleeping->second.wake);
    if (timeline_) timeline_->cancel(sleeping->second.event);
    sleeping_.erase(sleeping);
    wake();
    return true;
}

bool HeldTimers::fire(cli::chat::Timer timer) {
    const auto armed = std::ranges::find_if(sleeping_, [&](const auto& s) { return s.second.timer == timer; });
    return armed != sleeping_.end() && end(armed->first);
}

asio::awaitable<void> HeldTimers::sleep(double seconds, cli::TaskHandle& task) {
    std::optional<cli::chat::Timer> timer;
    if (!arming_.empty()) {
        timer = arming_.front();
        arming_.pop_front();
    }
    if (task.isCancelled()) co_return;
    // A named initiation: GCC 12 destroys closures built inside a co_await expression twice.
    auto initiation = [this, seconds, timer, &task](auto handler) {
        // The sleep owns the waiting coroutine; the timeline's event and the cancel hook only name it.
        auto slot = std::make_shared<std::optional<decltype(handler)>>(std::move(handler));
        const std::uint64_t id = ++sleeps_;
        Sleep& sleep = sleeping_[id] = {timer, [slot, executor = executor_] {
            if (*slot) asio::post(executor, *std::exchange(*slot, std::nullopt));
        }};
        if (timeline_) sleep.event = timeline_->schedule(seconds, [this, id, alive = alive_] { if (*alive) end(id); });
        task.setCancelHook([this, id, alive = std::weak_ptr(alive_)] {
            if (const auto stillAlive = alive.lock(); stillAlive && *stillAlive) end(id);
        });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(std::move(initiation), asio::use_awaitable);
    task.clearCancelHook();
}

asio::awaitable<void> HeldTransport::send(std::string text) {
    if (!sends_.hold) {
        const auto failure = sends_.endAtOnce ? sends_.endAtOnce(std::move(text)) : nullptr;
        if (failure) std::rethrow_exception(failure);
        co_return;
    }
    auto initiation = [this, &text](auto handler) {
        auto slot = std::make_shared<decltype(handler)>(std::move(handler));
        sends_.waiting.emplace_back(std::move(text), [slot, executor = executor_](std::exception_ptr failure) {
            asio::post(executor, [slot, failure] { (*slot)(failure); });
        });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr)>(std::move(initiation),
                                                                                         asio::use_awaitable);
}

asio::awaitable<std::string> HeldTransport::receive() {
    auto initiation = [this](auto handler) {
        auto slot = std::make_shared<decltype(handler)>(std::move(handler));
        waiter_ = [slot, executor = executor_](std::optional<std::string> text) {
            asio::post(executor, [slot, text = std::move(text)]() mutable {
                if (!text) return (*slot)(std::make_exception_ptr(std::runtime_error("connection lost")), std::string());
                (*slot)(nullptr, std::move(*text));
            });
        };
    };
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, std::string)>(
        std::move(initiation), asio::use_awaitable);
}

bool HeldTransport::hand(std::optional<std::string> text) {
    if (!waiter_) return false;
    std::exchange(waiter_, nullptr)(std::move(text));
    return true;
}

cli::ChatMachineConfig machineConfig(int owner, World& world, std::string relayURL) {
    std::shared_ptr<const P256KeyAgreementKey> local = SoftwareKeyStore::wrap(World::identityKey(owner));
    const p256::PublicKey peer = World::identityKey(1 - owner).publicKey();
    SecureBytes roomKeyData = local->sharedSecret(peer);
    std::string roomCode = KeyHelpers::deriveRoomCode(roomKeyData);
    const Bytes localKey = local->publicKey().compressed(), peerKey = peer.compressed();
    return {
        .relayBaseURL = std::move(relayURL),
        .roomKeyData = std::move(roomKeyData),
        .localPubKeyCompressed = base64URLString(localKey),
        .peerPubKeyBase64URL = base64URLString(peerKey),
        .leads = localKey < peerKey,
        .makeSession =
            [&world, local, peer, roomCode](std::optional<double> roomEpoch) {
                return std::make_unique<PFSChatSession>(world.environment(), local, peer, roomCode, roomEpoch);
            },
        .roomEpoch = SessionEpochStore(world.epochs.path()).read(roomCode),
        .coverDraw = [&world] { return static_cast<double>(world.stream.next() % 3001) / 3000.0; },
        .jitterDraw = [&world] { return static_cast<double>(world.stream.next() % 1000) / 1000.0; },
        .lineStreamStart = (std::uint64_t{1} << 52) + world.stream.next() % (std::uint64_t{1} << 51),
    };
}

ChatProcess::ChatProcess(int owner_, ManualTimeline& timeline_, SimulatedRelay& relay_, std::uint64_t seed,
                         cli::ChatDisplay* shownOn, bool baseProtocolOnly, bool steady)
    : owner(owner_),
      timeline(timeline_),
      relay(relay_),
      world(seed, true),
      coverStream(seed ^ 0xC0E5u) {
    pollerKey = timeline.attach([this] {
        const auto n = io.poll();
        if (io.stopped()) io.restart();
        return n;
    });
    cli::ChatEnvironment environment{
        .executor = io.get_executor(),
        .timers = timers,
        .display = shownOn ? *shownOn : display,
        .identity = identity,
        .makeTransport = [this] { return relay.transport(owner, io.get_executor()); },
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
    asio::co_spawn(io, client->run(), asio::detached);
}

void ChatProcess::type(std::string_view line) { asio::co_spawn(io, client->sendMessage(SecureText(line)), asio::detached); }

void ChatProcess::quit() { asio::co_spawn(io, client->quit(), asio::detached); }

ChatProcess::~ChatProcess() {
    relay.processDied(owner);
    timeline.detach(pollerKey);
}

ChatProcess& MachinePair::launch(int which) {
    processes_[which].reset();
    const std::uint64_t processSeed = seed_ * 1000003 + (++launches_) * 7919 + static_cast<std::uint64_t>(which);
    processes_[which] = std::make_unique<ChatProcess>(which, timeline, relay, processSeed, nullptr,
                                                      baseProtocolOnly[which], steady[which]);
    return *processes_[which];
}

}  // namespace duoquill::test
