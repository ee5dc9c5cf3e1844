#include "Duoquill/Identity/KeyHelpers.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Primitives/Sha2.h"

namespace duoquill::KeyHelpers {
namespace {

std::string hashedName(std::string_view label, BytesView roomKeyData) {
    Sha512 hash;
    hash.update(asBytes(label)).update(roomKeyData);
    return hexString(hash.finish());
}

// Whole seconds truncated toward zero; a clock far outside the 64-bit range is clamped
// rather than left to undefined conversion.
std::int64_t wholeSeconds(double seconds) {
    constexpr double limit = 9.2e18;
    if (std::isnan(seconds)) return 0;
    if (seconds >= limit) return std::numeric_limits<std::int64_t>::max();
    if (seconds <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(seconds);
}

}  // namespace

p256::PublicKey p256PublicKey(std::string_view from) {
    const std::optional<Bytes> bytes = bytesFromPublicKeyString(from);
    if (!bytes) throw CrypterError(CrypterErrorCode::invalidPublicKey);
    return bytes->size() == p256::compressedSize ? p256::PublicKey::fromCompressed(*bytes) : p256::PublicKey::fromRaw(*bytes);
}

std::optional<std::string> compressedP256(std::string_view from) {
    try {
        return base64URLString(p256PublicKey(from).compressed());
    } catch (const CrypterError&) {
        return std::nullopt;
    } catch (const CryptoError&) {
        return std::nullopt;
    }
}

bool isValidPublicKey(std::string_view text) {
    const std::optional<Bytes> bytes = bytesFromPublicKeyString(text);
    if (!bytes || !encryptionCurveFrom(static_cast<long long>(bytes->size()))) return false;
    try {
        if (bytes->size() == p256::compressedSize) {
            p256::PublicKey::fromCompressed(*bytes);
            return true;
        }
        const p256::PublicKey peer = p256::PublicKey::fromRaw(*bytes);
        // A throwaway agreement proves the point is usable, not merely well-formed.
        const SecureBytes secret = p256::PrivateKey::generate().sharedSecret(peer);
        return secret.size() == p256::sharedSecretSize;
    } catch (const CryptoError&) {
        return false;
    }
}

std::string deriveRoomCode(BytesView roomKeyData) { return hashedName(roomCodeLabel, roomKeyData); }

std::string deriveRoomToken(BytesView roomKeyData, const Clock& clock) {
    const std::int64_t day = wholeSeconds(clock.wallSeconds()) / secondsPerDay;
    return hashedName(std::string(roomTokenLabel) + std::to_string(day) + ":", roomKeyData);
}

}  // namespace duoquill::KeyHelpers
