#include "search/store/tree_source.h"

namespace quarvex {

TreeSource::TreeSource(StoredTrees& trees, StoredTree& tree, Walking walking, bool sizesAtUse)
    : trees_(trees),
      tree_(tree),
      walking_(walking),
      sizesAtUse_(sizesAtUse),
      countOnly_(walking == Walking::Search && tree.pending && tree.top == nullptr),
      neededBytes_(countOnly_ ? tree.bytes : 0) {}

TreeSource::~TreeSource() {
    for (const std::uint64_t key : unkeptKeys_) trees_.unwatch(tree_, key);
}

bool TreeSource::vouches(const StoredFolder& folder) const {
    return background() ? !StoredTrees::reads(folder, work()) : folder.trusted();
}

ListingSource::Answer TreeSource::answer(StoredFolder& folder) {
    Answer a{.folder = &folder, .file = folder.file};
    if (vouches(folder)) {
        if (!answered_.load(std::memory_order_relaxed))
            answered_.store(true, std::memory_order_relaxed);
        a.listing = &folder.listing;
        a.whole = !background() && !sizesAtUse_ && folder.wholeBelow;
        // The walk reads it soon, one folder of thousands scattered over the heap: its entries
        // names and subfolder slots are on their way meanwhile. A packed tree lies in the order
        // the walk reads it, which the processor follows by itself.
        if (!folder.packed()) {
            folder.listing.prefetch();
            __builtin_prefetch(folder.children().data());
        }
        a.notNeeded = background() && !folder.workBelow;
    }
    return a;
}

ListingSource::Answer TreeSource::root(const FolderIdentity& opened) {
    if (!opened.sameRoot(tree_.identity)) {
        // Another folder by that name now: a search reads it afresh and keeps nothing of it.
        lost_ = true;
        return {.notNeeded = background()};
    }
    return tree_.top != nullptr ? answer(*tree_.top) : Answer{};
}

ListingSource::Answer TreeSource::child(KeptFolder& parent, std::uint32_t entry,
                                        std::string_view name, std::uint64_t file) {
    const StoredChild* slot = static_cast<StoredFolder&>(parent).slotFor(entry, name, file);
    if (slot == nullptr) return {};
    if (slot->folder != nullptr && !slot->otherMount) return answer(*slot->folder);
    // A search opens a mount point again: a mount that came and went between two looks at the
    // mount table changed nothing there.
    const bool otherMount = slot->otherMount && background();
    return {.otherMount = otherMount,
            .notNeeded = !otherMount && background() && !StoredTrees::reads(*slot, work())};
}

std::uint64_t TreeSource::beforeReading(FolderHandle folder) {
    // A search reads what no watch vouches for as fast as without a store; one tree-wide watch
    // vouches for every folder from the start.
    // A walk for sizes reads folders watched already: their watches go on.
    if (!background() || walking_ == Walking::Sizes || tree_.watch->coversTree()) return 0;
    const std::uint64_t key = trees_.newKey();
    if (!trees_.watch(tree_, folder, {}, key)) return 0;
    const std::lock_guard lock(keysMutex_);
    unkeptKeys_.insert(key);
    return key;
}

void TreeSource::record(Folder& folder) {
    levels_.resize(folder.depth);
    StoredFolder* here = nullptr;
    if (lost_ || countOnly_) {
        // Nothing is kept of a root that is not the one kept; past the bound, or for the pass to
        // keep, what it would take whole is counted on.
        if (folder.listing != nullptr) neededBytes_ += StoredFolder::bytesFor(*folder.listing);
    } else if (folder.depth == 0) {
        here = keep(tree_.top, nullptr, nullptr, folder);
        if (here == nullptr && folder.outcome != FolderOutcome::NotNeeded) lost_ = true;
    } else if (folder.listing == nullptr && folder.outcome == FolderOutcome::Listed) {
        here = static_cast<StoredFolder*>(folder.kept);  // answered from it: nothing changes
    } else if (StoredFolder* up = folder.parent != nullptr
                                      ? static_cast<StoredFolder*>(folder.parent)
                                      : levels_.back();
               up != nullptr) {
        // The walk read its parent from the listing kept there now.
        StoredChild* child = up->slotFor(folder.entry, folder.name, 0);
        if (child != nullptr) here = keep(child->folder, child, up, folder);
    }
    levels_.push_back(here);
}

// What the walk came to at `slot` (a subfolder's `child`, or the root), below `parent`: what is
// kept there from now on.
StoredFolder* TreeSource::keep(StoredFolder*& slot, StoredChild* child, StoredFolder* parent,
                               Folder& folder) {
    const FolderOutcome outcome = folder.outcome;
    if (outcome == FolderOutcome::Listed)
        return folder.listing != nullptr ? keepRead(slot, parent, folder) : slot;
    if (outcome == FolderOutcome::NotNeeded) return nullptr;
    trees_.changed();
    if (child != nullptr) {
        child->otherMount = outcome == FolderOutcome::OtherMount;
        child->unreadable = outcome == FolderOutcome::Unreadable;
    }
    // A link, or another folder, where its parent's listing showed this one: that listing is out
    // of date (changed after it was read, told at the next drain).
    if ((outcome == FolderOutcome::Link || outcome == FolderOutcome::Changed) && parent != nullptr)
        parent->dirty = true;
    trees_.drop(tree_, slot);
    return nullptr;
}

StoredFolder* TreeSource::keepRead(StoredFolder*& slot, StoredFolder* parent, Folder& folder) {
    // A search that read a folder no watch vouches for, to be read again under a watch by the
    // background pass, keeps what is kept of it: neither one vouches for its folder, and the
    // search spends no time on it.
    StoredFolder* old = slot;
    if (!background() && old != nullptr && !old->watched && !old->broken &&
        !tree_.watch->coversTree() && folder.listing->error() == 0)
        return old;
    auto fresh = std::make_unique<StoredFolder>(std::move(*folder.listing));
    fresh->file = folder.file;
    if (fresh->listing.error() != 0) {
        // A folder that cannot be read to its end is read afresh at every search.
        fresh->broken = true;
    } else if (folder.watchKey != 0) {
        {
            const std::lock_guard lock(keysMutex_);
            unkeptKeys_.erase(folder.watchKey);
        }
        fresh->key = folder.watchKey;
        fresh->watched = true;
    } else if (old != nullptr && old->watched && old->key != 0 && old->file == fresh->file) {
        // A watch made before this read, that went on since the old one (it is still the folder
        // it watches), vouches for it.
        fresh->key = old->key;
        fresh->watched = true;
    } else if (tree_.watch->coversTree()) {
        const std::uint64_t key = trees_.newKey();
        const std::size_t rootLength = tree_.root.size();
        const std::string_view relative =
            folder.path.size() > rootLength
                ? folder.path.substr(rootLength, folder.path.size() - rootLength - 1)
                : std::string_view();
        fresh->watched = trees_.watch(tree_, kNoFolder, relative, key);
        fresh->key = fresh->watched ? key : 0;
    } else if ((background() && walking_ != Walking::Sizes) ||
               (old != nullptr && old->watchFailed)) {
        // A watch was asked for and the system refused it: until something changes, no pass
        // asks again.
        fresh->watchFailed = true;
    }
    trees_.noteNewNames(*fresh, old);
    StoredFolder* kept = trees_.replace(tree_, slot, parent, std::move(fresh));
    if (trees_.fit()) return kept;
    // Past the bound, beside the other trees: it is kept no more (nothing else goes for it
    // before its whole size is known), and what it holds goes now where no folder of this walk
    // was answered from it.
    lost_ = true;
    neededBytes_ = tree_.bytes;
    if (!answered_) trees_.drop(tree_, tree_.top);
    return nullptr;
}

}  // namespace quarvex
