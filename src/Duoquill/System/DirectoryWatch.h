#pragma once
// Whether anything in one directory may have changed since it was last asked (inotify).
// It lets a caller keep what it read from a file there until the kernel reports a change,
// instead of reading it again every time.
//
// It answers "changed" whenever it cannot be sure: on the first call, while the directory is
// missing, after the watch is lost (directory removed or moved, event queue overflow) and for
// good when the system gives no inotify instance. Changes made through a hard link from
// another directory, or by another machine on a network file system, are not seen.

#include <filesystem>

namespace duoquill {

class DirectoryWatch {
public:
    explicit DirectoryWatch(std::filesystem::path directory) noexcept;
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    // True unless the directory has been watched since the previous call and nothing in it
    // has been created, written, renamed, removed or had its attributes changed. Never throws.
    bool changed() noexcept;

private:
    // Drains the queue; true when any event was waiting or the watch was lost.
    bool drain() noexcept;
    void watch() noexcept;

    std::filesystem::path directory_;
    int fd_ = -1;
    int watch_ = -1;
    bool unavailable_ = false;
};

}  // namespace duoquill
