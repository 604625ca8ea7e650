// The search's platform on Windows: folders opened relative to their parent with the NT calls,
// listed in large batches; the Unicode (W) functions for the rest.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "search/os/platform.h"

namespace quarvex::win32 {

struct NtCalls;

// The name by which a 32-bit process under WOW64 reaches the file at `path` when `path` lies in
// System32 of the Windows folder `windowsFolder`: the same path through "Sysnative" (WOW64 would
// take System32 itself to SysWOW64). Empty for every other path. Names compare as Windows
// compares them, '\' and '/' alike; a "\\?\" before the path is kept.
std::string sysnativeAlias(std::string_view path, std::string_view windowsFolder);

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
    // Refuses a thread the address space would not carry with room left for the search.
    bool startThread(std::thread& thread, std::function<void()> body) override;
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
