#include "Duoquill/Session/SessionEpochStore.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cerrno>
#include <span>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/System/Paths.h"
#include "Duoquill/Primitives/Random.h"
#include "Duoquill/Primitives/Sha2.h"

namespace duoquill {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view directoryName = "com.duoquill.session";
constexpr std::size_t nameDigestBytes = 16;

// A descriptor closed on every path.
struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

bool writeAll(int fd, std::span<const char> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

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

// The stored time, or nothing when the path holds no readable 8-byte regular file.
std::optional<double> readEpoch(const fs::path& file) noexcept {
    // A link, a FIFO or a device planted at the path is not our file: never followed, never
    // waited on.
    const Descriptor in(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.fd < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(in.fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    // One byte more than needed tells an 8-byte file from a longer one.
    std::array<std::uint8_t, SessionEpochStore::fileSize + 1> buffer{};
    ssize_t got;
    do {
        got = ::read(in.fd, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(SessionEpochStore::fileSize)) return std::nullopt;
    return decode(std::span(buffer).first<SessionEpochStore::fileSize>());
}

// Makes the directory and any missing parents, for this user only: the file names are stable
// per pair of identities and the times tell when they talked. One that exists is only made
// private if an older version left it readable, as changing its mode is a journalled write.
bool ensureDirectory(const fs::path& directory) noexcept {
    constexpr mode_t privateMode = 0700;
    if (::mkdir(directory.c_str(), privateMode) != 0 && errno != EEXIST) {
        std::error_code ec;
        fs::create_directories(directory, ec);
        if (ec) return false;
    }
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    return (status.st_mode & 07777) == privateMode || ::chmod(directory.c_str(), privateMode) == 0;
}

}  // namespace

SessionEpochStore::SessionEpochStore(std::optional<std::filesystem::path> directory)
    : directory_(std::move(directory)) {}

std::string SessionEpochStore::fileName(std::string_view roomCode) {
    const Bytes digest = sha256(asBytes(roomCode));
    return "epoch-" + hexString(BytesView(digest).first(nameDigestBytes));
}

fs::path SessionEpochStore::locate(std::string_view roomCode) const {
    const fs::path directory = directory_ ? *directory_ : paths::applicationSupportDirectory() / directoryName;
    return directory / fileName(roomCode);
}

std::optional<fs::path> SessionEpochStore::sessionEpochFile(std::string_view roomCode) const noexcept {
    try {
        fs::path file = locate(roomCode);
        if (!ensureDirectory(file.parent_path())) return std::nullopt;
        return file;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<double> SessionEpochStore::read(std::string_view roomCode) const noexcept {
    try {
        // A directory that does not exist holds no file: nothing is made to read one.
        return readEpoch(locate(roomCode));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void SessionEpochStore::write(std::string_view roomCode, double wallSeconds) const noexcept {
    try {
        const auto file = sessionEpochFile(roomCode);
        if (!file) return;
        // A reader sees either the old file or the whole new one, never a partial write.
        const fs::path temporary = fs::path(*file).concat(".tmp-" + hexString(random::bytes(8)));
        const auto content = encode(wallSeconds);
        bool written;
        {
            Descriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (out.fd < 0) return;
            written = writeAll(out.fd, content);
            written = ::close(std::exchange(out.fd, -1)) == 0 && written;
        }
        std::error_code ec;
        if (written) fs::rename(temporary, *file, ec);
        if (!written || ec) fs::remove(temporary, ec);
    } catch (const std::exception&) {
        // A failed write only means the wall-clock cap is not enforced for this session.
    }
}

void SessionEpochStore::remove(std::string_view roomCode) const noexcept {
    try {
        // Removing a file needs no directory made for it.
        const fs::path file = locate(roomCode);
        // Only a file of ours goes; anything else at that path is left alone.
        std::error_code ec;
        const auto status = fs::symlink_status(file, ec);
        if (!ec && (fs::is_regular_file(status) || fs::is_symlink(status))) fs::remove(file, ec);
    } catch (const std::exception&) {
    }
}

}  // namespace duoquill
