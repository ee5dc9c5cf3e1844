#include "SessionTestSupport.h"

#include "Duoquill/Platform/PlatformError.h"

#include <boost/json/serialize.hpp>

namespace duoquill::test {

Bytes hex(const boost::json::value& value) {
    auto bytes = bytesFromLegacyPairedString(std::string_view(value.as_string()));
    if (!bytes) throw std::invalid_argument("bad hex in test data");
    return *bytes;
}

void expectFields(const PFSChatSession& s, const boost::json::object& expected) {
    const auto fields = Access::fields(s);
    for (const auto& [name, value] : expected) {
        const std::string want = value.is_string() ? std::string(value.as_string()) : boost::json::serialize(value);
        EXPECT_EQ(fields.at(name), want) << name;
    }
}

const boost::json::object& sessionKAT(std::string_view section, std::size_t index) {
    static const boost::json::value document = boost::json::parse(readFile(testVectorsDir() / "session_kat.json"));
    for (const auto& t : document.at("tests").as_array()) {
        if (t.at("section").as_string() == section && index-- == 0) return t.as_object();
    }
    throw std::runtime_error("no such test in session_kat.json");
}

std::unique_ptr<MLKEM1024Key> FixedKeyStore::generateMLKEM1024() {
    if (std::exchange(failNextMLKEM, false)) throw CryptoError("key store refused");
    const auto seeds = next(mlkemSeeds);
    return seeds ? SoftwareKeyStore::mlkemFromSeed(seeds->first, seeds->second) : software_.generateMLKEM1024();
}

std::unique_ptr<PFSChatSession> SessionWorld::makeSession(const Identity& local, const Identity& peer) {
    const SessionEnvironment environment{
        .keyStore = keyStore, .clock = clock, .entropy = entropy, .epochDirectory = dir.path()};
    return std::make_unique<PFSChatSession>(environment, local, peer->publicKey(), roomCode);
}

SessionPair::SessionPair(SessionWorld& world, const Identity& idA_, const Identity& idB_)
    : idA(idA_), idB(idB_), a(world.makeSession(idA, idB)), b(world.makeSession(idB, idA)) {}

void SessionPair::completePQ() {
    const Bytes ciphertext = initiator().performPQKeyExchange();
    responder().completePQKeyExchange(ciphertext);
    initiator().completePQInitiator();
}

void expectSessionError(SessionErrorCode code, const std::function<void()>& body) {
    try {
        body();
        ADD_FAILURE() << "expected " << sessionErrorName(code) << ", nothing was raised";
    } catch (const SessionError& e) {
        EXPECT_EQ(e.code(), code) << "raised " << e.what() << " instead of " << sessionErrorName(code);
        EXPECT_EQ(std::string_view(e.what()), sessionErrorName(code));
    }
}

std::optional<SecureBytes> deliver(PFSChatSession& from, PFSChatSession& to, BytesView message) {
    const auto header = from.prepareDHRatchetIfNeeded();
    const auto sealed = from.seal(message);
    if (header) to.receiveDHRatchetKey(*header);
    return to.open(sealed.data, sealed.counter);
}

}  // namespace duoquill::test
