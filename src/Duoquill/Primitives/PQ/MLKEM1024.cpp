#include "Duoquill/Primitives/PQ/MLKEM1024.h"

#include <algorithm>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#endif

#include "Duoquill/Primitives/PQ/MLKEMPolynomial.h"
#include "Duoquill/Primitives/PQ/Sha3.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Primitives/Random.h"

namespace duoquill::mlkem1024 {
namespace {

using mlkem::Poly;

constexpr std::size_t k = 4;
constexpr int du = 11;
constexpr int dv = 5;
constexpr std::size_t vectorSize = k * mlkem::encodedPolySize;                // 1536
constexpr std::size_t uSize = k * mlkem::compressedSize(du);                   // 1408
constexpr std::size_t hashOffset = vectorSize + encapsulationKeySize;          // H(ek) in dk
constexpr std::size_t zOffset = hashOffset + 32;                               // z in dk
static_assert(encapsulationKeySize == vectorSize + 32);
static_assert(decapsulationKeySize == zOffset + 32);
static_assert(ciphertextSize == uSize + mlkem::compressedSize(dv));

using PolyVector = std::array<Poly, k>;
using Matrix = std::array<PolyVector, k>;
using MultiplyCaches = std::array<mlkem::MultiplyCache, k>;

// Marks bytes computed from secrets as public. The constant-time check runs this code under
// valgrind with the secret inputs marked undefined, so that any branch or table index that
// depends on them is reported; values that are public by design (the seed rho of the
// matrix) are declared here so that sampling from them is not reported. Outside valgrind
// this does nothing.
inline void declassify([[maybe_unused]] BytesView bytes) noexcept {
#if __has_include(<valgrind/memcheck.h>)
    VALGRIND_MAKE_MEM_DEFINED(bytes.data(), bytes.size());
#endif
}

// Keeps the optimiser from turning mask arithmetic back into a branch.
inline std::uint8_t valueBarrier(std::uint8_t x) noexcept {
#if defined(__GNUC__)
    __asm__("" : "+r"(x));
#endif
    return x;
}

// 0xFF when the two equal-length ranges differ anywhere, else 0; reads every byte.
std::uint8_t differenceMask(BytesView a, BytesView b) noexcept {
    std::uint8_t acc = 0;
    for (std::size_t i = 0; i < a.size(); ++i) acc |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    const std::uint32_t nonZero = (static_cast<std::uint32_t>(valueBarrier(acc)) + 0xFF) >> 8;
    return static_cast<std::uint8_t>(0u - nonZero);
}

void requireSize(BytesView bytes, std::size_t size, const char* what) {
    if (bytes.size() != size) {
        throw CryptoError(std::string("ML-KEM-1024: ") + what + " must be " + std::to_string(size) +
                          " bytes, got " + std::to_string(bytes.size()));
    }
}

// Â[i][j] = SampleNTT(rho || j || i); the transpose swaps the two indices. The digests are
// computed in the same runs of the four-way permutation (sampleMatrixAndDigests).
void expandMatrix(Matrix& a, BytesView rho, bool transposed, std::span<const mlkem::Digest136> digests = {}) {
    std::array<mlkem::MatrixEntry, k * k> entries;
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            const auto row = static_cast<std::uint8_t>(i), column = static_cast<std::uint8_t>(j);
            entries[k * i + j] = transposed ? mlkem::MatrixEntry{&a[i][j], row, column}
                                            : mlkem::MatrixEntry{&a[i][j], column, row};
        }
    }
    mlkem::sampleMatrixAndDigests(rho, entries, digests);
}

// Four polynomials sampled at once from seed and nonces first, first + 1, ...
void sampleNoiseX4(PolyVector& v, BytesView seed, std::uint8_t first) {
    const auto nonce = [first](int i) { return static_cast<std::uint8_t>(first + i); };
    mlkem::sampleCBD2X4({&v[0], &v[1], &v[2], &v[3]}, seed, {nonce(0), nonce(1), nonce(2), nonce(3)});
}

// K-PKE.KeyGen from the 32-byte seed d: writes ek_pke (1568 bytes) and dk_pke (1536 bytes).
void pkeKeyGen(BytesView d, std::uint8_t* ek, std::uint8_t* dkPke) {
    Wiped<std::array<std::uint8_t, 64>> rhoSigma;
    const std::uint8_t rank = k;
    sha3::Sha3_512().absorb(d).absorb(BytesView(&rank, 1)).squeeze(rhoSigma.value);
    const BytesView rho(rhoSigma.value.data(), 32);
    const BytesView sigma(rhoSigma.value.data() + 32, 32);
    declassify(rho);

    Matrix a;
    expandMatrix(a, rho, false);
    Wiped<PolyVector> s, e;
    sampleNoiseX4(s.value, sigma, 0);
    sampleNoiseX4(e.value, sigma, k);
    Wiped<MultiplyCaches> sCache;
    for (std::size_t i = 0; i < k; ++i) {
        mlkem::ntt(s.value[i]);
        mlkem::computeMultiplyCache(sCache.value[i], s.value[i]);
    }
    for (auto& p : e.value) mlkem::ntt(p);

    Wiped<Poly> t;
    for (std::size_t i = 0; i < k; ++i) {
        mlkem::multiplyAccumulate(t.value, a[i].data(), s.value.data(), sCache.value.data(), k);
        mlkem::toMontgomery(t.value);
        mlkem::add(t.value, e.value[i]);
        mlkem::normalize(t.value);
        mlkem::encode12(t.value, ek + i * mlkem::encodedPolySize);
    }
    std::copy(rho.begin(), rho.end(), ek + vectorSize);
    for (std::size_t i = 0; i < k; ++i) {
        mlkem::normalize(s.value[i]);
        mlkem::encode12(s.value[i], dkPke + i * mlkem::encodedPolySize);
    }
}

// K-PKE.Encrypt(ek_pke, m, r) into c (1568 bytes), given the transpose of Â from the rho of
// ek (expandMatrix). ek must have passed the modulus check.
void pkeEncrypt(BytesView ek, const Matrix& aT, BytesView m, BytesView r, std::uint8_t* c) {
    PolyVector t;
    for (std::size_t i = 0; i < k; ++i) mlkem::decode12(t[i], ek.data() + i * mlkem::encodedPolySize);

    Wiped<PolyVector> y, e1;
    Wiped<Poly> e2, mu, u, v;
    sampleNoiseX4(y.value, r, 0);
    sampleNoiseX4(e1.value, r, k);
    mlkem::sampleCBD2(e2.value, r, 2 * k);
    Wiped<MultiplyCaches> yCache;
    for (std::size_t i = 0; i < k; ++i) {
        mlkem::ntt(y.value[i]);
        mlkem::computeMultiplyCache(yCache.value[i], y.value[i]);
    }

    for (std::size_t i = 0; i < k; ++i) {
        mlkem::multiplyAccumulate(u.value, aT[i].data(), y.value.data(), yCache.value.data(), k);
        mlkem::inverseNtt(u.value);
        mlkem::add(u.value, e1.value[i]);
        mlkem::normalize(u.value);
        mlkem::compressEncode<du>(u.value, c + i * mlkem::compressedSize(du));
    }
    mlkem::multiplyAccumulate(v.value, t.data(), y.value.data(), yCache.value.data(), k);
    mlkem::inverseNtt(v.value);
    mlkem::decodeDecompress<1>(mu.value, m.data());
    mlkem::add(v.value, e2.value);
    mlkem::add(v.value, mu.value);
    mlkem::normalize(v.value);
    mlkem::compressEncode<dv>(v.value, c + uSize);
}

// K-PKE.Decrypt(dk_pke, c) into m (32 bytes).
void pkeDecrypt(BytesView dkPke, BytesView c, std::uint8_t* m) {
    Wiped<PolyVector> s;
    PolyVector u;
    MultiplyCaches uCache;
    Wiped<Poly> v, w;
    for (std::size_t i = 0; i < k; ++i) {
        mlkem::decode12(s.value[i], dkPke.data() + i * mlkem::encodedPolySize);
        mlkem::decodeDecompress<du>(u[i], c.data() + i * mlkem::compressedSize(du));
        mlkem::ntt(u[i]);
        mlkem::computeMultiplyCache(uCache[i], u[i]);
    }
    mlkem::decodeDecompress<dv>(v.value, c.data() + uSize);
    mlkem::multiplyAccumulate(w.value, s.value.data(), u.data(), uCache.data(), k);
    mlkem::inverseNtt(w.value);
    mlkem::subtract(v.value, w.value);
    mlkem::normalize(v.value);
    mlkem::compressEncode<1>(v.value, m);
}

Encapsulation encapsulateChecked(BytesView ek, BytesView m) {
    // H(ek) beside the sampling of the matrix.
    std::array<std::uint8_t, 32> ekHash;
    Matrix aT;
    const mlkem::Digest136 hash{{ek, {}}, mlkem::sha3Suffix, ekHash.data()};
    expandMatrix(aT, ek.subspan(vectorSize, 32), true, {&hash, 1});
    Wiped<std::array<std::uint8_t, 64>> kr;   // K || r
    sha3::Sha3_512().absorb(m).absorb(ekHash).squeeze(kr.value);

    Encapsulation out;
    out.ciphertext.resize(ciphertextSize);
    pkeEncrypt(ek, aT, m, BytesView(kr.value.data() + 32, 32), out.ciphertext.data());
    out.sharedSecret.assign(kr.value.begin(), kr.value.begin() + 32);
    return out;
}

void requireValidEncapsulationKey(BytesView ek) {
    requireSize(ek, encapsulationKeySize, "encapsulation key");
    if (!isValidEncapsulationKey(ek)) {
        throw CryptoError("ML-KEM-1024: encapsulation key has a coefficient not below q");
    }
}

}  // namespace

bool isValidEncapsulationKey(BytesView ek) {
    if (ek.size() != encapsulationKeySize) return false;
    bool canonical = true;
    for (std::size_t i = 0; i < k; ++i) {
        canonical &= mlkem::isCanonical12(ek.data() + i * mlkem::encodedPolySize);
    }
    return canonical;
}

bool isValidDecapsulationKey(BytesView dk) {
    if (dk.size() != decapsulationKeySize) return false;
    const auto hash = sha3::sha3_256(dk.subspan(vectorSize, encapsulationKeySize));
    return differenceMask(hash, dk.subspan(hashOffset, 32)) == 0;
}

KeyPair generateFromSeeds(BytesView d, BytesView z) {
    requireSize(d, seedSize, "seed d");
    requireSize(z, seedSize, "seed z");
    KeyPair pair;
    pair.encapsulationKey.resize(encapsulationKeySize);
    pair.decapsulationKey.resize(decapsulationKeySize);
    std::uint8_t* dk = pair.decapsulationKey.data();
    pkeKeyGen(d, pair.encapsulationKey.data(), dk);
    std::copy(pair.encapsulationKey.begin(), pair.encapsulationKey.end(), dk + vectorSize);
    const auto ekHash = sha3::sha3_256(pair.encapsulationKey);
    std::copy(ekHash.begin(), ekHash.end(), dk + hashOffset);
    std::copy(z.begin(), z.end(), dk + zOffset);
    return pair;
}

KeyPair generate() {
    const SecureBytes seeds = random::bytes(2 * seedSize);
    const BytesView view(seeds);
    return generateFromSeeds(view.first(seedSize), view.subspan(seedSize));
}

Encapsulation encapsulate(BytesView encapsulationKey) {
    requireValidEncapsulationKey(encapsulationKey);
    const SecureBytes m = random::bytes(32);
    return encapsulateChecked(encapsulationKey, m);
}

Encapsulation encapsulateWithRandomness(BytesView encapsulationKey, BytesView m) {
    requireValidEncapsulationKey(encapsulationKey);
    requireSize(m, 32, "encapsulation randomness m");
    return encapsulateChecked(encapsulationKey, m);
}

SecureBytes decapsulate(BytesView dk, BytesView c) {
    requireSize(c, ciphertextSize, "ciphertext");
    requireSize(dk, decapsulationKeySize, "decapsulation key");
    const BytesView dkPke = dk.first(vectorSize);
    const BytesView ek = dk.subspan(vectorSize, encapsulationKeySize);
    const BytesView h = dk.subspan(hashOffset, 32);
    const BytesView z = dk.subspan(zOffset, 32);

    Wiped<std::array<std::uint8_t, 32>> mPrime;
    pkeDecrypt(dkPke, c, mPrime.value.data());
    Wiped<std::array<std::uint8_t, 64>> kr;   // K' || r'
    sha3::Sha3_512().absorb(mPrime.value).absorb(h).squeeze(kr.value);

    // The hash check H(ek) == h of the key and the rejection key K̄ = J(z || c), beside the
    // sampling of the matrix for the re-encryption.
    std::array<std::uint8_t, 32> ekHash;
    Wiped<std::array<std::uint8_t, 32>> rejectionKey;
    const std::array<mlkem::Digest136, 2> digests = {
        mlkem::Digest136{{ek, {}}, mlkem::sha3Suffix, ekHash.data()},
        mlkem::Digest136{{z, c}, mlkem::shakeSuffix, rejectionKey.value.data()},
    };
    Matrix aT;
    expandMatrix(aT, ek.subspan(vectorSize, 32), true, digests);
    if (differenceMask(ekHash, h) != 0) {
        throw CryptoError("ML-KEM-1024: decapsulation key fails its hash check");
    }

    Wiped<std::array<std::uint8_t, ciphertextSize>> cPrime;
    pkeEncrypt(ek, aT, mPrime.value, BytesView(kr.value.data() + 32, 32), cPrime.value.data());

    // K' when c' == c, else K̄; chosen by mask so that the time does not tell which.
    const std::uint8_t reject = differenceMask(c, cPrime.value);
    SecureBytes key(sharedSecretSize);
    for (std::size_t i = 0; i < sharedSecretSize; ++i) {
        key[i] = static_cast<std::uint8_t>(kr.value[i] ^ (reject & (kr.value[i] ^ rejectionKey.value[i])));
    }
    return key;
}

}  // namespace duoquill::mlkem1024
