// The trees the listing store keeps, one per root searched: their folders, the watches that
// vouch for them and the keys those watches tell changes by, what changes make of them, what is
// counted of them, and the memory bound, by which the trees searched longest ago go first.
// Walks reach them only through a TreeSource (search/store/tree_source.h). Not thread-safe but
// where said: the listing store's lock guards it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "search/os/platform.h"
#include "search/store/stored_folder.h"

namespace quarvex {

// What a tree holds that walks would read again.
struct TreeCounts {
    std::uint64_t at = UINT64_MAX;  // the trees' generation they were counted at
    std::size_t folders = 0;
    // Kept without a watch that vouches for it (see StoredFolder), and subfolders that could not
    // be entered: a file may get a name there unseen.
    std::size_t blind = 0;
    std::size_t toRead = 0;  // changed since they were read, or not kept where a walk enters
};

// What is kept of one root.
struct StoredTree {
    // As last searched (one folder may be spelt many ways), ending in the separator.
    std::string root;
    FolderIdentity identity;
    std::unique_ptr<TreeWatch> watch;
    StoredFolder* top = nullptr;             // owned
    std::size_t bytes = sizeof(StoredTree);  // kept up to date with every change
    std::uint64_t lastUsed = 0;        // the store's count of searches when it was last searched
    std::uint64_t lastSearchedAt = 0;  // the platform's clock then
    // The search count at which a whole pass for names (0), for sizes (1), left work undone.
    std::uint64_t passedAt[2] = {};
    // A file was written through a name its folder no longer holds: its other names, wherever
    // they are kept, were told nothing, so every kept size is read at use until a walk for sizes
    // has read them all again.
    bool sizesSuspect = false;
    TreeCounts counts;  // as last counted
    // The folders' listings laid out in the order a walk reads them, once the tree settled, so
    // that a search from memory reads one stream. A listing read again later lies elsewhere
    // until the next packing; what it took here stays counted until then.
    std::unique_ptr<std::byte[]> packed;
    std::size_t packedBytes = 0;
    std::uint64_t packedAt = UINT64_MAX;  // the trees' generation it was packed at
    // Where each folder needs a watch of its own, the pass after the first search keeps the
    // tree, not that search; until it has read it whole, searches read from the disk what it
    // has not kept yet, and every size again.
    bool pending = false;
};

// What a background walk reads again: a pass after a search reads what a watch can make
// trusted, names first; then the sizes of what it left unsized; a refresh before a search reads
// what changed, sizes and all, and tries again the subfolders that could not be entered.
enum class BackgroundWork : std::uint8_t { Pass, Sizes, Refresh };

class StoredTrees {
  public:
    explicit StoredTrees(std::size_t mostBytes) : mostBytes_(mostBytes) {}
    ~StoredTrees();
    StoredTrees(const StoredTrees&) = delete;
    StoredTrees& operator=(const StoredTrees&) = delete;

    // The tree of a root by its identity, whatever its spelling.
    StoredTree* find(const FolderIdentity& root);
    StoredTree& add(std::unique_ptr<StoredTree> tree);
    void drop(StoredTree& tree);
    const std::vector<std::unique_ptr<StoredTree>>& all() const { return trees_; }

    // Takes in the changes told since the last time: a folder whose entries changed is dirty; one
    // moved, removed or changed in itself goes with everything below it; a write through a name
    // its folder does not hold makes the tree's sizes suspect. False when changes were lost, or
    // nothing is left of a tree not pending: then the tree was dropped.
    bool apply(StoredTree& tree);
    // Every kept size is read at use, and again by the next walk for sizes.
    void suspectSizes(StoredTree& tree);

    // Watches. newKey() and watch() may be called by any of a walk's threads.
    std::uint64_t newKey() { return nextKey_++; }
    bool watch(StoredTree& tree, FolderHandle folder, std::string_view relativePath,
               std::uint64_t key);
    void unwatch(StoredTree& tree, std::uint64_t key);

    // Puts a fresh listing in `slot`, below `parent` (null for the root): what is kept of its
    // subfolders under the same name and file number stays, the rest of the old one goes. The
    // old one's watch goes on with the fresh one when `fresh->key` names it.
    StoredFolder* replace(StoredTree& tree, StoredFolder*& slot, StoredFolder* parent,
                          std::unique_ptr<StoredFolder> fresh);
    // Takes what `slot` keeps out of the tree, with everything below it.
    void drop(StoredTree& tree, StoredFolder*& slot);

    // Files found with more than one name since the last markNewNames(): every kept entry with
    // that file number is sized at every use, wherever it is in the tree.
    void noteNewNames(const StoredFolder& fresh, const StoredFolder* old);
    void markNewNames(StoredTree& tree);

    // Lays the tree's folders out in one block, in pre-order, when something changed since the
    // last time and the block fits the bound beside what is kept. `freed` is called after every
    // few megabytes moved, to give back to the system what the moved folders took.
    void pack(StoredTree& tree, const std::function<void()>& freed);

    // Counted again only when something changed since.
    const TreeCounts& count(StoredTree& tree);
    // Something of a tree changed that counts may tell.
    void changed() { ++generation_; }
    // Marks each folder that has something below it a background walk would read again;
    // whether the tree has anything at all.
    bool markWork(StoredTree& tree, BackgroundWork work);
    // Whether a background walk of this kind reads `folder` itself, or a subfolder not kept.
    static bool reads(const StoredFolder& folder, BackgroundWork work);
    static bool reads(const StoredChild& slot, BackgroundWork work);

    // Whether all trees fit the bound; whether `bytes` more would.
    bool fit() const { return bytes_ <= mostBytes_; }
    bool roomFor(std::size_t bytes) const {
        return bytes <= mostBytes_ - std::min(bytes_, mostBytes_);
    }
    std::size_t mostBytes() const { return mostBytes_; }
    // What a tree that did not fit beside the others would take whole, by its root's identity
    // (0 when not known): the next search of it makes room for it first, unless it is too big
    // for the bound alone.
    void remember(const FolderIdentity& root, std::size_t bytes);
    std::size_t wanted(const FolderIdentity& root) const;
    bool tooBig(std::size_t bytes) const { return bytes > mostBytes_; }
    // The trees searched longest ago go until `bytes` more fit.
    void makeRoom(std::size_t bytes);
    // Drops the trees last searched before `since` (the platform's clock), but `keep`.
    void dropIdle(std::uint64_t since, const StoredTree* keep);
    // What all trees hold, and the most they held at once.
    std::size_t bytes() const { return bytes_; }
    std::size_t peakBytes() const { return peakBytes_; }
    std::size_t folders() const;

    // Counts every change to what is kept.
    std::uint64_t generation() const { return generation_; }

  private:
    // `unwatching`: each folder's watch is given back; not where the tree's whole watch goes.
    void freeBelow(StoredTree& tree, StoredFolder* top, bool unwatching = true);
    void account(StoredTree& tree, std::ptrdiff_t bytes);

    const std::size_t mostBytes_;
    std::vector<std::unique_ptr<StoredTree>> trees_;
    std::unordered_map<std::uint64_t, StoredFolder*> byKey_;
    std::atomic<std::uint64_t> nextKey_{1};
    std::mutex watchMutex_;  // watch() comes from many threads; the tree watches need not be
    std::vector<std::uint64_t> newNames_;
    std::vector<std::pair<FolderIdentity, std::size_t>> wanted_;
    std::uint64_t generation_ = 0;
    std::size_t bytes_ = 0;
    std::size_t peakBytes_ = 0;
};

}  // namespace quarvex
