#include "Duoquill/Keys/Hardware/TpmReach.h"

#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "Duoquill/System/FileDescriptor.h"
#include "Duoquill/System/SystemWords.h"

namespace duoquill::TpmReach {
namespace {

// The TPM library's defaults for its simulator TCTIs, and for a device named without a path.
constexpr const char* defaultHost = "localhost";
constexpr const char* defaultPort = "2321";
constexpr const char* defaultDevice = "/dev/tpm0";
constexpr int connectTimeoutMs = 3000;

// "host=127.0.0.1,port=2321" as a map; a value without a name is taken as the host.
std::map<std::string, std::string> options(const std::string& config) {
    std::map<std::string, std::string> found;
    for (std::size_t start = 0; start <= config.size();) {
        const std::size_t end = std::min(config.find(',', start), config.size());
        const std::string item = config.substr(start, end - start);
        if (const std::size_t equals = item.find('='); equals != std::string::npos) {
            found[item.substr(0, equals)] = item.substr(equals + 1);
        } else if (!item.empty()) {
            found["host"] = item;
        }
        start = end + 1;
    }
    return found;
}

// errno of a connect that did not finish, 0 once it has.
int connectWithin(int fd, const sockaddr* address, socklen_t length) {
    if (::connect(fd, address, length) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    pollfd waiting{fd, POLLOUT, 0};
    const int ready = ::poll(&waiting, 1, connectTimeoutMs);
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

std::optional<std::string> socketProblem(const std::string& config) {
    const auto settings = options(config);
    if (const auto path = settings.find("path"); path != settings.end()) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path->second.size() >= sizeof address.sun_path) return "the socket's path is too long";
        std::memcpy(address.sun_path, path->second.c_str(), path->second.size() + 1);
        const FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (fd.get() < 0) return systemWords(errno);
        const int error = connectWithin(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        return error == 0 ? std::nullopt : std::optional(systemWords(error));
    }
    const auto value = [&](const char* name, const char* otherwise) {
        const auto found = settings.find(name);
        return found != settings.end() && !found->second.empty() ? found->second : std::string(otherwise);
    };
    const std::string host = value("host", defaultHost), port = value("port", defaultPort);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (const int failed = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses); failed != 0) {
        return "cannot look up " + host + " port " + port + ": " + ::gai_strerror(failed);
    }
    int error = 0;
    for (const addrinfo* at = addresses; at != nullptr; at = at->ai_next) {
        const FileDescriptor fd(::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol));
        error = fd.get() < 0 ? errno : connectWithin(fd.get(), at->ai_addr, at->ai_addrlen);
        if (error == 0) break;
    }
    ::freeaddrinfo(addresses);
    return error == 0 ? std::nullopt : std::optional(systemWords(error));
}

std::optional<std::string> deviceProblem(const std::string& configured) {
    const std::string path = configured.empty() ? defaultDevice : configured;
    const FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (fd.get() >= 0) return std::nullopt;
    const int error = errno;
    std::string words = systemWords(error);
    struct stat info {};
    if ((error == EACCES || error == EPERM) && ::stat(path.c_str(), &info) == 0) {
        words += " (not in the group " + groupName(info.st_gid) + " that may open it)";
    }
    return words;
}

}  // namespace

std::string groupName(gid_t gid) {
    std::string buffer(4096, '\0');
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return found->gr_name;
    return "gid " + std::to_string(gid);
}

std::optional<std::string> problem(const std::string& tcti) {
    const std::size_t colon = tcti.find(':');
    const std::string name = tcti.substr(0, colon);
    const std::string config = colon == std::string::npos ? std::string() : tcti.substr(colon + 1);
    // A name may also be the library's own file name, "libtss2-tcti-swtpm.so.0".
    const auto is = [&](const std::string& kind) {
        return name == kind || name.find("tcti-" + kind) != std::string::npos;
    };
    if (is("device")) return deviceProblem(config);
    if (is("swtpm") || is("mssim")) return socketProblem(config);
    return std::nullopt;
}

}  // namespace duoquill::TpmReach
