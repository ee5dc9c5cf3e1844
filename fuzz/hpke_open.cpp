// HPKE recipient: setting up a context from any encapsulated key and opening any ciphertext,
// in mode_psk (as the deniable authentication uses it) and mode_base.
//
// Input: mode byte (bit 0: psk), encapsulated-key length (1 byte) and key, associated-data
// length (1 byte) and data, then the ciphertext.
//
// Invariants: setup fails only with CryptoError and open only with AuthenticationError; an
// open that succeeds must be one of the genuine messages, with the genuine plaintext.

#include <algorithm>
#include <string_view>

#include "Duoquill/Primitives/Hpke.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Keys/SoftwareP256Key.h"
#include "FuzzTarget.h"

using namespace duoquill;
using duoquill::fuzz::FuzzInput;
using duoquill::fuzz::require;

namespace {

constexpr std::string_view info = "morvane-pfs:kex:fuzz-room";
constexpr std::string_view psk = "a pre-shared key of thirty-two b";
constexpr std::string_view pskId = "morvane-pfs:deniable-v1";

hpke::KeySchedule schedule(bool withPsk) {
    if (!withPsk) return {hpke::Mode::base, asBytes(info), {}, {}};
    return {hpke::Mode::psk, asBytes(info), asBytes(psk), asBytes(pskId)};
}

const SoftwareP256Key& recipientKey() {
    static const SoftwareP256Key key(p256::PrivateKey::fromScalar(Bytes(32, 0x22)));
    return key;
}

struct Genuine {
    bool withPsk;
    Bytes enc, aad, ciphertext, plaintext;
};

// Sealed with fixed ephemeral keys, so the same in every run.
const std::vector<Genuine>& genuineMessages() {
    static const std::vector<Genuine> messages = [] {
        std::vector<Genuine> out;
        std::uint8_t scalar = 0x31;
        for (bool withPsk : {true, false}) {
            for (std::size_t plaintextSize : {std::size_t{64}, std::size_t{0}, std::size_t{17}}) {
                const Bytes plaintext(plaintextSize, static_cast<std::uint8_t>(plaintextSize));
                const Bytes aad = plaintextSize == 17 ? Bytes{1, 2, 3} : Bytes{};
                auto sender = hpke::SenderContext::setupWithEphemeral(
                    recipientKey().publicKey(), schedule(withPsk), p256::PrivateKey::fromScalar(Bytes(32, scalar++)));
                Bytes ciphertext = sender.seal(aad, plaintext);
                out.push_back({withPsk, sender.encapsulatedKey(), aad, std::move(ciphertext), plaintext});
            }
        }
        return out;
    }();
    return messages;
}

std::vector<Bytes> seeds() {
    std::vector<Bytes> out;
    for (const auto& m : genuineMessages()) {
        out.push_back(fuzz::SeedWriter()
                          .u8(m.withPsk ? 1 : 0)
                          .u8(static_cast<std::uint8_t>(m.enc.size()))
                          .bytes(m.enc)
                          .u8(static_cast<std::uint8_t>(m.aad.size()))
                          .bytes(m.aad)
                          .bytes(m.ciphertext)
                          .done());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const bool withPsk = in.u8() & 1;
    const BytesView enc = in.take(in.u8());
    const BytesView aad = in.take(in.u8());
    const BytesView ciphertext = in.rest();

    std::optional<hpke::RecipientContext> recipient;
    try {
        recipient.emplace(hpke::RecipientContext::setup(enc, recipientKey(), schedule(withPsk)));
    } catch (const CryptoError&) {
        return 0;
    }
    require(enc.size() == hpke::encapsulatedKeySize, "only 65-byte encapsulated keys set up");
    try {
        const SecureBytes plaintext = recipient->open(aad, ciphertext);
        bool genuine = false;
        for (const auto& m : genuineMessages()) {
            genuine |= m.withPsk == withPsk && std::ranges::equal(m.enc, enc) && std::ranges::equal(m.aad, aad) &&
                       std::ranges::equal(m.ciphertext, ciphertext) && std::ranges::equal(m.plaintext, plaintext);
        }
        require(genuine, "only a genuine message opens, to its own plaintext");
    } catch (const AuthenticationError&) {
    }
    return 0;
}
