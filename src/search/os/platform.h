// What the search needs of the operating system. platform/win32 and platform/posix implement it;
// tests implement it with fakes. All strings are UTF-8 (raw bytes where a file system allows any).
//
// The walk opens every folder relative to its parent's open handle, one name at a time, and lists
// each folder once. Worker threads call openChild, closeFolder, listFolder and describe at the same
// time, on different folders (a parent may be shared), so those must be safe to call concurrently.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "search/os/listing.h"

namespace quarvex {

// An open folder, as the platform hands it out; kNoFolder when there is none.
using FolderHandle = std::intptr_t;
inline constexpr FolderHandle kNoFolder = -1;

// What identifies an open folder: reopened by name, it must still be the folder first seen.
struct FolderIdentity {
    std::uint64_t volume = 0;  // device (Linux) or volume serial number (Windows)
    std::uint64_t file = 0;    // inode (Linux) or file ID (Windows)
    std::uint64_t mount = 0;   // the mount it lies on (Linux mount ID, else the device); the volume
    bool sameFolder(const FolderIdentity& other) const {
        return volume == other.volume && file == other.file;
    }
    // The same folder, on the same mount: a root that may stand for what was kept of it.
    bool sameRoot(const FolderIdentity& other) const {
        return sameFolder(other) && mount == other.mount;
    }
};

enum class OpenStatus {
    Opened,
    Unreadable,    // denied, vanished, or any other failure: the folder contributes nothing
    NotAFolder,    // the name is now a link, a reparse point or no folder at all: not a subfolder
    OtherMount,    // a folder on another mount than its parent's, refused as it was opened
    OutOfHandles,  // the process holds too many handles: close some and try again
};

enum class ListStatus { More, End, Failed };

struct OpenResult {
    OpenStatus status = OpenStatus::Unreadable;
    FolderHandle handle = kNoFolder;
    FolderIdentity identity;
    // False when openChild left the identity to identify(): the platform then refuses a name
    // that leads onto another mount itself (OtherMount), as the open happens.
    bool identified = true;
    // Unreadable: the system's error code (errno; a Win32 error code), 0 when none was given.
    int error = 0;
};

// What the process has used so far. The walk compares two of them to tell folders that are slow
// to read (a cold disk, a network share) from a busy processor.
struct ProcessUsage {
    std::uint64_t cpuMicroseconds = 0;  // processor time of all its threads
    std::int64_t deviceReads = -1;      // reads that went to a device; -1 where none are counted
};

// What a watched tree tells of a name in a watched folder.
enum class NameChange : std::uint8_t { Appeared, Gone, Written };

// What a watched tree tells of its changes, by the keys its folders were watched under.
class ChangeSink {
  public:
    virtual ~ChangeSink() = default;
    // A name of a watched folder appeared (made, moved in), went (removed, moved away), or its
    // file was written, in the order told, before the rest of the same drain. A write is told to
    // the folder through which the writer opened the file, even when that name is gone (removed
    // while open, or never there: an O_TMPFILE file linked in elsewhere). Watches that tell no
    // names (Windows) never call it.
    virtual void nameChanged(std::uint64_t /*key*/, NameChange /*change*/,
                             std::string_view /*name*/) {}
    // Too many names were told to keep them all: a write may have gone through any.
    virtual void namesLost() {}
    // The entries of a watched folder changed: one was added, removed or renamed, written,
    // truncated, or had its attributes changed. The folder must be listed again.
    virtual void entriesChanged(std::uint64_t key) = 0;
    // The folder itself was removed, moved away, replaced, unmounted or had its own attributes
    // (permissions) changed: nothing known of it or of anything below it holds.
    virtual void folderChanged(std::uint64_t key) = 0;
};

// Change notification for the tree below one root (inotify; ReadDirectoryChangesW).
class TreeWatch {
  public:
    virtual ~TreeWatch() = default;
    // Whether one watch covers the whole tree from the moment it was made (Windows): a folder
    // listed after that is watched without watch(). Elsewhere each folder is watched on its own.
    virtual bool coversTree() const = 0;
    // Watches an open folder of the tree from now on, its changes told under `key`;
    // `relativePath` is its path below the root, names separated by the platform's separator,
    // empty for the root. False when it cannot be watched (the system's limit on watches, or the
    // process's half of the user's).
    virtual bool watch(FolderHandle folder, std::string_view relativePath, std::uint64_t key) = 0;
    // Stops watching the folder known as `key` (it is forgotten, or gone).
    virtual void unwatch(std::uint64_t key) = 0;
    // Tells every change queued since the last call, at once, without waiting. The system queues
    // a change before the call that made it returns, so a drain after it sees it. False when
    // changes were lost (the queue overflowed, or a mount appeared or went inside or over the
    // tree): nothing can be trusted any more.
    virtual bool drain(ChangeSink& sink) = 0;
};

// Values of driveType(); anything above 1 is an existing drive.
inline constexpr unsigned kDriveNoRootDir = 1;

// Show modes for open(), with the values Windows gives them.
inline constexpr int kShowMinimized = 2;   // SW_SHOWMINIMIZED: minimised, with focus
inline constexpr int kShowNoActivate = 4;  // SW_SHOWNOACTIVATE: normal, without focus

class Platform {
  public:
    virtual ~Platform() = default;

    // Opens a root the user named (links on the way are followed: the user chose them).
    virtual OpenResult openRoot(const std::string& path) = 0;
    // Opens the subfolder `name` of `parent` relative to it, never following a link or reparse
    // point: a name that is one gives NotAFolder.
    virtual OpenResult openChild(FolderHandle parent, std::string_view name) = 0;
    virtual void closeFolder(FolderHandle folder) = 0;
    // The identity of an open folder, for one that openChild did not identify.
    virtual bool identify(FolderHandle folder, FolderIdentity& identity) = 0;
    // Reads the next batch of an open folder's entries, in the platform's order, into `out`
    // (cleared first), leaving out "." and "..". Called again while it returns More; a folder is
    // read once. Failed: the rest cannot be read (what is in `out` was read), and out.error()
    // says why.
    virtual ListStatus listFolder(FolderHandle folder, Listing& out) = 0;
    // Completes an entry of `folder`'s listing: its type when kAttrTypeUnknown is set (a link's
    // folder bit is its target's), and its size when not known. False when it cannot be read;
    // the entry is left as it was.
    virtual bool describe(FolderHandle folder, ListedEntry& entry, std::string_view name) = 0;
    // How many folders the walk may hold open at once.
    virtual std::size_t folderHandleBudget() = 0;
    // Starts watching the tree below an open root, `rootPath` as the user named it. Nothing where
    // not every change can be seen (a network share, a file system without notification): such
    // a tree is walked afresh at every search.
    virtual std::unique_ptr<TreeWatch> watchTree(FolderHandle root,
                                                 const std::string& rootPath) = 0;
    // An error code of OpenResult or Listing as the system words it ("Permission denied").
    virtual std::string errorText(int error) const = 0;
    virtual ProcessUsage usage() = 0;
    // Gives the heap's free memory back to the system, after much was freed.
    virtual void releaseFreedMemory() {}
    // The most memory the system lets this process use, in bytes, where something below the
    // machine's own memory limits it (a limit on its address space, its control group); 0 where
    // nothing does.
    virtual std::uint64_t memoryLimit() { return 0; }
    // Starts `thread` running `body`; false when the system has no room for another thread (a
    // limit on the process's or the user's threads, or no memory for its stack): the caller goes
    // on without it. Virtual so that tests run out of threads where they choose.
    virtual bool startThread(std::thread& thread, std::function<void()> body) {
        try {
            thread = std::thread(std::move(body));
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }
    // A steady clock in microseconds: the walk's scheduling reads the time here, beside the
    // usage, so that tests drive both.
    virtual std::uint64_t now() {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }

    // Drive letter systems: the type of a root such as "C:\" (0 or 1 when there is no such drive).
    virtual unsigned driveType(const std::string& root) = 0;
    // Systems without drive letters: the mounted file systems a user would call drives, in order.
    virtual std::vector<std::string> mountedDrives() = 0;

    // Opens a file or web address with the program the desktop associates with it, in the given
    // show mode where the desktop has one. The target is handed over as it stands, as one
    // argument; returns at once, true when the opener was started.
    virtual bool open(const std::string& target, int showMode) = 0;

    // The folder that holds the program file, without a trailing separator.
    virtual std::string programFolder() = 0;

    virtual char separator() const = 0;
    virtual bool hasDriveLetters() const = 0;
};

}  // namespace quarvex
