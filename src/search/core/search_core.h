// The search half of the main window: its state, the run started by the start button, the folder
// walker, the file matcher, drive discovery and opening a result. Everything here runs on the
// window's one thread; the walk's workers (search/walk.h) only open and list folders ahead of it.
// The window and the platform are reached only through their interfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "search/core/search_request.h"
#include "search/core/window.h"
#include "search/os/platform.h"
#include "search/text/text_util.h"

namespace quarvex {

class FolderFiles;
class ListingStore;
class NamePattern;
class TreeSource;
class Walk;

struct SearchState {
    std::string CurrentRoot;  // ends in the separator when handed to the walker
    std::string Pattern;      // trimmed text of the file-name box, read by the matcher
    std::int64_t FoundCount = 0;
    ByteTotal TotalBytes;
    bool StopRequested = false;
    // From the start button's click until the walk of the last root has ended.
    bool Searching = false;
    // Set when the window is going away: the run ends like a stop but reports nothing.
    bool Unloading = false;
    // Memory ran out: the run ended as a stop ends it, and says why.
    bool OutOfMemory = false;
};

class SearchCore {
  public:
    SearchCore(Window& window, Platform& platform);
    ~SearchCore();
    SearchCore(const SearchCore&) = delete;
    SearchCore& operator=(const SearchCore&) = delete;

    SearchState& state() { return state_; }
    const SearchState& state() const { return state_; }

    // At most `count` threads walk (0 or 1: a plain single-threaded walk), `start` of them from
    // its beginning (0: one per core), the rest as slow folders call for them: what the start
    // button asks for.
    void setWorkerThreads(unsigned count, unsigned start = 0) {
        workers_ = count;
        startWorkers_ = start;
    }

    // Keeps what searches read, so that later searches of the same roots read from memory what
    // has not changed, kept exact by change notification; memory beyond `mostBytes` (0: the
    // store's default) drops the roots searched longest ago, and a root not searched for
    // `idleMicroseconds` (0: the default) goes. For the windows and quarvex-find --queries; a
    // single search gains nothing by it.
    void keepListings(std::size_t mostBytes = 0, std::uint64_t idleMicroseconds = 0);
    ListingStore* listingStore() { return store_.get(); }

    // Fills the drive selector, preselects the program's drive and sets the idle button states.
    void init();
    // The start button: the two boxes show their texts normalised, and the request they make
    // runs; returns when it is done.
    void Command1_Click();
    // Stops the running search: its walk's threads begin no further read.
    void Command2_Click();
    // Opens the file of the selected result line.
    void List1_DblClick();
    // The window is being destroyed: a running search ends at once and reports nothing.
    void abandon();

    // The request a file-name pattern and a drive selector's text make, as the start button
    // makes it, with this core's threads; nothing when the pattern would name a path. The
    // selector's text is trimmed and its double spaces collapsed first, unless `normalise` is
    // false: a drop-down selector that kept its text as it was has its words searched as they
    // stand.
    std::optional<SearchRequest> request(const std::string& patternText,
                                         const std::string& rootsText, bool normalise = true) const;
    // Tells the window that a pattern was refused for naming a path.
    void refusePattern();
    // Runs a request: each root in turn, then the report.
    void run(const SearchRequest& request);
    // Walks every folder below `root`, depth first, listing the matching files.
    void SearchFolder(const std::string& root, const SearchRequest& request);

    // Splits the selector's text into roots at single spaces, keeping together the words that
    // spell one of the drives (a mount point such as "/media/My Disk").
    std::vector<std::string> splitRoots(const std::string& text) const;
    // A root as the walk takes it: "D" is "D:", and it ends in the separator.
    std::string completeRoot(std::string token) const;
    // Whether a pattern would name a path instead of a file.
    bool patternHasPathSymbol(const std::string& pattern) const;

  private:
    // Lists the matching files of one folder.
    void ScanFolderFiles(const std::string& folder, const FolderFiles& files);
    bool walkFrom(const std::string& root, const NamePattern& pattern, const SearchRequest& request,
                  TreeSource* kept, const std::function<bool()>& wait);
    void report();
    void toggleSearchButtons();
    std::string normalisedRoots(const std::string& text) const;
    std::string programDrive();
    bool isSingleEntry(const std::string& text) const;
    bool isAllDrivesEntry(const std::string& text) const;

    Window& window_;
    Platform& platform_;
    SearchState state_;
    unsigned workers_;
    unsigned startWorkers_ = 0;
    std::vector<std::string> drives_;  // the drives init found, in order
    std::string allDrivesEntry_;       // the selector's last entry, naming them all
    std::string line_;                 // room for the result line under construction
    std::unique_ptr<ListingStore> store_;
    Walk* walking_ = nullptr;  // the running search's walk, for a stop to reach at once
};

// Index of the selector entry that `text` selects: an exact match first, else one that differs
// only in ASCII letter case; -1 when there is none. Drop-down front ends use it for setComboText.
std::ptrdiff_t findComboEntry(const Window& window, const std::string& text);

}  // namespace quarvex
