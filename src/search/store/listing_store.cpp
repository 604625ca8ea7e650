#include "search/store/listing_store.h"

#include <chrono>
#include <new>

#include "search/walk/walk.h"

namespace quarvex {

namespace {

// How often the background pass looks for trees searched too long ago, while nothing happens.
constexpr auto kIdleLook = std::chrono::seconds(30);

}  // namespace

ListingStore::ListingStore(Platform& platform, std::size_t mostBytes,
                           std::uint64_t idleMicroseconds)
    : platform_(platform),
      trees_(mostBytes),
      idleMicroseconds_(idleMicroseconds),
      workers_(Walk::defaultWorkers()) {}

ListingStore::~ListingStore() {
    // The background pass holds the lock while it reads: as for a search, it stops at its next
    // folder, rather than after the whole tree.
    searching_ = true;
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    wake_.notify_all();
    if (pass_.joinable()) pass_.join();
}

// ---- one search ----

std::unique_ptr<ListingStore::Search> ListingStore::begin(const std::string& root, unsigned workers,
                                                          unsigned startWorkers,
                                                          const WaitHook& wait) {
    searching_ = true;
    return std::unique_ptr<Search>(new Search(*this, root, workers, startWorkers, wait));
}

ListingStore::Search::Search(ListingStore& store, const std::string& root, unsigned workers,
                             unsigned startWorkers, const WaitHook& wait)
    : store_(store), lock_(store.mutex_) {
    StoredTrees& trees = store.trees_;
    bytesAtBegin_ = trees.bytes();
    ++store.searches_;
    store.workers_ = workers;
    store.startWorkers_ = startWorkers;
    generation_ = trees.generation();
    // The root is opened and identified afresh at every search: no notification tells of a root
    // moved with a parent.
    const OpenResult opened = store.platform_.openRoot(root);
    const OwnedFolder handle(store.platform_,
                             opened.status == OpenStatus::Opened ? opened.handle : kNoFolder);
    // One folder, however it is spelt, is one tree: by its identity.
    StoredTree* tree = handle ? trees.find(opened.identity) : nullptr;
    const std::uint64_t now = store.platform_.now();
    if (now > store.idleMicroseconds_) store.dropIdle(now - store.idleMicroseconds_, tree);
    if (tree != nullptr && trees.apply(*tree)) {
        tree->root = root;
        tree->lastUsed = ++store.clock_;
        tree->lastSearchedAt = now;
        if (tree->pending && tree->top == nullptr) {
            // Read from the disk, as the first search was: the pass has kept nothing yet.
            tree_ = tree;
            return;
        }
        TreeCounts counts = trees.count(*tree);
        // Where every folder is watched, what changed is read first: its news (a file with
        // another name) may concern what is answered before it. While the pass has not read
        // the tree whole, what it did not reach yet is read from the disk, as a blind folder is.
        if (!tree->pending && counts.blind == 0 && counts.toRead > 0) {
            if (!store.walkTree(*tree, TreeSource::Walking::Refresh, wait)) return;
            tree = trees.find(opened.identity);
            if (tree == nullptr) return;
            counts = trees.count(*tree);
        }
        tree_ = tree;
        view_ =
            std::make_unique<TreeSource>(trees, *tree, TreeSource::Walking::Search,
                                         tree->pending || counts.blind > 0 || tree->sizesSuspect);
        return;
    }
    if (!handle) return;
    // A tree known not to fit beside the others: room is made for it, unless it cannot fit at
    // all, whatever else went.
    if (const std::size_t wanted = trees.wanted(opened.identity); wanted != 0) {
        if (trees.tooBig(wanted)) return;
        trees.makeRoom(wanted);
    }
    // Keep what this search reads, where every change can be seen.
    std::unique_ptr<TreeWatch> watch = store.platform_.watchTree(handle.get(), root);
    if (watch == nullptr) return;
    auto fresh = std::make_unique<StoredTree>();
    fresh->root = root;
    fresh->identity = opened.identity;
    fresh->watch = std::move(watch);
    fresh->lastUsed = ++store.clock_;
    fresh->lastSearchedAt = now;
    // Where each folder needs a watch of its own, a watch made after a folder was read cannot
    // vouch for what was read: the pass after this search reads every folder again, under
    // watches made first. Keeping what this search reads would only slow it down.
    fresh->pending = !fresh->watch->coversTree();
    tree_ = &trees.add(std::move(fresh));
    newTree_ = true;
    // Counts what a pending tree would take, and keeps nothing.
    view_ = std::make_unique<TreeSource>(trees, *tree_, TreeSource::Walking::Search);
}

void ListingStore::Search::end(bool whole) {
    if (ended_) return;
    ended_ = true;
    StoredTrees& trees = store_.trees_;
    const bool lost = view_ != nullptr && view_->lost();
    if (lost && view_->neededBytes() != 0 && whole)
        trees.remember(tree_->identity, view_->neededBytes());
    // A tree for the pass to keep that would not fit beside the others goes as one kept past
    // the bound does: the pass would only read it to let it go. (Its count began with what the
    // tree takes already.)
    const bool noRoom = newTree_ && tree_->pending && whole && view_ != nullptr &&
                        !trees.roomFor(view_->neededBytes() - tree_->bytes);
    if (noRoom) trees.remember(tree_->identity, view_->neededBytes());
    view_.reset();  // gives back the watches of what was not kept
    if (tree_ != nullptr) {
        if (lost || noRoom ||
            (newTree_ && (!whole || (tree_->top == nullptr && !tree_->pending)))) {
            trees.drop(*tree_);
        } else {
            trees.markNewNames(*tree_);
            // Changes told while the walk ran make their folders dirty at once.
            if (newTree_ && trees.apply(*tree_)) trees.remember(tree_->identity, 0);
        }
    }
    if (trees.bytes() < bytesAtBegin_ || lost) store_.platform_.releaseFreedMemory();
    // Background work only where something may be left to it.
    if (trees.generation() != generation_) store_.idle_ = false;
    // Without room for its thread, the background work waits for a later search to start it.
    if (!store_.pass_.joinable())
        store_.platform_.startThread(store_.pass_, [&store = store_] { store.passLoop(); });
    store_.searching_ = false;
    lock_.unlock();
    store_.wake_.notify_all();
}

// ---- its lock held ----

void ListingStore::dropEverything() {
    while (!trees_.all().empty()) trees_.drop(*trees_.all().back());
    platform_.releaseFreedMemory();
}

void ListingStore::dropIdle(std::uint64_t since, const StoredTree* keep) {
    const std::size_t before = trees_.bytes();
    trees_.dropIdle(since, keep);
    if (trees_.bytes() < before) platform_.releaseFreedMemory();
}

bool ListingStore::walkTree(StoredTree& tree, TreeSource::Walking walking, const WaitHook& goOn) {
    const BackgroundWork work = walking == TreeSource::Walking::Pass    ? BackgroundWork::Pass
                                : walking == TreeSource::Walking::Sizes ? BackgroundWork::Sizes
                                                                        : BackgroundWork::Refresh;
    if (!trees_.markWork(tree, work)) return true;
    const NamePattern nothing("");  // matches no name: nothing to show
    bool whole = false;
    bool lost = false;
    std::size_t needed = 0;
    {
        TreeSource view(trees_, tree, walking);
        WalkSetup setup;
        setup.workers = workers_;
        setup.startWorkers = startWorkers_;
        setup.source = &view;
        setup.recorder = &view;
        setup.keepEverything = true;
        // Names first, under watches, so that searches may answer from memory soon: the sizes
        // that come with the pass are read by a walk of their own after it.
        setup.sizeEverything = walking != TreeSource::Walking::Pass;
        Walk walk(platform_, nothing, setup);
        walk.start(tree.root);
        while (walk.advance(goOn) && walk.result(goOn)) {
        }
        walk.stop();
        whole = !walk.stopped();
        lost = view.lost();
        needed = view.neededBytes();
    }
    trees_.markNewNames(tree);
    // A tree that does not fit is counted whole, so that no search tries to keep it again before
    // others made room.
    if (lost && whole && needed != 0) trees_.remember(tree.identity, needed);
    // Nothing kept of a root a whole walk read: it could not be read.
    if (lost || (whole && tree.top == nullptr)) {
        trees_.drop(tree);
        if (lost) platform_.releaseFreedMemory();
        return whole;
    }
    if (whole && walking == TreeSource::Walking::Pass) tree.pending = false;
    // Every size the tree keeps was read again since the last write told through a gone name.
    if (whole && walking == TreeSource::Walking::Sizes) tree.sizesSuspect = false;
    return whole;
}

// Reads again, under watches made first, the kept folders no watch vouches for, and yields to
// every search. Runs until the store goes.
void ListingStore::passLoop() {
    std::unique_lock lock(mutex_);
    const WaitHook goOn = [this] { return !searching_ && !quitting_; };
    for (;;) {
        // A tree not searched for a while gives its watches back, even while nothing happens.
        wake_.wait_for(lock, kIdleLook, [this] { return quitting_ || (!searching_ && !idle_); });
        if (quitting_) return;
        if (searching_) continue;
        try {
            passStep(goOn);
            continue;
        } catch (const std::bad_alloc&) {
        }
        // Memory ran out while the pass kept what it read: the store gives back all it holds,
        // as when a search runs out, and keeps anew from the next search on. Giving back takes
        // a little memory too: should even that fail, the pass goes on rather than end the
        // process.
        try {
            dropEverything();
        } catch (const std::bad_alloc&) {
        }
        idle_ = true;
        wake_.notify_all();
    }
}

void ListingStore::passStep(const WaitHook& goOn) {
    if (const std::uint64_t now = platform_.now(); now > idleMicroseconds_)
        dropIdle(now - idleMicroseconds_, nullptr);
    if (idle_) return;
    // Every tree's names before any tree's sizes.
    StoredTree* next = nullptr;
    int kind = 0;
    for (; kind < 2 && next == nullptr; ++kind)
        for (const auto& tree : trees_.all())
            if (tree->passedAt[kind] != searches_ &&
                trees_.markWork(*tree, kind == 0 ? BackgroundWork::Pass : BackgroundWork::Sizes)) {
                next = tree.get();
                break;
            }
    if (next == nullptr) {
        // Settled: searches from memory read each tree as one stream from now on.
        const std::size_t before = trees_.bytes();
        // Counted now, not by the next search, which would walk every folder first.
        for (const auto& tree : trees_.all()) {
            trees_.pack(*tree, [this] { platform_.releaseFreedMemory(); });
            trees_.count(*tree);
        }
        if (trees_.bytes() != before) platform_.releaseFreedMemory();
        idle_ = true;
        wake_.notify_all();  // for settle()
        return;
    }
    --kind;
    const FolderIdentity root = next->identity;
    // What a whole walk could not do waits for the next search's changes.
    if (walkTree(*next, kind == 0 ? TreeSource::Walking::Pass : TreeSource::Walking::Sizes, goOn))
        if (StoredTree* tree = trees_.find(root)) tree->passedAt[kind] = searches_;
}

void ListingStore::giveUp() {
    std::lock_guard lock(mutex_);
    dropEverything();
}

// ---- for tests and the benchmark ----

std::size_t ListingStore::bytes() const {
    std::lock_guard lock(mutex_);
    return trees_.bytes();
}

std::size_t ListingStore::peakBytes() const {
    std::lock_guard lock(mutex_);
    return trees_.peakBytes();
}

std::size_t ListingStore::folders() const {
    std::lock_guard lock(mutex_);
    return trees_.folders();
}

void ListingStore::settle() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return idle_ || !pass_.joinable(); });
}

}  // namespace quarvex
