#include "ChatTestSupport.h"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"

namespace asio = boost::asio;

namespace duoquill::test {

bool RecordingDisplay::contains(std::string_view line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::size_t RecordingDisplay::count(std::string_view line) const {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

double RecordingDisplay::timeOf(std::string_view line, std::size_t occurrence) const {
    const auto all = timesOf(line);
    return occurrence < all.size() ? all[occurrence] : -1.0;
}

std::vector<double> RecordingDisplay::timesOf(std::string_view line) const {
    std::vector<double> out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == line) out.push_back(times[i]);
    }
    return out;
}

std::string MemoryIdentity::publicKeyText() const { return base64URLString(key_.publicKey().compressed()); }

namespace {

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

const std::vector<std::shared_ptr<MLKEM1024Key>>& mlkemPool() {
    static const auto pool = [] {
        std::vector<std::shared_ptr<MLKEM1024Key>> keys;
        for (std::uint8_t i = 0; i < 8; ++i) {
            const Bytes d(32, static_cast<std::uint8_t>(i + 1)), z(32, static_cast<std::uint8_t>(0xA0 + i));
            keys.push_back(SoftwareKeyStore::mlkemFromSeed(d, z));
        }
        return keys;
    }();
    return pool;
}

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
    const auto& pool = mlkemPool();
    return std::make_unique<SharedMLKEMKey>(pool[random_() % pool.size()]);
}

std::unique_ptr<MLDSA87Key> SimulationKeyStore::generateMLDSA87() { return std::make_unique<StandInMLDSAKey>(); }

ChatProcess::ChatProcess(int owner_, cli::ManualTimeline& timeline_, SimulatedRelay& relay_,
                         const p256::PrivateKey& identityKey, std::string peerKey, std::uint64_t seed, bool fastKeys)
    : owner(owner_),
      timeline(timeline_),
      relay(relay_),
      io(std::make_unique<asio::io_context>()),
      identity(identityKey),
      random(seed) {
    display.timeline = &timeline;
    timers = std::make_unique<cli::ManualChatTimers>(timeline, io->get_executor());
    if (fastKeys) keyStore = std::make_unique<SimulationKeyStore>(seed ^ 0x9E3779B97F4A7C15ULL);
    sessionEnvironment.reset(new SessionEnvironment{
        .keyStore = keyStore ? static_cast<KeyStore&>(*keyStore) : KeyStore::system(),
        .clock = Clock::system(),
        .entropy = SessionEntropy::system(),
        .epochDirectory = epochDirectory.path(),
    });
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
        .identity = identity,
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
    client = cli::CLIChatClient::create(std::move(environment), std::move(peerKey), "wss://relay.test");
}

void ChatProcess::start() {
    if (client) asio::co_spawn(*io, client->run(), asio::detached);
}

void ChatProcess::type(std::string line) {
    if (client) asio::co_spawn(*io, client->sendMessage(std::move(line)), asio::detached);
}

void ChatProcess::quit() {
    if (client) asio::co_spawn(*io, client->quit(), asio::detached);
}

ChatProcess::~ChatProcess() {
    relay.processDied(owner);
    client.reset();
    timers.reset();
    io.reset();
    timeline.detach(pollerKey);
}

}  // namespace duoquill::test

namespace duoquill::test {

ChatPair::ChatPair(std::uint64_t seed, bool fastKeys) : relay(timeline, seed), seed_(seed), fastKeys_(fastKeys) {}

ChatPair::~ChatPair() {
    processes_[0].reset();
    processes_[1].reset();
}

p256::PrivateKey ChatPair::identityKey(int which) {
    const Bytes scalar(32, static_cast<std::uint8_t>(which == 0 ? 0x11 : 0x22));
    return p256::PrivateKey::fromScalar(scalar);
}

std::string ChatPair::publicKeyText(int which) { return base64URLString(identityKey(which).publicKey().compressed()); }

ChatProcess& ChatPair::launch(int which) {
    processes_[which].reset();
    const std::uint64_t processSeed = seed_ * 1000003 + (++launches_) * 7919 + static_cast<std::uint64_t>(which);
    processes_[which] = std::make_unique<ChatProcess>(which, timeline, relay, identityKey(which),
                                                      publicKeyText(1 - which), processSeed, fastKeys_);
    processes_[which]->start();
    return *processes_[which];
}

void ChatPair::kill(int which) { processes_[which].reset(); }

bool ChatPair::runUntil(const std::function<bool()>& condition, double seconds) {
    timeline.runFor(seconds, condition);
    return condition();
}

bool ChatPair::bothActive() const {
    return processes_[0] && processes_[1] && processes_[0]->isActive() && processes_[1]->isActive();
}

}  // namespace duoquill::test
