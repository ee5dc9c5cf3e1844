// The primitives beyond their vector files: AES-256-GCM's refusal of inputs cut short, lengthened
// or of the wrong size, HKDF's limits, incremental SHA-2, the SHA-3 sponge's misuse checks, the
// random source, the constant-time comparison, P-256 encodings, scalars and key blobs, and HPKE
// in the shape the chat uses; ML-KEM-1024 beyond its vectors: agreement of random keys,
// implicit rejection, the input checks on keys, ciphertexts and seeds, the same for ML-DSA-87
// key generation (rejection and the checks on every vector backend).
// The digests of SHA-256 and SHA-512 are pinned by the session vectors (epoch file names, room
// codes).

#include <gtest/gtest.h>

#include <array>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Keys/SoftwareP256Key.h"
#include "Duoquill/Primitives/PQ/Sha3.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Primitives/AesGcm.h"
#include "Duoquill/Primitives/ConstantTime.h"
#include "Duoquill/Primitives/Hkdf.h"
#include "Duoquill/Primitives/Hpke.h"
#include "Duoquill/Primitives/P256.h"
#include "Duoquill/Primitives/PQ/MLDSA87.h"
#include "Duoquill/Primitives/PQ/MLKEM1024.h"
#include "Duoquill/Primitives/Random.h"
#include "Duoquill/Primitives/Sha2.h"
#include "Kit/World.h"
#include "VectorBackends.h"

namespace duoquill {
namespace {

// Bytes that are the same in every run.
Bytes filled(std::size_t size, std::uint64_t seed) { return test::DeterministicStream(seed).bytes(size); }

Bytes resized(Bytes b, std::size_t size) {
    b.resize(size);
    return b;
}

Bytes flipped(Bytes b, std::size_t bit) {
    b[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    return b;
}

TEST(AesGcm, ShortenedLengthenedAndMissizedInputsAreRefused) {
    const Bytes key = toBytes(random::bytes(aesgcm::keySize)), nonce = toBytes(random::bytes(aesgcm::nonceSize));
    const Bytes aad = toBytes(random::bytes(13)), plaintext = toBytes(random::bytes(40));
    const Bytes record = aesgcm::seal(key, nonce, plaintext, aad);
    // Changed bits of the key, nonce, record and data are in the vector file; a record or data
    // cut short or lengthened are not.
    for (std::size_t n = 0; n < record.size(); ++n) {
        EXPECT_THROW(aesgcm::open(key, nonce, BytesView(record).first(n), aad), AuthenticationError) << n;
    }
    EXPECT_THROW(aesgcm::open(key, nonce, concat(record, Bytes{0}), aad), AuthenticationError);
    EXPECT_THROW(aesgcm::open(key, nonce, record, concat(aad, Bytes{0})), AuthenticationError);
    EXPECT_THROW(aesgcm::open(key, nonce, record, {}), AuthenticationError);
    for (const auto& [keySize, nonceSize] : {std::pair{0, 12}, {16, 12}, {31, 12}, {33, 12}, {32, 0}, {32, 8}, {32, 11},
                                             {32, 13}, {32, 16}}) {
        const Bytes badKey(keySize, 1), badNonce(nonceSize, 1);
        EXPECT_THROW(aesgcm::seal(badKey, badNonce, plaintext, {}), CryptoError) << keySize << " " << nonceSize;
        EXPECT_THROW(aesgcm::open(badKey, badNonce, record, aad), CryptoError) << keySize << " " << nonceSize;
    }
    // The thread's kept context is whole again after every failure; in place gives the same bytes.
    EXPECT_EQ(toBytes(aesgcm::open(key, nonce, record, aad)), plaintext);
    Bytes inPlace = concat(plaintext, Bytes(aesgcm::tagSize));
    aesgcm::sealInPlace(key, nonce, inPlace, aad);
    EXPECT_EQ(inPlace, record);
    Bytes noRoom(aesgcm::tagSize - 1);
    EXPECT_THROW(aesgcm::sealInPlace(key, nonce, noRoom, aad), CryptoError);
}

// Longest outputs and round trips are in the vector files; these are not.
TEST(Hkdf, EmptyOutputAndShortKeys) {
    EXPECT_TRUE(hkdf::derive(HashFunction::sha512, Bytes(32, 1), {}, {}, 0).empty());
    // A pseudorandom key shorter than the digest is not one extract could have made.
    EXPECT_THROW(hkdf::expand(HashFunction::sha512, Bytes(32, 1), {}, 32), CryptoError);
}

// Any split of the input, and a fresh start after finish().
TEST(Sha2, AnySplitGivesTheOneCallDigest) {
    const Bytes message = filled(300, 7);
    const BytesView all(message);
    for (std::size_t split = 0; split <= message.size(); split += 37) {
        EXPECT_EQ(Sha256().update(all.first(split)).update(all.subspan(split)).finish(), sha256(message));
        EXPECT_EQ(Sha512().update(all.first(split)).update({}).update(all.subspan(split)).finish(), sha512(message));
    }
    Sha512 hash;
    (void)hash.update(asBytes("ignored")).finish();
    EXPECT_EQ(hash.update(asBytes("abc")).finish(), sha512(asBytes("abc")));
}

TEST(Sha3, MisuseIsRefused) {
    sha3::Shake256 xof;
    Bytes out(10);
    xof.absorb(out).squeeze(out);
    EXPECT_THROW(xof.absorb(out), std::logic_error);
    for (std::size_t rate : {0, 200, 135}) EXPECT_THROW(sha3::Sponge(rate, 0x1F), std::invalid_argument);
}

TEST(Random, BytesAreFreshAndUniformCoversItsRange) {
    EXPECT_TRUE(random::bytes(0).empty());
    EXPECT_NE(random::bytes(32), random::bytes(32));
    random::fill({});
    EXPECT_THROW(random::uniform(0), CryptoError);
    EXPECT_EQ(random::uniform(1), 0u);
    EXPECT_LT(random::uniform(0xffffffffu), 0xffffffffu);
    std::array<int, 3> seen{};
    for (int i = 0; i < 600; ++i) ++seen.at(random::uniform(3));  // out_of_range fails the test
    for (int count : seen) EXPECT_GT(count, 100);  // about 200 each; 100 is far in the tail
}

TEST(ConstantTime, EqualsOnlyOnSameLengthAndBytes) {
    EXPECT_TRUE(constantTimeEquals(Bytes{1, 2, 3, 4}, Bytes{1, 2, 3, 4}));
    EXPECT_TRUE(constantTimeEquals({}, {}));
    for (const Bytes& other : {Bytes{0, 2, 3, 4}, Bytes{1, 2, 3, 5}, Bytes{1, 2, 3}, Bytes{1, 2, 3, 4, 0}, Bytes{}}) {
        EXPECT_FALSE(constantTimeEquals(Bytes{1, 2, 3, 4}, other));
    }
}

// Public keys from scalars are in the HPKE vectors; the bounds of the scalar are not.
TEST(P256, OnlyScalarsFromOneToNMinusOneAreTaken) {
    const Bytes groupOrder = *bytesFromLegacyPairedString("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    Bytes one(p256::scalarSize, 0), nMinusOne = groupOrder, nPlusOne = groupOrder;
    one.back() = 1;
    nMinusOne.back() -= 1;
    nPlusOne.back() += 1;
    // (n-1)·G = -G: same X as the generator, the other Y.
    const Bytes generator = p256::PrivateKey::fromScalar(one).publicKey().compressed();
    const Bytes last = p256::PrivateKey::fromScalar(nMinusOne).publicKey().compressed();
    EXPECT_EQ(hexString(last), (generator[0] == 0x02 ? "03" : "02") + hexString(generator).substr(2));
    for (const Bytes& bad : {Bytes(32, 0), groupOrder, nPlusOne, Bytes(32, 0xff), Bytes(31, 1), Bytes(33, 1), Bytes{}}) {
        EXPECT_THROW(p256::PrivateKey::fromScalar(bad), CryptoError);
    }
}

// Each form takes only its own tag (no hybrid 06/07) and size, including the one-byte point at
// infinity. Points off the curve are in the ECDH vectors and PeerKeys; the round trips of the
// forms in PeerKeys and the HPKE vectors.
TEST(P256, WrongTagsAndSizesAreRefusedInEveryForm) {
    using p256::PublicKey;
    const auto key = p256::PrivateKey::generate().publicKey();
    std::vector<std::pair<PublicKey (*)(BytesView), Bytes>> refused;
    for (std::uint8_t tag = 0; tag < 8; ++tag) {
        Bytes x963 = key.x963(), compressed = key.compressed();
        x963[0] = compressed[0] = tag;
        if (tag != 0x04) refused.emplace_back(&PublicKey::fromX963, x963);
        if (tag != 0x02 && tag != 0x03) refused.emplace_back(&PublicKey::fromCompressed, compressed);
    }
    for (std::size_t n : {0, 1, 32, 33, 63, 64, 65, 66}) {
        if (n != p256::rawSize) refused.emplace_back(&PublicKey::fromRaw, Bytes(n, 0x04));
        if (n != p256::x963Size) refused.emplace_back(&PublicKey::fromX963, Bytes(n, 0x04));
        if (n != p256::compressedSize) refused.emplace_back(&PublicKey::fromCompressed, Bytes(n, 0x02));
    }
    for (const auto& [import, bytes] : refused) EXPECT_THROW(import(bytes), CryptoError) << hexString(bytes);
}

TEST(P256, KeysRestoreFromTheirBlobAndNothingElse) {
    KeyStore& store = KeyStore::system();
    const auto key = store.generateP256(), peer = store.generateP256();
    const SecureBytes blob = key->dataRepresentation();
    const auto restored = store.restoreP256(blob);
    EXPECT_EQ(restored->dataRepresentation(), blob);
    EXPECT_EQ(restored->sharedSecret(peer->publicKey()), peer->sharedSecret(key->publicKey()));
    // The kept long-term secret follows a change of peer.
    const auto other = store.generateP256();
    for (const auto* p : {peer.get(), other.get(), other.get(), peer.get()}) {
        EXPECT_EQ(restored->longTermSharedSecret(p->publicKey()), p->sharedSecret(key->publicKey()));
    }
    EXPECT_EQ(SoftwareKeyStore::wrap(p256::PrivateKey::fromBlob(blob))->publicKey().raw(), key->publicKey().raw());

    const Bytes good = toBytes(blob);
    std::vector<Bytes> garbage = {Bytes{}, Bytes(good.size(), 0), Bytes(good.size(), 0xa5),
                                  Bytes(good.begin(), good.end() - 1), concat(good, Bytes{0})};
    // A changed bit in the header, version, scalar or stored public key.
    for (std::size_t i = 0; i < good.size(); ++i) garbage.push_back(flipped(good, 8 * i));
    garbage.push_back(good);
    std::fill(garbage.back().begin() + 4, garbage.back().begin() + 36, 0);  // a zero scalar
    for (const Bytes& bad : garbage) {
        EXPECT_THROW(p256::PrivateKey::fromBlob(bad), CryptoError);
        EXPECT_THROW(store.restoreP256(bad), CryptoError);
    }
}

// HPKE as the chat uses it: mode_psk, a 144-byte info, a 64-byte message. The exact bytes of
// both modes are in the vector file (for both ends, so every input of the key schedule counts);
// a fresh ephemeral key, an info longer than theirs, a failed open and the export limit are
// not. Changed records are refused by AES-GCM (its vectors), changed encapsulated keys by the
// point checks above.
TEST(Hpke, PskRoundTripKeepsItsSequenceAndInputsMustMatchTheMode) {
    const SoftwareP256Key recipientKey{p256::PrivateKey::generate()};
    const Bytes info(144, 'i'), pskId = toBytes(asBytes("test-psk-id")), message = toBytes(random::bytes(64));
    const SecureBytes psk = random::bytes(32);
    const hpke::KeySchedule schedule{hpke::Mode::psk, info, psk, pskId};
    auto s = hpke::SenderContext::setup(recipientKey.publicKey(), schedule);
    const Bytes first = s.seal({}, message), second = s.seal(asBytes("ad"), message);
    auto recipient = hpke::RecipientContext::setup(s.encapsulatedKey(), recipientKey, schedule);
    EXPECT_THROW(recipient.open({}, second), AuthenticationError);  // sealed at sequence 1
    EXPECT_EQ(toBytes(recipient.open({}, first)), message);
    EXPECT_EQ(toBytes(recipient.open(asBytes("ad"), second)), message);
    EXPECT_THROW(recipient.exportSecret({}, 255 * 64 + 1), CryptoError);
    const Bytes otherInfo = flipped(info, 8 * 143);  // the last byte of a long info counts too
    auto other = hpke::RecipientContext::setup(s.encapsulatedKey(), recipientKey, {hpke::Mode::psk, otherInfo, psk, pskId});
    EXPECT_THROW(other.open({}, first), AuthenticationError);
    // Each setup draws a fresh ephemeral key.
    auto again = hpke::SenderContext::setup(recipientKey.publicKey(), schedule);
    EXPECT_NE(again.encapsulatedKey(), s.encapsulatedKey());
    EXPECT_NE(again.seal({}, message), first);

    // That mode_base without a psk is taken is in the vectors.
    const hpke::KeySchedule refused[] = {{hpke::Mode::psk, info, {}, {}}, {hpke::Mode::psk, info, psk, {}},
                                         {hpke::Mode::psk, info, {}, pskId}, {hpke::Mode::base, info, psk, pskId},
                                         {static_cast<hpke::Mode>(2), info, {}, {}}};
    for (const hpke::KeySchedule& bad : refused) {
        EXPECT_THROW(hpke::SenderContext::setup(recipientKey.publicKey(), bad), CryptoError);
        EXPECT_THROW(hpke::RecipientContext::setup(s.encapsulatedKey(), recipientKey, bad), CryptoError);
    }
}

// Seeded keys and encapsulations are in the vector files; that random ones (ML-DSA-87's too)
// are fresh is not.
// Random keys through the key store agree in every handshake of the session suite.
TEST(MLKEM1024, RandomKeysAndEncapsulationsAreFresh) {
    EXPECT_NE(mldsa87::generate().publicKey, mldsa87::generate().publicKey);
    const auto alice = mlkem1024::generate();
    EXPECT_NE(alice.encapsulationKey, mlkem1024::generate().encapsulationKey);
    EXPECT_TRUE(mlkem1024::isValidDecapsulationKey(alice.decapsulationKey));
    const auto first = mlkem1024::encapsulate(alice.encapsulationKey), second = mlkem1024::encapsulate(alice.encapsulationKey);
    EXPECT_NE(first.ciphertext, second.ciphertext);
    EXPECT_EQ(mlkem1024::decapsulate(alice.decapsulationKey, second.ciphertext), second.sharedSecret);
}

TEST(MLKEM1024, AlteredCiphertextsGiveTheRejectionKeyMalformedInputsAreRefused) {
    test::onEveryVectorBackend([] {
        const auto pair = mlkem1024::generateFromSeeds(filled(32, 1), filled(32, 2));
        const auto sent = mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, filled(32, 3));
        // A changed ciphertext byte anywhere (in u, in v, at either end) gives J(z || c'), not an error.
        for (std::size_t position : {0, 700, 1407, 1408, 1567}) {
            SCOPED_TRACE(position);
            const Bytes altered = flipped(sent.ciphertext, 8 * position);
            SecureBytes key;
            ASSERT_NO_THROW(key = mlkem1024::decapsulate(pair.decapsulationKey, altered));
            Bytes rejection(32);
            sha3::Shake256().absorb(BytesView(pair.decapsulationKey).last(32)).absorb(altered).squeeze(rejection);
            EXPECT_EQ(hexString(key), hexString(rejection));
        }

        // Sets the 12-bit coefficient at `index` (12 bits each, little-endian) to `value`.
        auto withCoefficient = [&](std::size_t index, unsigned value) {
            Bytes ek = pair.encapsulationKey;
            for (std::size_t bit = 0; bit < 12; ++bit) {
                const std::size_t at = 12 * index + bit;
                ek[at / 8] = static_cast<std::uint8_t>((ek[at / 8] & ~(1u << (at % 8))) | (((value >> bit) & 1u) << (at % 8)));
            }
            return ek;
        };
        const Bytes m = filled(32, 6);
        for (std::size_t index : {0, 1, 513, 1023}) {
            SCOPED_TRACE(index);
            EXPECT_TRUE(mlkem1024::isValidEncapsulationKey(withCoefficient(index, 3328)));
            EXPECT_NO_THROW(mlkem1024::encapsulateWithRandomness(withCoefficient(index, 3328), m));
            for (unsigned value : {3329u, 4095u}) {
                const Bytes bad = withCoefficient(index, value);
                EXPECT_FALSE(mlkem1024::isValidEncapsulationKey(bad));
                EXPECT_THROW(mlkem1024::encapsulateWithRandomness(bad, m), CryptoError);
                EXPECT_THROW(mlkem1024::encapsulate(bad), CryptoError);
            }
        }
        // The seed rho at the end is not a vector of coefficients: any bytes are fine.
        Bytes rho = pair.encapsulationKey;
        std::fill(rho.end() - 32, rho.end(), 0xFF);
        EXPECT_TRUE(mlkem1024::isValidEncapsulationKey(rho));

        // Wrong lengths of everything, and damaged decapsulation keys.
        for (std::size_t size : {0, 31, 33, 64}) {
            EXPECT_THROW(mlkem1024::generateFromSeeds(filled(size, 0), filled(32, 0)), CryptoError);
            EXPECT_THROW(mlkem1024::generateFromSeeds(filled(32, 0), filled(size, 0)), CryptoError);
            EXPECT_THROW(mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, filled(size, 0)), CryptoError);
            EXPECT_THROW(mldsa87::generateFromSeed(filled(size, 0)), CryptoError);
        }
        for (std::size_t size : {0, 1567, 1569}) {
            EXPECT_FALSE(mlkem1024::isValidEncapsulationKey(resized(pair.encapsulationKey, size)));
            EXPECT_THROW(mlkem1024::encapsulate(resized(pair.encapsulationKey, size)), CryptoError);
            EXPECT_THROW(mlkem1024::decapsulate(pair.decapsulationKey, resized(sent.ciphertext, size)), CryptoError);
        }
        for (std::size_t size : {0, 3167, 3169}) {
            EXPECT_FALSE(mlkem1024::isValidDecapsulationKey(resized(toBytes(pair.decapsulationKey), size)));
            EXPECT_THROW(mlkem1024::decapsulate(resized(toBytes(pair.decapsulationKey), size), sent.ciphertext), CryptoError);
        }
        // The embedded ek (its vector and its rho) and the stored hash H(ek) must agree.
        for (std::size_t position : {1536, 3000, 3103, 3104, 3135}) {
            const Bytes dk = flipped(toBytes(pair.decapsulationKey), 8 * position + 7);
            EXPECT_FALSE(mlkem1024::isValidDecapsulationKey(dk)) << position;
            EXPECT_THROW(mlkem1024::decapsulate(dk, sent.ciphertext), CryptoError) << position;
        }
    });
}

}  // namespace
}  // namespace duoquill
