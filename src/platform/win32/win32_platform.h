// The search's platform on Windows: folders opened relative to their parent with the NT calls,
// listed in large batches; the Unicode (W) functions for the rest.
#pragma once

#include <string>
#include <vector>

#include "search/os/platform.h"

namespace quarvex::win32 {

struct NtCalls;

class Win32Platform : public Platform {
  public:
    Win32Platform();
    // Over another table of NT calls (tests stand in for the file system with it).
    explicit Win32Platform(const NtCalls& nt);

    OpenResult openRoot(const std::string& path) override;
    OpenResult openChild(FolderHandle parent, std::string_view name) override;
    void closeFolder(FolderHandle folder) override;
    bool identify(FolderHandle folder, FolderIdentity& identity) override;
    ListStatus listFolder(FolderHandle folder, Listing& out) override;
    // Types and sizes come with the listing: nothing is left to complete.
    bool describe(FolderHandle, ListedEntry&, std::string_view) override { return true; }
    std::size_t folderHandleBudget() override { return 4096; }
    std::string errorText(int error) const override;
    ProcessUsage usage() override;
    std::unique_ptr<TreeWatch> watchTree(FolderHandle root, const std::string& rootPath) override;

    unsigned driveType(const std::string& root) override;
    std::vector<std::string> mountedDrives() override { return {}; }
    bool open(const std::string& target, int showMode) override;
    std::string programFolder() override;
    char separator() const override { return '\\'; }
    bool hasDriveLetters() const override { return true; }

  private:
    const NtCalls& nt_;
};

}  // namespace quarvex::win32
