#include <gtest/gtest.h>

#include "Duoquill/Crypto/CryptoCore.h"

namespace duoquill {
namespace {

Bytes seq(std::size_t n, std::uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + i * 7);
    return b;
}

TEST(Base64URL, CompressedKeyRoundTripsWithoutPadding) {
    Bytes key = seq(33, 2);
    key[0] = 0x02;
    const std::string text = base64URLString(key);
    EXPECT_EQ(text.size(), 44u);
    EXPECT_EQ(text.find('='), std::string::npos);
    EXPECT_EQ(bytesFromPublicKeyString(text), key);
    EXPECT_EQ(base64URLString(seq(64)).size(), 86u);
    EXPECT_EQ(base64URLString(seq(32)).size(), 43u);
}

TEST(Base64URL, DecodingRules) {
    EXPECT_EQ(bytesFromBase64URLString(""), Bytes{});
    EXPECT_EQ(bytesFromBase64URLString("-_8"), (Bytes{0xfb, 0xff}));
    EXPECT_EQ(bytesFromBase64URLString("+/8"), (Bytes{0xfb, 0xff}));   // standard alphabet accepted
    EXPECT_EQ(bytesFromBase64URLString("+/8="), (Bytes{0xfb, 0xff}));  // padding accepted
    EXPECT_FALSE(bytesFromBase64URLString("A"));                       // r = 1
    EXPECT_FALSE(bytesFromBase64URLString("AA\tA"));
    EXPECT_FALSE(bytesFromBase64URLString("AA A"));
    EXPECT_FALSE(bytesFromBase64URLString("AAA\xc3\xa9"));
    EXPECT_FALSE(bytesFromBase64URLString("A=AA"));                    // misplaced padding
    EXPECT_FALSE(bytesFromBase64URLString("AA==AAAA"));
}

TEST(StandardBase64, RoundTripsAndIsStrict) {
    for (std::size_t n = 0; n < 40; ++n) {
        const Bytes b = seq(n, static_cast<std::uint8_t>(n));
        EXPECT_EQ(bytesFromBase64String(base64String(b)), b);
    }
    EXPECT_EQ(base64String(asBytes("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64String(asBytes("fo")), "Zm8=");
    EXPECT_FALSE(bytesFromBase64String("Zm8"));
    EXPECT_FALSE(bytesFromBase64String("Zm-="));
    EXPECT_FALSE(bytesFromBase64String("Zm8=\n"));
}

TEST(PublicKeyString, HexFormsIgnoreCaseAndBlanks) {
    Bytes key = seq(33, 0x30);
    key[0] = 0x03;
    const std::string hex = hexString(key);
    std::string upper = hex;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string spaced;
    for (std::size_t i = 0; i < hex.size(); ++i) {
        spaced += hex[i];
        if (i % 5 == 0) spaced += (i % 2 ? "\r\n" : " ");
    }
    EXPECT_EQ(bytesFromPublicKeyString(hex), key);
    EXPECT_EQ(bytesFromPublicKeyString(upper), key);
    EXPECT_EQ(bytesFromPublicKeyString(spaced), key);
}

TEST(PublicKeyString, RawKeysInBothFormsAndPadding) {
    const Bytes raw = seq(64, 9);
    EXPECT_EQ(bytesFromPublicKeyString(hexString(raw)), raw);
    EXPECT_EQ(bytesFromPublicKeyString(base64URLString(raw)), raw);
    EXPECT_EQ(bytesFromPublicKeyString(base64URLString(raw) + "=="), raw);
}

TEST(PublicKeyString, WrongSizesGiveNothing) {
    Bytes x963 = seq(65, 4);
    x963[0] = 0x04;
    EXPECT_FALSE(bytesFromPublicKeyString(hexString(x963)));
    EXPECT_FALSE(bytesFromPublicKeyString(base64URLString(x963)));
    EXPECT_FALSE(bytesFromPublicKeyString(base64URLString(seq(32))));
    EXPECT_FALSE(bytesFromPublicKeyString(""));
    EXPECT_FALSE(bytesFromPublicKeyString(hexString(seq(33)) + "0"));  // odd hex, not base64 of 33
}

TEST(PublicKeyString, HexDigitsThatAreAlsoBase64) {
    // 44 hexadecimal-digit characters read as hex give 22 bytes, so base64url wins: 33 bytes.
    const std::string text = "0123456789abcdef0123456789ABCDEF0123456789ab";
    ASSERT_EQ(text.size(), 44u);
    const auto decoded = bytesFromPublicKeyString(text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size(), 33u);
    EXPECT_EQ(decoded, bytesFromBase64URLString(text));
}

TEST(LegacyPairedString, Pairs) {
    EXPECT_EQ(bytesFromLegacyPairedString("0a0B"), (Bytes{0x0a, 0x0b}));
    EXPECT_FALSE(bytesFromLegacyPairedString("0a0"));
    EXPECT_FALSE(bytesFromLegacyPairedString("0g"));
    EXPECT_FALSE(bytesFromLegacyPairedString("+0"));
    EXPECT_EQ(bytesFromLegacyPairedString(""), Bytes{});
}

TEST(EncryptionCurveTest, OnlyKeySizes) {
    EXPECT_EQ(encryptionCurveFrom(33), EncryptionCurve::p256);
    EXPECT_EQ(encryptionCurveFrom(64), EncryptionCurve::p256);
    for (long long n : {0LL, 32LL, 65LL, -33LL}) EXPECT_FALSE(encryptionCurveFrom(n));
}

TEST(SecureZero, WipesInPlace) {
    Bytes b = seq(50, 1);
    secureZero(b);
    EXPECT_EQ(b, Bytes(50, 0));
    Bytes empty;
    secureZero(empty);
    EXPECT_TRUE(empty.empty());
    EXPECT_STREQ(CrypterError().what(), "Invalid key format");
    EXPECT_EQ(CrypterError(), CrypterError());
}

}  // namespace
}  // namespace duoquill
