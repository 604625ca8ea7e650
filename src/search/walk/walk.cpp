#include "search/walk/walk.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "search/walk/quick_lock.h"

namespace quarvex {

namespace {

// Folders listed ahead of the consumer, and the bytes of their matches, at most: caps memory.
// Workers held at the cap go on once the consumer has taken a quarter of it, so that each wake-up
// is worth a batch of folders.
constexpr std::size_t kMaxListedAhead = 2048;
constexpr std::size_t kResumeListedAhead = kMaxListedAhead / 4 * 3;
constexpr std::size_t kMaxBytesAhead = std::size_t{4} << 20;
constexpr std::size_t kResumeBytesAhead = kMaxBytesAhead / 4 * 3;
// How often the consumer runs its wait hook while it waits, in microseconds.
constexpr std::uint64_t kPumpTick = 5000;
// How often the walk looks whether folders are slow to read, so that more workers would help.
constexpr std::uint64_t kUsageInterval = 5000;
// Handles a worker may hold at once: its folder, the parent it opens it from, a reopening's steps.
constexpr std::size_t kHandlesPerWorker = 4;
// The consumer is about to need a folder's first subfolder when the folder has only a few
// matches to show: it opens it itself rather than waiting for a worker to hand it over.
constexpr std::size_t kFewMatches = 64;
// How many times a thread out of work looks for more before it sleeps, a pause apart.
constexpr int kLooksBeforeSleep = 1000;
// Nodes and files the consumer keeps to use again, at most.
constexpr std::size_t kMostSpares = 256;
// Entries of a folder looked at from memory between two pumps: microseconds, not a wait.
constexpr std::size_t kEntriesPerPump = 256;
// Enough threads for the queue of a disk or a network share; more only wait in it.
constexpr unsigned kDefaultWorkers = 64;

// Whether a folder is read from the disk, not from a kept listing nor known without reading.
bool fromDisk(const FolderNode& node) {
    return node.known == FolderState::Pending && node.keptListing == nullptr;
}

// The state of a folder that could not be opened.
FolderState stateOf(OpenFolders::Outcome outcome) {
    constexpr FolderState kStates[] = {FolderState::Claimed, FolderState::Unreadable,
                                       FolderState::Link,    FolderState::OtherMount,
                                       FolderState::Changed, FolderState::Unreadable};
    return kStates[static_cast<int>(outcome)];
}

}  // namespace

struct Walk::Worker {
    Listing batch;  // the platform's reads, kept between folders so it is allocated once
    // Entries of the folder at hand described ahead of the rule, in listing order.
    std::vector<std::pair<std::uint32_t, ListedEntry>> described;
    // The consumer's: keeps the window answering while it reads a large folder itself.
    const WaitHook* pump = nullptr;
};

// What reading a folder found.
struct Walk::Found {
    FolderFiles* files = nullptr;
    FolderNode* first = nullptr;
    FolderNode* last = nullptr;
    std::uint32_t subfolders = 0;
    std::uint32_t fromDisk = 0;  // subfolders to be read from the disk
    int error = 0;
};

unsigned Walk::cores() {
    return std::max(1u, std::thread::hardware_concurrency());
}

unsigned Walk::defaultWorkers() {
    return std::max(kDefaultWorkers, cores());
}

Walk::Walk(Platform& platform, const NamePattern& pattern, const WalkSetup& setup)
    : platform_(platform),
      pattern_(pattern),
      mostWorkers_(setup.workers <= 1 ? 0 : setup.workers),
      firstWorkers_(std::min(mostWorkers_, setup.startWorkers == 0 ? cores() : setup.startWorkers)),
      source_(setup.source),
      recorder_(setup.recorder),
      keepEverything_(setup.keepEverything),
      sizeEverything_(setup.sizeEverything),
      folders_(platform),
      self_(std::make_unique<Worker>()) {}

Walk::~Walk() {
    stop();
    if (root_ != nullptr) freeSubtree(root_);
    for (void* memory : spareNodes_) ::operator delete(memory);
}

// The consumer is done with a node: its memory is kept for the next ones it makes.
void Walk::recycle(FolderNode* node) {
    if (node->nameLength > FolderNode::kSmallName || spareNodes_.size() >= kMostSpares)
        return destroy(node);
    if (node->loadState() == FolderState::Listed) delete node->links.listed.files;
    folders_.forget(*node);
    node->~FolderNode();
    spareNodes_.push_back(node);
}

void Walk::destroy(FolderNode* node) {
    if (node->loadState() == FolderState::Listed) delete node->links.listed.files;
    folders_.forget(*node);
    FolderNode::destroy(node);
}

// Iterative, so that no depth of tree can exhaust the stack. No worker is left.
void Walk::freeSubtree(FolderNode* top) {
    FolderNode* node = top;
    for (;;) {
        const bool listed = node->loadState() == FolderState::Listed;
        if (FolderNode* child = listed ? node->links.listed.firstChild : nullptr) {
            node = child;
            continue;
        }
        FolderNode* const parent = node->parent;
        FolderNode* const sibling = node->nextSibling;
        const bool last = node == top;
        destroy(node);
        if (last) return;
        parent->links.listed.firstChild = sibling;
        node = sibling != nullptr ? sibling : parent;
    }
}

void Walk::start(const std::string& root) {
    path_ = root;
    root_ = FolderNode::make(nullptr, {});
    root_->state.store(FolderState::Claimed, std::memory_order_relaxed);
    current_ = nullptr;
}

void Walk::requestStop() {
    const auto lock = lockQuickly(mutex_);
    stopping_ = true;
    workAdded_.notify_all();
    roomAgain_.notify_all();
    progress_.notify_all();
}

void Walk::stop() {
    requestStop();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
}

std::size_t Walk::workersStarted() const {
    const auto lock = lockQuickly(mutex_);
    return threads_.size();
}

// ---- the frontier: the folders known and not yet listed, in pre-order ----
//
// Pending and Claimed folders are kept in one list in pre-order. None of them lies below another
// (a folder's subfolders join only when it is listed), so a listed folder's subfolders belong
// exactly where it stood: they replace it, and the list stays in pre-order. Workers take the
// first Pending folder, the nearest one the consumer will need; the Claimed ones they pass over
// are at most one per thread.

// Puts those of `first` and its siblings that are read from the disk where `at` stands, or ahead
// of `at` when it is to stay; at the end when there is no `at`.
void Walk::insertWork(FolderNode* first, FolderNode* at) {
    FolderNode* last = nullptr;
    first = chainWork(first, last);
    if (first == nullptr) return;
    FolderNode* const prev = at != nullptr ? at->links.work.prev : nullptr;
    first->links.work.prev = prev;
    if (prev != nullptr)
        prev->links.work.next = first;
    else
        frontier_ = first;
    last->links.work.next = at;
    if (at != nullptr) at->links.work.prev = last;
}

// Links those of `first` and its siblings that are read from the disk to each other as pending
// work: a folder answered from a kept listing is the consumer's alone (L1), quicker read than
// handed over. Returns the first of them, and the last in `last`.
FolderNode* Walk::chainWork(FolderNode* first, FolderNode*& last) {
    FolderNode* head = nullptr;
    for (FolderNode* n = first; n != nullptr; n = n->nextSibling) {
        if (!fromDisk(*n)) continue;
        n->onWorkList = true;
        n->links.work.prev = last;
        if (last != nullptr)
            last->links.work.next = n;
        else
            head = n;
        last = n;
        ++pending_;
    }
    return head;
}

void Walk::unlinkWork(FolderNode* node) {
    FolderNode* const prev = node->links.work.prev;
    FolderNode* const next = node->links.work.next;
    if (prev != nullptr)
        prev->links.work.next = next;
    else
        frontier_ = next;
    if (next != nullptr) next->links.work.prev = prev;
    node->links.work = {nullptr, nullptr};
    node->onWorkList = false;
}

// The first Pending folder of the frontier; there is one.
FolderNode* Walk::nearestPending() const {
    FolderNode* node = frontier_;
    while (node->state.load(std::memory_order_relaxed) != FolderState::Pending)
        node = node->links.work.next;
    return node;
}

void Walk::claim(FolderNode* node) {
    if (node->onWorkList) --pending_;
    node->state.store(FolderState::Claimed, std::memory_order_relaxed);
}

bool Walk::farEnoughAhead() const {
    return listedAhead_ >= kMaxListedAhead || bytesAhead_ >= kMaxBytesAhead;
}

bool Walk::roomAgain() const {
    return listedAhead_ <= kResumeListedAhead && bytesAhead_ <= kResumeBytesAhead;
}

// A worker waits for the consumer to take a batch of what is listed ahead. Walk lock held.
void Walk::hold(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t generation = roomGeneration_;
    // Counted before the check, so that the consumer, which checks after it took a folder off
    // the count, cannot miss a worker about to wait.
    ++held_;
    if (roomAgain()) {
        --held_;
        return;
    }
    ++roomWaits_;
    roomAgain_.wait(lock, [&] { return roomGeneration_ != generation || stopping_; });
}

// ---- workers and the consumer alike ----

// Reads a claimed folder, from a kept listing or from the disk, and publishes it. Walk lock held
// on entry and on return; it is let go meanwhile.
void Walk::process(FolderNode* node, Worker& worker, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    Found found;
    const FolderState state = readWhole(*node, worker, found);
    lockQuickly(lock);
    publish(node, state, found, &worker == self_.get());
}

// Reads a folder; when memory runs out meanwhile, what the reading made goes and the walk stops.
FolderState Walk::readWhole(FolderNode& node, Worker& worker, Found& found) {
    try {
        return read(node, worker, found);
    } catch (const std::bad_alloc&) {
        delete std::exchange(found.files, nullptr);
        while (FolderNode* child = found.first) {
            found.first = child->nextSibling;
            FolderNode::destroy(child);
        }
        found = {};
        outOfMemory_ = true;
        requestStop();
        return FolderState::Unreadable;
    }
}

// No lock: the folder and its handle belong to the thread that claimed it.
FolderState Walk::read(FolderNode& node, Worker& worker, Found& found) {
    if (node.known != FolderState::Pending) {
        folders_.passOver(node);
        return node.known;
    }
    if (node.keptListing != nullptr) {
        folders_.passOver(node);
        // Only the consumer reads kept listings: it makes their files of what it left before.
        if (spareFiles_.empty()) {
            found.files = new FolderFiles(*node.keptListing);
        } else {
            found.files = spareFiles_.back().release();
            spareFiles_.pop_back();
            found.files->reuse(*node.keptListing);
        }
        // What may have changed unseen (a link's target, a file with more names) is read again,
        // in the folder opened for it by its identity.
        std::optional<OpenFolders::Pinned> pinned;
        applyRule(
            node, *node.keptListing, nullptr,
            [&](ListedEntry& e, std::string_view name) {
                if (!pinned) pinned.emplace(folders_, node, stopping_);
                if (pinned->handle() != kNoFolder) platform_.describe(pinned->handle(), e, name);
            },
            worker, found);
        folders_.listed(node, found.subfolders);
        return FolderState::Listed;
    }
    if (!node.handle) {  // the root is open already
        const OpenFolders::Result opened = folders_.open(node, stopping_);
        if (opened.outcome != OpenFolders::Outcome::Opened) {
            found.error = opened.error;
            return stateOf(opened.outcome);
        }
    }
    const FolderHandle handle = node.handle.get();
    if (source_ != nullptr) node.watchKey = source_->beforeReading(handle);
    std::unique_ptr<FolderListing> fresh = readDisk(handle, worker);
    FolderListing& listing = *fresh;
    found.files = new FolderFiles(std::move(fresh));
    describeAhead(handle, listing, worker);
    std::size_t next = 0;  // the next entry described ahead
    applyRule(
        node, listing, &listing,
        [&](ListedEntry& e, std::string_view name) {
            const auto& ahead = worker.described;
            while (next < ahead.size() && ahead[next].first < e.nameOffset) ++next;
            if (next < ahead.size() && ahead[next].first == e.nameOffset)
                e = ahead[next].second;
            else
                platform_.describe(handle, e, name);
        },
        worker, found);
    folders_.listed(node, found.subfolders);
    return FolderState::Listed;
}

// Describes, in the order of their file numbers, the entries of a folder read from the disk that
// the rule will describe: a cold disk then reads inodes that lie together at once, not in the
// order of a listing (on ext4, of the names' hashes). What the rule would not have asked for is
// only a read too many.
void Walk::describeAhead(FolderHandle handle, const FolderListing& listing, Worker& worker) {
    auto& ahead = worker.described;
    ahead.clear();
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const ListingEntry& s = listing[i];
        const std::string_view name = listing.name(s);
        if ((s.flags & (kEntryFolder | kEntrySizeKnown)) != 0 && (s.flags & kEntryTypeUnknown) == 0)
            continue;
        const bool dot = name[0] == '.';
        const bool wanted = (s.flags & kEntryTypeUnknown) != 0 && (s.flags & kEntryLink) == 0
                                ? !dot || sizeEverything_
                            : dot ? sizeEverything_
                                  : sizeEverything_ || pattern_.matches(name);
        if (wanted) ahead.emplace_back(static_cast<std::uint32_t>(i), listing.entry(i));
    }
    if (ahead.size() < 2) {
        ahead.clear();
        return;
    }
    std::sort(ahead.begin(), ahead.end(),
              [](const auto& a, const auto& b) { return a.second.file < b.second.file; });
    for (auto& [i, e] : ahead) {
        if (stopping_ || !pump(worker)) break;
        platform_.describe(handle, e, listing.name(i));
    }
    // Keyed by the entries' places in the names, which grow with their places in the listing.
    for (auto& [i, e] : ahead) i = listing[i].nameOffset;
    std::sort(ahead.begin(), ahead.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
}

// Every batch of an open folder, or as far as it could be read.
std::unique_ptr<FolderListing> Walk::readDisk(FolderHandle handle, Worker& worker) {
    auto listing = std::make_unique<FolderListing>();
    Listing& batch = worker.batch;
    for (;;) {
        const ListStatus status = platform_.listFolder(handle, batch);
        listing->reserveFor(batch);
        for (std::size_t i = 0; i < batch.size(); ++i) listing->add(batch.name(batch[i]), batch[i]);
        if (status == ListStatus::Failed) listing->setError(batch.error());
        if (status != ListStatus::More || stopping_ || !pump(worker)) break;
    }
    return listing;
}

// The walk's one rule, over a listing from either source: each entry a match (sized), a
// subfolder to enter, or nothing. What describing found is kept in a `fresh` listing.
template <class Describe>
void Walk::applyRule(FolderNode& node, const FolderListing& listing, FolderListing* fresh,
                     Describe&& describe, Worker& worker, Found& found) {
    const bool sizesAtUse = fresh == nullptr && sizesAtUse_;
    // The consumer keeps the window answering, however large the folder: after every entry that
    // was read from the disk, and every so many that were not.
    bool read = true;
    const auto rule = [&](std::size_t i) {
        const std::string_view name = listing.name(i);
        ListedEntry e = listing.entry(i, sizesAtUse);
        const auto describeIt = [&](ListedEntry& entry) {
            describe(entry, name);
            read = true;
        };
        const EntryUse use = useOf(e, name, pattern_, describeIt);
        // A dot folder is kept in its parent's listing as one to enter, though only a walk that
        // keeps everything does: a file may get a name there too.
        const bool dotFolder = use == EntryUse::DotFolder && !isLink(e);
        if (sizeEverything_ && fresh != nullptr && !e.sizeKnown &&
            (use == EntryUse::Other || use == EntryUse::DotFile))
            describeIt(e);
        if (use == EntryUse::Subfolder || (dotFolder && keepEverything_))
            addSubfolder(node, name, e.file, static_cast<std::uint32_t>(i), worker, found);
        else if (use == EntryUse::Match)
            found.files->add(i, e.size, e.sizeKnown);
        if (fresh != nullptr) fresh->complete(i, e, use == EntryUse::Subfolder || dotFolder);
    };
    if (fresh != nullptr) {
        for (std::size_t i = 0; i < listing.size() && !stopping_; ++i) {
            if ((read || i % kEntriesPerPump == 0) && !pump(worker)) return;
            read = false;
            rule(i);
        }
        return;
    }
    // From memory, what the rule does nothing with is passed by a stretch at a time.
    std::uint32_t wanted[kEntriesPerPump];
    for (std::size_t from = 0; from < listing.size() && !stopping_; from += kEntriesPerPump) {
        if (!pump(worker)) return;
        read = false;
        const std::size_t count = wantedEntries(
            listing, from, std::min(listing.size(), from + kEntriesPerPump), pattern_, wanted);
        for (std::size_t k = 0; k < count && !stopping_; ++k) {
            if (read && !pump(worker)) return;
            read = false;
            rule(wanted[k]);
        }
    }
}

// A subfolder the rule found: a node of its own, with what the source keeps of it.
void Walk::addSubfolder(FolderNode& parent, std::string_view name, std::uint64_t file,
                        std::uint32_t entry, Worker& worker, Found& found) {
    // The consumer makes nodes in the memory of those it left before.
    void* memory = nullptr;
    if (&worker == self_.get() && name.size() <= FolderNode::kSmallName && !spareNodes_.empty()) {
        memory = spareNodes_.back();
        spareNodes_.pop_back();
    }
    FolderNode* child = FolderNode::make(&parent, name, memory);
    child->file = file;  // as listed, until it is opened and identified
    child->entry = entry;
    if (parent.kept != nullptr) take(*child, source_->child(*parent.kept, entry, name, file));
    if (fromDisk(*child)) ++found.fromDisk;
    if (found.last != nullptr)
        found.last->nextSibling = child;
    else
        found.first = child;
    found.last = child;
    ++found.subfolders;
}

// What the source keeps of a folder: a kept listing that stands for the disk's, or what it knows
// of the folder without opening it.
void Walk::take(FolderNode& node, const ListingSource::Answer& kept) {
    node.kept = kept.folder;
    node.known = kept.otherMount  ? FolderState::OtherMount
                 : kept.notNeeded ? FolderState::NotNeeded
                                  : FolderState::Pending;
    node.keptListing = kept.listing;
    if (kept.listing == nullptr) return;
    node.whole = kept.whole && wholeRead_;
    node.file = kept.file;
    node.identified = kept.file != 0;
}

// The consumer's wait hook, at every entry it reads itself; false when it says stop.
bool Walk::pump(Worker& worker) {
    if (worker.pump == nullptr || (*worker.pump)()) return true;
    requestStop();
    return false;
}

// Makes what a listing found known to every thread. Walk lock held.
void Walk::publish(FolderNode* node, FolderState state, Found& found, bool byConsumer) {
    // Its subfolders take its place in the frontier, but for the one the consumer is about to
    // open itself.
    FolderNode* offered = nullptr;
    if (state == FolderState::Listed && found.first != nullptr && workerLimit_ > 0) {
        // While folders are slow, only a lone subfolder: no other thread could list anything
        // beside it, and a hand-over per level costs more than the head start it gives.
        const bool forConsumer = (waitingFor_ == node || byConsumer) &&
                                 (!foldersSlow_ || found.subfolders == 1) &&
                                 found.files->size() < kFewMatches;
        offered = forConsumer ? found.first->nextSibling : found.first;
    }
    if (node->onWorkList) {
        if (offered != nullptr) insertWork(offered, node);
        unlinkWork(node);
    } else if (offered != nullptr) {
        // The root, or a folder the consumer took before it joined the frontier: it comes first.
        insertWork(offered, frontier_);
    }
    settle(node, state, found, true);
    if (waitingFor_ == node) progress_.notify_one();
    // Workers are for the disk: a walk that answers from memory alone needs none.
    if (found.fromDisk > 0 && !workersWanted_) {
        workersWanted_ = true;
        startWorkers(firstWorkers_);
    }
    if (offered != nullptr) {
        unsigned wake = std::min(idle_, found.fromDisk);
        for (; wake > 0; --wake) workAdded_.notify_one();
    }
    growIfSlow();
}

// What a listing found, made the folder's final state; counted as read ahead of the consumer
// unless the consumer read it as it came to it. The walk lock held, or the folder the
// consumer's alone.
void Walk::settle(FolderNode* node, FolderState state, Found& found, bool ahead) {
    if (state != FolderState::Listed) {
        node->links.error = found.error;
    } else {
        node->links.listed = {found.first, found.files};
        if (ahead) {
            listedAhead_ += 1;
            bytesAhead_ += found.files->countAhead();
        }
    }
    node->state.store(state, std::memory_order_release);
}

void Walk::workerLoop(Worker& worker) {
    auto lock = lockQuickly(mutex_);
    for (;;) {
        if (stopping_) return;
        if (pending_ == 0) {
            // Work comes in again a few microseconds later, usually: look a while before the
            // sleep, which costs more.
            lock.unlock();
            for (int look = 0; look < kLooksBeforeSleep && pending_ == 0 && !stopping_; ++look)
                cpuRelax();
            lockQuickly(lock);
            if (pending_ != 0) continue;
            ++idle_;
            workAdded_.wait(lock, [this] { return pending_ != 0 || stopping_; });
            --idle_;
            continue;
        }
        if (farEnoughAhead()) {
            ++holds_;
            hold(lock);
            continue;
        }
        FolderNode* node = nearestPending();
        claim(node);
        process(node, worker, lock);
    }
}

// Walk lock held.
void Walk::startWorkers(unsigned count) {
    if (stopping_) return;  // stop() joins what has started: nothing may start after it
    if (count > 0 && threads_.size() < workerLimit_) folders_.share();
    for (; count > 0 && threads_.size() < workerLimit_; --count) {
        threads_.reserve(threads_.size() + 1);  // a started thread is never left unjoined
        Worker* worker = workers_.emplace_back(std::make_unique<Worker>()).get();
        std::thread thread;
        if (!platform_.startThread(thread, [this, worker] { workerLoop(*worker); })) {
            // The system has no room for more threads: the walk goes on with those it has (the
            // consumer reads every folder itself when none started).
            workers_.pop_back();
            workerLimit_ = static_cast<unsigned>(threads_.size());
            return;
        }
        threads_.push_back(std::move(thread));
    }
}

// ---- the consumer ----

void Walk::openRoot() {
    const std::size_t budget = platform_.folderHandleBudget();
    const OpenFolders::Result opened = folders_.openRoot(*root_, path_, budget);
    auto lock = lockQuickly(mutex_);
    if (opened.outcome != OpenFolders::Outcome::Opened) {
        root_->links.error = opened.error;
        root_->state.store(FolderState::Unreadable, std::memory_order_release);
        return;
    }
    // Each worker may hold a few handles: a small budget carries fewer, or none.
    const std::size_t carried = budget > 2 * kHandlesPerWorker ? budget / kHandlesPerWorker - 1 : 0;
    workerLimit_ = static_cast<unsigned>(std::min<std::size_t>(mostWorkers_, carried));
    lock.unlock();
    if (source_ != nullptr) {
        sizesAtUse_ = source_->sizesAtUse();
        wholeRead_ = !keepEverything_ && !sizeEverything_ && !sizesAtUse_;
        take(*root_, source_->root(folders_.rootIdentity()));
        if (root_->whole) {
            readWholeSubtree(*root_);
            return;
        }
    }
    Found found;
    const FolderState state = readWhole(*root_, *self_, found);
    lockQuickly(lock);
    publish(root_, state, found, true);
}

// Adds workers while folders are slow to read: the process read from a device since the last
// look (or, where the platform counts no device reads, hardly ran), every worker is busy, and
// more folders wait. A cold disk or a network share takes more reads at once; a busy processor
// would only be shared by more threads. Walk lock held; looks every kUsageInterval at most.
void Walk::growIfSlow() {
    if (workerLimit_ == 0 || stopping_) return;
    const std::uint64_t now = platform_.now();
    if (now < nextUsageLook_) return;
    nextUsageLook_ = now + kUsageInterval;
    const ProcessUsage usage = platform_.usage();
    const std::uint64_t since = now - lastUsageTime_;
    bool slow;
    if (usage.deviceReads >= 0) {
        slow = lastUsage_.deviceReads >= 0 && usage.deviceReads > lastUsage_.deviceReads;
    } else {
        slow = usage.cpuMicroseconds - lastUsage_.cpuMicroseconds < since / 4;
    }
    const bool recent = since <= 4 * kUsageInterval;
    lastUsage_ = usage;
    lastUsageTime_ = now;
    foldersSlow_ = slow;
    // The verdict is kept up to date with every worker started too: the consumer acts on it.
    if (threads_.size() < workerLimit_ && recent && slow && pending_ != 0 && idle_ == 0 &&
        held_ == 0)
        startWorkers(std::max<unsigned>(1, static_cast<unsigned>(threads_.size())));
}

// Waits until `node` is final, taking it on itself when no thread has yet. False when the walk
// was stopped.
bool Walk::waitFor(FolderNode* node, const WaitHook& wait) {
    if (isFinal(node->loadState())) return !stopping_;
    if (!fromDisk(*node)) {
        if (node->whole) {
            readWholeSubtree(*node);
            return !stopping_;
        }
        // Never on the frontier, the consumer's alone (L1): no other thread sees it until its
        // subfolders that are to be read from the disk join the frontier, under the lock.
        node->state.store(FolderState::Claimed, std::memory_order_relaxed);
        Found found;
        const FolderState state = readWhole(*node, *self_, found);
        if (found.fromDisk == 0) {
            settle(node, state, found, false);
        } else {
            auto lock = lockQuickly(mutex_);
            publish(node, state, found, true);
        }
        return !stopping_;
    }
    auto lock = lockQuickly(mutex_);
    if (node->state.load(std::memory_order_relaxed) == FolderState::Pending) {
        claim(node);
        process(node, *self_, lock);
        return !stopping_;
    }
    std::uint64_t lastPump = platform_.now();
    while (!isFinal(node->loadState())) {
        if (stopping_) return false;
        // While folders are quick to read, the consumer lists the nearest one waiting rather
        // than sleep: a sleep and its wake-up cost more than a folder. While they are slow, it
        // waits, so as not to be caught in a slow folder when its own is ready.
        if (!foldersSlow_ && pending_ != 0 && !farEnoughAhead()) {
            FolderNode* other = nearestPending();
            claim(other);
            process(other, *self_, lock);
            if (platform_.now() - lastPump < kPumpTick) continue;
        } else {
            if (!foldersSlow_) {
                // A worker has it: a quick folder is done before a sleep would begin.
                lock.unlock();
                for (int look = 0; look < kLooksBeforeSleep && !isFinal(node->loadState()); ++look)
                    cpuRelax();
                lockQuickly(lock);
                if (isFinal(node->loadState())) break;
            }
            waitingFor_ = node;
            const bool done = progress_.wait_for(lock, std::chrono::microseconds(kPumpTick), [&] {
                return isFinal(node->state.load(std::memory_order_acquire)) || stopping_;
            });
            waitingFor_ = nullptr;
            if (done) break;
        }
        growIfSlow();  // every worker may be stuck in a slow folder: none publishes to look
        lock.unlock();
        ++ticks_;
        const bool goOn = wait();
        lastPump = platform_.now();
        if (!goOn) {
            requestStop();
            return false;
        }
        lockQuickly(lock);
    }
    return !stopping_;
}

// ---- whole kept subtrees ----
//
// Where the source vouches for a folder and everything below it, with nothing to be read again
// at use, the consumer reads the subtree from the kept listings alone, as the walk would, but
// with no node per folder: a frame per level on the way down, and the entries of the subfolders
// still to come. Nothing of it is opened, nothing is handed to a worker.

// Reads the folder at the top of a whole subtree (the consumer's, L1); its subfolders come as
// frames.
void Walk::readWholeSubtree(FolderNode& node) {
    folders_.passOver(node);
    FolderFiles* files = nullptr;
    if (spareFiles_.empty()) {
        files = new FolderFiles(*node.keptListing);
    } else {
        files = spareFiles_.back().release();
        spareFiles_.pop_back();
        files->reuse(*node.keptListing);
    }
    Found found{.files = files};
    readFrame({.kept = node.kept,
               .listing = node.keptListing,
               .name = node.name(),
               .file = node.file,
               .entry = node.entry,
               .subfolders = 0},
              *files);
    lookAhead();
    folders_.listed(node, 0);
    settle(&node, FolderState::Listed, found, false);
}

// Pushes the frame of a folder of a whole subtree and matches its files into `files`.
void Walk::readFrame(const Frame& frame, FolderFiles& files) {
    frames_.push_back(frame);
    frames_.back().subfolders = frameEntries_.size();
    matchWhole(*frame.listing, files);
    // Taken from the back, first to last.
    std::reverse(frameEntries_.begin() + static_cast<std::ptrdiff_t>(frames_.back().subfolders),
                 frameEntries_.end());
}

// The walk's rule over a listing of a whole subtree, where every entry is described, and every
// file sized and of one name: no entry is read again, and a walk that reads whole subtrees keeps
// no dot folder. Matches go to `files`, subfolders to the frame's entries. An entry that is not
// so, which the source never gives, takes the rule itself.
void Walk::matchWhole(const FolderListing& listing, FolderFiles& files) {
    std::uint32_t wanted[kEntriesPerPump];
    for (std::size_t from = 0; from < listing.size() && !stopping_; from += kEntriesPerPump) {
        if (!pump(*self_)) return;
        const std::size_t count = wantedEntries(
            listing, from, std::min(listing.size(), from + kEntriesPerPump), pattern_, wanted);
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t i = wanted[k];
            const ListingEntry& s = listing[i];
            const std::string_view name = listing.name(s);
            if ((s.flags & (kEntryTypeUnknown | kEntryManyNames)) != 0 ||
                (s.flags & (kEntryFolder | kEntrySizeKnown)) == 0) {
                ListedEntry e = listing.entry(i);
                const EntryUse use = useOf(e, name, pattern_, [](ListedEntry&) {});
                if (use == EntryUse::Subfolder)
                    frameEntries_.push_back(i);
                else if (use == EntryUse::Match)
                    files.add(i, e.size, e.sizeKnown);
                continue;
            }
            if (name[0] == '.') continue;
            if ((s.flags & kEntryFolder) != 0) {
                if ((s.flags & kEntryLink) == 0) frameEntries_.push_back(i);
            } else if (pattern_.matches(name)) {
                files.add(i, s.size, true);
            }
        }
    }
}

// Moves to the next folder of the whole subtree at hand, in pre-order; false when it is done
// and the walk goes on from its top folder's node.
bool Walk::nextInWhole() {
    while (!frames_.empty()) {
        Frame& at = frames_.back();
        if (frameEntries_.size() > at.subfolders) {
            const std::uint32_t entry = frameEntries_.back();
            frameEntries_.pop_back();
            const FolderListing& listing = *at.listing;
            const std::string_view name = listing.name(entry);
            const ListingSource::Answer kept =
                aheadParent_ == at.kept && aheadEntry_ == entry
                    ? ahead_
                    : source_->child(*at.kept, entry, name, listing[entry].file);
            aheadParent_ = nullptr;
            const Frame frame{.kept = kept.folder,
                              .listing = kept.listing,
                              .name = name,
                              .file = kept.file,
                              .entry = entry,
                              .subfolders = 0};
            path_.append(name);
            path_.push_back(platform_.separator());
            if (kept.listing == nullptr) {
                // Never so where the source vouched for the whole subtree: should it be, the
                // folder is told as changed, and the recorder reads it afresh next time.
                frames_.push_back(frame);
                frames_.back().subfolders = frameEntries_.size();
                lookAhead();
                return true;
            }
            if (wholeFiles_ == nullptr) wholeFiles_ = std::make_unique<FolderFiles>(*kept.listing);
            wholeFiles_->reuse(*kept.listing);
            readFrame(frame, *wholeFiles_);
            lookAhead();
            return true;
        }
        if (frames_.size() == 1) {
            frames_.clear();
            return false;
        }
        path_.resize(path_.size() - at.name.size() - 1);
        kept_ = std::min(kept_, path_.size());
        frames_.pop_back();
    }
    return false;
}

// Asks the source for the folder the subtree comes to next, so that its listing is on its way
// to the processor while the matches of the one at hand are taken.
void Walk::lookAhead() {
    aheadParent_ = nullptr;
    if (frameEntries_.empty()) return;
    for (std::size_t k = frames_.size(); k-- > 0;) {
        const Frame& at = frames_[k];
        if (frameEntries_.size() <= at.subfolders) continue;
        const std::uint32_t entry = frameEntries_.back();
        const FolderListing& listing = *at.listing;
        ahead_ = source_->child(*at.kept, entry, listing.name(entry), listing[entry].file);
        aheadParent_ = at.kept;
        aheadEntry_ = entry;
        if (ahead_.listing != nullptr) ahead_.listing->prefetch();
        return;
    }
}

// The consumer moves off a folder of a whole subtree: the recorder is told of it.
void Walk::leaveFrame() {
    if (recorder_ == nullptr || stopping_) return;
    const Frame& at = frames_.back();
    // Answered from memory, it changes nothing kept; the recorder was told of the top.
    if (at.listing != nullptr) return;
    ListingRecorder::Folder folder{.depth = current_->depth + frames_.size() - 1,
                                   .path = path_,
                                   .name = at.name,
                                   .entry = at.entry,
                                   .outcome = FolderOutcome::Changed,
                                   .kept = at.kept,
                                   .file = at.file,
                                   .watchKey = 0,
                                   .listing = nullptr,
                                   .parent = frames_[frames_.size() - 2].kept};
    recorder_->record(folder);
}

// The consumer moves off a folder, its matches taken: the recorder is told of it, and what was
// counted ahead for it is taken off (L2).
void Walk::leave(FolderNode* node) {
    const FolderState state = node->loadState();
    FolderFiles* files = state == FolderState::Listed ? node->links.listed.files : nullptr;
    if (recorder_ != nullptr && !stopping_) {
        ListingRecorder::Folder folder{node->depth,
                                       path_,
                                       node->name(),
                                       node->entry,
                                       outcomeOf(state),
                                       node->kept,
                                       node->file,
                                       node->watchKey,
                                       files != nullptr ? files->takeListing() : nullptr};
        recorder_->record(folder);
    }
    if (files == nullptr) return;
    if (files->counted() != 0) {
        listedAhead_ -= 1;
        bytesAhead_ -= files->counted();
    }
    if (spareFiles_.size() < kMostSpares)
        spareFiles_.emplace_back(files);
    else
        delete files;
    node->links.listed.files = nullptr;
    if (held_ > 0 && roomAgain()) {
        const auto lock = lockQuickly(mutex_);
        if (held_ > 0) {
            held_ = 0;
            ++roomGeneration_;
            roomAgain_.notify_all();
        }
    }
}

bool Walk::advance(const WaitHook& wait) {
    if (finished_ || stopping_) return false;
    self_->pump = &wait;
    if (current_ == nullptr) {
        current_ = root_;
        kept_ = 0;
        openRoot();
        return true;
    }
    // Final states do not change: what is read below no thread writes any more.
    if (!waitFor(current_, wait)) return false;
    if (inFrame_)
        leaveFrame();
    else
        leave(current_);
    kept_ = path_.size();
    inFrame_ = !frames_.empty() && nextInWhole();
    if (inFrame_) return true;
    FolderNode* next =
        current_->loadState() == FolderState::Listed ? current_->links.listed.firstChild : nullptr;
    if (next == nullptr) {
        // Up through the folders that are done, freeing each, to the next sibling.
        for (FolderNode* node = current_;;) {
            if (node == root_) {
                finished_ = true;
                return false;
            }
            FolderNode* const parent = node->parent;
            FolderNode* const sibling = node->nextSibling;
            path_.resize(path_.size() - node->nameLength - 1);
            parent->links.listed.firstChild = sibling;
            recycle(node);
            if (sibling != nullptr) {
                next = sibling;
                break;
            }
            node = parent;
        }
    }
    kept_ = std::min(kept_, path_.size());
    path_.append(next->name());
    path_.push_back(platform_.separator());
    current_ = next;
    return true;
}

std::optional<FolderResult> Walk::result(const WaitHook& wait) {
    if (current_ == nullptr || !waitFor(current_, wait)) return std::nullopt;
    if (inFrame_) {
        const Frame& at = frames_.back();
        FolderResult result;
        result.depth = current_->depth + frames_.size() - 1;
        result.outcome = at.listing != nullptr ? FolderOutcome::Listed : FolderOutcome::Changed;
        if (at.listing != nullptr) {
            result.files = wholeFiles_.get();
            result.error = at.listing->error();
        }
        return result;
    }
    const FolderState state = current_->loadState();
    FolderResult result;
    result.outcome = outcomeOf(state);
    result.depth = current_->depth;
    if (state == FolderState::Listed) {
        result.files = current_->links.listed.files;
        result.error = result.files->listing().error();
    } else {
        result.error = current_->links.error;
    }
    return result;
}

}  // namespace quarvex
