#include "DuoquillRelay/RelayLog.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "Duoquill/Primitives/Sha2.h"
#include "Duoquill/System/StandardStreams.h"

namespace duoquill::relay {

void RelayLog::write(std::string_view line) const {
    if (!quiet_) writeEvenWhenQuiet(line);
}

void RelayLog::writeEvenWhenQuiet(std::string_view line) const {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    std::array<char, 40> stamp{};
    const std::size_t n = std::strftime(stamp.data(), stamp.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::string text(stamp.data(), n);
    std::array<char, 8> fraction{};
    std::snprintf(fraction.data(), fraction.size(), ".%03dZ ", static_cast<int>(millis));
    text += fraction.data();
    text += line;
    text += '\n';
    writeStandardError(text);
}

std::string RelayLog::roomTag(std::string_view token) {
    const Bytes digest = sha256(BytesView(reinterpret_cast<const std::uint8_t*>(token.data()), token.size()));
    static constexpr char hex[] = "0123456789abcdef";
    std::string tag;
    for (std::size_t i = 0; i < 4; ++i) {
        tag += hex[digest[i] >> 4];
        tag += hex[digest[i] & 0x0f];
    }
    return tag;
}

}  // namespace duoquill::relay
