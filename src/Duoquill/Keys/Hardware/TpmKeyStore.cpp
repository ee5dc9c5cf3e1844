#include "Duoquill/Keys/Hardware/TpmKeyStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/provider.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "Duoquill/Keys/IdentityKeyBlob.h"
#include "Duoquill/Keys/KeyStoreUnavailable.h"
#include "Duoquill/Keys/Hardware/TpmReach.h"
#include "Duoquill/Primitives/OpenSslHandles.h"
#include "Duoquill/System/SystemWords.h"

namespace duoquill {

namespace {

constexpr const char* defaultDevice = "/dev/tpmrm0";
constexpr const char* tctiVariable = "TPM2OPENSSL_TCTI";
constexpr const char* inTpm = "provider=tpm2";

// The library's reason for the latest failure, with the provider's detail (a TPM response
// code in words); the queue is emptied.
std::string openSslReason() {
    std::string reason;
    const char* data = nullptr;
    int flags = 0;
    while (const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
        const char* text = ERR_reason_error_string(code);
        reason = text != nullptr ? text : "unknown error";
        if (data != nullptr && (flags & ERR_TXT_STRING) != 0 && *data != '\0') reason += std::string(": ") + data;
    }
    return reason.empty() ? "unknown error" : reason;
}

[[noreturn]] void failInTpm(const std::string& what) { throw CryptoError("TPM: " + what + " (" + openSslReason() + ")"); }

// Why the device cannot be opened, as a user can act on it.
std::string deviceProblem(const char* device) {
    const int fd = ::open(device, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    const int error = errno;
    if (error == ENOENT) return "no TPM device";
    if (error == EACCES || error == EPERM) {
        struct stat info {};
        if (::stat(device, &info) == 0) return "not in the group " + TpmReach::groupName(info.st_gid) + " that may open it";
    }
    if (error == EBUSY) return "the device is in use by another program";
    return systemWords(error);
}

// The provider reads its TCTI from the environment when it starts; the variable holds this
// store's setting for that moment only, so a later store does not take it for the user's.
class TctiForProviderStart {
public:
    explicit TctiForProviderStart(const std::string& tcti) : lock_(mutex()) {
        if (const char* given = std::getenv(tctiVariable)) previous_ = given;
        ::setenv(tctiVariable, tcti.c_str(), 1);
    }
    ~TctiForProviderStart() {
        if (previous_) {
            ::setenv(tctiVariable, previous_->c_str(), 1);
        } else {
            ::unsetenv(tctiVariable);
        }
    }
    TctiForProviderStart(const TctiForProviderStart&) = delete;
    TctiForProviderStart& operator=(const TctiForProviderStart&) = delete;

private:
    static std::mutex& mutex() {
        static std::mutex starting;
        return starting;
    }
    std::lock_guard<std::mutex> lock_;
    std::optional<std::string> previous_;
};

using OsslProvider = std::unique_ptr<OSSL_PROVIDER, openssl::Deleter<&OSSL_PROVIDER_unload>>;
using LibraryContext = std::unique_ptr<OSSL_LIB_CTX, openssl::Deleter<&OSSL_LIB_CTX_free>>;

}  // namespace

// The library context with the TPM provider in it, shared by the store and its keys. The
// provider's connection to the TPM carries one command at a time.
struct TpmKeyStore::Provider {
    std::string device;
    // What the blobs of keys made here record: the TCTI when it is not the usual device.
    std::string record;
    LibraryContext library;
    OsslProvider tpm;
    OsslProvider base;  // encodings and the peer's public key
    std::mutex mutex;

    ~Provider() {
        // Keys are gone by now; the TPM provider goes before the context that holds it.
        tpm.reset();
        base.reset();
    }
};

namespace {

class TpmP256Key final : public P256KeyAgreementKey {
public:
    TpmP256Key(std::shared_ptr<TpmKeyStore::Provider> provider, openssl::PKey key, SecureBytes blob)
        : provider_(std::move(provider)), key_(std::move(key)), blob_(std::move(blob)), public_(readPublicKey()) {}

    p256::PublicKey publicKey() const override { return public_; }
    SecureBytes dataRepresentation() const override { return blob_; }

    SecureBytes sharedSecret(const p256::PublicKey& peer) const override {
        evp_pkey_st* peerKey = peer.native();
        const std::lock_guard lock(provider_->mutex);
        const openssl::PKeyContext context(EVP_PKEY_CTX_new_from_pkey(provider_->library.get(), key_.get(), inTpm));
        if (!context || EVP_PKEY_derive_init(context.get()) <= 0 || EVP_PKEY_derive_set_peer(context.get(), peerKey) <= 0) {
            failInTpm("ECDH could not start");
        }
        SecureBytes secret(p256::sharedSecretSize);
        std::size_t length = secret.size();
        if (EVP_PKEY_derive(context.get(), secret.data(), &length) <= 0) failInTpm("ECDH failed");
        if (length != p256::sharedSecretSize) throw CryptoError("TPM: ECDH gave a secret of the wrong size");
        return secret;
    }

private:
    p256::PublicKey readPublicKey() const {
        std::array<std::uint8_t, p256::x963Size + 1> point{};
        std::size_t length = 0;
        if (EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length) <= 0) {
            failInTpm("the key's public point cannot be read");
        }
        return p256::PublicKey::fromX963(BytesView(point.data(), length));
    }

    std::shared_ptr<TpmKeyStore::Provider> provider_;
    openssl::PKey key_;
    SecureBytes blob_;
    p256::PublicKey public_;
};

}  // namespace

std::unique_ptr<TpmKeyStore> TpmKeyStore::open(const std::string& recordedTcti) {
    auto provider = std::make_shared<Provider>();
    const char* given = std::getenv(tctiVariable);
    std::string tcti;
    if (given != nullptr && *given != '\0') {
        tcti = given;
    } else if (!recordedTcti.empty()) {
        tcti = recordedTcti;
    }
    if (!tcti.empty()) {
        provider->device = tcti;
        provider->record = tcti;
    } else {
        provider->device = defaultDevice;
        if (std::string problem = deviceProblem(defaultDevice); !problem.empty()) {
            throw KeyStoreUnavailable("the TPM", provider->device, std::move(problem));
        }
        // Straight to the kernel's resource manager, not whatever the loader tries first.
        tcti = std::string("device:") + defaultDevice;
    }
    // The TPM library logs its failures on standard error; ours are reported as messages.
    ::setenv("TSS2_LOG", "all+NONE", 0);

    provider->library.reset(OSSL_LIB_CTX_new());
    if (!provider->library) throw KeyStoreUnavailable("the TPM", provider->device, "out of memory");
    provider->base.reset(OSSL_PROVIDER_load(provider->library.get(), "default"));
    {
        const TctiForProviderStart setting(tcti);
        provider->tpm.reset(OSSL_PROVIDER_load(provider->library.get(), "tpm2"));
    }
    if (!provider->base || !provider->tpm) {
        std::string reason = openSslReason();  // read either way: it empties the queue
        if (auto problem = TpmReach::problem(tcti)) {
            throw KeyStoreUnavailable::unreachable("the TPM", provider->device, std::move(*problem));
        }
        throw KeyStoreUnavailable("the TPM", provider->device,
                                  "the TPM 2.0 provider of OpenSSL (tpm2-openssl) did not start: " + reason);
    }
    return std::make_unique<TpmKeyStore>(std::move(provider));
}

const std::string& TpmKeyStore::device() const noexcept { return provider_->device; }

std::unique_ptr<P256KeyAgreementKey> TpmKeyStore::generateP256() {
    const std::lock_guard lock(provider_->mutex);
    const openssl::PKeyContext context(EVP_PKEY_CTX_new_from_name(provider_->library.get(), "EC", inTpm));
    EVP_PKEY* made = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) <= 0 || EVP_PKEY_CTX_set_group_name(context.get(), "P-256") <= 0 ||
        EVP_PKEY_generate(context.get(), &made) <= 0) {
        failInTpm("the key could not be made");
    }
    openssl::PKey key(made);

    using Encoder = std::unique_ptr<OSSL_ENCODER_CTX, openssl::Deleter<&OSSL_ENCODER_CTX_free>>;
    const Encoder encoder(OSSL_ENCODER_CTX_new_for_pkey(key.get(), EVP_PKEY_KEYPAIR, "DER", nullptr, inTpm));
    unsigned char* der = nullptr;
    std::size_t length = 0;
    if (!encoder || OSSL_ENCODER_to_data(encoder.get(), &der, &length) <= 0) failInTpm("the wrapped key could not be written");
    SecureBytes blob = IdentityKeyBlob::make(IdentityBackend::tpm, BytesView(der, length), provider_->record);
    OPENSSL_clear_free(der, length);
    return std::make_unique<TpmP256Key>(provider_, std::move(key), std::move(blob));
}

std::unique_ptr<P256KeyAgreementKey> TpmKeyStore::restoreP256(BytesView dataRepresentation) {
    const BytesView der = IdentityKeyBlob::payload(dataRepresentation, IdentityBackend::tpm);
    const std::lock_guard lock(provider_->mutex);
    EVP_PKEY* loaded = nullptr;
    using Decoder = std::unique_ptr<OSSL_DECODER_CTX, openssl::Deleter<&OSSL_DECODER_CTX_free>>;
    const Decoder decoder(OSSL_DECODER_CTX_new_for_pkey(&loaded, "DER", nullptr, "EC", EVP_PKEY_KEYPAIR,
                                                        provider_->library.get(), inTpm));
    const unsigned char* data = der.data();
    std::size_t left = der.size();
    if (!decoder || OSSL_DECODER_from_data(decoder.get(), &data, &left) <= 0 || loaded == nullptr) {
        EVP_PKEY_free(loaded);
        failInTpm("the key blob was refused: it was made by another TPM, or this TPM was cleared since");
    }
    return std::make_unique<TpmP256Key>(provider_, openssl::PKey(loaded), toSecure(dataRepresentation));
}

}  // namespace duoquill
