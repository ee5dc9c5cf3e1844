#pragma once
// Loading of the known-answer vector files. Every failure throws with the file and field
// named, so a malformed or missing file fails the test that reads it instead of passing
// with nothing checked.

#include <boost/json.hpp>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "Duoquill/Platform/SecureBytes.h"

namespace duoquill::test {

struct VectorFile {
    std::filesystem::path path;
    std::string algorithm;
    boost::json::array tests;   // never empty
};

// Every "<prefix>*.json" in testVectorsDir(), parsed and sorted by name. Throws when there is
// none, or when a file is not JSON, lacks a text "algorithm" or has no test objects.
std::vector<VectorFile> vectorFiles(std::string_view prefix);

// Members of one test object. Each throws std::runtime_error when the member is missing or
// has the wrong type; hexMember also when the text is not lower- or upper-case hex pairs.
Bytes hexMember(const boost::json::value& test, std::string_view name);
std::string stringMember(const boost::json::value& test, std::string_view name);
std::int64_t intMember(const boost::json::value& test, std::string_view name);
bool hasMember(const boost::json::value& test, std::string_view name);

}  // namespace duoquill::test
