#pragma once
// Unbuffered writes to the process's standard streams.

#include <string_view>

namespace duoquill {

// Writes every byte to the file descriptor with write(2), looping over short writes and
// EINTR; one call per text as far as the kernel allows. Errors are ignored (a closed
// terminal must not take the program down).
void writeAll(int fd, std::string_view text) noexcept;

inline void writeStandardError(std::string_view text) noexcept { writeAll(2, text); }
inline void writeStandardOutput(std::string_view text) noexcept { writeAll(1, text); }

}  // namespace duoquill
