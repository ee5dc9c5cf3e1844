#pragma once
// A PKCS#11 URI (RFC 7512), parsed by p11-kit, as far as this program takes one: the module
// by its path (module-path), the token, slot and library attributes that pick a token, and a
// PIN file (pin-source=file:...). A URI that names a key, gives the PIN itself (pin-value), or
// has an attribute p11-kit does not know is refused with the reason.

#include <memory>
#include <string>

#include <p11-kit/pkcs11.h>

struct p11_kit_uri;

namespace duoquill {

class Pkcs11Uri {
public:
    // Throws CryptoError with what is wrong.
    static Pkcs11Uri parse(const std::string& text);
    // The URI of a module path alone: every token matches.
    static Pkcs11Uri forModule(const std::string& modulePath);

    // Empty when the URI gives none.
    const std::string& modulePath() const noexcept { return modulePath_; }
    const std::string& pinFile() const noexcept { return pinFile_; }

    bool matchesModule(const CK_INFO& info) const;
    bool matchesSlot(CK_SLOT_ID slot, const CK_SLOT_INFO& info) const;
    bool matchesToken(const CK_TOKEN_INFO& info) const;

private:
    struct Free {
        void operator()(p11_kit_uri* uri) const noexcept;
    };
    std::shared_ptr<p11_kit_uri> uri_;
    std::string modulePath_;
    std::string pinFile_;
};

}  // namespace duoquill
