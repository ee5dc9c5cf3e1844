// ML-KEM-1024: decapsulation of any ciphertext, the encapsulation-key check, decapsulation
// with arbitrary key material that passes the hash check, and the round trip from seeds.
//
// Input: one mode byte, then the bytes that mode reads (see the cases below).

#include "Duoquill/Primitives/PQ/MLKEM1024.h"
#include "Duoquill/Primitives/PQ/Sha3.h"
#include "Duoquill/Base/PlatformError.h"
#include "FuzzTarget.h"

using namespace duoquill;
using duoquill::fuzz::FuzzInput;
using duoquill::fuzz::require;

namespace {

constexpr std::size_t dkPkeSize = 1536;  // the secret vector s, 4 x 384 bytes
constexpr std::size_t seedSize = mlkem1024::seedSize;

enum Mode : std::uint8_t { decapsulateCiphertext, checkEncapsulationKey, decapsulateWithKeyMaterial, seedRoundTrip };

Bytes padded(BytesView bytes, std::size_t size) {
    Bytes out(bytes.begin(), bytes.end());
    out.resize(size);
    return out;
}

const mlkem1024::KeyPair& fixedKeyPair() {
    static const mlkem1024::KeyPair pair = mlkem1024::generateFromSeeds(Bytes(32, 0xd0), Bytes(32, 0x2e));
    return pair;
}

// dk = s || ek || H(ek) || z, which passes the decapsulation key's hash check whatever s and ek are.
SecureBytes decapsulationKey(BytesView s, BytesView ek, BytesView z) {
    const auto hash = sha3::sha3_256(ek);
    return concat<SecureBytes>(s, ek, hash, z);
}

std::vector<Bytes> seeds() {
    const auto& pair = fixedKeyPair();
    const Bytes m(32, 0x4d);
    const auto encapsulation = mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, m);
    const BytesView dk = pair.decapsulationKey;
    Bytes badKey = pair.encapsulationKey;
    badKey[0] = 0xff, badKey[1] = 0x0f;  // first coefficient 4095, above q
    return {
        fuzz::SeedWriter().u8(decapsulateCiphertext).bytes(encapsulation.ciphertext).done(),
        fuzz::SeedWriter().u8(checkEncapsulationKey).bytes(pair.encapsulationKey).bytes(m).done(),
        fuzz::SeedWriter().u8(checkEncapsulationKey).bytes(badKey).bytes(m).done(),
        fuzz::SeedWriter()
            .u8(decapsulateWithKeyMaterial)
            .bytes(dk.first(dkPkeSize))
            .bytes(pair.encapsulationKey)
            .bytes(dk.last(seedSize))
            .bytes(encapsulation.ciphertext)
            .done(),
        fuzz::SeedWriter().u8(seedRoundTrip).bytes(Bytes(96, 0x01)).u16(7).done(),
    };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    switch (in.u8() % 4) {
    case decapsulateCiphertext: {
        const BytesView ciphertext = in.rest();
        try {
            const SecureBytes key = mlkem1024::decapsulate(fixedKeyPair().decapsulationKey, ciphertext);
            require(ciphertext.size() == mlkem1024::ciphertextSize, "only whole ciphertexts decapsulate");
            require(key.size() == 32, "a 32-byte key");
            require(mlkem1024::decapsulate(fixedKeyPair().decapsulationKey, ciphertext) == key,
                    "decapsulation is deterministic");
        } catch (const CryptoError&) {
            require(ciphertext.size() != mlkem1024::ciphertextSize, "a whole ciphertext always decapsulates");
        }
        break;
    }
    case checkEncapsulationKey: {
        const BytesView key = in.take(mlkem1024::encapsulationKeySize);
        const Bytes m = padded(in.take(32), 32);
        const bool valid = mlkem1024::isValidEncapsulationKey(key);
        try {
            const auto encapsulation = mlkem1024::encapsulateWithRandomness(key, m);
            require(valid, "encapsulation only to a valid key");
            require(encapsulation.ciphertext.size() == mlkem1024::ciphertextSize &&
                        encapsulation.sharedSecret.size() == 32,
                    "ciphertext and key sizes");
        } catch (const CryptoError&) {
            require(!valid, "a valid key always takes an encapsulation");
        }
        break;
    }
    case decapsulateWithKeyMaterial: {
        const BytesView s = in.take(dkPkeSize);
        const BytesView ek = in.take(mlkem1024::encapsulationKeySize);
        const BytesView z = in.take(seedSize);
        const Bytes ciphertext = padded(in.rest(), mlkem1024::ciphertextSize);
        if (s.size() != dkPkeSize || ek.size() != mlkem1024::encapsulationKeySize || z.size() != seedSize) break;
        const SecureBytes dk = decapsulationKey(s, ek, z);
        require(mlkem1024::isValidDecapsulationKey(dk), "the hash check passes");
        const SecureBytes key = mlkem1024::decapsulate(dk, ciphertext);
        require(key.size() == 32 && mlkem1024::decapsulate(dk, ciphertext) == key, "deterministic 32-byte key");
        break;
    }
    case seedRoundTrip: {
        const Bytes d = padded(in.take(seedSize), seedSize), z = padded(in.take(seedSize), seedSize);
        const Bytes m = padded(in.take(32), 32);
        const auto pair = mlkem1024::generateFromSeeds(d, z);
        require(mlkem1024::isValidEncapsulationKey(pair.encapsulationKey), "generated keys pass the check");
        require(mlkem1024::isValidDecapsulationKey(pair.decapsulationKey), "generated keys pass the hash check");
        auto encapsulation = mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, m);
        require(mlkem1024::decapsulate(pair.decapsulationKey, encapsulation.ciphertext) == encapsulation.sharedSecret,
                "decapsulation recovers the key");
        const std::size_t bit = in.u16() % (8 * mlkem1024::ciphertextSize);
        encapsulation.ciphertext[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        require(mlkem1024::decapsulate(pair.decapsulationKey, encapsulation.ciphertext) != encapsulation.sharedSecret,
                "an altered ciphertext gives another key");
        break;
    }
    }
    return 0;
}
