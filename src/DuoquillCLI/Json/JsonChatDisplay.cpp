#include "DuoquillCLI/Json/JsonChatDisplay.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <type_traits>
#include <utility>

#include "Duoquill/System/StandardStreams.h"
#include "DuoquillCLI/Json/JsonRpc.h"

namespace duoquill::cli {

using namespace chat;

namespace {

void emit(const SecureText& line) { writeStandardOutput(line.view()); }

std::optional<std::string_view> stateName(Phase phase) {
    switch (phase) {
        case Phase::connecting: return "connecting";
        case Phase::waitingForPeer: return "waiting";
        case Phase::handshaking: return "handshaking";
        case Phase::active: return "connected";
        case Phase::reconnecting: return "reconnecting";
        default: return std::nullopt;
    }
}

// RFC 3339 in UTC, to the millisecond.
std::string utcTime(double seconds) {
    const double whole = std::floor(seconds);
    const auto time = static_cast<std::time_t>(whole);
    const int millis = std::min(999, static_cast<int>((seconds - whole) * 1000));
    std::tm utc{};
    ::gmtime_r(&time, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    const std::string digits = std::to_string(1000 + millis);
    return std::string(text, n) + "." + digits.substr(1) + "Z";
}

}  // namespace

// ---- standard error ----

void JsonChatDisplay::banner(const ChatBanner& banner) {
    terminal_.banner(banner);
}

void JsonChatDisplay::startupError(std::string_view message) {
    terminal_.startupError(message);
    notifyError(fatalError, message);
}

void JsonChatDisplay::status(std::string_view text) { terminal_.status(text); }

// The answer to "quit" lists the lines left unconfirmed instead.
void JsonChatDisplay::quoted(std::string_view) {}

void JsonChatDisplay::peerEvent(std::string_view text) { terminal_.peerEvent(text); }
void JsonChatDisplay::error(std::string_view text) { terminal_.error(text); }
void JsonChatDisplay::connected() { terminal_.connected(); }

// ---- standard output ----

void JsonChatDisplay::observe(const Action& action, Phase) {
    if (const auto* taken = std::get_if<LineTaken>(&action)) {
        if (pending_ && !pending_->answered) {
            pending_->answered = true;
            const std::string number = taken->number ? std::to_string(*taken->number) : "null";
            if (pending_->id) answer(*pending_->id, R"({"number":)" + number + "}");
        }
    } else if (const auto* unconfirmed = std::get_if<UnconfirmedAtExit>(&action)) {
        if (pendingQuit_) answer(*std::exchange(pendingQuit_, std::nullopt),
                                 R"({"unconfirmed":)" + jsonrpc::numberList(unconfirmed->numbers) + "}");
    } else if (const auto* confirmed = std::get_if<Confirmed>(&action)) {
        emit(jsonrpc::notification("confirmed", R"({"numbers":)" + jsonrpc::numberList(confirmed->numbers) + "}"));
    }
}

void JsonChatDisplay::show(const Output& output) {
    std::visit(
        [this](const auto& o) {
            using O = std::decay_t<decltype(o)>;
            if constexpr (std::is_same_v<O, PhaseChanged>) {
                // A state is told when it changes: a fresh session says "waiting for peer..."
                // again while the chat is waiting.
                if (o.phase == lastState_) return;
                lastState_ = o.phase;
                if (const auto name = stateName(o.phase)) {
                    emit(jsonrpc::notification("state", R"({"state":")" + std::string(*name) + "\"}"));
                }
            } else if constexpr (std::is_same_v<O, LineReceived>) {
                SecureText params(R"({"text":)");
                jsonrpc::appendString(params, o.line.view());
                params += R"(,"time":")";
                params += utcTime(clock_.wallSeconds());
                params += "\"}";
                emit(jsonrpc::notification("message", params.view()));
            } else if constexpr (std::is_same_v<O, ErrorLine>) {
                if (o.what == ErrorLine::What::decrypt) {
                    chatErrorLine(words(o));
                } else {
                    notifyError(recoveredError, words(o));
                }
            } else if constexpr (std::is_same_v<O, Recovering>) {
                if (o.why == Recovering::Why::sessionExpired) chatErrorLine(words(o));
            } else if constexpr (std::is_same_v<O, FatalError>) {
                notifyError(fatalError, words(o));
            } else if constexpr (std::is_same_v<O, LineRefused> || std::is_same_v<O, LineNotSent> ||
                                 std::is_same_v<O, HelloRefused>) {
                chatErrorLine(words(o));
            } else if constexpr (std::is_same_v<O, UnconfirmedLines>) {
                if (!o.lines.empty()) chatErrorLine(unconfirmedHeading(o.lines.size()));
            }
        },
        output);
    ChatDisplay::show(output);
}

void JsonChatDisplay::chatErrorLine(std::string_view message) {
    if (pending_ && !pending_->answered) {
        // The line just sent was refused.
        pending_->answered = true;
        if (pending_->id) {
            answerError(*pending_->id, jsonrpc::lineRefused, message);
            return;
        }
    }
    notifyError(chatError, message);
}

void JsonChatDisplay::notifyError(int code, std::string_view message) {
    SecureText params(R"({"code":)");
    params += std::to_string(code);
    params += R"(,"message":)";
    jsonrpc::appendString(params, message);
    params += "}";
    emit(jsonrpc::notification("error", params.view()));
}

// ---- answers ----

void JsonChatDisplay::beginSend(std::optional<std::string> id) { pending_ = PendingSend{std::move(id), false}; }

void JsonChatDisplay::endSend() {
    // Taken by nothing and refused by nothing: a client of the base protocol alone drops a
    // line typed before the session is up.
    if (pending_ && !pending_->answered && pending_->id) answer(*pending_->id, R"({"number":null})");
    pending_.reset();
}

void JsonChatDisplay::beginQuit(std::optional<std::string> id) { pendingQuit_ = std::move(id); }

void JsonChatDisplay::endQuit() {
    // A chat already over quits with nothing to say of its lines.
    if (pendingQuit_) answer(*std::exchange(pendingQuit_, std::nullopt), R"({"unconfirmed":[]})");
}

void JsonChatDisplay::answer(std::string_view id, std::string_view resultJson) { emit(jsonrpc::result(id, resultJson)); }

void JsonChatDisplay::answerError(std::string_view id, int code, std::string_view message) {
    emit(jsonrpc::error(id, code, message));
}

}  // namespace duoquill::cli
