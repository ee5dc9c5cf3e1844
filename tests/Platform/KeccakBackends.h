#pragma once
// Runs a test body once with each four-way Keccak backend this processor has, so that the
// portable backend stays tested on machines where AVX2 is chosen.

#include <gtest/gtest.h>

#include "Duoquill/Platform/PQ/Sha3X4.h"

namespace duoquill::test {

template <class Body>
void onEveryKeccakBackend(Body body) {
    const auto previous = sha3::keccakX4Backend();
    for (auto backend : {sha3::KeccakX4Backend::portable, sha3::KeccakX4Backend::avx2}) {
        if (!sha3::useKeccakX4Backend(backend)) continue;
        SCOPED_TRACE(backend == sha3::KeccakX4Backend::avx2 ? "AVX2 Keccak" : "portable Keccak");
        body();
    }
    sha3::useKeccakX4Backend(previous);
}

}  // namespace duoquill::test
