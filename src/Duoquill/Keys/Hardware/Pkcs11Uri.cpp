#include "Duoquill/Keys/Hardware/Pkcs11Uri.h"

#include <p11-kit/uri.h>

#include "Duoquill/Keys/Hardware/PinFile.h"
#include "Duoquill/Base/PlatformError.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace duoquill {
namespace {

// p11-kit keeps any other query attribute as a vendor's, so a misspelt pin-source would
// pass unseen.
void refuseUnknownQueryAttributes(std::string_view text) {
    constexpr std::array<std::string_view, 4> known = {"module-name", "module-path", "pin-source", "pin-value"};
    const std::size_t query = text.find('?');
    if (query == std::string_view::npos) return;
    for (std::size_t start = query + 1; start <= text.size();) {
        const std::size_t end = std::min(text.find('&', start), text.size());
        const std::string_view name = text.substr(start, std::min(text.find('=', start), end) - start);
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            throw CryptoError("the PKCS#11 URI has an attribute this program does not know: \"" + std::string(name) + "\"");
        }
        start = end + 1;
    }
}

}  // namespace

void Pkcs11Uri::Free::operator()(p11_kit_uri* uri) const noexcept { p11_kit_uri_free(uri); }

Pkcs11Uri Pkcs11Uri::parse(const std::string& text) {
    Pkcs11Uri parsed;
    parsed.uri_.reset(p11_kit_uri_new(), Free{});
    P11KitUri* uri = parsed.uri_.get();
    if (const int status = p11_kit_uri_parse(text.c_str(), P11_KIT_URI_FOR_ANY, uri); status != P11_KIT_URI_OK) {
        throw CryptoError("not a PKCS#11 URI (RFC 7512): " + std::string(p11_kit_uri_message(status)));
    }
    refuseUnknownQueryAttributes(text);
    if (p11_kit_uri_any_unrecognized(uri) != 0) {
        throw CryptoError("the PKCS#11 URI has an attribute this program does not know");
    }
    if (p11_kit_uri_get_pin_value(uri) != nullptr) {
        throw CryptoError("the PKCS#11 URI holds the PIN itself (pin-value), which process lists and logs show; "
                          "put the PIN in a file of its own and name it with pin-source=file:<path>");
    }
    CK_ULONG keyAttributes = 0;
    p11_kit_uri_get_attributes(uri, &keyAttributes);
    if (keyAttributes != 0) {
        throw CryptoError("the PKCS#11 URI names a key (object, id or type); name the token only: the key is made on it");
    }
    if (p11_kit_uri_get_module_name(uri) != nullptr) {
        throw CryptoError("the PKCS#11 URI names its module by name; give its file instead: module-path=<path>");
    }
    if (const char* path = p11_kit_uri_get_module_path(uri)) parsed.modulePath_ = path;
    if (const char* source = p11_kit_uri_get_pin_source(uri)) parsed.pinFile_ = PinFile::pathOfSource(source);
    return parsed;
}

Pkcs11Uri Pkcs11Uri::forModule(const std::string& modulePath) {
    Pkcs11Uri uri;
    uri.uri_.reset(p11_kit_uri_new(), Free{});
    uri.modulePath_ = modulePath;
    return uri;
}

bool Pkcs11Uri::matchesModule(const CK_INFO& info) const { return p11_kit_uri_match_module_info(uri_.get(), &info) != 0; }

bool Pkcs11Uri::matchesSlot(CK_SLOT_ID slot, const CK_SLOT_INFO& info) const {
    const CK_SLOT_ID wanted = p11_kit_uri_get_slot_id(uri_.get());
    return (wanted == static_cast<CK_SLOT_ID>(-1) || wanted == slot) && p11_kit_uri_match_slot_info(uri_.get(), &info) != 0;
}

bool Pkcs11Uri::matchesToken(const CK_TOKEN_INFO& info) const { return p11_kit_uri_match_token_info(uri_.get(), &info) != 0; }

}  // namespace duoquill
