#include "KnownAnswerFile.h"

#include <algorithm>
#include <stdexcept>

#include "Support/Paths.h"

namespace duoquill::test {

namespace json = boost::json;

std::vector<std::filesystem::path> KnownAnswerFile::allOfKind(std::string_view prefix) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(testVectorsDir())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && name.ends_with(".json")) files.push_back(entry.path());
    }
    if (files.empty()) {
        throw std::runtime_error("no vector file " + std::string(prefix) + "*.json in " + testVectorsDir().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

KnownAnswerFile::KnownAnswerFile(const std::filesystem::path& path, std::string_view algorithm)
    : name_(path.filename().string()) {
    json::error_code error;
    document_ = json::parse(readFile(path), error);
    if (error) malformed("not JSON: " + error.message());
    if (!document_.is_object()) malformed("not a JSON object");
    const auto* declared = document_.as_object().if_contains("algorithm");
    if (declared == nullptr || !declared->is_string()) malformed("no algorithm");
    if (!std::string_view(declared->as_string()).starts_with(algorithm)) {
        malformed("algorithm is \"" + std::string(declared->as_string()) + "\", expected " + std::string(algorithm));
    }
    const auto* tests = document_.as_object().if_contains("tests");
    if (tests == nullptr || !tests->is_array() || tests->as_array().empty()) malformed("no tests");
    tests_ = tests->as_array();
}

const json::value& KnownAnswerFile::member(const json::value& test, std::string_view name) const {
    const auto* found = test.is_object() ? test.as_object().if_contains(name) : nullptr;
    if (found == nullptr) malformed("a test lacks \"" + std::string(name) + "\"");
    return *found;
}

Bytes KnownAnswerFile::hex(const json::value& test, std::string_view name) const {
    const std::string digits = text(test, name);
    const auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (digits.size() % 2 != 0) malformed("\"" + std::string(name) + "\" has an odd number of hex digits");
    Bytes out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = value(digits[i]);
        const int low = value(digits[i + 1]);
        if (high < 0 || low < 0) malformed("\"" + std::string(name) + "\" is not hex");
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return out;
}

std::string KnownAnswerFile::text(const json::value& test, std::string_view name) const {
    const auto& found = member(test, name);
    if (!found.is_string()) malformed("\"" + std::string(name) + "\" is not a string");
    return std::string(found.as_string());
}

std::uint64_t KnownAnswerFile::number(const json::value& test, std::string_view name) const {
    const auto& found = member(test, name);
    if (found.is_uint64()) return found.as_uint64();
    if (found.is_int64() && found.as_int64() >= 0) return static_cast<std::uint64_t>(found.as_int64());
    malformed("\"" + std::string(name) + "\" is not a non-negative integer");
}

const json::array& KnownAnswerFile::array(const json::value& test, std::string_view name) const {
    const auto& found = member(test, name);
    if (!found.is_array()) malformed("\"" + std::string(name) + "\" is not an array");
    return found.as_array();
}

void KnownAnswerFile::malformed(const std::string& what) const {
    throw std::runtime_error("vector file " + name_ + ": " + what);
}

}  // namespace duoquill::test
