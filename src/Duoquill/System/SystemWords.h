#pragma once
// The system's words for an errno value, starting in lower case to go mid-sentence:
// "connection refused", "no such file or directory".

#include <cctype>
#include <cstring>
#include <string>

namespace duoquill {

inline std::string systemWords(int error) {
    std::string words = std::strerror(error);
    if (!words.empty()) words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
    return words;
}

}  // namespace duoquill
