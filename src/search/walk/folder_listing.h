// One folder's entries as the walk reads them, whether from the disk or from memory: every entry
// in listing order with its name, kind, size where known and file number, and why the listing
// broke off if it did. The walk applies its one rule for an entry (useOf) to it whatever its
// source; the listing store keeps it as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "search/os/listing.h"
#include "search/text/name_pattern.h"

namespace quarvex {

// Bits of ListingEntry::flags.
inline constexpr std::uint8_t kEntryFolder = 0x01;       // kAttrDirectory
inline constexpr std::uint8_t kEntryLink = 0x02;         // a link (isLink)
inline constexpr std::uint8_t kEntryTypeUnknown = 0x04;  // kAttrTypeUnknown: described at use
inline constexpr std::uint8_t kEntrySizeKnown = 0x08;
inline constexpr std::uint8_t kEntryManyNames = 0x10;  // sized at every use
inline constexpr std::uint8_t kEntrySubfolder = 0x20;  // a folder the walk enters

struct ListingEntry {
    std::uint64_t size = 0;
    std::uint64_t file = 0;  // its file number as listed, 0 when the listing gave none
    std::uint32_t nameOffset = 0;
    std::uint16_t nameLength = 0;
    std::uint8_t flags = 0;
};
static_assert(sizeof(ListingEntry) == 24);

// Entries and names lie in one block, entries first: a kept listing is one allocation, read in
// one stream.
class FolderListing {
  public:
    FolderListing() = default;
    FolderListing(FolderListing&& other) noexcept { *this = std::move(other); }
    FolderListing& operator=(FolderListing&& other) noexcept;
    ~FolderListing() { letGo(); }

    // Adds an entry as the platform listed it. A name no folder can hold (empty, or longer than
    // any file system allows) is left out.
    void add(std::string_view name, const ListedEntry& listed);
    // What the walk's rule made of entry `i`: its type and size as described, and whether the
    // walk enters it. A link the listing left undescribed stays so: what it leads to may change
    // without a word to this folder, so it is described again at every use.
    void complete(std::size_t i, const ListedEntry& described, bool subfolder);
    // Entry `i` names a file that has other names: it is sized at every use.
    void markManyNames(std::size_t i) { entryData()[i].flags |= kEntryManyNames; }

    // Entry `i` as the rule reads it; with `sizeAtUse`, its size is to be read again.
    ListedEntry entry(std::size_t i, bool sizeAtUse = false) const;  // inline below
    const ListingEntry& operator[](std::size_t i) const { return entryData()[i]; }
    std::string_view name(std::size_t i) const { return name(entryData()[i]); }
    std::string_view name(const ListingEntry& e) const {
        return std::string_view(names_ + e.nameOffset, e.nameLength);
    }
    std::size_t size() const { return count_; }
    std::span<const ListingEntry> entries() const { return {entryData(), count_}; }

    // Why the listing broke off before its end (the platform's code), 0 when it did not.
    int error() const { return error_; }
    void setError(int error) { error_ = error; }

    // Asks the processor for the start of the entries and names now, for a read soon after.
    void prefetch() const {
        __builtin_prefetch(block_.get());
        __builtin_prefetch(names_);
    }

    // Room for a platform batch, which is all of most folders.
    void reserveFor(const Listing& batch);
    // Gives back what growing left unused: for a listing that is kept.
    void shrink();
    // What it holds, laid out at `place` (packedBytes() of room, aligned for an entry), which
    // its owner keeps for as long as the listing is.
    void moveTo(std::byte* place);
    std::size_t packedBytes() const {
        return (count_ * sizeof(ListingEntry) + nameBytes_ + alignof(ListingEntry) - 1) /
               alignof(ListingEntry) * alignof(ListingEntry);
    }
    // What it takes, not counting the room it was moved to.
    std::size_t bytes() const {
        return sizeof(FolderListing) +
               (borrowed_ ? 0 : entryRoom_ * sizeof(ListingEntry) + nameRoom_);
    }

  private:
    ListingEntry* entryData() const { return reinterpret_cast<ListingEntry*>(block_.get()); }
    // Moves what is held to a block of room for `entries` entries and `nameBytes` of names.
    void resize(std::size_t entries, std::size_t nameBytes);
    // Frees the block, unless it lies in room of another's.
    void letGo() {
        if (borrowed_) (void)block_.release();
        borrowed_ = false;
    }

    std::unique_ptr<std::byte[]> block_;
    char* names_ = nullptr;  // in block_, after entryRoom_ entries
    std::uint32_t count_ = 0;
    std::uint32_t entryRoom_ = 0;
    std::uint32_t nameBytes_ = 0;
    std::uint32_t nameRoom_ = 0;
    int error_ = 0;
    bool borrowed_ = false;  // block_ lies in room that moveTo() was given: not freed here
};

inline ListedEntry FolderListing::entry(std::size_t i, bool sizeAtUse) const {
    const ListingEntry& s = entryData()[i];
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

// What one listed entry is to a walk.
enum class EntryUse : std::uint8_t {
    Invalid,     // no name a folder can hold
    DotFile,     // a name beginning with "." that is no folder: not looked at
    DotFolder,   // skipped with everything below it
    LinkFolder,  // a link to a folder: never entered
    Link,        // a link whose name does not match: what it leads to is not looked at
    Subfolder,
    Match,
    Other,  // a file that does not match
};

// The walk's one rule for an entry, whoever listed it. `describe(entry)` completes an entry the
// listing left open; it is called only where the rule needs it.
template <class Describe>
EntryUse useOf(ListedEntry& e, std::string_view name, const NamePattern& pattern,
               Describe&& describe) {
    if (name.empty() || name.size() > UINT16_MAX) return EntryUse::Invalid;
    if (name[0] == '.')
        return (e.attributes & (kAttrDirectory | kAttrTypeUnknown)) == kAttrDirectory
                   ? EntryUse::DotFolder
                   : EntryUse::DotFile;
    bool matched = false;
    if ((e.attributes & kAttrTypeUnknown) != 0) {
        // A link's target matters only when the link would be listed.
        if (isLink(e) && !(matched = pattern.matches(name))) return EntryUse::Link;
        describe(e);
    }
    if ((e.attributes & kAttrDirectory) != 0)
        return isLink(e) ? EntryUse::LinkFolder : EntryUse::Subfolder;
    if (!matched && !pattern.matches(name)) return EntryUse::Other;
    if (!e.sizeKnown) describe(e);
    return EntryUse::Match;
}

// The entries of `listing` from `i` on, before `end`, that the rule may take for a match or a
// folder, written to `out` in order; their count. Those left out are files the pattern does not
// take or dot files, for which useOf gives Other or DotFile (or Invalid) and a search from
// memory does nothing. Most of a search from memory is this loop over the kept entries. For a
// pattern such as `*.mp3` it takes no branch by entry: among many files, a match or a folder
// costs no mispredicted jump.
inline std::size_t wantedEntries(const FolderListing& listing, std::size_t i, std::size_t end,
                                 const NamePattern& pattern, std::uint32_t* out) {
    std::size_t n = 0;
    const NamePattern::TailTest tail = pattern.tailTest();
    if (tail.length != 0) {
        const auto scan = [&]<bool kFolds>() {
            static constexpr char kShort[8] = {};
            const ListingEntry* const entries = listing.entries().data();
            for (; i < end; ++i) {
                const ListingEntry& s = entries[i];
                // A name shorter than eight bytes goes to the rule whole.
                const bool shortName = s.nameLength < 8;
                const char* const last8 =
                    shortName ? kShort : listing.name(s).data() + s.nameLength - 8;
                std::uint64_t last;
                std::memcpy(&last, last8, 8);
                bool wanted = ((s.flags & (kEntryFolder | kEntryTypeUnknown)) != 0) | shortName |
                              tail.exact(last);
                if constexpr (kFolds) wanted |= NamePattern::TailTest::mayFold(last);
                out[n] = static_cast<std::uint32_t>(i);
                n += static_cast<std::size_t>(wanted);
            }
        };
        if (tail.foldsFromElsewhere)
            scan.template operator()<true>();
        else
            scan.template operator()<false>();
        return n;
    }
    for (; i < end; ++i) {
        const ListingEntry& s = listing[i];
        const std::string_view name = listing.name(s);
        if ((s.flags & (kEntryFolder | kEntryTypeUnknown)) != 0 ||
            (!name.empty() && name[0] != '.' && pattern.matches(name)))
            out[n++] = static_cast<std::uint32_t>(i);
    }
    return n;
}

}  // namespace quarvex
