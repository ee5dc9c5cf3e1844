#include <gtest/gtest.h>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/KeyStore.h"
#include "Duoquill/Platform/PQ/MLDSA87.h"
#include "Duoquill/Platform/PlatformError.h"
#include "VectorBackends.h"
#include "KnownAnswerFile.h"

namespace duoquill {
namespace {

using test::KnownAnswerFile;

void checkKeyGenerationFiles() {
    std::size_t checked = 0;
    for (const auto& path : KnownAnswerFile::allOfKind("mldsa87_keygen")) {
        const KnownAnswerFile file(path, "ML-DSA-87 (FIPS 204) ML-DSA.KeyGen_internal");
        for (const auto& t : file.tests()) {
            SCOPED_TRACE(file.name() + " case " + std::to_string(file.number(t, "id")));
            const Bytes seed = file.hex(t, "seed");
            const auto pair = mldsa87::generateFromSeed(seed);
            EXPECT_EQ(hexString(pair.publicKey), hexString(file.hex(t, "pk")));
            EXPECT_EQ(hexString(pair.privateKey), hexString(file.hex(t, "sk")));
            EXPECT_EQ(SoftwareKeyStore::mldsaFromSeed(seed)->publicKey(), pair.publicKey);
            ++checked;
        }
    }
    EXPECT_GT(checked, 0u);
}

TEST(MLDSA87, KnownAnswersOfKeyGeneration) { test::onEveryVectorBackend(checkKeyGenerationFiles); }

TEST(MLDSA87, RandomKeysHaveTheirSizesAndDiffer) {
    const auto a = mldsa87::generate();
    const auto b = mldsa87::generate();
    EXPECT_EQ(a.publicKey.size(), mldsa87::publicKeySize);
    EXPECT_EQ(a.privateKey.size(), mldsa87::privateKeySize);
    EXPECT_NE(a.publicKey, b.publicKey);
    // sk begins with rho, the first 32 bytes of pk.
    EXPECT_TRUE(std::equal(a.publicKey.begin(), a.publicKey.begin() + 32, a.privateKey.begin()));

    SoftwareKeyStore store;
    EXPECT_EQ(store.generateMLDSA87()->publicKey().size(), mldsa87::publicKeySize);
}

TEST(MLDSA87, SeedOfWrongLengthIsRefused) {
    for (std::size_t size : {std::size_t{0}, std::size_t{31}, std::size_t{33}, std::size_t{64}}) {
        EXPECT_THROW(mldsa87::generateFromSeed(Bytes(size, 1)), CryptoError);
        EXPECT_THROW(SoftwareKeyStore::mldsaFromSeed(Bytes(size, 1)), CryptoError);
    }
}

}  // namespace
}  // namespace duoquill
