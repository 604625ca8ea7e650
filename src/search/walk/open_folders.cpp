#include "search/walk/open_folders.h"

#include <algorithm>
#include <chrono>
#include <deque>

#include "search/walk/quick_lock.h"

namespace quarvex {

namespace {

// What a failed open makes of a folder.
OpenFolders::Outcome failureOf(OpenStatus status) {
    if (status == OpenStatus::NotAFolder) return OpenFolders::Outcome::Link;
    if (status == OpenStatus::OtherMount) return OpenFolders::Outcome::OtherMount;
    return OpenFolders::Outcome::Unreadable;
}

}  // namespace

std::size_t OpenFolders::budget() const {
    const auto lock = lockQuickly(mutex_);
    return budget_;
}

OpenFolders::Result OpenFolders::openRoot(FolderNode& root, const std::string& path,
                                          std::size_t budget) {
    OwnedFolder handle(platform_, open_);
    const OpenResult r = platform_.openRoot(path);
    const auto lock = lockQuickly(mutex_);
    root_ = &root;
    budget_ = std::max<std::size_t>(budget, 2);
    if (r.status != OpenStatus::Opened) return {Outcome::Unreadable, r.error};
    handle.adopt(r.handle);
    root.handle = std::move(handle);
    root.file = r.identity.file;
    root.identified = true;
    rootIdentity_ = r.identity;
    return {Outcome::Opened, 0};
}

OpenFolders::Result OpenFolders::open(FolderNode& node, const std::atomic<bool>& stopping) {
    FolderNode& parent = *node.parent;
    auto lock = lockQuickly(mutex_);
    Result result;
    for (int attempt = 0;; ++attempt) {
        if (stopping.load(std::memory_order_relaxed)) {
            result = {Outcome::Stopped, 0};
            break;
        }
        if (!parent.handle) {
            result = reopen(parent, lock, stopping);
            if (result.outcome != Outcome::Opened) break;
        }
        ++parent.pins;  // keeps the parent open while the child is opened relative to it
        OwnedFolder handle = reserve();
        const FolderHandle at = parent.handle.get();
        lock.unlock();
        OpenResult r = platform_.openChild(at, node.name());
        if (r.status == OpenStatus::Opened) handle.adopt(r.handle);
        lockQuickly(lock);
        unpin(parent);
        if (r.status == OpenStatus::Opened) {
            // Another file system, a bind mount, or a mount that appeared during the walk.
            if (r.identified && r.identity.mount != rootIdentity_.mount) {
                result = {Outcome::OtherMount, 0};
                break;  // the handle closes with its owner
            }
            node.handle = std::move(handle);
            // Unidentified, it keeps the file number its parent's listing gave, if any.
            if (r.identified) {
                node.file = r.identity.file;
                node.identified = r.identity.volume == rootIdentity_.volume;
            }
            result = {Outcome::Opened, 0};
            break;
        }
        handle.reset();
        if (r.status != OpenStatus::OutOfHandles) {
            result = {failureOf(r.status), r.error};
            break;
        }
        if (!makeRoomAfterRunningOut(lock, attempt)) {
            result = {Outcome::Unreadable, r.error};
            break;
        }
    }
    release(parent);
    return result;
}

// Reopens a parent whose handle was closed to stay within the budget: from its nearest open
// ancestor down, one name at a time, each step checked to be the folder first seen. Lock held on
// entry and on return.
OpenFolders::Result OpenFolders::reopen(FolderNode& folder, std::unique_lock<std::mutex>& lock,
                                        const std::atomic<bool>& stopping) {
    if (folder.lost) return {Outcome::Changed, 0};
    lock.unlock();
    std::unique_lock reopening(reopenMutex_);
    lockQuickly(lock);
    if (folder.handle) return {Outcome::Opened, 0};
    if (folder.lost) return {Outcome::Changed, 0};

    std::vector<FolderNode*> chain;  // `folder` first, up to the child of the nearest open one
    FolderNode* anchor = &folder;
    while (!anchor->handle) {
        chain.push_back(anchor);
        anchor = anchor->parent;  // the root stays open, so this ends
    }
    ++anchor->pins;
    Steps opened;
    FolderNode* failedAt = nullptr;
    const Result result = openSteps(chain, anchor->handle.get(), opened, failedAt, lock, stopping);
    unpin(*anchor);
    if (failedAt != nullptr) {
        // Not what was listed any more: nothing more is walked below it.
        for (FolderNode* n = &folder;; n = n->parent) {
            n->lost = true;
            if (n == failedAt) break;
        }
    }
    for (auto& [node, handle] : opened) {
        // Kept for the subfolders still to come, and the folder asked for, which its caller pins.
        if (result.outcome == Outcome::Opened && !node->handle &&
            (node->unopenedChildren > 0 || node == &folder)) {
            node->handle = std::move(handle);
            keepAsParent(*node);
        } else {
            handle.reset();
        }
    }
    handleClosed_.notify_all();
    return result;
}

// Opens the folders of `chain` from its last, a child of the open `at`, down to its first, each
// checked to be the folder first seen; the deepest steps opened stay in `opened`. Lock held on
// entry and on return.
OpenFolders::Result OpenFolders::openSteps(const std::vector<FolderNode*>& chain, FolderHandle at,
                                           Steps& opened, FolderNode*& failedAt,
                                           std::unique_lock<std::mutex>& lock,
                                           const std::atomic<bool>& stopping) {
    // The deepest steps are kept for the subfolders still to come; the rest close on the way.
    const std::size_t keep = std::max<std::size_t>(1, budget_ / 4);
    int attempts = 0;
    for (auto it = chain.rbegin(); it != chain.rend();) {
        if (stopping.load(std::memory_order_relaxed)) return {Outcome::Stopped, 0};
        FolderNode& step = **it;
        OwnedFolder handle = reserve();
        lock.unlock();
        OpenResult r = platform_.openChild(at, step.name());
        if (r.status == OpenStatus::Opened) handle.adopt(r.handle);
        if (handle && !r.identified && !platform_.identify(handle.get(), r.identity))
            r.identity = {};
        lockQuickly(lock);
        if (r.status == OpenStatus::OutOfHandles) {
            handle.reset();
            // Give back what this walk down holds, else what the walk keeps, and try again.
            if (opened.size() > 1) {
                opened.pop_front();
                continue;
            }
            if (!makeRoomAfterRunningOut(lock, attempts++)) return {Outcome::Unreadable, r.error};
            continue;
        }
        if (!handle || !step.identified ||
            !FolderIdentity{rootIdentity_.volume, step.file, 0}.sameFolder(r.identity)) {
            failedAt = &step;
            return {handle || r.status != OpenStatus::Unreadable ? Outcome::Changed
                                                                 : Outcome::Unreadable,
                    r.error};
        }
        at = handle.get();
        opened.emplace_back(&step, std::move(handle));
        if (opened.size() > keep) opened.pop_front();
        ++it;
    }
    return {Outcome::Opened, 0};
}

void OpenFolders::listed(FolderNode& node, std::uint32_t subfolders) {
    if (subfolders > 0 && !node.identified) {
        // The node is still the caller's alone: no lock for the platform's call.
        FolderIdentity identity;
        if (node.handle && platform_.identify(node.handle.get(), identity) &&
            identity.volume == rootIdentity_.volume) {
            node.file = identity.file;
            node.identified = true;
        }
    }
    const auto lock = lockIfShared();
    node.unopenedChildren = subfolders;
    if (!node.handle) return;  // listed from elsewhere: opened from its ancestors when needed
    if (subfolders > 0)
        keepAsParent(node);
    else if (&node != root_)
        close(node);
}

void OpenFolders::forget(FolderNode& node) {
    const auto lock = lockIfShared();
    if (node.handle) close(node);
}

void OpenFolders::passOver(FolderNode& node) {
    if (node.parent == nullptr) return;
    const auto lock = lockIfShared();
    release(*node.parent);
}

std::unique_lock<std::mutex> OpenFolders::lockIfShared() {
    if (!shared_.load(std::memory_order_relaxed)) return {};
    return lockQuickly(mutex_);
}

OpenFolders::Pinned::Pinned(OpenFolders& folders, FolderNode& node,
                            const std::atomic<bool>& stopping)
    : folders_(folders), node_(node) {
    auto lock = lockQuickly(folders.mutex_);
    if (!node.handle && folders.reopen(node, lock, stopping).outcome != Outcome::Opened) return;
    ++node.pins;
    handle_ = node.handle.get();
}

OpenFolders::Pinned::~Pinned() {
    if (handle_ == kNoFolder) return;
    const auto lock = lockQuickly(folders_.mutex_);
    folders_.unpin(node_);
}

// ---- lock held ----

// A place for a handle about to be opened, kept parents beyond the budget closed first.
OwnedFolder OpenFolders::reserve() {
    while (open_ >= budget_ && closeShallowest()) {
    }
    return OwnedFolder(platform_, open_);
}

// Closes the kept parent needed last: the shallowest one nobody is using. Rare (only beyond the
// budget), so a look at each is fine.
bool OpenFolders::closeShallowest() {
    FolderNode* shallowest = nullptr;
    for (FolderNode* node : parents_)
        if (node->pins == 0 && (shallowest == nullptr || node->depth < shallowest->depth))
            shallowest = node;
    if (shallowest == nullptr) return false;
    close(*shallowest);
    return true;
}

// The process has run out of handles: it keeps fewer open from now on, and closes a kept parent,
// or else waits for another thread to close a handle, or a millisecond (handles held outside the
// walk give no notice when they are closed). False after so many tries that the folder at hand
// is given up.
bool OpenFolders::makeRoomAfterRunningOut(std::unique_lock<std::mutex>& lock, int attempt) {
    budget_ = std::max<std::size_t>(2, open_ > 2 ? open_ - 1 : 2);
    if (closeShallowest()) return true;
    if (attempt >= outOfHandlesTries_) return false;
    handleClosed_.wait_for(lock, std::chrono::milliseconds(1));
    return true;
}

void OpenFolders::keepAsParent(FolderNode& node) {
    if (&node == root_ || node.openIndex != kNotKept) return;
    node.openIndex = static_cast<std::uint32_t>(parents_.size());
    parents_.push_back(&node);
}

void OpenFolders::close(FolderNode& node) {
    if (node.openIndex != kNotKept) {
        FolderNode* moved = parents_.back();
        parents_[node.openIndex] = moved;
        moved->openIndex = node.openIndex;
        parents_.pop_back();
        node.openIndex = kNotKept;
    }
    node.handle.reset();
    handleClosed_.notify_all();
}

void OpenFolders::closeIfUnneeded(FolderNode& node) {
    if (&node != root_ && node.handle && node.pins == 0 && node.unopenedChildren == 0) close(node);
}

void OpenFolders::unpin(FolderNode& node) {
    --node.pins;
    closeIfUnneeded(node);
}

void OpenFolders::release(FolderNode& parent) {
    --parent.unopenedChildren;
    closeIfUnneeded(parent);
}

}  // namespace quarvex
