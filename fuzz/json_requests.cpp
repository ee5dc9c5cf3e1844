// A line of chat --json input, as a program (or anything piped in) may write it.
//
// Invariants: a line is a request or a failure with one of the JSON-RPC codes, never a crash;
// a "send" carries non-empty UTF-8 text; that text, escaped again, parses back to itself; every
// answer and notification is one line that parses as a JSON object.

#include <boost/json/parse.hpp>
#include <string>
#include <string_view>

#include "Duoquill/Base/Utf8.h"
#include "DuoquillCLI/Json/JsonRpc.h"
#include "FuzzTarget.h"

using namespace duoquill;
using namespace duoquill::cli;
using duoquill::fuzz::require;

namespace {

std::vector<Bytes> seeds() {
    const std::vector<std::string> texts = {
        R"({"jsonrpc":"2.0","id":1,"method":"send","params":{"text":"hi \"there\" \u2713\n"}})",
        R"({"jsonrpc":"2.0","id":"q","method":"quit"})",
        R"({"jsonrpc":"2.0","method":"send","params":{"text":"\ud83d\ude00"}})",
        R"([{"jsonrpc":"2.0","id":2,"method":"send"}])",
        R"({"jsonrpc":"2.0","id":3,"method":"send","params":[1,{"text":""}]})",
        R"({"jsonrpc":"1.0","id":null,"method":"x"})",
        "{not json",
    };
    std::vector<Bytes> out;
    for (const auto& t : texts) out.emplace_back(t.begin(), t.end());
    return out;
}

bool oneJsonObjectLine(std::string_view line) {
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) return false;
    boost::json::error_code error;
    const auto value = boost::json::parse(line.substr(0, line.size() - 1), error);
    return !error && value.is_object();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto parsed = jsonrpc::parse(line);
    if (const auto* failure = std::get_if<jsonrpc::Failure>(&parsed)) {
        const int c = failure->code;
        require(c == jsonrpc::parseError || c == jsonrpc::invalidRequest || c == jsonrpc::methodNotFound ||
                    c == jsonrpc::invalidParams,
                "a failure has a JSON-RPC code");
        require(oneJsonObjectLine(jsonrpc::error(failure->id, c, failure->message).view()), "an error answer is one JSON line");
        return 0;
    }
    const auto& request = std::get<jsonrpc::Request>(parsed);
    require(request.method == "send" || request.method == "quit", "only known methods pass");
    if (request.id) require(oneJsonObjectLine(jsonrpc::result(*request.id, "null").view()), "an answer is one JSON line");
    if (request.method != "send") return 0;
    require(!request.text.empty() && isValidUtf8(request.text.view()), "a sent text is non-empty UTF-8");

    SecureText again(R"({"jsonrpc":"2.0","method":"send","params":{"text":)");
    jsonrpc::appendString(again, request.text.view());
    again += "}}";
    const auto reparsed = jsonrpc::parse(again.view());
    require(std::holds_alternative<jsonrpc::Request>(reparsed) &&
                std::get<jsonrpc::Request>(reparsed).text.view() == request.text.view(),
            "an escaped text parses back to itself");
    SecureText params(R"({"text":)");
    jsonrpc::appendString(params, request.text.view());
    params += "}";
    require(oneJsonObjectLine(jsonrpc::notification("message", params.view()).view()), "a notification is one JSON line");
    return 0;
}
