// What the walk asks of listings kept from earlier walks (the listing store), and what it tells of
// every folder it came to. The walk knows nothing of how listings are kept: it hands back what a
// source gave it, and gives a recorder what it read from the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "search/os/platform.h"
#include "search/walk/folder_listing.h"
#include "search/walk/folder_result.h"

namespace quarvex {

// What a source keeps of one folder: the walk only hands it back.
class KeptFolder {
  protected:
    KeptFolder() = default;
    ~KeptFolder() = default;
};

// Before the walk reads a folder from the disk, it asks here whether a kept listing stands for
// it. Any of the walk's threads may ask, about different folders at once.
class ListingSource {
  public:
    struct Answer {
        KeptFolder* folder = nullptr;  // what is kept of it; its subfolders are asked of it
        const FolderListing* listing = nullptr;  // its listing, when it stands for the disk's now
        std::uint64_t file = 0;                  // its file number, when it was listed
        bool otherMount = false;                 // known to lie on another mount: not entered
        bool notNeeded = false;                  // nothing to be done below it: not entered
        // It and every folder below it have listings that stand for the disk's, and nothing in
        // them is read again at use: a search reads the whole subtree from memory, with no
        // folder opened.
        bool whole = false;
    };

    // The root, as it was opened.
    virtual Answer root(const FolderIdentity& opened) = 0;
    // A subfolder of `parent`: entry `entry` of the listing the walk read of it (whether kept or
    // fresh from the disk), named `name`, with the file number `file` as listed.
    virtual Answer child(KeptFolder& parent, std::uint32_t entry, std::string_view name,
                         std::uint64_t file) = 0;
    // Whether the sizes a kept listing holds are to be read again at every use.
    virtual bool sizesAtUse() const = 0;
    // A folder was opened and is about to be read from the disk: a watch made now vouches for
    // what is read. Its key, or 0 when none was made.
    virtual std::uint64_t beforeReading(FolderHandle folder) = 0;

  protected:
    ~ListingSource() = default;
};

// Told of every folder the walk came to, in pre-order, on the consumer's thread, as soon as the
// consumer has moved past it; nothing once the walk was stopped. Within a subtree the source
// vouched for whole (Answer::whole), where nothing kept changes, only of its top and of a folder
// found changed, with what the source gave of its parent.
class ListingRecorder {
  public:
    struct Folder {
        std::size_t depth = 0;
        std::string_view path;    // ending in the separator
        std::string_view name;    // empty for the root
        std::uint32_t entry = 0;  // its entry in its parent's listing
        FolderOutcome outcome = FolderOutcome::Unreadable;
        KeptFolder* kept = nullptr;  // what the source gave of it
        std::uint64_t file = 0;      // its file number, 0 when not known
        std::uint64_t watchKey = 0;  // what beforeReading() gave
        // Read from the disk now: its whole listing, or as far as it went (error() says why).
        std::unique_ptr<FolderListing> listing;
        // Within a whole subtree, what the source gave of its parent, of which the recorder was
        // not told; else null.
        KeptFolder* parent = nullptr;
    };
    virtual void record(Folder& folder) = 0;

  protected:
    ~ListingRecorder() = default;
};

}  // namespace quarvex
