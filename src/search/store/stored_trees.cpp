#include "search/store/stored_trees.h"

#include <algorithm>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <unordered_set>
#include <utility>

namespace quarvex {

namespace {

// What a watch's key costs beside its folder: its node and bucket in byKey_.
constexpr std::size_t kKeyBytes = 5 * sizeof(void*);
// How many roots' sizes are remembered, the last ones that did not fit.
constexpr std::size_t kMostWanted = 64;
// Bytes of folders a packing moves between two gives back of what they took before.
constexpr std::size_t kPackedBetweenFrees = std::size_t{4} << 20;

std::size_t bytesOf(const StoredFolder& folder) {
    return folder.bytes() + (folder.key != 0 ? kKeyBytes : 0);
}

// Calls `visit` for every folder below and with `top`, parents first; iterative, for any depth.
template <class Folder, class Visit>
void eachFolder(Folder* top, Visit&& visit) {
    if (top == nullptr) return;
    std::vector<Folder*> stack{top};
    while (!stack.empty()) {
        Folder* folder = stack.back();
        stack.pop_back();
        visit(*folder);
        for (const StoredChild& c : folder->children())
            if (c.folder != nullptr) stack.push_back(c.folder);
    }
}

// Every folder below and with `top`, each after all the folders below it.
std::vector<StoredFolder*> childrenFirst(StoredFolder* top) {
    std::vector<StoredFolder*> all;
    eachFolder(top, [&](StoredFolder& folder) { all.push_back(&folder); });
    std::reverse(all.begin(), all.end());
    return all;
}

}  // namespace

StoredTrees::~StoredTrees() {
    while (!trees_.empty()) drop(*trees_.back());
}

StoredTree* StoredTrees::find(const FolderIdentity& root) {
    const auto it = std::find_if(trees_.begin(), trees_.end(),
                                 [&](auto& t) { return t->identity.sameRoot(root); });
    return it != trees_.end() ? it->get() : nullptr;
}

StoredTree& StoredTrees::add(std::unique_ptr<StoredTree> tree) {
    ++generation_;
    bytes_ += tree->bytes;
    return *trees_.emplace_back(std::move(tree));
}

void StoredTrees::drop(StoredTree& tree) {
    // The tree's watch goes with it, and every watch of its folders with that.
    ++generation_;
    freeBelow(tree, std::exchange(tree.top, nullptr), false);
    bytes_ -= tree.bytes;
    std::erase_if(trees_, [&](const auto& t) { return t.get() == &tree; });
}

namespace {

// Tells, from a drain's names in the order told, the writes through a name the folder does not
// hold. Before the drain's other changes: a folder dirty now was not read since its last ones.
class NameTracker {
  public:
    // Whether `name` is a name of `folder` now, as far as this drain tells.
    bool holds(const StoredFolder& folder, std::string_view name) {
        Names& names = of_[&folder];
        if (const auto it = names.told.find(name); it != names.told.end()) return it->second.there;
        // A listing not read since its last changes may hold a name gone since: unknown.
        if (folder.dirty) return false;
        if (names.listed.empty())
            for (std::size_t i = 0; i < folder.listing.size(); ++i)
                names.listed.insert(folder.listing.name(i));
        return names.listed.contains(name);
    }
    // `at` counts the changes told so far.
    void told(const StoredFolder& folder, std::string_view name, bool there, std::uint64_t at) {
        of_[&folder].told.insert_or_assign(std::string(name), Told{there, at});
    }
    // Whether this drain told that `name` went from `folder`, at its last word on it.
    bool toldGone(const StoredFolder& folder, std::string_view name) {
        const Names& names = of_[&folder];
        const auto it = names.told.find(name);
        return it != names.told.end() && !it->second.there;
    }
    // Whether a name that appeared in `folder` after change `at` is still there. Once the drain
    // has told everything.
    bool appearedSince(const StoredFolder& folder, std::uint64_t at) {
        Names& names = of_[&folder];
        if (!names.lastThere) {
            names.lastThere = 0;
            for (const auto& [name, told] : names.told)
                if (told.there) names.lastThere = std::max(*names.lastThere, told.at);
        }
        return *names.lastThere > at;
    }

  private:
    struct Hash : std::hash<std::string_view> {
        using is_transparent = void;
    };
    struct Told {
        bool there;
        std::uint64_t at;
    };
    struct Names {
        std::unordered_map<std::string, Told, Hash, std::equal_to<>> told;
        std::unordered_set<std::string_view> listed;
        std::optional<std::uint64_t> lastThere;  // the last change of a name still there
    };
    std::unordered_map<const StoredFolder*, Names> of_;
};

}  // namespace

bool StoredTrees::apply(StoredTree& tree) {
    struct Sink : ChangeSink {
        Sink(StoredTrees& t, StoredTree& r) : trees(t), tree(r) {}
        StoredFolder* folderOf(std::uint64_t key) {
            const auto it = trees.byKey_.find(key);
            return it != trees.byKey_.end() ? it->second : nullptr;
        }
        void nameChanged(std::uint64_t key, NameChange change, std::string_view name) override {
            const StoredFolder* folder = folderOf(key);
            if (folder == nullptr || tree.sizesSuspect) return;
            ++told;
            if (change != NameChange::Written)
                names.told(*folder, name, change == NameChange::Appeared, told);
            else if (!names.holds(*folder, name))
                trees.suspectSizes(tree);
            else
                written.push_back({key, std::string(name), told});
        }
        void namesLost() override { trees.suspectSizes(tree); }
        void entriesChanged(std::uint64_t key) override {
            if (StoredFolder* folder = folderOf(key)) {
                folder->dirty = true;
                ++trees.generation_;
            }
        }
        void folderChanged(std::uint64_t key) override {
            StoredFolder* folder = folderOf(key);
            if (folder == tree.top) return trees.drop(tree, tree.top);
            if (folder != nullptr)
                for (StoredChild& c : folder->parent->children())
                    if (c.folder == folder) trees.drop(tree, c.folder);
        }
        StoredTrees& trees;
        StoredTree& tree;
        NameTracker names;
        std::uint64_t told = 0;  // the names' changes told so far
        struct Write {
            std::uint64_t key;
            std::string name;
            std::uint64_t at;
        };
        std::vector<Write> written;  // through a name the folder held then
    } sink(*this, tree);
    if (!tree.watch->drain(sink) || (tree.top == nullptr && !tree.pending)) {
        drop(tree);
        return false;
    }
    // Reading a written folder again tells whether the file has another name, kept elsewhere,
    // unless the name went meanwhile: with the folder (then never read again), or alone (a
    // name linked to a kept file, written through and removed). A name that appeared after the
    // write and is still there may be the file's, moved (a temporary file saved over another):
    // reading the folder tells.
    for (const Sink::Write& w : sink.written) {
        if (tree.sizesSuspect) break;
        const StoredFolder* folder = sink.folderOf(w.key);
        if (folder == nullptr ||
            (sink.names.toldGone(*folder, w.name) && !sink.names.appearedSince(*folder, w.at)))
            suspectSizes(tree);
    }
    return true;
}

void StoredTrees::suspectSizes(StoredTree& tree) {
    if (tree.sizesSuspect) return;
    tree.sizesSuspect = true;
    eachFolder(tree.top, [](StoredFolder& folder) {
        folder.unsized = true;
        folder.plain = false;
    });
    ++generation_;
}

bool StoredTrees::watch(StoredTree& tree, FolderHandle folder, std::string_view relativePath,
                        std::uint64_t key) {
    const std::lock_guard lock(watchMutex_);
    return tree.watch->watch(folder, relativePath, key);
}

void StoredTrees::unwatch(StoredTree& tree, std::uint64_t key) {
    const std::lock_guard lock(watchMutex_);
    tree.watch->unwatch(key);
}

StoredFolder* StoredTrees::replace(StoredTree& tree, StoredFolder*& slot, StoredFolder* parent,
                                   std::unique_ptr<StoredFolder> fresh) {
    ++generation_;
    fresh->parent = parent;
    if (StoredFolder* old = slot) {
        for (StoredChild& c : fresh->children()) {
            StoredChild* was = old->slotFor(c.entry, fresh->name(c), c.file);
            if (was == nullptr) continue;
            c.folder = std::exchange(was->folder, nullptr);
            if (c.folder != nullptr) c.folder->parent = fresh.get();
            c.otherMount = was->otherMount;
            c.unreadable = was->unreadable;
        }
        if (old->key == fresh->key) {
            old->key = 0;  // the watch goes on with the fresh one
            account(tree, -static_cast<std::ptrdiff_t>(kKeyBytes));
        }
        drop(tree, slot);
    }
    if (fresh->key != 0) byKey_[fresh->key] = fresh.get();
    account(tree, static_cast<std::ptrdiff_t>(bytesOf(*fresh)));
    slot = fresh.release();
    return slot;
}

void StoredTrees::drop(StoredTree& tree, StoredFolder*& slot) {
    if (slot == nullptr) return;
    ++generation_;
    freeBelow(tree, std::exchange(slot, nullptr));
}

void StoredTrees::freeBelow(StoredTree& tree, StoredFolder* top, bool unwatching) {
    std::vector<StoredFolder*> all;
    eachFolder(top, [&](StoredFolder& folder) { all.push_back(&folder); });
    for (StoredFolder* folder : all) {
        account(tree, -static_cast<std::ptrdiff_t>(bytesOf(*folder)));
        if (folder->key != 0) {
            if (unwatching) unwatch(tree, folder->key);
            byKey_.erase(folder->key);
        }
        StoredFolder::destroy(folder);
    }
}

// A file found with more than one name for the first time: a write through another name tells
// this folder nothing, and the other names, wherever they are kept, must be sized again too.
void StoredTrees::noteNewNames(const StoredFolder& fresh, const StoredFolder* old) {
    std::unordered_map<std::string_view, const ListingEntry*> before;
    for (const ListingEntry& e : fresh.listing.entries()) {
        if ((e.flags & kEntryManyNames) == 0 || e.file == 0) continue;
        if (old != nullptr && before.empty())
            for (const ListingEntry& o : old->listing.entries())
                before.emplace(old->listing.name(o), &o);
        const auto it = before.find(fresh.listing.name(e));
        if (it == before.end() || (it->second->flags & kEntryManyNames) == 0 ||
            it->second->file != e.file)
            newNames_.push_back(e.file);
    }
}

void StoredTrees::markNewNames(StoredTree& tree) {
    if (newNames_.empty()) return;
    std::sort(newNames_.begin(), newNames_.end());
    eachFolder(tree.top, [&](StoredFolder& folder) {
        for (std::size_t i = 0; i < folder.listing.size(); ++i) {
            const std::uint64_t file = folder.listing[i].file;
            if (file != 0 && std::binary_search(newNames_.begin(), newNames_.end(), file)) {
                folder.listing.markManyNames(i);
                folder.plain = false;
            }
        }
    });
    newNames_.clear();
    ++generation_;
}

const TreeCounts& StoredTrees::count(StoredTree& tree) {
    if (tree.counts.at == generation_) return tree.counts;
    TreeCounts& counts = tree.counts = {};
    counts.at = generation_;
    for (StoredFolder* folder : childrenFirst(tree.top)) {
        ++counts.folders;
        if (folder->blind())
            ++counts.blind;
        else if (folder->dirty)
            ++counts.toRead;
        folder->wholeBelow = folder->trusted() && folder->plain && !folder->broken;
        for (const StoredChild& c : folder->children()) {
            if (c.folder == nullptr && !c.otherMount)
                ++(c.unreadable ? counts.blind : counts.toRead);
            folder->wholeBelow = folder->wholeBelow && c.folder != nullptr && !c.otherMount &&
                                 !c.unreadable && c.folder->wholeBelow;
        }
    }
    return counts;
}

bool StoredTrees::reads(const StoredFolder& folder, BackgroundWork work) {
    if (work == BackgroundWork::Sizes) return folder.trusted() && folder.unsized;
    if (folder.trusted()) return false;
    // What no watch can vouch for a pass leaves to the searches, until it changes.
    return work == BackgroundWork::Refresh || folder.dirty ||
           !(folder.watchFailed || folder.broken);
}

bool StoredTrees::reads(const StoredChild& slot, BackgroundWork work) {
    return work != BackgroundWork::Sizes && slot.folder == nullptr && !slot.otherMount &&
           (work == BackgroundWork::Refresh || !slot.unreadable);
}

bool StoredTrees::markWork(StoredTree& tree, BackgroundWork work) {
    for (StoredFolder* folder : childrenFirst(tree.top)) {
        folder->workBelow = false;
        for (const StoredChild& c : folder->children())
            if (c.folder != nullptr ? reads(*c.folder, work) || c.folder->workBelow
                                    : reads(c, work))
                folder->workBelow = true;
    }
    if (tree.top == nullptr) return tree.pending && work == BackgroundWork::Pass;
    return reads(*tree.top, work) || tree.top->workBelow;
}

void StoredTrees::makeRoom(std::size_t bytes) {
    while (!trees_.empty() && bytes_ + bytes > mostBytes_)
        drop(**std::min_element(trees_.begin(), trees_.end(),
                                [](auto& a, auto& b) { return a->lastUsed < b->lastUsed; }));
}

void StoredTrees::remember(const FolderIdentity& root, std::size_t bytes) {
    std::erase_if(wanted_, [&](const auto& w) { return w.first.sameRoot(root); });
    if (bytes == 0) return;
    if (wanted_.size() == kMostWanted) wanted_.erase(wanted_.begin());
    wanted_.emplace_back(root, bytes);
}

std::size_t StoredTrees::wanted(const FolderIdentity& root) const {
    for (const auto& [identity, bytes] : wanted_)
        if (identity.sameRoot(root)) return bytes;
    return 0;
}

void StoredTrees::dropIdle(std::uint64_t since, const StoredTree* keep) {
    for (std::size_t i = trees_.size(); i-- > 0;)
        if (trees_[i].get() != keep && trees_[i]->lastSearchedAt < since) drop(*trees_[i]);
}

void StoredTrees::pack(StoredTree& tree, const std::function<void()>& freed) {
    if (tree.packedAt == generation_ || tree.top == nullptr) return;
    // In the order of a walk, pre-order: a folder's record, its slots and listing, then each
    // kept subfolder's tree, first to last. A search reading a whole subtree meets them so.
    struct Place {
        StoredFolder* folder;
        std::size_t parent;
        std::size_t slot;
        std::size_t record = 0;  // where its record goes, and its slots and listing
        std::size_t body = 0;
    };
    std::vector<Place> order;
    std::unique_ptr<std::byte[]> packed;
    std::vector<StoredFolder*> moved;
    std::size_t total = sizeof(StoredFolder);
    try {
        std::vector<Place> stack{{tree.top, 0, 0}};
        while (!stack.empty()) {
            Place place = stack.back();
            stack.pop_back();
            const std::size_t at = order.size();
            if (at > 0) {
                place.record = total;
                total += sizeof(StoredFolder);
            }
            place.body = total;
            total += StoredFolder::bodyBytes(*place.folder);
            const std::span<StoredChild> children = place.folder->children();
            for (std::size_t i = children.size(); i-- > 0;)
                if (children[i].folder != nullptr) stack.push_back({children[i].folder, at, i});
            order.push_back(place);
        }
        if (bytes_ + total > mostBytes_) return;  // for a while, the folders take twice their room
        packed = std::make_unique_for_overwrite<std::byte[]>(total);
        moved.resize(order.size());
    } catch (const std::bad_alloc&) {
        return;  // it stays as it is: only slower to search
    }
    account(tree, static_cast<std::ptrdiff_t>(total));
    std::size_t lastFreed = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const Place& place = order[i];
        if (place.body - lastFreed >= kPackedBetweenFrees) {
            freed();
            lastFreed = place.body;
        }
        StoredFolder* const old = place.folder;
        const std::size_t before = bytesOf(*old);
        StoredFolder* const now = StoredFolder::packInto(
            std::move(*old), packed.get() + place.record, packed.get() + place.body);
        StoredFolder::destroy(old);
        (i == 0 ? tree.top : moved[place.parent]->children()[place.slot].folder) = now;
        for (StoredChild& c : now->children())
            if (c.folder != nullptr) c.folder->parent = now;
        if (now->key != 0) byKey_[now->key] = now;
        moved[i] = now;
        account(tree,
                static_cast<std::ptrdiff_t>(bytesOf(*now)) - static_cast<std::ptrdiff_t>(before));
    }
    account(tree, -static_cast<std::ptrdiff_t>(tree.packedBytes));
    tree.packed = std::move(packed);
    tree.packedBytes = total;
    tree.packedAt = generation_;
}

void StoredTrees::account(StoredTree& tree, std::ptrdiff_t bytes) {
    tree.bytes += static_cast<std::size_t>(bytes);
    bytes_ += static_cast<std::size_t>(bytes);
    peakBytes_ = std::max(peakBytes_, bytes_);
}

std::size_t StoredTrees::folders() const {
    std::size_t count = 0;
    for (const auto& tree : trees_) eachFolder(tree->top, [&](const StoredFolder&) { ++count; });
    return count;
}

}  // namespace quarvex
