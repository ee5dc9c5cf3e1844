#include "DuoquillCLI/Json/JsonRpc.h"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/null_resource.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/serializer.hpp>
#include <cmath>
#include <new>

namespace json = boost::json;

namespace duoquill::cli::jsonrpc {
namespace {

// Parse memory per byte of request: enough for a request of many small values.
constexpr std::size_t kParseBytesPerInputByte = 16;
constexpr std::size_t kParseBytesExtra = 4096;

Failure invalid(std::string message, std::string id = "null") {
    return Failure{invalidRequest, std::move(message), std::move(id)};
}

std::variant<Request, Failure> interpret(const json::value& parsed) {
    if (parsed.is_array()) return invalid("batches are not supported: one request per line");
    const json::object* object = parsed.if_object();
    if (!object) return invalid("a request is a JSON object");

    std::optional<std::string> id;
    if (const json::value* given = object->if_contains("id")) {
        if (!given->is_string() && !given->is_number() && !given->is_null()) return invalid("\"id\" must be a string, a number or null");
        // A number past a double's range reads as infinity, which has no JSON text to answer with.
        if (given->is_double() && !std::isfinite(given->get_double())) return invalid("\"id\" must be a finite number");
        id = json::serialize(*given);
    }
    const std::string answerTo = id.value_or("null");
    const json::value* version = object->if_contains("jsonrpc");
    if (!version || !version->is_string() || version->get_string() != "2.0") {
        return invalid("\"jsonrpc\" must be \"2.0\"", answerTo);
    }
    const json::value* method = object->if_contains("method");
    if (!method || !method->is_string()) return invalid("\"method\" must be a string", answerTo);
    const json::value* params = object->if_contains("params");
    if (params && !params->is_object() && !params->is_array()) return invalid("\"params\" must be an object or an array", answerTo);

    Request request{std::string(method->get_string()), id, {}};
    const auto refuse = [&](int code, std::string message) {
        return Failure{code, std::move(message), answerTo, id.has_value()};
    };
    if (request.method == "quit") return request;
    if (request.method != "send") return refuse(methodNotFound, "method not found: the methods are \"send\" and \"quit\"");
    const json::value* text = params && params->is_object() ? params->get_object().if_contains("text") : nullptr;
    if (!text || !text->is_string()) return refuse(invalidParams, "send requires params {\"text\": string}");
    if (text->get_string().empty()) return refuse(invalidParams, "send requires a text that is not empty");
    request.text = SecureText(std::string_view(text->get_string()));
    return request;
}

}  // namespace

std::variant<Request, Failure> parse(std::string_view line) {
    if (line.size() > maxRequestBytes) return invalid("request too long");
    // The parser's working memory and the parsed value (which holds the text) live in one
    // buffer that is wiped when it goes; nothing spills to the heap.
    SecureBytes memory(line.size() * kParseBytesPerInputByte + kParseBytesExtra);
    const std::size_t half = memory.size() / 2;
    json::monotonic_resource working(memory.data(), half, json::get_null_resource());
    json::monotonic_resource values(memory.data() + half, memory.size() - half, json::get_null_resource());
    try {
        json::parser parser{json::storage_ptr(&working)};
        parser.reset(json::storage_ptr(&values));
        json::error_code error;
        parser.write(line.data(), line.size(), error);
        if (error) return Failure{parseError, "parse error: " + error.message()};
        const json::value parsed = parser.release();
        return interpret(parsed);
    } catch (const std::bad_alloc&) {
        return invalid("request too complex");
    }
}

void appendString(SecureText& out, std::string_view text) {
    out.reserve(out.size() + text.size() * 6 + 2);  // every byte escaped: no reallocation after
    json::serializer serializer;
    serializer.reset(text);
    char chunk[1024];
    while (!serializer.done()) out += serializer.read(chunk, sizeof chunk);
    secureWipe(chunk, sizeof chunk);
}

SecureText result(std::string_view id, std::string_view resultJson) {
    SecureText line(R"({"jsonrpc":"2.0","id":)");
    line += id;
    line += R"(,"result":)";
    line += resultJson;
    line += "}\n";
    return line;
}

SecureText error(std::string_view id, int code, std::string_view message) {
    SecureText line(R"({"jsonrpc":"2.0","id":)");
    line += id;
    line += R"(,"error":{"code":)";
    line += std::to_string(code);
    line += R"(,"message":)";
    appendString(line, message);
    line += "}}\n";
    return line;
}

SecureText notification(std::string_view method, std::string_view paramsJson) {
    SecureText line(R"({"jsonrpc":"2.0","method":)");
    appendString(line, method);
    line += R"(,"params":)";
    line += paramsJson;
    line += "}\n";
    return line;
}

std::string numberList(const std::vector<std::uint64_t>& numbers) {
    std::string list = "[";
    for (const auto number : numbers) {
        if (list.size() > 1) list += ',';
        list += std::to_string(number);
    }
    return list + "]";
}

}  // namespace duoquill::cli::jsonrpc
