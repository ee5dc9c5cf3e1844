// Known-answer tests: every vector file is read by the checker of its kind (chosen by file
// name prefix), every case of it must pass, and a file of no known kind fails the run. A
// damaged file (not JSON, a member missing or not hex) throws and so fails the test.

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <algorithm>
#include <functional>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Primitives/AesGcm.h"
#include "Duoquill/Primitives/Hkdf.h"
#include "Duoquill/Primitives/Hpke.h"
#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Primitives/P256.h"
#include "Duoquill/Primitives/PQ/MLDSA87.h"
#include "Duoquill/Primitives/PQ/MLKEM1024.h"
#include "Duoquill/Primitives/PQ/Sha3.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Keys/SoftwareP256Key.h"
#include "Kit/Paths.h"
#include "VectorBackends.h"

namespace duoquill {
namespace {

namespace json = boost::json;
using Case = json::object;

Bytes hex(const Case& c, std::string_view member) {
    return bytesFromLegacyPairedString(c.at(member).as_string()).value();  // not hex: the case fails
}
std::uint64_t number(const Case& c, std::string_view member) { return c.at(member).to_number<std::uint64_t>(); }
std::string text(const Case& c, std::string_view member) { return std::string(c.at(member).as_string()); }

// Wycheproof: "valid" gives the listed bytes, "invalid" is refused, "acceptable" may be refused
// but never gives other bytes.
void expectResult(const Case& c, const std::function<Bytes()>& compute, std::string_view expected) {
    const std::string result = text(c, "result");
    ASSERT_TRUE(result == "valid" || result == "invalid" || result == "acceptable") << result;
    if (result == "invalid") {
        EXPECT_THROW(compute(), CryptoError);
        return;
    }
    try {
        EXPECT_EQ(compute(), hex(c, expected));
    } catch (const CryptoError& e) {
        EXPECT_EQ(result, "acceptable") << "refused: " << e.what();
    }
}

void aesGcm(const Case& c) {
    const Bytes key = hex(c, "key"), iv = hex(c, "iv"), aad = hex(c, "aad");
    const Bytes sealed = concat(hex(c, "ct"), hex(c, "tag"));
    if (text(c, "result") == "valid") {
        EXPECT_EQ(aesgcm::seal(key, iv, hex(c, "msg"), aad), sealed);
    }
    expectResult(c, [&] { return toBytes(aesgcm::open(key, iv, sealed, aad)); }, "msg");
}

void ecdhP256(const Case& c) {
    // Minimal big-endian scalars, sometimes with a leading 00; SEC1 points in any form, or garbage.
    Bytes scalar = hex(c, "private");
    scalar.erase(scalar.begin(), std::find_if(scalar.begin(), scalar.end(), [](std::uint8_t b) { return b != 0; }));
    ASSERT_LE(scalar.size(), p256::scalarSize);
    scalar.insert(scalar.begin(), p256::scalarSize - scalar.size(), 0);
    const auto own = p256::PrivateKey::fromScalar(scalar);
    const Bytes peer = hex(c, "public");
    expectResult(c, [&] {
        const auto key = peer.size() == p256::compressedSize ? p256::PublicKey::fromCompressed(peer)
                                                              : p256::PublicKey::fromX963(peer);
        return toBytes(own.sharedSecret(key));
    }, "shared");
}

void hkdfWith(HashFunction hash, const Case& c) {
    const Bytes ikm = hex(c, "ikm"), salt = hex(c, "salt"), info = hex(c, "info");
    const std::size_t size = number(c, "size");
    expectResult(c, [&] { return toBytes(hkdf::derive(hash, ikm, salt, info, size)); }, "okm");
    expectResult(c, [&] { return toBytes(hkdf::expand(hash, hkdf::extract(hash, salt, ikm), info, size)); }, "okm");
}

// All 257 encryptions in order and all exports, from both ends: they hold every output of the
// key schedule.
void hpkeSuite(const Case& c) {
    const std::uint64_t mode = number(c, "mode");
    const Bytes info = hex(c, "info"), psk = mode == 1 ? hex(c, "psk") : Bytes{}, pskId = mode == 1 ? hex(c, "psk_id") : Bytes{};
    const hpke::KeySchedule schedule{static_cast<hpke::Mode>(mode), info, psk, pskId};

    // The encapsulated key is pkEm; pkRm goes into every secret of the schedule.
    const auto ephemeral = p256::PrivateKey::fromScalar(hex(c, "skEm"));
    const SoftwareP256Key recipientKey(p256::PrivateKey::fromScalar(hex(c, "skRm")));
    auto sender = hpke::SenderContext::setupWithEphemeral(recipientKey.publicKey(), schedule, ephemeral);
    EXPECT_EQ(sender.encapsulatedKey(), hex(c, "enc"));
    auto recipient = hpke::RecipientContext::setup(hex(c, "enc"), recipientKey, schedule);
    const auto& encryptions = c.at("encryptions").as_array();
    ASSERT_EQ(encryptions.size(), 257u);
    for (std::size_t sequence = 0; sequence < encryptions.size(); ++sequence) {
        SCOPED_TRACE("encryption " + std::to_string(sequence));
        const auto& e = encryptions[sequence].as_object();
        EXPECT_EQ(sender.seal(hex(e, "aad"), hex(e, "pt")), hex(e, "ct"));
        EXPECT_EQ(toBytes(recipient.open(hex(e, "aad"), hex(e, "ct"))), hex(e, "pt"));
    }
    ASSERT_FALSE(c.at("exports").as_array().empty());
    for (const auto& value : c.at("exports").as_array()) {
        const auto& e = value.as_object();
        EXPECT_EQ(toBytes(sender.exportSecret(hex(e, "exporter_context"), number(e, "L"))), hex(e, "exported_value"));
        EXPECT_EQ(toBytes(recipient.exportSecret(hex(e, "exporter_context"), number(e, "L"))), hex(e, "exported_value"));
    }
}

void mlkemKeyGeneration(const Case& c) {
    const auto pair = mlkem1024::generateFromSeeds(hex(c, "d"), hex(c, "z"));
    EXPECT_EQ(hexString(pair.encapsulationKey), hexString(hex(c, "ek")));
    EXPECT_EQ(hexString(pair.decapsulationKey), hexString(hex(c, "dk")));
}

// Decapsulation cases include altered ciphertexts, whose key is the implicit-rejection key.
void mlkemEncapsulation(const Case& c) {
    const std::string function = text(c, "function");
    if (function == "encapsulation") {
        const auto result = mlkem1024::encapsulateWithRandomness(hex(c, "ek"), hex(c, "m"));
        EXPECT_EQ(hexString(result.ciphertext), hexString(hex(c, "c")));
        EXPECT_EQ(hexString(result.sharedSecret), hexString(hex(c, "k")));
    } else {
        ASSERT_EQ(function, "decapsulation");
        EXPECT_EQ(hexString(mlkem1024::decapsulate(hex(c, "dk"), hex(c, "c"))), hexString(hex(c, "k")));
    }
}

void mldsaKeyGeneration(const Case& c) {
    const auto pair = mldsa87::generateFromSeed(hex(c, "seed"));
    EXPECT_EQ(hexString(pair.publicKey), hexString(hex(c, "pk")));
    EXPECT_EQ(hexString(pair.privateKey), hexString(hex(c, "sk")));
    EXPECT_EQ(SoftwareKeyStore::mldsaFromSeed(hex(c, "seed"))->publicKey(), pair.publicKey);
}

// One call, and in pieces of 1, 2, 3, 5, 8, ... bytes in and 1, 3, 5, ... bytes out, so that
// every position within a block is crossed.
void sha3Family(const Case& c) {
    const std::string alg = text(c, "alg");
    const Bytes msg = hex(c, "msg"), expected = hex(c, "out");
    const auto sponge = [&]() -> sha3::Sponge {
        if (alg == "SHA3-256") return sha3::Sha3_256();
        if (alg == "SHA3-512") return sha3::Sha3_512();
        if (alg == "SHAKE128") return sha3::Shake128();
        if (alg == "SHAKE256") return sha3::Shake256();
        throw std::runtime_error("unknown algorithm " + alg);
    };
    Bytes oneShot(expected.size()), pieces(expected.size());
    sponge().absorb(msg).squeeze(oneShot);
    EXPECT_EQ(hexString(oneShot), hexString(expected));
    if (alg == "SHA3-256" || alg == "SHA3-512") {
        EXPECT_EQ(alg == "SHA3-256" ? hexString(sha3::sha3_256(msg)) : hexString(sha3::sha3_512(msg)), hexString(expected));
    }

    auto inPieces = sponge();
    for (std::size_t at = 0, a = 1, b = 2; at < msg.size(); at += a, a = std::exchange(b, a + b)) {
        inPieces.absorb(BytesView(msg).subspan(at, std::min(a, msg.size() - at)));
    }
    for (std::size_t at = 0, piece = 1; at < pieces.size(); at += piece, piece += 2) {
        inPieces.squeeze(std::span(pieces).subspan(at, std::min(piece, pieces.size() - at)));
    }
    EXPECT_EQ(hexString(pieces), hexString(expected));
}

struct Kind {
    const char* prefix;
    std::function<void(const Case&)> check;
    bool everyVectorBackend = false;
    std::size_t files = 0;
};

// Every file is read by the checker its name starts with. A new or misnamed file fails here
// rather than going unread; session_kat is read by the session and identity suites.
TEST(KnownAnswers, EveryCaseOfEveryFilePasses) {
    std::vector<Kind> kinds = {
        {"aes256gcm", aesGcm},
        {"ecdh_p256", ecdhP256},
        {"hkdf_sha256", [](const Case& c) { hkdfWith(HashFunction::sha256, c); }},
        {"hkdf_sha512", [](const Case& c) { hkdfWith(HashFunction::sha512, c); }},
        {"hpke_p256_sha512", hpkeSuite},
        {"mlkem1024_keygen", mlkemKeyGeneration, true},
        {"mlkem1024_encapdecap", mlkemEncapsulation, true},
        {"mldsa87_keygen", mldsaKeyGeneration, true},
        {"sha3_shake", sha3Family, true},
    };
    for (const auto& entry : std::filesystem::directory_iterator(test::testVectorsDir())) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json" || name.starts_with("session_kat")) continue;
        const auto kind = std::ranges::find_if(kinds, [&](const Kind& k) { return name.starts_with(k.prefix); });
        if (kind == kinds.end()) {
            ADD_FAILURE() << "vector file of unknown kind: " << name;
            continue;
        }
        ++kind->files;
        const json::value document = json::parse(test::readFile(entry.path()));
        const auto& cases = document.at("tests").as_array();
        EXPECT_FALSE(cases.empty()) << name;
        const auto checkAll = [&] {
            for (std::size_t i = 0; i < cases.size(); ++i) {
                const auto& c = cases[i].as_object();
                SCOPED_TRACE(name + " case " + (c.contains("id") ? json::serialize(c.at("id")) : std::to_string(i)));
                kind->check(c);
            }
        };
        kind->everyVectorBackend ? test::onEveryVectorBackend(checkAll) : checkAll();
    }
    for (const Kind& kind : kinds) {
        EXPECT_GT(kind.files, 0u) << "no vector file " << kind.prefix << "*.json in " << test::testVectorsDir();
    }
}

}  // namespace
}  // namespace duoquill
