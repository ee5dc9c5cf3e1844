// HPKE: every vector of every file of the suite (key schedule, all 257 encryptions in
// order, all exports, from both ends), and round trips and tampering with fresh keys.

#include <gtest/gtest.h>

#include "Duoquill/Platform/Hpke.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Random.h"
#include "Duoquill/Platform/SoftwareP256Key.h"
#include "KnownAnswerFile.h"

namespace duoquill {
namespace {

using test::KnownAnswerFile;

Bytes nonceAt(const SecureBytes& baseNonce, std::uint64_t sequence) {
    Bytes nonce = toBytes(baseNonce);
    for (std::size_t i = 0; i < 8; ++i) nonce[nonce.size() - 1 - i] ^= static_cast<std::uint8_t>(sequence >> (8 * i));
    return nonce;
}

TEST(Hpke, KnownAnswers) {
    for (const auto& path : KnownAnswerFile::allOfKind("hpke_")) {
        const KnownAnswerFile file(path, "HPKE (RFC 9180)");
        for (const auto& vector : file.tests()) {
            const std::uint64_t modeNumber = file.number(vector, "mode");
            SCOPED_TRACE(file.name() + " mode " + std::to_string(modeNumber));
            ASSERT_EQ(file.number(vector, "kem_id"), 0x0010u);
            ASSERT_EQ(file.number(vector, "kdf_id"), 0x0003u);
            ASSERT_EQ(file.number(vector, "aead_id"), 0x0002u);
            ASSERT_TRUE(modeNumber == 0 || modeNumber == 1) << "mode of no supported kind";

            const Bytes info = file.hex(vector, "info");
            const Bytes psk = modeNumber == 1 ? file.hex(vector, "psk") : Bytes{};
            const Bytes pskId = modeNumber == 1 ? file.hex(vector, "psk_id") : Bytes{};
            const hpke::KeySchedule schedule{static_cast<hpke::Mode>(modeNumber), info, psk, pskId};

            const auto ephemeral = p256::PrivateKey::fromScalar(file.hex(vector, "skEm"));
            ASSERT_EQ(ephemeral.publicKey().x963(), file.hex(vector, "pkEm"));
            const SoftwareP256Key recipientKey(p256::PrivateKey::fromScalar(file.hex(vector, "skRm")));
            ASSERT_EQ(recipientKey.publicKey().x963(), file.hex(vector, "pkRm"));

            auto sender = hpke::SenderContext::setupWithEphemeral(
                p256::PublicKey::fromX963(file.hex(vector, "pkRm")), schedule, ephemeral);
            EXPECT_EQ(sender.encapsulatedKey(), file.hex(vector, "enc"));
            auto recipient = hpke::RecipientContext::setup(file.hex(vector, "enc"), recipientKey, schedule);

            for (const auto* context : {&sender.sharedSecret(), &recipient.sharedSecret()}) {
                EXPECT_EQ(toBytes(*context), file.hex(vector, "shared_secret"));
            }
            for (const auto& [mine, theirs] :
                 {std::pair{&sender.key(), &recipient.key()}, std::pair{&sender.baseNonce(), &recipient.baseNonce()},
                  std::pair{&sender.exporterSecret(), &recipient.exporterSecret()}}) {
                EXPECT_EQ(*mine, *theirs);
            }
            EXPECT_EQ(toBytes(sender.key()), file.hex(vector, "key"));
            EXPECT_EQ(toBytes(sender.baseNonce()), file.hex(vector, "base_nonce"));
            EXPECT_EQ(toBytes(sender.exporterSecret()), file.hex(vector, "exporter_secret"));

            const auto& encryptions = file.array(vector, "encryptions");
            ASSERT_EQ(encryptions.size(), 257u);
            for (std::size_t sequence = 0; sequence < encryptions.size(); ++sequence) {
                SCOPED_TRACE("encryption " + std::to_string(sequence));
                const auto& encryption = encryptions[sequence];
                const Bytes aad = file.hex(encryption, "aad"), pt = file.hex(encryption, "pt");
                ASSERT_EQ(file.hex(encryption, "nonce"), nonceAt(sender.baseNonce(), sequence));
                const Bytes ct = file.hex(encryption, "ct");
                EXPECT_EQ(sender.seal(aad, pt), ct);
                EXPECT_EQ(toBytes(recipient.open(aad, ct)), pt);
            }

            const auto& exports = file.array(vector, "exports");
            ASSERT_FALSE(exports.empty());
            for (const auto& exported : exports) {
                const Bytes context = file.hex(exported, "exporter_context");
                const std::size_t length = file.number(exported, "L");
                const Bytes value = file.hex(exported, "exported_value");
                EXPECT_EQ(toBytes(sender.exportSecret(context, length)), value);
                EXPECT_EQ(toBytes(recipient.exportSecret(context, length)), value);
            }
        }
    }
}

// The shape the chat uses: mode_psk, a 144-byte info, one 64-byte message, no AAD.
struct PskExchange {
    SoftwareP256Key recipientKey{p256::PrivateKey::generate()};
    Bytes info = Bytes(144, 'i');
    SecureBytes psk = random::bytes(32);
    Bytes pskId = toBytes(asBytes("test-psk-id"));
    Bytes message = toBytes(random::bytes(64));

    hpke::KeySchedule schedule() const { return {hpke::Mode::psk, info, psk, pskId}; }
};

TEST(Hpke, PskRoundTripWithLongInfo) {
    const PskExchange x;
    auto sender = hpke::SenderContext::setup(x.recipientKey.publicKey(), x.schedule());
    ASSERT_EQ(sender.encapsulatedKey().size(), hpke::encapsulatedKeySize);
    const Bytes sealed = sender.seal({}, x.message);
    ASSERT_EQ(sealed.size(), 80u);
    auto recipient = hpke::RecipientContext::setup(sender.encapsulatedKey(), x.recipientKey, x.schedule());
    EXPECT_EQ(toBytes(recipient.open({}, sealed)), x.message);
    EXPECT_EQ(sender.exportSecret(asBytes("context"), 48), recipient.exportSecret(asBytes("context"), 48));
    EXPECT_THROW(recipient.exportSecret({}, 255 * 64 + 1), CryptoError);

    // Each setup draws a fresh ephemeral key.
    auto again = hpke::SenderContext::setup(x.recipientKey.publicKey(), x.schedule());
    EXPECT_NE(again.encapsulatedKey(), sender.encapsulatedKey());
    EXPECT_NE(again.seal({}, x.message), sealed);
}

TEST(Hpke, AnyChangeIsRefused) {
    const PskExchange x;
    auto sender = hpke::SenderContext::setup(x.recipientKey.publicKey(), x.schedule());
    const Bytes enc = sender.encapsulatedKey();
    const Bytes sealed = sender.seal({}, x.message);

    const auto opens = [&](BytesView e, BytesView c, const hpke::KeySchedule& s, const P256KeyAgreementKey& k) {
        try {
            auto recipient = hpke::RecipientContext::setup(e, k, s);
            return toBytes(recipient.open({}, c)) == x.message;
        } catch (const CryptoError&) {
            return false;
        }
    };
    ASSERT_TRUE(opens(enc, sealed, x.schedule(), x.recipientKey));

    for (std::size_t bit = 0; bit < enc.size() * 8; ++bit) {
        Bytes e = enc;
        e[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(opens(e, sealed, x.schedule(), x.recipientKey)) << "enc bit " << bit;
    }
    for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
        Bytes c = sealed;
        c[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(opens(enc, c, x.schedule(), x.recipientKey)) << "ciphertext bit " << bit;
    }
    Bytes otherInfo = x.info;
    otherInfo.back() ^= 1;
    SecureBytes otherPsk = x.psk;
    otherPsk[0] ^= 1;
    const Bytes otherId = toBytes(asBytes("test-psk-iD"));
    EXPECT_FALSE(opens(enc, sealed, {hpke::Mode::psk, otherInfo, x.psk, x.pskId}, x.recipientKey));
    EXPECT_FALSE(opens(enc, sealed, {hpke::Mode::psk, x.info, otherPsk, x.pskId}, x.recipientKey));
    EXPECT_FALSE(opens(enc, sealed, {hpke::Mode::psk, x.info, x.psk, otherId}, x.recipientKey));
    EXPECT_FALSE(opens(enc, sealed, x.schedule(), SoftwareP256Key(p256::PrivateKey::generate())));
    for (std::size_t n : {0, 1, 33, 64, 66}) {
        EXPECT_THROW(hpke::RecipientContext::setup(Bytes(n, 0x04), x.recipientKey, x.schedule()), CryptoError);
    }
    EXPECT_FALSE(opens(enc, BytesView(sealed).first(15), x.schedule(), x.recipientKey));
}

TEST(Hpke, FailedOpenKeepsTheSequence) {
    const PskExchange x;
    auto sender = hpke::SenderContext::setup(x.recipientKey.publicKey(), x.schedule());
    const Bytes first = sender.seal({}, x.message), second = sender.seal(asBytes("ad"), x.message);
    auto recipient = hpke::RecipientContext::setup(sender.encapsulatedKey(), x.recipientKey, x.schedule());
    EXPECT_THROW(recipient.open({}, second), AuthenticationError);  // sealed at sequence 1
    EXPECT_EQ(toBytes(recipient.open({}, first)), x.message);
    EXPECT_EQ(toBytes(recipient.open(asBytes("ad"), second)), x.message);
}

TEST(Hpke, PskInputsMustMatchTheMode) {
    const PskExchange x;
    const auto pk = x.recipientKey.publicKey();
    EXPECT_THROW(hpke::SenderContext::setup(pk, {hpke::Mode::psk, x.info, {}, {}}), CryptoError);
    EXPECT_THROW(hpke::SenderContext::setup(pk, {hpke::Mode::psk, x.info, x.psk, {}}), CryptoError);
    EXPECT_THROW(hpke::SenderContext::setup(pk, {hpke::Mode::psk, x.info, {}, x.pskId}), CryptoError);
    EXPECT_THROW(hpke::SenderContext::setup(pk, {hpke::Mode::base, x.info, x.psk, x.pskId}), CryptoError);
    EXPECT_THROW(hpke::SenderContext::setup(pk, {static_cast<hpke::Mode>(2), x.info, {}, {}}), CryptoError);
    EXPECT_NO_THROW(hpke::SenderContext::setup(pk, {hpke::Mode::base, {}, {}, {}}));
    EXPECT_THROW(hpke::RecipientContext::setup(Bytes(65, 4), x.recipientKey, {hpke::Mode::psk, x.info, {}, {}}),
                 CryptoError);
}

}  // namespace
}  // namespace duoquill
