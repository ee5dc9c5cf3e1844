#include "Duoquill/Keys/Hardware/Pkcs11KeyStore.h"

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <mutex>
#include <vector>

#include "Duoquill/Keys/IdentityKeyBlob.h"
#include "Duoquill/Keys/KeyStoreUnavailable.h"
#include "Duoquill/Keys/Hardware/PinFile.h"
#include "Duoquill/Keys/Hardware/Pkcs11Uri.h"
#include "Duoquill/Primitives/Random.h"

namespace duoquill {
namespace {

constexpr const char* storeName = "the token module";
// DER of the P-256 curve's object identifier, as CKA_EC_PARAMS takes it.
constexpr std::array<std::uint8_t, 10> p256Parameters = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
constexpr std::size_t keyIdSize = 16;
const std::string keyLabel = "duoquill identity";

std::string describe(CK_RV rv) {
    switch (rv) {
    case CKR_PIN_INCORRECT:
        return "wrong PIN";
    case CKR_PIN_LOCKED:
        return "the PIN is locked";
    case CKR_PIN_LEN_RANGE:
        return "the PIN has the wrong length";
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
        return "the token is not plugged in";
    case CKR_DEVICE_ERROR:
        return "the token failed";
    case CKR_MECHANISM_INVALID:
        return "the token does not offer this mechanism";
    case CKR_TOKEN_WRITE_PROTECTED:
        return "the token is write-protected";
    case CKR_DEVICE_MEMORY:
        return "the token is full";
    default:
        break;
    }
    char code[32];
    std::snprintf(code, sizeof code, "PKCS#11 error 0x%lx", static_cast<unsigned long>(rv));
    return code;
}

// A fixed-width, blank-padded field of the token's information, without the padding.
template <std::size_t N>
std::string trimmed(const unsigned char (&field)[N]) {
    std::string text(reinterpret_cast<const char*>(field), N);
    const auto end = text.find_last_not_of(" \0", std::string::npos, 2);
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

void putField(SecureBytes& out, BytesView field) {
    out.push_back(static_cast<std::uint8_t>(field.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(field.size()));
    out.insert(out.end(), field.begin(), field.end());
}

BytesView takeField(BytesView& in) {
    if (in.size() < 2) throw CryptoError("the token key's blob is damaged");
    const std::size_t size = (std::size_t{in[0]} << 8) | in[1];
    if (in.size() < 2 + size) throw CryptoError("the token key's blob is damaged");
    const BytesView field = in.subspan(2, size);
    in = in.subspan(2 + size);
    return field;
}

std::string text(BytesView bytes) { return {bytes.begin(), bytes.end()}; }

// The point of CKA_EC_POINT: a DER octet string by the standard, the bare point on some tokens.
p256::PublicKey pointOf(BytesView value) {
    if (value.size() == p256::x963Size + 2 && value[0] == 0x04 && value[1] == p256::x963Size) value = value.subspan(2);
    return p256::PublicKey::fromX963(value);
}

// The module, loaded by path and initialised for this process.
class Module {
public:
    explicit Module(const std::string& path) : path_(path) {
        handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            const char* why = ::dlerror();
            throw KeyStoreUnavailable(storeName, path, why != nullptr ? why : "it cannot be loaded");
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle_, "C_GetFunctionList"));
        if (getList == nullptr || getList(&functions_) != CKR_OK || functions_ == nullptr) {
            ::dlclose(handle_);
            throw KeyStoreUnavailable(storeName, path, "it is not a PKCS#11 module");
        }
        CK_C_INITIALIZE_ARGS arguments{};
        arguments.flags = CKF_OS_LOCKING_OK;
        const CK_RV rv = functions_->C_Initialize(&arguments);
        if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            ::dlclose(handle_);
            throw KeyStoreUnavailable(storeName, path, "it did not start: " + describe(rv));
        }
        finalize_ = rv == CKR_OK;
    }
    ~Module() {
        if (finalize_) functions_->C_Finalize(nullptr);
        ::dlclose(handle_);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    CK_FUNCTION_LIST* operator->() const noexcept { return functions_; }
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    bool finalize_ = false;
};

SecureBytes noPinSource(const std::string&) { throw Pkcs11KeyStore::NoPinSource(); }

std::mutex pinSourceMutex;
Pkcs11KeyStore::PinSource& pinSource() {
    static Pkcs11KeyStore::PinSource source = noPinSource;
    return source;
}

}  // namespace

// One token: a session on it, logged in when the token asks for it. The session carries one
// call at a time.
struct Pkcs11KeyStore::Token {
    std::shared_ptr<Module> module;
    CK_SLOT_ID slot = 0;
    std::string label;
    std::string serial;
    std::string pinFile;  // where the PIN came from, when not asked for
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    std::mutex mutex;

    ~Token() {
        if (session != CK_INVALID_HANDLE) (*module)->C_CloseSession(session);
    }

    [[noreturn]] void fail(const std::string& what, CK_RV rv) const {
        throw CryptoError("token " + label + " (" + module->path() + "): " + what + ": " + describe(rv));
    }

    void openSession(bool loginRequired) {
        const CK_RV rv = (*module)->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
        if (rv != CKR_OK) fail("no session", rv);
        if (!loginRequired) return;
        SecureBytes pin;
        if (!pinFile.empty()) {
            pin = PinFile::read(pinFile);
        } else {
            const std::lock_guard lock(pinSourceMutex);
            pin = pinSource()(label);
        }
        const CK_RV login = (*module)->C_Login(session, CKU_USER, pin.data(), pin.size());
        secureWipe(pin.data(), pin.size());
        if (login != CKR_OK && login != CKR_USER_ALREADY_LOGGED_IN) fail("cannot log in", login);
    }

    std::vector<std::uint8_t> attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
        CK_ATTRIBUTE query{type, nullptr, 0};
        CK_RV rv = (*module)->C_GetAttributeValue(session, object, &query, 1);
        if (rv != CKR_OK || query.ulValueLen == CK_UNAVAILABLE_INFORMATION) fail("cannot read the key", rv);
        std::vector<std::uint8_t> value(query.ulValueLen);
        query.pValue = value.data();
        rv = (*module)->C_GetAttributeValue(session, object, &query, 1);
        if (rv != CKR_OK) fail("cannot read the key", rv);
        value.resize(query.ulValueLen);
        return value;
    }

    CK_OBJECT_HANDLE find(CK_OBJECT_CLASS objectClass, BytesView id) const {
        CK_ATTRIBUTE match[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                                {CKA_ID, const_cast<std::uint8_t*>(id.data()), id.size()}};
        CK_RV rv = (*module)->C_FindObjectsInit(session, match, 2);
        if (rv != CKR_OK) fail("cannot search the token", rv);
        CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
        CK_ULONG count = 0;
        rv = (*module)->C_FindObjects(session, &found, 1, &count);
        (*module)->C_FindObjectsFinal(session);
        if (rv != CKR_OK) fail("cannot search the token", rv);
        return count == 1 ? found : CK_INVALID_HANDLE;
    }
};

namespace {

class Pkcs11P256Key final : public P256KeyAgreementKey {
public:
    Pkcs11P256Key(std::shared_ptr<Pkcs11KeyStore::Token> token, CK_OBJECT_HANDLE key, p256::PublicKey publicKey,
                  SecureBytes blob)
        : token_(std::move(token)), key_(key), public_(std::move(publicKey)), blob_(std::move(blob)) {}

    p256::PublicKey publicKey() const override { return public_; }
    SecureBytes dataRepresentation() const override { return blob_; }

    SecureBytes sharedSecret(const p256::PublicKey& peer) const override {
        Bytes point = peer.x963();
        CK_ECDH1_DERIVE_PARAMS parameters{CKD_NULL, 0, nullptr, point.size(), point.data()};
        CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &parameters, sizeof parameters};
        CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
        CK_KEY_TYPE secretType = CKK_GENERIC_SECRET;
        CK_ULONG length = p256::sharedSecretSize;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        CK_ATTRIBUTE secretTemplate[] = {{CKA_CLASS, &secretClass, sizeof secretClass},
                                         {CKA_KEY_TYPE, &secretType, sizeof secretType},
                                         {CKA_VALUE_LEN, &length, sizeof length},
                                         {CKA_TOKEN, &no, sizeof no},
                                         {CKA_SENSITIVE, &no, sizeof no},
                                         {CKA_EXTRACTABLE, &yes, sizeof yes}};
        const Module& module = *token_->module;
        const std::lock_guard lock(token_->mutex);
        CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
        const CK_RV rv = module->C_DeriveKey(token_->session, &mechanism, key_, secretTemplate,
                                             sizeof secretTemplate / sizeof secretTemplate[0], &derived);
        if (rv != CKR_OK) token_->fail("ECDH failed", rv);

        // Read once, then the object goes; the value itself is wiped by its owner.
        SecureBytes secret(p256::sharedSecretSize);
        CK_ATTRIBUTE value{CKA_VALUE, secret.data(), secret.size()};
        const CK_RV read = module->C_GetAttributeValue(token_->session, derived, &value, 1);
        module->C_DestroyObject(token_->session, derived);
        if (read != CKR_OK) token_->fail("the shared secret cannot be read", read);
        if (value.ulValueLen != p256::sharedSecretSize) throw CryptoError("token: ECDH gave a secret of the wrong size");
        return secret;
    }

private:
    std::shared_ptr<Pkcs11KeyStore::Token> token_;
    CK_OBJECT_HANDLE key_;
    p256::PublicKey public_;
    SecureBytes blob_;
};

struct BlobContents {
    std::string modulePath;
    std::string pinFile;
    std::string serial;
    Bytes id;
    p256::PublicKey publicKey;
};

BlobContents parse(BytesView blob) {
    BytesView rest = IdentityKeyBlob::payload(blob, IdentityBackend::pkcs11);
    std::string modulePath = text(takeField(rest));
    std::string serial = text(takeField(rest));
    Bytes id = toBytes(takeField(rest));
    return {std::move(modulePath), IdentityKeyBlob::access(blob, IdentityBackend::pkcs11), std::move(serial), std::move(id),
            p256::PublicKey::fromX963(rest)};
}

// Which token to open and how to log in: a keygen's URI, or a blob's token by its serial.
struct TokenSearch {
    std::string modulePath;
    const Pkcs11Uri* uri = nullptr;
    const std::string* serial = nullptr;
    std::string pinFile;
};

// The first initialised token the search matches; with a login when the token wants one.
std::shared_ptr<Pkcs11KeyStore::Token> openToken(const TokenSearch& search) {
    const std::string& modulePath = search.modulePath;
    auto module = std::make_shared<Module>(modulePath);
    if (search.uri != nullptr) {
        CK_INFO info{};
        if ((*module)->C_GetInfo(&info) != CKR_OK || !search.uri->matchesModule(info)) {
            throw KeyStoreUnavailable(storeName, modulePath, "the module is not the one the PKCS#11 URI describes");
        }
    }
    CK_ULONG count = 0;
    CK_RV rv = (*module)->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    if (rv == CKR_OK && count > 0) rv = (*module)->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK) throw KeyStoreUnavailable(storeName, modulePath, "cannot list its tokens: " + describe(rv));
    slots.resize(count);
    if (slots.empty()) throw KeyStoreUnavailable(storeName, modulePath, "no token is plugged in");

    std::vector<std::string> others;
    for (const CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if ((*module)->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
        if (search.uri != nullptr) {
            CK_SLOT_INFO slotInfo{};
            if ((*module)->C_GetSlotInfo(slot, &slotInfo) != CKR_OK || !search.uri->matchesSlot(slot, slotInfo) ||
                !search.uri->matchesToken(info)) {
                continue;
            }
        }
        auto token = std::make_shared<Pkcs11KeyStore::Token>();
        token->module = module;
        token->slot = slot;
        token->label = trimmed(info.label);
        token->serial = trimmed(info.serialNumber);
        token->pinFile = search.pinFile;
        if (search.serial != nullptr && token->serial != *search.serial) {
            others.push_back(token->serial);
            continue;
        }
        if ((info.flags & CKF_TOKEN_INITIALIZED) == 0) {
            if (search.serial != nullptr) throw KeyStoreUnavailable(storeName, modulePath, "the token is not initialised");
            continue;
        }
        token->openSession((info.flags & CKF_LOGIN_REQUIRED) != 0);
        return token;
    }
    if (search.serial == nullptr) {
        throw KeyStoreUnavailable(storeName, modulePath,
                                  search.uri != nullptr ? "no initialised token plugged in matches the PKCS#11 URI"
                                                        : "no initialised token is plugged in");
    }
    std::string found;
    for (const std::string& other : others) found += (found.empty() ? "" : ", ") + other;
    throw KeyStoreUnavailable(storeName, modulePath,
                              "the token with serial " + *search.serial + " is not plugged in (found serial " + found + ")");
}

std::unique_ptr<P256KeyAgreementKey> keyOn(const std::shared_ptr<Pkcs11KeyStore::Token>& token, const BlobContents& contents,
                                           BytesView blob) {
    const std::lock_guard lock(token->mutex);
    const CK_OBJECT_HANDLE key = token->find(CKO_PRIVATE_KEY, contents.id);
    if (key == CK_INVALID_HANDLE) {
        throw CryptoError("token " + token->label + " (" + token->module->path() + "): the key is no longer on the token");
    }
    return std::make_unique<Pkcs11P256Key>(token, key, contents.publicKey, toSecure(blob));
}

}  // namespace

std::unique_ptr<Pkcs11KeyStore> Pkcs11KeyStore::open(const Pkcs11Uri& uri) {
    return std::make_unique<Pkcs11KeyStore>(openToken({uri.modulePath(), &uri, nullptr, uri.pinFile()}));
}

std::unique_ptr<Pkcs11KeyStore> Pkcs11KeyStore::open(const std::string& modulePath) {
    return open(Pkcs11Uri::forModule(modulePath));
}

std::unique_ptr<P256KeyAgreementKey> Pkcs11KeyStore::restore(BytesView blob, const std::string& pinFile) {
    const BlobContents contents = parse(blob);
    const std::string& pins = pinFile.empty() ? contents.pinFile : pinFile;
    return keyOn(openToken({contents.modulePath, nullptr, &contents.serial, pins}), contents, blob);
}

void Pkcs11KeyStore::setPinSource(PinSource source) {
    const std::lock_guard lock(pinSourceMutex);
    pinSource() = source ? std::move(source) : PinSource(noPinSource);
}

const std::string& Pkcs11KeyStore::modulePath() const noexcept { return token_->module->path(); }
const std::string& Pkcs11KeyStore::tokenLabel() const noexcept { return token_->label; }
const std::string& Pkcs11KeyStore::tokenSerial() const noexcept { return token_->serial; }

std::unique_ptr<P256KeyAgreementKey> Pkcs11KeyStore::restoreP256(BytesView dataRepresentation) {
    const BlobContents contents = parse(dataRepresentation);
    if (contents.modulePath != token_->module->path() || contents.serial != token_->serial) {
        throw CryptoError("token " + token_->label + ": the key belongs to the token with serial " + contents.serial);
    }
    return keyOn(token_, contents, dataRepresentation);
}

std::unique_ptr<P256KeyAgreementKey> Pkcs11KeyStore::generateP256() {
    const SecureBytes randomId = random::bytes(keyIdSize);
    Bytes id(randomId.begin(), randomId.end());
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    auto parameters = p256Parameters;
    std::string label = keyLabel;
    CK_ATTRIBUTE publicTemplate[] = {{CKA_TOKEN, &yes, sizeof yes},
                                     {CKA_EC_PARAMS, parameters.data(), parameters.size()},
                                     {CKA_ID, id.data(), id.size()},
                                     {CKA_LABEL, label.data(), label.size()},
                                     {CKA_DERIVE, &yes, sizeof yes}};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_TOKEN, &yes, sizeof yes},
                                      {CKA_PRIVATE, &yes, sizeof yes},
                                      {CKA_SENSITIVE, &yes, sizeof yes},
                                      {CKA_EXTRACTABLE, &no, sizeof no},
                                      {CKA_DERIVE, &yes, sizeof yes},
                                      {CKA_SIGN, &no, sizeof no},
                                      {CKA_ID, id.data(), id.size()},
                                      {CKA_LABEL, label.data(), label.size()}};
    CK_MECHANISM mechanism{CKM_EC_KEY_PAIR_GEN, nullptr, 0};

    p256::PublicKey publicKey = [&] {
        const std::lock_guard lock(token_->mutex);
        CK_OBJECT_HANDLE publicHandle = CK_INVALID_HANDLE, privateHandle = CK_INVALID_HANDLE;
        const CK_RV rv = (*token_->module)->C_GenerateKeyPair(
            token_->session, &mechanism, publicTemplate, sizeof publicTemplate / sizeof publicTemplate[0], privateTemplate,
            sizeof privateTemplate / sizeof privateTemplate[0], &publicHandle, &privateHandle);
        if (rv != CKR_OK) token_->fail("the key could not be made", rv);
        return pointOf(token_->attribute(publicHandle, CKA_EC_POINT));
    }();

    SecureBytes payload;
    putField(payload, asBytes(token_->module->path()));
    putField(payload, asBytes(token_->serial));
    putField(payload, id);
    const Bytes point = publicKey.x963();
    payload.insert(payload.end(), point.begin(), point.end());
    const SecureBytes blob = IdentityKeyBlob::make(IdentityBackend::pkcs11, payload, token_->pinFile);
    return restoreP256(blob);
}

}  // namespace duoquill
