#pragma once
// Loading of the known-answer vector files. Every problem with a file (missing, not JSON,
// missing member, bad hex) throws std::runtime_error naming the file and the member, so a
// damaged file fails its test instead of being skipped.

#include <boost/json.hpp>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "Duoquill/Platform/SecureBytes.h"

namespace duoquill::test {

class KnownAnswerFile {
public:
    // Every file in testVectorsDir() whose name starts with `prefix` and ends in ".json";
    // throws when there is none.
    static std::vector<std::filesystem::path> allOfKind(std::string_view prefix);

    // Parses the file and checks that its "algorithm" member starts with `algorithm`.
    KnownAnswerFile(const std::filesystem::path& path, std::string_view algorithm);

    const std::string& name() const { return name_; }
    const boost::json::array& tests() const { return tests_; }

    // Members of one test case.
    Bytes hex(const boost::json::value& test, std::string_view member) const;
    std::string text(const boost::json::value& test, std::string_view member) const;
    std::uint64_t number(const boost::json::value& test, std::string_view member) const;
    const boost::json::array& array(const boost::json::value& test, std::string_view member) const;

private:
    const boost::json::value& member(const boost::json::value& test, std::string_view name) const;
    [[noreturn]] void malformed(const std::string& what) const;

    std::string name_;
    boost::json::value document_;
    boost::json::array tests_;
};

}  // namespace duoquill::test
