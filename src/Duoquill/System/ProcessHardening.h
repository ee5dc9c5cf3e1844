#pragma once
// Process-wide protection of the secrets a chat or a key command holds in memory, applied
// once at the start of the command:
//
//   - the process is marked not dumpable (prctl PR_SET_DUMPABLE 0): no core dump, and other
//     processes of the same user can no longer attach with ptrace or read its memory;
//   - the core-file size limit is set to 0, for children and for any later change of the flag;
//   - the crypto library's secure heap (where it keeps private scalars) and the SecureBytes
//     pool (LockedMemory.h) are locked into RAM, as far as the locked-memory limit allows.
//
// Each step is best effort and independent: a step the system refuses is skipped, nothing
// is printed and nothing fails. The result says what took effect, for tests.

namespace duoquill::ProcessHardening {

struct Result {
    bool notDumpable = false;
    bool coreLimitZero = false;
    bool cryptoHeapLocked = false;
    bool secretPoolLocked = false;
};

Result protectSecrets() noexcept;

// Raises the soft limit of open descriptors to the hard limit (best effort).
void raiseDescriptorLimit() noexcept;

}  // namespace duoquill::ProcessHardening
