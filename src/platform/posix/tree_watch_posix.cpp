#include "platform/posix/tree_watch_posix.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/mount_table.h"
#include "platform/posix/posix_platform.h"

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif

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

using Change = std::pair<std::uint64_t, bool>;  // a key, and whether the folder itself changed

struct NamedChange {
    std::uint64_t key;
    NameChange change;
    std::string name;
};

// The most names kept for one tree between two drains (the kernel's default queue); past it the
// tree is told they were lost.
constexpr std::size_t kMostNamed = 16384;
// How far back a name told again is looked for among those kept.
constexpr std::size_t kNamedLookBack = 8;

// One tree's part of the shared instance. Touched only under the instance's lock.
struct TreeState {
    std::string root;             // the root's path as the mount table names it; "" not known
    std::uint64_t rootMount = 0;  // the mount ID of the root
    std::unordered_map<std::uint64_t, int> wdOfKey;
    std::set<Change> told;           // read from the queue, not drained yet
    std::vector<NamedChange> named;  // in the order read, not drained yet
    bool namesLost = false;
    bool lost = false;

    void tell(std::uint64_t key, NameChange change, std::string_view name) {
        if (namesLost) return;
        // A writer appending tells the same name over and over, between other names.
        for (std::size_t back = 0; back < std::min(named.size(), kNamedLookBack); ++back) {
            const NamedChange& last = named[named.size() - 1 - back];
            if (last.key != key || last.name != name) continue;
            if (last.change == change) return;
            break;
        }
        if (named.size() == kMostNamed) {
            namesLost = true;
            named = {};
            return;
        }
        named.push_back({key, change, std::string(name)});
    }
};

// What an event tells of the name it carries, if anything that matters to sizes.
std::optional<NameChange> nameChangeOf(std::uint32_t mask) {
    if ((mask & (IN_CREATE | IN_MOVED_TO)) != 0) return NameChange::Appeared;
    if ((mask & (IN_DELETE | IN_MOVED_FROM)) != 0) return NameChange::Gone;
    if ((mask & IN_MODIFY) != 0) return NameChange::Written;
    return std::nullopt;
}

// Whether a mount that appeared or went can change what a walk of the tree finds: it lies inside
// the tree, or the tree inside it.
bool concerns(const TreeState& tree, const MountInfo& mount) {
    return tree.root.empty() || mount.id == tree.rootMount || isWithin(mount.point, tree.root) ||
           isWithin(tree.root, mount.point);
}

// Half of the user's limit on watches: the rest stays for the user's other programs. In a user
// namespace its own limit may be the lower one.
std::size_t watchShare() {
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    for (const char* path :
         {"/proc/sys/fs/inotify/max_user_watches", "/proc/sys/user/max_inotify_watches"}) {
        std::size_t value = 0;
        if (std::ifstream(path) >> value) limit = std::min(limit, value);
    }
    return limit == std::numeric_limits<std::size_t>::max() ? limit : limit / 2;
}

// The one inotify instance of the process, shared by every tree it watches: a user may have only
// a few (128 by default), so a process that keeps many trees must not take one for each. It goes
// with the last tree's watch, and with it every watch the kernel still holds.
class Inotify {
  public:
    // The instance, made when no tree holds it; null where none can be had.
    static std::shared_ptr<Inotify> shared() {
        static std::mutex mutex;
        static std::weak_ptr<Inotify> current;
        std::lock_guard lock(mutex);
        std::shared_ptr<Inotify> instance = current.lock();
        if (instance != nullptr) return instance;
        UniqueFd inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!inotify) return nullptr;  // max_user_instances, or no descriptors left
        // Opened before the table is read, so that a change after the read is told by poll.
        UniqueFd mounts(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
        if (!mounts) return nullptr;
        instance = std::make_shared<Inotify>(std::move(inotify), std::move(mounts));
        if (!instance->readMounts(instance->mounts_)) return nullptr;
        current = instance;
        return instance;
    }

    Inotify(UniqueFd inotify, UniqueFd mounts)
        : inotify_(std::move(inotify)), mountsFd_(std::move(mounts)), share_(watchShare()) {}

    void add(TreeState& tree) {
        std::lock_guard lock(mutex_);
        // A mount made before the tree was watched is no news to it.
        readMountChanges();
        trees_.push_back(&tree);
    }
    void remove(TreeState& tree) {
        std::lock_guard lock(mutex_);
        // The last tree holds every watch there is: a fresh instance lets them all go at once,
        // where a call for each of a million files' folders took over half a second.
        if (trees_.size() == 1 && trees_[0] == &tree && watches_.size() > 1) {
            if (UniqueFd fresh(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)); fresh) {
                inotify_ = std::move(fresh);
                watches_.clear();
                wdOfInode_.clear();
                tree.wdOfKey.clear();
                trees_.clear();
                return;
            }
        }
        while (!tree.wdOfKey.empty()) detach(tree, tree.wdOfKey.begin()->first);
        std::erase(trees_, &tree);
    }

    bool watch(TreeState& tree, int folderFd, std::uint64_t key) {
        struct stat st {};
        if (fstat(folderFd, &st) != 0) return false;
        const Inode inode{st.st_dev, st.st_ino};
        // The open folder itself, never a path that could have been swapped since it was opened.
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", folderFd);
        // Locked across the add, so that a drain cannot read the new watch's first event before
        // the watch has its key.
        std::lock_guard lock(mutex_);
        // Past our share only a folder already watched, which costs no new watch.
        if (!wdOfInode_.contains(inode) && watches_.size() >= share_) return false;
        const int wd = inotify_add_watch(inotify_.get(), path, kMask);
        if (wd < 0) return false;  // ENOSPC: the user's limit on watches; EACCES
        const auto old = tree.wdOfKey.find(key);
        if (old != tree.wdOfKey.end()) {
            if (old->second == wd) return true;
            detach(tree, key);
        }
        // Keys of one tree or of several may name one inode (the same folder reached twice): the
        // kernel gives its watch descriptor again, and each key hears of it.
        Watch& watch = watches_[wd];
        watch.inode = inode;
        watch.keys.emplace_back(&tree, key);
        wdOfInode_[inode] = wd;
        tree.wdOfKey[key] = wd;
        return true;
    }

    void unwatch(TreeState& tree, std::uint64_t key) {
        std::lock_guard lock(mutex_);
        detach(tree, key);
    }

    // Reads what the queue and the mount table tell every tree, and hands over `tree`'s part;
    // false when some of it was lost.
    bool take(TreeState& tree, std::vector<Change>& changes, std::vector<NamedChange>& named,
              bool& namesLost) {
        std::lock_guard lock(mutex_);
        readQueue();
        readMountChanges();
        const bool lost = std::exchange(tree.lost, false);
        if (!lost) {
            changes.assign(tree.told.begin(), tree.told.end());
            named.swap(tree.named);
            namesLost = tree.namesLost;
        }
        tree.told.clear();
        tree.named.clear();
        tree.namesLost = false;
        return !lost;
    }

  private:
    using Inode = std::pair<std::uint64_t, std::uint64_t>;  // device, inode
    struct Watch {
        Inode inode;
        std::vector<std::pair<TreeState*, std::uint64_t>> keys;
    };

    // The mutex held.
    void detach(TreeState& tree, std::uint64_t key) {
        const auto of = tree.wdOfKey.find(key);
        if (of == tree.wdOfKey.end()) return;
        const int wd = of->second;
        tree.wdOfKey.erase(of);
        tree.told.erase({key, false});
        tree.told.erase({key, true});
        const auto it = watches_.find(wd);
        if (it == watches_.end()) return;
        std::erase(it->second.keys, std::pair{&tree, key});
        if (!it->second.keys.empty()) return;
        forget(it);
        inotify_rm_watch(inotify_.get(), wd);  // its IN_IGNORED then finds no watch
    }

    void forget(std::unordered_map<int, Watch>::iterator it) {
        const auto inode = wdOfInode_.find(it->second.inode);
        if (inode != wdOfInode_.end() && inode->second == it->first) wdOfInode_.erase(inode);
        watches_.erase(it);
    }

    // Reads the whole queue into the trees' changes. The mutex held.
    void readQueue() {
        for (;;) {
            const ssize_t got = read(inotify_.get(), buffer_.data(), buffer_.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno == EAGAIN) return;
            if (got <= 0) return loseAll();
            for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer_.data() + at);
                at += sizeof(inotify_event) + event->len;
                // Every tree may have lost events: they share the queue.
                if ((event->mask & IN_Q_OVERFLOW) != 0) loseAll();
                const auto it = watches_.find(event->wd);
                if (it == watches_.end()) continue;  // unwatched since
                // An event without a name is about the watched folder itself: moved, removed,
                // unmounted, its own attributes changed, or its watch gone.
                const bool itself = event->len == 0;
                const std::optional<NameChange> named =
                    itself ? std::nullopt : nameChangeOf(event->mask);
                for (const auto& [tree, key] : it->second.keys) {
                    tree->told.emplace(key, itself);
                    if (named) tree->tell(key, *named, event->name);
                }
                if ((event->mask & IN_IGNORED) != 0) {
                    // The kernel dropped the watch (the folder is gone): its keys are unwatched.
                    for (const auto& [tree, key] : it->second.keys) tree->wdOfKey.erase(key);
                    forget(it);
                }
            }
        }
    }

    void loseAll() {
        for (TreeState* tree : trees_) {
            tree->lost = true;
            tree->told.clear();
            tree->named.clear();
        }
    }

    // A mount raises no inotify event: when the table changed, each tree under or over a mount
    // that appeared or went has lost changes. The mutex held.
    void readMountChanges() {
        // The poll itself rearms it: the kernel notes the table's generation each time it reports
        // a change, so the table is read after it.
        pollfd table{mountsFd_.get(), POLLPRI, 0};
        int ready;
        while ((ready = poll(&table, 1, 0)) < 0 && errno == EINTR) {
        }
        if (ready >= 0 && (table.revents & (POLLPRI | POLLERR)) == 0) return;
        std::vector<MountInfo> now;
        if (ready < 0 || !readMounts(now)) return loseAll();
        std::vector<MountInfo> changed;
        std::set_symmetric_difference(now.begin(), now.end(), mounts_.begin(), mounts_.end(),
                                      std::back_inserter(changed), byIdAndPoint);
        for (TreeState* tree : trees_)
            if (std::any_of(changed.begin(), changed.end(),
                            [&](const MountInfo& m) { return concerns(*tree, m); }))
                tree->lost = true;
        mounts_ = std::move(now);
    }

    static bool byIdAndPoint(const MountInfo& a, const MountInfo& b) {
        return std::tie(a.id, a.point) < std::tie(b.id, b.point);
    }

    // The mount table, sorted by ID and mount point.
    bool readMounts(std::vector<MountInfo>& out) {
        std::string text;
        if (lseek(mountsFd_.get(), 0, SEEK_SET) != 0) return false;
        for (;;) {
            const ssize_t got = read(mountsFd_.get(), buffer_.data(), buffer_.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return false;
            if (got == 0) break;
            text.append(buffer_.data(), static_cast<std::size_t>(got));
        }
        out = parseMountInfo(text);
        std::sort(out.begin(), out.end(), byIdAndPoint);
        return !out.empty();
    }

    std::mutex mutex_;
    UniqueFd inotify_;
    UniqueFd mountsFd_;  // /proc/self/mountinfo
    const std::size_t share_;
    std::vector<TreeState*> trees_;
    std::unordered_map<int, Watch> watches_;
    std::map<Inode, int> wdOfInode_;
    std::vector<MountInfo> mounts_;  // as last read, sorted by ID and mount point
    alignas(inotify_event) std::array<char, 64 * 1024> buffer_;
};

class InotifyTreeWatch final : public TreeWatch {
  public:
    InotifyTreeWatch(std::shared_ptr<Inotify> inotify, std::string root, std::uint64_t rootMount)
        : inotify_(std::move(inotify)) {
        tree_.root = std::move(root);
        tree_.rootMount = rootMount;
        inotify_->add(tree_);
    }
    // Gives the kernel back the watches no other tree shares.
    ~InotifyTreeWatch() override { inotify_->remove(tree_); }

    bool coversTree() const override { return false; }

    bool watch(FolderHandle folder, std::string_view, std::uint64_t key) override {
        return inotify_->watch(tree_, folderDescriptor(folder), key);
    }

    void unwatch(std::uint64_t key) override { inotify_->unwatch(tree_, key); }

    bool drain(ChangeSink& sink) override {
        std::vector<Change> changes;
        std::vector<NamedChange> named;
        bool namesLost = false;
        if (!inotify_->take(tree_, changes, named, namesLost)) return false;
        // The sink runs unlocked: it may unwatch or watch again.
        if (namesLost) sink.namesLost();
        for (const NamedChange& n : named) sink.nameChanged(n.key, n.change, n.name);
        for (const auto& [key, itself] : changes) {
            if (itself)
                sink.folderChanged(key);
            else
                sink.entriesChanged(key);
        }
        return true;
    }

  private:
    std::shared_ptr<Inotify> inotify_;
    TreeState tree_;
};

// The path of an open folder as the mount table names paths; "" when it has none (removed).
std::string pathOf(int fd) {
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string path(4096, '\0');
    const ssize_t got = readlink(link, path.data(), path.size());
    if (got <= 0 || static_cast<std::size_t>(got) == path.size() || path[0] != '/') return {};
    path.resize(static_cast<std::size_t>(got));
    return path.ends_with(" (deleted)") ? std::string() : path;
}

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
    struct statx sx {};
    if (statx(rootFd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &sx) != 0 ||
        (sx.stx_mask & STATX_MNT_ID) == 0)
        sx.stx_mnt_id = 0;  // a kernel before 5.8: the root's path alone tells
    std::shared_ptr<Inotify> inotify = Inotify::shared();
    if (inotify == nullptr) return nullptr;
    return std::make_unique<InotifyTreeWatch>(std::move(inotify), pathOf(rootFd), sx.stx_mnt_id);
}

}  // namespace quarvex::posix
