#include "ProxiedChat.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Platform/PQ/MLKEM1024.h"

namespace duoquill::test {

namespace asio = boost::asio;

namespace {

struct PooledMLKEMKey final : MLKEM1024Key {
    explicit PooledMLKEMKey(std::shared_ptr<const mlkem1024::KeyPair> pair) : pair_(std::move(pair)) {}
    const Bytes& publicKey() const override { return pair_->encapsulationKey; }
    SecureBytes decapsulate(BytesView ciphertext) const override {
        return mlkem1024::decapsulate(pair_->decapsulationKey, ciphertext);
    }
    std::shared_ptr<const mlkem1024::KeyPair> pair_;
};

struct StandInMLDSAKey final : MLDSA87Key {
    const Bytes& publicKey() const override {
        static const Bytes key(2592, 0x5a);
        return key;
    }
};

}  // namespace

std::unique_ptr<P256KeyAgreementKey> FastKeyStore::generateP256() {
    for (;;) {
        Bytes scalar(32);
        for (auto& b : scalar) b = static_cast<std::uint8_t>(random_());
        try {
            return SoftwareKeyStore::wrap(p256::PrivateKey::fromScalar(scalar));
        } catch (const std::exception&) {
        }
    }
}

std::unique_ptr<MLKEM1024Key> FastKeyStore::generateMLKEM1024() {
    static const auto pool = [] {
        std::vector<std::shared_ptr<const mlkem1024::KeyPair>> keys;
        for (std::uint8_t i = 0; i < 6; ++i) {
            keys.push_back(std::make_shared<const mlkem1024::KeyPair>(
                mlkem1024::generateFromSeeds(Bytes(32, i), Bytes(32, static_cast<std::uint8_t>(0x80 + i)))));
        }
        return keys;
    }();
    return std::make_unique<PooledMLKEMKey>(pool[random_() % pool.size()]);
}

std::unique_ptr<MLDSA87Key> FastKeyStore::generateMLDSA87() { return std::make_unique<StandInMLDSAKey>(); }

p256::PrivateKey chatIdentityKey(int which) {
    return p256::PrivateKey::fromScalar(Bytes(32, which == 0 ? 0x0a : 0x0b));
}

ProxiedClient::ProxiedClient(int which, cli::ManualTimeline& timeline, HostileRelay& relay, std::uint64_t seed,
                             cli::ChatDisplay* shownOn)
    : display(timeline), identity(chatIdentityKey(which)), keys(seed), random(seed) {
    timers = std::make_unique<cli::ManualChatTimers>(timeline, io.get_executor());
    sessionEnvironment = std::make_unique<SessionEnvironment>(
        SessionEnvironment{.keyStore = keys, .epochDirectory = epochDirectory.path()});
    timeline.attach([this] {
        const std::size_t n = io.poll();
        if (io.stopped()) io.restart();
        return n;
    });
    cli::ChatEnvironment environment{
        .executor = io.get_executor(),
        .timers = *timers,
        .display = shownOn ? *shownOn : static_cast<cli::ChatDisplay&>(display),
        .identity = identity,
        .makeTransport = [this, &relay] { return relay.makeTransport(); },
        .makeSession =
            [this](std::shared_ptr<const P256KeyAgreementKey> local, const p256::PublicKey& peer,
                   const std::string& roomCode) {
                return std::make_unique<PFSChatSession>(*sessionEnvironment, std::move(local), peer, roomCode);
            },
        .clock = wallClock,
        .coverDelay = [this] { return std::uniform_real_distribution<double>(2.0, 5.0)(random); },
        .exitProcess =
            [this](int status) {
                exitStatus = status;
                if (onExit) onExit(status);
            },
        .startInputReader = {},
    };
    client = cli::CLIChatClient::create(std::move(environment),
                                        base64URLString(chatIdentityKey(1 - which).publicKey().compressed()),
                                        "wss://relay.test");
}

ProxiedClient::~ProxiedClient() {
    client.reset();
    timers.reset();
}

void ProxiedClient::start() { asio::co_spawn(io, client->run(), asio::detached); }
void ProxiedClient::type(std::string line) { asio::co_spawn(io, client->sendMessage(std::move(line)), asio::detached); }
void ProxiedClient::quit() { asio::co_spawn(io, client->quit(), asio::detached); }

bool ProxiedClient::active() const {
    return client && client->state().kind() == cli::CLIChatClient::State::Kind::active;
}

std::size_t ProxiedClient::count(std::string_view line) const {
    std::size_t n = 0;
    for (const auto& [time, text] : display.lines) n += text == line;
    return n;
}

bool runUntil(cli::ManualTimeline& timeline, const std::function<bool()>& condition, double seconds) {
    timeline.runUntil(timeline.now() + seconds, condition);
    return condition();
}

}  // namespace duoquill::test
