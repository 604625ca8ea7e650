#include "search/core/search_core.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string_view>

#include "search/store/listing_store.h"
#include "search/text/name_pattern.h"
#include "search/text/text_util.h"
#include "search/text/texts.h"
#include "search/walk/walk.h"

namespace quarvex {

namespace {

// What a search needs beside the listing store under a memory limit: the program, its threads,
// the walk's window ahead and the lines on their way.
constexpr std::uint64_t kSearchRoom = std::uint64_t{64} << 20;

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

SearchCore::SearchCore(Window& window, Platform& platform)
    : window_(window), platform_(platform), workers_(Walk::defaultWorkers()) {}

SearchCore::~SearchCore() = default;

void SearchCore::keepListings(std::size_t mostBytes, std::uint64_t idleMicroseconds) {
    std::uint64_t bound = mostBytes != 0 ? mostBytes : ListingStore::kDefaultMostBytes;
    // Within a limit on the process's memory, the store keeps at most a quarter of what the
    // search leaves of it: while it packs a tree it holds it twice, and the heap's own overhead
    // comes on top. A limit too small for that keeps nothing.
    if (const std::uint64_t limit = platform_.memoryLimit(); limit != 0)
        bound = std::min(bound, limit > kSearchRoom ? (limit - kSearchRoom) / 4 : 0);
    store_.reset();  // the old store's background work ends first
    store_ = std::make_unique<ListingStore>(
        platform_, static_cast<std::size_t>(bound),
        idleMicroseconds != 0 ? idleMicroseconds : ListingStore::kDefaultIdleMicroseconds);
}

void SearchCore::toggleSearchButtons() {
    window_.setCommand1Enabled(!window_.command1Enabled());
    window_.setCommand2Enabled(!window_.command2Enabled());
}

bool SearchCore::patternHasPathSymbol(const std::string& pattern) const {
    const std::string_view symbols = platform_.hasDriveLetters() ? "\\/:" : "/";
    return pattern.find_first_of(symbols) != std::string::npos;
}

// The selector's entries but the last name one drive each; the last one, the combined entry,
// names them all.
bool SearchCore::isSingleEntry(const std::string& text) const {
    return std::find(drives_.begin(), drives_.end(), text) != drives_.end();
}

bool SearchCore::isAllDrivesEntry(const std::string& text) const {
    return !drives_.empty() && text == allDrivesEntry_;
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
        std::string joined = tokens[i], root = tokens[i];
        for (std::size_t j = i + 1; j < tokens.size(); ++j)
            if (isSingleEntry(joined += ' ' + tokens[j])) root = joined, end = j;
        roots.push_back(std::move(root));
        i = end;
    }
    return roots;
}

// The selector's text trimmed and its double spaces collapsed, but for a text that is one of
// its entries: that names a drive exactly.
std::string SearchCore::normalisedRoots(const std::string& text) const {
    if (isSingleEntry(text) || isAllDrivesEntry(text)) return text;
    std::string roots(trimSpaces(text));
    for (std::size_t at; (at = roots.find("  ")) != std::string::npos;) roots.erase(at, 1);
    return roots;
}

std::string SearchCore::completeRoot(std::string token) const {
    if (platform_.hasDriveLetters() && token.size() == 1 && token.find(':') == std::string::npos)
        token += ':';
    if (token.empty() || token.back() != platform_.separator()) token += platform_.separator();
    return token;
}

std::optional<SearchRequest> SearchCore::request(const std::string& patternText,
                                                 const std::string& rootsText,
                                                 bool normalise) const {
    // A pattern naming a path would list files under paths they do not have.
    if (patternHasPathSymbol(std::string(trimSpaces(patternText)))) return std::nullopt;
    SearchRequest made;
    made.pattern = std::string(trimSpaces(patternText));
    if (patternText.find('.') == std::string::npos) made.pattern += "*.*";
    for (const std::string& token : splitRoots(normalise ? normalisedRoots(rootsText) : rootsText))
        made.roots.push_back(completeRoot(token));
    made.threads = workers_;
    made.startThreads = startWorkers_;
    return made;
}

void SearchCore::refusePattern() {
    window_.messageBox(BoxKind::RefusedPattern, platform_.hasDriveLetters()
                                                    ? texts::kPatternHasPathWithDrives
                                                    : texts::kPatternHasPathSlash);
}

void SearchCore::Command1_Click() {
    const std::string typed = window_.text1();
    if (patternHasPathSymbol(std::string(trimSpaces(typed)))) {
        refusePattern();  // before anything is cleared
        return;
    }
    window_.listClear();
    toggleSearchButtons();
    // The boxes show what is searched. A drop-down selector takes only its entries: a text that
    // is none stays as it was, and its words are searched as they stand.
    if (const std::string roots = window_.comboText(), normalised = normalisedRoots(roots);
        normalised != roots)
        window_.setComboText(normalised);
    const std::optional<SearchRequest> made = request(typed, window_.comboText(), false);
    if (typed.find('.') == std::string::npos) window_.setText1(made->pattern);
    run(*made);
    if (!state_.Unloading) toggleSearchButtons();
}

void SearchCore::run(const SearchRequest& request) {
    state_.FoundCount = 0;
    state_.TotalBytes = {};
    state_.StopRequested = false;
    state_.OutOfMemory = false;
    state_.Searching = true;
    state_.Pattern = request.pattern;
    for (const std::string& root : request.roots) {
        if (state_.StopRequested) break;
        state_.CurrentRoot = root;
        SearchFolder(root, request);
    }
    state_.Searching = false;
    if (state_.Unloading) return;  // the window is gone: nothing to report to
    if (state_.OutOfMemory) window_.messageBox(BoxKind::OutOfMemory, texts::kOutOfMemory);
    report();
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

// The stop reaches the walk's threads at once, not when the search next looks at the request:
// a worker begins no further read once the button is pressed, or the window unloaded. The
// walk's wait hook pumps this thread's events, so this runs on the walk's own consumer thread.
void SearchCore::Command2_Click() {
    state_.StopRequested = true;
    if (walking_ != nullptr) walking_->stop();
}

void SearchCore::abandon() {
    Command2_Click();
    state_.Unloading = true;
}

void SearchCore::SearchFolder(const std::string& root, const SearchRequest& request) {
    const NamePattern pattern(request.pattern);
    // While the walk waits for a folder, the window stays responsive and a stop ends the wait.
    const Walk::WaitHook wait = [this] {
        window_.pumpEvents();
        return !state_.StopRequested;
    };
    // What an earlier search kept of this root is read from memory where watches vouch for it.
    std::unique_ptr<ListingStore::Search> kept;
    bool whole = false;
    try {
        if (store_ != nullptr) {
            kept = store_->begin(root, request.threads, request.startThreads, wait);
            if (state_.StopRequested) return;
        }
        whole = walkFrom(root, pattern, request, kept != nullptr ? kept->view() : nullptr, wait);
    } catch (const std::bad_alloc&) {
        // A line, a listing or what the store keeps: the search stops as a stop ends it.
        state_.OutOfMemory = true;
    }
    if (kept != nullptr) kept->end(whole && !state_.OutOfMemory);
    // What the store holds is given back first, so that the window goes on.
    if (state_.OutOfMemory) {
        state_.StopRequested = true;
        if (store_ != nullptr) store_->giveUp();
    }
}

// Walks `root`, listing the matching files, until the walk ends or is stopped; whether it went
// to its end. The walk's workers are stopped and joined before it returns.
bool SearchCore::walkFrom(const std::string& root, const NamePattern& pattern,
                          const SearchRequest& request, TreeSource* kept,
                          const Walk::WaitHook& wait) {
    WalkSetup setup;
    setup.workers = request.threads;
    setup.startWorkers = request.startThreads;
    setup.source = kept;
    setup.recorder = kept;
    auto walk = std::make_unique<Walk>(platform_, pattern, setup);
    walking_ = walk.get();
    struct Forget {
        Walk*& walking;
        ~Forget() { walking = nullptr; }
    } forget{walking_};
    walk->start(root);
    bool ended = false;
    // The caption follows the walk's path by what changed, so deep trees cost no more per folder.
    std::string caption = texts::kSearchingPrefix;
    const std::size_t prefix = caption.size();
    for (bool first = true; !state_.StopRequested; first = false) {
        // As before each subfolder: events first, so a stop ends the walk before it goes on.
        if (!first) {
            window_.pumpEvents();
            if (state_.StopRequested) break;
        }
        if (!walk->advance(wait)) {
            ended = !state_.StopRequested && !walk->stopped();
            break;
        }
        const std::string& path = walk->path();
        caption.resize(prefix + walk->keptLength());
        caption.append(path, walk->keptLength());
        const std::optional<FolderResult> result = walk->result(wait);
        if (!result) break;
        // A name that became a link or leads onto another mount was never a folder to walk.
        if (result->outcome != FolderOutcome::Listed &&
            result->outcome != FolderOutcome::Unreadable &&
            result->outcome != FolderOutcome::Changed)
            continue;
        window_.setCaption(caption);
        window_.pumpEvents();
        if (state_.StopRequested) break;
        if (request.tellUnreadable) {
            if (result->outcome == FolderOutcome::Changed)
                window_.folderNotRead(path, texts::kFolderChanged);
            else if (result->error != 0)
                window_.folderNotRead(path, platform_.errorText(result->error));
        }
        if (result->files != nullptr) ScanFolderFiles(path, *result->files);
    }
    walk->stop();
    if (walk->outOfMemory()) state_.OutOfMemory = true;
    return ended && !walk->outOfMemory();
}

void SearchCore::ScanFolderFiles(const std::string& folder, const FolderFiles& files) {
    if (files.size() == 0) return;
    constexpr std::size_t kSeparator = sizeof texts::kLineSeparator - 1;
    constexpr std::size_t kSuffix = sizeof texts::kBytesSuffix - 1;
    constexpr std::size_t kTail = kSeparator + kThousandsRoom + kSuffix;
    // Each line of the folder is built in one buffer that begins with its path, written once;
    // the buffer only grows, keeping the path.
    const auto reserve = [&](std::size_t length) {
        if (line_.size() < length) line_.resize(std::max(length, 2 * line_.size()));
    };
    reserve(folder.size() + kTail);
    std::memcpy(line_.data(), folder.data(), folder.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        window_.pumpEvents();
        if (state_.StopRequested) break;
        const FolderFiles::File& file = files[i];
        // The name is kept as it is: trimming it would list a path that does not exist.
        const std::string_view name = files.name(file);
        reserve(folder.size() + name.size() + kTail);
        char* end = line_.data() + folder.size();
        copyShort(end, name.data(), name.size());
        end += name.size();
        if (file.sized) {
            // The size's part written backwards in a buffer of its own, then after the name.
            char tail[kTail];
            char* const suffix = std::end(tail) - kSuffix;
            std::memcpy(suffix, texts::kBytesSuffix, kSuffix);
            char* const size = writeThousands(suffix, file.size) - kSeparator;
            std::memcpy(size, texts::kLineSeparator, kSeparator);
            const auto length = static_cast<std::size_t>(std::end(tail) - size);
            copyShort(end, size, length);
            end += length;
        }
        // Counted once it is in the list, which may run out of memory.
        window_.listAdd(
            std::string_view(line_.data(), static_cast<std::size_t>(end - line_.data())));
        ++state_.FoundCount;
        if (file.sized) state_.TotalBytes.add(file.size);
        window_.listSelect(window_.listCount() - 1);
    }
}

void SearchCore::List1_DblClick() {
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
