#include "DuoquillRelay/OpenSslErrors.h"

#include <boost/asio/ssl/error.hpp>

#include <openssl/err.h>

#include <array>

namespace duoquill::relay {

std::string openSslErrorText(unsigned long code) {
    if (ERR_SYSTEM_ERROR(code)) return boost::system::system_category().message(ERR_GET_REASON(code));
    if (const char* reason = ERR_reason_error_string(code)) return reason;
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    return text.data();
}

std::string takeOpenSslError(const std::string& fallback) {
    const char* data = nullptr;
    int flags = 0;
    const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags);
    std::string text = code != 0 ? openSslErrorText(code) : fallback;
    // What the library adds says which input it could not use ("Input type: PEM").
    if (code != 0 && data != nullptr && (flags & ERR_TXT_STRING) != 0 && *data != '\0') text += std::string(" (") + data + ")";
    ERR_clear_error();
    return text;
}

boost::system::error_code openSslErrorCode(unsigned long code) {
    if (ERR_SYSTEM_ERROR(code)) return {ERR_GET_REASON(code), boost::system::system_category()};
    // Without the system flag a code fits an int, as Asio's category reads it.
    return {static_cast<int>(code & 0x7FFFFFFFUL), boost::asio::error::get_ssl_category()};
}

}  // namespace duoquill::relay
