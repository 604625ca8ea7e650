#include "search/store/store_walk.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

namespace quarvex {

namespace {

// Old subfolders are matched to a fresh listing's by name; past this many, through a map.
constexpr std::size_t kFewChildren = 16;

}  // namespace

StoreWalk::StoreWalk(Platform& platform, const NamePattern& pattern, ListingStore& store,
                     StoredTree& tree, Mode mode, const std::atomic<bool>* interrupt)
    : platform_(platform),
      pattern_(pattern),
      store_(store),
      tree_(tree),
      mode_(mode),
      interrupt_(interrupt),
      folders_(platform) {}

StoreWalk::~StoreWalk() {
    while (!frames_.empty()) {
        folders_.forget(*frames_.back().node);
        FolderNode::destroy(frames_.back().node);
        frames_.pop_back();
    }
}

bool StoreWalk::interrupted() const {
    return stopping_ || (interrupt_ != nullptr && interrupt_->load());
}

std::string_view StoreWalk::relativePath() const {
    const std::size_t rootLength = tree_.root.size();
    if (path_.size() <= rootLength) return {};
    return std::string_view(path_).substr(rootLength, path_.size() - rootLength - 1);
}

void StoreWalk::openTop() {
    FolderNode* root = FolderNode::make(nullptr, {});
    frames_.push_back({root, nullptr});
    path_ = tree_.root;
    result_ = {};
    const OpenFolders::Result opened =
        folders_.openRoot(*root, path_, platform_.folderHandleBudget());
    if (opened.outcome != OpenFolders::Outcome::Opened) {
        result_.error = opened.error;
        return;
    }
    Frame& frame = frames_.back();
    StoredFolder*& kept = tree_.top;
    if (root->file != tree_.identity.file) {
        // Another folder by that name since the search began.
        result_.outcome = FolderOutcome::Changed;
        return;
    }
    if (kept != nullptr && usable(*kept)) {
        frame.folder = kept;
        folders_.known(*root, static_cast<std::uint32_t>(kept->children.size()));
        answer(frame);
        return;
    }
    listAgain(frame, kept);
}

// Whether a kept listing may stand for a listing made now, in this mode.
bool StoreWalk::usable(const StoredFolder& kept) const {
    if (kept.trusted()) return true;
    switch (mode_) {
        case Mode::Search:  // listed again just before, when no watch could vouch for it
            return kept.listedIn == store_.searches_ && !kept.dirty;
        case Mode::Verify:  // what no watch can make trusted is left to the searches
            return kept.watchFailed && !kept.dirty;
        default:
            return false;
    }
}

// The next frame's folder, a subfolder of the one below it on the stack.
void StoreWalk::visit(StoredChild& slot) {
    Frame& frame = frames_.back();
    FolderNode& node = *frame.node;
    result_ = {};
    result_.depth = frames_.size() - 1;
    node.file = slot.file;
    if (slot.otherMount) {
        folders_.skip(node);
        result_.outcome = FolderOutcome::OtherMount;
        return;
    }
    StoredFolder* kept = slot.folder;
    if (kept != nullptr && usable(*kept)) {
        node.file = kept->file;
        node.identified = kept->file != 0;
        folders_.skip(node);  // answered from memory: not opened
        folders_.known(node, static_cast<std::uint32_t>(kept->children.size()));
        frame.folder = kept;
        answer(frame);
        return;
    }
    if (mode_ == Mode::Verify && kept == nullptr && slot.unreadable) {
        folders_.skip(node);  // a search tries it again, not the background pass
        result_.outcome = FolderOutcome::Unreadable;
        return;
    }
    const OpenFolders::Result opened = folders_.open(node, stopping_);
    slot.otherMount = opened.outcome == OpenFolders::Outcome::OtherMount;
    slot.unreadable = opened.outcome != OpenFolders::Outcome::Opened && !slot.otherMount;
    switch (opened.outcome) {
        case OpenFolders::Outcome::Opened:
            listAgain(frame, slot.folder);
            return;
        case OpenFolders::Outcome::Link:
            result_.outcome = FolderOutcome::Link;
            break;
        case OpenFolders::Outcome::OtherMount:
            result_.outcome = FolderOutcome::OtherMount;
            break;
        case OpenFolders::Outcome::Changed:
            result_.outcome = FolderOutcome::Changed;
            break;
        default:
            result_.outcome = FolderOutcome::Unreadable;
            result_.error = opened.error;
            break;
    }
    // A link, or another folder, where the parent's listing showed this one: that listing is out
    // of date (changed after it was taken, told at the next drain), so it is listed again.
    if (result_.outcome == FolderOutcome::Link || result_.outcome == FolderOutcome::Changed)
        frames_[frames_.size() - 2].folder->dirty = true;
    if (kept != nullptr) store_.drop(tree_, kept);
}

// Answers a trusted folder from memory. Where an entry must be read again (a link, a file with
// more names, a size never read), the folder is opened for it, by identity.
void StoreWalk::answer(Frame& frame) {
    files_.clear();
    result_ = {};
    result_.outcome = FolderOutcome::Listed;
    result_.files = &files_;
    result_.depth = frames_.size() - 1;
    if (mode_ != Mode::Search) return;
    StoredFolder& folder = *frame.folder;
    // Listed again for this search and broken off: told as a fresh walk tells it.
    result_.error = folder.error;
    FolderHandle pinned = kNoFolder;
    bool unreachable = false;
    for (StoredEntry& stored : folder.entries) {
        ListedEntry e = folder.listed(stored);
        const std::string_view name = folder.name(stored);
        bool described = false;
        const EntryUse use = useOf(e, name, pattern_, [&](ListedEntry& entry) {
            if (pinned == kNoFolder && !unreachable) {
                pinned = folders_.pin(*frame.node, stopping_);
                unreachable = pinned == kNoFolder;
            }
            if (pinned != kNoFolder) described = platform_.describe(pinned, entry, name);
        });
        switch (use) {
            case EntryUse::DotFolder:
                files_.skip(name, SkipReason::DotName);
                break;
            case EntryUse::LinkFolder:
                files_.skip(name, SkipReason::Link);
                break;
            case EntryUse::Match:
                files_.add(name, e.size, e.sizeKnown);
                // A size read for the first time is kept, but for what may change unseen.
                if (described && e.sizeKnown && !e.manyNames &&
                    (stored.flags & (kStoredLink | kStoredTypeUnknown)) == 0) {
                    stored.size = e.size;
                    stored.flags |= kStoredSizeKnown;
                }
                if (described && e.manyNames) stored.flags |= kStoredManyNames;
                break;
            default:
                break;
        }
    }
    if (pinned != kNoFolder) folders_.unpinned(*frame.node);
}

// Lists the frame's folder again, watched first, and keeps the fresh listing in `slot`'s place;
// subfolders kept under the same name and file number stay kept. The folder is open.
bool StoreWalk::listAgain(Frame& frame, StoredFolder*& slot) {
    FolderNode& node = *frame.node;
    StoredFolder* old = slot;
    const FolderHandle handle = node.handle.get();
    auto fresh = std::make_unique<StoredFolder>();
    fresh->listedIn = store_.searches_;
    if (!node.identified) {
        FolderIdentity identity;
        if (platform_.identify(handle, identity)) {
            node.file = identity.file;
            node.identified = true;
        }
    }
    fresh->file = node.file;
    // A watch made before this listing vouches for it: one that went on since the old listing
    // (the folder is still the one it watches), or a new one.
    if (old != nullptr && old->watched && old->key != 0 && old->file == node.file) {
        fresh->key = old->key;
        fresh->watched = true;
    } else if (const std::uint64_t key = store_.newKey();
               tree_.watch->watch(handle, relativePath(), key)) {
        fresh->key = key;
        fresh->watched = true;
    } else {
        fresh->watchFailed = true;
    }

    files_.clear();
    for (;;) {
        const ListStatus status = platform_.listFolder(handle, listing_);
        fresh->reserveFor(listing_);
        for (std::size_t i = 0; i < listing_.size() && !stopping_; ++i) {
            // A search keeps the window answering; the background pass yields to a search.
            if (mode_ == Mode::Verify ? interrupted() : pump_ != nullptr && !(*pump_)())
                stopping_ = true;
            ListedEntry& e = listing_[i];
            const std::string_view name = listing_.name(e);
            const std::uint32_t listed = e.attributes;
            const auto describe = [&](ListedEntry& entry) {
                platform_.describe(handle, entry, name);
            };
            const EntryUse use = useOf(e, name, pattern_, describe);
            // Every size is read, so that any later pattern is answered from memory.
            if (use == EntryUse::Other && !e.sizeKnown) describe(e);
            switch (use) {
                case EntryUse::Invalid:
                case EntryUse::DotFile:
                    continue;
                case EntryUse::DotFolder:
                    files_.skip(name, SkipReason::DotName);
                    break;
                case EntryUse::LinkFolder:
                    files_.skip(name, SkipReason::Link);
                    break;
                case EntryUse::Match:
                    files_.add(name, e.size, e.sizeKnown);
                    break;
                default:
                    break;
            }
            fresh->add(name, e, listed, use == EntryUse::Subfolder);
        }
        if (status == ListStatus::Failed) files_.setError(listing_.error());
        if (status != ListStatus::More || stopping_) break;
    }
    fresh->finish();
    if (stopping_) fresh->dirty = true;  // cut short: listed again next time
    if (files_.error() != 0) {
        // A folder that cannot be read to its end is listed afresh at every search.
        fresh->watched = false;
        fresh->watchFailed = true;
        fresh->error = files_.error();
    }
    noteNewNames(*fresh, old);

    if (old != nullptr) {
        // Subfolders under the same name (and file number, where both are known) keep what is
        // kept of them.
        std::unordered_map<std::string_view, StoredChild*> byName;
        if (old->children.size() > kFewChildren)
            for (StoredChild& c : old->children) byName.emplace(old->name(c), &c);
        for (StoredChild& c : fresh->children) {
            const std::string_view name = fresh->name(c);
            StoredChild* was = nullptr;
            if (!byName.empty()) {
                const auto it = byName.find(name);
                if (it != byName.end()) was = it->second;
            } else {
                for (StoredChild& o : old->children)
                    if (old->name(o) == name) was = &o;
            }
            if (was == nullptr || (was->file != 0 && c.file != 0 && was->file != c.file)) continue;
            c.folder = std::exchange(was->folder, nullptr);
            c.otherMount = was->otherMount;
            c.unreadable = was->unreadable;
        }
    }
    StoredFolder* parent = frames_.size() > 1 ? frames_[frames_.size() - 2].folder : nullptr;
    const auto subfolders = static_cast<std::uint32_t>(fresh->children.size());
    store_.replace(tree_, parent, slot, fresh.release());
    folders_.listed(node, subfolders);
    frame.folder = slot;
    result_ = {};
    result_.outcome = FolderOutcome::Listed;
    result_.error = files_.error();
    result_.files = &files_;
    result_.depth = frames_.size() - 1;
    return true;
}

// A file found with more than one name for the first time: a write through another name tells
// this folder nothing, and the other names, wherever they are kept, must be read again too.
void StoreWalk::noteNewNames(const StoredFolder& fresh, const StoredFolder* old) {
    std::unordered_map<std::string_view, const StoredEntry*> before;
    for (const StoredEntry& e : fresh.entries) {
        if ((e.flags & kStoredManyNames) == 0 || e.file == 0) continue;
        if (old != nullptr && before.empty())
            for (const StoredEntry& o : old->entries) before.emplace(old->name(o), &o);
        const auto it = before.find(fresh.name(e));
        if (it == before.end() || (it->second->flags & kStoredManyNames) == 0 ||
            it->second->file != e.file)
            store_.newNames_.push_back(e.file);
    }
}

void StoreWalk::leave() {
    Frame frame = frames_.back();
    frames_.pop_back();
    folders_.forget(*frame.node);
    path_.resize(path_.size() - frame.node->nameLength - 1);
    FolderNode::destroy(frame.node);
}

bool StoreWalk::advance(const WaitHook& wait) {
    pump_ = &wait;
    if (finished_) return false;
    if (interrupted()) {
        finished_ = true;
        return false;
    }
    if (!started_) {
        started_ = true;
        kept_ = 0;
        openTop();
        return true;
    }
    kept_ = path_.size();
    const char separator = platform_.separator();
    for (;;) {
        const std::size_t at = frames_.size() - 1;
        StoredFolder* folder = frames_[at].folder;
        if (folder != nullptr && frames_[at].nextChild < folder->children.size()) {
            StoredChild& slot = folder->children[frames_[at].nextChild++];
            if (mode_ == Mode::Verify && slot.folder == nullptr && slot.unreadable) continue;
            const std::string_view name = folder->name(slot);
            kept_ = std::min(kept_, path_.size());
            path_.append(name);
            path_.push_back(separator);
            frames_.push_back({FolderNode::make(frames_[at].node, name), nullptr});
            visit(slot);
            return true;
        }
        if (at == 0) {
            finished_ = true;
            return false;
        }
        leave();
    }
}

std::optional<FolderResult> StoreWalk::result(const WaitHook&) {
    if (!started_ || finished_ || stopping_) return std::nullopt;
    return result_;
}

}  // namespace quarvex
