// What the search needs of the operating system. platform/win32 and platform/posix implement it;
// tests implement it with fakes. All strings are UTF-8 (raw bytes where a file system allows any).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarvex {

// Attribute bits of the find record, with the values Windows gives them.
inline constexpr std::uint32_t kAttrDirectory = 0x10;
// A link, junction or mount point. A folder that carries it is never entered by the walker.
inline constexpr std::uint32_t kAttrReparsePoint = 0x400;

// The find record: one entry of an enumeration.
struct FindRecord {
    std::uint32_t dwFileAttributes = 0;
    std::string cFileName;
};

using FindHandle = std::intptr_t;
inline constexpr FindHandle kInvalidFindHandle = -1;

// Values of driveType(); anything above 1 is an existing drive.
inline constexpr unsigned kDriveUnknown = 0;
inline constexpr unsigned kDriveNoRootDir = 1;

class Platform {
  public:
    virtual ~Platform() = default;

    // Enumerates the entries of the folder part of `pathPattern` whose names match its last
    // component with the Windows wildcard rules. Returns kInvalidFindHandle when the folder cannot
    // be read or nothing matches; otherwise `data` holds the first entry.
    virtual FindHandle findFirst(const std::string& pathPattern, FindRecord& data) = 0;
    // Stores the next matching entry in `data`; false at the end.
    virtual bool findNext(FindHandle handle, FindRecord& data) = 0;
    virtual void findClose(FindHandle handle) = 0;
    // Size in bytes of the entry the handle last stored; nothing when it cannot be read.
    virtual std::optional<std::uint64_t> fileLength(FindHandle handle) = 0;

    // Drive letter systems: the type of a root such as "C:\" (0 or 1 when there is no such drive).
    virtual unsigned driveType(const std::string& root) = 0;
    // Systems without drive letters: the mounted file systems a user would call drives, in order.
    virtual std::vector<std::string> mountedDrives() = 0;

    // Opens a file or web address with the program the desktop associates with it. The target is
    // handed over as it stands, as one argument; returns at once.
    virtual bool open(const std::string& target) = 0;

    // The folder that holds the program file, without a trailing separator.
    virtual std::string programFolder() = 0;

    // A search has ended: whatever the platform kept open for the walk can go.
    virtual void walkEnded() {}

    virtual char separator() const = 0;
    virtual bool hasDriveLetters() const = 0;
};

}  // namespace quarvex
