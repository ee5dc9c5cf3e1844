#pragma once
// Errors of the platform layer. They carry a readable sentence; callers above the platform
// pass them through unchanged or map them onto their own error types.

#include <stdexcept>
#include <string>

namespace duoquill {

// A cryptographic operation failed (bad input such as a non-curve point, or a library failure).
class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Authenticated decryption failed: wrong key, nonce, associated data, or altered bytes.
class AuthenticationError : public CryptoError {
public:
    AuthenticationError() : CryptoError("authentication failed") {}
};

// The secure random source could not deliver.
class RandomSourceError : public CryptoError {
public:
    using CryptoError::CryptoError;
};

}  // namespace duoquill
