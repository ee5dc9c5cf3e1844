// AES-256-GCM: round trips, and refusal of every single-bit change of the record, tag,
// nonce or associated data, and of records cut short or lengthened.

#include <gtest/gtest.h>

#include "Duoquill/Platform/AesGcm.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Random.h"

namespace duoquill {
namespace {

struct Sealed {
    SecureBytes key = random::bytes(aesgcm::keySize);
    Bytes nonce = toBytes(random::bytes(aesgcm::nonceSize));
    Bytes plaintext = toBytes(random::bytes(40));
    Bytes aad = toBytes(random::bytes(13));
    Bytes record = aesgcm::seal(key, nonce, plaintext, aad);
};

template <class Each>
void forEveryBit(const Bytes& bytes, Each each) {
    for (std::size_t bit = 0; bit < bytes.size() * 8; ++bit) {
        Bytes changed = bytes;
        changed[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        each(changed);
    }
}

TEST(AesGcm, RoundTripsAnyLength) {
    const SecureBytes key = random::bytes(aesgcm::keySize);
    const Bytes nonce(aesgcm::nonceSize, 7);
    for (std::size_t size : {0, 1, 15, 16, 17, 272, 1560}) {
        const Bytes plaintext = toBytes(random::bytes(size));
        const Bytes record = aesgcm::seal(key, nonce, plaintext, {});
        ASSERT_EQ(record.size(), size + aesgcm::tagSize);
        EXPECT_EQ(toBytes(aesgcm::open(key, nonce, record, {})), plaintext);
    }
}

TEST(AesGcm, EverySingleBitChangeIsRefused) {
    const Sealed s;
    ASSERT_EQ(toBytes(aesgcm::open(s.key, s.nonce, s.record, s.aad)), s.plaintext);
    // The record covers ciphertext and tag alike.
    forEveryBit(s.record, [&](const Bytes& r) { EXPECT_THROW(aesgcm::open(s.key, s.nonce, r, s.aad), AuthenticationError); });
    forEveryBit(s.nonce, [&](const Bytes& n) { EXPECT_THROW(aesgcm::open(s.key, n, s.record, s.aad), AuthenticationError); });
    forEveryBit(s.aad, [&](const Bytes& a) { EXPECT_THROW(aesgcm::open(s.key, s.nonce, s.record, a), AuthenticationError); });
    forEveryBit(toBytes(s.key), [&](const Bytes& k) { EXPECT_THROW(aesgcm::open(k, s.nonce, s.record, s.aad), AuthenticationError); });
}

TEST(AesGcm, LengthChangesAreRefused) {
    const Sealed s;
    for (std::size_t n = 0; n < s.record.size(); ++n) {
        const Bytes cut(s.record.begin(), s.record.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_THROW(aesgcm::open(s.key, s.nonce, cut, s.aad), AuthenticationError) << n;
    }
    EXPECT_THROW(aesgcm::open(s.key, s.nonce, concat(s.record, Bytes{0}), s.aad), AuthenticationError);
    EXPECT_THROW(aesgcm::open(s.key, s.nonce, s.record, concat(s.aad, Bytes{0})), AuthenticationError);
    EXPECT_THROW(aesgcm::open(s.key, s.nonce, s.record, {}), AuthenticationError);
}

TEST(AesGcm, WrongKeyOrNonceSizesAreRefused) {
    const Sealed s;
    for (std::size_t n : {0, 16, 31, 33}) {
        EXPECT_THROW(aesgcm::seal(Bytes(n, 1), s.nonce, s.plaintext, {}), CryptoError);
        EXPECT_THROW(aesgcm::open(Bytes(n, 1), s.nonce, s.record, s.aad), CryptoError);
    }
    for (std::size_t n : {0, 8, 11, 13, 16}) {
        EXPECT_THROW(aesgcm::seal(s.key, Bytes(n, 1), s.plaintext, {}), CryptoError);
        EXPECT_THROW(aesgcm::open(s.key, Bytes(n, 1), s.record, s.aad), CryptoError);
    }
}

}  // namespace
}  // namespace duoquill
