#include "search/walk/folder_listing.h"

namespace quarvex {

namespace {

std::uint8_t flagsOf(const ListedEntry& e) {
    std::uint8_t flags = 0;
    if ((e.attributes & kAttrDirectory) != 0) flags |= kEntryFolder;
    if (isLink(e)) flags |= kEntryLink;
    if ((e.attributes & kAttrTypeUnknown) != 0) flags |= kEntryTypeUnknown;
    if (e.sizeKnown) flags |= kEntrySizeKnown;
    if (e.manyNames) flags |= kEntryManyNames;
    return flags;
}

constexpr std::uint8_t kUndescribedLink = kEntryLink | kEntryTypeUnknown;

}  // namespace

void FolderListing::add(std::string_view name, const ListedEntry& listed) {
    if (name.empty() || name.size() > UINT16_MAX) return;
    ListingEntry& e = entries_.emplace_back();
    e.nameOffset = static_cast<std::uint32_t>(names_.size());
    e.nameLength = static_cast<std::uint16_t>(name.size());
    e.file = listed.file;
    e.size = listed.size;
    e.flags = flagsOf(listed);
    names_.append(name);
}

void FolderListing::complete(std::size_t i, const ListedEntry& described, bool subfolder) {
    ListingEntry& e = entries_[i];
    if ((e.flags & kEntryTypeUnknown) != 0 && isLink(described)) {
        e.flags = kUndescribedLink;
        e.size = 0;
    } else {
        e.flags = flagsOf(described);
        e.size = described.sizeKnown ? described.size : 0;
    }
    if (subfolder) e.flags |= kEntrySubfolder;
}

ListedEntry FolderListing::entry(std::size_t i, bool sizeAtUse) const {
    const ListingEntry& s = entries_[i];
    ListedEntry e;
    e.nameOffset = s.nameOffset;
    e.nameLength = s.nameLength;
    e.size = s.size;
    e.file = s.file;
    if ((s.flags & kEntryFolder) != 0) e.attributes |= kAttrDirectory;
    if ((s.flags & kEntryLink) != 0) {
        e.attributes |= kAttrReparsePoint;
        e.reparseTag = kReparseTagSymlink;
    }
    if ((s.flags & kEntryTypeUnknown) != 0) e.attributes |= kAttrTypeUnknown;
    if (e.attributes == 0) e.attributes = kAttrArchive;
    e.manyNames = (s.flags & kEntryManyNames) != 0;
    // A file with other names may have changed through one of them: it is read again.
    e.sizeKnown = (s.flags & kEntrySizeKnown) != 0 && !e.manyNames && !sizeAtUse;
    return e;
}

void FolderListing::reserveFor(const Listing& batch) {
    if (batch.size() == 0) return;
    const ListedEntry& last = batch[batch.size() - 1];
    entries_.reserve(entries_.size() + batch.size());
    names_.reserve(names_.size() + last.nameOffset + last.nameLength);
}

void FolderListing::shrink() {
    names_.shrink_to_fit();
    entries_.shrink_to_fit();
}

}  // namespace quarvex
