#include "search/store/stored_folder.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quarvex {

namespace {

// Subfolders looked for one by one; past this many, through an index by name.
constexpr std::size_t kFewChildren = 16;

bool sameFile(std::uint64_t a, std::uint64_t b) {
    return a == 0 || b == 0 || a == b;
}

}  // namespace

StoredFolder::StoredFolder(FolderListing&& read) : listing(std::move(read)) {
    listing.shrink();
    plain = true;
    for (const ListingEntry& e : listing.entries()) {
        unsized = unsized || (e.flags & (kEntryFolder | kEntryLink | kEntrySizeKnown)) == 0;
        plain = plain && (e.flags & kEntryTypeUnknown) == 0 &&
                ((e.flags & kEntryFolder) != 0 ||
                 (e.flags & (kEntrySizeKnown | kEntryManyNames)) == kEntrySizeKnown);
    }
    for (const ListingEntry& e : listing.entries()) childCount_ += (e.flags & kEntrySubfolder) != 0;
    if (childCount_ == 0) return;
    children_ = std::make_unique<StoredChild[]>(childCount_);
    StoredChild* slot = children_.get();
    for (std::uint32_t i = 0; i < listing.size(); ++i)
        if ((listing[i].flags & kEntrySubfolder) != 0) *slot++ = {listing[i].file, nullptr, i};
}

StoredFolder::StoredFolder(StoredFolder&& from, std::byte* place)
    : parent(from.parent),
      file(from.file),
      key(from.key),
      listing(std::move(from.listing)),
      watched(from.watched),
      dirty(from.dirty),
      watchFailed(from.watchFailed),
      broken(from.broken),
      unsized(from.unsized),
      workBelow(from.workBelow),
      plain(from.plain),
      wholeBelow(from.wholeBelow),
      childCount_(from.childCount_),
      packed_(true) {
    // `from` keeps its slots, freed with it.
    const std::size_t slotBytes = childCount_ * sizeof(StoredChild);
    if (childCount_ > 0) {
        std::memcpy(place, from.children_.get(), slotBytes);
        children_.reset(reinterpret_cast<StoredChild*>(place));
    }
    listing.moveTo(place + slotBytes);
}

StoredFolder* StoredFolder::packInto(StoredFolder&& from, std::byte* record, std::byte* body) {
    return new (record) StoredFolder(std::move(from), body);
}

StoredFolder::~StoredFolder() {
    if (packed_) (void)children_.release();
}

void StoredFolder::destroy(StoredFolder* folder) {
    if (folder->packed_)
        folder->~StoredFolder();
    else
        delete folder;
}

std::size_t StoredFolder::bytes() const {
    if (packed_) return 0;
    return sizeof(StoredFolder) + listing.bytes() - sizeof(FolderListing) +
           childCount_ * sizeof(StoredChild);
}

std::size_t StoredFolder::bytesFor(const FolderListing& read) {
    std::size_t subfolders = 0;
    for (const ListingEntry& e : read.entries()) subfolders += (e.flags & kEntrySubfolder) != 0;
    return sizeof(StoredFolder) + read.bytes() - sizeof(FolderListing) +
           subfolders * sizeof(StoredChild);
}

StoredChild* StoredFolder::slotFor(std::uint32_t entry, std::string_view name,
                                   std::uint64_t listed) {
    const auto matches = [&](const StoredChild& c) {
        // A walk over this folder's own listing asks by the very name it holds.
        const std::string_view own = this->name(c);
        return (own.data() == name.data() ? own.size() == name.size() : own == name) &&
               sameFile(c.file, listed);
    };
    const std::span<StoredChild> children = this->children();
    const auto at =
        std::lower_bound(children.begin(), children.end(), entry,
                         [](const StoredChild& c, std::uint32_t e) { return c.entry < e; });
    if (at != children.end() && matches(*at)) return &*at;
    if (children.size() <= kFewChildren) {
        for (StoredChild& c : children)
            if (matches(c)) return &c;
        return nullptr;
    }
    if (byName_ == nullptr) {
        byName_ = std::make_unique<std::unordered_map<std::string_view, std::uint32_t>>();
        byName_->reserve(children.size());
        for (std::uint32_t i = 0; i < children.size(); ++i)
            byName_->emplace(this->name(children[i]), i);
    }
    const auto it = byName_->find(name);
    if (it == byName_->end() || !matches(children[it->second])) return nullptr;
    return &children[it->second];
}

}  // namespace quarvex
