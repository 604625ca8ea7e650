// The search's platform on Windows, over the Unicode (W) functions.
#pragma once

#include <string>
#include <vector>

#include "search/platform.h"

namespace quarvex::win32 {

class Win32Platform : public Platform {
  public:
    FindHandle findFirst(const std::string& pathPattern, FindRecord& data) override;
    bool findNext(FindHandle handle, FindRecord& data) override;
    void findClose(FindHandle handle) override;
    std::optional<std::uint64_t> fileLength(FindHandle handle) override;

    unsigned driveType(const std::string& root) override;
    std::vector<std::string> mountedDrives() override { return {}; }
    bool open(const std::string& target) override;
    std::string programFolder() override;
    char separator() const override { return '\\'; }
    bool hasDriveLetters() const override { return true; }
};

}  // namespace quarvex::win32
