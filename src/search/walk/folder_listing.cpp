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
