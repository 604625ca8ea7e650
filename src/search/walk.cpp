#include "search/walk.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <new>

namespace quarvex {

// A folder goes from Pending to Claimed to one of the last three, which are final: once a thread
// has seen a final state (an acquire load), what the listing filled in is there for it to read.
enum class Walk::State : std::uint8_t {
    Pending,     // on the work list, waiting to be opened
    Claimed,     // a thread is opening and listing it
    Listed,      // its files and subfolders are known
    Unreadable,  // could not be opened or reached again: contributes nothing
    Excluded,    // a link or another mount by the time it was opened: no subfolder at all
};

namespace {

// Folders listed ahead of the consumer, and the bytes of their matches, at most: caps memory.
constexpr std::size_t kMaxListedAhead = 2048;
constexpr std::size_t kMaxBytesAhead = std::size_t{4} << 20;
// How often the consumer runs its wait hook while it waits for the workers.
constexpr auto kWaitSlice = std::chrono::milliseconds(5);
// A walk with fewer folders allowed open than this runs on the consumer alone.
constexpr std::size_t kLeastBudgetForWorkers = 16;
// Tries to open a folder while the process is out of handles, a millisecond apart at most.
constexpr int kOpenAttempts = 2000;
constexpr std::uint32_t kNotKept = UINT32_MAX;

}  // namespace

// Small, since the walk holds one for every level of its path, however deep.
struct Walk::Node {
    Node* parent = nullptr;
    Node* nextSibling = nullptr;
    // Its neighbours on the work list while Pending; once Listed, its subfolders (in listing
    // order, freed as consumed) and its matches (until the consumer moves on). Never both.
    union {
        struct {
            Node* prev;
            Node* next;
        } work;
        struct {
            Node* firstChild;
            FolderFiles* files;
        } listed;
    } links{};
    FolderHandle handle = kNoFolder;
    std::uint64_t volume = 0;  // identity when first opened
    std::uint64_t file = 0;
    std::uint32_t depth = 0;
    std::uint32_t unopenedChildren = 0;  // the handle is kept while some are left
    std::uint32_t openIndex = kNotKept;  // its place in openParents_
    std::uint16_t pins = 0;              // threads opening a child relative to the handle
    std::uint16_t nameLength = 0;
    std::atomic<State> state{State::Pending};
    bool onWorkList = false;
    bool lost = false;  // could not be reached again: the rest of its subfolders are not

    char* name() { return reinterpret_cast<char*>(this + 1); }
    std::string_view nameView() { return {name(), nameLength}; }
    bool isListed() const { return state.load(std::memory_order_relaxed) == State::Listed; }
    Node* firstChild() const { return isListed() ? links.listed.firstChild : nullptr; }
};

struct Walk::Worker {
    Listing listing;
    // The consumer's: keeps the window answering while it lists a large folder itself.
    const WaitHook* pump = nullptr;
};

// What listing a folder found.
struct Walk::Found {
    FolderFiles* files = nullptr;
    Node* first = nullptr;
    std::uint32_t subfolders = 0;
};

unsigned Walk::defaultWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

Walk::Walk(Platform& platform, const NamePattern& pattern, unsigned workers)
    : platform_(platform), pattern_(pattern), workerCount_(workers) {}

Walk::~Walk() {
    stop();
    std::lock_guard lock(mutex_);
    if (root_ != nullptr) freeSubtree(root_);
    for (Worker* w : workers_) delete w;
}

Walk::Node* Walk::makeNode(Node* parent, std::string_view name) {
    void* memory = ::operator new(sizeof(Node) + name.size());
    Node* node = new (memory) Node;
    node->parent = parent;
    node->depth = parent != nullptr ? parent->depth + 1 : 0;
    node->nameLength = static_cast<std::uint16_t>(name.size());
    if (!name.empty()) std::memcpy(node->name(), name.data(), name.size());
    return node;
}

void Walk::destroy(Node* node) {
    if (node->isListed()) delete node->links.listed.files;
    node->~Node();
    ::operator delete(node);
}

// Iterative, so that no depth of tree can exhaust the stack. Lock held, or no worker left.
void Walk::freeSubtree(Node* top) {
    Node* node = top;
    for (;;) {
        if (Node* child = node->firstChild()) {
            node = child;
            continue;
        }
        Node* const parent = node->parent;
        Node* const sibling = node->nextSibling;
        const bool last = node == top;
        if (node->onWorkList) unlinkWork(node);
        if (node->handle != kNoFolder) closeHandle(node);
        destroy(node);
        if (last) return;
        parent->links.listed.firstChild = sibling;
        node = sibling != nullptr ? sibling : parent;
    }
}

void Walk::start(const std::string& root) {
    path_ = root;
    root_ = makeNode(nullptr, {});
    root_->state = State::Claimed;
    current_ = nullptr;
    workers_.push_back(new Worker);  // the consumer's own scratch, workers_[0]
    budget_ = platform_.folderHandleBudget();
}

void Walk::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    workAvailable_.notify_all();
    progress_.notify_all();
    handleClosed_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
}

// ---- the work list: folders waiting to be opened, the nearest in pre-order on top ----

void Walk::pushWork(Node* first) {
    Node* last = first;
    for (Node* n = first; n != nullptr; n = n->nextSibling) {
        n->onWorkList = true;
        n->links.work.next = n->nextSibling;
        n->links.work.prev = n == first ? nullptr : last;
        last = n;
    }
    last->links.work.next = workTop_;
    if (workTop_ != nullptr) workTop_->links.work.prev = last;
    workTop_ = first;
}

void Walk::unlinkWork(Node* node) {
    Node* const prev = node->links.work.prev;
    Node* const next = node->links.work.next;
    if (prev != nullptr)
        prev->links.work.next = next;
    else
        workTop_ = next;
    if (next != nullptr) next->links.work.prev = prev;
    node->links.work = {nullptr, nullptr};
    node->onWorkList = false;
}

bool Walk::farEnoughAhead() const {
    return listedAhead_ >= kMaxListedAhead || bytesAhead_ >= kMaxBytesAhead;
}

// The next folder for a worker, claimed; nullptr when the walk stops. Lock held.
Walk::Node* Walk::takeWork(std::unique_lock<ShortLock>& lock) {
    for (;;) {
        if (stopping_) return nullptr;
        if (workTop_ != nullptr) {
            // Announced before the check, so the consumer, which checks after taking a folder
            // off the count, cannot miss a worker that is about to wait.
            held_ = true;
            if (!farEnoughAhead()) {
                held_ = false;
                Node* node = workTop_;
                unlinkWork(node);
                node->state.store(State::Claimed, std::memory_order_relaxed);
                return node;
            }
            workAvailable_.wait_for(lock, std::chrono::milliseconds(20));
            continue;
        }
        ++idleWorkers_;
        workAvailable_.wait(lock);
        --idleWorkers_;
    }
}

// ---- handles: lock held ----

void Walk::closeHandle(Node* node) {
    if (node->openIndex != kNotKept) {
        Node* moved = openParents_.back();
        openParents_[node->openIndex] = moved;
        moved->openIndex = node->openIndex;
        openParents_.pop_back();
        node->openIndex = kNotKept;
    }
    platform_.closeFolder(node->handle);
    node->handle = kNoFolder;
    --openHandles_;
    handleClosed_.notify_all();
}

void Walk::keepAsParent(Node* node) {
    if (node == root_ || node->openIndex != kNotKept) return;
    node->openIndex = static_cast<std::uint32_t>(openParents_.size());
    openParents_.push_back(node);
}

// Closes the open parent needed last: the shallowest one no thread is using. Rare (only beyond
// the budget), so a look at each is fine.
bool Walk::makeRoom() {
    Node* shallowest = nullptr;
    for (Node* node : openParents_)
        if (node->pins == 0 && (shallowest == nullptr || node->depth < shallowest->depth))
            shallowest = node;
    if (shallowest == nullptr) return false;
    closeHandle(shallowest);
    return true;
}

// Waits a moment for another thread to close a handle; false after so many tries that the
// folder at hand is given up.
bool Walk::awaitClosedHandle(std::unique_lock<ShortLock>& lock, int attempt) {
    if (attempt >= kOpenAttempts || stopping_) return false;
    handleClosed_.wait_for(lock, std::chrono::milliseconds(1));
    return true;
}

// A child of `parent` has been opened and listed, or given up on.
void Walk::releaseParent(Node* parent) {
    --parent->unopenedChildren;
    if (parent->unopenedChildren == 0 && parent->pins == 0 && parent != root_ &&
        parent->handle != kNoFolder)
        closeHandle(parent);
}

// Reopens a parent whose handle was closed to stay within the budget: from its nearest open
// ancestor, one name at a time, each step checked to be the folder first seen.
bool Walk::ensureParentOpen(Node* parent, std::unique_lock<ShortLock>& lock) {
    if (parent->handle != kNoFolder) return true;
    if (parent->lost) return false;

    lock.unlock();
    std::unique_lock reopening(reopenMutex_);
    lock.lock();
    if (parent->handle != kNoFolder) return true;
    if (parent->lost) return false;

    std::vector<Node*> chain;  // parent first, up to the child of the nearest open ancestor
    Node* anchor = parent;
    while (anchor->handle == kNoFolder) {
        chain.push_back(anchor);
        anchor = anchor->parent;  // the root stays open, so this ends
    }
    ++anchor->pins;
    const std::size_t keep = std::max<std::size_t>(1, budget_ / 4);
    lock.unlock();

    std::deque<std::pair<Node*, FolderHandle>> opened;  // the deepest steps, kept for reuse
    FolderHandle at = anchor->handle;
    Node* failedAt = nullptr;
    bool gaveUp = false;
    int attempts = 0;
    for (auto it = chain.rbegin(); it != chain.rend() && !gaveUp;) {
        Node* step = *it;
        OpenResult r = platform_.openChild(at, step->nameView());
        if (r.status == OpenStatus::Opened && !r.identified &&
            !platform_.identify(r.handle, r.identity))
            r.identity = {};
        if (r.status == OpenStatus::OutOfHandles) {
            // Give back what this walk down holds, else what the walk keeps, and try again.
            if (opened.size() > 1) {
                platform_.closeFolder(opened.front().second);
                opened.pop_front();
            } else {
                lock.lock();
                if (!makeRoom()) gaveUp = !awaitClosedHandle(lock, attempts++);
                lock.unlock();
            }
            continue;
        }
        const bool same = r.status == OpenStatus::Opened && r.identity.volume == step->volume &&
                          r.identity.file == step->file;
        if (!same) {
            if (r.status == OpenStatus::Opened) platform_.closeFolder(r.handle);
            failedAt = step;
            break;
        }
        opened.emplace_back(step, r.handle);
        at = r.handle;
        if (opened.size() > keep) {
            platform_.closeFolder(opened.front().second);
            opened.pop_front();
        }
        ++it;
    }

    lock.lock();
    --anchor->pins;
    if (gaveUp || failedAt != nullptr) {
        // Changed since it was listed: nothing more is walked below it.
        if (failedAt != nullptr) {
            for (Node* n = parent;; n = n->parent) {
                n->lost = true;
                if (n == failedAt) break;
            }
        }
        for (const auto& [node, handle] : opened) platform_.closeFolder(handle);
        return false;
    }
    for (const auto& [node, handle] : opened) {
        if (node->handle == kNoFolder && node->unopenedChildren > 0) {
            node->handle = handle;
            ++openHandles_;
            keepAsParent(node);
        } else {
            platform_.closeFolder(handle);
        }
    }
    return parent->handle != kNoFolder;
}

// Lists an opened folder: its matching files, sized, and its subfolders. No lock: the folder
// and its handle belong to the thread that claimed it.
Walk::Found Walk::list(Node* node, Worker& worker) {
    Found found;
    Node* last = nullptr;
    Listing& listing = worker.listing;
    const FolderHandle handle = node->handle;
    for (;;) {
        const ListStatus status = platform_.listFolder(handle, listing);
        for (std::size_t i = 0; i < listing.size() && !stopping_; ++i) {
            // The consumer keeps the window answering, however slow the folder is to read.
            if (worker.pump != nullptr && !(*worker.pump)()) stopping_ = true;
            ListedEntry& e = listing[i];
            const std::string_view name = listing.name(e);
            // Names beginning with "." are skipped, folders with everything below them.
            if (name.empty() || name[0] == '.' || name.size() > UINT16_MAX) continue;
            bool matched = false;
            if ((e.attributes & kAttrTypeUnknown) != 0) {
                // A link's target matters only when the link would be listed.
                if (isLink(e) && !(matched = pattern_.matches(name))) continue;
                platform_.describe(handle, e, name);
            }
            if ((e.attributes & kAttrDirectory) != 0) {
                if (isLink(e)) continue;  // links are never entered, so no walk can loop
                Node* child = makeNode(node, name);
                if (last != nullptr)
                    last->nextSibling = child;
                else
                    found.first = child;
                last = child;
                ++found.subfolders;
            } else if (matched || pattern_.matches(name)) {
                if (!e.sizeKnown) platform_.describe(handle, e, name);
                if (found.files == nullptr) found.files = new FolderFiles;
                found.files->add(name, e.size, e.sizeKnown);
            }
        }
        if (status != ListStatus::More || stopping_) break;
        if (worker.pump != nullptr && !(*worker.pump)()) stopping_ = true;
    }
    return found;
}

// Makes what a listing found known to every thread. Lock held.
void Walk::publish(Node* node, const Found& found) {
    node->links.listed = {found.first, found.files};
    node->unopenedChildren = found.subfolders;
    if (found.subfolders == 0) {
        if (node != root_) closeHandle(node);
    } else {
        keepAsParent(node);
        if (workersStarted_) {
            pushWork(found.first);
            if (idleWorkers_ > 1 && found.subfolders > 1)
                workAvailable_.notify_all();
            else if (idleWorkers_ > 0)
                workAvailable_.notify_one();
        }
    }
    listedAhead_ += 1;
    if (found.files != nullptr) bytesAhead_ += found.files->bytes();
    node->state.store(State::Listed, std::memory_order_release);
}

// Opens a claimed subfolder relative to its parent, lists it and publishes it. Lock held on
// entry and on return; it is let go for the platform's calls.
void Walk::process(Node* node, Worker& worker, std::unique_lock<ShortLock>& lock) {
    Node* const parent = node->parent;
    OpenResult result;
    Found found;
    bool listed = false;
    for (int attempt = 0;; ++attempt) {
        if (stopping_ || !ensureParentOpen(parent, lock)) {
            result = {};
            break;
        }
        // Within the budget; the pin keeps the parent open meanwhile.
        ++parent->pins;
        while (openHandles_ >= budget_ && makeRoom()) {
        }
        ++openHandles_;
        const FolderHandle at = parent->handle;
        lock.unlock();
        result = platform_.openChild(at, node->nameView());
        // Another file system, a bind mount, or a mount that appeared during the walk is not
        // entered; any other folder is listed at once, still without the lock.
        if (result.status == OpenStatus::Opened &&
            (!result.identified || result.identity.mount == rootIdentity_.mount)) {
            node->handle = result.handle;
            found = list(node, worker);
            listed = true;
            // Only a folder with subfolders is ever opened again, or passed through on the way
            // to one: its identity is what a reopening checks.
            if (!result.identified && found.subfolders > 0)
                platform_.identify(result.handle, result.identity);
            node->volume = result.identity.volume;
            node->file = result.identity.file;
        }
        lock.lock();
        --parent->pins;
        if (result.status != OpenStatus::Opened) --openHandles_;
        if (result.status != OpenStatus::OutOfHandles) break;
        // The process has run out: the walk keeps fewer open from now on.
        budget_ = std::max<std::size_t>(2, openHandles_ > 2 ? openHandles_ - 1 : 2);
        if (!makeRoom() && !awaitClosedHandle(lock, attempt)) {
            result = {};
            break;
        }
    }
    State state = State::Unreadable;
    if (listed) {
        state = State::Listed;
    } else if (result.status == OpenStatus::Opened) {
        platform_.closeFolder(result.handle);
        --openHandles_;
        state = State::Excluded;
    } else if (result.status == OpenStatus::NotAFolder) {
        state = State::Excluded;
    }
    // The parent first: once this folder is final, the consumer may move past the parent and
    // free it.
    releaseParent(parent);
    if (listed)
        publish(node, found);
    else
        node->state.store(state, std::memory_order_release);
    if (waitingFor_ == node) progress_.notify_one();
}

void Walk::workerLoop(Worker& worker) {
    std::unique_lock lock(mutex_);
    while (Node* node = takeWork(lock)) process(node, worker, lock);
}

// ---- the consumer ----

// Waits until `node` is done with, taking it on itself when no worker has, and listing other
// folders meanwhile rather than sleeping. Returns its final state, or nothing when the walk was
// stopped.
std::optional<Walk::State> Walk::waitFor(Node* node, const WaitHook& wait) {
    State state = node->state.load(std::memory_order_acquire);
    if (state >= State::Listed) return state;
    Worker& self = *workers_[0];
    self.pump = &wait;
    std::unique_lock lock(mutex_);
    if (node->state.load(std::memory_order_relaxed) == State::Pending) {
        if (node->onWorkList) unlinkWork(node);
        node->state.store(State::Claimed, std::memory_order_relaxed);
        process(node, self, lock);
    }
    auto lastPump = std::chrono::steady_clock::now();
    while ((state = node->state.load(std::memory_order_acquire)) < State::Listed) {
        if (stopping_) break;
        bool pumpDue = false;
        if (workTop_ != nullptr && !farEnoughAhead()) {
            Node* other = workTop_;
            unlinkWork(other);
            other->state.store(State::Claimed, std::memory_order_relaxed);
            process(other, self, lock);
            pumpDue = std::chrono::steady_clock::now() - lastPump >= kWaitSlice;
        } else {
            waitingFor_ = node;
            pumpDue = progress_.wait_for(lock, kWaitSlice) == std::cv_status::timeout;
            waitingFor_ = nullptr;
        }
        if (pumpDue) {
            lock.unlock();
            const bool goOn = wait();
            lastPump = std::chrono::steady_clock::now();
            lock.lock();
            if (!goOn) {
                lock.unlock();
                stop();
                return std::nullopt;
            }
        }
    }
    if (stopping_) return std::nullopt;
    return state;
}

// The consumer moves off a folder: what it matched has been taken.
void Walk::leave(Node* node) {
    if (!node->isListed()) return;
    FolderFiles*& files = node->links.listed.files;
    listedAhead_ -= 1;
    if (files != nullptr) bytesAhead_ -= files->bytes();
    if (held_) {
        std::lock_guard lock(mutex_);
        held_ = false;
        workAvailable_.notify_all();
    }
    delete files;
    files = nullptr;
}

// A folder and everything below it have been consumed: no other thread looks at it again.
void Walk::discard(Node* node) {
    if (node->handle != kNoFolder) {
        std::lock_guard lock(mutex_);
        closeHandle(node);
    }
    destroy(node);
}

bool Walk::openRoot() {
    const OpenResult r = platform_.openRoot(path_);
    std::unique_lock lock(mutex_);
    if (r.status != OpenStatus::Opened) {
        root_->state.store(State::Unreadable, std::memory_order_release);
        return false;
    }
    root_->handle = r.handle;
    root_->volume = r.identity.volume;
    root_->file = r.identity.file;
    rootIdentity_ = r.identity;
    ++openHandles_;
    if (workerCount_ > 0 && budget_ >= kLeastBudgetForWorkers) {
        workersStarted_ = true;
        for (unsigned i = 0; i < workerCount_; ++i) {
            Worker* w = new Worker;
            workers_.push_back(w);
            threads_.emplace_back([this, w] { workerLoop(*w); });
        }
    }
    lock.unlock();
    const Found found = list(root_, *workers_[0]);
    lock.lock();
    publish(root_, found);
    return true;
}

bool Walk::advance(const WaitHook& wait) {
    if (finished_ || stopping_) return false;
    workers_[0]->pump = &wait;
    if (current_ == nullptr) {
        current_ = root_;
        kept_ = 0;
        openRoot();
        return true;
    }

    const char separator = platform_.separator();
    kept_ = path_.size();
    for (;;) {
        // Final states do not change: what is read below no thread writes any more.
        const std::optional<State> done = waitFor(current_, wait);
        if (!done) return false;
        leave(current_);
        Node* next = nullptr;
        if (Node* child = current_->firstChild()) {
            next = child;
        } else {
            // Up through the folders that are done, freeing each, to the next sibling.
            Node* node = current_;
            for (;;) {
                if (node == root_) {
                    finished_ = true;
                    return false;
                }
                Node* const parent = node->parent;
                Node* const sibling = node->nextSibling;
                path_.resize(path_.size() - node->nameLength - 1);
                parent->links.listed.firstChild = sibling;
                discard(node);
                if (sibling != nullptr) {
                    next = sibling;
                    break;
                }
                node = parent;
            }
        }
        kept_ = std::min(kept_, path_.size());
        path_.append(next->name(), next->nameLength);
        path_.push_back(separator);
        current_ = next;
        const std::optional<State> state = waitFor(current_, wait);
        if (!state) return false;
        if (*state != State::Excluded) return true;
    }
}

const FolderFiles* Walk::files(const WaitHook& wait) {
    if (current_ == nullptr) return nullptr;
    const std::optional<State> done = waitFor(current_, wait);
    return done == State::Listed ? current_->links.listed.files : nullptr;
}

}  // namespace quarvex
