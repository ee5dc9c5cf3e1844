// Identity keys in a TPM (swtpm) and on a PKCS#11 token (SoftHSM2): their ECDH against
// OpenSSL's software ECDH, their blobs refused everywhere but on their own device, the token
// key's attributes, `keygen` choosing the store and saying so, and a chat of each against a
// software identity through the real binaries.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <filesystem>

#include "Duoquill/Platform/KeyStorage/IdentityKeyBlob.h"
#include "Duoquill/Platform/KeyStorage/IdentityKeyStores.h"
#include "Duoquill/Platform/KeyStorage/Keychain.h"
#include "Duoquill/Platform/KeyStorage/Pkcs11KeyStore.h"
#include "Duoquill/Platform/KeyStorage/TpmKeyStore.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Kit/ChatCliProcess.h"
#include "Kit/RelayProcess.h"
#include "Kit/SoftHsmToken.h"
#include "Kit/Swtpm.h"

namespace duoquill::test {
namespace {

// A variable of the test's own process, put back when the object goes.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The hardware key's ECDH, with an ephemeral and with a long-term peer, is the software
// ECDH the peer computes on its side.
void expectSoftwareEcdh(const P256KeyAgreementKey& key) {
    const auto peer = SoftwareKeyStore().generateP256();
    EXPECT_EQ(key.sharedSecret(peer->publicKey()), peer->sharedSecret(key.publicKey()));
    EXPECT_EQ(key.longTermSharedSecret(peer->publicKey()), peer->sharedSecret(key.publicKey()));
}

void expectRefusedBySoftware(const SecureBytes& blob) {
    EXPECT_THROW(p256::PrivateKey::fromBlob(blob), CryptoError);
    EXPECT_THROW(SoftwareKeyStore().restoreP256(blob), CryptoError);
}

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CryptoError& error) {
        return error.what();
    }
    return "(no error)";
}

SecureBytes identityBlob(const ChatUser& user) {
    Keychain keychain(std::filesystem::path(user.home()) / ".local/share/duoquill/keychain.db");
    return keychain.copyData({std::string("com.duoquill.cli.p256"), std::nullopt, std::nullopt}).value.value_or(SecureBytes{});
}

// Alice (hardware) and Bob (software) reach the active session and each reads the other's line.
void expectChat(const ChatUser& alice, const ChatUser& bob) {
    RelayProcess relay;
    ChatCliProcess a(alice, bob.publicKey(), relay.url());
    ChatCliProcess b(bob, alice.publicKey(), relay.url());
    ASSERT_TRUE(a.waitFor(kConnectedLine)) << a.standardError();
    ASSERT_TRUE(b.waitFor(kConnectedLine)) << b.standardError();
    a.type("from the device");
    b.type("from software");
    EXPECT_TRUE(b.waitFor("peer > from the device\n")) << b.standardError();
    EXPECT_TRUE(a.waitFor("peer > from software\n")) << a.standardError();
}

ProcessResult runCli(const std::vector<std::string>& arguments, const std::string& home,
                     std::map<std::string, std::string> environment) {
    ProcessOptions options;
    options.environment = std::move(environment);
    options.environment["HOME"] = home;
    options.unsetEnvironment = {"XDG_DATA_HOME", "DUOQUILL_KEY_LABEL", "TPM2OPENSSL_TCTI"};
    if (options.environment.count("DUOQUILL_KEY_STORE") == 0) options.unsetEnvironment.push_back("DUOQUILL_KEY_STORE");
    return runProcess(cliPath().string(), arguments, options);
}

TEST(TpmIdentity, EcdhIsSoftwareEcdhAndTheBlobServesItsOwnTpmOnly) {
    if (!Swtpm::available()) GTEST_SKIP() << "swtpm or the TPM 2.0 provider is not installed";
    SecureBytes blob;
    p256::PublicKey publicKey = SoftwareKeyStore().generateP256()->publicKey();
    {
        const Swtpm tpm;
        const ScopedVariable tcti("TPM2OPENSSL_TCTI", tpm.tcti());
        {
            const auto key = TpmKeyStore::open()->generateP256();
            expectSoftwareEcdh(*key);
            blob = key->dataRepresentation();
            publicKey = key->publicKey();
        }
        EXPECT_EQ(IdentityKeyBlob::backendOf(blob), IdentityBackend::tpm);
        expectRefusedBySoftware(blob);
        // Re-created from the blob alone, in a store opened anew (the swtpm takes one client).
        const auto restored = IdentityKeyStores::restore(blob);
        EXPECT_EQ(restored->publicKey().x963(), publicKey.x963());
        expectSoftwareEcdh(*restored);
    }
    const Swtpm other;
    const ScopedVariable tcti("TPM2OPENSSL_TCTI", other.tcti());
    EXPECT_NE(errorOf([&] { IdentityKeyStores::restore(blob); }).find("made by another TPM"), std::string::npos);
}

TEST(TpmIdentity, KeygenInTheTpmChatsWithASoftwareIdentity) {
    if (!Swtpm::available()) GTEST_SKIP() << "swtpm or the TPM 2.0 provider is not installed";
    const Swtpm tpm;
    const ChatUser alice("alice", tpm.environment()), bob("bob");
    EXPECT_EQ(alice.keygenMessage(),
              "identity key created in the TPM (" + tpm.tcti() + "); it cannot be copied to another machine\n");
    EXPECT_EQ(IdentityKeyBlob::backendOf(identityBlob(alice)), IdentityBackend::tpm);
    EXPECT_EQ(bob.keygenMessage(), "identity key created in software\n");
    expectChat(alice, bob);

    // Another TPM cannot bring the key back: the chat ends with the reason.
    const Swtpm other;
    const auto r = runCli({"chat", bob.publicKey(), "wss://127.0.0.1:1"}, alice.home(),
                          {{"TPM2OPENSSL_TCTI", other.tcti()}, {"DUOQUILL_KEY_LABEL", alice.label()}});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.standardError.find("Cannot retrieve local private key: TPM: the key blob was refused"), std::string::npos)
        << r.standardError;
}

// Nothing here has a TPM device; a machine that has one skips the default's case.
TEST(IdentityStoreSelection, DefaultAndRequestedStoresAndTheirMessages) {
    const TempDir home;
    const bool noDevice = !std::filesystem::exists("/dev/tpmrm0");
    if (noDevice) {
        const auto fallback = runCli({"keygen"}, home.str(), {});
        EXPECT_EQ(fallback.exitStatus, 0);
        EXPECT_EQ(fallback.standardOutput.size(), 45u);
        EXPECT_EQ(fallback.standardError, "identity key created in software: no usable TPM (/dev/tpmrm0: no TPM device)\n");
        const auto requested = runCli({"keygen"}, home.str(), {{"DUOQUILL_KEY_STORE", "tpm"}});
        EXPECT_EQ(requested.exitStatus, 1);
        EXPECT_EQ(requested.standardOutput, "");
        EXPECT_EQ(requested.standardError, "Error generating key: cannot use the TPM (/dev/tpmrm0): no TPM device\n");
    }
    const auto module = runCli({"keygen"}, home.str(), {{"DUOQUILL_KEY_STORE", "pkcs11:/nonexistent/module.so"}});
    EXPECT_EQ(module.exitStatus, 1);
    EXPECT_EQ(module.standardError.rfind("Error generating key: cannot use the token module (/nonexistent/module.so): ", 0), 0u)
        << module.standardError;
    for (const std::string setting : {"TPM", "pkcs11:", "hsm"}) {
        const auto unknown = runCli({"keygen"}, home.str(), {{"DUOQUILL_KEY_STORE", setting}});
        EXPECT_EQ(unknown.exitStatus, 1);
        EXPECT_EQ(unknown.standardError, "Error generating key: DUOQUILL_KEY_STORE must be tpm, pkcs11:<module path> or "
                                         "software, not \"" + setting + "\"\n");
    }
    // A failed keygen left the first key in place.
    if (noDevice) {
        EXPECT_EQ(runCli({"pubkey"}, home.str(), {}).exitStatus, 0);
    }
}

// What the token says of the key: read through the module, as any other program could.
struct TokenKeyAttributes {
    CK_ULONG privateKeys = 0;
    CK_BBOOL sensitive = CK_FALSE, extractable = CK_TRUE;
    CK_RV valueRead = CKR_OK;
};

TokenKeyAttributes readTokenKey(const std::string& pin) {
    void* module = ::dlopen(SoftHsmToken::modulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) throw std::runtime_error("no module");
    CK_FUNCTION_LIST* p11 = nullptr;
    reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"))(&p11);
    const CK_RV initialised = p11->C_Initialize(nullptr);
    // SoftHSM2 keeps a free slot beside the initialised token.
    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    p11->C_GetSlotList(CK_TRUE, slots, &count);
    CK_SLOT_ID slot = slots[0];
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info{};
        if (p11->C_GetTokenInfo(slots[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED) != 0) slot = slots[i];
    }
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data())), pin.size());
    CK_OBJECT_CLASS privateKey = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE match{CKA_CLASS, &privateKey, sizeof privateKey};
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    TokenKeyAttributes attributes;
    p11->C_FindObjectsInit(session, &match, 1);
    p11->C_FindObjects(session, &key, 1, &attributes.privateKeys);
    p11->C_FindObjectsFinal(session);
    if (attributes.privateKeys == 1) {
        CK_ATTRIBUTE flags[] = {{CKA_SENSITIVE, &attributes.sensitive, sizeof(CK_BBOOL)},
                                {CKA_EXTRACTABLE, &attributes.extractable, sizeof(CK_BBOOL)}};
        p11->C_GetAttributeValue(session, key, flags, 2);
        unsigned char value[64];
        CK_ATTRIBUTE secret{CKA_VALUE, value, sizeof value};
        attributes.valueRead = p11->C_GetAttributeValue(session, key, &secret, 1);
    }
    p11->C_CloseSession(session);
    if (initialised == CKR_OK) p11->C_Finalize(nullptr);
    ::dlclose(module);
    return attributes;
}

TEST(TokenIdentity, KeyStaysOnTheTokenEcdhIsSoftwareEcdhAndTheSerialIsChecked) {
    if (!SoftHsmToken::available()) GTEST_SKIP() << "SoftHSM2 is not installed";
    const SoftHsmToken token("alice", "4321"), another("alice", "4321");
    int asked = 0;
    std::string pin = token.pin();
    Pkcs11KeyStore::setPinSource([&](const std::string& label) {
        EXPECT_EQ(label, "alice");
        ++asked;
        return toSecure(asBytes(pin));
    });
    SecureBytes blob;
    {
        const ScopedVariable configuration("SOFTHSM2_CONF", token.configuration());
        {
            const auto store = Pkcs11KeyStore::open(SoftHsmToken::modulePath());
            const auto key = store->generateP256();
            expectSoftwareEcdh(*key);
            blob = key->dataRepresentation();
            const TokenKeyAttributes attributes = readTokenKey(token.pin());
            ASSERT_EQ(attributes.privateKeys, 1u);
            EXPECT_EQ(attributes.sensitive, CK_TRUE);
            EXPECT_EQ(attributes.extractable, CK_FALSE);
            EXPECT_EQ(attributes.valueRead, CKR_ATTRIBUTE_SENSITIVE);
        }
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(IdentityKeyBlob::backendOf(blob), IdentityBackend::pkcs11);
        expectRefusedBySoftware(blob);
        expectSoftwareEcdh(*IdentityKeyStores::restore(blob));
        pin = "0000";
        EXPECT_NE(errorOf([&] { IdentityKeyStores::restore(blob); }).find("wrong PIN"), std::string::npos);
        pin = token.pin();
    }
    // The same label, another token: its serial gives it away.
    const ScopedVariable configuration("SOFTHSM2_CONF", another.configuration());
    EXPECT_NE(errorOf([&] { IdentityKeyStores::restore(blob); }).find("is not plugged in (found serial"), std::string::npos);
    Pkcs11KeyStore::setPinSource(nullptr);
}

TEST(TokenIdentity, KeygenOnTheTokenChatsWithASoftwareIdentity) {
    if (!SoftHsmToken::available()) GTEST_SKIP() << "SoftHSM2 is not installed";
    const SoftHsmToken token("alice-token", "246810");
    const ChatUser alice("alice", token.environment(), token.pin()), bob("bob");
    EXPECT_EQ(alice.keygenMessage(), "identity key created on the token alice-token (" + SoftHsmToken::modulePath() + ")\n");
    EXPECT_EQ(IdentityKeyBlob::backendOf(identityBlob(alice)), IdentityBackend::pkcs11);
    expectChat(alice, bob);
}

}  // namespace
}  // namespace duoquill::test
