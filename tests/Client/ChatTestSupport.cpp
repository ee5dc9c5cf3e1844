#include "ChatTestSupport.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"

namespace asio = boost::asio;

namespace duoquill::test {

std::vector<double> RecordingDisplay::timesOf(std::string_view line) const {
    std::vector<double> out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == line) out.push_back(times[i]);
    }
    return out;
}

namespace {

// Identity `which` of the pair: a fixed key held in memory.
p256::PrivateKey identityKey(int which) { return p256::PrivateKey::fromScalar(Bytes(32, which == 0 ? 0x11 : 0x22)); }

class MemoryIdentity final : public cli::ChatIdentitySource {
public:
    explicit MemoryIdentity(p256::PrivateKey key) : key_(std::move(key)) {}
    std::optional<std::string> existingKeyIdentifier() override { return "00000000-0000-0000-0000-000000000001"; }
    p256::PublicKey retrievePublicKey(const std::string&) override { return key_.publicKey(); }
    std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string&) override {
        return SoftwareKeyStore::wrap(key_);
    }

private:
    p256::PrivateKey key_;
};

class SharedMLKEMKey final : public MLKEM1024Key {
public:
    explicit SharedMLKEMKey(std::shared_ptr<MLKEM1024Key> key) : key_(std::move(key)) {}
    const Bytes& publicKey() const override { return key_->publicKey(); }
    SecureBytes decapsulate(BytesView ciphertext) const override { return key_->decapsulate(ciphertext); }

private:
    std::shared_ptr<MLKEM1024Key> key_;
};

class StandInMLDSAKey final : public MLDSA87Key {
public:
    const Bytes& publicKey() const override {
        static const Bytes key(2592, 0x5A);
        return key;
    }
};

}  // namespace

std::unique_ptr<P256KeyAgreementKey> SimulationKeyStore::generateP256() {
    for (;;) {
        Bytes scalar(32);
        for (auto& b : scalar) b = static_cast<std::uint8_t>(random_());
        try {
            return SoftwareKeyStore::wrap(p256::PrivateKey::fromScalar(scalar));
        } catch (...) {
        }
    }
}

std::unique_ptr<P256KeyAgreementKey> SimulationKeyStore::restoreP256(BytesView) {
    throw std::runtime_error("not available in simulations");
}

std::unique_ptr<MLKEM1024Key> SimulationKeyStore::generateMLKEM1024() {
    static const auto pool = [] {
        std::vector<std::shared_ptr<MLKEM1024Key>> keys;
        for (std::uint8_t i = 0; i < 8; ++i) {
            keys.push_back(SoftwareKeyStore::mlkemFromSeed(Bytes(32, static_cast<std::uint8_t>(i + 1)),
                                                          Bytes(32, static_cast<std::uint8_t>(0xA0 + i))));
        }
        return keys;
    }();
    return std::make_unique<SharedMLKEMKey>(pool[random_() % pool.size()]);
}

std::unique_ptr<MLDSA87Key> SimulationKeyStore::generateMLDSA87() { return std::make_unique<StandInMLDSAKey>(); }

ChatProcess::ChatProcess(int owner_, cli::ManualTimeline& timeline_, SimulatedRelay& relay_, std::uint64_t seed)
    : owner(owner_),
      timeline(timeline_),
      relay(relay_),
      timers(std::make_unique<cli::ManualChatTimers>(timeline, io->get_executor())),
      identity(std::make_unique<MemoryIdentity>(identityKey(owner))),
      keyStore(seed ^ 0x9E3779B97F4A7C15ULL),
      sessionEnvironment(new SessionEnvironment{.keyStore = keyStore,
                                                .clock = Clock::system(),
                                                .entropy = SessionEntropy::system(),
                                                .epochDirectory = epochDirectory.path()}),
      random(seed) {
    timeline.attach([ioc = io.get()] {
        const auto n = ioc->poll();
        if (ioc->stopped()) ioc->restart();
        return n;
    });
    pollerKey = timeline.lastPollerKey();
    cli::ChatEnvironment environment{
        .executor = io->get_executor(),
        .timers = *timers,
        .display = display,
        .identity = *identity,
        .makeTransport = [this] { return relay.makeTransport(io->get_executor(), owner); },
        .makeSession =
            [this](std::shared_ptr<const P256KeyAgreementKey> local, const p256::PublicKey& peer,
                   const std::string& roomCode) {
                return std::make_unique<PFSChatSession>(*sessionEnvironment, std::move(local), peer, roomCode);
            },
        .clock = wallClock,
        .coverDelay = [this] { return std::uniform_real_distribution<double>(2.0, 5.0)(random); },
        .exitProcess = [this](int status) { exitStatus = status; },
        .startInputReader = {},
    };
    const std::string peerKey = base64URLString(identityKey(1 - owner).publicKey().compressed());
    client = cli::CLIChatClient::create(std::move(environment), peerKey, "wss://relay.test");
    asio::co_spawn(*io, client->run(), asio::detached);
}

void ChatProcess::type(std::string line) { asio::co_spawn(*io, client->sendMessage(std::move(line)), asio::detached); }

void ChatProcess::quit() { asio::co_spawn(*io, client->quit(), asio::detached); }

ChatProcess::~ChatProcess() {
    relay.processDied(owner);
    client.reset();
    timers.reset();
    io.reset();
    timeline.detach(pollerKey);
}

ChatProcess& ChatPair::launch(int which) {
    processes_[which].reset();
    const std::uint64_t processSeed = seed_ * 1000003 + (++launches_) * 7919 + static_cast<std::uint64_t>(which);
    processes_[which] = std::make_unique<ChatProcess>(which, timeline, relay, processSeed);
    return *processes_[which];
}

}  // namespace duoquill::test
