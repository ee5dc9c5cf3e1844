// The software post-quantum keys of SoftwareKeyStore.

#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Primitives/PQ/MLDSA87.h"
#include "Duoquill/Primitives/PQ/MLKEM1024.h"

namespace duoquill {
namespace {

class SoftwareMLKEM1024Key final : public MLKEM1024Key {
public:
    explicit SoftwareMLKEM1024Key(mlkem1024::KeyPair pair) : pair_(std::move(pair)) {}
    const Bytes& publicKey() const override { return pair_.encapsulationKey; }
    SecureBytes decapsulate(BytesView ciphertext) const override {
        return mlkem1024::decapsulate(pair_.decapsulationKey, ciphertext);
    }

private:
    mlkem1024::KeyPair pair_;
};

class SoftwareMLDSA87Key final : public MLDSA87Key {
public:
    explicit SoftwareMLDSA87Key(mldsa87::KeyPair pair) : pair_(std::move(pair)) {}
    const Bytes& publicKey() const override { return pair_.publicKey; }

private:
    mldsa87::KeyPair pair_;
};

}  // namespace

std::unique_ptr<MLKEM1024Key> SoftwareKeyStore::generateMLKEM1024() {
    return std::make_unique<SoftwareMLKEM1024Key>(mlkem1024::generate());
}

std::unique_ptr<MLDSA87Key> SoftwareKeyStore::generateMLDSA87() {
    return std::make_unique<SoftwareMLDSA87Key>(mldsa87::generate());
}

std::unique_ptr<MLKEM1024Key> SoftwareKeyStore::mlkemFromSeed(BytesView d, BytesView z) {
    return std::make_unique<SoftwareMLKEM1024Key>(mlkem1024::generateFromSeeds(d, z));
}

std::unique_ptr<MLDSA87Key> SoftwareKeyStore::mldsaFromSeed(BytesView xi) {
    return std::make_unique<SoftwareMLDSA87Key>(mldsa87::generateFromSeed(xi));
}

}  // namespace duoquill
