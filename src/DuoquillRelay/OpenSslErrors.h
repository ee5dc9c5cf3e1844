#pragma once
// OpenSSL's errors in words for the log and for error codes: never a bare number.

#include <boost/system/error_code.hpp>

#include <string>

namespace duoquill::relay {

// One error code as words: its reason, or for a failed system call the system's message.
std::string openSslErrorText(unsigned long code);

// The oldest error in the thread's queue (the cause; later ones say what it stopped) in words,
// or `fallback` when the queue is empty. Empties the queue, which every connection of the thread
// shares.
std::string takeOpenSslError(const std::string& fallback = "unknown error");

// An error code whose message() is readable: a failed system call in the system category, the
// rest in Asio's OpenSSL category.
boost::system::error_code openSslErrorCode(unsigned long code);

}  // namespace duoquill::relay
