// Test fixtures: a window that records what the search does to it, a platform with drive letters
// for what a Linux folder cannot show, and real temporary folder trees.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "search/core/search_core.h"
#include "search/core/window.h"
#include "search/os/platform.h"

namespace quarvex::test {

struct Box {
    BoxKind kind;
    std::string text;
    bool operator==(const Box&) const = default;
};

// A window whose selector is a drop-down list, as in the real windows.
template <class Base = Window>
class BasicFakeWindow : public Base {
  public:
    std::string caption = "Quarvex";
    std::vector<std::string> captions;  // every caption set, in order
    bool keepCaptions = true;           // false: count them only (very deep walks)
    std::size_t captionCount = 0;
    bool command1 = true, command2 = false;  // idle, as after load
    bool freeText = false;   // a selector that takes any text, as the console's does
    std::string typedRoots;  // its text
    std::vector<std::string> entries;
    std::ptrdiff_t comboSelected = -1;
    std::string text1Value = "*.*";
    std::vector<std::string> lines;
    std::ptrdiff_t selected = -1;
    std::vector<Box> boxes;
    int boxAnswer = kIdOk;
    std::function<void()> onPump;  // runs at every pumped event
    std::size_t pumps = 0;

    void setCaption(const std::string& text) override {
        caption = text;
        ++captionCount;
        if (keepCaptions) captions.push_back(text);
    }
    bool command1Enabled() const override { return command1; }
    void setCommand1Enabled(bool e) override { command1 = e; }
    bool command2Enabled() const override { return command2; }
    void setCommand2Enabled(bool e) override { command2 = e; }
    void comboAdd(const std::string& entry) override { entries.push_back(entry); }
    std::size_t comboCount() const override { return entries.size(); }
    std::string comboEntry(std::size_t i) const override { return entries.at(i); }
    std::string comboText() const override {
        if (freeText) return typedRoots;
        return comboSelected < 0 ? std::string() : entries[static_cast<std::size_t>(comboSelected)];
    }
    bool setComboText(const std::string& text) override {
        if (freeText) {
            typedRoots = text;
            return true;
        }
        const std::ptrdiff_t i = findComboEntry(*this, text);
        if (i < 0) return false;
        comboSelected = i;
        return true;
    }
    std::string text1() const override { return text1Value; }
    void setText1(const std::string& t) override { text1Value = t; }
    void listClear() override {
        lines.clear();
        selected = -1;
    }
    // Memory runs out for the list beyond `lineLimit` lines, as a window's would.
    void listAdd(std::string_view line) override {
        if (lines.size() >= lineLimit) throw std::bad_alloc();
        lines.emplace_back(line);
    }
    std::size_t lineLimit = SIZE_MAX;
    std::size_t listCount() const override { return lines.size(); }
    void listSelect(std::size_t i) override { selected = static_cast<std::ptrdiff_t>(i); }
    std::ptrdiff_t listSelectedIndex() const override { return selected; }
    std::string listLine(std::size_t i) const override { return lines.at(i); }
    int messageBox(BoxKind kind, const std::string& text) override {
        boxes.push_back({kind, text});
        return boxAnswer;
    }
    void pumpEvents() override {
        ++pumps;
        if (onPump) onPump();
    }
    void folderNotRead(const std::string& folder, const std::string& reason) override {
        notRead.push_back(folder + ": " + reason);
    }
    std::vector<std::string> notRead;

    // Puts a free text into the selector: typed into a free-text one, else as if it were one of
    // its entries.
    void chooseRoots(const std::string& text) {
        if (freeText) {
            typedRoots = text;
            return;
        }
        entries.push_back(text);
        comboSelected = static_cast<std::ptrdiff_t>(entries.size() - 1);
    }
};
using FakeWindow = BasicFakeWindow<>;

// A Windows-like platform over an in-memory tree: drive letters, "\" separators, drive types,
// reparse tags, mounts. It counts the work the walk asks of it, and it may be changed while a walk
// runs (from the window's pump or from the walk's own threads), so everything is locked.
class FakePlatform : public Platform {
  public:
    struct Entry {
        std::string name;
        std::uint32_t attributes = kAttrArchive;
        std::uint32_t reparseTag = 0;
        std::uint64_t size = 0;
        int folder = -1;  // what a folder entry (or a link to a folder) leads to
        bool manyNames = false;
        std::uint64_t file = 0;  // a file's number as listed (folders list their index)
    };

    FakePlatform();
    ~FakePlatform() override;

    // The tree. Paths use "\"; a root is what comes before the first "\" plus it ("C:\",
    // "CD\", "\"), and folders are found from it whatever the letter case.
    int addFolder(const std::string& path);  // and the folders above it; returns its index
    void addFile(const std::string& path, std::uint64_t size = 0);
    // A reparse point leading to `target`: a folder entry carrying kAttrReparsePoint and `tag`.
    void addFolderLink(const std::string& path, const std::string& target, std::uint32_t tag);
    void addEntry(const std::string& folder, Entry entry);
    // The same by folder index, for trees too deep to name by path.
    int addFolderIn(int parent, const std::string& name);
    void addFileIn(int folder, const std::string& name, std::uint64_t size);
    // Puts another folder where `path` was: what the walk then finds there is a new folder.
    void replaceFolder(const std::string& path);
    void removeEntry(const std::string& path);
    void setMount(const std::string& folder, std::uint64_t mount);
    void setUnreadable(const std::string& folder);
    // Its listing breaks off with `error` after the first batch.
    void setListError(const std::string& folder, int error);

    OpenResult openRoot(const std::string& path) override;
    OpenResult openChild(FolderHandle parent, std::string_view name) override;
    void closeFolder(FolderHandle folder) override;
    bool identify(FolderHandle folder, FolderIdentity& identity) override;
    ListStatus listFolder(FolderHandle folder, Listing& out) override;
    bool describe(FolderHandle folder, ListedEntry& entry, std::string_view name) override;
    std::size_t folderHandleBudget() override { return budget; }
    // As Windows words its errors.
    std::string errorText(int error) const override {
        return error == kAccessDenied ? "Access is denied" : "error " + std::to_string(error);
    }
    static constexpr int kAccessDenied = 5;
    static constexpr int kTooManyOpenFiles = 4;
    std::unique_ptr<TreeWatch> watchTree(FolderHandle root, const std::string& rootPath) override;
    void releaseFreedMemory() override { ++releases; }
    std::atomic<std::size_t> releases = 0;
    // Threads it lets start, as if the system had room for no more (-1: no limit), and those it
    // refused.
    bool startThread(std::thread& thread, std::function<void()> body) override {
        if (threadsLeft == 0) {
            ++threadsRefused;
            return false;
        }
        if (threadsLeft > 0) --threadsLeft;
        return Platform::startThread(thread, std::move(body));
    }
    std::atomic<int> threadsLeft = -1;
    std::atomic<int> threadsRefused = 0;
    std::uint64_t memoryLimit() override { return memoryLimitBytes; }
    std::uint64_t memoryLimitBytes = 0;
    // A clock of its own when `fakeClock`: it moves only as listings take their time.
    std::uint64_t now() override { return fakeClock ? clock.load() : Platform::now(); }
    ProcessUsage usage() override {
        std::lock_guard lock(mutex_);
        ++usageCalls;
        processUsage.cpuMicroseconds += cpuPerUsageCall;
        if (processUsage.deviceReads >= 0) processUsage.deviceReads += deviceReadsPerUsageCall;
        return processUsage;
    }
    unsigned driveType(const std::string& root) override {
        const auto it = driveTypes.find(root);
        return it == driveTypes.end() ? kDriveNoRootDir : it->second;
    }
    std::vector<std::string> mountedDrives() override { return {}; }
    bool open(const std::string& target, int showMode) override {
        std::lock_guard lock(mutex_);
        opened.push_back(target);
        openModes.push_back(showMode);
        return true;
    }
    std::string programFolder() override { return program; }
    char separator() const override { return '\\'; }
    bool hasDriveLetters() const override { return true; }

    // Tells the watched trees that the entries of the folder at `path` changed, or the folder
    // itself; or that changes were lost. Watches hear only what a test tells them.
    void notifyEntries(const std::string& path);
    void notifyFolder(const std::string& path);
    void notifyLost();

    // Whether some handle of the folder at `path` is open.
    bool isOpen(const std::string& path) const;

    // Runs at the start of every openChild (with the name asked for) and listFolder (with the
    // listed folder's name), outside the fake's lock: a test may pause the calling thread there.
    std::function<void(const std::string& call, const std::string& name)> onCall;

    // Settings, before a walk.
    std::map<std::string, unsigned> driveTypes;  // "C:\" -> type
    std::string program = "C:\\Tools";           // the program's folder
    std::size_t budget = 1024;                   // folders the walk may hold open
    std::size_t handleLimit = SIZE_MAX;          // beyond it, opening runs out of handles
    std::size_t openLimit = SIZE_MAX;            // beyond it, folders are unreadable: a walk
                                                 // caught in a loop ends, and its test fails
    std::size_t batch = 2;                       // entries per listing call
    bool sizesInListing = true;                  // else files are sized by describe()
    bool typesInListing = true;                  // else every entry is typed by describe()
    // As Linux's openat2: subfolders are opened unidentified (identify() on demand), and one on
    // another mount is refused as it is opened.
    bool lazyIdentity = false;

    // Watching: a folder at a time as on Linux, unless one watch covers the tree; nothing at all
    // where not `watchable` (a network share).
    bool watchable = true;
    bool watchCoversTree = false;
    std::size_t watchLimit = SIZE_MAX;     // watches beyond it fail
    std::set<std::string> refusedWatches;  // folders, by name, whose own watch is refused
    std::size_t watchesNow = 0, watchesMade = 0;

    bool fakeClock = false;
    std::atomic<std::uint64_t> clock = 0;
    std::uint64_t microsecondsPerList = 0;  // each listing call takes that long

    // What usage() tells: by default a processor busy all the time and no device reads.
    ProcessUsage processUsage{0, 0};
    std::uint64_t cpuPerUsageCall = 1'000'000;
    std::int64_t deviceReadsPerUsageCall = 0;
    std::atomic<std::size_t> usageCalls = 0;

    // What the walk did.
    std::vector<std::string> opened;  // targets handed to open()
    std::vector<int> openModes;
    std::vector<std::string> rootsOpened;
    std::size_t childOpens = 0, describes = 0, openNow = 0, mostOpen = 0, identifies = 0;
    std::atomic<std::size_t> lists = 0;  // read while a walk runs
    std::size_t outOfHandles = 0;

  private:
    struct Folder {
        std::vector<Entry> entries;
        std::uint64_t mount = 1;
        bool unreadable = false;
        std::string name;            // the name it was made with
        int listError = 0;           // listing fails with it after the first batch
        std::size_t nextLookup = 0;  // where openChild looks first: walks open in listing order
    };
    struct Open {
        int folder;
        std::size_t next = 0;
    };
    int folderAt(const std::string& path) const;  // -1 when there is none
    OpenResult openFolder(int folder);
    class Watch;
    friend class Watch;
    void notify(int folder, bool itself);

    mutable std::mutex mutex_;
    std::vector<Folder> folders_;
    std::map<std::string, int> roots_;  // upper-cased root -> folder
    std::map<FolderHandle, Open> handles_;
    FolderHandle nextHandle_ = 1;
    std::vector<Watch*> watches_;
};

// Holds the threads that reach the named calls until the test lets each go.
class Gate {
  public:
    void armFor(const std::string& name) {
        std::lock_guard lock(mutex_);
        armed_.push_back(name);
    }
    void reached(const std::string& name) {
        std::unique_lock lock(mutex_);
        if (std::erase(armed_, name) == 0) return;
        waiting_.push_back(name);
        changed_.notify_all();
        changed_.wait(lock,
                      [&] { return std::find(open_.begin(), open_.end(), name) != open_.end(); });
    }
    void awaitArrival(const std::string& name) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return std::find(waiting_.begin(), waiting_.end(), name) != waiting_.end();
        });
    }
    void letGo(const std::string& name) {
        std::lock_guard lock(mutex_);
        open_.push_back(name);
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> armed_, waiting_, open_;
};

// A temporary folder that is removed with everything in it when the test ends.
class TempTree {
  public:
    // Below `base`: /dev/shm for trees that are costly to make on a disk.
    explicit TempTree(const std::string& base = "/tmp");
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return root_; }  // without a trailing "/"
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    void dir(const std::string& relative) const;
    // Creates a file of `size` bytes; sparse, so large sizes cost no disk.
    void file(const std::string& relative, std::uint64_t size = 0) const;
    void link(const std::string& target, const std::string& relative) const;
    // Creates `depth` nested folders named `name` below `relative` ("" for the root), one at a
    // time relative to the last, so no path length limits it; returns the relative path of the
    // deepest, ending in "/". Then puts `file` (of `size` bytes) there, when given.
    std::string chain(const std::string& relative, int depth, const std::string& name,
                      const std::string& file = {}, std::uint64_t size = 0) const;

  private:
    std::string root_;
};

// Removes a folder and everything below it, however deep, and whatever its permissions.
void removeTree(const std::string& path);

// Whether this process may call openat2: a kernel of 5.6 or later, and no sandbox forbidding it.
bool openat2Allowed();
// Runs `body` in a forked child process (for what cannot be undone: namespaces, dropped
// privileges) and returns the lines it returned. The child's own checks do not reach the test,
// so it reports through its lines; a child that does not end well fails the test.
std::vector<std::string> inChildProcess(const std::function<std::vector<std::string>()>& body);
// Runs `body` as root in a mount namespace of its own, in a child process, and returns its lines.
// Where that cannot be had, returns nothing and says why in `why`.
std::optional<std::vector<std::string>> inMountNamespace(
    const std::function<std::vector<std::string>()>& body, std::string& why);

// The result lines of a search, sorted: for tests where the platform's order does not matter.
std::vector<std::string> sorted(std::vector<std::string> lines);

// A size as result lines and reports show it: "#,###", and "" for zero.
inline std::string formatThousands(std::uint64_t value) {
    std::string text;
    appendThousands(text, value);
    return text;
}

}  // namespace quarvex::test
