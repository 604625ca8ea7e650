// One folder's listing as the listing store keeps it: every entry the walk would look at, in
// listing order, compact, and the subfolders a walk would enter with what is kept of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "search/os/listing.h"

namespace quarvex {

struct StoredFolder;

// Bits of StoredEntry::flags: what of the ListedEntry the walk's decisions read.
inline constexpr std::uint8_t kStoredFolder = 0x01;       // kAttrDirectory
inline constexpr std::uint8_t kStoredLink = 0x02;         // a link (isLink)
inline constexpr std::uint8_t kStoredTypeUnknown = 0x04;  // kAttrTypeUnknown: described at use
inline constexpr std::uint8_t kStoredSizeKnown = 0x08;
inline constexpr std::uint8_t kStoredManyNames = 0x10;  // its size is read again at every use

struct StoredEntry {
    std::uint64_t size = 0;
    std::uint64_t file = 0;  // its file number as listed, 0 when the listing gave none
    std::uint32_t nameOffset = 0;
    std::uint16_t nameLength = 0;
    std::uint8_t flags = 0;
};
static_assert(sizeof(StoredEntry) == 24);

// A subfolder a walk would enter, in listing order.
struct StoredChild {
    std::uint64_t file = 0;          // its file number as listed, 0 when the listing gave none
    StoredFolder* folder = nullptr;  // what is kept of it, owned; null when nothing is
    std::uint32_t entry = 0;         // its entry
    bool otherMount = false;         // it lies on another mount: never entered while mounts stay
    bool unreadable = false;         // it could not be entered (unreadable, a link by now,
                                     // changed): searches try it again, the background pass not
};

struct StoredFolder {
    StoredFolder* parent = nullptr;
    std::uint64_t file = 0;  // its identity when it was listed
    std::uint64_t key = 0;   // its watch's key, 0 when not watched
    std::string names;
    std::vector<StoredEntry> entries;
    std::vector<StoredChild> children;
    // Watched since before it was listed: what is kept is what a listing would give now, unless
    // a change was told since (dirty).
    bool watched = false;
    bool dirty = false;
    bool watchFailed = false;    // the system refused a watch: listed afresh at every search
    int error = 0;               // why its listing broke off (the platform's code), 0 if it did not
    std::uint64_t listedIn = 0;  // the search that last listed it (ListingStore's count)

    std::string_view name(const StoredEntry& e) const {
        return std::string_view(names).substr(e.nameOffset, e.nameLength);
    }
    std::string_view name(const StoredChild& c) const { return name(entries[c.entry]); }
    bool trusted() const { return watched && !dirty; }
    std::size_t bytes() const {
        return sizeof(StoredFolder) + names.capacity() + entries.capacity() * sizeof(StoredEntry) +
               children.capacity() * sizeof(StoredChild);
    }

    // The listed entry as the walk saw it, for the walk's decisions.
    ListedEntry listed(const StoredEntry& e) const {
        ListedEntry l;
        l.nameOffset = e.nameOffset;
        l.nameLength = e.nameLength;
        l.size = e.size;
        l.file = e.file;
        if ((e.flags & kStoredFolder) != 0) l.attributes |= kAttrDirectory;
        if ((e.flags & kStoredLink) != 0) {
            l.attributes |= kAttrReparsePoint;
            l.reparseTag = kReparseTagSymlink;
        }
        if ((e.flags & kStoredTypeUnknown) != 0) l.attributes |= kAttrTypeUnknown;
        if (l.attributes == 0) l.attributes = kAttrArchive;
        // A file with other names may have changed through one of them: it is read again.
        l.sizeKnown = (e.flags & (kStoredSizeKnown | kStoredManyNames)) == kStoredSizeKnown;
        return l;
    }

    // Room for a listing's first batch, which is all of most folders: what is kept takes no more
    // than it needs. Later batches grow as vectors do, and finish() trims the rest.
    void reserveFor(const Listing& listing) {
        if (!entries.empty() || listing.size() == 0) return;
        const ListedEntry& last = listing[listing.size() - 1];
        entries.reserve(listing.size());
        names.reserve(last.nameOffset + last.nameLength);
    }
    void finish() {
        names.shrink_to_fit();
        entries.shrink_to_fit();
        children.shrink_to_fit();
    }

    // Keeps an entry as the walk left it; `listedAttributes` are the listing's own. A link the
    // listing left undescribed (Linux) stays so: what it leads to may change without a word to
    // this folder, so it is described again at every use.
    void add(std::string_view entryName, const ListedEntry& e, std::uint32_t listedAttributes,
             bool subfolder) {
        StoredEntry& s = entries.emplace_back();
        s.nameOffset = static_cast<std::uint32_t>(names.size());
        s.nameLength = static_cast<std::uint16_t>(entryName.size());
        s.file = e.file;
        names.append(entryName);
        if ((listedAttributes & kAttrTypeUnknown) != 0 && isLink(e)) {
            s.flags = kStoredLink | kStoredTypeUnknown;
        } else {
            if ((e.attributes & kAttrDirectory) != 0) s.flags |= kStoredFolder;
            if (isLink(e)) s.flags |= kStoredLink;
            if ((e.attributes & kAttrTypeUnknown) != 0) s.flags |= kStoredTypeUnknown;
            if (e.sizeKnown) {
                s.flags |= kStoredSizeKnown;
                s.size = e.size;
            }
            if (e.manyNames) s.flags |= kStoredManyNames;
        }
        if (subfolder) {
            StoredChild& c = children.emplace_back();
            c.file = e.file;
            c.entry = static_cast<std::uint32_t>(entries.size() - 1);
        }
    }
};

}  // namespace quarvex
