// The folders a walk holds open, and everything about keeping them: the handle budget, the
// parents kept open for their subfolders' sake, pins, making room, reopening a closed parent from
// its nearest open ancestor, and closing what is no longer needed. Every call is safe from any
// thread; one lock guards all of it, and it is never held while the platform opens or lists.
//
// A folder's handle is open while (a) a thread lists it, (b) some of its subfolders are still to
// be opened, or (c) a thread opens something relative to it (a pin). When none holds any more,
// the thread that ended the last of them closes it. The root stays open until the walk ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "search/os/platform.h"
#include "search/walk/folder_node.h"

namespace quarvex {

class OpenFolders {
  public:
    // `outOfHandlesTries`: how often a folder is tried while the process is out of handles, each
    // after a close or a millisecond, before it is given up.
    explicit OpenFolders(Platform& platform, int outOfHandlesTries = 2000)
        : platform_(platform), outOfHandlesTries_(outOfHandlesTries) {}
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
    // `node` is not opened (its listing is kept elsewhere, or it is not entered): its parent is
    // one subfolder closer to being closed.
    void passOver(FolderNode& node);
    // `node` has been listed, from its open handle or from elsewhere, and holds `subfolders`
    // still to be opened: keeps it open for them (taking its identity first where opening gave
    // none: it is what a reopening checks), or closes it.
    void listed(FolderNode& node, std::uint32_t subfolders);
    // The walk is done with `node` and everything below it: closes it if it is still open.
    void forget(FolderNode& node);

    // A folder held open for a while, reopened by its identity from its nearest open ancestor if
    // need be; no handle when it cannot be reached. Let go when it goes.
    class Pinned {
      public:
        Pinned(OpenFolders& folders, FolderNode& node, const std::atomic<bool>& stopping);
        ~Pinned();
        Pinned(const Pinned&) = delete;
        Pinned& operator=(const Pinned&) = delete;
        FolderHandle handle() const { return handle_; }

      private:
        OpenFolders& folders_;
        FolderNode& node_;
        FolderHandle handle_ = kNoFolder;
    };

    // Other threads are about to use it: from now on every call takes the lock. Until then the
    // one thread that calls passes over, lists and forgets folders without it.
    void share() { shared_.store(true, std::memory_order_relaxed); }

    // The root as it was opened.
    const FolderIdentity& rootIdentity() const { return rootIdentity_; }

    // For tests and the walk's limits.
    std::size_t budget() const;
    std::size_t openCount() const { return open_; }

  private:
    using Steps = std::deque<std::pair<FolderNode*, OwnedFolder>>;
    Result reopen(FolderNode& folder, std::unique_lock<std::mutex>& lock,
                  const std::atomic<bool>& stopping);
    Result openSteps(const std::vector<FolderNode*>& chain, FolderHandle at, Steps& opened,
                     FolderNode*& failedAt, std::unique_lock<std::mutex>& lock,
                     const std::atomic<bool>& stopping);
    OwnedFolder reserve();
    bool closeShallowest();
    bool makeRoomAfterRunningOut(std::unique_lock<std::mutex>& lock, int attempt);
    void keepAsParent(FolderNode& node);
    void close(FolderNode& node);
    void closeIfUnneeded(FolderNode& node);
    void unpin(FolderNode& node);
    void release(FolderNode& parent);
    // The lock, or none while no other thread uses this.
    std::unique_lock<std::mutex> lockIfShared();

    Platform& platform_;
    const int outOfHandlesTries_;
    mutable std::mutex mutex_;  // guards all that follows
    std::condition_variable handleClosed_;
    std::mutex reopenMutex_;  // one reopening at a time; taken before mutex_
    FolderNode* root_ = nullptr;
    FolderIdentity rootIdentity_;
    std::size_t budget_ = 0;
    // Handles held, and places taken for those being opened: each counted by its OwnedFolder.
    std::atomic<std::size_t> open_{0};
    std::vector<FolderNode*> parents_;  // open for their subfolders; each knows its place
    // Set by the one thread before the others start: read without the lock, written once.
    std::atomic<bool> shared_{false};
};

}  // namespace quarvex
