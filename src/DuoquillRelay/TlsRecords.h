#pragma once
// TLS 1.3 application records after OpenSSL's handshake. OpenSSL hands over the two traffic
// secrets (through its key log callback) and is freed: an OpenSSL connection keeps more than
// ten kilobytes for as long as it lives, these records keep the secrets, the keys and two
// sequence numbers. Seals and opens records with the negotiated AEAD (AES-GCM or
// ChaCha20-Poly1305, as RFC 8446 section 5.2 frames them), follows the peer's key updates and
// recognises its close_notify. Every secret is wiped when it is replaced or released.

#include <boost/asio/buffer.hpp>

#include <openssl/ssl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace duoquill::relay {

class TlsRecords {
public:
    // What the key log callback of the handshake collects for one connection.
    struct Secrets {
        std::array<std::uint8_t, 48> client{};
        std::array<std::uint8_t, 48> server{};
        std::size_t clientSize = 0;
        std::size_t serverSize = 0;
        Secrets() = default;
        Secrets(const Secrets&) = delete;
        Secrets& operator=(const Secrets&) = delete;
        ~Secrets();
        // Takes one key log line; the application traffic secrets are kept.
        void take(std::string_view line);
    };

    // The records of a finished handshake, or nothing when this connection stays with OpenSSL
    // (TLS 1.2, an unknown suite, secrets missing, or bytes already buffered past the handshake).
    static std::unique_ptr<TlsRecords> takeOver(SSL* ssl, const Secrets& secrets);

    TlsRecords(const TlsRecords&) = delete;
    TlsRecords& operator=(const TlsRecords&) = delete;
    ~TlsRecords();

    // Appends to `out` the records carrying these bytes as application data.
    void sealData(const boost::asio::const_buffer* pieces, std::size_t count, std::string& out);
    // Appends to `out` the close_notify alert.
    void sealCloseNotify(std::string& out);

    enum class Opened { needMore, ok, closed, failed };
    // Opens the whole records at the front of `in` (removing them): application data is
    // appended to `plain`, what must be answered (a key update) to `reply`. Stops at the first
    // record that ends the stream (close_notify: closed) or breaks it (failed).
    Opened open(std::string& in, std::string& plain, std::string& reply);
    // The same for records read into a buffer of the caller's: `consumed` is set to the bytes of
    // the whole records opened.
    Opened open(std::string_view in, std::size_t& consumed, std::string& plain, std::string& reply);

    static constexpr std::size_t kMaxPlainRecord = 16384;

private:
    enum class Suite { aes128Gcm, aes256Gcm, chacha20Poly1305 };

    struct Direction {
        std::array<std::uint8_t, 48> secret{};
        std::array<std::uint8_t, 32> key{};
        std::array<std::uint8_t, 12> iv{};
        std::uint64_t sequence = 0;
        std::uint64_t id = 0;  // names the key in the per-thread cipher contexts
    };

    TlsRecords(Suite suite, std::size_t hashSize) : suite_(suite), hashSize_(hashSize) {}

    // Sets the keys of `direction` from its secret (and, with `next`, first moves the secret on
    // to the next generation, RFC 8446 section 7.2).
    bool rekey(Direction& direction, bool next);
    void seal(std::uint8_t type, const boost::asio::const_buffer* pieces, std::size_t count, std::string& out);
    Opened openOne(const std::uint8_t* record, std::size_t size, std::string& plain, std::string& reply);

    const Suite suite_;
    const std::size_t hashSize_;
    std::size_t keySize_ = 0;
    Direction read_;   // the client's
    Direction write_;  // ours
};

}  // namespace duoquill::relay
