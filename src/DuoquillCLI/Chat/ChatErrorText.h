#pragma once
// The text form of an error as the chat shows it: the case name for the system's own error
// types (their what()), the platform's description otherwise.

#include <exception>
#include <string>

namespace duoquill::cli {

inline std::string errorText(const std::exception& error) { return error.what(); }

}  // namespace duoquill::cli
