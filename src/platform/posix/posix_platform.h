// The search's platform on Linux and other POSIX systems.
#pragma once

#include <string>
#include <vector>

#include "search/platform.h"

namespace quarvex::posix {

class PosixPlatform : public Platform {
  public:
    // `opener` is the program that opens files and web addresses for the desktop.
    explicit PosixPlatform(std::string opener = "xdg-open",
                           std::string mountTable = "/proc/self/mounts");

    FindHandle findFirst(const std::string& pathPattern, FindRecord& data) override;
    bool findNext(FindHandle handle, FindRecord& data) override;
    void findClose(FindHandle handle) override;
    std::optional<std::uint64_t> fileLength(FindHandle handle) override;

    unsigned driveType(const std::string& root) override;
    std::vector<std::string> mountedDrives() override;
    bool open(const std::string& target) override;
    std::string programFolder() override;
    char separator() const override { return '/'; }
    bool hasDriveLetters() const override { return false; }

  private:
    std::string opener_;
    std::string mountTable_;
};

// Whether a mount table entry is a file system a user would call a drive: a block device or a
// network share, not a pseudo file system or a snap's loop image.
bool isUserDrive(const std::string& device, const std::string& type, const std::string& mountPoint);

}  // namespace quarvex::posix
