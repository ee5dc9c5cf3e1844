// Black-box tests of the argument dispatch: the real binary, its exact bytes and statuses.

#include <gtest/gtest.h>

#include "Support/Paths.h"
#include "Support/Process.h"

namespace duoquill::test {
namespace {

const std::string kUsage =
    "Usage:\n"
    "  duoquill-cli keygen                              Generate P-256 SE key, print pubkey\n"
    "  duoquill-cli pubkey                              Print existing pubkey (base64url)\n"
    "  duoquill-cli chat <peer-pubkey-b64url> <wss://\xE2\x80\xA6> Interactive encrypted chat";

// A valid compressed key (the generator point).
const std::string kValidKey = "AmsX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKW";

ProcessResult cli(const std::vector<std::string>& args) {
    TempDir home;
    ProcessOptions options;
    options.environment["HOME"] = home.str();
    options.unsetEnvironment = {"XDG_DATA_HOME", "DUOQUILL_KEY_LABEL"};
    return runProcess(cliPath().string(), args, options);
}

TEST(CommandLine, NoArgumentsPrintsExactlyTheUsage) {
    const auto r = cli({});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.standardError, kUsage);
    EXPECT_EQ(r.standardError.size(), 258u);
    EXPECT_EQ(r.standardOutput, "");
}

TEST(CommandLine, UnknownCommandsAreEchoedAsTyped) {
    const std::string longWord(100 * 1024, 'x');
    const std::string invalidUtf8 = "ke\xff\xfe" "gen\xc3";
    for (const std::string& word : {std::string("KEYGEN"), std::string("Keygen"), std::string(""), invalidUtf8, longWord}) {
        const auto r = cli({word});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.standardError, "Unknown command: " + word + "\n" + kUsage);
        EXPECT_EQ(r.standardOutput, "");
    }
}

TEST(CommandLine, ChatNeedsTwoOperands) {
    for (const auto& args : {std::vector<std::string>{"chat"}, std::vector<std::string>{"chat", kValidKey}}) {
        const auto r = cli(args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.standardError, "Error: chat requires <peer-pubkey-b64url> <wss://relay-url>\n" + kUsage);
        EXPECT_EQ(r.standardOutput, "");
    }
}

TEST(CommandLine, RelayUrlIsCheckedBeforeTheKey) {
    for (const std::string url : {"ws://relay.example/", "WSS://relay.example/", "https://x", "", "wss:/x"}) {
        const auto r = cli({"chat", "not-a-key", url});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.standardError, "Error: relay URL must use wss://\n");
        EXPECT_EQ(r.standardOutput, "");
    }
}

TEST(CommandLine, InvalidPeerKeysAreRefused) {
    for (const std::string& key : {std::string(""), std::string("abc"), std::string(44, 'A'), std::string("\xff\xfe"),
                                   std::string(5000, '0')}) {
        const auto r = cli({"chat", key, "wss://relay.example/", "extra"});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.standardError, "Error: invalid peer public key\n");
        EXPECT_EQ(r.standardOutput, "");
    }
}

TEST(CommandLine, FifthArgumentIsIgnored) {
    // With a valid key and URL the chat starts; whatever it prints, the dispatch did not
    // complain about the extra argument.
    ProcessOptions options;
    TempDir home;
    options.environment["HOME"] = home.str();
    options.timeout = std::chrono::milliseconds(5000);
    const auto r = runProcess(cliPath().string(), {"chat", kValidKey, "wss://127.0.0.1:1/", "fifth"}, options);
    EXPECT_EQ(r.standardError.find("Error: chat requires"), std::string::npos);
    EXPECT_EQ(r.standardError.find("Usage:"), std::string::npos);
    EXPECT_EQ(r.standardOutput, "");
}

}  // namespace
}  // namespace duoquill::test
