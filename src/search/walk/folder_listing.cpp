#include "search/walk/folder_listing.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

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

FolderListing& FolderListing::operator=(FolderListing&& other) noexcept {
    letGo();
    block_ = std::move(other.block_);
    borrowed_ = std::exchange(other.borrowed_, false);
    names_ = std::exchange(other.names_, nullptr);
    count_ = std::exchange(other.count_, 0);
    entryRoom_ = std::exchange(other.entryRoom_, 0);
    nameBytes_ = std::exchange(other.nameBytes_, 0);
    nameRoom_ = std::exchange(other.nameRoom_, 0);
    error_ = std::exchange(other.error_, 0);
    return *this;
}

void FolderListing::resize(std::size_t entries, std::size_t nameBytes) {
    if (entries > UINT32_MAX || nameBytes > UINT32_MAX) throw std::bad_alloc();
    const std::size_t entryBytes = entries * sizeof(ListingEntry);
    auto block = std::make_unique_for_overwrite<std::byte[]>(entryBytes + nameBytes);
    char* names = reinterpret_cast<char*>(block.get() + entryBytes);
    if (count_ > 0) std::memcpy(block.get(), block_.get(), count_ * sizeof(ListingEntry));
    if (nameBytes_ > 0) std::memcpy(names, names_, nameBytes_);
    letGo();
    block_ = std::move(block);
    names_ = names;
    entryRoom_ = static_cast<std::uint32_t>(entries);
    nameRoom_ = static_cast<std::uint32_t>(nameBytes);
}

void FolderListing::add(std::string_view name, const ListedEntry& listed) {
    if (name.empty() || name.size() > UINT16_MAX) return;
    if (count_ == entryRoom_ || name.size() > nameRoom_ - nameBytes_)
        resize(std::max<std::size_t>(entryRoom_ * std::size_t{2}, 8),
               std::max<std::size_t>(nameRoom_ * std::size_t{2}, nameBytes_ + name.size()));
    ListingEntry& e = *new (entryData() + count_++) ListingEntry{};
    e.nameOffset = nameBytes_;
    e.nameLength = static_cast<std::uint16_t>(name.size());
    e.file = listed.file;
    e.size = listed.size;
    e.flags = flagsOf(listed);
    std::memcpy(names_ + nameBytes_, name.data(), name.size());
    nameBytes_ += static_cast<std::uint32_t>(name.size());
}

void FolderListing::complete(std::size_t i, const ListedEntry& described, bool subfolder) {
    ListingEntry& e = entryData()[i];
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
    const std::size_t entries = std::size_t{count_} + batch.size();
    const std::size_t nameBytes = std::size_t{nameBytes_} + last.nameOffset + last.nameLength;
    if (entries > entryRoom_ || nameBytes > nameRoom_)
        resize(std::max<std::size_t>(entries, entryRoom_),
               std::max<std::size_t>(nameBytes, nameRoom_));
}

void FolderListing::moveTo(std::byte* place) {
    const std::size_t entryBytes = count_ * sizeof(ListingEntry);
    if (count_ > 0) std::memcpy(place, block_.get(), entryBytes);
    char* names = reinterpret_cast<char*>(place + entryBytes);
    if (nameBytes_ > 0) std::memcpy(names, names_, nameBytes_);
    letGo();
    block_.reset(place);
    borrowed_ = true;
    names_ = names;
    entryRoom_ = count_;
    nameRoom_ = nameBytes_;
}

void FolderListing::shrink() {
    if (entryRoom_ == count_ && nameRoom_ == nameBytes_) return;
    if (count_ == 0) {
        const int error = error_;
        *this = FolderListing();
        error_ = error;
        return;
    }
    resize(count_, nameBytes_);
}

}  // namespace quarvex
