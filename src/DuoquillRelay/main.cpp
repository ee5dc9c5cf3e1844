// duoquill-relay: pairs the two connections of a room and forwards their frames.

#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <functional>
#include <optional>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Duoquill/System/ProcessHardening.h"
#include "Duoquill/System/StandardStreams.h"
#include "DuoquillRelay/Listener.h"
#include "DuoquillRelay/RelayOptions.h"
#include "DuoquillRelay/RelayServer.h"
#include "DuoquillRelay/RelayState.h"
#include "DuoquillRelay/RelayThreads.h"
#include "DuoquillRelay/TlsCertificates.h"

using namespace duoquill;
using namespace duoquill::relay;

int main(int argc, char** argv) {
    RelayCommandLine commandLine;
    try {
        commandLine = parseRelayCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    } catch (const RelayOptionsError& e) {
        writeStandardError(std::string("duoquill-relay: ") + e.what() + "\n");
        return 2;
    }
    if (commandLine.versionRequested) {
        writeStandardOutput("duoquill-relay " DUOQUILL_VERSION "\n");
        return 0;
    }
    if (commandLine.helpRequested) {
        writeStandardOutput(relayUsage());
        return 0;
    }
    const RelayOptions& options = commandLine.options;

    std::signal(SIGPIPE, SIG_IGN);
    keepFreedMemoryForReuse();
    scheduleAsBatchWork();
    // Every connection is a descriptor; the soft limit is often far below what the caps allow.
    ProcessHardening::raiseDescriptorLimit();

    RelayThreads threads(options.threads);
    std::optional<RelayServer> server;
    try {
        server.emplace(threads, options);
    } catch (const RelayServerError& e) {
        writeStandardError(std::string("duoquill-relay: ") + e.what() + "\n");
        return 1;
    }
    boost::asio::signal_set hangups(threads.main(), SIGHUP);
    std::function<void()> awaitHangup = [&] {
        hangups.async_wait([&](boost::system::error_code ec, int) {
            if (ec) return;
            server->reloadCertificates();
            awaitHangup();  // set up before the relay says it is ready
        });
    };
    awaitHangup();  // set up before the relay says it is ready
    boost::asio::signal_set signals(threads.main(), SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code ec, int) {
        if (ec) return;
        hangups.cancel();  // else its wait would keep the main thread from ever running out of work
        server->shutdown();
    });

    if (!options.plain && !options.quiet) writeStandardError(TlsCertificates::kernelTlsNote() + "\n");
    // Before the "listening on" line, which is the one that says the relay is ready.
    if (const auto metrics = server->metricsEndpoint()) writeStandardError("metrics on " + endpointText(*metrics) + "\n");
    writeStandardError("listening on " + endpointText(server->localEndpoint()) +
                       (options.plain ? " (ws)\n" : " (wss, key exchange " + server->tlsGroups() + ")\n"));

    threads.run();
    return 0;
}
