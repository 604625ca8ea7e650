// The search half of the main window: its state, the run started by the start button, the folder
// walker, the file matcher, drive discovery and opening a result. Everything runs on the window's
// one thread; the window and the platform are reached only through their interfaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "search/platform.h"
#include "search/window.h"

namespace quarvex {

struct SearchState {
    FindRecord FindData;
    std::string CurrentRoot;  // ends in the separator when handed to the walker
    std::string Pattern;      // trimmed text of the file-name box, read by the matcher
    std::string LineText;     // the result line under construction; the list of drives in init
    std::string FilePath;     // the path cut out of a clicked line
    FindHandle FolderFindHandle = kInvalidFindHandle;
    FindHandle FileFindHandle = kInvalidFindHandle;
    std::int64_t FoundCount = 0;
    std::uint64_t TotalBytes = 0;
    bool StopRequested = false;
    // Set when the window is going away: the run ends like a stop but reports nothing.
    bool Unloading = false;
    unsigned DriveType = 0;
    std::string DriveProbe;
};

class SearchCore {
  public:
    SearchCore(Window& window, Platform& platform) : window_(window), platform_(platform) {}

    SearchState& state() { return state_; }
    const SearchState& state() const { return state_; }

    // Fills the drive selector, preselects the program's drive and sets the idle button states.
    void init();
    // Runs a whole search from the two input boxes, then reports; returns when it is done.
    void Command1_Click();
    // Requests a stop of the running search.
    void Command2_Click() { state_.StopRequested = true; }
    // Opens the file of the selected result line.
    void List1_DblClick();
    // The window is being destroyed: a running search ends at once and reports nothing.
    void abandon();

    void SearchFolder(const std::string& folder);
    void ScanFolderFiles(const std::string& folder);

    // Splits the selector's text into roots at single spaces, keeping together the words of a
    // drive entry whose name holds spaces (a mount point such as "/media/My Disk").
    std::vector<std::string> splitRoots(const std::string& text) const;
    // Whether a pattern would name a path instead of a file.
    bool patternHasPathSymbol(const std::string& pattern) const;

  private:
    void report();
    void toggleSearchButtons();
    std::string programDrive();

    Window& window_;
    Platform& platform_;
    SearchState state_;
};

// Index of the selector entry that `text` selects: an exact match first, else one that differs
// only in ASCII letter case; -1 when there is none. Drop-down front ends use it for setComboText.
std::ptrdiff_t findComboEntry(const Window& window, const std::string& text);

}  // namespace quarvex
