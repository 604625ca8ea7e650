// The folders a walk holds open, and everything about keeping them: the handle budget, the
// parents kept open for their subfolders' sake, pins, making room, reopening a closed parent from
// its nearest open ancestor, and closing what is no longer needed. Every call is safe from any
// thread; one lock guards all of it, and it is never held while the platform opens or lists.
//
// A folder's handle is open while (a) a thread lists it, (b) some of its subfolders are still to
// be opened, or (c) a thread opens something relative to it (a pin). When none holds any more,
// the thread that ended the last of them closes it. The root stays open until the walk ends.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "search/walk/folder_node.h"
#include "search/os/platform.h"

namespace quarvex {

class OpenFolders {
  public:
    // `outOfHandlesTries`: how often a folder is tried while the process is out of handles, each
    // after a close or a millisecond, before it is given up.
    explicit OpenFolders(Platform& platform, int outOfHandlesTries = 2000)
        : platform_(platform), outOfHandlesTries_(outOfHandlesTries) {}
    ~OpenFolders();
    OpenFolders(const OpenFolders&) = delete;
    OpenFolders& operator=(const OpenFolders&) = delete;

    // What became of opening a folder.
    enum class Outcome : std::uint8_t {
        Opened,      // its handle is in the node, owned by the caller until listed()
        Unreadable,  // `error` says why (also when handles ran out for good)
        Link,        // a link, a reparse point or no folder by now: not entered
        OtherMount,  // another mount than the root's: not entered
        Changed,     // its parent could not be reached again as first seen
        Stopped,     // `stopping` was set
    };
    struct Result {
        Outcome outcome = Outcome::Unreadable;
        int error = 0;
    };

    // Opens the root the user named and keeps it open until the end; `budget` is how many
    // folders may be open at once.
    Result openRoot(FolderNode& root, const std::string& path, std::size_t budget);
    // Opens `node` relative to its parent, reopening the parent first if its handle had to be
    // closed, within the budget, waiting a while for handles when the process has run out.
    // Whatever the outcome, the parent is one subfolder closer to being closed.
    Result open(FolderNode& node, const std::atomic<bool>& stopping);
    // `node` has been listed and holds `subfolders`: keeps it open for them (taking its identity
    // first where opening gave none: it is what a reopening checks), or closes it.
    void listed(FolderNode& node, std::uint32_t subfolders);
    // The walk is done with `node` and everything below it: closes it if it is still open.
    void forget(FolderNode& node);

    // For folders whose listing comes from elsewhere (the listing store):
    // `node` was not opened after all: its parent is one subfolder closer to being closed.
    void skip(FolderNode& node);
    // `node`, listed elsewhere and not open, holds `subfolders` that may be opened from it.
    void known(FolderNode& node, std::uint32_t subfolders);
    // Opens `node` for a while, reopening it by its identity from its nearest open ancestor if
    // need be, and keeps it open until unpin(); its handle, or kNoFolder when it cannot be reached.
    FolderHandle pin(FolderNode& node, const std::atomic<bool>& stopping);
    void unpinned(FolderNode& node);

    // For tests and the walk's limits.
    std::size_t budget() const;
    std::size_t openCount() const;

  private:
    Result reopen(FolderNode& folder, std::unique_lock<std::mutex>& lock,
                  const std::atomic<bool>& stopping);
    void reserve();
    bool closeShallowest();
    bool awaitHandle(std::unique_lock<std::mutex>& lock, int attempt);
    void keepAsParent(FolderNode& node);
    void close(FolderNode& node);
    void closeIfUnneeded(FolderNode& node);
    void unpin(FolderNode& node);
    void release(FolderNode& parent);

    Platform& platform_;
    const int outOfHandlesTries_;
    mutable std::mutex mutex_;  // guards all that follows
    std::condition_variable handleClosed_;
    std::mutex reopenMutex_;  // one reopening at a time; taken before mutex_
    FolderNode* root_ = nullptr;
    std::uint64_t rootVolume_ = 0;
    std::uint64_t rootMount_ = 0;
    std::size_t budget_ = 0;
    std::size_t open_ = 0;              // handles held, and the ones being opened
    std::vector<FolderNode*> parents_;  // open for their subfolders; each knows its place
};

}  // namespace quarvex
