// The folder walk: depth first, pre-order, one root at a time.
//
// The consumer (the window's own thread) moves through the folders in exactly the order of a
// single-threaded walk; worker threads open and list the folders it will need next, nearest first,
// and match and size their files. Memory is O(depth) plus a bounded window of folders listed ahead.
// Every folder is opened relative to its parent's open handle without following links; a folder
// whose handle had to be closed is reopened from its nearest open ancestor one name at a time, and
// each step must still be the folder first seen. Folders on another mount than the root's, links,
// and folders whose names begin with "." are never entered.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "search/listing.h"
#include "search/name_pattern.h"
#include "search/platform.h"

namespace quarvex {

// The matching files of one folder, in listing order.
class FolderFiles {
  public:
    struct File {
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        std::uint64_t size;
        bool sized;  // false when the size could not be read
    };
    void add(std::string_view name, std::uint64_t size, bool sized) {
        files_.push_back({static_cast<std::uint32_t>(names_.size()),
                          static_cast<std::uint32_t>(name.size()), size, sized});
        names_.append(name);
    }
    std::size_t size() const { return files_.size(); }
    const File& operator[](std::size_t i) const { return files_[i]; }
    std::string_view name(const File& f) const {
        return std::string_view(names_).substr(f.nameOffset, f.nameLength);
    }
    std::size_t bytes() const { return names_.size() + files_.size() * sizeof(File); }

  private:
    std::string names_;
    std::vector<File> files_;
};

// A lock for the walk's short critical sections, a few pointer moves long: it spins a little
// before it sleeps, since three threads meet at it once a folder each and a sleep costs a system
// call each way. The sleep is a mutex and a condition, which every platform's library has right
// (GCC 12's atomic wait can miss a wake-up where there is no futex).
class ShortLock {
  public:
    void lock() {
        for (int spin = 0; spin < 200; ++spin)
            if (state_.load(std::memory_order_relaxed) == 0 && try_lock()) return;
        // The holder may have lost its core to a third thread: let it run before sleeping.
        for (int turn = 0; turn < 16; ++turn) {
            std::this_thread::yield();
            if (state_.load(std::memory_order_relaxed) == 0 && try_lock()) return;
        }
        std::unique_lock sleep(sleepMutex_);
        ++sleepers_;  // seen by unlock() before, or else this sees its release
        wake_.wait(sleep, [this] { return try_lock(); });
        --sleepers_;
    }
    bool try_lock() {
        int expected = 0;
        return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire);
    }
    void unlock() {
        state_.store(0, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) != 0) {
            std::lock_guard sleep(sleepMutex_);
            wake_.notify_one();
        }
    }

  private:
    std::atomic<int> state_{0};
    std::atomic<int> sleepers_{0};
    std::mutex sleepMutex_;
    std::condition_variable wake_;
};

class Walk {
  public:
    // Run by the consumer while it waits for a worker, every few milliseconds; returning false
    // stops the walk.
    using WaitHook = std::function<bool()>;

    // `workers` threads list ahead of the consumer; 0 makes a plain single-threaded walk.
    Walk(Platform& platform, const NamePattern& pattern, unsigned workers);
    ~Walk();
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // Begins at `root`, a path that ends in the separator.
    void start(const std::string& root);
    // Moves to the next folder in pre-order. False when the walk is over or was stopped.
    bool advance(const WaitHook& wait);
    // The folder at hand, ending in the separator. The walk's one path buffer: it changes with
    // the next advance().
    const std::string& path() const { return path_; }
    // How much of path() the last advance() kept: the rest is new. Callers that follow the path
    // in a buffer of their own update it by this much, whatever the depth.
    std::size_t keptLength() const { return kept_; }
    // The matching files of the folder at hand once it is listed; nullptr when it could not be
    // opened, holds none, or the walk was stopped while waiting.
    const FolderFiles* files(const WaitHook& wait);
    // Ends the walk: the workers stop at once and are joined.
    void stop();

    // The number of workers a walk gets by default: one per core.
    static unsigned defaultWorkers();

    enum class State : std::uint8_t;

  private:
    struct Node;
    struct Worker;
    struct Found;

    Node* makeNode(Node* parent, std::string_view name);
    void destroy(Node* node);
    void freeSubtree(Node* node);
    // Workers and the consumer alike (lock held unless said otherwise).
    Node* takeWork(std::unique_lock<ShortLock>& lock);
    bool farEnoughAhead() const;
    void process(Node* node, Worker& worker, std::unique_lock<ShortLock>& lock);
    bool ensureParentOpen(Node* parent, std::unique_lock<ShortLock>& lock);
    Found list(Node* node, Worker& worker);  // no lock
    void publish(Node* node, const Found& found);
    void releaseParent(Node* parent);
    void closeHandle(Node* node);
    bool makeRoom();
    bool awaitClosedHandle(std::unique_lock<ShortLock>& lock, int attempt);
    void keepAsParent(Node* node);
    void pushWork(Node* first);
    void unlinkWork(Node* node);
    void workerLoop(Worker& worker);
    // The consumer only, no lock.
    bool openRoot();
    std::optional<State> waitFor(Node* node, const WaitHook& wait);
    void leave(Node* node);
    void discard(Node* node);

    Platform& platform_;
    const NamePattern& pattern_;
    const unsigned workerCount_;

    ShortLock mutex_;  // guards what follows, but for the atomics
    std::condition_variable_any workAvailable_;
    std::condition_variable_any progress_;
    std::condition_variable_any handleClosed_;
    std::mutex reopenMutex_;  // one reopening walk at a time

    std::size_t budget_ = 0;  // folders that may be open at once
    std::atomic<bool> stopping_{false};
    Node* root_ = nullptr;
    FolderIdentity rootIdentity_;
    Node* workTop_ = nullptr;     // folders waiting to be opened, the nearest first
    Node* waitingFor_ = nullptr;  // the folder the consumer waits for
    std::size_t idleWorkers_ = 0;
    bool workersStarted_ = false;
    std::atomic<std::size_t> listedAhead_{0};  // listed and not yet consumed
    std::atomic<std::size_t> bytesAhead_{0};
    std::atomic<bool> held_{false};  // a worker waits because the walk is far enough ahead
    std::size_t openHandles_ = 0;
    std::vector<Node*> openParents_;  // open for their subfolders' sake; each knows its place

    // The consumer's.
    Node* current_ = nullptr;
    bool finished_ = false;
    std::string path_;
    std::size_t kept_ = 0;

    std::vector<std::thread> threads_;
    std::vector<Worker*> workers_;
};

}  // namespace quarvex
