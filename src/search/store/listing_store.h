// The listing store: what the searches of a window (or of one quarvex-find --queries) read, kept
// so that a later search of the same root reads from memory what has not changed since, as exact
// as a fresh walk at that moment.
//
// - It sits beside the walk: a search's walk asks it, folder by folder, for a kept listing that
//   stands for the disk's (TreeSource as a ListingSource), reads the rest from the disk with its
//   threads, and tells it what it read (TreeSource as a ListingRecorder). The trees themselves
//   are StoredTrees'.
// - A kept folder is trusted only while change notification vouches for it: it was watched before
//   it was read, and no change to it was told since. Where one watch covers the whole tree
//   (Windows), that holds from the first search on; where each folder needs a watch of its own
//   (Linux, where a watch costs more than reading the folder), the first search keeps nothing,
//   and a background pass (the same walk, no files shown) reads the tree under watches made
//   first, every size read; until then searches read from the disk what it has not kept.
// - Before every search the changes told are taken in. When every kept folder is watched, what
//   changed is read again before anything is answered (a refresh), so that what it finds (a file
//   with another name) is known first; while some are not (the pass not done, the system's
//   limit), sizes kept are read again at every use, since a name could be added unseen there.
// - Memory is bounded, for the whole process: the trees searched longest ago go first, a tree
//   that alone passes the bound stops being kept as it does, and what is freed goes back to the
//   system. A tree not searched for a while goes too, with its watches.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "search/os/platform.h"
#include "search/store/stored_trees.h"
#include "search/store/tree_source.h"

namespace quarvex {

class ListingStore {
  public:
    static constexpr std::size_t kDefaultMostBytes = std::size_t{256} << 20;
    // A tree not searched for this long (microseconds) gives its watches and memory back.
    static constexpr std::uint64_t kDefaultIdleMicroseconds = std::uint64_t{600} * 1'000'000;
    // Returns false when the search is to stop; runs while the store's own walks wait.
    using WaitHook = std::function<bool()>;

    explicit ListingStore(Platform& platform, std::size_t mostBytes = kDefaultMostBytes,
                          std::uint64_t idleMicroseconds = kDefaultIdleMicroseconds);
    ~ListingStore();
    ListingStore(const ListingStore&) = delete;
    ListingStore& operator=(const ListingStore&) = delete;

    // One search of one root, from its start to its end: background work waits meanwhile.
    class Search {
      public:
        ~Search() { end(false); }
        Search(const Search&) = delete;
        Search& operator=(const Search&) = delete;
        // What the search's walk reads from memory, and keeps what it reads from the disk; null
        // where nothing is kept of the root, nor will be.
        TreeSource* view() { return view_.get(); }
        // The walk ended; `whole`: it was not stopped.
        void end(bool whole);

      private:
        friend class ListingStore;
        Search(ListingStore& store, const std::string& root, unsigned workers,
               unsigned startWorkers, const WaitHook& wait);

        ListingStore& store_;
        std::unique_lock<std::mutex> lock_;
        StoredTree* tree_ = nullptr;
        bool newTree_ = false;
        bool ended_ = false;
        std::uint64_t generation_ = 0;  // the trees' when the search began
        std::size_t bytesAtBegin_ = 0;
        std::unique_ptr<TreeSource> view_;
    };
    // `workers`, `startWorkers`: the search's threads, which the store's own walks use too.
    // `wait` keeps the window answering while what changed is read again first.
    std::unique_ptr<Search> begin(const std::string& root, unsigned workers, unsigned startWorkers,
                                  const WaitHook& wait);

    // Memory ran out: every tree goes, and its memory back to the system.
    void giveUp();

    // For tests and the benchmark.
    std::size_t mostBytes() const { return trees_.mostBytes(); }
    std::size_t bytes() const;
    std::size_t peakBytes() const;
    std::size_t folders() const;
    // Waits until background work has nothing left to do.
    void settle();

  private:
    // A walk over a kept tree that reads again what it needs; false when `goOn` stopped it.
    // The tree may be gone after it.
    bool walkTree(StoredTree& tree, TreeSource::Walking walking, const WaitHook& goOn);
    void dropIdle(std::uint64_t since, const StoredTree* keep);
    void dropEverything();
    void passLoop();
    void passStep(const WaitHook& goOn);  // one walk of the background work, or the settling

    Platform& platform_;
    mutable std::mutex mutex_;  // guards all below; a search holds it from begin to end
    std::condition_variable wake_;
    StoredTrees trees_;
    const std::uint64_t idleMicroseconds_;
    unsigned workers_ = 0;
    unsigned startWorkers_ = 0;
    std::uint64_t searches_ = 0;  // counts the searches begun
    std::uint64_t clock_ = 0;
    bool idle_ = true;  // background work found nothing to do at its last look
    bool quitting_ = false;
    std::atomic<bool> searching_{false};  // a search waits for the lock: background work yields
    std::thread pass_;
};

}  // namespace quarvex
