#pragma once
// JSON-RPC 2.0 for `chat --json`: one request per input line in, one object per output line out.
// Typed and received text never passes through an unwiped buffer here: a request is parsed into
// memory of its own that is wiped afterwards, and strings are escaped straight into SecureText.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::cli::jsonrpc {

inline constexpr int parseError = -32700;
inline constexpr int invalidRequest = -32600;
inline constexpr int methodNotFound = -32601;
inline constexpr int invalidParams = -32602;
// The chat did not take the line ("message too large", a full queue, a failed send).
inline constexpr int lineRefused = -32000;

// A request longer than this is refused unparsed: a line of the longest message, every
// character escaped, fits many times over.
inline constexpr std::size_t maxRequestBytes = 1 << 20;

// "send" with its text, or "quit".
struct Request {
    std::string method;
    // The id as JSON text; nothing for a notification, which gets no answer.
    std::optional<std::string> id;
    SecureText text;
};

struct Failure {
    int code;
    // Never quotes the request, which may hold a typed line: a notification's failure is shown
    // on standard error.
    std::string message;
    // The id as JSON text ("null" when the request was unreadable).
    std::string id = "null";
    // A notification's failure gets no answer.
    bool answered = true;
};

std::variant<Request, Failure> parse(std::string_view line);

// Appends `text` as a JSON string, quotes included.
void appendString(SecureText& out, std::string_view text);

// Whole lines, "\n" included.
SecureText result(std::string_view id, std::string_view resultJson);
SecureText error(std::string_view id, int code, std::string_view message);
// `paramsJson`: an object.
SecureText notification(std::string_view method, std::string_view paramsJson);

std::string numberList(const std::vector<std::uint64_t>& numbers);

}  // namespace duoquill::cli::jsonrpc
