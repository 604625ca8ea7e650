// The listing store: what the searches of a window (or of one quarvex-find --queries) listed,
// kept so that a later search of the same root answers from memory, as exact as a fresh walk at
// that moment.
//
// - The first search of a root walks it as always and keeps every folder's whole listing.
// - A folder is trusted only while change notification vouches for it: it was watched before it
//   was listed, and no change to it was told since. Where one watch covers the whole tree
//   (Windows), that holds from the first search on; where each folder needs a watch of its own
//   (Linux, where a watch costs more than listing the folder), a background pass watches the
//   kept folders one by one after the search and lists each again, reading every size.
// - Before every search the queued changes are taken in: a changed folder is listed again; a
//   folder moved, removed or changed in itself is dropped with everything below it; lost changes
//   (an overflowed queue, a mount anywhere) drop the whole tree, as does a root that is no
//   longer the folder kept.
// - A search answers from the store when only a few folders need listing again; otherwise it
//   walks afresh with all its threads and the background pass catches up afterwards.
// - Memory is bounded: the trees searched longest ago are dropped first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "search/walk/folder_files.h"
#include "search/text/name_pattern.h"
#include "search/os/platform.h"
#include "search/store/stored_folder.h"

namespace quarvex {

class StoreWalk;

// What is kept of one root.
struct StoredTree {
    std::string root;  // as searched, ending in the separator
    FolderIdentity identity;
    std::unique_ptr<TreeWatch> watch;
    StoredFolder* top = nullptr;  // owned
    std::size_t bytes = 0;
    std::uint64_t lastUsed = 0;
    // Counted at the store's generation `countedAt`: every folder, and those not trusted.
    std::uint64_t countedAt = UINT64_MAX;
    std::size_t folders = 0;
    std::size_t untrusted = 0;
};

class ListingStore {
  public:
    static constexpr std::size_t kDefaultMostBytes = std::size_t{256} << 20;

    explicit ListingStore(Platform& platform, std::size_t mostBytes = kDefaultMostBytes);
    ~ListingStore();
    ListingStore(const ListingStore&) = delete;
    ListingStore& operator=(const ListingStore&) = delete;

    // One search of one root, from its start to its end; background work waits meanwhile.
    class Search {
      public:
        ~Search();
        Search(const Search&) = delete;
        Search& operator=(const Search&) = delete;
        // A walk that answers from the store, or nothing: then the caller walks afresh, and
        // hands every folder to keep() when keeping() says so.
        std::unique_ptr<Walker> walker(const NamePattern& pattern);
        bool keeping() const { return keeping_; }
        // A fresh walk's folder, as advance() and result() gave it, in pre-order.
        void keep(const std::string& path, const FolderResult& result);
        // The walk ended; `whole`: it was not stopped.
        void end(bool whole);

      private:
        friend class ListingStore;
        Search(ListingStore& store, const std::string& root, const Walker::WaitHook& wait);

        ListingStore& store_;
        std::unique_lock<std::mutex> lock_;
        StoredTree* tree_ = nullptr;  // answers from it, or keeps into it
        bool keeping_ = false;
        bool ended_ = false;
        std::uint64_t generation_ = 0;  // the store's when the search began
        // What a fresh walk keeps, a stack of the folders along its path.
        std::unique_ptr<StoredTree> fresh_;
        std::vector<StoredFolder*> path_;
        std::vector<std::size_t> nextChild_;
    };
    // `wait` keeps the window answering while what changed is listed again.
    std::unique_ptr<Search> begin(const std::string& root, const Walker::WaitHook& wait) {
        return std::unique_ptr<Search>(new Search(*this, root, wait));
    }

    // For tests and the benchmark.
    std::size_t bytes() const;
    std::size_t folders() const;
    // Folders kept but not trusted (not yet watched, refused a watch, or changed): those a
    // search would list again. Waits for background work to pause.
    std::size_t untrusted(const std::string& root);
    // Waits until background work has nothing left to do (tests, the benchmark).
    void settle();

  private:
    friend class StoreWalk;

    // The store's lock held.
    StoredTree* find(const std::string& root);
    void dropTree(StoredTree* tree);
    bool apply(StoredTree& tree);
    std::uint64_t newKey();
    void forget(StoredTree& tree, StoredFolder& folder);
    void freeFolders(StoredTree& tree, StoredFolder* top);
    void replace(StoredTree& tree, StoredFolder* parent, StoredFolder*& slot, StoredFolder* fresh);
    void drop(StoredTree& tree, StoredFolder* folder);
    std::size_t untrustedIn(const StoredTree& tree, bool verifying) const;
    // False when `wait` asked to stop first.
    bool verify(StoredTree& tree, bool refresh, const std::atomic<bool>* interrupt,
                const Walker::WaitHook& wait);
    void markNewNames(StoredTree& tree);
    void makeRoom(const StoredTree* keep);
    std::size_t measure(const StoredTree& tree) const;
    void verifyLoop();
    void count(StoredTree& tree);

    Platform& platform_;
    const std::size_t mostBytes_;
    mutable std::mutex mutex_;  // guards all below; a search holds it from begin to end
    std::condition_variable wake_;
    std::vector<std::unique_ptr<StoredTree>> trees_;
    std::unordered_map<std::uint64_t, StoredFolder*> byKey_;
    std::uint64_t nextKey_ = 1;
    std::uint64_t generation_ = 0;         // counts every change to what is kept
    std::uint64_t searches_ = 0;           // counts the searches begun
    std::vector<std::uint64_t> newNames_;  // file numbers found with more names since the last look
    std::uint64_t clock_ = 0;
    bool idle_ = true;  // background work found nothing to do at its last look
    bool quitting_ = false;
    std::atomic<bool> searching_{false};  // a search waits for the lock: background work yields
    std::thread verifier_;
};

}  // namespace quarvex
