// duoquill-relay: pairs the two connections of a room and forwards their frames.

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <optional>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Duoquill/Platform/System/ProcessHardening.h"
#include "Duoquill/Platform/System/StandardStreams.h"
#include "DuoquillRelay/Listener.h"
#include "DuoquillRelay/RelayOptions.h"
#include "DuoquillRelay/RelayServer.h"

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
    // Every connection is a descriptor; the soft limit is often far below what the caps allow.
    ProcessHardening::raiseDescriptorLimit();

    boost::asio::io_context context(static_cast<int>(options.threads));
    std::optional<RelayServer> server;
    try {
        server.emplace(context, options);
    } catch (const RelayServerError& e) {
        writeStandardError(std::string("duoquill-relay: ") + e.what() + "\n");
        return 1;
    }
    // Before the "listening on" line, which is the one that says the relay is ready.
    if (const auto metrics = server->metricsEndpoint()) writeStandardError("metrics on " + endpointText(*metrics) + "\n");
    writeStandardError("listening on " + endpointText(server->localEndpoint()) + (options.plain ? " (ws)\n" : " (wss)\n"));

    boost::asio::signal_set signals(context, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code ec, int) {
        if (!ec) server->shutdown();
    });

    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < options.threads; ++i) helpers.emplace_back([&context] { context.run(); });
    context.run();
    for (auto& helper : helpers) helper.join();
    return 0;
}
