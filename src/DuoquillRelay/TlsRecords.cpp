#include "DuoquillRelay/TlsRecords.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>
#include <cstring>
#include <stdexcept>

namespace duoquill::relay {
namespace {

constexpr std::size_t kTagBytes = 16;
constexpr std::size_t kHeaderBytes = 5;
constexpr std::size_t kMaxCipherRecord = TlsRecords::kMaxPlainRecord + 256;
constexpr std::uint8_t kApplicationData = 23;
constexpr std::uint8_t kAlert = 21;
constexpr std::uint8_t kHandshake = 22;
constexpr std::uint8_t kKeyUpdate = 24;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes `hex` into `out`; the size, or 0 when it is not hexadecimal or does not fit.
std::size_t decodeHex(std::string_view hex, std::uint8_t* out, std::size_t capacity) {
    if (hex.size() % 2 != 0 || hex.size() / 2 > capacity) return 0;
    for (std::size_t i = 0; i < hex.size() / 2; ++i) {
        const int high = hexValue(hex[2 * i]), low = hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return 0;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return hex.size() / 2;
}

// HKDF-Expand-Label(secret, label, "", size) of RFC 8446 section 7.1.
bool expandLabel(const char* digest, const std::uint8_t* secret, std::size_t secretSize, std::string_view label,
                 std::uint8_t* out, std::size_t size) {
    std::uint8_t info[2 + 1 + 6 + 16 + 1];
    const std::string_view prefix = "tls13 ";
    std::size_t n = 0;
    info[n++] = static_cast<std::uint8_t>(size >> 8);
    info[n++] = static_cast<std::uint8_t>(size);
    info[n++] = static_cast<std::uint8_t>(prefix.size() + label.size());
    std::memcpy(info + n, prefix.data(), prefix.size());
    n += prefix.size();
    std::memcpy(info + n, label.data(), label.size());
    n += label.size();
    info[n++] = 0;  // empty context

    static EVP_KDF* const hkdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_CTX* context = hkdf != nullptr ? EVP_KDF_CTX_new(hkdf) : nullptr;
    if (context == nullptr) return false;
    int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
    const OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digest), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(secret), secretSize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info, n),
        OSSL_PARAM_construct_end(),
    };
    const bool ok = EVP_KDF_derive(context, out, size, parameters) == 1;
    EVP_KDF_CTX_free(context);
    return ok;
}

// Cipher contexts kept per thread and suite, each remembering whose key it holds: a run of
// records under one key then only sets the nonce of each, rather than expanding the key (and
// expanding zeros after it) per record. A key leaves every context holding it when its
// connection releases or replaces it (forget()), on whatever thread that happens: each context
// has its lock, taken by its own thread per record and by forget() when it holds the key.
class AeadSlot {
public:
    explicit AeadSlot(const EVP_CIPHER* cipher) : context_(EVP_CIPHER_CTX_new()) {
        if (context_ == nullptr || EVP_CipherInit_ex2(context_, cipher, nullptr, nullptr, 1, nullptr) != 1) {
            EVP_CIPHER_CTX_free(context_);
            throw std::runtime_error("cannot set up a TLS record cipher");
        }
    }
    ~AeadSlot() { EVP_CIPHER_CTX_free(context_); }  // the providers wipe their key schedules
    AeadSlot(const AeadSlot&) = delete;
    AeadSlot& operator=(const AeadSlot&) = delete;

    std::mutex mutex;
    std::atomic<std::uint64_t> loaded{0};  // the key's id, 0 for none
    std::uint64_t lastUse = 0;
    EVP_CIPHER_CTX* const context_;

    // Under `mutex`.
    void wipe() {
        static constexpr std::uint8_t zeros[32] = {};
        EVP_CipherInit_ex2(context_, nullptr, zeros, zeros, 1, nullptr);
        loaded.store(0, std::memory_order_relaxed);
    }
};

class AeadSlots;

struct SlotRegistry {
    std::mutex mutex;
    std::vector<AeadSlots*> threads;
};

SlotRegistry& registry() {
    static SlotRegistry* const instance = new SlotRegistry;  // used by thread exits after main
    return *instance;
}

constexpr std::size_t kSuites = 3;
// Per suite: a thread serving many connections finds the keys of its current few still there.
constexpr std::size_t kSlotsPerSuite = 4;

class AeadSlots {
public:
    AeadSlots() {
        static const char* const names[kSuites] = {"AES-128-GCM", "AES-256-GCM", "ChaCha20-Poly1305"};
        for (std::size_t suite = 0; suite < kSuites; ++suite) {
            EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, names[suite], nullptr);
            if (cipher == nullptr) throw std::runtime_error(std::string("cannot set up ") + names[suite]);
            try {
                for (auto& slot : slots_[suite]) slot = std::make_unique<AeadSlot>(cipher);
            } catch (...) {
                EVP_CIPHER_free(cipher);
                throw;
            }
            EVP_CIPHER_free(cipher);
        }
        std::lock_guard lock(registry().mutex);
        registry().threads.push_back(this);
    }
    ~AeadSlots() {
        std::lock_guard lock(registry().mutex);
        auto& threads = registry().threads;
        threads.erase(std::find(threads.begin(), threads.end(), this));
    }
    AeadSlots(const AeadSlots&) = delete;
    AeadSlots& operator=(const AeadSlots&) = delete;

    // The slot to use for key `id`, locked; `keyed` tells whether it holds that key already.
    AeadSlot& take(std::size_t suite, std::uint64_t id, bool& keyed) {
        auto& slots = slots_[suite];
        AeadSlot* chosen = nullptr;
        for (auto& slot : slots) {
            if (slot->loaded.load(std::memory_order_relaxed) == id) {
                chosen = slot.get();
                break;
            }
        }
        keyed = chosen != nullptr;
        if (!keyed) {
            chosen = slots[0].get();
            for (auto& slot : slots) {
                if (slot->lastUse < chosen->lastUse) chosen = slot.get();
            }
        }
        chosen->mutex.lock();
        // forget() may have taken the key out between the look and the lock.
        keyed = keyed && chosen->loaded.load(std::memory_order_relaxed) == id;
        chosen->lastUse = ++uses_;
        return *chosen;
    }

    void forget(std::uint64_t id) {
        for (auto& slots : slots_) {
            for (auto& slot : slots) {
                if (slot->loaded.load(std::memory_order_relaxed) != id) continue;
                std::lock_guard lock(slot->mutex);
                if (slot->loaded.load(std::memory_order_relaxed) == id) slot->wipe();
            }
        }
    }

private:
    std::array<std::array<std::unique_ptr<AeadSlot>, kSlotsPerSuite>, kSuites> slots_;
    std::uint64_t uses_ = 0;
};

AeadSlots& threadSlots() {
    thread_local AeadSlots slots;
    return slots;
}

// Takes key `id` out of every thread's contexts.
void forgetKey(std::uint64_t id) {
    if (id == 0) return;
    std::lock_guard lock(registry().mutex);
    for (AeadSlots* slots : registry().threads) slots->forget(id);
}

std::uint64_t newKeyId() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

// One record's use of a context: keyed with `key` unless it holds it already, and given the
// record's nonce. Unlocks the slot however the record ends.
class AeadUse {
public:
    AeadUse(int suite, std::uint64_t id, const std::uint8_t* key, const std::uint8_t* nonce, bool encrypt)
        : slot_(threadSlots().take(static_cast<std::size_t>(suite), id, keyed_)) {
        const bool ok = EVP_CipherInit_ex2(slot_.context_, nullptr, keyed_ ? nullptr : key, nonce, encrypt ? 1 : 0,
                                           nullptr) == 1;
        slot_.loaded.store(ok ? id : 0, std::memory_order_relaxed);
        context_ = ok ? slot_.context_ : nullptr;
    }
    ~AeadUse() {
        // A failed record may leave the context in any state: it starts again from the key.
        if (context_ == nullptr || failed_) slot_.wipe();
        slot_.mutex.unlock();
    }
    AeadUse(const AeadUse&) = delete;
    AeadUse& operator=(const AeadUse&) = delete;

    EVP_CIPHER_CTX* context() const { return context_; }
    void failed() { failed_ = true; }

private:
    bool keyed_ = false;
    AeadSlot& slot_;
    EVP_CIPHER_CTX* context_ = nullptr;
    bool failed_ = false;
};

}  // namespace

TlsRecords::Secrets::~Secrets() {
    OPENSSL_cleanse(client.data(), client.size());
    OPENSSL_cleanse(server.data(), server.size());
}

void TlsRecords::Secrets::take(std::string_view line) {
    const auto firstSpace = line.find(' ');
    const auto secondSpace = firstSpace == std::string_view::npos ? firstSpace : line.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos) return;
    const std::string_view label = line.substr(0, firstSpace);
    const std::string_view hex = line.substr(secondSpace + 1);
    if (label == "CLIENT_TRAFFIC_SECRET_0") clientSize = decodeHex(hex, client.data(), client.size());
    if (label == "SERVER_TRAFFIC_SECRET_0") serverSize = decodeHex(hex, server.data(), server.size());
}

std::unique_ptr<TlsRecords> TlsRecords::takeOver(SSL* ssl, const Secrets& secrets) {
    if (SSL_version(ssl) != TLS1_3_VERSION || SSL_has_pending(ssl) != 0) return nullptr;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (cipher == nullptr) return nullptr;
    Suite suite{};
    std::size_t hashSize = 32;
    switch (SSL_CIPHER_get_id(cipher) & 0xffff) {
        case 0x1301: suite = Suite::aes128Gcm; break;
        case 0x1302: suite = Suite::aes256Gcm; hashSize = 48; break;
        case 0x1303: suite = Suite::chacha20Poly1305; break;
        default: return nullptr;
    }
    if (secrets.clientSize != hashSize || secrets.serverSize != hashSize) return nullptr;
    std::unique_ptr<TlsRecords> records(new TlsRecords(suite, hashSize));
    records->keySize_ = suite == Suite::aes128Gcm ? 16 : 32;
    std::memcpy(records->read_.secret.data(), secrets.client.data(), hashSize);
    std::memcpy(records->write_.secret.data(), secrets.server.data(), hashSize);
    if (!records->rekey(records->read_, false) || !records->rekey(records->write_, false)) return nullptr;
    return records;
}

TlsRecords::~TlsRecords() {
    forgetKey(read_.id);
    forgetKey(write_.id);
    OPENSSL_cleanse(&read_, sizeof read_);
    OPENSSL_cleanse(&write_, sizeof write_);
}

bool TlsRecords::rekey(Direction& direction, bool next) {
    const char* digest = hashSize_ == 48 ? "SHA384" : "SHA256";
    if (next) {
        std::array<std::uint8_t, 48> updated{};
        const bool ok = expandLabel(digest, direction.secret.data(), hashSize_, "traffic upd", updated.data(), hashSize_);
        std::memcpy(direction.secret.data(), updated.data(), hashSize_);
        OPENSSL_cleanse(updated.data(), updated.size());
        if (!ok) return false;
    }
    forgetKey(direction.id);
    direction.id = newKeyId();
    direction.sequence = 0;
    return expandLabel(digest, direction.secret.data(), hashSize_, "key", direction.key.data(), keySize_) &&
           expandLabel(digest, direction.secret.data(), hashSize_, "iv", direction.iv.data(), direction.iv.size());
}

namespace {

std::array<std::uint8_t, 12> nonceOf(const std::array<std::uint8_t, 12>& iv, std::uint64_t sequence) {
    std::array<std::uint8_t, 12> nonce = iv;
    for (int i = 0; i < 8; ++i) nonce[11 - i] ^= static_cast<std::uint8_t>(sequence >> (8 * i));
    return nonce;
}

}  // namespace

void TlsRecords::sealData(const boost::asio::const_buffer* pieces, std::size_t count, std::string& out) {
    seal(kApplicationData, pieces, count, out);
}

void TlsRecords::sealCloseNotify(std::string& out) {
    static constexpr std::uint8_t closeNotify[] = {1, 0};  // warning, close_notify
    const boost::asio::const_buffer piece(closeNotify, sizeof closeNotify);
    seal(kAlert, &piece, 1, out);
}

void TlsRecords::seal(std::uint8_t type, const boost::asio::const_buffer* pieces, std::size_t count, std::string& out) {
    std::size_t remaining = 0;
    for (std::size_t i = 0; i < count; ++i) remaining += pieces[i].size();
    std::size_t piece = 0, offset = 0;
    do {
        const std::size_t chunk = std::min(remaining, kMaxPlainRecord);
        const std::size_t length = chunk + 1 + kTagBytes;
        const std::size_t start = out.size();
        out.resize(start + kHeaderBytes + length);
        auto* record = reinterpret_cast<std::uint8_t*>(out.data() + start);
        record[0] = kApplicationData;
        record[1] = 3;
        record[2] = 3;
        record[3] = static_cast<std::uint8_t>(length >> 8);
        record[4] = static_cast<std::uint8_t>(length);
        // The inner plaintext is gathered where its ciphertext goes and sealed in place: one
        // pass of the cipher per record rather than one per piece.
        std::uint8_t* const plain = record + kHeaderBytes;
        std::uint8_t* to = plain;
        for (std::size_t left = chunk; left > 0;) {
            const std::size_t take = std::min(left, pieces[piece].size() - offset);
            std::memcpy(to, static_cast<const std::uint8_t*>(pieces[piece].data()) + offset, take);
            to += take;
            left -= take;
            offset += take;
            if (offset == pieces[piece].size()) {
                ++piece;
                offset = 0;
            }
        }
        *to++ = type;
        const auto nonce = nonceOf(write_.iv, write_.sequence++);
        AeadUse use(static_cast<int>(suite_), write_.id, write_.key.data(), nonce.data(), true);
        EVP_CIPHER_CTX* context = use.context();
        int n = 0;
        bool ok = context != nullptr && EVP_CipherUpdate(context, nullptr, &n, record, kHeaderBytes) == 1;
        ok = ok && EVP_CipherUpdate(context, plain, &n, plain, static_cast<int>(chunk + 1)) == 1;
        ok = ok && EVP_CipherFinal_ex(context, to, &n) == 1;
        ok = ok && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, kTagBytes, to) == 1;
        if (!ok) {
            use.failed();
            throw std::runtime_error("TLS record sealing failed");
        }
        remaining -= chunk;
    } while (remaining > 0);
}

TlsRecords::Opened TlsRecords::open(std::string& in, std::string& plain, std::string& reply) {
    std::size_t consumed = 0;
    const Opened result = open(std::string_view(in), consumed, plain, reply);
    in.erase(0, consumed);
    if (in.empty()) std::string().swap(in);  // an idle connection keeps no buffer
    return result;
}

TlsRecords::Opened TlsRecords::open(std::string_view in, std::size_t& consumed, std::string& plain, std::string& reply) {
    std::size_t at = 0;
    Opened result = Opened::needMore;
    while (in.size() - at >= kHeaderBytes) {
        const auto* header = reinterpret_cast<const std::uint8_t*>(in.data() + at);
        const std::size_t length = std::size_t{header[3]} << 8 | header[4];
        if (header[0] != kApplicationData || length < kTagBytes + 1 || length > kMaxCipherRecord) {
            result = Opened::failed;
            break;
        }
        if (in.size() - at < kHeaderBytes + length) break;
        result = openOne(header, kHeaderBytes + length, plain, reply);
        at += kHeaderBytes + length;
        if (result == Opened::closed || result == Opened::failed) break;
    }
    consumed = at;
    return result;
}

TlsRecords::Opened TlsRecords::openOne(const std::uint8_t* record, std::size_t size, std::string& plain,
                                       std::string& reply) {
    const std::size_t sealed = size - kHeaderBytes - kTagBytes;
    const std::size_t start = plain.size();
    plain.resize(start + sealed);
    auto* to = reinterpret_cast<std::uint8_t*>(plain.data() + start);
    bool ok = false;
    {
        const auto nonce = nonceOf(read_.iv, read_.sequence);
        AeadUse use(static_cast<int>(suite_), read_.id, read_.key.data(), nonce.data(), false);
        EVP_CIPHER_CTX* context = use.context();
        int n = 0;
        ok = context != nullptr && EVP_CipherUpdate(context, nullptr, &n, record, kHeaderBytes) == 1 &&
             EVP_CipherUpdate(context, to, &n, record + kHeaderBytes, static_cast<int>(sealed)) == 1 &&
             EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, kTagBytes,
                                 const_cast<std::uint8_t*>(record + size - kTagBytes)) == 1 &&
             EVP_CipherFinal_ex(context, to + sealed, &n) == 1;
        if (!ok) use.failed();
    }
    // The inner plaintext: content, its type, then zeros.
    std::size_t end = sealed;
    while (ok && end > 0 && to[end - 1] == 0) --end;
    if (!ok || end == 0) {
        plain.resize(start);
        return Opened::failed;
    }
    ++read_.sequence;
    const std::uint8_t type = to[end - 1];
    const std::size_t content = end - 1;
    if (type == kApplicationData) {
        plain.resize(start + content);
        return Opened::ok;
    }
    std::array<std::uint8_t, 5> message{};
    std::memcpy(message.data(), to, std::min(content, message.size()));
    plain.resize(start);
    if (type == kAlert) return content == 2 && message[1] == 0 ? Opened::closed : Opened::failed;
    // The one handshake message a client sends after the handshake: a key update, alone at the
    // end of its record since the keys change after it.
    if (type != kHandshake || content != 5 || message[0] != kKeyUpdate || message[1] != 0 || message[2] != 0 ||
        message[3] != 1) {
        return Opened::failed;
    }
    const std::uint8_t requested = message[4];
    if (requested > 1 || !rekey(read_, true)) return Opened::failed;
    if (requested == 1) {
        static constexpr std::uint8_t answer[] = {kKeyUpdate, 0, 0, 1, 0};  // update_not_requested
        const boost::asio::const_buffer piece(answer, sizeof answer);
        seal(kHandshake, &piece, 1, reply);
        if (!rekey(write_, true)) return Opened::failed;
    }
    return Opened::ok;
}

}  // namespace duoquill::relay
