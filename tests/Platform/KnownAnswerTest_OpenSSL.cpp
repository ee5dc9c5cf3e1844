// Known-answer tests of the OpenSSL-backed primitives against every vector file of their
// kind: AES-256-GCM, P-256 ECDH and HKDF (Wycheproof). "invalid" cases must be refused,
// "valid" ones give the listed bytes, "acceptable" ones may go either way but must not
// give wrong bytes.

#include <gtest/gtest.h>

#include <algorithm>

#include "Duoquill/Platform/AesGcm.h"
#include "Duoquill/Platform/Hkdf.h"
#include "Duoquill/Platform/P256.h"
#include "Duoquill/Platform/PlatformError.h"
#include "KnownAnswerFile.h"
#include "Support/Paths.h"

namespace duoquill {
namespace {

using test::KnownAnswerFile;

enum class Expected { valid, invalid, acceptable };

Expected expectedResult(const KnownAnswerFile& file, const boost::json::value& test) {
    const std::string result = file.text(test, "result");
    if (result == "valid") return Expected::valid;
    if (result == "invalid") return Expected::invalid;
    if (result == "acceptable") return Expected::acceptable;
    throw std::runtime_error("vector file " + file.name() + ": unknown result \"" + result + "\"");
}

std::string caseName(const KnownAnswerFile& file, const boost::json::value& test) {
    return file.name() + " case " + std::to_string(file.number(test, "id"));
}

TEST(KnownAnswerOpenSSL, AesGcm) {
    for (const auto& path : KnownAnswerFile::allOfKind("aes256gcm")) {
        const KnownAnswerFile file(path, "AES-256-GCM");
        for (const auto& test : file.tests()) {
            SCOPED_TRACE(caseName(file, test));
            const Bytes key = file.hex(test, "key"), iv = file.hex(test, "iv"), aad = file.hex(test, "aad");
            const Bytes msg = file.hex(test, "msg");
            const Bytes sealed = concat(file.hex(test, "ct"), file.hex(test, "tag"));
            ASSERT_EQ(file.number(test, "tagSize"), 8 * aesgcm::tagSize);
            switch (expectedResult(file, test)) {
                case Expected::valid:
                    EXPECT_EQ(aesgcm::seal(key, iv, msg, aad), sealed);
                    EXPECT_EQ(toBytes(aesgcm::open(key, iv, sealed, aad)), msg);
                    break;
                case Expected::invalid:
                    EXPECT_THROW(aesgcm::open(key, iv, sealed, aad), CryptoError);
                    break;
                case Expected::acceptable:
                    try {
                        EXPECT_EQ(toBytes(aesgcm::open(key, iv, sealed, aad)), msg);
                    } catch (const CryptoError&) {
                    }
                    break;
            }
        }
    }
}

// The Wycheproof peer key is a SEC1 point in any form, or garbage.
p256::PublicKey importSec1(BytesView encoded) {
    if (encoded.size() == p256::compressedSize) return p256::PublicKey::fromCompressed(encoded);
    return p256::PublicKey::fromX963(encoded);
}

// Wycheproof scalars are minimal big-endian integers, sometimes with a leading 00.
Bytes scalar32(const KnownAnswerFile& file, Bytes scalar) {
    const auto firstNonZero = std::find_if(scalar.begin(), scalar.end(), [](std::uint8_t b) { return b != 0; });
    scalar.erase(scalar.begin(), firstNonZero);
    if (scalar.size() > p256::scalarSize) throw std::runtime_error("vector file " + file.name() + ": private too long");
    scalar.insert(scalar.begin(), p256::scalarSize - scalar.size(), 0);
    return scalar;
}

TEST(KnownAnswerOpenSSL, P256Ecdh) {
    for (const auto& path : KnownAnswerFile::allOfKind("ecdh_p256")) {
        const KnownAnswerFile file(path, "ECDH over P-256");
        for (const auto& test : file.tests()) {
            SCOPED_TRACE(caseName(file, test));
            const Bytes peer = file.hex(test, "public"), shared = file.hex(test, "shared");
            const auto own = p256::PrivateKey::fromScalar(scalar32(file, file.hex(test, "private")));
            const auto agree = [&] { return toBytes(own.sharedSecret(importSec1(peer))); };
            switch (expectedResult(file, test)) {
                case Expected::valid:
                    EXPECT_EQ(agree(), shared);
                    break;
                case Expected::invalid:
                    EXPECT_THROW(agree(), CryptoError);
                    break;
                case Expected::acceptable:
                    try {
                        EXPECT_EQ(agree(), shared);
                    } catch (const CryptoError&) {
                    }
                    break;
            }
        }
    }
}

void checkHkdfFiles(std::string_view prefix, std::string_view algorithm, HashFunction hash) {
    for (const auto& path : KnownAnswerFile::allOfKind(prefix)) {
        const KnownAnswerFile file(path, algorithm);
        for (const auto& test : file.tests()) {
            SCOPED_TRACE(caseName(file, test));
            const Bytes ikm = file.hex(test, "ikm"), salt = file.hex(test, "salt"), info = file.hex(test, "info");
            const std::size_t size = file.number(test, "size");
            if (expectedResult(file, test) == Expected::invalid) {
                EXPECT_THROW(hkdf::derive(hash, ikm, salt, info, size), CryptoError);
                EXPECT_THROW(hkdf::expand(hash, hkdf::extract(hash, salt, ikm), info, size), CryptoError);
                continue;
            }
            const Bytes okm = file.hex(test, "okm");
            EXPECT_EQ(toBytes(hkdf::derive(hash, ikm, salt, info, size)), okm);
            EXPECT_EQ(toBytes(hkdf::expand(hash, hkdf::extract(hash, salt, ikm), info, size)), okm);
        }
    }
}

TEST(KnownAnswerOpenSSL, HkdfSha256) { checkHkdfFiles("hkdf_sha256", "HKDF-SHA256", HashFunction::sha256); }
TEST(KnownAnswerOpenSSL, HkdfSha512) { checkHkdfFiles("hkdf_sha512", "HKDF-SHA512", HashFunction::sha512); }

// Every file in the vector folder must belong to a kind that some suite of the project
// reads; a new or misnamed file fails here rather than going unread.
TEST(KnownAnswerOpenSSL, EveryVectorFileHasAKnownKind) {
    const std::string_view kinds[] = {"aes256gcm",       "ecdh_p256",        "hkdf_sha256",
                                      "hkdf_sha512",     "hpke_p256_sha512", "mlkem1024_keygen",
                                      "mlkem1024_encapdecap", "mldsa87_keygen", "sha3_shake", "session_kat"};
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(test::testVectorsDir())) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".json")) continue;
        ++files;
        const bool known = std::any_of(std::begin(kinds), std::end(kinds),
                                       [&](std::string_view kind) { return name.starts_with(kind); });
        EXPECT_TRUE(known) << "vector file of unknown kind: " << name;
    }
    EXPECT_GT(files, 0u);
}

}  // namespace
}  // namespace duoquill
