// HPKE with fresh keys in the shape the chat uses (mode_psk, a 144-byte info, one 64-byte
// message, no associated data): round trips, tampering, the sequence and the mode's inputs.

#include <gtest/gtest.h>

#include "Duoquill/Platform/Primitives/Hpke.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Primitives/Random.h"
#include "Duoquill/Platform/KeyStorage/SoftwareP256Key.h"

namespace duoquill {
namespace {

class Hpke : public ::testing::Test {
protected:
    SoftwareP256Key recipientKey{p256::PrivateKey::generate()};
    Bytes info = Bytes(144, 'i');
    SecureBytes psk = random::bytes(32);
    Bytes pskId = toBytes(asBytes("test-psk-id"));
    Bytes message = toBytes(random::bytes(64));
    hpke::KeySchedule schedule() const { return {hpke::Mode::psk, info, psk, pskId}; }
    hpke::SenderContext sender() const { return hpke::SenderContext::setup(recipientKey.publicKey(), schedule()); }
};

// The exact bytes of both modes are in the vector file; a fresh ephemeral key, a failed open
// and the export limit are not.
TEST_F(Hpke, PskRoundTripWithLongInfoAndAFailedOpenKeepsTheSequence) {
    auto s = sender();
    const Bytes first = s.seal({}, message), second = s.seal(asBytes("ad"), message);
    auto recipient = hpke::RecipientContext::setup(s.encapsulatedKey(), recipientKey, schedule());
    EXPECT_THROW(recipient.open({}, second), AuthenticationError);  // sealed at sequence 1
    EXPECT_EQ(toBytes(recipient.open({}, first)), message);
    EXPECT_EQ(toBytes(recipient.open(asBytes("ad"), second)), message);
    EXPECT_THROW(recipient.exportSecret({}, 255 * 64 + 1), CryptoError);
    // Each setup draws a fresh ephemeral key.
    auto again = sender();
    EXPECT_NE(again.encapsulatedKey(), s.encapsulatedKey());
    EXPECT_NE(again.seal({}, message), first);
}

TEST_F(Hpke, AnyChangeIsRefused) {
    auto s = sender();
    const Bytes enc = s.encapsulatedKey(), sealed = s.seal({}, message);
    const auto opens = [&](BytesView e, BytesView c, const hpke::KeySchedule& schedule, const P256KeyAgreementKey& key) {
        try {
            return toBytes(hpke::RecipientContext::setup(e, key, schedule).open({}, c)) == message;
        } catch (const CryptoError&) {
            return false;
        }
    };
    ASSERT_TRUE(opens(enc, sealed, schedule(), recipientKey));
    for (const Bytes* original : {&enc, &sealed}) {
        for (std::size_t bit = 0; bit < original->size() * 8; ++bit) {
            Bytes changed = *original;
            changed[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            EXPECT_FALSE(original == &enc ? opens(changed, sealed, schedule(), recipientKey)
                                          : opens(enc, changed, schedule(), recipientKey)) << bit;
        }
    }
    Bytes otherInfo = info;
    otherInfo.back() ^= 1;
    SecureBytes otherPsk = psk;
    otherPsk[0] ^= 1;
    EXPECT_FALSE(opens(enc, sealed, {hpke::Mode::psk, otherInfo, psk, pskId}, recipientKey));
    EXPECT_FALSE(opens(enc, sealed, {hpke::Mode::psk, info, otherPsk, pskId}, recipientKey));
    EXPECT_FALSE(opens(enc, sealed, {hpke::Mode::psk, info, psk, asBytes("test-psk-iD")}, recipientKey));
    EXPECT_FALSE(opens(enc, sealed, schedule(), SoftwareP256Key(p256::PrivateKey::generate())));
    EXPECT_FALSE(opens(enc, BytesView(sealed).first(15), schedule(), recipientKey));
    for (std::size_t n : {0, 1, 33, 64, 66}) {
        EXPECT_THROW(hpke::RecipientContext::setup(Bytes(n, 0x04), recipientKey, schedule()), CryptoError);
    }
}

TEST_F(Hpke, PskInputsMustMatchTheMode) {
    const auto pk = recipientKey.publicKey();
    const Bytes enc = sender().encapsulatedKey();
    for (const hpke::KeySchedule& bad : {hpke::KeySchedule{hpke::Mode::psk, info, {}, {}},
                                         hpke::KeySchedule{hpke::Mode::psk, info, psk, {}},
                                         hpke::KeySchedule{hpke::Mode::psk, info, {}, pskId},
                                         hpke::KeySchedule{hpke::Mode::base, info, psk, pskId},
                                         hpke::KeySchedule{static_cast<hpke::Mode>(2), info, {}, {}}}) {
        EXPECT_THROW(hpke::SenderContext::setup(pk, bad), CryptoError);
        EXPECT_THROW(hpke::RecipientContext::setup(enc, recipientKey, bad), CryptoError);
    }
    EXPECT_NO_THROW(hpke::SenderContext::setup(pk, {hpke::Mode::base, {}, {}, {}}));
}

}  // namespace
}  // namespace duoquill
