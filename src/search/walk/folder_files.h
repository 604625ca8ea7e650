// What a walk hands the search for each folder it comes to, the one rule that decides what each
// listed entry is to the walk, and the interface both walks (a fresh walk, and one that answers
// from the listing store) offer the search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "search/os/listing.h"
#include "search/text/name_pattern.h"
#include "search/store/stored_folder.h"

namespace quarvex {

// Why a subfolder a listing showed was not entered.
enum class SkipReason : std::uint8_t { DotName, Link };

// The matching files of one folder, in listing order, and the subfolders it skipped.
class FolderFiles {
  public:
    struct File {
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        std::uint64_t size;
        bool sized;  // false when the size could not be read
    };
    struct Skipped {
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        SkipReason reason;
    };
    void add(std::string_view name, std::uint64_t size, bool sized) {
        files_.push_back({offsetOf(name), static_cast<std::uint32_t>(name.size()), size, sized});
    }
    void skip(std::string_view name, SkipReason reason) {
        skipped_.push_back({offsetOf(name), static_cast<std::uint32_t>(name.size()), reason});
    }
    void clear() {
        names_.clear();
        files_.clear();
        skipped_.clear();
        error_ = 0;
    }
    std::size_t size() const { return files_.size(); }
    const File& operator[](std::size_t i) const { return files_[i]; }
    std::string_view name(const File& f) const { return text(f.nameOffset, f.nameLength); }
    const std::vector<Skipped>& skipped() const { return skipped_; }
    std::string_view name(const Skipped& s) const { return text(s.nameOffset, s.nameLength); }
    // Why the listing broke off before its end (the platform's code), 0 when it did not.
    int error() const { return error_; }
    void setError(int error) { error_ = error; }
    // The whole listing, kept for the listing store, when the walk keeps one.
    std::unique_ptr<StoredFolder>& record() { return record_; }
    std::size_t bytes() const {
        return names_.size() + files_.size() * sizeof(File) + skipped_.size() * sizeof(Skipped) +
               (record_ != nullptr ? record_->bytes() : 0);
    }
    // What a walk counted of it as listed ahead: taken off as counted when the consumer leaves
    // the folder, though the listing store took the record away meanwhile.
    std::size_t countAhead() { return counted_ = bytes(); }
    std::size_t counted() const { return counted_; }

  private:
    std::uint32_t offsetOf(std::string_view name) {
        const auto offset = static_cast<std::uint32_t>(names_.size());
        names_.append(name);
        return offset;
    }
    std::string_view text(std::uint32_t offset, std::uint32_t length) const {
        return std::string_view(names_).substr(offset, length);
    }

    std::string names_;
    std::vector<File> files_;
    std::vector<Skipped> skipped_;
    int error_ = 0;
    std::unique_ptr<StoredFolder> record_;
    std::size_t counted_ = 0;
};

// What became of a folder the walk came to.
enum class FolderOutcome : std::uint8_t {
    Listed,      // its files were matched (error() of the files says if the listing broke off)
    Unreadable,  // could not be opened or listed: `error` says why
    Link,        // a link or no folder by the time it was opened: not entered
    OtherMount,  // on another mount than the root's: not entered
    Changed,     // it, or a folder on its way down, was no longer the one first seen
};

struct FolderResult {
    FolderOutcome outcome = FolderOutcome::Unreadable;
    int error = 0;                       // the platform's error code, 0 when none
    const FolderFiles* files = nullptr;  // Listed: its matches and skipped subfolders, if any
    std::size_t depth = 0;               // below the root, which is 0
};

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

// What the search needs of a walk: the folders in pre-order, each with what became of it.
class Walker {
  public:
    // Run while the walk waits, every few milliseconds, and at every entry of a folder the
    // search's own thread lists; returning false stops the walk.
    using WaitHook = std::function<bool()>;

    virtual ~Walker() = default;
    // Moves to the next folder in pre-order, whether it will be entered or not. False when the
    // walk is over or was stopped.
    virtual bool advance(const WaitHook& wait) = 0;
    // The folder at hand, ending in the separator; it changes with the next advance().
    virtual const std::string& path() const = 0;
    // How much of path() the last advance() kept: the rest is new.
    virtual std::size_t keptLength() const = 0;
    // What became of the folder at hand, once known; nothing when the walk was stopped while
    // waiting. The files stay valid until the next advance().
    virtual std::optional<FolderResult> result(const WaitHook& wait) = 0;
};

}  // namespace quarvex
