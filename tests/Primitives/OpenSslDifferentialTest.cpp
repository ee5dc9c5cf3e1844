// Our ML-KEM-1024 and ML-DSA-87 key generation against the system's OpenSSL, where it has
// them, as an oracle written by other hands: the same random seeds give the same keys, and
// what one side encapsulates the other decapsulates. Skipped, with the reason, where OpenSSL
// lacks the algorithm. The vectors' own cases are the known-answer tests', and HPKE's exact
// bytes in both modes are in its vector file.

#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Primitives/PQ/MLDSA87.h"
#include "Duoquill/Primitives/PQ/MLKEM1024.h"
#include "Duoquill/Primitives/Random.h"

namespace duoquill {
namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype([](EVP_PKEY* key) { EVP_PKEY_free(key); })>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype([](EVP_PKEY_CTX* context) { EVP_PKEY_CTX_free(context); })>;

std::string openSslLacks(const char* algorithm) {
    EVP_KEYMGMT* management = EVP_KEYMGMT_fetch(nullptr, algorithm, nullptr);
    EVP_KEYMGMT_free(management);
    ERR_clear_error();
    const std::string version = OpenSSL_version(OPENSSL_VERSION);
    return management != nullptr ? std::string() : version + " has no " + algorithm + " (OpenSSL 3.5 and later have it)";
}

Bytes fresh(std::size_t size) { return toBytes(random::bytes(size)); }

// Key generation from a seed: OpenSSL takes it as the "seed" parameter before generating.
PKey generateFromSeed(const char* algorithm, BytesView seed) {
    PKeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, algorithm, nullptr));
    EVP_PKEY* key = nullptr;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string("seed", const_cast<std::uint8_t*>(seed.data()), seed.size()),
        OSSL_PARAM_construct_end()};
    if (!context || EVP_PKEY_keygen_init(context.get()) <= 0 || EVP_PKEY_CTX_set_params(context.get(), params) <= 0 ||
        EVP_PKEY_generate(context.get(), &key) <= 0) {
        ADD_FAILURE() << "OpenSSL " << algorithm << " key generation from a seed failed";
    }
    return PKey(key);
}

Bytes octets(const EVP_PKEY* key, const char* name) {
    std::size_t size = 0;
    EVP_PKEY_get_octet_string_param(key, name, nullptr, 0, &size);
    Bytes out(size);
    if (EVP_PKEY_get_octet_string_param(key, name, out.data(), out.size(), &size) <= 0) ADD_FAILURE() << name;
    out.resize(size);
    return out;
}

// OpenSSL's encapsulation to our key, with its own randomness.
mlkem1024::Encapsulation openSslEncapsulate(BytesView ek) {
    const PKey key(EVP_PKEY_new_raw_public_key_ex(nullptr, "ML-KEM-1024", nullptr, ek.data(), ek.size()));
    PKeyContext context(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr);
    mlkem1024::Encapsulation out{SecureBytes(mlkem1024::sharedSecretSize), Bytes(mlkem1024::ciphertextSize)};
    std::size_t ciphertextSize = out.ciphertext.size(), secretSize = out.sharedSecret.size();
    if (!context || EVP_PKEY_encapsulate_init(context.get(), nullptr) <= 0 ||
        EVP_PKEY_encapsulate(context.get(), out.ciphertext.data(), &ciphertextSize, out.sharedSecret.data(),
                             &secretSize) <= 0) {
        ADD_FAILURE() << "OpenSSL ML-KEM-1024 encapsulation failed";
    }
    return out;
}

Bytes openSslDecapsulate(EVP_PKEY* key, BytesView ciphertext) {
    PKeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    Bytes secret(mlkem1024::sharedSecretSize);
    std::size_t size = secret.size();
    if (!context || EVP_PKEY_decapsulate_init(context.get(), nullptr) <= 0 ||
        EVP_PKEY_decapsulate(context.get(), secret.data(), &size, ciphertext.data(), ciphertext.size()) <= 0) {
        ADD_FAILURE() << "OpenSSL ML-KEM-1024 decapsulation failed";
    }
    return secret;
}

TEST(OpenSslDifferential, MLKEM1024RandomKeysAgreeBothWaysAndRejectAlike) {
    if (const auto reason = openSslLacks("ML-KEM-1024"); !reason.empty()) GTEST_SKIP() << reason;
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Bytes d = fresh(32), z = fresh(32);
        const auto ours = mlkem1024::generateFromSeeds(d, z);
        const PKey theirs = generateFromSeed("ML-KEM-1024", concat<Bytes>(d, z));
        ASSERT_TRUE(theirs);
        ASSERT_EQ(octets(theirs.get(), OSSL_PKEY_PARAM_PUB_KEY), ours.encapsulationKey);
        ASSERT_EQ(octets(theirs.get(), OSSL_PKEY_PARAM_PRIV_KEY), toBytes(ours.decapsulationKey));

        const auto toThem = mlkem1024::encapsulate(ours.encapsulationKey);
        EXPECT_EQ(openSslDecapsulate(theirs.get(), toThem.ciphertext), toBytes(toThem.sharedSecret));
        const auto toUs = openSslEncapsulate(ours.encapsulationKey);
        EXPECT_EQ(mlkem1024::decapsulate(ours.decapsulationKey, toUs.ciphertext), toUs.sharedSecret);

        // An altered ciphertext: both give the same implicit-rejection key.
        Bytes altered = toThem.ciphertext;
        altered[random::uniform(static_cast<std::uint32_t>(altered.size()))] ^= static_cast<std::uint8_t>(1 + random::uniform(255));
        const Bytes rejected = openSslDecapsulate(theirs.get(), altered);
        EXPECT_EQ(toBytes(mlkem1024::decapsulate(ours.decapsulationKey, altered)), rejected);
        EXPECT_NE(rejected, toBytes(toThem.sharedSecret));
    }
}

TEST(OpenSslDifferential, MLDSA87KeysFromTheSameSeedsAreEqual) {
    if (const auto reason = openSslLacks("ML-DSA-87"); !reason.empty()) GTEST_SKIP() << reason;
    for (int round = 0; round < 8; ++round) {
        const Bytes seed = fresh(mldsa87::seedSize);
        SCOPED_TRACE(hexString(seed));
        const auto ours = mldsa87::generateFromSeed(seed);
        const PKey theirs = generateFromSeed("ML-DSA-87", seed);
        ASSERT_TRUE(theirs);
        EXPECT_EQ(octets(theirs.get(), OSSL_PKEY_PARAM_PUB_KEY), ours.publicKey);
        EXPECT_EQ(octets(theirs.get(), OSSL_PKEY_PARAM_PRIV_KEY), toBytes(ours.privateKey));
    }
}

}  // namespace
}  // namespace duoquill
