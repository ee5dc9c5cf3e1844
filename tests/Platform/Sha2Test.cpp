// SHA-256 and SHA-512: the FIPS 180 examples, and incremental hashing in any split.

#include <gtest/gtest.h>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Sha2.h"

namespace duoquill {
namespace {

TEST(Sha2, KnownDigests) {
    EXPECT_EQ(hexString(sha256(asBytes("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexString(sha512(asBytes("abc"))),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(hexString(sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha512({}).size(), Sha512::digestSize);
}

TEST(Sha2, IncrementalMatchesOneCallForEverySplit) {
    Bytes message(300);
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7);
    const BytesView all(message);
    for (std::size_t split = 0; split <= message.size(); split += 37) {
        Sha256 a;
        a.update(all.first(split)).update(all.subspan(split));
        EXPECT_EQ(a.finish(), sha256(message));
        Sha512 b;
        b.update(all.first(split)).update({}).update(all.subspan(split));
        EXPECT_EQ(b.finish(), sha512(message));
    }
}

TEST(Sha2, FinishStartsAFreshHash) {
    Sha512 hash;
    hash.update(asBytes("ignored"));
    (void)hash.finish();
    hash.update(asBytes("abc"));
    EXPECT_EQ(hash.finish(), sha512(asBytes("abc")));
    Sha512 moved = std::move(hash);
    EXPECT_EQ(moved.update(asBytes("abc")).finish(), sha512(asBytes("abc")));
}

}  // namespace
}  // namespace duoquill
