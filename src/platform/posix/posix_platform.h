// The search's platform on Linux and other POSIX systems.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "search/platform.h"

namespace quarvex::posix {

struct Listing;
struct Enumeration;

class PosixPlatform : public Platform {
  public:
    // `opener` is the program that opens files and web addresses for the desktop.
    explicit PosixPlatform(std::string opener = "xdg-open",
                           std::string mountTable = "/proc/self/mounts");
    ~PosixPlatform() override;
    PosixPlatform(const PosixPlatform&) = delete;
    PosixPlatform& operator=(const PosixPlatform&) = delete;

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
    void walkEnded() override;

  private:
    std::unique_ptr<Listing> readListing(const std::string& folder);
    bool storeNext(Enumeration& e, FindRecord& data);
    std::uint32_t attributesOf(Listing& listing, std::size_t index);
    bool mayBeMountPoint(const char* name);
    void popTrail();

    std::string opener_;
    std::string mountTable_;
    std::unique_ptr<Listing> cached_;  // the folder listed last, kept for the next listing of it
    // Folders listed earlier that are still open, each a parent of the next as the walk goes.
    struct TrailStep {
        std::string folder;
        int fd;
        long fsType;
    };
    std::vector<TrailStep> trail_;
    std::array<char, 1 << 16> buffer_;
    std::set<std::string, std::less<>> mountNames_;  // last components of all mount points
    bool mountNamesKnown_ = false;
    std::chrono::steady_clock::time_point mountNamesRead_{};
};

// Whether a mount table entry is a file system a user would call a drive: a block device or a
// network share, not a pseudo file system or a snap's loop image.
bool isUserDrive(const std::string& device, const std::string& type, const std::string& mountPoint);

}  // namespace quarvex::posix
