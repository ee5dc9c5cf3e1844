// The key encodings: base64url and standard base64, the public-key text forms, hex pairs.

#include <gtest/gtest.h>

#include "Duoquill/Crypto/CryptoCore.h"

namespace duoquill {
namespace {

Bytes seq(std::size_t n, std::uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + i * 7);
    return b;
}

TEST(Base64, URLFormHasNoPaddingAndDecodesLeniently) {
    EXPECT_EQ(base64URLString(seq(33)).size(), 44u);
    EXPECT_EQ(base64URLString(seq(64)).size(), 86u);
    EXPECT_EQ(base64URLString(seq(32)).size(), 43u);
    EXPECT_EQ(base64URLString(Bytes{0xfb, 0xff}), "-_8");
    EXPECT_EQ(bytesFromBase64URLString(""), Bytes{});
    // Either alphabet, padding or none.
    for (const char* text : {"-_8", "+/8", "+/8="}) EXPECT_EQ(bytesFromBase64URLString(text), (Bytes{0xfb, 0xff})) << text;
    // A single leftover character, blanks, non-ASCII, misplaced padding.
    for (const char* text : {"A", "AA\tA", "AA A", "AAA\xc3\xa9", "A=AA", "AA==AAAA"}) {
        EXPECT_FALSE(bytesFromBase64URLString(text)) << text;
    }
}

TEST(Base64, StandardFormRoundTripsAndIsStrict) {
    for (std::size_t n = 0; n < 40; ++n) {
        const Bytes b = seq(n, static_cast<std::uint8_t>(n));
        EXPECT_EQ(bytesFromBase64String(base64String(b)), b);
    }
    EXPECT_EQ(base64String(asBytes("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64String(asBytes("fo")), "Zm8=");
    for (const char* text : {"Zm8", "Zm-=", "Zm8=\n"}) EXPECT_FALSE(bytesFromBase64String(text)) << text;
}

TEST(PublicKeyString, CompressedAndRawKeysInEveryForm) {
    Bytes compressed = seq(33, 0x30);
    compressed[0] = 0x03;
    const std::string hex = hexString(compressed);
    std::string upper = hex, spaced;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::size_t i = 0; i < hex.size(); ++i) spaced += hex.substr(i, 1) + (i % 5 ? "" : i % 2 ? "\r\n" : " ");
    for (const std::string& text : {hex, upper, spaced, base64URLString(compressed)}) {
        EXPECT_EQ(bytesFromPublicKeyString(text), compressed) << text;
    }
    const Bytes raw = seq(64, 9);
    for (const std::string& text : {hexString(raw), base64URLString(raw), base64URLString(raw) + "=="}) {
        EXPECT_EQ(bytesFromPublicKeyString(text), raw) << text;
    }
    // 44 hexadecimal-digit characters read as hex give 22 bytes, so base64url wins: 33 bytes.
    const std::string both = "0123456789abcdef0123456789ABCDEF0123456789ab";
    EXPECT_EQ(bytesFromPublicKeyString(both), bytesFromBase64URLString(both));
    EXPECT_EQ(bytesFromPublicKeyString(both)->size(), 33u);
}

TEST(PublicKeyString, WrongSizesGiveNothing) {
    Bytes x963 = seq(65, 4);
    x963[0] = 0x04;
    for (const std::string& text : {hexString(x963), base64URLString(x963), base64URLString(seq(32)), std::string(),
                                    hexString(seq(33)) + "0"}) {  // odd hex, not base64 of 33 bytes either
        EXPECT_FALSE(bytesFromPublicKeyString(text)) << text;
    }
    EXPECT_EQ(encryptionCurveFrom(33), EncryptionCurve::p256);
    EXPECT_EQ(encryptionCurveFrom(64), EncryptionCurve::p256);
    for (long long n : {0LL, 32LL, 65LL, -33LL}) EXPECT_FALSE(encryptionCurveFrom(n));
}

TEST(LegacyPairedString, PairsAndWiping) {
    EXPECT_EQ(bytesFromLegacyPairedString("0a0B"), (Bytes{0x0a, 0x0b}));
    EXPECT_EQ(bytesFromLegacyPairedString(""), Bytes{});
    for (const char* text : {"0a0", "0g", "+0"}) EXPECT_FALSE(bytesFromLegacyPairedString(text)) << text;
    Bytes b = seq(50, 1);
    secureZero(b);
    EXPECT_EQ(b, Bytes(50, 0));
    EXPECT_STREQ(CrypterError().what(), "Invalid key format");
}

}  // namespace
}  // namespace duoquill
