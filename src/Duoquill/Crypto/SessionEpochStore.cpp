#include "Duoquill/Crypto/SessionEpochStore.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <span>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/System/Paths.h"
#include "Duoquill/Platform/Primitives/Random.h"
#include "Duoquill/Platform/Primitives/Sha2.h"

namespace duoquill {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view directoryName = "com.duoquill.session";
constexpr std::size_t nameDigestBytes = 16;

std::array<char, SessionEpochStore::fileSize> encode(double seconds) {
    const auto bits = std::bit_cast<std::uint64_t>(seconds);
    std::array<char, SessionEpochStore::fileSize> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    return out;
}

double decode(std::span<const std::uint8_t, SessionEpochStore::fileSize> in) {
    std::uint64_t bits = 0;
    for (std::size_t i = in.size(); i-- > 0;) bits = (bits << 8) | in[i];
    return std::bit_cast<double>(bits);
}

}  // namespace

SessionEpochStore::SessionEpochStore(const Clock& clock, std::optional<std::filesystem::path> directory)
    : clock_(&clock), directory_(std::move(directory)) {}

std::string SessionEpochStore::fileName(std::string_view roomCode) {
    const Bytes digest = sha256(asBytes(roomCode));
    return "epoch-" + hexString(BytesView(digest).first(nameDigestBytes));
}

std::optional<fs::path> SessionEpochStore::sessionEpochFile(std::string_view roomCode) const noexcept {
    return locate(roomCode, true);
}

std::optional<fs::path> SessionEpochStore::locate(std::string_view roomCode, bool createDirectory) const noexcept {
    try {
        const fs::path directory = directory_ ? *directory_ : paths::applicationSupportDirectory() / directoryName;
        if (createDirectory) {
            std::error_code ec;
            fs::create_directories(directory, ec);
            if (ec || !fs::is_directory(directory, ec)) return std::nullopt;
        }
        // Every record asks for the same room: the name is worked out once.
        if (cachedRoomCode_ != roomCode || cachedFileName_.empty()) {
            cachedFileName_ = fileName(roomCode);
            cachedRoomCode_ = roomCode;
        }
        return directory / cachedFileName_;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void SessionEpochStore::persistSessionEpoch(std::string_view roomCode) const noexcept {
    try {
        const auto file = sessionEpochFile(roomCode);
        if (!file) return;
        // A reader sees either the old file or the whole new one, never a partial write.
        const fs::path temporary = fs::path(*file).concat(".tmp-" + hexString(random::bytes(8)));
        const auto content = encode(clock_->wallSeconds());
        bool written;
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
            out.close();
            written = !out.fail();
        }
        std::error_code ec;
        if (written) fs::rename(temporary, *file, ec);
        if (!written || ec) fs::remove(temporary, ec);
    } catch (const std::exception&) {
        // A failed write only means the wall-clock cap is not enforced for this session.
    }
}

void SessionEpochStore::clearSessionEpoch(std::string_view roomCode) const noexcept {
    try {
        const auto file = sessionEpochFile(roomCode);
        if (!file) return;
        // Only a file of ours goes; anything else at that path is left alone.
        std::error_code ec;
        const auto status = fs::symlink_status(*file, ec);
        if (!ec && (fs::is_regular_file(status) || fs::is_symlink(status))) fs::remove(*file, ec);
    } catch (const std::exception&) {
    }
}

bool SessionEpochStore::isSessionEpochExpired(std::string_view roomCode) const noexcept {
    // Runs before every record and frame, so it is kept to one open, read and close: a
    // directory that does not exist holds no file, so it need not be created here.
    const auto file = locate(roomCode, false);
    if (!file) return false;
    std::FILE* in = std::fopen(file->c_str(), "rb");
    if (in == nullptr) return false;
    std::setvbuf(in, nullptr, _IONBF, 0);
    // One byte more than needed tells an 8-byte file from a longer one.
    std::array<std::uint8_t, fileSize + 1> buffer{};
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed || got != fileSize) return false;
    return clock_->wallSeconds() - decode(std::span(buffer).first<fileSize>()) >= lifetimeSeconds;
}

}  // namespace duoquill
