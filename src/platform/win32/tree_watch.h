// Change notification for the tree below a root on Windows: one ReadDirectoryChangesW over the
// whole tree, kept pending so the system queues changes between drains, and the map from the
// paths its records name to the keys the store watches folders under.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/win32/nt_handle.h"
#include "search/os/platform.h"

namespace quarvex::win32 {

// One thing a change record asks the store to forget.
struct ToldChange {
    std::uint64_t key;
    bool folder;  // folderChanged; else entriesChanged
    bool operator==(const ToldChange&) const = default;
};

// The folders a tree watch knows, by their paths below the root, compared as Windows compares
// names (letters without regard to case). A path may have several keys (a folder watched again
// before its old key is gone, or names that differ only in case in a case-sensitive folder).
class ChangeMap {
  public:
    // `path`: UTF-8, names separated by '\', empty for the root.
    void add(std::string_view path, std::uint64_t key);
    void remove(std::uint64_t key);
    // What a record naming `path` (relative to the root, as ReadDirectoryChangesW gives it) asks,
    // whatever its action: the folder holding the entry lists again; a known folder at the path
    // itself was removed, moved, replaced or had its attributes or security changed.
    void map(std::wstring_view path, std::vector<ToldChange>& out) const;

  private:
    // Tells every key of the folded path; false when the path has none.
    bool tell(const std::string& folded, bool folder, std::vector<ToldChange>& out) const;

    std::unordered_multimap<std::string, std::uint64_t> keys_;  // folded path -> key
    std::unordered_map<std::uint64_t, std::string> paths_;      // key -> folded path
};

// Drain from a thread that outlives the watch (the window's): Windows cancels a read when the
// thread that started it exits, and the next drain then answers that changes were lost.
class Win32TreeWatch final : public TreeWatch {
  public:
    // Watches the folder open as `root` (any handle with FILE_LIST_DIRECTORY) and everything
    // below it, with WOW64's redirection off as the walk has it; null when the system cannot
    // watch it.
    static std::unique_ptr<Win32TreeWatch> start(const NtCalls& nt, HANDLE root);
    ~Win32TreeWatch() override;
    Win32TreeWatch(const Win32TreeWatch&) = delete;
    Win32TreeWatch& operator=(const Win32TreeWatch&) = delete;

    bool coversTree() const override { return true; }
    bool watch(FolderHandle folder, std::string_view relativePath, std::uint64_t key) override;
    void unwatch(std::uint64_t key) override;
    bool drain(ChangeSink& sink) override;

  private:
    Win32TreeWatch(const NtCalls& nt, NtHandle folder, NtHandle event);
    // Starts the next read; false when the system refuses it.
    bool issue();
    // Maps the records of a completed read of `bytes` bytes.
    void mapRecords(std::size_t bytes, std::vector<ToldChange>& out) const;

    const NtCalls& nt_;
    std::mutex mutex_;
    ChangeMap map_;
    NtHandle folder_;
    NtHandle event_;
    OVERLAPPED overlapped_{};
    // Where the system writes the records of the pending read: 64 KiB, the most a read over the
    // network may ask for, DWORD-aligned.
    std::unique_ptr<DWORD[]> buffer_;
    // Whether a read is under way (pending, or completed and not yet drained). While one is not,
    // changes go untold.
    bool reading_ = false;
};

}  // namespace quarvex::win32
