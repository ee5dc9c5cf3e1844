#pragma once
// Session epoch files: one 8-byte file per room holding the wall-clock time (binary64,
// little-endian) at which that room's current session keys were made. A session is over
// once the file is 86400 seconds old, whatever the uptime clock says.
//
// Every file-system failure counts as "no file": nothing is written, removed or expired,
// and nothing is raised.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace duoquill {

// The file's reader and writer. The session never touches it: the client reads a room's file
// once before it makes sessions, writes it when a session's keys are made and removes it when
// the session goes; the session applies the 24-hour rule to the time it is handed.
class SessionEpochStore {
public:
    static constexpr std::size_t fileSize = 8;

    // directory: where the files live. Absent means <per-user application-support
    // directory>/com.duoquill.session, looked up afresh on every use.
    explicit SessionEpochStore(std::optional<std::filesystem::path> directory = std::nullopt);

    // "epoch-" and the lowercase hex of the first 16 bytes of SHA-256(roomCode).
    static std::string fileName(std::string_view roomCode);

    // The room's file; creates the directory (and its parents) each time. Nothing when the
    // directory cannot be found or created.
    std::optional<std::filesystem::path> sessionEpochFile(std::string_view roomCode) const noexcept;

    // The time the room's file holds: nothing when it is missing, unreadable, not a regular
    // file of exactly 8 bytes.
    std::optional<double> read(std::string_view roomCode) const noexcept;
    // Writes `wallSeconds` atomically (temporary file, then rename).
    void write(std::string_view roomCode, double wallSeconds) const noexcept;
    void remove(std::string_view roomCode) const noexcept;

private:
    std::filesystem::path locate(std::string_view roomCode) const;

    std::optional<std::filesystem::path> directory_;
};

}  // namespace duoquill
