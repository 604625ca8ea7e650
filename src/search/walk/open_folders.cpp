#include "search/walk/open_folders.h"

#include <algorithm>
#include <chrono>
#include <deque>

#include "search/walk/quick_lock.h"

namespace quarvex {

namespace {

OpenFolders::Outcome outcomeOf(OpenStatus status) {
    switch (status) {
        case OpenStatus::Opened:
            return OpenFolders::Outcome::Opened;
        case OpenStatus::NotAFolder:
            return OpenFolders::Outcome::Link;
        case OpenStatus::OtherMount:
            return OpenFolders::Outcome::OtherMount;
        default:
            return OpenFolders::Outcome::Unreadable;
    }
}

}  // namespace

OpenFolders::~OpenFolders() = default;

std::size_t OpenFolders::budget() const {
    const auto lock = lockQuickly(mutex_);
    return budget_;
}

std::size_t OpenFolders::openCount() const {
    const auto lock = lockQuickly(mutex_);
    return open_;
}

OpenFolders::Result OpenFolders::openRoot(FolderNode& root, const std::string& path,
                                          std::size_t budget) {
    const OpenResult r = platform_.openRoot(path);
    const auto lock = lockQuickly(mutex_);
    root_ = &root;
    budget_ = std::max<std::size_t>(budget, 2);
    if (r.status != OpenStatus::Opened) return {Outcome::Unreadable, r.error};
    root.handle = OwnedFolder(platform_, r.handle);
    root.file = r.identity.file;
    root.identified = true;
    rootVolume_ = r.identity.volume;
    rootMount_ = r.identity.mount;
    ++open_;
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
        reserve();
        const FolderHandle at = parent.handle.get();
        lock.unlock();
        OpenResult r = platform_.openChild(at, node.name());
        lockQuickly(lock);
        unpin(parent);
        if (r.status == OpenStatus::Opened) {
            OwnedFolder handle(platform_, r.handle);
            // Another file system, a bind mount, or a mount that appeared during the walk.
            if (r.identified && r.identity.mount != rootMount_) {
                --open_;
                result = {Outcome::OtherMount, 0};
                break;  // the handle closes with its owner
            }
            node.handle = std::move(handle);
            // Unidentified, it keeps the file number its parent's listing gave, if any.
            if (r.identified) {
                node.file = r.identity.file;
                node.identified = r.identity.volume == rootVolume_;
            }
            result = {Outcome::Opened, 0};
            break;
        }
        --open_;
        if (r.status != OpenStatus::OutOfHandles) {
            result = {outcomeOf(r.status), r.error};
            break;
        }
        // The process has run out: keep fewer open from now on, and try again once one closed.
        budget_ = std::max<std::size_t>(2, open_ > 2 ? open_ - 1 : 2);
        if (!closeShallowest() && !awaitHandle(lock, attempt)) {
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
    FolderHandle at = anchor->handle.get();
    // The deepest steps are kept for the subfolders still to come; the rest close on the way.
    const std::size_t keep = std::max<std::size_t>(1, budget_ / 4);
    std::deque<std::pair<FolderNode*, OwnedFolder>> opened;
    Result result{Outcome::Opened, 0};
    FolderNode* failedAt = nullptr;
    int attempts = 0;
    for (auto it = chain.rbegin(); it != chain.rend();) {
        if (stopping.load(std::memory_order_relaxed)) {
            result = {Outcome::Stopped, 0};
            break;
        }
        FolderNode& step = **it;
        reserve();
        lock.unlock();
        OpenResult r = platform_.openChild(at, step.name());
        OwnedFolder handle(platform_, r.status == OpenStatus::Opened ? r.handle : kNoFolder);
        if (handle && !r.identified && !platform_.identify(handle.get(), r.identity))
            r.identity = {};
        lockQuickly(lock);
        if (r.status == OpenStatus::OutOfHandles) {
            --open_;
            // Give back what this walk down holds, else what the walk keeps, and try again.
            if (opened.size() > 1) {
                opened.pop_front();
                --open_;
                continue;
            }
            budget_ = std::max<std::size_t>(2, open_ > 2 ? open_ - 1 : 2);
            if (!closeShallowest() && !awaitHandle(lock, attempts++)) {
                result = {Outcome::Unreadable, r.error};
                break;
            }
            continue;
        }
        if (!handle || !step.identified ||
            !FolderIdentity{rootVolume_, step.file, 0}.sameFolder(r.identity)) {
            --open_;
            failedAt = &step;
            result = {handle || r.status != OpenStatus::Unreadable ? Outcome::Changed
                                                                   : Outcome::Unreadable,
                      r.error};
            break;
        }
        at = handle.get();
        opened.emplace_back(&step, std::move(handle));
        if (opened.size() > keep) {
            opened.pop_front();
            --open_;
        }
        ++it;
    }
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
            --open_;
            handle.reset();
        }
    }
    handleClosed_.notify_all();
    return result;
}

void OpenFolders::listed(FolderNode& node, std::uint32_t subfolders) {
    if (subfolders > 0 && !node.identified) {
        // The node is still the caller's alone: no lock for the platform's call.
        FolderIdentity identity;
        if (platform_.identify(node.handle.get(), identity) && identity.volume == rootVolume_) {
            node.file = identity.file;
            node.identified = true;
        }
    }
    const auto lock = lockQuickly(mutex_);
    node.unopenedChildren = subfolders;
    if (subfolders > 0)
        keepAsParent(node);
    else if (&node != root_)
        close(node);
}

void OpenFolders::forget(FolderNode& node) {
    const auto lock = lockQuickly(mutex_);
    if (node.handle) close(node);
}

void OpenFolders::skip(FolderNode& node) {
    const auto lock = lockQuickly(mutex_);
    release(*node.parent);
}

void OpenFolders::known(FolderNode& node, std::uint32_t subfolders) {
    const auto lock = lockQuickly(mutex_);
    node.unopenedChildren = subfolders;
}

FolderHandle OpenFolders::pin(FolderNode& node, const std::atomic<bool>& stopping) {
    auto lock = lockQuickly(mutex_);
    if (!node.handle && reopen(node, lock, stopping).outcome != Outcome::Opened) return kNoFolder;
    ++node.pins;
    return node.handle.get();
}

void OpenFolders::unpinned(FolderNode& node) {
    const auto lock = lockQuickly(mutex_);
    unpin(node);
}

// ---- lock held ----

// Counts a handle about to be opened, first closing kept parents beyond the budget.
void OpenFolders::reserve() {
    while (open_ >= budget_ && closeShallowest()) {
    }
    ++open_;
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

// Waits for another thread to close a handle, or a millisecond: handles held outside the walk
// give no notice when they are closed. False after so many tries that the folder at hand is given
// up.
bool OpenFolders::awaitHandle(std::unique_lock<std::mutex>& lock, int attempt) {
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
    --open_;
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
