// The random source and the constant-time comparison.

#include <gtest/gtest.h>

#include <array>

#include "Duoquill/Platform/ConstantTime.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Random.h"

namespace duoquill {
namespace {

TEST(Random, BytesAreFreshEachTime) {
    EXPECT_TRUE(random::bytes(0).empty());
    const SecureBytes a = random::bytes(32), b = random::bytes(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    random::fill({});
}

TEST(Random, UniformCoversTheRangeAndNothingElse) {
    EXPECT_THROW(random::uniform(0), CryptoError);
    EXPECT_EQ(random::uniform(1), 0u);
    std::array<int, 3> seen{};
    for (int i = 0; i < 600; ++i) {
        const std::uint32_t v = random::uniform(3);
        ASSERT_LT(v, 3u);
        ++seen[v];
    }
    for (int count : seen) EXPECT_GT(count, 100);  // about 200 each; 100 is far in the tail
    EXPECT_LT(random::uniform(0xffffffffu), 0xffffffffu);
}

TEST(ConstantTime, EqualsOnlyOnSameLengthAndBytes) {
    const Bytes a = {1, 2, 3, 4};
    EXPECT_TRUE(constantTimeEquals(a, Bytes{1, 2, 3, 4}));
    EXPECT_FALSE(constantTimeEquals(a, Bytes{0, 2, 3, 4}));
    EXPECT_FALSE(constantTimeEquals(a, Bytes{1, 2, 3, 5}));
    EXPECT_FALSE(constantTimeEquals(a, Bytes{1, 2, 3}));
    EXPECT_FALSE(constantTimeEquals(a, Bytes{1, 2, 3, 4, 0}));
    EXPECT_TRUE(constantTimeEquals({}, {}));
    EXPECT_FALSE(constantTimeEquals({}, a));
}

}  // namespace
}  // namespace duoquill
