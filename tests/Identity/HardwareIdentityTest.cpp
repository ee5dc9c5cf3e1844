// Identity keys in a TPM (swtpm) and on a PKCS#11 token (SoftHSM2): their ECDH against
// OpenSSL's software ECDH, their blobs refused everywhere but on their own device, the token
// key's attributes, `keygen` choosing the store and saying so, a chat of each against a
// software identity through the real binaries with no setting but what keygen recorded, and
// a token's PIN from a file where there is no terminal.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Keys/IdentityKeyBlob.h"
#include "Duoquill/Identity/IdentityKeyStores.h"
#include "Duoquill/Identity/Keychain.h"
#include "Duoquill/Keys/Hardware/PinFile.h"
#include "Duoquill/Keys/Hardware/Pkcs11KeyStore.h"
#include "Duoquill/Base/PlatformError.h"
#include "Kit/ChatCliProcess.h"
#include "Kit/HardwareKeyStores.h"
#include "Kit/RelayProcess.h"

namespace duoquill::test {
namespace {

using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

TEST(IdentityKeyBlob, OnlyARecordMakesVersionThreeAndLengthsThatDoNotAddUpAreNoBlob) {
    const Bytes der = {0x30, 0x01, 0x00};
    const SecureBytes plain = IdentityKeyBlob::make(IdentityBackend::tpm, der);
    EXPECT_EQ(plain, toSecure(Bytes{'D', 'Q', 'K', 0x02, 'T', 0x30, 0x01, 0x00}));
    EXPECT_EQ(IdentityKeyBlob::access(plain, IdentityBackend::tpm), "");

    const SecureBytes recorded = IdentityKeyBlob::make(IdentityBackend::pkcs11, der, "/p");
    EXPECT_EQ(recorded, toSecure(Bytes{'D', 'Q', 'K', 0x03, 'P', 0x00, 0x02, '/', 'p', 0x30, 0x01, 0x00}));
    EXPECT_EQ(IdentityKeyBlob::backendOf(recorded), IdentityBackend::pkcs11);
    EXPECT_EQ(toBytes(IdentityKeyBlob::payload(recorded, IdentityBackend::pkcs11)), der);
    EXPECT_EQ(IdentityKeyBlob::access(recorded, IdentityBackend::pkcs11), "/p");
    EXPECT_THROW(IdentityKeyBlob::access(recorded, IdentityBackend::tpm), CryptoError);

    // A record of no length, one that runs into or past the end, and one longer than allowed.
    for (const Bytes& damaged : {Bytes{'D', 'Q', 'K', 0x03, 'T', 0x00, 0x00, 0x30}, Bytes{'D', 'Q', 'K', 0x03, 'T', 0x00, 0x01, 0x30},
                                 Bytes{'D', 'Q', 'K', 0x03, 'T', 0xff, 0xff, 0x30}, Bytes{'D', 'Q', 'K', 0x03, 'T', 0x00}}) {
        EXPECT_EQ(IdentityKeyBlob::backendOf(damaged), std::nullopt);
        EXPECT_THROW(IdentityKeyBlob::payload(damaged, IdentityBackend::tpm), CryptoError);
    }
    EXPECT_THROW(IdentityKeyBlob::make(IdentityBackend::tpm, der, std::string(IdentityKeyBlob::maxAccessSize + 1, 'x')),
                 CryptoError);
}

// A file in `folder` only its owner may read.
std::string writePinFile(const TempDir& folder, const std::string& name, const std::string& content) {
    const std::string path = (folder.path() / name).string();
    std::ofstream(path, std::ios::trunc) << content;
    ::chmod(path.c_str(), 0600);
    return path;
}

TEST(PinFile, APinSourceIsAFileUriAndTheFileHoldsThePinAlone) {
    EXPECT_EQ(PinFile::pathOfSource("file:/home/u/.pin"), "/home/u/.pin");
    EXPECT_EQ(PinFile::pathOfSource("file:///home/u/token%20pin"), "/home/u/token pin");
    EXPECT_EQ(PinFile::pathOfSource("file://localhost/p"), "/p");
    for (const char* refused : {"/home/u/.pin", "file:pin", "file://host/p", "|/bin/cat", "https://example.org/pin",
                                "file:/p%2", "file:/p%00q", "file:/p?x"}) {
        EXPECT_THROW(PinFile::pathOfSource(refused), CryptoError) << refused;
    }

    const TempDir folder;
    auto file = [&, files = 0](const std::string& content) mutable {  // a file of its own for each content
        return writePinFile(folder, "pin" + std::to_string(++files), content);
    };
    for (const char* content : {"1234\r\n", "1234"}) EXPECT_EQ(PinFile::read(file(content)), toSecure(asBytes("1234")));
    // Neither a folder nor a FIFO, which must not hold the process waiting for a writer.
    const std::string fifo = (folder.path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& [path, error] : std::vector<std::pair<std::string, std::string>>{
             {file("12\n34\n"), "more than one line"}, {file("\n"), "is empty"}, {file(std::string(300, '1')), "too long"},
             {folder.str(), "is not a regular file"}, {fifo, "is not a regular file"}}) {
        EXPECT_THAT([&] { PinFile::read(path); }, ThrowsMessage<CryptoError>(HasSubstr(error)));
    }
}

// A key restored from `user`'s blob is the key `keygen` printed, and its ECDH, with an
// ephemeral and with a long-term peer, is the software ECDH the peer computes on its side.
void expectRestoredKey(const SecureBytes& blob, const ChatUser& user) {
    const auto key = IdentityKeyStores::restore(blob);
    EXPECT_EQ(base64URLString(key->publicKey().compressed()), user.publicKey());
    const auto peer = SoftwareKeyStore().generateP256();
    EXPECT_EQ(key->sharedSecret(peer->publicKey()), peer->sharedSecret(key->publicKey()));
    EXPECT_EQ(key->longTermSharedSecret(peer->publicKey()), peer->sharedSecret(key->publicKey()));
}

// The identity item of `user`'s keychain, checked to be a blob of `backend` that software refuses.
SecureBytes identityBlob(const ChatUser& user, IdentityBackend backend) {
    Keychain keychain(std::filesystem::path(user.home()) / ".local/share/duoquill/keychain.db");
    const auto item = keychain.copyData({std::string("com.duoquill.cli.p256"), std::nullopt, std::nullopt});
    const SecureBytes blob = item.value.value_or(SecureBytes{});
    EXPECT_EQ(IdentityKeyBlob::backendOf(blob), backend);
    EXPECT_THROW(p256::PrivateKey::fromBlob(blob), CryptoError);
    EXPECT_THROW(SoftwareKeyStore().restoreP256(blob), CryptoError);
    return blob;
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

// A chat of `user` with no terminal at all, as a service's, that ends with its input at once:
// status 0 once the identity key was there to use.
ProcessResult chatWithoutTerminal(const ChatUser& user, const ChatUser& peer, const RelayProcess& relay) {
    auto options = user.processOptions();
    options.ownSession = true;
    return runProcess(cliPath().string(), {"chat", peer.publicKey(), relay.url()}, options);
}

std::string inUri(std::string path) { return path.replace(path.find(' '), 1, "%20"); }

using Environment = std::map<std::string, std::string>;

// A command run in `home` with no variable of the stores but those in `environment`.
ProcessResult run(const TempDir& home, const std::string& command, Environment environment = {}) {
    ProcessOptions options;
    options.environment = std::move(environment);
    options.environment["HOME"] = home.str();
    options.unsetEnvironment = {"XDG_DATA_HOME", "DUOQUILL_KEY_LABEL", "TPM2OPENSSL_TCTI", "DUOQUILL_KEY_STORE"};
    return runProcess(cliPath().string(), {command}, options);
}

TEST(TpmIdentity, KeygenInTheTpmChatsWithASoftwareIdentityAndTheBlobServesThatTpmOnly) {
    if (!Swtpm::available()) GTEST_SKIP() << "swtpm or the TPM 2.0 provider is not installed";
    const Swtpm tpm;
    ChatUser alice("alice", tpm.environment());
    const ChatUser bob("bob");
    EXPECT_EQ(alice.keygenMessage(),
              "identity key created in the TPM (" + tpm.tcti() + "); it cannot be copied to another machine\n");
    const SecureBytes blob = identityBlob(alice, IdentityBackend::tpm);
    // Re-created from the blob alone, in a store opened anew, with no variable naming the TPM:
    // the blob says exactly how it was reached. The swtpm takes one client, so the key goes
    // before the chat's process opens it.
    ASSERT_EQ(std::getenv("TPM2OPENSSL_TCTI"), nullptr);
    expectRestoredKey(blob, alice);
    EXPECT_EQ(std::getenv("TPM2OPENSSL_TCTI"), nullptr);
    alice.setForLaterRuns("TPM2OPENSSL_TCTI", std::nullopt);
    expectChat(alice, bob);

    // A blob of before, which recorded nothing, needs the variable as it always did.
    const SecureBytes old = IdentityKeyBlob::make(IdentityBackend::tpm, IdentityKeyBlob::payload(blob, IdentityBackend::tpm));
    if (!std::filesystem::exists("/dev/tpmrm0")) {
        EXPECT_THAT([&] { IdentityKeyStores::restore(old); },
                    ThrowsMessage<CryptoError>("cannot use the TPM (/dev/tpmrm0): no TPM device"));
    }
    ::setenv("TPM2OPENSSL_TCTI", tpm.tcti().c_str(), 1);
    expectRestoredKey(old, alice);

    // A variable given wins over the record: another TPM cannot bring the key back, and the chat
    // ends with the reason.
    ::unsetenv("TPM2OPENSSL_TCTI");
    const Swtpm other;
    alice.setForLaterRuns("TPM2OPENSSL_TCTI", other.tcti());
    const auto r = alice.run({"chat", bob.publicKey(), "wss://127.0.0.1:1"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_THAT(r.standardError,
                HasSubstr("Cannot retrieve local private key: TPM: the key blob was refused: it was made by "
                          "another TPM"));
}

// Nothing here has a TPM device; a machine that has one skips the default's cases.
TEST(IdentityStoreSelection, DefaultAndRequestedStoresAndTheirMessages) {
    const TempDir home;
    const bool noDevice = !std::filesystem::exists("/dev/tpmrm0");
    const std::string unknown =
        "Error generating key: DUOQUILL_KEY_STORE must be tpm, pkcs11:<module path>, a PKCS#11 URI or software, not ";
    // DUOQUILL_KEY_STORE, and what standard error starts with: status 1 when it is an error, else 0.
    std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
        {"pkcs11:/nonexistent/module.so", "Error generating key: cannot use the token module (/nonexistent/module.so): "},
        {"pkcs11:?pin-source=file:/p", "Error generating key: DUOQUILL_KEY_STORE: the PKCS#11 URI needs the module's file: "
                                       "module-path=<path>\n"},
        {"pkcs11:?module-path=/m.so&pin-value=1", "Error generating key: the PKCS#11 URI holds the PIN itself (pin-value)"},
        {"pkcs11:?module-path=/m.so&pin-sorce=file:/p",
         "Error generating key: the PKCS#11 URI has an attribute this program does not know: \"pin-sorce\"\n"},
        {"TPM", unknown + "\"TPM\"\n"}, {"pkcs11:", unknown + "\"pkcs11:\"\n"}, {"hsm", unknown + "\"hsm\"\n"}};
    if (noDevice) {
        cases.insert(cases.begin(), {{std::nullopt, "identity key created in software: no usable TPM (/dev/tpmrm0: no TPM device)\n"},
                                     {"tpm", "Error generating key: cannot use the TPM (/dev/tpmrm0): no TPM device\n"}});
    }
    for (const auto& [store, error] : cases) {
        SCOPED_TRACE(store.value_or("(unset)"));
        const auto r = run(home, "keygen", store ? Environment{{"DUOQUILL_KEY_STORE", *store}} : Environment{});
        const bool fails = error.starts_with("Error");
        EXPECT_EQ(r.exitStatus, fails ? 1 : 0);
        EXPECT_EQ(r.standardOutput.size(), fails ? 0u : 45u);
        EXPECT_TRUE(r.standardError.starts_with(error) && (!error.ends_with('\n') || r.standardError == error))
            << r.standardError;
    }
    // The failed keygens left the first key in place.
    EXPECT_TRUE(!noDevice || run(home, "pubkey").exitStatus == 0);

    // A TPM named by the provider's variable that does not answer is said to be out of reach,
    // in the system's words.
    const std::string closed = "swtpm:host=127.0.0.1,port=" + std::to_string(freeLoopbackPort());
    for (const auto& [tcti, reason] : std::vector<std::pair<std::string, std::string>>{
             {closed, "connection refused"}, {"device:/nonexistent/tpm0", "no such file or directory"}}) {
        const auto r = run(home, "keygen", {{"DUOQUILL_KEY_STORE", "tpm"}, {"TPM2OPENSSL_TCTI", tcti}});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.standardError, "Error generating key: cannot reach the TPM at " + tcti + ": " + reason + "\n");
    }
}

// What the token says of the key, read through the module as any other program could: it is
// sensitive, not extractable, and its value cannot be read.
void expectKeyLockedInToken(const std::string& pin) {
    void* module = ::dlopen(SoftHsmToken::modulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr);
    CK_FUNCTION_LIST* p11 = nullptr;
    reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"))(&p11);
    const CK_RV initialised = p11->C_Initialize(nullptr);
    // SoftHSM2 keeps a free slot beside the initialised token.
    CK_SLOT_ID slots[4], slot = 0;
    CK_ULONG count = 4;
    p11->C_GetSlotList(CK_TRUE, slots, &count);
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
    CK_ULONG found = 0;
    p11->C_FindObjectsInit(session, &match, 1);
    p11->C_FindObjects(session, &key, 1, &found);
    p11->C_FindObjectsFinal(session);
    EXPECT_EQ(found, 1u);
    CK_BBOOL sensitive = CK_FALSE, extractable = CK_TRUE;
    CK_ATTRIBUTE flags[] = {{CKA_SENSITIVE, &sensitive, sizeof sensitive}, {CKA_EXTRACTABLE, &extractable, sizeof extractable}};
    p11->C_GetAttributeValue(session, key, flags, 2);
    EXPECT_TRUE(sensitive == CK_TRUE && extractable == CK_FALSE);
    unsigned char value[64];
    CK_ATTRIBUTE secret{CKA_VALUE, value, sizeof value};
    EXPECT_EQ(p11->C_GetAttributeValue(session, key, &secret, 1), CKR_ATTRIBUTE_SENSITIVE);
    p11->C_CloseSession(session);
    if (initialised == CKR_OK) p11->C_Finalize(nullptr);
    ::dlclose(module);
}

TEST(TokenIdentity, KeygenOnTheTokenChatsWithASoftwareIdentityTheKeyStaysOnThatTokenAndAPinFileServesWithoutATerminal) {
    if (!SoftHsmToken::available()) GTEST_SKIP() << "SoftHSM2 is not installed";
    const SoftHsmToken token("alice-token", "246810"), another("alice-token", "246810");
    ChatUser alice("alice", token.environment(), token.pin());
    const ChatUser bob("bob");
    EXPECT_EQ(alice.keygenMessage(),
              "identity key created on the token alice-token (" + SoftHsmToken::modulePath() + ")\n");
    const SecureBytes blob = identityBlob(alice, IdentityBackend::pkcs11);
    int asked = 0;
    std::string pin = token.pin();
    Pkcs11KeyStore::setPinSource([&](const std::string& label) {
        EXPECT_EQ(label, "alice-token");
        ++asked;
        return toSecure(asBytes(pin));
    });
    // Every process started later names its own token.
    ::setenv("SOFTHSM2_CONF", token.configuration().c_str(), 1);
    expectKeyLockedInToken(token.pin());
    expectRestoredKey(blob, alice);
    EXPECT_EQ(asked, 1);
    pin = "0000";
    EXPECT_THAT([&] { IdentityKeyStores::restore(blob); }, ThrowsMessage<CryptoError>(HasSubstr("wrong PIN")));
    // The same label, another token: its serial gives it away.
    pin = token.pin();
    ::setenv("SOFTHSM2_CONF", another.configuration().c_str(), 1);
    EXPECT_THAT([&] { IdentityKeyStores::restore(blob); },
                ThrowsMessage<CryptoError>(HasSubstr("is not plugged in (found serial")));
    Pkcs11KeyStore::setPinSource(nullptr);
    expectChat(alice, bob);

    // Where no terminal can be had, the chat says both ways out; a PIN file named when it starts
    // is one of them.
    const RelayProcess relay;
    EXPECT_EQ(chatWithoutTerminal(alice, bob, relay).standardError,
              "[error] Cannot retrieve local private key: the token needs a PIN and there is no terminal to ask for it "
              "on: run it on a terminal, or name a file that holds the PIN: "
              "DUOQUILL_KEY_STORE=\"pkcs11:?pin-source=file:<path>\"\n");
    const TempDir folder;
    const std::string alicePinFile = writePinFile(folder, "alice pin", token.pin() + "\n");  // a name to percent-encode
    alice.setForLaterRuns("DUOQUILL_KEY_STORE", "pkcs11:?pin-source=file://localhost" + inUri(alicePinFile));
    const auto r = chatWithoutTerminal(alice, bob, relay);
    EXPECT_EQ(r.exitStatus, 0) << r.standardError;

    // A PIN file named at keygen serves every run without a terminal, while only its owner may
    // use it. The URI picks the token by its label, and percent-encoding is undone on the way.
    const SoftHsmToken carolToken("carol-token", "97531"), decoy("decoy", "11111");
    const std::string pinFile = writePinFile(folder, "carol pin", carolToken.pin() + "\n");
    ChatUser carol("carol", {{"SOFTHSM2_CONF", carolToken.configuration()},
                             {"DUOQUILL_KEY_STORE", "pkcs11:token=carol-token?module-path=" + SoftHsmToken::modulePath() +
                                                        "&pin-source=file:" + inUri(pinFile)}});
    EXPECT_EQ(carol.keygenMessage(), "identity key created on the token carol-token (" + SoftHsmToken::modulePath() +
                                         "); its PIN is read from " + pinFile + "\n");
    EXPECT_EQ(IdentityKeyBlob::access(identityBlob(carol, IdentityBackend::pkcs11), IdentityBackend::pkcs11), pinFile);
    carol.setForLaterRuns("DUOQUILL_KEY_STORE", std::nullopt);
    const auto carolRun = chatWithoutTerminal(carol, bob, relay);
    EXPECT_EQ(carolRun.exitStatus, 0) << carolRun.standardError;

    // Anyone but its owner with a way into the file, or another owner, and the PIN stays unread.
    const std::string refused = "[error] Cannot retrieve local private key: the PIN file " + pinFile;
    for (const std::string mode : {"640", "604", "620"}) {
        ::chmod(pinFile.c_str(), std::stoi(mode, nullptr, 8));
        const auto open = chatWithoutTerminal(carol, bob, relay);
        EXPECT_EQ(open.exitStatus, 1);
        EXPECT_THAT(open.standardError, HasSubstr(refused + " is open to other users (mode 0" + mode +
                                                  "); make it yours alone: chmod 600 " + pinFile));
        EXPECT_THAT(open.standardError, ::testing::Not(HasSubstr(carolToken.pin())));
    }
    ::chmod(pinFile.c_str(), 0600);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(pinFile.c_str(), 65534, static_cast<gid_t>(-1)), 0);
        EXPECT_EQ(chatWithoutTerminal(carol, bob, relay).standardError,
                  refused + " belongs to another user (uid 65534); it must be yours\n");
    }
}

}  // namespace
}  // namespace duoquill::test
