// The folder walk: depth first, pre-order, one root at a time.
//
// The consumer (the window's own thread) moves through the folders in exactly the order of a
// single-threaded walk; worker threads open and list the folders it will need next, nearest first,
// and match and size their files. Every folder is opened relative to its parent's open handle
// without following links (search/open_folders.h keeps the handles). Folders on another mount
// than the root's, links, and folders whose names begin with "." are never entered.
//
// Guarantees:
// - Output: the consumer sees the folders, their outcomes and their matches in the same order and
//   with the same contents at every thread count and every handle budget; only what changes on
//   disk while the walk runs can differ, as it would between two single-threaded walks.
// - Memory: O(depth) nodes on the way down plus a window of at most kMaxListedAhead folders (or
//   kMaxBytesAhead of matches) listed ahead of the consumer; nothing recurses, at any depth.
// - Stop: a stop reaches every thread at once. Workers check it at every entry they list and
//   before every open; the consumer's wait ends at the next pump tick (5 ms) or at once when the
//   wait hook says stop. Threads are joined by stop() or the destructor, before the report.
// - Threads: the walk starts one worker per core (at most the most it may use) and adds more while
//   the consumer waits for folders that take long to read (a cold disk, a network share), up to
//   that most, and never more than the handle budget carries.
//
// Who touches what. A node is made by the thread that lists its parent and becomes visible to
// other threads only when that listing is published (under the walk's lock, with the parent's
// final state stored with release). "Claimer" is the thread that moved a node from Pending to
// Claimed, under the walk's lock.
//
//   FolderNode field      | written by                   | when, under which lock
//   ----------------------+------------------------------+-------------------------------------
//   parent, depth, name,  | the parent's claimer         | before publishing; never again
//     nextSibling         |                              |
//   state                 | Pending->Claimed: any thread | walk lock
//                         | ->final: the claimer         | walk lock, release store; final
//                         |                              |   states never change
//   onWorkList, links.work| any thread                   | walk lock, while Pending or Claimed
//                         |                              |   (the frontier keeps Claimed ones)
//   links.listed / error  | the claimer, then            | before the final state (no lock);
//                         |   the consumer               |   the consumer frees matches and
//                         |                              |   consumed children, no lock
//   handle                | the claimer while it opens   | no lock; after OpenFolders::listed()
//                         |   and lists the folder       |   the OpenFolders lock only
//   file, identified      | the claimer (the parent's    | before OpenFolders::listed(); read
//                         |   claimer: the listed number)|   later by reopenings, never written
//   unopenedChildren,     | OpenFolders                  | OpenFolders lock
//     pins, openIndex,    |                              |
//     lost                |                              |
//
//   Shared counter        | lock   | meaning
//   ----------------------+--------+----------------------------------------------------------
//   frontier_             | walk   | Pending and Claimed nodes, in pre-order
//   pending_              | walk   | the Pending ones (atomic: a thread about to sleep reads it
//                         |        |   without the lock)
//   idle_, waitingFor_    | walk   | workers waiting for work; the node the consumer waits for
//   held_                 | walk   | workers waiting for the window to drain (atomic: the
//                         |        |   consumer reads it without the lock first)
//   roomGeneration_,      | walk   | bumped when held workers are let go; how often one slept
//     roomWaits_          |        |
//   threads_, workers_,   | walk   | started workers (any thread may start more) and what the
//     workerLimit_        |        |   budget carries
//   lastUsage_, usage     | walk   | the last look at the process's usage; foldersSlow_ its
//     times, foldersSlow_ |        |   verdict
//   listedAhead_,         | atomic | listed folders and their matches' bytes not yet consumed
//     bytesAhead_         |        |
//   stopping_             | atomic | set once, never cleared
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "search/walk/folder_files.h"
#include "search/walk/folder_node.h"
#include "search/os/listing.h"
#include "search/text/name_pattern.h"
#include "search/walk/open_folders.h"
#include "search/os/platform.h"

namespace quarvex {

class Walk : public Walker {
  public:
    // Up to `workers` threads list ahead of the consumer; 0 makes a plain single-threaded walk.
    // The walk starts with `startWorkers` of them (default: one per core).
    Walk(Platform& platform, const NamePattern& pattern, unsigned workers,
         unsigned startWorkers = 0);
    ~Walk() override;
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // Keeps each listed folder's whole listing in its files' record(), for the listing store.
    void keepListings() { keep_ = true; }
    // Begins at `root`, a path that ends in the separator.
    void start(const std::string& root);
    bool advance(const WaitHook& wait) override;
    // The walk's one path buffer. Callers that follow the path in a buffer of their own update
    // it by keptLength(), whatever the depth.
    const std::string& path() const override { return path_; }
    std::size_t keptLength() const override { return kept_; }
    std::optional<FolderResult> result(const WaitHook& wait) override;
    // Ends the walk: every thread stops at once; the workers are joined.
    void stop();

    // Workers started so far (they start as they are needed), and how often one went to sleep
    // because the walk was far enough ahead: the work of waiting, for tests to count.
    std::size_t workersStarted() const;
    std::size_t roomWaits() const;
    // The bytes counted as listed ahead of the consumer: none once it has left every folder.
    std::size_t bytesAhead() const { return bytesAhead_.load(); }

    // The most workers a walk uses by default: enough to keep a cold disk busy.
    static unsigned defaultWorkers();
    // One per core: what a walk starts with.
    static unsigned cores();

  private:
    struct Worker;
    struct Found;

    FolderNode* makeNode(FolderNode* parent, std::string_view name);
    void destroy(FolderNode* node);
    void freeSubtree(FolderNode* node);
    // Workers and the consumer alike.
    void process(FolderNode* node, Worker& worker, std::unique_lock<std::mutex>& lock);
    Found list(FolderNode& node, Worker& worker);  // no lock
    void publish(FolderNode* node, FolderState state, Found& found,
                 bool byConsumer);  // walk lock held
    void insertWork(FolderNode* first, FolderNode* at);
    void appendWork(FolderNode* first);
    FolderNode* chainWork(FolderNode* first);
    void unlinkWork(FolderNode* node);
    FolderNode* nearestPending() const;
    void claim(FolderNode* node);
    bool farEnoughAhead() const;
    bool roomAgain() const;
    void hold(std::unique_lock<std::mutex>& lock);
    void workerLoop(Worker& worker);
    void startWorkers(unsigned count);  // walk lock held
    void growIfSlow();                  // walk lock held
    void requestStop();
    // The consumer only.
    void openRoot();
    bool waitFor(FolderNode* node, const WaitHook& wait);
    void leave(FolderNode* node);
    void discard(FolderNode* node);

    Platform& platform_;
    const NamePattern& pattern_;
    const unsigned mostWorkers_;
    const unsigned firstWorkers_;
    bool keep_ = false;
    OpenFolders folders_;

    mutable std::mutex mutex_;           // the walk lock: guards what follows, but for the atomics
    std::condition_variable workAdded_;  // idle workers
    std::condition_variable roomAgain_;  // held workers
    std::condition_variable progress_;   // the consumer
    FolderNode* frontier_ = nullptr;     // Pending and Claimed folders, in pre-order
    // The Pending ones among them; written under the walk lock, read without it by a thread
    // deciding whether to sleep.
    std::atomic<std::size_t> pending_{0};
    bool foldersSlow_ = false;  // folders were slow to read at the last look
    FolderNode* waitingFor_ = nullptr;
    unsigned idle_ = 0;
    std::atomic<unsigned> held_{0};
    std::uint64_t roomGeneration_ = 0;
    std::size_t roomWaits_ = 0;
    unsigned workerLimit_ = 0;  // what the handle budget carries, at most mostWorkers_
    std::vector<std::thread> threads_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::atomic<std::size_t> listedAhead_{0};
    std::atomic<std::size_t> bytesAhead_{0};
    std::atomic<bool> stopping_{false};

    ProcessUsage lastUsage_;  // at the last look whether folders are slow to read
    std::chrono::steady_clock::time_point lastUsageTime_{};
    std::chrono::steady_clock::time_point nextUsageLook_{};

    // The consumer's.
    std::unique_ptr<Worker> self_;
    FolderNode* root_ = nullptr;
    FolderNode* current_ = nullptr;
    bool finished_ = false;
    std::string path_;
    std::size_t kept_ = 0;
};

}  // namespace quarvex
