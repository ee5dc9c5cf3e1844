#pragma once
// Identity keys on a PKCS#11 token (a YubiKey's PIV application, a smart card, SoftHSM2),
// through the module's own interface loaded by path. The key is made on the token, sensitive
// and not extractable; ECDH runs there (CKM_ECDH1_DERIVE) and only the shared secret comes
// back. The blob holds the module path, the token's serial and the key's id; never a PIN, but
// the path of the PIN file when the key was made with one.

#include <functional>
#include <memory>
#include <string>

#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Base/PlatformError.h"

namespace duoquill {

class Pkcs11Uri;

class Pkcs11KeyStore final : public P256KeyStore {
public:
    // The first token of the URI's module that its attributes match, logged in with the PIN
    // of its pin-source when it has one. Throws KeyStoreUnavailable naming the module and why.
    static std::unique_ptr<Pkcs11KeyStore> open(const Pkcs11Uri& uri);
    // The first token the module offers, its PIN asked for.
    static std::unique_ptr<Pkcs11KeyStore> open(const std::string& modulePath);
    // The key a blob names, on the token with the blob's serial, with the PIN file
    // `pinFile` names, else the one the blob recorded, else the PIN asked for. Throws
    // CryptoError with the reason (no such module, token missing or with another serial, wrong
    // PIN, PIN file refused, key gone).
    static std::unique_ptr<P256KeyAgreementKey> restore(BytesView blob, const std::string& pinFile = {});

    // Asked once per process for a token that wants a PIN and has no PIN file. The program
    // supplies it (the client asks on its terminal); without one, or when the source has no way
    // to ask, the token cannot be opened: NoPinSource.
    using PinSource = std::function<SecureBytes(const std::string& tokenLabel)>;
    static void setPinSource(PinSource source);

    class NoPinSource : public CryptoError {
    public:
        NoPinSource() : CryptoError("the token needs a PIN and there is no terminal to ask for it on") {}
    };

    const std::string& modulePath() const noexcept;
    const std::string& tokenLabel() const noexcept;
    const std::string& tokenSerial() const noexcept;

    std::unique_ptr<P256KeyAgreementKey> generateP256() override;
    std::unique_ptr<P256KeyAgreementKey> restoreP256(BytesView dataRepresentation) override;

    struct Token;
    explicit Pkcs11KeyStore(std::shared_ptr<Token> token) : token_(std::move(token)) {}

private:
    std::shared_ptr<Token> token_;
};

}  // namespace duoquill
