#pragma once
// Textual forms of byte strings and public keys, curve selection by key size, and the
// in-place wipe of a byte string. Nothing here touches the network or a key store.

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill {

// Unpadded URL-safe base64 ("-" and "_", no "="): 33 bytes give 44 characters.
std::string base64URLString(BytesView bytes);

// Lenient base64url: "-"/"_" and "+"/"/" both accepted, padding optional; strict otherwise
// (no whitespace, nothing outside ASCII). The empty text decodes to an empty byte string.
std::optional<Bytes> bytesFromBase64URLString(std::string_view text);

// Hexadecimal pairs; spaces, line feeds and carriage returns are ignored.
std::optional<Bytes> bytesFromLegacyPairedString(std::string_view text);

// A public key written in hexadecimal or base64url, of 33 (compressed) or 64 (raw) bytes.
// The bytes are not checked to be a curve point.
std::optional<Bytes> bytesFromPublicKeyString(std::string_view text);

// Standard padded base64 (RFC 4648 section 4), used for relay members and tunnel frames.
// Its speed comes from table lookups indexed by the data: for public bytes only.
std::string base64String(BytesView bytes);
// Strict standard base64: padding required, no whitespace, canonical trailing bits not required.
std::optional<Bytes> bytesFromBase64String(std::string_view text);

std::string hexString(BytesView bytes);  // lower case, two digits a byte

enum class EncryptionCurve { p256 };

std::optional<EncryptionCurve> encryptionCurveFrom(long long publicKeyByteCount);

enum class CrypterErrorCode { invalidPublicKey };

class CrypterError : public std::exception {
public:
    explicit CrypterError(CrypterErrorCode code = CrypterErrorCode::invalidPublicKey) : code_(code) {}
    CrypterErrorCode code() const noexcept { return code_; }
    const char* what() const noexcept override { return "Invalid key format"; }
    friend bool operator==(const CrypterError&, const CrypterError&) noexcept { return true; }

private:
    CrypterErrorCode code_;
};

// Overwrites every byte with 0x00; the length is unchanged.
template <class Container>
void secureZero(Container& bytes) noexcept {
    secureWipe(bytes.data(), bytes.size());
}

}  // namespace duoquill
