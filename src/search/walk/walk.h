// The folder walk: depth first, pre-order, one root at a time.
//
// The consumer (the window's own thread) moves through the folders in exactly the order of a
// single-threaded walk; worker threads read the folders it will need next, nearest first, and
// match and size their files. Each folder is read from one of two sources: a kept listing that
// a ListingSource (the listing store) vouches for, or the disk, where every folder is opened
// relative to its parent's open handle without following links (search/walk/open_folders.h
// keeps the handles). Either way the walk gets a FolderListing and applies its one rule to each
// entry (useOf): a match, a subfolder to enter, or nothing. Folders on another mount than the
// root's, links, and folders whose names begin with "." are never entered. A ListingRecorder
// is told of every folder in pre-order, with what was read of it from the disk. Where the source
// vouches for a whole subtree (Answer::whole), the consumer reads it from memory with no node
// per folder: a frame per level on its way down (frames_), each entry decided by the same rule
// as it stands for entries with nothing to describe (matchWhole); the recorder hears of its top
// and of a folder found changed only.
//
// Guarantees:
// - Output: the consumer sees the folders, their outcomes and their matches in the same order and
//   with the same contents at every thread count, every handle budget and from either source;
//   only what changes on disk while the walk runs can differ, as between two single-threaded
//   walks.
// - Memory: O(depth) nodes on the way down plus a window of at most kMaxListedAhead folders (or
//   kMaxBytesAhead of listings and matches) read ahead of the consumer; nothing recurses.
// - Stop: a stop reaches every thread at once. Workers check it at every entry they read and
//   before every open; the consumer's wait ends at the next pump tick (5 ms) or at once when the
//   wait hook says stop. Threads are joined by stop() or the destructor, before the report.
// - Threads: the walk starts one worker per core (at most the most it may use) once a folder is
//   to be read from the disk, and adds more while folders take long to read (a cold disk, a
//   network share), up to that most, and never more than the handle budget carries.
//
// Liveness, the rules that keep the walk from waiting for good:
// - L1. A Pending subfolder that publish() keeps off the frontier (offered to the consumer, which
//   is about to need it) is the consumer's alone: no worker can see it, and the consumer claims
//   it when it comes to it, in waitFor(). So is every folder not read from the disk (answered
//   from a kept listing, or known without reading): it never joins the frontier, and the
//   consumer claims and reads it without the walk lock, taking the lock only to publish
//   subfolders that are to be read from the disk.
// - L2. What publish() counts as read ahead (listedAhead_, bytesAhead_), leave() takes off, by
//   the amount counted, whatever became of the folder's listing since (a recorder took it). A
//   folder the consumer reads without the lock as it comes to it is not counted.
// - L3. Workers held because the walk is far enough ahead are let go only when both counts are
//   under their marks (roomAgain()), and all of them at once; a worker checks for room after it
//   counted itself held, so the consumer, which checks held_ after it took a folder off the
//   counts, cannot miss it.
// - L4. A worker that finds no Pending folder sleeps only after it counted itself idle under the
//   walk lock; every publish that adds Pending folders wakes as many idle workers.
//
// Who touches what. A node is made by the thread that reads its parent and becomes visible to
// other threads only when that listing is published (under the walk's lock, with the parent's
// final state stored with release). "Claimer" is the thread that moved a node from Pending to
// Claimed, under the walk's lock.
//
//   FolderNode field      | written by                   | when, under which lock
//   ----------------------+------------------------------+-------------------------------------
//   parent, depth, name,  | the parent's claimer         | before publishing; never again
//     nextSibling, entry, |                              |
//     kept, keptListing,  |                              |
//     known               |                              |
//   state                 | Pending->Claimed: any thread | walk lock (none for a folder not
//                         |                              |   read from the disk: L1)
//                         | ->final: the claimer         | walk lock, release store (as above);
//                         |                              |   final states never change
//   onWorkList, links.work| any thread                   | walk lock, while Pending or Claimed
//                         |                              |   (the frontier keeps Claimed ones)
//   links.listed / error, | the claimer, then            | before the final state (no lock);
//     watchKey            |   the consumer               |   the consumer frees matches and
//                         |                              |   consumed children, no lock
//   handle                | the claimer while it opens   | no lock; after OpenFolders::listed()
//                         |   and reads the folder       |   the OpenFolders lock only
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
//   spareNodes_,          | none   | the consumer's alone: memory of nodes and files it left,
//     spareFiles_         |        |   used again for the kept listings only it reads (L1)
//   frames_, inFrame_,    | none   | the consumer's alone: the whole kept subtree it reads
//     frameEntries_       |        |   below current_ (L1)
//   held_                 | walk   | workers waiting for the window to drain (atomic: the
//                         |        |   consumer reads it without the lock first)
//   roomGeneration_,      | walk   | bumped when held workers are let go; how often one slept,
//     roomWaits_, holds_  |        |   how often one found the walk far enough ahead
//   threads_, workers_,   | walk   | started workers (any thread may start more) and what the
//     workerLimit_        |        |   budget carries
//   lastUsage_, usage     | walk   | the last look at the process's usage; foldersSlow_ its
//     times, foldersSlow_ |        |   verdict
//   listedAhead_,         | atomic | folders read and the bytes of their listings and matches
//     bytesAhead_         |        |   not yet consumed
//   stopping_             | atomic | set once, never cleared
#pragma once

#include <atomic>
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

#include "search/os/platform.h"
#include "search/text/name_pattern.h"
#include "search/walk/folder_listing.h"
#include "search/walk/folder_node.h"
#include "search/walk/folder_result.h"
#include "search/walk/kept_listings.h"
#include "search/walk/open_folders.h"

namespace quarvex {

// How a walk is set up.
struct WalkSetup {
    // Up to `workers` threads read ahead of the consumer; 0 or 1 makes a plain single-threaded
    // walk. It starts with `startWorkers` of them (0: one per core).
    unsigned workers = 0;
    unsigned startWorkers = 0;
    ListingSource* source = nullptr;      // kept listings that may stand for the disk's
    ListingRecorder* recorder = nullptr;  // told of the folders in pre-order (ListingRecorder)
    // Folders whose names begin with "." are entered: for a recorder that must hear of every
    // name a file gets. Such a walk shows no files.
    bool keepEverything = false;
    // Every file read from the disk is sized, dot files too, not only the matches: for a
    // recorder that keeps the listings for other patterns.
    bool sizeEverything = false;
};

class Walk {
  public:
    // Run while the walk waits, every few milliseconds, and at every entry of a folder the
    // consumer reads itself; returning false stops the walk.
    using WaitHook = std::function<bool()>;

    Walk(Platform& platform, const NamePattern& pattern, const WalkSetup& setup);
    ~Walk();
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // Begins at `root`, a path that ends in the separator.
    void start(const std::string& root);
    // Moves to the next folder in pre-order, whether it will be entered or not. False when the
    // walk is over or was stopped.
    bool advance(const WaitHook& wait);
    // The folder at hand, ending in the separator; the walk's one path buffer, which changes
    // with the next advance(). Callers that follow the path in a buffer of their own update it
    // by keptLength(): how much of it the last advance() kept.
    const std::string& path() const { return path_; }
    std::size_t keptLength() const { return kept_; }
    // What became of the folder at hand, once known; nothing when the walk was stopped while
    // waiting. The files stay valid until the next advance().
    std::optional<FolderResult> result(const WaitHook& wait);
    // Ends the walk: every thread stops at once; the workers are joined.
    void stop();
    // Whether the walk was stopped before its end.
    bool stopped() const { return stopping_ && !finished_; }
    // Whether it stopped because memory ran out while a folder was read.
    bool outOfMemory() const { return outOfMemory_; }

    // Workers started so far (they start as they are needed), how often one went to sleep
    // because the walk was far enough ahead, and how often one found it so: the work of
    // waiting, for tests to count.
    std::size_t workersStarted() const;
    std::size_t roomWaits() const { return roomWaits_.load(); }
    std::size_t holds() const { return holds_.load(); }
    // How often the consumer ran the wait hook after a wait of up to a pump tick.
    std::size_t ticks() const { return ticks_.load(); }
    // Folders and bytes counted as read ahead of the consumer: none once it has left them all.
    std::size_t listedAhead() const { return listedAhead_.load(); }
    std::size_t bytesAhead() const { return bytesAhead_.load(); }

    // The most workers a walk uses by default: enough to keep a cold disk busy.
    static unsigned defaultWorkers();
    // One per core: what a walk starts with.
    static unsigned cores();

  private:
    struct Worker;
    struct Found;
    // A folder of a whole kept subtree on the consumer's way down, read with no node.
    struct Frame {
        KeptFolder* kept = nullptr;
        const FolderListing* listing = nullptr;  // null: not kept as its parent said
        std::string_view name;
        std::uint64_t file = 0;
        std::uint32_t entry = 0;
        std::size_t subfolders = 0;  // where its subfolders' entries begin
    };

    void destroy(FolderNode* node);
    void recycle(FolderNode* node);
    void freeSubtree(FolderNode* node);
    // Workers and the consumer alike.
    void process(FolderNode* node, Worker& worker, std::unique_lock<std::mutex>& lock);
    FolderState readWhole(FolderNode& node, Worker& worker, Found& found);  // no lock
    FolderState read(FolderNode& node, Worker& worker, Found& found);
    std::unique_ptr<FolderListing> readDisk(FolderHandle handle, Worker& worker);
    void describeAhead(FolderHandle handle, const FolderListing& listing, Worker& worker);
    template <class Describe>
    void applyRule(FolderNode& node, const FolderListing& listing, FolderListing* fresh,
                   Describe&& describe, Worker& worker, Found& found);
    void addSubfolder(FolderNode& parent, std::string_view name, std::uint64_t file,
                      std::uint32_t entry, Worker& worker, Found& found);
    void take(FolderNode& node, const ListingSource::Answer& kept);
    void readWholeSubtree(FolderNode& node);
    void readFrame(const Frame& frame, FolderFiles& files);
    void matchWhole(const FolderListing& listing, FolderFiles& files);
    bool nextInWhole();
    void lookAhead();
    void leaveFrame();
    bool pump(Worker& worker);
    void publish(FolderNode* node, FolderState state, Found& found,
                 bool byConsumer);  // walk lock held
    void settle(FolderNode* node, FolderState state, Found& found, bool ahead);
    void insertWork(FolderNode* first, FolderNode* at);
    FolderNode* chainWork(FolderNode* first, FolderNode*& last);
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

    Platform& platform_;
    const NamePattern& pattern_;
    const unsigned mostWorkers_;
    const unsigned firstWorkers_;
    ListingSource* const source_;
    ListingRecorder* const recorder_;
    const bool keepEverything_;
    const bool sizeEverything_;
    bool sizesAtUse_ = false;  // the source's, taken once at the start
    bool wholeRead_ = false;   // whole kept subtrees are read with no nodes
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
    std::atomic<std::size_t> roomWaits_{0};
    std::atomic<std::size_t> holds_{0};  // read without the lock: a test's watchdog reads it
    unsigned workerLimit_ = 0;           // what the handle budget carries, at most mostWorkers_
    bool workersWanted_ = false;  // a folder was to be read from the disk: workers have started
    std::vector<std::thread> threads_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::atomic<std::size_t> listedAhead_{0};
    std::atomic<std::size_t> bytesAhead_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> ticks_{0};
    std::atomic<bool> outOfMemory_{false};

    ProcessUsage lastUsage_;  // at the last look whether folders are slow to read
    std::uint64_t lastUsageTime_ = 0;
    std::uint64_t nextUsageLook_ = 0;

    // The consumer's.
    std::unique_ptr<Worker> self_;
    std::vector<void*> spareNodes_;  // the memory of nodes it left, for small names
    std::vector<std::unique_ptr<FolderFiles>> spareFiles_;
    FolderNode* root_ = nullptr;
    FolderNode* current_ = nullptr;
    bool finished_ = false;
    // The whole kept subtree at hand, below current_: its frames, the entries of the subfolders
    // still to come (each frame's last first), the matches of the deepest, and whether the
    // folder at hand is that frame rather than current_.
    std::vector<Frame> frames_;
    std::vector<std::uint32_t> frameEntries_;
    std::unique_ptr<FolderFiles> wholeFiles_;
    // What the source answered for the folder of the subtree that comes next, asked while the
    // one at hand is taken (parent null: none).
    KeptFolder* aheadParent_ = nullptr;
    std::uint32_t aheadEntry_ = 0;
    ListingSource::Answer ahead_;
    bool inFrame_ = false;
    std::string path_;
    std::size_t kept_ = 0;
};

}  // namespace quarvex
