// What a walk hands the search for each folder it comes to: what became of it and, when it was
// listed, its matching files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "search/walk/folder_listing.h"

namespace quarvex {

// What became of a folder the walk came to.
enum class FolderOutcome : std::uint8_t {
    Listed,      // its files were matched (error() of the listing says if it broke off)
    Unreadable,  // could not be opened or listed: `error` says why
    Link,        // a link or no folder by the time it was opened: not entered
    OtherMount,  // on another mount than the root's: not entered
    Changed,     // it, or a folder on its way down, was no longer the one first seen
    NotNeeded,   // its source had nothing to be done below it (walks that show no files)
};

// The matching files of one folder, in listing order, and the listing they are in: read from the
// disk by this walk (then owned here until the consumer has moved past the folder), or kept.
class FolderFiles {
  public:
    struct File {
        std::uint32_t entry;  // in the listing
        bool sized;           // false when the size could not be read
        std::uint64_t size;
    };

    explicit FolderFiles(std::unique_ptr<FolderListing> owned)
        : listing_(owned.get()), owned_(std::move(owned)) {}
    explicit FolderFiles(const FolderListing& kept) : listing_(&kept) {}
    // Made again for another kept listing, its room kept.
    void reuse(const FolderListing& kept) {
        listing_ = &kept;
        owned_.reset();
        files_.clear();
        counted_ = 0;
    }

    void add(std::size_t entry, std::uint64_t size, bool sized) {
        files_.push_back({static_cast<std::uint32_t>(entry), sized, size});
    }
    std::size_t size() const { return files_.size(); }
    const File& operator[](std::size_t i) const { return files_[i]; }
    std::string_view name(const File& f) const { return listing_->name(f.entry); }
    const FolderListing& listing() const { return *listing_; }
    // The listing read from the disk, for whoever keeps it; nothing for a kept one.
    std::unique_ptr<FolderListing> takeListing() { return std::move(owned_); }

    // What the walk counts of it as read ahead of the consumer: a listing read from the disk
    // whole, a kept one only by its matches. Taken off as counted, though the listing was taken
    // away meanwhile.
    std::size_t countAhead() {
        return counted_ = sizeof(FolderFiles) + files_.capacity() * sizeof(File) +
                          (owned_ != nullptr ? owned_->bytes() : 0);
    }
    std::size_t counted() const { return counted_; }  // 0 when it was not counted

  private:
    const FolderListing* listing_;
    std::unique_ptr<FolderListing> owned_;
    std::vector<File> files_;
    std::size_t counted_ = 0;
};

struct FolderResult {
    FolderOutcome outcome = FolderOutcome::Unreadable;
    int error = 0;                       // the platform's error code, 0 when none
    const FolderFiles* files = nullptr;  // Listed: its matches
    std::size_t depth = 0;               // below the root, which is 0
};

}  // namespace quarvex
