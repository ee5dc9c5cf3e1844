#pragma once
// AES-256-GCM with a 12-byte nonce and a 16-byte tag appended to the ciphertext.

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::aesgcm {

inline constexpr std::size_t keySize = 32;
inline constexpr std::size_t nonceSize = 12;
inline constexpr std::size_t tagSize = 16;

// Returns ciphertext || tag (plaintext.size() + 16 bytes). Throws CryptoError on a key or
// nonce of the wrong size.
Bytes seal(BytesView key, BytesView nonce, BytesView plaintext, BytesView associatedData);

// The same in place: buffer holds the plaintext followed by tagSize bytes of room, and ends
// holding ciphertext || tag. After a throw it may hold part of the plaintext.
void sealInPlace(BytesView key, BytesView nonce, std::span<std::uint8_t> buffer, BytesView associatedData);

// Takes ciphertext || tag. Throws AuthenticationError on any change (or input shorter than a
// tag), CryptoError on a key or nonce of the wrong size.
SecureBytes open(BytesView key, BytesView nonce, BytesView sealed, BytesView associatedData);

}  // namespace duoquill::aesgcm
