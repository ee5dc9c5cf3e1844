#include "Duoquill/Keys/Hardware/PinFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/System/FileDescriptor.h"
#include "Duoquill/System/SystemWords.h"

namespace duoquill::PinFile {
namespace {

// Far beyond any token's PIN; a longer file is not a PIN file.
constexpr std::size_t maxPinFileSize = 256;

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

SecureBytes read(const std::string& path) {
    const std::string name = "the PIN file " + path;
    // Non-blocking, so a FIFO in its place cannot hold the process.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) throw CryptoError("cannot open " + name + ": " + systemWords(errno));
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw CryptoError("cannot read " + name + ": " + systemWords(errno));
    if (!S_ISREG(info.st_mode)) throw CryptoError(name + " is not a regular file");
    if (info.st_uid != ::geteuid()) {
        throw CryptoError(name + " belongs to another user (uid " + std::to_string(info.st_uid) + "); it must be yours");
    }
    if ((info.st_mode & 077) != 0) {
        throw CryptoError(name + " is open to other users (mode " + octal(info.st_mode) + "); make it yours alone: chmod 600 " +
                          path);
    }

    SecureBytes pin(maxPinFileSize + 1);
    std::size_t length = 0;
    while (length < pin.size()) {
        const ssize_t n = ::read(file.get(), pin.data() + length, pin.size() - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw CryptoError("cannot read " + name + ": " + systemWords(errno));
        if (n == 0) break;
        length += static_cast<std::size_t>(n);
    }
    if (length > maxPinFileSize) throw CryptoError(name + " is too long to hold a PIN");
    pin.resize(length);  // shrinking keeps the buffer, which is wiped when it goes
    if (!pin.empty() && pin.back() == '\n') pin.pop_back();
    if (!pin.empty() && pin.back() == '\r') pin.pop_back();
    for (const std::uint8_t c : pin) {
        if (c == '\n' || c == '\r') throw CryptoError(name + " holds more than one line; it must hold the PIN alone");
    }
    if (pin.empty()) throw CryptoError(name + " is empty");
    return pin;
}

std::string pathOfSource(const std::string& pinSource) {
    const auto refuse = [&] {
        return CryptoError("pin-source must name a file as a file: URI (pin-source=file:/home/you/.token-pin), not \"" +
                           pinSource + "\"");
    };
    constexpr std::string_view scheme = "file:";
    if (!pinSource.starts_with(scheme)) throw refuse();
    std::string_view rest = std::string_view(pinSource).substr(scheme.size());
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const std::size_t slash = rest.find('/');
        const std::string_view host = rest.substr(0, slash);
        if (slash == std::string_view::npos || (!host.empty() && host != "localhost")) throw refuse();
        rest.remove_prefix(slash);
    }
    if (!rest.starts_with('/') || rest.find_first_of("?#") != std::string_view::npos) throw refuse();
    std::string path;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path += rest[i];
            continue;
        }
        const int high = i + 2 < rest.size() ? hexDigit(rest[i + 1]) : -1;
        const int low = high >= 0 ? hexDigit(rest[i + 2]) : -1;
        if (low < 0) throw refuse();
        const char decoded = static_cast<char>(high * 16 + low);
        if (decoded == '\0') throw refuse();
        path += decoded;
        i += 2;
    }
    return path;
}

}  // namespace duoquill::PinFile
