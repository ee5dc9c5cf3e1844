#include "Support/KnownAnswers.h"

#include <algorithm>
#include <stdexcept>

#include "Support/Paths.h"

namespace duoquill::test {
namespace {

const boost::json::value& member(const boost::json::value& test, std::string_view name) {
    const auto* object = test.if_object();
    if (object == nullptr) throw std::runtime_error("test vector is not an object");
    const auto* found = object->if_contains(name);
    if (found == nullptr) {
        throw std::runtime_error("test vector lacks \"" + std::string(name) + "\": " +
                                 boost::json::serialize(test).substr(0, 80));
    }
    return *found;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::vector<VectorFile> vectorFiles(std::string_view prefix) {
    const auto dir = testVectorsDir();
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && entry.path().extension() == ".json") paths.push_back(entry.path());
    }
    if (paths.empty()) {
        throw std::runtime_error("no " + std::string(prefix) + "*.json vector file in " + dir.string());
    }
    std::sort(paths.begin(), paths.end());

    std::vector<VectorFile> files;
    for (const auto& path : paths) {
        boost::system::error_code ec;
        boost::json::value root = boost::json::parse(readFile(path), ec);
        if (ec) throw std::runtime_error(path.string() + ": not JSON: " + ec.message());
        const auto* object = root.if_object();
        const auto* algorithm = object ? object->if_contains("algorithm") : nullptr;
        const auto* tests = object ? object->if_contains("tests") : nullptr;
        if (algorithm == nullptr || !algorithm->is_string()) {
            throw std::runtime_error(path.string() + ": no text \"algorithm\"");
        }
        if (tests == nullptr || !tests->is_array() || tests->as_array().empty()) {
            throw std::runtime_error(path.string() + ": no \"tests\"");
        }
        for (const auto& test : tests->as_array()) {
            if (!test.is_object()) throw std::runtime_error(path.string() + ": a test is not an object");
        }
        files.push_back({path, std::string(algorithm->as_string()), tests->as_array()});
    }
    return files;
}

Bytes hexMember(const boost::json::value& test, std::string_view name) {
    const auto& value = member(test, name);
    if (!value.is_string()) throw std::runtime_error("\"" + std::string(name) + "\" is not text");
    const auto& text = value.as_string();
    if (text.size() % 2 != 0) throw std::runtime_error("\"" + std::string(name) + "\" has odd length");
    Bytes out(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = hexDigit(text[2 * i]), lo = hexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) throw std::runtime_error("\"" + std::string(name) + "\" is not hex");
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return out;
}

std::string stringMember(const boost::json::value& test, std::string_view name) {
    const auto& value = member(test, name);
    if (!value.is_string()) throw std::runtime_error("\"" + std::string(name) + "\" is not text");
    return std::string(value.as_string());
}

std::int64_t intMember(const boost::json::value& test, std::string_view name) {
    const auto& value = member(test, name);
    if (!value.is_int64() && !value.is_uint64()) {
        throw std::runtime_error("\"" + std::string(name) + "\" is not an integer");
    }
    return value.to_number<std::int64_t>();
}

bool hasMember(const boost::json::value& test, std::string_view name) {
    const auto* object = test.if_object();
    return object != nullptr && object->contains(name);
}

}  // namespace duoquill::test
