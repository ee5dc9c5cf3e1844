#pragma once
// Why the TPM a TCTI setting names cannot be reached, in the system's words, for the device
// ("device:/dev/tpm0") and the simulators' sockets ("swtpm:host=...,port=...", "mssim:...").
// The TPM library keeps its own reason to itself; this asks the same question again.

#include <sys/types.h>

#include <optional>
#include <string>

namespace duoquill::TpmReach {

// "connection refused", "no such file or directory", ...; nothing when the TPM answers, or when
// the setting names a kind of TCTI this does not know.
std::optional<std::string> problem(const std::string& tcti);

// The name of a device's group, as `ls -l` shows it ("tss").
std::string groupName(gid_t gid);

}  // namespace duoquill::TpmReach
