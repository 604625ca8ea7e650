// Change notification for trees on Linux: a watch per folder in one inotify instance that every
// tree of the process shares, and the mount table polled, since a mount that appears over a
// watched folder raises no inotify event. When the table changed, only a tree under or over a
// mount that appeared or went (by mount ID and mount point) has lost changes.
#pragma once

#include <cstdint>
#include <memory>

#include "search/os/platform.h"

namespace quarvex::posix {

// Whether inotify reports every change to a file system of this type (statfs f_type): one whose
// every change passes through this kernel's VFS. Local disk and memory file systems are; network,
// cluster and FUSE file systems, overlays and ZFS (rollback and receive swap a mounted dataset's
// contents without an event) are not.
bool notifiesEveryChange(std::uint32_t fsType);

// Watches the tree below the open folder `rootFd`. Nothing where its file system is not one that
// notifies every change, or where no inotify instance or mount table can be had. The calls of all
// watches may come from different threads at once; one lock serialises them. The instance goes
// with the last watch. All watches together hold at most half of the user's limit on watches
// (max_user_watches, or a user namespace's lower one): past that share watch() refuses a folder
// not watched yet, as the kernel does past the limit. An overflowed queue fails the next drain of
// every tree.
//
// What inotify does not tell: a folder removed while some descriptor of it is still open is told
// only to its parent until the last one closes; a file written through another hard link (in an
// unwatched folder) is told to neither folder; a change made while watch() runs may be missed; a
// mount that appeared and went again between two drains leaves the table as it was, so it is not
// told (what was read while it was there may be out of date).
std::unique_ptr<TreeWatch> watchTreeAt(int rootFd);

}  // namespace quarvex::posix
