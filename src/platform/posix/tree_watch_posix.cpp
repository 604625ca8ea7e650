#include "platform/posix/tree_watch_posix.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/posix_platform.h"

namespace quarvex::posix {

namespace {

constexpr std::uint32_t kJfsMagic = 0x3153464a;
constexpr std::uint32_t kHfsPlusMagic = 0x482b;
constexpr std::uint32_t kNtfsMagic = 0x5346544e;   // the old ntfs driver
constexpr std::uint32_t kNtfs3Magic = 0x7366746e;  // ntfs3

// Everything that changes what a listing holds: names, sizes, attributes; and the folder itself
// going away. No IN_EXCL_UNLINK: a write through a descriptor whose name was removed (or an
// O_TMPFILE file linked in later) changes the file's other names in the folder. No IN_DONT_FOLLOW:
// the watch is added through the /proc/self/fd link, which must be followed to reach the folder.
constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR;

class InotifyTreeWatch final : public TreeWatch {
  public:
    InotifyTreeWatch(UniqueFd inotify, UniqueFd mounts)
        : inotify_(std::move(inotify)), mounts_(std::move(mounts)) {}

    bool coversTree() const override { return false; }

    bool watch(FolderHandle folder, std::string_view, std::uint64_t key) override {
        // The open folder itself, never a path that could have been swapped since it was opened.
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", folderDescriptor(folder));
        // Locked across the add, so that a drain cannot read the new watch's first event before
        // the watch has its key.
        std::lock_guard lock(mutex_);
        const int wd = inotify_add_watch(inotify_.get(), path, kMask);
        if (wd < 0) return false;  // ENOSPC: the limit on watches; EACCES
        const auto old = wdOfKey_.find(key);
        if (old != wdOfKey_.end()) {
            if (old->second == wd) return true;
            detach(key, old->second);
        }
        // Two keys may name one inode (the same folder reached twice): the kernel gives its watch
        // descriptor again, and both keys hear of it.
        keysOfWd_[wd].push_back(key);
        wdOfKey_[key] = wd;
        return true;
    }

    void unwatch(std::uint64_t key) override {
        std::lock_guard lock(mutex_);
        const auto it = wdOfKey_.find(key);
        if (it != wdOfKey_.end()) detach(key, it->second);
    }

    bool drain(ChangeSink& sink) override {
        std::vector<std::pair<std::uint64_t, bool>> changes;
        {
            std::lock_guard lock(mutex_);
            bool lost = !readQueue(changes);
            // Asked even when the queue overflowed, so that the next drain starts clean.
            if (mountsChanged()) lost = true;
            if (lost) return false;
        }
        // The sink runs unlocked: it may unwatch or watch again.
        std::sort(changes.begin(), changes.end());
        changes.erase(std::unique(changes.begin(), changes.end()), changes.end());
        for (const auto& [key, itself] : changes) {
            if (itself)
                sink.folderChanged(key);
            else
                sink.entriesChanged(key);
        }
        return true;
    }

  private:
    // The mutex held.
    void detach(std::uint64_t key, int wd) {
        wdOfKey_.erase(key);
        const auto it = keysOfWd_.find(wd);
        if (it == keysOfWd_.end()) return;
        std::erase(it->second, key);
        if (!it->second.empty()) return;
        keysOfWd_.erase(it);
        inotify_rm_watch(inotify_.get(), wd);  // its IN_IGNORED then finds no key
    }

    // Reads the whole queue into `changes`; false when events were lost. The mutex held.
    bool readQueue(std::vector<std::pair<std::uint64_t, bool>>& changes) {
        bool complete = true;
        for (;;) {
            const ssize_t got = read(inotify_.get(), buffer_.data(), buffer_.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno == EAGAIN) return complete;
            if (got <= 0) return false;
            for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer_.data() + at);
                at += sizeof(inotify_event) + event->len;
                if ((event->mask & IN_Q_OVERFLOW) != 0) complete = false;
                const auto it = keysOfWd_.find(event->wd);
                if (it == keysOfWd_.end()) continue;  // unwatched since
                // An event without a name is about the watched folder itself: moved, removed,
                // unmounted, its own attributes changed, or its watch gone.
                const bool itself = event->len == 0;
                for (const std::uint64_t key : it->second) changes.emplace_back(key, itself);
                if ((event->mask & IN_IGNORED) != 0) {
                    // The kernel dropped the watch (the folder is gone): its keys are unwatched.
                    for (const std::uint64_t key : it->second) wdOfKey_.erase(key);
                    keysOfWd_.erase(it);
                }
            }
        }
    }

    // Whether the mount table changed since the last call. The poll itself rearms it: the
    // kernel notes the table's generation each time it reports a change. The mutex held.
    bool mountsChanged() {
        pollfd table{mounts_.get(), POLLPRI, 0};
        int ready;
        while ((ready = poll(&table, 1, 0)) < 0 && errno == EINTR) {
        }
        return ready < 0 || (table.revents & (POLLPRI | POLLERR)) != 0;
    }

    std::mutex mutex_;
    UniqueFd inotify_;
    UniqueFd mounts_;  // /proc/self/mountinfo
    std::unordered_map<int, std::vector<std::uint64_t>> keysOfWd_;
    std::unordered_map<std::uint64_t, int> wdOfKey_;
    alignas(inotify_event) std::array<char, 64 * 1024> buffer_;
};

}  // namespace

bool notifiesEveryChange(std::uint32_t fsType) {
    static constexpr std::uint32_t kLocal[] = {
        EXT4_SUPER_MAGIC,  // also ext2 and ext3
        XFS_SUPER_MAGIC,   BTRFS_SUPER_MAGIC, TMPFS_MAGIC,          RAMFS_MAGIC,
        F2FS_SUPER_MAGIC,  kJfsMagic,         REISERFS_SUPER_MAGIC,
        MSDOS_SUPER_MAGIC,  // also vfat
        EXFAT_SUPER_MAGIC, kNtfs3Magic,       kNtfsMagic,           kHfsPlusMagic,
    };
    return std::find(std::begin(kLocal), std::end(kLocal), fsType) != std::end(kLocal);
}

std::unique_ptr<TreeWatch> watchTreeAt(int rootFd) {
    struct statfs fs {};
    if (fstatfs(rootFd, &fs) != 0 || !notifiesEveryChange(static_cast<std::uint32_t>(fs.f_type)))
        return nullptr;
    UniqueFd inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify) return nullptr;  // max_user_instances, or no descriptors left
    UniqueFd mounts(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    if (!mounts) return nullptr;
    return std::make_unique<InotifyTreeWatch>(std::move(inotify), std::move(mounts));
}

}  // namespace quarvex::posix
