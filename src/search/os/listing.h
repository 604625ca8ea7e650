// One folder's entries as the platform lists them, with Windows attribute values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarvex {

// Attribute bits, with the values Windows gives them.
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;
inline constexpr std::uint32_t kAttrReparsePoint = 0x400;
// Not a Windows bit: the listing did not tell the entry's type (Linux DT_UNKNOWN, or a symbolic
// link whose target is still to be looked at); Platform::describe completes it.
inline constexpr std::uint32_t kAttrTypeUnknown = 0x80000000;

// Reparse tags. A tag with the name-surrogate bit names another file or folder: a link.
inline constexpr std::uint32_t kReparseTagNameSurrogate = 0x20000000;
inline constexpr std::uint32_t kReparseTagMountPoint = 0xA0000003;  // junctions, volume mounts
inline constexpr std::uint32_t kReparseTagSymlink = 0xA000000C;

struct ListedEntry {
    std::uint32_t nameOffset = 0;  // into the listing's names
    std::uint32_t nameLength = 0;
    std::uint32_t attributes = 0;
    std::uint32_t reparseTag = 0;  // meaningful when kAttrReparsePoint is set
    std::uint64_t size = 0;
    // Its file number on the folder's volume where the listing gives it (Linux d_ino), else 0.
    std::uint64_t file = 0;
    bool sizeKnown = false;
    // The file has more than one name (a hard link): a write through another name changes it
    // without a word to this folder. Set by describe() where the system tells.
    bool manyNames = false;
};

// A link, junction or mount point: a reparse point whose tag names something else, or whose tag
// is unknown. Other reparse points (cloud files, deduplicated files) are ordinary entries.
constexpr bool isLink(const ListedEntry& e) {
    return (e.attributes & kAttrReparsePoint) != 0 &&
           (e.reparseTag == 0 || (e.reparseTag & kReparseTagNameSurrogate) != 0);
}

class Listing {
  public:
    Listing() = default;
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;
    Listing(Listing&&) = default;
    Listing& operator=(Listing&&) = default;

    void clear() {
        names_.clear();
        entries_.clear();
        error_ = 0;
    }
    ListedEntry& add(std::string_view name, std::uint32_t attributes,
                     std::uint32_t reparseTag = 0) {
        ListedEntry& e = entries_.emplace_back();
        e.nameOffset = static_cast<std::uint32_t>(names_.size());
        e.nameLength = static_cast<std::uint32_t>(name.size());
        e.attributes = attributes;
        e.reparseTag = reparseTag;
        names_.append(name);
        return e;
    }
    ListedEntry& add(std::string_view name, std::uint32_t attributes, std::uint32_t reparseTag,
                     std::uint64_t size) {
        ListedEntry& e = add(name, attributes, reparseTag);
        e.size = size;
        e.sizeKnown = true;
        return e;
    }

    std::size_t size() const { return entries_.size(); }
    ListedEntry& operator[](std::size_t i) { return entries_[i]; }
    const ListedEntry& operator[](std::size_t i) const { return entries_[i]; }
    std::string_view name(const ListedEntry& e) const {
        return std::string_view(names_).substr(e.nameOffset, e.nameLength);
    }

    // Why the last read failed (the platform's error code), 0 when it did not.
    int error() const { return error_; }
    void setError(int error) { error_ = error; }

    // Scratch space for the platform's reads, kept between folders so it is allocated once.
    std::vector<unsigned char>& buffer() { return buffer_; }

  private:
    std::string names_;
    std::vector<ListedEntry> entries_;
    std::vector<unsigned char> buffer_;
    int error_ = 0;
};

}  // namespace quarvex
