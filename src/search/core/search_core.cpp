#include "search/core/search_core.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "search/store/listing_store.h"
#include "search/text/text_util.h"
#include "search/text/texts.h"

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
    const std::string_view symbols = platform_.hasDriveLetters() ? "\\/:" : "/";
    return pattern.find_first_of(symbols) != std::string::npos;
}

// The selector's entries but the last name one root each; the last one, the combined entry,
// names them all.
bool SearchCore::isSingleEntry(const std::string& text) const {
    for (std::size_t i = 0; i + 1 < window_.comboCount(); ++i)
        if (window_.comboEntry(i) == text) return true;
    return false;
}

bool SearchCore::isAllDrivesEntry(const std::string& text) const {
    const std::size_t count = window_.comboCount();
    return !drives_.empty() && count > 0 && text == allDrivesEntry_ &&
           window_.comboEntry(count - 1) == text;
}

std::vector<std::string> SearchCore::splitRoots(const std::string& text) const {
    // The all-drives entry names the drives as they are, spaces in their names included.
    if (isAllDrivesEntry(text)) return drives_;
    if (isSingleEntry(text)) return {text};

    std::vector<std::string> tokens;
    if (text.empty()) return tokens;
    for (std::size_t start = 0;;) {
        const std::size_t space = text.find(' ', start);
        tokens.push_back(text.substr(start, space - start));
        if (space == std::string::npos) break;
        start = space + 1;
    }
    // Words that together spell an entry with spaces in it stay one root.
    std::vector<std::string> roots;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        std::size_t end = i;  // the longest run tokens[i..end] that spells an entry
        std::string joined = tokens[i];
        for (std::size_t j = i + 1; j < tokens.size(); ++j) {
            joined += ' ';
            joined += tokens[j];
            if (isSingleEntry(joined)) end = j;
        }
        std::string root = tokens[i];
        for (std::size_t j = i + 1; j <= end; ++j) root += ' ' + tokens[j];
        roots.push_back(std::move(root));
        i = end;
    }
    return roots;
}

// Trims the selector's text and collapses its double spaces, and completes the pattern. A text
// that is one of the selector's entries is left as it is: it names a drive exactly.
void SearchCore::normaliseInputs() {
    const std::string roots = window_.comboText();
    const bool isEntry = isSingleEntry(roots) || isAllDrivesEntry(roots);
    if (!isEntry) window_.setComboText(std::string(trimSpaces(roots)));
    const std::string typed = window_.text1();
    if (typed.find('.') == std::string::npos)
        window_.setText1(std::string(trimSpaces(typed)) + "*.*");
    if (isEntry) return;
    for (std::string text = window_.comboText(); text.find("  ") != std::string::npos;
         text = window_.comboText()) {
        if (!window_.setComboText(collapseDoubleSpacesOnce(text))) break;
    }
}

void SearchCore::Command1_Click() {
    // A pattern naming a path would list files under paths they do not have.
    if (patternHasPathSymbol(std::string(trimSpaces(window_.text1())))) {
        window_.messageBox(BoxKind::RefusedPattern, platform_.hasDriveLetters()
                                                        ? texts::kPatternHasPathWithDrives
                                                        : texts::kPatternHasPathSlash);
        return;
    }

    window_.listClear();
    state_.FoundCount = 0;
    state_.TotalBytes = {};
    state_.StopRequested = false;
    state_.Searching = true;
    toggleSearchButtons();
    normaliseInputs();

    const char separator = platform_.separator();
    for (const std::string& token : splitRoots(window_.comboText())) {
        if (state_.StopRequested) break;
        state_.CurrentRoot = token;
        if (platform_.hasDriveLetters() && state_.CurrentRoot.size() == 1 &&
            state_.CurrentRoot.find(':') == std::string::npos)
            state_.CurrentRoot += ':';
        if (state_.CurrentRoot.empty() || state_.CurrentRoot.back() != separator)
            state_.CurrentRoot += separator;
        state_.Pattern = trimSpaces(window_.text1());
        SearchFolder(state_.CurrentRoot);
    }
    state_.Searching = false;

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

void SearchCore::SearchFolder(const std::string& root) {
    const NamePattern pattern(state_.Pattern);
    // What an earlier search kept of this root answers when it can; else the walk lists afresh,
    // keeping what it lists for the next time.
    // While the walk waits for a folder, the window stays responsive and a stop ends the wait.
    const Walker::WaitHook wait = [this] {
        window_.pumpEvents();
        return !state_.StopRequested;
    };
    std::unique_ptr<ListingStore::Search> kept;
    std::unique_ptr<Walker> walker;
    if (store_ != nullptr) {
        kept = store_->begin(root, wait);
        if (state_.StopRequested) return;
        walker = kept->walker(pattern);
    }
    if (walker == nullptr) {
        auto walk = std::make_unique<Walk>(platform_, pattern, workers_, startWorkers_);
        if (kept != nullptr && kept->keeping()) walk->keepListings();
        walk->start(root);
        walker = std::move(walk);
    }
    // The caption follows the walk's path by what changed, so deep trees cost no more per folder.
    std::string caption = texts::kSearchingPrefix;
    const std::size_t prefix = caption.size();
    bool whole = false;
    for (bool first = true; !state_.StopRequested; first = false) {
        // As before each subfolder: events first, so a stop ends the walk before it goes on.
        if (!first) {
            window_.pumpEvents();
            if (state_.StopRequested) break;
        }
        if (!walker->advance(wait)) {
            whole = !state_.StopRequested;
            break;
        }
        const std::string& path = walker->path();
        caption.resize(prefix + walker->keptLength());
        caption.append(path, walker->keptLength());
        const std::optional<FolderResult> result = walker->result(wait);
        if (!result) break;
        if (kept != nullptr) kept->keep(path, *result);
        // A name that became a link or leads onto another mount was never a folder to walk.
        if (result->outcome == FolderOutcome::Link || result->outcome == FolderOutcome::OtherMount)
            continue;
        window_.setCaption(caption);
        window_.pumpEvents();
        if (state_.StopRequested) break;
        if (result->outcome == FolderOutcome::Changed)
            window_.folderNotRead(path, texts::kFolderChanged);
        else if (result->error != 0)
            window_.folderNotRead(path, platform_.errorText(result->error));
        if (result->files != nullptr) ScanFolderFiles(path, *result->files);
    }
    walker.reset();  // the walk's workers are stopped and joined here, before the report
    if (kept != nullptr) kept->end(whole);
}

void SearchCore::ScanFolderFiles(const std::string& folder, const FolderFiles& files) {
    for (std::size_t i = 0; i < files.size(); ++i) {
        window_.pumpEvents();
        if (state_.StopRequested) break;
        const FolderFiles::File& file = files[i];
        // The name is kept as it is: trimming it would list a path that does not exist.
        line_.assign(folder);
        line_ += files.name(file);
        if (file.sized) {
            line_ += texts::kLineSeparator;
            appendThousands(line_, file.size);
            line_ += texts::kBytesSuffix;
            state_.TotalBytes.add(file.size);
        }
        ++state_.FoundCount;
        window_.listAdd(line_);
        window_.listSelect(window_.listCount() - 1);
    }
}

void SearchCore::List1_DblClick() {
    if (window_.listCount() == 0) return;
    const std::ptrdiff_t selected = window_.listSelectedIndex();
    if (selected < 0 || static_cast<std::size_t>(selected) >= window_.listCount()) return;
    const std::string line = window_.listLine(static_cast<std::size_t>(selected));
    // The size never holds the separator, so the last one ends the path, whatever the name holds.
    const std::size_t cut = line.rfind(texts::kLineSeparator);
    if (cut == std::string::npos) return;
    platform_.open(line.substr(0, cut), kShowNoActivate);
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
    drives_.clear();
    if (platform_.hasDriveLetters()) {
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            std::string probe = std::string(1, letter) + ":\\";
            if (platform_.driveType(probe) > kDriveNoRootDir) drives_.push_back(std::move(probe));
        }
    } else {
        drives_ = platform_.mountedDrives();
    }
    // The last entry names every drive, separated by single spaces.
    allDrivesEntry_.clear();
    for (std::size_t i = 0; i < drives_.size(); ++i) {
        window_.comboAdd(drives_[i]);
        if (i > 0) allDrivesEntry_ += ' ';
        allDrivesEntry_ += drives_[i];
    }
    window_.comboAdd(allDrivesEntry_);
    // Started from a place that is not one of the drives: the first entry is taken instead.
    if (!window_.setComboText(programDrive()) && window_.comboCount() > 0)
        window_.setComboText(window_.comboEntry(0));
    window_.setCommand1Enabled(true);
    window_.setCommand2Enabled(false);
}

}  // namespace quarvex
