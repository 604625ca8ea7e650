#include "search/search_core.h"

#include <algorithm>
#include <string_view>

#include "search/text_util.h"
#include "search/texts.h"

namespace quarvex {

namespace {

// Replaces every "  " by " " in one pass, as a single replace-all does.
std::string collapseDoubleSpacesOnce(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out.push_back(text[i]);
        if (text[i] == ' ' && i + 1 < text.size() && text[i + 1] == ' ') ++i;
    }
    return out;
}

bool isPathPrefix(const std::string& prefix, const std::string& path, char separator) {
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    return path.size() == prefix.size() || prefix.back() == separator ||
           path[prefix.size()] == separator;
}

}  // namespace

std::ptrdiff_t findComboEntry(const Window& window, const std::string& text) {
    const std::size_t count = window.comboCount();
    for (std::size_t i = 0; i < count; ++i)
        if (window.comboEntry(i) == text) return static_cast<std::ptrdiff_t>(i);
    for (std::size_t i = 0; i < count; ++i)
        if (equalsIgnoringAsciiCase(window.comboEntry(i), text))
            return static_cast<std::ptrdiff_t>(i);
    return -1;
}

void SearchCore::toggleSearchButtons() {
    window_.setCommand1Enabled(!window_.command1Enabled());
    window_.setCommand2Enabled(!window_.command2Enabled());
}

bool SearchCore::patternHasPathSymbol(const std::string& pattern) const {
    const std::string_view symbols = platform_.hasDriveLetters() ? "\\/:" : "\\/";
    return pattern.find_first_of(symbols) != std::string::npos;
}

std::vector<std::string> SearchCore::splitRoots(const std::string& text) const {
    std::vector<std::string> tokens;
    if (text.empty()) return tokens;
    for (std::size_t start = 0;;) {
        const std::size_t space = text.find(' ', start);
        tokens.push_back(text.substr(start, space - start));
        if (space == std::string::npos) break;
        start = space + 1;
    }

    // Single drive entries with spaces in them; the last entry is the combined one.
    std::vector<std::string> spaced;
    for (std::size_t i = 0; i + 1 < window_.comboCount(); ++i) {
        std::string entry = window_.comboEntry(i);
        if (entry.find(' ') != std::string::npos) spaced.push_back(std::move(entry));
    }
    if (spaced.empty()) return tokens;

    std::vector<std::string> roots;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        std::size_t end = i;  // the longest run tokens[i..end] that spells a spaced entry
        std::string joined = tokens[i];
        for (std::size_t j = i + 1; j < tokens.size(); ++j) {
            joined += ' ';
            joined += tokens[j];
            if (std::find(spaced.begin(), spaced.end(), joined) != spaced.end()) end = j;
        }
        std::string root = tokens[i];
        for (std::size_t j = i + 1; j <= end; ++j) root += ' ' + tokens[j];
        roots.push_back(std::move(root));
        i = end;
    }
    return roots;
}

void SearchCore::Command1_Click() {
    // A pattern naming a path would list files under paths they do not have.
    if (patternHasPathSymbol(std::string(trimSpaces(window_.text1())))) {
        window_.messageBox(BoxKind::RefusedPattern, texts::kPatternHasPath);
        return;
    }

    window_.listClear();
    state_.FoundCount = 0;
    state_.TotalBytes = 0;
    state_.StopRequested = false;
    toggleSearchButtons();

    window_.setComboText(std::string(trimSpaces(window_.comboText())));
    const std::string typed = window_.text1();
    if (typed.find('.') == std::string::npos)
        window_.setText1(std::string(trimSpaces(typed)) + "*.*");
    for (std::string roots = window_.comboText(); roots.find("  ") != std::string::npos;
         roots = window_.comboText()) {
        if (!window_.setComboText(collapseDoubleSpacesOnce(roots))) break;
    }

    const char separator = platform_.separator();
    for (const std::string& token : splitRoots(window_.comboText())) {
        if (state_.StopRequested) break;
        state_.CurrentRoot = trimSpaces(token);
        if (platform_.hasDriveLetters() && state_.CurrentRoot.size() == 1 &&
            state_.CurrentRoot.find(':') == std::string::npos)
            state_.CurrentRoot += ':';
        if (state_.CurrentRoot.empty() || state_.CurrentRoot.back() != separator)
            state_.CurrentRoot += separator;
        state_.Pattern = trimSpaces(window_.text1());
        SearchFolder(state_.CurrentRoot);
    }
    platform_.walkEnded();

    if (state_.Unloading) return;  // the window is gone: nothing to report to
    report();
    toggleSearchButtons();
}

void SearchCore::report() {
    if (state_.FoundCount < 1) {
        window_.messageBox(BoxKind::NothingFound, texts::kNothingFound);
    } else {
        std::string text = texts::kFoundPrefix;
        text += ' ';
        text += std::to_string(state_.FoundCount);
        text += texts::kFoundSuffix;
        text += "\r\n\n";
        text += texts::kTotalPrefix;
        appendThousands(text, state_.TotalBytes);
        text += texts::kBytesSuffix;
        window_.messageBox(BoxKind::Report, text);
        window_.messageBox(BoxKind::Hint, texts::kDoubleClickHint);
    }
    window_.setCaption(texts::kProductCaption);
}

void SearchCore::abandon() {
    state_.StopRequested = true;
    state_.Unloading = true;
}

void SearchCore::SearchFolder(const std::string& folder) {
    window_.setCaption(texts::kSearchingPrefix + folder);
    window_.pumpEvents();

    // Names are gathered and the handle closed before descending, so one handle is open at a time.
    std::vector<std::string> subNames;
    state_.FolderFindHandle = platform_.findFirst(folder + '*', state_.FindData);
    if (state_.FolderFindHandle != kInvalidFindHandle) {
        for (;;) {
            window_.pumpEvents();
            if (state_.StopRequested) break;
            const FindRecord& entry = state_.FindData;
            // Links, junctions and mount points are never entered, so no walk can loop.
            if ((entry.dwFileAttributes & (kAttrDirectory | kAttrReparsePoint)) == kAttrDirectory &&
                !entry.cFileName.empty() && entry.cFileName[0] != '.')
                subNames.push_back(entry.cFileName);
            if (!platform_.findNext(state_.FolderFindHandle, state_.FindData)) break;
        }
        platform_.findClose(state_.FolderFindHandle);
        ScanFolderFiles(folder);
    }

    const char separator = platform_.separator();
    for (const std::string& name : subNames) {
        window_.pumpEvents();
        if (state_.StopRequested) break;
        SearchFolder(folder + name + separator);
    }
}

void SearchCore::ScanFolderFiles(const std::string& folder) {
    state_.FileFindHandle = platform_.findFirst(folder + state_.Pattern, state_.FindData);
    if (state_.FileFindHandle == kInvalidFindHandle) return;
    for (;;) {
        window_.pumpEvents();
        if (state_.StopRequested) break;
        const FindRecord& entry = state_.FindData;
        if (!entry.cFileName.empty() && entry.cFileName[0] != '.' &&
            (entry.dwFileAttributes & kAttrDirectory) == 0) {
            // The name is kept as it is: trimming it would list a path that does not exist.
            state_.LineText.assign(folder);
            state_.LineText += entry.cFileName;
            if (const auto size = platform_.fileLength(state_.FileFindHandle)) {
                state_.LineText += texts::kLineSeparator;
                appendThousands(state_.LineText, *size);
                state_.LineText += texts::kBytesSuffix;
                state_.TotalBytes += *size;
            }
            ++state_.FoundCount;
            window_.listAdd(state_.LineText);
            window_.listSelect(window_.listCount() - 1);
        }
        if (!platform_.findNext(state_.FileFindHandle, state_.FindData)) break;
    }
    platform_.findClose(state_.FileFindHandle);
}

void SearchCore::List1_DblClick() {
    if (window_.listCount() == 0) return;
    const std::ptrdiff_t selected = window_.listSelectedIndex();
    if (selected < 0 || static_cast<std::size_t>(selected) >= window_.listCount()) return;
    const std::string line = window_.listLine(static_cast<std::size_t>(selected));
    // The size never holds the separator, so the last one ends the path, whatever the name holds.
    const std::size_t cut = line.rfind(texts::kLineSeparator);
    if (cut == std::string::npos) return;
    state_.FilePath = line.substr(0, cut);
    platform_.open(state_.FilePath);
}

std::string SearchCore::programDrive() {
    const std::string folder = platform_.programFolder();
    if (platform_.hasDriveLetters()) return folder.substr(0, 3);
    // The deepest mounted drive that holds the program's folder.
    std::string best;
    const char separator = platform_.separator();
    for (std::size_t i = 0; i + 1 < window_.comboCount(); ++i) {
        std::string entry = window_.comboEntry(i);
        if (entry.size() > best.size() && isPathPrefix(entry, folder, separator))
            best = std::move(entry);
    }
    return best;
}

void SearchCore::init() {
    state_.LineText.clear();
    if (platform_.hasDriveLetters()) {
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            state_.DriveProbe = std::string(1, letter) + ":\\";
            state_.DriveType = platform_.driveType(state_.DriveProbe);
            if (state_.DriveType > kDriveNoRootDir) {
                state_.LineText += state_.DriveProbe + ' ';
                window_.comboAdd(state_.DriveProbe);
            }
        }
    } else {
        for (const std::string& drive : platform_.mountedDrives()) {
            state_.LineText += drive + ' ';
            window_.comboAdd(drive);
        }
    }
    window_.comboAdd(std::string(trimSpaces(state_.LineText)));
    // Started from a place that is not one of the drives: the first entry is taken instead.
    if (!window_.setComboText(programDrive()) && window_.comboCount() > 0)
        window_.setComboText(window_.comboEntry(0));
    window_.setCommand1Enabled(true);
    window_.setCommand2Enabled(false);
}

}  // namespace quarvex
