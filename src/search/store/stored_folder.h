// One folder as the listing store keeps it: its listing as a walk read it (every entry, in
// listing order), what vouches for it, and one slot per subfolder a walk enters, in order, with
// what is kept of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>

#include "search/walk/folder_listing.h"
#include "search/walk/kept_listings.h"

namespace quarvex {

struct StoredFolder;

// A subfolder a walk enters, in listing order.
struct StoredChild {
    std::uint64_t file = 0;          // its file number as listed, 0 when the listing gave none
    StoredFolder* folder = nullptr;  // what is kept of it, owned; null when nothing is
    std::uint32_t entry = 0;         // its entry in the listing
    bool otherMount = false;         // it lies on another mount: never entered while mounts stay
    bool unreadable = false;         // it could not be entered: searches try it again, the
                                     // background pass not
};

struct StoredFolder : KeptFolder {
    explicit StoredFolder(FolderListing&& read);
    ~StoredFolder();
    StoredFolder(const StoredFolder&) = delete;
    StoredFolder& operator=(const StoredFolder&) = delete;

    StoredFolder* parent = nullptr;
    std::uint64_t file = 0;  // its identity when it was read
    std::uint64_t key = 0;   // its watch's key, 0 when not watched
    FolderListing listing;
    // Watched since before it was read: what is kept is what a listing would give now, unless a
    // change was told since (dirty).
    bool watched = false;
    bool dirty = false;
    bool watchFailed = false;  // the system refused a watch: read afresh at every search
    bool broken = false;       // its listing broke off: read afresh at every search
    bool unsized = false;      // some file's size is still to be read (and kept)
    bool workBelow = false;    // a background walk has something to read below it
    // Nothing in its listing is read again at use: no link left undescribed, every file sized
    // and with one name.
    bool plain = false;
    // It and everything below it are kept, trusted and plain (as last counted).
    bool wholeBelow = false;

    bool trusted() const { return watched && !dirty; }
    // Not watched, and cannot be until something changes: it hides what happens in it.
    bool blind() const { return !watched; }
    std::string_view name(const StoredChild& c) const { return listing.name(c.entry); }
    std::span<StoredChild> children() const { return {children_.get(), childCount_}; }
    // The folder `from` moved to `record` (sizeof(StoredFolder) of room), its subfolder slots
    // and its listing laid out together at `body` (bodyBytes() of room); both are kept by its
    // tree. `from` is left to destroy().
    static StoredFolder* packInto(StoredFolder&& from, std::byte* record, std::byte* body);
    static std::size_t bodyBytes(const StoredFolder& folder) {
        return folder.childCount_ * sizeof(StoredChild) + folder.listing.packedBytes();
    }
    bool packed() const { return packed_; }
    // Ends a folder, and frees it unless it lies in its tree's block.
    static void destroy(StoredFolder* folder);
    // What it takes, but for what lies in its tree's block.
    std::size_t bytes() const;
    // What a folder read as `read` would take, kept.
    static std::size_t bytesFor(const FolderListing& read);

    // The slot of the subfolder a walk found as entry `entry` of a listing of this folder (this
    // one, or a fresh one), named `name`, with the file number `listed` (0: unknown); null when
    // none is kept under that name and number. Safe from one thread at a time per folder.
    StoredChild* slotFor(std::uint32_t entry, std::string_view name, std::uint64_t listed);

  private:
    StoredFolder(StoredFolder&& from, std::byte* place);

    std::unique_ptr<StoredChild[]> children_;
    std::uint32_t childCount_ = 0;
    bool packed_ = false;  // it, its slots and its listing lie in its tree's block
    // Beyond a few subfolders, a lookup by name builds an index, kept while the folder is.
    std::unique_ptr<std::unordered_map<std::string_view, std::uint32_t>> byName_;
};

}  // namespace quarvex
