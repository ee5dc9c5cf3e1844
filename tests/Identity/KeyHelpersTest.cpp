// Peer-key validation and the safety code.

#include <gtest/gtest.h>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Primitives/P256.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "Duoquill/Identity/SafetyCode.h"

namespace duoquill::test {
namespace {

// The generator point of P-256.
const std::string kGx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const std::string kGy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";

Bytes hex(std::string_view text) { return *bytesFromLegacyPairedString(text); }

TEST(PeerKeys, EveryFormOfOneKeyCompressesToTheSameText) {
    const std::string expected = base64URLString(hex("03" + kGx));
    for (const auto& form : {kGx + kGy, base64URLString(hex(kGx + kGy)), base64URLString(hex(kGx + kGy)) + "==",
                             "03" + kGx, "03 " + kGx.substr(0, 30) + "\r\n" + kGx.substr(30), expected}) {
        EXPECT_EQ(KeyHelpers::compressedP256(form), expected) << form;
        EXPECT_TRUE(KeyHelpers::isValidPublicKey(form)) << form;
        EXPECT_EQ(KeyHelpers::p256PublicKey(form).raw(), hex(kGx + kGy));
    }
    // -G, whose Y is even.
    EXPECT_EQ(KeyHelpers::compressedP256(hexString(p256::PublicKey::fromCompressed(hex("02" + kGx)).raw())),
              base64URLString(hex("02" + kGx)));
}

TEST(PeerKeys, MalformedAndOffCurveKeysAreRefused) {
    std::string yPlusOne = kGy;
    yPlusOne.back() = '6';
    for (const auto& key : {std::string(), "04" + kGx + kGy,  // 65 bytes with the SEC1 prefix
                            base64URLString(hex("04" + kGx + kGy)), kGx, "04" + kGx /* 33 bytes, not compressed */,
                            "02" + std::string(64, 'f') /* X beyond the field */, kGx + yPlusOne /* off the curve */,
                            std::string(128, '0'), base64URLString(Bytes(64, 0)),
                            "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff" + kGy /* X = p */}) {
        EXPECT_FALSE(KeyHelpers::isValidPublicKey(key)) << key;
        EXPECT_FALSE(KeyHelpers::compressedP256(key)) << key;
    }
    // Undecodable text is a format error; decodable bytes that are no point, an import error.
    EXPECT_THROW(KeyHelpers::p256PublicKey("not a key"), CrypterError);
    EXPECT_THROW(KeyHelpers::p256PublicKey(""), CrypterError);
    EXPECT_THROW(KeyHelpers::p256PublicKey("04" + kGx), CryptoError);  // CrypterError is no CryptoError
}

// G and 2G; the code was computed apart from this code base, so it depends on both keys whole.
// Another key gives another code here too: nothing is kept from an earlier call.
TEST(SafetyCode, KnownAnswerTheSameFromBothSidesAndAnyKeyChangesIt) {
    const auto g = KeyHelpers::p256PublicKey("A2sX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKW");
    const auto twoG = KeyHelpers::p256PublicKey("A3zyexiNA09-ilI4AwS1GsPAiWnid_IbNaYLSPxHZpl4");
    const std::string expected = "57935 67980 33269 68306 02298 95943 30124 74003 10781 93676 04151 33951";
    EXPECT_EQ(SafetyCode::derive(g, twoG), expected);
    EXPECT_EQ(SafetyCode::derive(twoG, g), expected);
    // The same point written raw gives the same code: only the point counts.
    EXPECT_EQ(SafetyCode::derive(KeyHelpers::p256PublicKey(kGx + kGy), twoG), expected);
    EXPECT_NE(SafetyCode::derive(g, p256::PrivateKey::generate().publicKey()), expected);
}

}  // namespace
}  // namespace duoquill::test
