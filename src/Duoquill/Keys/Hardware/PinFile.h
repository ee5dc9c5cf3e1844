#pragma once
// A token's PIN kept in a file, for a process with no terminal to type it on (a service, a
// script). The file must be a regular file of the user's own that no one else may read or
// write (chmod 600), and hold the PIN alone: one line, its line feed optional.

#include <string>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::PinFile {

// Throws CryptoError naming the file and what is wrong with it; the PIN never appears in it.
SecureBytes read(const std::string& path);

// The path of a pin-source value (RFC 7512), which must be a file: URI ("file:/p",
// "file:///p", "file://localhost/p", percent-encoded). Throws CryptoError otherwise.
std::string pathOfSource(const std::string& pinSource);

}  // namespace duoquill::PinFile
