// The search's platform on Linux: folders opened relative to their parents with openat, listed
// with getdents64, identified by statx (device, inode, mount ID).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "search/os/platform.h"

namespace quarvex::posix {

// A file descriptor with one owner.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

  private:
    int fd_ = -1;
};

class PosixPlatform : public Platform {
  public:
    // `opener` is the program that opens files and web addresses for the desktop.
    explicit PosixPlatform(std::string opener = "xdg-open",
                           std::string mountTable = "/proc/self/mountinfo");

    OpenResult openRoot(const std::string& path) override;
    OpenResult openChild(FolderHandle parent, std::string_view name) override;
    void closeFolder(FolderHandle folder) override;
    bool identify(FolderHandle folder, FolderIdentity& identity) override;
    ListStatus listFolder(FolderHandle folder, Listing& out) override;
    bool describe(FolderHandle folder, ListedEntry& entry, std::string_view name) override;
    std::size_t folderHandleBudget() override;
    std::string errorText(int error) const override;
    ProcessUsage usage() override;
    void releaseFreedMemory() override;
    std::uint64_t memoryLimit() override;
    std::unique_ptr<TreeWatch> watchTree(FolderHandle root, const std::string& rootPath) override;

    unsigned driveType(const std::string& root) override;
    std::vector<std::string> mountedDrives() override;
    bool open(const std::string& target, int showMode) override;
    std::string programFolder() override;
    char separator() const override { return '/'; }
    bool hasDriveLetters() const override { return false; }

    // Whether openChild uses openat2, which refuses mount points as it opens; a platform test
    // turns it off to try the other way.
    void useOpenat2(bool use) { resolveBeneath_ = use; }

  private:
    std::string opener_;
    std::string mountTable_;
    std::atomic<bool> resolveBeneath_{true};
};

// The descriptor of a folder the platform opened.
int folderDescriptor(FolderHandle folder);

// The tightest memory limit of the control group that `groups` (as /proc/self/cgroup lists
// them) names below `root` (where the hierarchy is mounted), its ancestors' included: the
// unified hierarchy's memory.max and memory.high, or version 1's memory.limit_in_bytes. 0 where
// none is set.
std::uint64_t groupMemoryLimit(const std::string& groups, const std::string& root);

// Whether a mount table entry is a file system a user would call a drive: a block device, a disk
// image a user mounted, or a network share; not a pseudo file system, nor an application image
// such as a snap.
bool isUserDrive(const std::string& device, const std::string& type, const std::string& mountPoint);

}  // namespace quarvex::posix
