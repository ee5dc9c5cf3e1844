#include "Duoquill/System/DirectoryWatch.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include <sys/inotify.h>
#include <unistd.h>

namespace duoquill {
namespace {

constexpr std::uint32_t contentEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                        IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// After any of these the watch no longer stands for the directory at the path.
constexpr std::uint32_t lostEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT | IN_Q_OVERFLOW;

}  // namespace

DirectoryWatch::DirectoryWatch(std::filesystem::path directory) noexcept : directory_(std::move(directory)) {}

DirectoryWatch::~DirectoryWatch() {
    if (fd_ >= 0) ::close(fd_);
}

void DirectoryWatch::watch() noexcept {
    watch_ = ::inotify_add_watch(fd_, directory_.c_str(), contentEvents | IN_ONLYDIR);
}

bool DirectoryWatch::drain() noexcept {
    alignas(inotify_event) std::array<char, 4096> buffer;
    bool any = false;
    for (;;) {
        const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return any;  // the queue is empty
        if (got <= 0) {
            // A queue that cannot be read tells nothing: from now on every call says "changed".
            unavailable_ = true;
            return true;
        }
        any = true;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            if ((event.mask & lostEvents) != 0 && (event.wd == watch_ || event.wd == -1)) {
                if (watch_ >= 0 && (event.mask & IN_IGNORED) == 0) ::inotify_rm_watch(fd_, watch_);
                watch_ = -1;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
}

bool DirectoryWatch::changed() noexcept {
    if (unavailable_) return true;
    if (fd_ < 0) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) {
            unavailable_ = true;
            return true;
        }
    }
    if (watch_ < 0) {
        // Whatever the caller reads next is read after the watch began: nothing is missed.
        watch();
        drain();
        return true;
    }
    if (!drain()) return false;
    if (watch_ < 0) watch();
    return true;
}

}  // namespace duoquill
