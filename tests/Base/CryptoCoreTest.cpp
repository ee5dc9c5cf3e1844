// The key encodings: base64url and standard base64, the public-key text forms, hex pairs.

#include <gtest/gtest.h>

#include "Duoquill/Base/CryptoCore.h"
#include "Kit/World.h"

namespace duoquill {
namespace {

// Bytes that are the same in every run.
Bytes bytes(std::size_t n) { return test::DeterministicStream(n).bytes(n); }

TEST(Base64, BothFormsRoundTripAndDecodeByTheirOwnRules) {
    for (std::size_t n = 0; n < 40; ++n) {
        const Bytes b = bytes(n);
        EXPECT_EQ(bytesFromBase64String(base64String(b)), b) << n;
        EXPECT_EQ(bytesFromBase64URLString(base64URLString(b)), b) << n;
        EXPECT_EQ(base64URLString(b).size(), (4 * n + 2) / 3) << n;  // no padding
    }
    EXPECT_EQ(base64URLString(Bytes{0xfb, 0xff}), "-_8");
    EXPECT_EQ(base64String(asBytes("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64String(asBytes("foobarbazqux!")), "Zm9vYmFyYmF6cXV4IQ==");
    EXPECT_EQ(base64String(asBytes("fo")), "Zm8=");
    // The URL form reads either alphabet, padded or not; not a single leftover character,
    // blanks, non-ASCII or misplaced padding. The standard form reads only itself.
    for (const char* text : {"-_8", "+/8", "+/8="}) EXPECT_EQ(bytesFromBase64URLString(text), (Bytes{0xfb, 0xff})) << text;
    for (const char* text : {"A", "AA\tA", "AA A", "AAA\xc3\xa9", "A=AA", "AA==AAAA"}) {
        EXPECT_FALSE(bytesFromBase64URLString(text)) << text;
    }
    for (const char* text : {"Zm8", "Zm-=", "Zm8=\n", "Zm8=Zm8=", "Zm-vYmFy", "\xffm9vYmFy"}) {
        EXPECT_FALSE(bytesFromBase64String(text)) << text;
    }
}

TEST(LegacyPairedString, PairsOfHexDigitsOnly) {
    EXPECT_EQ(bytesFromLegacyPairedString("0a0B"), (Bytes{0x0a, 0x0b}));
    EXPECT_EQ(bytesFromLegacyPairedString(""), Bytes{});
    for (const char* text : {"0a0", "0g", "+0"}) EXPECT_FALSE(bytesFromLegacyPairedString(text)) << text;
}

TEST(PublicKeyString, CompressedAndRawKeysInEveryFormAndNoOtherSize) {
    Bytes compressed = bytes(33);
    compressed[0] = 0x03;
    const std::string hex = hexString(compressed);
    std::string upper = hex, spaced;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::size_t i = 0; i < hex.size(); ++i) spaced += hex.substr(i, 1) + (i % 5 ? "" : i % 2 ? "\r\n" : " ");
    for (const std::string& text : {hex, upper, spaced, base64URLString(compressed)}) {
        EXPECT_EQ(bytesFromPublicKeyString(text), compressed) << text;
    }
    const Bytes raw = bytes(64);
    for (const std::string& text : {hexString(raw), base64URLString(raw), base64URLString(raw) + "=="}) {
        EXPECT_EQ(bytesFromPublicKeyString(text), raw) << text;
    }
    // 44 hexadecimal-digit characters read as hex give 22 bytes, so base64url wins: 33 bytes.
    const std::string both = "0123456789abcdef0123456789ABCDEF0123456789ab";
    EXPECT_EQ(bytesFromPublicKeyString(both), bytesFromBase64URLString(both).value());

    Bytes x963 = bytes(65);
    x963[0] = 0x04;
    for (const std::string& text : {hexString(x963), base64URLString(x963), base64URLString(bytes(32)), std::string(),
                                    hexString(bytes(33)) + "0"}) {  // odd hex, not base64 of 33 bytes either
        EXPECT_FALSE(bytesFromPublicKeyString(text)) << text;
    }
    for (long long n : {0LL, 32LL, 33LL, 64LL, 65LL, -33LL}) {
        const auto expected = n == 33 || n == 64 ? std::optional(EncryptionCurve::p256) : std::nullopt;
        EXPECT_EQ(encryptionCurveFrom(n), expected) << n;
    }
}

}  // namespace
}  // namespace duoquill
