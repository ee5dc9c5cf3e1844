#pragma once
// Session epoch files: one 8-byte file per room holding the wall-clock time (binary64,
// little-endian) at which that room's current session keys were made. A session is over
// once the file is 86400 seconds old, whatever the uptime clock says.
//
// Every file-system failure counts as "no file": nothing is written, removed or expired,
// and nothing is raised.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/System/Clock.h"
#include "Duoquill/System/DirectoryWatch.h"

namespace duoquill {

class SessionEpochStore {
public:
    static constexpr double lifetimeSeconds = 86400.0;
    static constexpr std::size_t fileSize = 8;

    // directory: where the files live. Absent means <per-user application-support
    // directory>/com.duoquill.session, looked up afresh on every use.
    explicit SessionEpochStore(const Clock& clock = Clock::system(),
                               std::optional<std::filesystem::path> directory = std::nullopt);

    // "epoch-" and the lowercase hex of the first 16 bytes of SHA-256(roomCode).
    static std::string fileName(std::string_view roomCode);

    // The room's file; creates the directory (and its parents) each time. Nothing when the
    // directory cannot be found or created.
    std::optional<std::filesystem::path> sessionEpochFile(std::string_view roomCode) const noexcept;

    // Writes the current wall-clock time, atomically (temporary file, then rename).
    void persistSessionEpoch(std::string_view roomCode) const noexcept;
    void clearSessionEpoch(std::string_view roomCode) const noexcept;
    // True when the file holds exactly 8 bytes and is at least 86400 seconds old. A missing,
    // unreadable or wrongly sized file, or a time in the future, is not expired. The file is
    // read again whenever its directory reports a change, and every time where it cannot.
    bool isSessionEpochExpired(std::string_view roomCode) const noexcept;

private:
    // The room's file, kept for the next call (nothing when it cannot be worked out).
    const std::filesystem::path* locate(std::string_view roomCode) const noexcept;

    const Clock* clock_;
    std::optional<std::filesystem::path> directory_;
    mutable std::string cachedRoomCode_;
    mutable std::filesystem::path cachedFile_;
    // The last reading of cachedFile_ (nothing: no usable file), good while watch_ sees no
    // change in its directory.
    mutable std::unique_ptr<DirectoryWatch> watch_;
    mutable std::optional<std::optional<double>> lastReading_;
};

}  // namespace duoquill
