// Public-key text and the three byte-string decoders (base64url, standard base64, hexadecimal
// pairs), as they meet text typed by a user or sent by a peer.
//
// Invariants: whatever decodes re-encodes to text that decodes to the same bytes; a public
// key is 33 or 64 bytes; every way of writing an accepted key names the same compressed key.

#include <string>
#include <string_view>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Primitives/P256.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "FuzzTarget.h"

using namespace duoquill;
using duoquill::fuzz::require;

namespace {

std::vector<Bytes> seeds() {
    const p256::PublicKey key = p256::PrivateKey::fromScalar(Bytes(32, 0x11)).publicKey();
    const Bytes raw = key.raw(), compressed = key.compressed();
    std::vector<std::string> texts = {
        base64URLString(compressed), base64URLString(raw), hexString(compressed), hexString(raw),
        base64String(raw),           base64URLString(raw) + "==", hexString(compressed).insert(10, " \n"),
        base64String(Bytes{1, 2, 3, 4, 5}), "", "0a0B",
    };
    std::vector<Bytes> out;
    for (const auto& t : texts) out.emplace_back(t.begin(), t.end());
    return out;
}

std::size_t withoutWhitespace(std::string_view text) {
    std::size_t n = 0;
    for (char c : text) n += (c != ' ' && c != '\n' && c != '\r');
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const auto bytes = bytesFromBase64URLString(text)) {
        const std::string again = base64URLString(*bytes);
        require(again.find('=') == std::string::npos, "base64url output carries no padding");
        require(bytesFromBase64URLString(again) == bytes, "base64url round trip");
    }
    if (const auto bytes = bytesFromBase64String(text)) {
        const std::string again = base64String(*bytes);
        require(again.size() == text.size(), "standard base64 keeps its length");
        require(bytesFromBase64String(again) == bytes, "standard base64 round trip");
    }
    if (const auto bytes = bytesFromLegacyPairedString(text)) {
        require(2 * bytes->size() == withoutWhitespace(text), "two hex digits a byte");
        require(bytesFromLegacyPairedString(hexString(*bytes)) == bytes, "hex round trip");
    }

    const auto keyBytes = bytesFromPublicKeyString(text);
    if (keyBytes) {
        require(keyBytes->size() == 33 || keyBytes->size() == 64, "public keys are 33 or 64 bytes");
        require(encryptionCurveFrom(static_cast<long long>(keyBytes->size())) == EncryptionCurve::p256,
                "a key size selects P-256");
    }

    try {
        const p256::PublicKey key = KeyHelpers::p256PublicKey(text);
        require(keyBytes.has_value(), "an imported key decoded");
        const auto compressed = KeyHelpers::compressedP256(text);
        require(compressed && compressed->size() == 44, "an imported key has a 44-character form");
        require(KeyHelpers::compressedP256(*compressed) == compressed, "the compressed form is a fixed point");
        require(KeyHelpers::compressedP256(hexString(key.raw())) == compressed, "raw and compressed name one key");
        require(KeyHelpers::isValidPublicKey(text), "an imported key is valid");
    } catch (const CrypterError&) {
        require(!keyBytes.has_value(), "CrypterError only for undecodable text");
        require(!KeyHelpers::isValidPublicKey(text), "undecodable text is invalid");
    } catch (const CryptoError&) {
        require(keyBytes.has_value(), "an import error only for decoded bytes");
        require(!KeyHelpers::compressedP256(text).has_value(), "no compressed form for a bad point");
    }
    return 0;
}
