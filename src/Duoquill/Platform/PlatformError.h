#pragma once
// Errors of the platform layer. They carry a readable sentence; callers above the platform
// pass them through unchanged or map them onto their own error types.

#include <cctype>
#include <cstring>
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

// The system's words for an errno value, starting in lower case to go mid-sentence:
// "connection refused".
inline std::string systemWords(int error) {
    std::string words = std::strerror(error);
    if (!words.empty()) words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
    return words;
}

}  // namespace duoquill
