// Our ML-KEM-1024, ML-DSA-87 key generation and HPKE against the system's OpenSSL, where it
// has them, as an oracle written by other hands: the same random seeds give the same keys,
// and what one side makes the other opens. Skipped, with the reason, where OpenSSL lacks the
// algorithm. The vectors' own cases are the known-answer tests'.

#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#if __has_include(<openssl/hpke.h>)
#include <openssl/hpke.h>
#endif

#include <memory>
#include <string>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/KeyStorage/KeyStore.h"
#include "Duoquill/Platform/PQ/MLDSA87.h"
#include "Duoquill/Platform/PQ/MLKEM1024.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Primitives/Hpke.h"
#include "Duoquill/Platform/Primitives/P256.h"
#include "Duoquill/Platform/Primitives/Random.h"

namespace duoquill {
namespace {

struct PKeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct PKeyContextFree {
    void operator()(EVP_PKEY_CTX* context) const noexcept { EVP_PKEY_CTX_free(context); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, PKeyContextFree>;

std::string openSslLacks(const char* algorithm) {
    EVP_KEYMGMT* management = EVP_KEYMGMT_fetch(nullptr, algorithm, nullptr);
    EVP_KEYMGMT_free(management);
    ERR_clear_error();
    if (management != nullptr) return {};
    return std::string(OpenSSL_version(OPENSSL_VERSION)) + " has no " + algorithm + " (OpenSSL 3.5 and later have it)";
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

// Null when OpenSSL refuses the key (its own checks of the encoding).
PKey mlkemPublic(BytesView ek) {
    ERR_clear_error();
    return PKey(EVP_PKEY_new_raw_public_key_ex(nullptr, "ML-KEM-1024", nullptr, ek.data(), ek.size()));
}

// With randomness m given (the "ikme" parameter), or OpenSSL's own when m is empty.
mlkem1024::Encapsulation openSslEncapsulate(EVP_PKEY* key, BytesView m = {}) {
    PKeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string("ikme", const_cast<std::uint8_t*>(m.data()), m.size()),
        OSSL_PARAM_construct_end()};
    mlkem1024::Encapsulation out{SecureBytes(mlkem1024::sharedSecretSize), Bytes(mlkem1024::ciphertextSize)};
    std::size_t ciphertextSize = out.ciphertext.size(), secretSize = out.sharedSecret.size();
    if (!context || EVP_PKEY_encapsulate_init(context.get(), m.empty() ? nullptr : params) <= 0 ||
        EVP_PKEY_encapsulate(context.get(), out.ciphertext.data(), &ciphertextSize, out.sharedSecret.data(), &secretSize) <= 0) {
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
        const auto toUs = openSslEncapsulate(mlkemPublic(ours.encapsulationKey).get());
        EXPECT_EQ(mlkem1024::decapsulate(ours.decapsulationKey, toUs.ciphertext), toUs.sharedSecret);

        // An altered ciphertext: both give the same implicit-rejection key.
        Bytes altered = toThem.ciphertext;
        altered[random::uniform(static_cast<std::uint32_t>(altered.size()))] ^= static_cast<std::uint8_t>(1 + random::uniform(255));
        const Bytes rejected = openSslDecapsulate(theirs.get(), altered);
        EXPECT_EQ(toBytes(mlkem1024::decapsulate(ours.decapsulationKey, altered)), rejected);
        EXPECT_NE(rejected, toBytes(toThem.sharedSecret));
    }

    // A coefficient of q or more in the key: both refuse it.
    Bytes outOfRange = mlkem1024::generate().encapsulationKey;
    outOfRange[0] = 0xFF;
    outOfRange[1] |= 0x0F;
    EXPECT_THROW(mlkem1024::encapsulate(outOfRange), CryptoError);
    const PKey refused = mlkemPublic(outOfRange);
    if (refused) {
        PKeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, refused.get(), nullptr));
        EXPECT_LE(EVP_PKEY_encapsulate_init(context.get(), nullptr), 0) << "OpenSSL took a key out of range";
    }
    ERR_clear_error();
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

#if __has_include(<openssl/hpke.h>)

struct HpkeContextFree {
    void operator()(OSSL_HPKE_CTX* context) const noexcept { OSSL_HPKE_CTX_free(context); }
};
using HpkeContext = std::unique_ptr<OSSL_HPKE_CTX, HpkeContextFree>;

// The session's suite in mode_psk, with messages of one byte, one block and many. OpenSSL's
// HPKE refuses an empty plaintext both ways (which the session never seals).
struct HpkeCase {
    const OSSL_HPKE_SUITE suite{OSSL_HPKE_KEM_ID_P256, OSSL_HPKE_KDF_ID_HKDF_SHA512, OSSL_HPKE_AEAD_ID_AES_GCM_256};
    const Bytes info = fresh(200), psk = fresh(32), aad = fresh(17), exporterContext = fresh(9);
    const std::string pskId = "duoquill differential psk id";
    const std::vector<Bytes> messages = {fresh(1), fresh(16), fresh(4099)};
    const p256::PrivateKey recipient = p256::PrivateKey::generate();

    hpke::KeySchedule schedule() const {
        return {hpke::Mode::psk, info, psk, asBytes(pskId)};
    }
    HpkeContext openSslContext(int role) const {
        HpkeContext context(OSSL_HPKE_CTX_new(OSSL_HPKE_MODE_PSK, suite, role, nullptr, nullptr));
        if (!context || OSSL_HPKE_CTX_set1_psk(context.get(), pskId.c_str(), psk.data(), psk.size()) != 1) {
            ADD_FAILURE() << "OpenSSL HPKE context";
        }
        return context;
    }
    Bytes openSslExport(OSSL_HPKE_CTX* context) const {
        Bytes secret(42);
        EXPECT_EQ(OSSL_HPKE_export(context, secret.data(), secret.size(), exporterContext.data(), exporterContext.size()), 1);
        return secret;
    }
};

TEST(OpenSslDifferential, HpkePskSealedByOneSideOpensOnTheOther) {
    const HpkeCase c;
    {
        SCOPED_TRACE("ours seals, OpenSSL opens");
        auto sender = hpke::SenderContext::setup(c.recipient.publicKey(), c.schedule());
        const HpkeContext context = c.openSslContext(OSSL_HPKE_ROLE_RECEIVER);
        ASSERT_EQ(OSSL_HPKE_decap(context.get(), sender.encapsulatedKey().data(), sender.encapsulatedKey().size(),
                                  c.recipient.native(), c.info.data(), c.info.size()), 1);
        for (const Bytes& message : c.messages) {
            const Bytes sealed = sender.seal(c.aad, message);
            Bytes opened(sealed.size());
            std::size_t size = opened.size();
            ASSERT_EQ(OSSL_HPKE_open(context.get(), opened.data(), &size, c.aad.data(), c.aad.size(), sealed.data(), sealed.size()), 1);
            opened.resize(size);
            EXPECT_EQ(opened, message);
        }
        EXPECT_EQ(c.openSslExport(context.get()), toBytes(sender.exportSecret(c.exporterContext, 42)));
    }
    {
        SCOPED_TRACE("OpenSSL seals, ours opens");
        const HpkeContext context = c.openSslContext(OSSL_HPKE_ROLE_SENDER);
        const Bytes recipientPublic = c.recipient.publicX963();
        Bytes enc(hpke::encapsulatedKeySize);
        std::size_t encSize = enc.size();
        ASSERT_EQ(OSSL_HPKE_encap(context.get(), enc.data(), &encSize, recipientPublic.data(), recipientPublic.size(),
                                  c.info.data(), c.info.size()), 1);
        ASSERT_EQ(encSize, enc.size());
        const auto key = SoftwareKeyStore::wrap(c.recipient);
        auto recipient = hpke::RecipientContext::setup(enc, *key, c.schedule());
        for (const Bytes& message : c.messages) {
            Bytes sealed(message.size() + 16);
            std::size_t size = sealed.size();
            ASSERT_EQ(OSSL_HPKE_seal(context.get(), sealed.data(), &size, c.aad.data(), c.aad.size(), message.data(), message.size()), 1);
            sealed.resize(size);
            EXPECT_EQ(toBytes(recipient.open(c.aad, sealed)), message);
        }
        // One more, with a bit flipped: refused, as OpenSSL's own recipient would.
        const Bytes last = fresh(5);
        Bytes sealed(last.size() + 16);
        std::size_t size = sealed.size();
        ASSERT_EQ(OSSL_HPKE_seal(context.get(), sealed.data(), &size, c.aad.data(), c.aad.size(), last.data(), last.size()), 1);
        sealed[3] ^= 0x20;
        EXPECT_THROW(recipient.open(c.aad, sealed), AuthenticationError);
        EXPECT_EQ(c.openSslExport(context.get()), toBytes(recipient.exportSecret(c.exporterContext, 42)));
    }
}

#else

TEST(OpenSslDifferential, HpkePskSealedByOneSideOpensOnTheOther) {
    GTEST_SKIP() << OpenSSL_version(OPENSSL_VERSION) << " has no HPKE interface (OpenSSL 3.2 and later have it)";
}

#endif

}  // namespace
}  // namespace duoquill
