// Identity: peer-key validation, room names, and keychain operations on a real file.
// Writes are bound by the file system's sync; run on the disk that holds the user's data.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Identity/Keychain.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "Kit/World.h"

namespace {

using namespace duoquill;

const Bytes roomKeyData(32, 0x5a);

std::string rawKeyText() { return hexString(KeyStore::system().generateP256()->publicKey().raw()); }
std::string compressedKeyText() { return base64URLString(KeyStore::system().generateP256()->publicKey().compressed()); }

void roomCode(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(KeyHelpers::deriveRoomCode(roomKeyData));
}
BENCHMARK(roomCode);

void roomToken(benchmark::State& state) {
    const ManualClock clock(1'728'086'400.0);
    for (auto _ : state) benchmark::DoNotOptimize(KeyHelpers::deriveRoomToken(roomKeyData, clock));
}
BENCHMARK(roomToken);

void isValidCompressedKey(benchmark::State& state) {
    const std::string key = compressedKeyText();
    for (auto _ : state) benchmark::DoNotOptimize(KeyHelpers::isValidPublicKey(key));
}
BENCHMARK(isValidCompressedKey);

// The raw form also runs a throwaway key agreement.
void isValidRawKey(benchmark::State& state) {
    const std::string key = rawKeyText();
    for (auto _ : state) benchmark::DoNotOptimize(KeyHelpers::isValidPublicKey(key));
}
BENCHMARK(isValidRawKey);

void compressRawKey(benchmark::State& state) {
    const std::string key = rawKeyText();
    for (auto _ : state) benchmark::DoNotOptimize(KeyHelpers::compressedP256(key));
}
BENCHMARK(compressRawKey);

// A keychain in a fresh directory, removed afterwards.
class ScratchKeychain {
public:
    ScratchKeychain() {
        std::string pattern = (std::filesystem::temp_directory_path() / "duoquill-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        dir_ = pattern;
    }
    ~ScratchKeychain() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::filesystem::path file() const { return dir_ / "duoquill" / "keychain.db"; }

private:
    std::filesystem::path dir_;
};

KeychainItem identityItem(const std::string& account) {
    KeychainItem item;
    item.service = "com.duoquill.cli.p256";
    item.account = account;
    item.label = "cli";
    item.data = SecureBytes(40, 1);
    return item;
}

KeychainQuery byLabel() {
    KeychainQuery q;
    q.service = "com.duoquill.cli.p256";
    q.label = "cli";
    return q;
}

// What `pubkey` does against the keychain: open the file, find the identity, read the cache.
void keychainOpenAndLookup(benchmark::State& state) {
    ScratchKeychain scratch;
    Keychain(scratch.file()).add(identityItem("A"));
    for (auto _ : state) {
        Keychain keychain(scratch.file());
        const auto found = keychain.copyAttributes(byLabel());
        KeychainQuery q;
        q.service = "com.duoquill.cli.p256";
        q.account = *found.value.account;
        benchmark::DoNotOptimize(keychain.copyData(q));
    }
}
BENCHMARK(keychainOpenAndLookup);

void keychainLookupOnOpenFile(benchmark::State& state) {
    ScratchKeychain scratch;
    Keychain keychain(scratch.file());
    keychain.add(identityItem("A"));
    for (auto _ : state) benchmark::DoNotOptimize(keychain.copyAttributes(byLabel()));
}
BENCHMARK(keychainLookupOnOpenFile);

// Two durable write transactions.
void keychainAddAndRemove(benchmark::State& state) {
    ScratchKeychain scratch;
    Keychain keychain(scratch.file());
    KeychainQuery q;
    q.service = "com.duoquill.cli.p256";
    q.account = "A";
    for (auto _ : state) {
        keychain.add(identityItem("A"));
        keychain.remove(q);
    }
}
BENCHMARK(keychainAddAndRemove)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
