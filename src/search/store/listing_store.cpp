#include "search/store/listing_store.h"

#include <algorithm>

#include "search/store/store_walk.h"

namespace quarvex {

namespace {

// A search answers from the store while it would list no more folders again than this (or a
// thirtysecond of those kept); beyond that a fresh walk with all its threads is faster.
constexpr std::size_t kMostListedAgain = 64;

bool sameRoot(const FolderIdentity& a, const FolderIdentity& b) {
    return a.sameFolder(b) && a.mount == b.mount;
}

// Calls `visit` for every folder below and with `top`, parents first; iterative, for any depth.
template <class Visit>
void eachFolder(StoredFolder* top, Visit&& visit) {
    if (top == nullptr) return;
    std::vector<StoredFolder*> stack{top};
    while (!stack.empty()) {
        StoredFolder* folder = stack.back();
        stack.pop_back();
        visit(*folder);
        for (const StoredChild& c : folder->children)
            if (c.folder != nullptr) stack.push_back(c.folder);
    }
}

}  // namespace

ListingStore::ListingStore(Platform& platform, std::size_t mostBytes)
    : platform_(platform), mostBytes_(mostBytes) {}

ListingStore::~ListingStore() {
    // The background pass holds the lock while it lists: as for a search, it stops at its next
    // folder, rather than after the whole tree.
    searching_ = true;
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    wake_.notify_all();
    if (verifier_.joinable()) verifier_.join();
    std::lock_guard lock(mutex_);
    while (!trees_.empty()) dropTree(trees_.back().get());
}

// ---- one search ----

ListingStore::Search::Search(ListingStore& store, const std::string& root,
                             const Walker::WaitHook& wait)
    : store_(store) {
    store.searching_ = true;
    lock_ = std::unique_lock(store.mutex_);
    ++store.searches_;
    generation_ = store.generation_;
    OpenResult opened = store.platform_.openRoot(root);
    const OwnedFolder handle(store.platform_,
                             opened.status == OpenStatus::Opened ? opened.handle : kNoFolder);
    StoredTree* tree = store.find(root);
    // Still the folder kept, and nothing lost since?
    if (tree != nullptr && (!handle || !sameRoot(tree->identity, opened.identity))) {
        store.dropTree(tree);
        tree = nullptr;
    }
    if (tree != nullptr && !store.apply(*tree)) tree = nullptr;
    if (tree != nullptr) {
        tree->lastUsed = ++store.clock_;
        store.count(*tree);
        if (tree->untrusted > std::max(kMostListedAgain, tree->folders / 32))
            return;  // a fresh walk; background work catches up afterwards
        // What changed is listed again before anything is answered.
        if (tree->untrusted != 0 && !store.verify(*tree, true, nullptr, wait)) return;
        if (tree->top != nullptr) tree_ = tree;
        return;
    }
    if (!handle) return;
    // Keep what this search lists, where every change can be seen.
    std::unique_ptr<TreeWatch> watch = store.platform_.watchTree(handle.get(), root);
    if (watch == nullptr) return;
    fresh_ = std::make_unique<StoredTree>();
    fresh_->root = root;
    fresh_->identity = opened.identity;
    fresh_->watch = std::move(watch);
    keeping_ = true;
}

ListingStore::Search::~Search() {
    end(false);
}

std::unique_ptr<Walker> ListingStore::Search::walker(const NamePattern& pattern) {
    if (tree_ == nullptr) return nullptr;
    return std::make_unique<StoreWalk>(store_.platform_, pattern, store_, *tree_,
                                       StoreWalk::Mode::Search);
}

void ListingStore::Search::keep(const std::string& path, const FolderResult& result) {
    if (!keeping_) return;
    StoredTree& tree = *fresh_;
    const std::size_t depth = result.depth;
    StoredFolder* folder = nullptr;
    if (result.outcome == FolderOutcome::Listed && result.files != nullptr &&
        result.files->error() == 0)
        folder = const_cast<FolderFiles*>(result.files)->record().release();
    if (depth == 0) {
        tree.top = folder;
    } else {
        if (depth > path_.size()) {  // not in pre-order: keep nothing of this search
            keeping_ = false;
            delete folder;
            return;
        }
        path_.resize(depth);
        nextChild_.resize(depth);
        StoredFolder* parent = path_.back();
        if (parent == nullptr) {
            delete folder;
            folder = nullptr;
        } else {
            StoredChild* slot = nextChild_.back() < parent->children.size()
                                    ? &parent->children[nextChild_.back()++]
                                    : nullptr;
            // The folder the walk came to is the next subfolder its parent's listing showed.
            std::string_view walked(path);
            walked.remove_suffix(1);
            if (slot == nullptr || !walked.ends_with(parent->name(*slot))) {
                keeping_ = false;
                delete folder;
                return;
            }
            if (folder != nullptr) {
                slot->folder = folder;
                folder->parent = parent;
            }
            slot->otherMount = result.outcome == FolderOutcome::OtherMount;
            slot->unreadable = result.outcome == FolderOutcome::Unreadable;
        }
    }
    if (folder != nullptr && tree.watch->coversTree()) {
        // Watched since before it was listed: the tree's one watch was made first.
        folder->key = store_.nextKey_++;
        const std::size_t rootLength = tree.root.size();
        const std::string_view relative =
            path.size() > rootLength
                ? std::string_view(path).substr(rootLength, path.size() - rootLength - 1)
                : std::string_view();
        folder->watched = tree.watch->watch(kNoFolder, relative, folder->key);
        if (folder->watched)
            store_.byKey_[folder->key] = folder;
        else
            folder->key = 0;
    }
    path_.push_back(folder);
    nextChild_.push_back(0);
}

void ListingStore::Search::end(bool whole) {
    if (ended_) return;
    ended_ = true;
    if (fresh_ != nullptr) {
        if (keeping_ && whole && fresh_->top != nullptr) {
            fresh_->bytes = store_.measure(*fresh_);
            fresh_->lastUsed = ++store_.clock_;
            StoredTree* kept = fresh_.get();
            ++store_.generation_;
            store_.trees_.push_back(std::move(fresh_));
            // Changes told while the walk ran make their folders dirty at once.
            if (store_.apply(*kept)) store_.makeRoom(kept);
        } else {
            store_.trees_.push_back(std::move(fresh_));
            store_.dropTree(store_.trees_.back().get());
        }
    }
    // Background work only where something may be left to it.
    if (store_.generation_ != generation_) {
        if (tree_ != nullptr) tree_->bytes = store_.measure(*tree_);
        store_.idle_ = false;
    }
    if (!store_.verifier_.joinable())
        store_.verifier_ = std::thread([&store = store_] { store.verifyLoop(); });
    store_.searching_ = false;
    lock_.unlock();
    store_.wake_.notify_all();
}

// ---- the store's lock held ----

StoredTree* ListingStore::find(const std::string& root) {
    for (const auto& tree : trees_)
        if (tree->root == root) return tree.get();
    return nullptr;
}

void ListingStore::dropTree(StoredTree* tree) {
    ++generation_;
    freeFolders(*tree, tree->top);
    tree->top = nullptr;
    std::erase_if(trees_, [tree](const auto& t) { return t.get() == tree; });
}

// Takes in the changes told since the last time; false when they were lost and the tree was
// dropped.
bool ListingStore::apply(StoredTree& tree) {
    struct Sink : ChangeSink {
        Sink(ListingStore& s, StoredTree& t) : store(s), tree(t) {}
        StoredFolder* folderOf(std::uint64_t key) {
            const auto it = store.byKey_.find(key);
            return it != store.byKey_.end() ? it->second : nullptr;
        }
        void entriesChanged(std::uint64_t key) override {
            if (StoredFolder* folder = folderOf(key)) {
                folder->dirty = true;
                ++store.generation_;
            }
        }
        void folderChanged(std::uint64_t key) override {
            if (StoredFolder* folder = folderOf(key)) store.drop(tree, folder);
        }
        ListingStore& store;
        StoredTree& tree;
    } sink(*this, tree);
    if (!tree.watch->drain(sink) || tree.top == nullptr) {
        dropTree(&tree);
        return false;
    }
    return true;
}

void ListingStore::forget(StoredTree& tree, StoredFolder& folder) {
    if (folder.key == 0) return;
    tree.watch->unwatch(folder.key);
    byKey_.erase(folder.key);
    folder.key = 0;
}

void ListingStore::freeFolders(StoredTree& tree, StoredFolder* top) {
    std::vector<StoredFolder*> all;
    eachFolder(top, [&](StoredFolder& folder) { all.push_back(&folder); });
    for (StoredFolder* folder : all) {
        forget(tree, *folder);
        delete folder;
    }
}

// Takes `folder` and everything below it out of the tree.
void ListingStore::drop(StoredTree& tree, StoredFolder* folder) {
    ++generation_;
    if (StoredFolder* parent = folder->parent) {
        for (StoredChild& c : parent->children)
            if (c.folder == folder) c.folder = nullptr;
    } else if (tree.top == folder) {
        tree.top = nullptr;
    }
    freeFolders(tree, folder);
}

// Puts a fresh listing in the place of `slot`'s, below `parent`; what of the old one was not
// moved into the fresh one goes.
void ListingStore::replace(StoredTree& tree, StoredFolder* parent, StoredFolder*& slot,
                           StoredFolder* fresh) {
    ++generation_;
    StoredFolder* old = slot;
    fresh->parent = parent;
    for (StoredChild& c : fresh->children)
        if (c.folder != nullptr) c.folder->parent = fresh;
    if (fresh->key != 0) byKey_[fresh->key] = fresh;
    slot = fresh;
    if (old != nullptr) {
        if (old->key == fresh->key) old->key = 0;  // the watch goes on with the fresh one
        freeFolders(tree, old);
    }
}

std::uint64_t ListingStore::newKey() {
    return nextKey_++;
}

// Folders a search would list again: not trusted, or not kept where one would be entered; for
// `verifying`, those the background pass lists (not those it leaves to searches).
std::size_t ListingStore::untrustedIn(const StoredTree& tree, bool verifying) const {
    std::size_t count = 0;
    eachFolder(tree.top, [&](const StoredFolder& folder) {
        if (!folder.trusted() && !(verifying && folder.watchFailed && !folder.dirty)) ++count;
        for (const StoredChild& c : folder.children)
            if (c.folder == nullptr && !c.otherMount && !(verifying && c.unreadable)) ++count;
    });
    return count;
}

// Counts the tree's folders, and those a search would list again, unless nothing changed since.
void ListingStore::count(StoredTree& tree) {
    if (tree.countedAt == generation_) return;
    tree.folders = 0;
    eachFolder(tree.top, [&](const StoredFolder&) { ++tree.folders; });
    tree.untrusted = untrustedIn(tree, false);
    tree.countedAt = generation_;
}

std::size_t ListingStore::measure(const StoredTree& tree) const {
    std::size_t bytes = sizeof(StoredTree) + tree.root.capacity();
    eachFolder(tree.top, [&](const StoredFolder& folder) {
        bytes += folder.bytes();
        if (folder.key != 0) bytes += 5 * sizeof(void*);  // its node and bucket in byKey_
    });
    return bytes;
}

// Drops the trees searched longest ago until all fit, but `keep`; `keep` too if alone too big.
void ListingStore::makeRoom(const StoredTree* keep) {
    for (;;) {
        std::size_t total = 0;
        for (const auto& tree : trees_) total += tree->bytes;
        if (total <= mostBytes_) return;
        StoredTree* oldest = nullptr;
        for (const auto& tree : trees_)
            if (tree.get() != keep && (oldest == nullptr || tree->lastUsed < oldest->lastUsed))
                oldest = tree.get();
        dropTree(oldest != nullptr ? oldest : const_cast<StoredTree*>(keep));
        if (oldest == nullptr) return;
    }
}

// Lists again, under a watch, every folder of the tree not trusted, until done or interrupted.
bool ListingStore::verify(StoredTree& tree, bool refresh, const std::atomic<bool>* interrupt,
                          const Walker::WaitHook& wait) {
    const NamePattern nothing("");  // matches no name: nothing to show
    bool whole = true;
    {
        StoreWalk pass(platform_, nothing, *this, tree,
                       refresh ? StoreWalk::Mode::Refresh : StoreWalk::Mode::Verify, interrupt);
        const Walker::WaitHook goOn = [&] {
            whole = whole && !quitting_ && (interrupt == nullptr || !*interrupt) && wait();
            return whole;
        };
        while (goOn() && pass.advance(goOn)) {
        }
    }
    markNewNames(tree);
    return whole;
}

// Entries whose files were found with more than one name are read again at every use, wherever
// in the tree they are kept.
void ListingStore::markNewNames(StoredTree& tree) {
    if (newNames_.empty()) return;
    std::sort(newNames_.begin(), newNames_.end());
    eachFolder(tree.top, [&](StoredFolder& folder) {
        for (StoredEntry& e : folder.entries)
            if (e.file != 0 && std::binary_search(newNames_.begin(), newNames_.end(), e.file))
                e.flags |= kStoredManyNames;
    });
    newNames_.clear();
}

// ---- background work ----

// Watches and lists again, one by one, the kept folders that were listed without a watch, and
// yields to every search. Runs until the store goes.
void ListingStore::verifyLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quitting_ || (!searching_ && !idle_); });
        if (quitting_) return;
        StoredTree* pending = nullptr;
        for (const auto& tree : trees_)
            if (untrustedIn(*tree, true) != 0) {
                pending = tree.get();
                break;
            }
        if (pending == nullptr) {
            idle_ = true;
            wake_.notify_all();  // for settle()
            continue;
        }
        verify(*pending, false, &searching_, [] { return true; });
        if (quitting_ || searching_) continue;
        pending->bytes = measure(*pending);
        // What a whole pass could not make trusted waits for the next search's changes.
        if (untrustedIn(*pending, true) != 0) idle_ = true;
    }
}

// ---- for tests and the benchmark ----

std::size_t ListingStore::bytes() const {
    std::lock_guard lock(mutex_);
    std::size_t total = 0;
    for (const auto& tree : trees_) total += tree->bytes;
    return total;
}

std::size_t ListingStore::folders() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& tree : trees_) eachFolder(tree->top, [&](const StoredFolder&) { ++count; });
    return count;
}

std::size_t ListingStore::untrusted(const std::string& root) {
    std::lock_guard lock(mutex_);
    const StoredTree* tree = find(root);
    return tree != nullptr ? untrustedIn(*tree, false) : 0;
}

void ListingStore::settle() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return idle_ || !verifier_.joinable(); });
}

}  // namespace quarvex
