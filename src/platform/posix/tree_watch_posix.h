// Change notification for a tree on Linux: one inotify instance with a watch per folder, and the
// mount table polled, since a mount that appears over a watched folder raises no inotify event.
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
// notifies every change, or where no inotify instance or mount table can be had. The watch's
// calls may come from different threads at once; one lock serialises them.
//
// What inotify does not tell: a folder removed while some descriptor of it is still open is told
// only to its parent until the last one closes; a file written through another hard link (in an
// unwatched folder) is told to neither folder; a change made while watch() runs may be missed.
std::unique_ptr<TreeWatch> watchTreeAt(int rootFd);

}  // namespace quarvex::posix
