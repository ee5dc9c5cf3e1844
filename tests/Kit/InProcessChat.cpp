#include "Kit/InProcessChat.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"

namespace asio = boost::asio;

namespace duoquill::test {

ChatProcess::ChatProcess(int owner_, ManualTimeline& timeline_, SimulatedRelay& relay_, std::uint64_t seed,
                         cli::ChatDisplay* shownOn)
    : owner(owner_),
      timeline(timeline_),
      relay(relay_),
      timers(std::make_unique<ManualChatTimers>(timeline, io->get_executor())),
      world(seed, true) {
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
        .makeTransport = [this] { return relay.makeTransport(io->get_executor(), owner); },
        .makeSession =
            [this](std::shared_ptr<const P256KeyAgreementKey> local, const p256::PublicKey& peer,
                   const std::string& roomCode) {
                return std::make_unique<PFSChatSession>(world.environment(), std::move(local), peer, roomCode);
            },
        .clock = world.clock,
        .coverDelay = [this] { return 2.0 + static_cast<double>(world.stream.next() % 3001) / 1000.0; },
        .backoffJitter = [this] { return static_cast<double>(world.stream.next() % 1000) / 1000.0; },
        .exitProcess =
            [this](int status) {
                exitStatus = status;
                if (onExit) onExit(status);
            },
        .startInputReader = {},
        .baseProtocolOnly = false,
        .lineStreamStart = (std::uint64_t{1} << 52) + world.stream.next() % (std::uint64_t{1} << 51),
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
