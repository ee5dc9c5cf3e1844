// Peer-key validation and the room names, against the session vectors and an injected clock.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <random>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/KeyStore.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Sha2.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "Support/Paths.h"

namespace duoquill::test {
namespace {

namespace json = boost::json;

// The generator point of P-256.
const std::string kGx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const std::string kGy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";

Bytes hex(std::string_view text) { return *bytesFromLegacyPairedString(text); }

const json::array& sessionTests() {
    static const json::value vectors = json::parse(readFile(testVectorsDir() / "session_kat.json"));
    return vectors.at("tests").as_array();
}

std::vector<json::object> section(std::string_view name) {
    std::vector<json::object> out;
    for (const auto& t : sessionTests()) {
        if (t.at("section").as_string() == name) out.push_back(t.as_object());
    }
    return out;
}

std::string str(const json::object& o, std::string_view key) { return std::string(o.at(key).as_string()); }

bool isLowerHex128(const std::string& s) {
    return s.size() == 128 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(RoomDerivation, MatchesTheSessionVectors) {
    const auto rooms = section("room");
    ASSERT_EQ(rooms.size(), 2u);
    for (const auto& room : rooms) {
        const Bytes roomKeyData = hex(str(room, "roomKeyData"));
        EXPECT_EQ(KeyHelpers::deriveRoomCode(roomKeyData), str(room, "roomCode"));
        for (const auto& token : room.at("tokens").as_array()) {
            const ManualClock clock(token.at("unixTime").to_number<double>());
            EXPECT_EQ(KeyHelpers::deriveRoomToken(roomKeyData, clock), token.at("roomToken").as_string())
                << "day " << token.at("day");
        }
    }
    // The epoch-file vectors name the first room's code.
    const auto epochFiles = section("epochFile");
    ASSERT_EQ(epochFiles.size(), 2u);
    EXPECT_EQ(KeyHelpers::deriveRoomCode(hex(str(rooms[0], "roomKeyData"))), str(epochFiles[1], "roomCode"));
}

TEST(RoomDerivation, TheVectorIdentitiesMeetInTheVectorRoom) {
    const auto auth = section("deniableAuth").at(0);
    const auto a = p256::PrivateKey::fromScalar(hex(str(auth, "identityPrivateKeyA")));
    const auto b = p256::PrivateKey::fromScalar(hex(str(auth, "identityPrivateKeyB")));
    // Each side types the other's key as 128 hex digits of the raw form (the SEC1 point without 04).
    const auto publicA = KeyHelpers::p256PublicKey(str(auth, "identityPublicKeyA").substr(2));
    const auto publicB = KeyHelpers::p256PublicKey(str(auth, "identityPublicKeyB").substr(2));
    const SecureBytes dataA = a.sharedSecret(publicB);
    const SecureBytes dataB = b.sharedSecret(publicA);
    EXPECT_EQ(toBytes(dataA), hex(str(section("room").at(0), "roomKeyData")));
    EXPECT_EQ(KeyHelpers::deriveRoomCode(dataA), KeyHelpers::deriveRoomCode(dataB));
    EXPECT_EQ(KeyHelpers::deriveRoomCode(dataA), str(section("room").at(0), "roomCode"));
}

TEST(RoomDerivation, PairsShareRoomsThatOthersCannotReach) {
    KeyStore& store = KeyStore::system();
    const auto alice = store.generateP256();
    const auto bob = store.generateP256();
    const auto carol = store.generateP256();
    const SecureBytes aliceBob = alice->sharedSecret(bob->publicKey());
    const SecureBytes bobAlice = bob->sharedSecret(alice->publicKey());
    const SecureBytes carolBob = carol->sharedSecret(bob->publicKey());

    const ManualClock clock(1'728'000'000.0);
    const std::string code = KeyHelpers::deriveRoomCode(aliceBob);
    const std::string token = KeyHelpers::deriveRoomToken(aliceBob, clock);
    EXPECT_EQ(KeyHelpers::deriveRoomCode(bobAlice), code);
    EXPECT_EQ(KeyHelpers::deriveRoomToken(bobAlice, clock), token);
    EXPECT_NE(KeyHelpers::deriveRoomCode(carolBob), code);
    EXPECT_NE(KeyHelpers::deriveRoomToken(carolBob, clock), token);
    EXPECT_NE(code, token);
    EXPECT_TRUE(isLowerHex128(code));
    EXPECT_TRUE(isLowerHex128(token));
}

TEST(RoomDerivation, TheTokenTurnsAtUtcMidnightAndTheCodeNever) {
    const Bytes roomKeyData(32, 0x42);
    const double midnight = 20001.0 * 86400;  // 2024-10-05 00:00:00 UTC
    ManualClock clock(midnight - 86399.0);
    const std::string dayStart = KeyHelpers::deriveRoomToken(roomKeyData, clock);
    clock.setWall(midnight - 0.001);
    EXPECT_EQ(KeyHelpers::deriveRoomToken(roomKeyData, clock), dayStart);
    clock.setWall(midnight);
    const std::string nextDay = KeyHelpers::deriveRoomToken(roomKeyData, clock);
    EXPECT_NE(nextDay, dayStart);
    clock.setWall(midnight + 86399.999);
    EXPECT_EQ(KeyHelpers::deriveRoomToken(roomKeyData, clock), nextDay);
    EXPECT_EQ(KeyHelpers::deriveRoomCode(roomKeyData), KeyHelpers::deriveRoomCode(roomKeyData));
}

TEST(RoomDerivation, DayNumbersTruncateTowardZero) {
    const Bytes roomKeyData(32, 7);
    auto expected = [&](std::string_view dayText) { return hexString(sha512(concat(asBytes(dayText), roomKeyData))); };
    EXPECT_EQ(KeyHelpers::deriveRoomToken(roomKeyData, ManualClock(0.0)), expected("morvane-room-token:0:"));
    EXPECT_EQ(KeyHelpers::deriveRoomToken(roomKeyData, ManualClock(-86399.9)), expected("morvane-room-token:0:"));
    EXPECT_EQ(KeyHelpers::deriveRoomToken(roomKeyData, ManualClock(-86400.5)), expected("morvane-room-token:-1:"));
    // A clock gone wild still gives a well-formed token.
    EXPECT_TRUE(isLowerHex128(KeyHelpers::deriveRoomToken(roomKeyData, ManualClock(1e300))));
    EXPECT_TRUE(isLowerHex128(KeyHelpers::deriveRoomToken(roomKeyData, ManualClock(std::nan("")))));
}

TEST(PeerKeys, EveryFormOfOneKeyCompressesToTheSameText) {
    const std::string compressedHex = "03" + kGx;
    const std::string expected = base64URLString(hex(compressedHex));
    const std::vector<std::string> forms = {
        kGx + kGy,                               // raw, hex
        base64URLString(hex(kGx + kGy)),         // raw, base64url
        base64URLString(hex(kGx + kGy)) + "==",  // raw, padded
        compressedHex,                           // compressed, hex
        "03 " + kGx.substr(0, 30) + "\r\n" + kGx.substr(30),
        expected,
    };
    for (const auto& form : forms) {
        EXPECT_EQ(KeyHelpers::compressedP256(form), expected) << form;
        EXPECT_TRUE(KeyHelpers::isValidPublicKey(form)) << form;
        EXPECT_EQ(KeyHelpers::p256PublicKey(form).raw(), hex(kGx + kGy));
    }
    // A compressed key with an even Y prints with a leading "A".
    const auto generated = KeyStore::system().generateP256()->publicKey();
    const auto text = KeyHelpers::compressedP256(hexString(generated.raw()));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 44u);
    EXPECT_EQ(text->front(), 'A');
    EXPECT_EQ(*text, base64URLString(generated.compressed()));
}

TEST(PeerKeys, MalformedAndOffCurveKeysAreRefused) {
    std::string yPlusOne = kGy;
    yPlusOne.back() = '6';
    const std::vector<std::string> invalid = {
        "",
        "04" + kGx + kGy,                                   // 65 bytes with the SEC1 prefix
        base64URLString(hex("04" + kGx + kGy)),
        kGx,                                                // 32 bytes
        "04" + kGx,                                         // 33 bytes, not a compressed point
        "02" + std::string(64, 'f'),                        // X beyond the field
        kGx + yPlusOne,                                     // 64 bytes off the curve
        std::string(128, '0'),                              // the all-zero "point"
        base64URLString(Bytes(64, 0)),
        "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff" + kGy,  // X = p
    };
    for (const auto& key : invalid) {
        EXPECT_FALSE(KeyHelpers::isValidPublicKey(key)) << key;
        EXPECT_FALSE(KeyHelpers::compressedP256(key)) << key;
    }
}

TEST(PeerKeys, UndecodableTextIsAFormatErrorAndBadPointsAnImportError) {
    EXPECT_THROW(KeyHelpers::p256PublicKey("not a key"), CrypterError);
    EXPECT_THROW(KeyHelpers::p256PublicKey(""), CrypterError);
    try {
        KeyHelpers::p256PublicKey("04" + kGx);
        FAIL() << "no error";
    } catch (const CrypterError&) {
        FAIL() << "33 decodable bytes are no format error";
    } catch (const CryptoError&) {
    }
}

TEST(PeerKeys, ArbitraryBytesNeverCrashAndAgreeAcrossOperations) {
    std::mt19937 rng(12345);
    for (int i = 0; i < 1500; ++i) {
        const std::size_t size = (i % 3 == 0) ? (i % 2 ? 33 : 64) : rng() % 200;
        std::string text(size, '\0');
        for (auto& c : text) c = static_cast<char>(rng());
        std::string asKey;
        if (i % 3 == 0) {
            Bytes b(text.begin(), text.end());
            if (size == 33) b[0] = static_cast<std::uint8_t>(2 + (rng() & 1));
            asKey = i % 2 ? hexString(b) : base64URLString(b);
        } else {
            asKey = text;
        }
        const bool valid = KeyHelpers::isValidPublicKey(asKey);
        EXPECT_EQ(valid, KeyHelpers::compressedP256(asKey).has_value()) << hexString(asBytes(asKey));
    }
}

}  // namespace
}  // namespace duoquill::test
