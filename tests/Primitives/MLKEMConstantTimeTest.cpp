// The constant-time check of ML-KEM: key generation, encapsulation and decapsulation run
// under valgrind's memcheck with every secret input marked undefined; so does ML-DSA key
// generation, whose only public-by-design values (rho, which half-bytes of ExpandS's output
// are rejected) it declares itself. Memcheck then reports
// each branch, table index or division whose outcome depends on a secret as a use of an
// uninitialised value. The test re-runs its own program under valgrind for that, once with
// each vector backend (the portable routines and, where the processor has it, the AVX2
// kernels), and checks that each backend did run. The same run covers the comparison of the
// peer's key confirmation with the expected one.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define DUOQUILL_HAS_MEMCHECK 1
#endif

#include "Duoquill/Primitives/ConstantTime.h"
#include "Duoquill/Primitives/PQ/MLDSA87.h"
#include "Duoquill/Primitives/PQ/MLKEM1024.h"
#include "Kit/Process.h"
#include "VectorBackends.h"

namespace duoquill {
namespace {

#ifdef DUOQUILL_HAS_MEMCHECK

using Views = std::initializer_list<BytesView>;
void markSecret(Views all) { for (BytesView b : all) VALGRIND_MAKE_MEM_UNDEFINED(b.data(), b.size()); }
void markPublic(Views all) { for (BytesView b : all) VALGRIND_MAKE_MEM_DEFINED(b.data(), b.size()); }

// What runs inside valgrind. Outputs that are public by design (ek, c) are marked defined
// before they are used as inputs; results are marked defined only to compare them.
void runWithMarkedSecrets() {
    SecureBytes d(32, 0x5A), z(32, 0xA5), m(32, 0x3C);
    markSecret({d, z, m});
    auto pair = mlkem1024::generateFromSeeds(d, z);
    markPublic({pair.encapsulationKey});
    auto sent = mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, m);
    markPublic({sent.ciphertext});
    // The secret parts of dk: the vector s and z; ek and H(ek) inside it are public.
    SecureBytes dk = pair.decapsulationKey;
    markPublic({dk});
    markSecret({BytesView(dk).first(1536), BytesView(dk).last(32)});
    Bytes altered = sent.ciphertext;
    altered[100] ^= 0x04;
    SecureBytes received = mlkem1024::decapsulate(dk, sent.ciphertext), rejected = mlkem1024::decapsulate(dk, altered);
    // The ciphertext is public, but decapsulation does not branch on it either: with it
    // marked secret too, the implicit rejection shows nothing of whether c' matched.
    Bytes secretCiphertext = altered;
    markSecret({secretCiphertext});
    SecureBytes rejectedAgain = mlkem1024::decapsulate(dk, secretCiphertext);
    markPublic({received, rejected, rejectedAgain, sent.sharedSecret});
    EXPECT_EQ(received, sent.sharedSecret);
    EXPECT_NE(rejected, sent.sharedSecret);
    EXPECT_EQ(rejectedAgain, rejected);

    // The peer's 32-byte key confirmation and the expected one are secret until the comparison
    // says whether they match, which is its only public result.
    const SecureBytes expected(32, 0xC3);
    for (std::size_t differing : {0, 17, 31, 32}) {
        SecureBytes confirmation = expected;
        if (differing < confirmation.size()) confirmation[differing] ^= 0x80;
        markSecret({expected, confirmation});
        bool equal = constantTimeEquals(confirmation, expected);
        VALGRIND_MAKE_MEM_DEFINED(&equal, sizeof equal);
        markPublic({expected});
        EXPECT_EQ(equal, differing == 32);
    }

    // ML-DSA key generation from a secret seed.
    SecureBytes xi(32, 0x6B);
    markSecret({xi});
    (void)mldsa87::generateFromSeed(xi);
}

// Run only under valgrind, by the test below: a branch on a marked secret and a table index
// made from one, which memcheck must both report, so that a silently inactive check cannot
// pass.
TEST(MLKEMConstantTime, DISABLED_Canary) {
    SecureBytes secret(1, 1);
    markSecret({secret});
    volatile int sink = 0;
    if (secret[0] == 1) sink = sink + 1;
    static volatile std::uint8_t table[256];
    table[0] = table[secret[0]];
    markPublic({secret});
}

TEST(MLKEMConstantTime, NoBranchOrIndexDependsOnSecrets) {
    if (RUNNING_ON_VALGRIND) {
        test::onEveryVectorBackend([] {
            std::printf("constant-time run on the %s backend\n", test::backendName(pq::vectorBackend()));
            runWithMarkedSecrets();
        });
        return;
    }
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "valgrind cannot run a program built with AddressSanitizer";
#else
    const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    auto underMemcheck = [&self](const std::string& filter) {
        test::ProcessOptions options;
        options.timeout = std::chrono::seconds(120);
        return test::runProcess("/usr/bin/valgrind",
                                {"--tool=memcheck", "--error-exitcode=97", "--track-origins=yes", "--num-callers=30", self,
                                 "--gtest_also_run_disabled_tests", "--gtest_filter=" + filter},
                                options);
    };
    const auto canary = underMemcheck("MLKEMConstantTime.DISABLED_Canary").standardError;
    ASSERT_NE(canary.find("Conditional jump or move depends on uninitialised value"), std::string::npos)
        << "memcheck did not see a branch on a marked secret:\n" << canary;
    ASSERT_NE(canary.find("Use of uninitialised value of size"), std::string::npos)
        << "memcheck did not see a table index made from a marked secret:\n" << canary;

    const auto result = underMemcheck("MLKEMConstantTime.NoBranchOrIndexDependsOnSecrets");
    // Any report of memcheck's makes the status 97.
    EXPECT_EQ(result.exitStatus, 0) << result.standardOutput << result.standardError;
    EXPECT_NE(result.standardOutput.find("[  PASSED  ] 1 test"), std::string::npos) << result.standardOutput;
    // Every backend that this processor has ran under memcheck (valgrind passes AVX2 on, not AVX-512).
    const auto previous = pq::vectorBackend();
    for (auto backend : {pq::VectorBackend::portable, pq::VectorBackend::avx2}) {
        if (!pq::useVectorBackend(backend)) continue;
        const std::string line = std::string("constant-time run on the ") + test::backendName(backend) + " backend";
        EXPECT_NE(result.standardOutput.find(line), std::string::npos) << result.standardOutput;
    }
    pq::useVectorBackend(previous);
#endif
}

#else

TEST(MLKEMConstantTime, NoBranchOrIndexDependsOnSecrets) {
    FAIL() << "valgrind's memcheck.h is missing: install valgrind (scripts/bootstrap)";
}

#endif

}  // namespace
}  // namespace duoquill
