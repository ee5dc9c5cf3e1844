// Peer-key validation and the room names, against the session vectors and an injected clock.

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Primitives/P256.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Primitives/Sha2.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "Duoquill/Utilities/SafetyCode.h"
#include "Kit/Paths.h"
#include "Kit/World.h"

namespace duoquill::test {
namespace {

namespace json = boost::json;

// The generator point of P-256.
const std::string kGx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const std::string kGy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";

Bytes hex(std::string_view text) { return *bytesFromLegacyPairedString(text); }

// The first session vector of the section.
const json::object& vector(std::string_view section, std::size_t index = 0) {
    static const json::value all = json::parse(readFile(testVectorsDir() / "session_kat.json"));
    for (const auto& t : all.at("tests").as_array()) {
        if (t.at("section").as_string() == section && index-- == 0) return t.as_object();
    }
    throw std::runtime_error("no session vector " + std::string(section));
}
std::string str(const json::object& o, std::string_view key) { return std::string(o.at(key).as_string()); }

bool isLowerHex128(const std::string& s) { return s.size() == 128 && s.find_first_not_of("0123456789abcdef") == std::string::npos; }

TEST(RoomDerivation, MatchesTheSessionVectors) {
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& room = vector("room", i);
        const Bytes roomKeyData = hex(str(room, "roomKeyData"));
        EXPECT_EQ(KeyHelpers::deriveRoomCode(roomKeyData), str(room, "roomCode"));
        for (const auto& token : room.at("tokens").as_array()) {
            const ManualClock clock(token.at("unixTime").to_number<double>());
            EXPECT_EQ(KeyHelpers::deriveRoomToken(roomKeyData, clock), token.at("roomToken").as_string())
                << "day " << token.at("day");
        }
    }
    // The vector identities meet in the first vector room: each side types the other's key as
    // 128 hex digits of the raw form (the SEC1 point without 04).
    const auto& auth = vector("deniableAuth");
    const auto a = p256::PrivateKey::fromScalar(hex(str(auth, "identityPrivateKeyA")));
    const auto b = p256::PrivateKey::fromScalar(hex(str(auth, "identityPrivateKeyB")));
    const Bytes roomKeyData = hex(str(vector("room"), "roomKeyData"));
    EXPECT_EQ(toBytes(a.sharedSecret(KeyHelpers::p256PublicKey(str(auth, "identityPublicKeyB").substr(2)))), roomKeyData);
    EXPECT_EQ(toBytes(b.sharedSecret(KeyHelpers::p256PublicKey(str(auth, "identityPublicKeyA").substr(2)))), roomKeyData);
}

// The turn at midnight is in the vectors (a quarter second before it and at it).
TEST(RoomDerivation, DaysTruncateTowardZero) {
    const Bytes roomKeyData(32, 0x42);
    const auto tokenAt = [&](double time) { return KeyHelpers::deriveRoomToken(roomKeyData, ManualClock(time)); };
    const auto expected = [&](std::string_view day) { return hexString(sha512(concat(asBytes(day), roomKeyData))); };
    EXPECT_EQ(tokenAt(0.0), expected("morvane-room-token:0:"));
    EXPECT_EQ(tokenAt(-86399.9), expected("morvane-room-token:0:"));
    EXPECT_EQ(tokenAt(-86400.5), expected("morvane-room-token:-1:"));
    // A clock gone wild still gives a well-formed token.
    EXPECT_TRUE(isLowerHex128(tokenAt(1e300)));
    EXPECT_TRUE(isLowerHex128(tokenAt(std::nan(""))));
}

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

// G and 2G; the code was computed apart from this code base.
TEST(SafetyCode, KnownAnswerTheSameFromBothSidesAndAnyKeyChangesIt) {
    const auto g = KeyHelpers::p256PublicKey("A2sX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKW");
    const auto twoG = KeyHelpers::p256PublicKey("A3zyexiNA09-ilI4AwS1GsPAiWnid_IbNaYLSPxHZpl4");
    const std::string expected = "57935 67980 33269 68306 02298 95943 30124 74003 10781 93676 04151 33951";
    EXPECT_EQ(SafetyCode::derive(g, twoG), expected);
    EXPECT_EQ(SafetyCode::derive(twoG, g), expected);
    // The same point written raw gives the same code: only the point counts.
    EXPECT_EQ(SafetyCode::derive(KeyHelpers::p256PublicKey(kGx + kGy), twoG), expected);
    const auto other = p256::PrivateKey::generate().publicKey();
    EXPECT_NE(SafetyCode::derive(g, other), expected);
    EXPECT_NE(SafetyCode::derive(other, twoG), expected);
    EXPECT_NE(SafetyCode::derive(g, g), expected);
}

}  // namespace
}  // namespace duoquill::test
