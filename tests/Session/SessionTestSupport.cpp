#include "SessionTestSupport.h"

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/PlatformError.h"

#include <boost/json/serialize.hpp>

namespace duoquill {

namespace test {

Bytes hex(const boost::json::value& value) {
    auto bytes = bytesFromLegacyPairedString(std::string_view(value.as_string()));
    if (!bytes) throw std::invalid_argument("bad hex in test data");
    return *bytes;
}

std::string hexOf(BytesView bytes) { return hexString(bytes); }

void expectFields(PFSChatSession& s, const boost::json::object& expected) {
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

hpke::SenderContext FixedEntropy::hpkeSender(const p256::PublicKey& recipient, const hpke::KeySchedule& schedule) {
    if (hpkeEphemeralScalars.empty()) return SessionEntropy::hpkeSender(recipient, schedule);
    const auto ephemeral = p256::PrivateKey::fromScalar(hpkeEphemeralScalars.front());
    hpkeEphemeralScalars.pop_front();
    return hpke::SenderContext::setupWithEphemeral(recipient, schedule, ephemeral);
}

mlkem1024::Encapsulation FixedEntropy::encapsulate(BytesView encapsulationKey) {
    if (encapsulationRandomness.empty()) return SessionEntropy::encapsulate(encapsulationKey);
    const Bytes m = encapsulationRandomness.front();
    encapsulationRandomness.pop_front();
    return mlkem1024::encapsulateWithRandomness(encapsulationKey, m);
}

std::uint32_t FixedEntropy::uniform(std::uint32_t upperBound) {
    if (choices.empty()) return SessionEntropy::uniform(upperBound);
    const std::uint32_t choice = choices.front();
    choices.pop_front();
    EXPECT_LT(choice, upperBound);
    return choice;
}

void FixedEntropy::fill(std::span<std::uint8_t> out) {
    if (paddingBytes.empty()) return SessionEntropy::fill(out);
    const Bytes bytes = paddingBytes.front();
    paddingBytes.pop_front();
    ASSERT_EQ(bytes.size(), out.size()) << "queued padding of the wrong length";
    std::copy(bytes.begin(), bytes.end(), out.begin());
}

std::unique_ptr<P256KeyAgreementKey> FixedKeyStore::generateP256() {
    if (p256Scalars.empty()) return software_.generateP256();
    auto key = SoftwareKeyStore::wrap(p256::PrivateKey::fromScalar(p256Scalars.front()));
    p256Scalars.pop_front();
    return key;
}

std::unique_ptr<P256KeyAgreementKey> FixedKeyStore::restoreP256(BytesView dataRepresentation) {
    return software_.restoreP256(dataRepresentation);
}

std::unique_ptr<MLKEM1024Key> FixedKeyStore::generateMLKEM1024() {
    if (failNextMLKEM) {
        failNextMLKEM = false;
        throw CryptoError("key store refused");
    }
    if (mlkemSeeds.empty()) return software_.generateMLKEM1024();
    auto [d, z] = mlkemSeeds.front();
    mlkemSeeds.pop_front();
    return SoftwareKeyStore::mlkemFromSeed(d, z);
}

std::unique_ptr<MLDSA87Key> FixedKeyStore::generateMLDSA87() { return software_.generateMLDSA87(); }

Identity makeIdentity(const std::optional<Bytes>& scalar) {
    auto key = SoftwareKeyStore::wrap(scalar ? p256::PrivateKey::fromScalar(*scalar) : p256::PrivateKey::generate());
    auto publicKey = key->publicKey();
    return {std::move(key), publicKey};
}

SessionWorld::SessionWorld(std::string code) : roomCode(std::move(code)) {}

SessionEnvironment SessionWorld::environment() {
    return SessionEnvironment{.keyStore = keyStore, .clock = clock, .entropy = entropy, .epochDirectory = dir.path()};
}

std::unique_ptr<PFSChatSession> SessionWorld::makeSession(const Identity& local, const Identity& peer) {
    return std::make_unique<PFSChatSession>(environment(), local.key, peer.publicKey, roomCode);
}

std::filesystem::path SessionWorld::epochFile() const { return dir.path() / SessionEpochStore::fileName(roomCode); }

SessionPair::SessionPair(SessionWorld& world) : SessionPair(world, makeIdentity(), makeIdentity()) {}

SessionPair::SessionPair(SessionWorld& world, const Identity& idA_, const Identity& idB_)
    : idA(idA_), idB(idB_), a(world.makeSession(idA, idB)), b(world.makeSession(idB, idA)) {}

void SessionPair::completeHandshakes() {
    a->completeHandshake(b->authCiphertext(), b->authEncapKey(), b->mlkemPublicKeyData());
    b->completeHandshake(a->authCiphertext(), a->authEncapKey(), a->mlkemPublicKeyData());
}

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

std::optional<SecureBytes> deliver(PFSChatSession& from, PFSChatSession& to, BytesView message, bool cover) {
    const auto header = from.prepareDHRatchetIfNeeded();
    const auto sealed = cover ? from.sealDummy() : from.seal(message);
    if (header) to.receiveDHRatchetKey(*header);
    return to.open(sealed.data, sealed.counter);
}

}  // namespace test
}  // namespace duoquill
