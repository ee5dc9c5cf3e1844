#pragma once
// Peer-key parsing and validation, and the room names a pair of identities meets under.
//
// Two users derive the same room from the key agreement of their identity keys (the "room key
// data": 32 bytes that the chat client computes once). The room code is stable for the pair
// and feeds the secure session; the room token changes every UTC day and is the only name the
// relay sees. Neither reveals either public key.

#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/System/Clock.h"
#include "Duoquill/Primitives/P256.h"

namespace duoquill::KeyHelpers {

inline constexpr std::string_view roomCodeLabel = "morvane-room-code:";
inline constexpr std::string_view roomTokenLabel = "morvane-room-token:";
inline constexpr long long secondsPerDay = 86400;

// The P-256 public key written as text: hexadecimal or base64url, of the 33-byte compressed
// or the 64-byte raw (X then Y) form. Throws CrypterError when the text decodes to neither
// size, and the import's CryptoError when the bytes are not a point on the curve.
p256::PublicKey p256PublicKey(std::string_view from);

// The key's compressed form as unpadded base64url (44 characters), or nothing when the text
// is not a valid key. Every way of writing one key gives the same text, the one `pubkey`
// prints; the relay handshake compares identity digests over it.
std::optional<std::string> compressedP256(std::string_view from);

// True when the text names a P-256 public key that is a point on the curve and takes part in
// a key agreement. Used on the peer key given on the command line.
bool isValidPublicKey(std::string_view text);

// Lower-case hex of SHA-512("morvane-room-code:" || roomKeyData): 128 characters.
std::string deriveRoomCode(BytesView roomKeyData);

// Lower-case hex of SHA-512("morvane-room-token:<day>:" || roomKeyData), where day is the
// whole number of UTC days since 1970 on the given clock: 128 characters.
std::string deriveRoomToken(BytesView roomKeyData, const Clock& clock = Clock::system());

}  // namespace duoquill::KeyHelpers
