#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/posix/mount_table.h"
#include "platform/posix/tree_watch_posix.h"

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif

namespace quarvex::posix {

namespace {

// An open folder: its descriptor, and whether a short read of it reaches its end.
struct Folder {
    UniqueFd fd;
    bool shortReadEnds = false;
};

Folder* folderOf(FolderHandle handle) {
    return reinterpret_cast<Folder*>(handle);
}

FolderHandle handleOf(std::unique_ptr<Folder> folder) {
    return reinterpret_cast<FolderHandle>(folder.release());
}

constexpr std::size_t kListingBuffer = std::size_t{1} << 16;
constexpr std::size_t kLargestEntry = 512;
// A thread's stack under a limit on the address space: ample for code that recurses nowhere, and
// sixty-four of them leave most of a modest limit to the heap.
constexpr std::size_t kLimitedStackBytes = std::size_t{512} << 10;

// The same folder again later must have the same device and inode; its mount decides whether it
// belongs to the walk at all.
bool identifyFd(int fd, FolderIdentity& identity) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_INO | STATX_MNT_ID, &sx) == 0) {
        identity.volume = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        identity.file = sx.stx_ino;
        identity.mount = (sx.stx_mask & STATX_MNT_ID) != 0 ? sx.stx_mnt_id : identity.volume;
        return true;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    identity.volume = st.st_dev;
    identity.file = st.st_ino;
    identity.mount = st.st_dev;
    return true;
}

OpenResult failure(int error) {
    OpenResult result;
    if (error == EMFILE || error == ENFILE)
        result.status = OpenStatus::OutOfHandles;
    else if (error == ELOOP || error == ENOTDIR)
        result.status = OpenStatus::NotAFolder;
    else
        result.status = OpenStatus::Unreadable;
    result.error = error;
    return result;
}

OpenResult opened(UniqueFd fd, bool shortReadEnds) {
    OpenResult result;
    if (!identifyFd(fd.get(), result.identity)) return failure(errno);
    auto folder = std::make_unique<Folder>();
    folder->fd = std::move(fd);
    folder->shortReadEnds = shortReadEnds;
    result.status = OpenStatus::Opened;
    result.handle = handleOf(std::move(folder));
    return result;
}

// Names from a listing carry no NUL; openat wants one at the end.
struct CName {
    explicit CName(std::string_view name) {
        if (name.size() < small.size()) {
            std::memcpy(small.data(), name.data(), name.size());
            small[name.size()] = '\0';
            text = small.data();
        } else {
            large.assign(name);
            text = large.c_str();
        }
    }
    std::array<char, 256> small;
    std::string large;
    const char* text;
};

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int folderDescriptor(FolderHandle folder) {
    return folderOf(folder)->fd.get();
}

void UniqueFd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool isUserDrive(const std::string& device, const std::string& type,
                 const std::string& mountPoint) {
    static constexpr std::array<std::string_view, 12> kNetworkTypes = {
        "nfs",   "nfs4", "cifs", "smb3",      "smbfs",          "fuse.sshfs",
        "sshfs", "9p",   "ceph", "glusterfs", "fuse.glusterfs", "afs"};
    // Application and system images (snaps, system extensions), wherever they lie.
    static constexpr std::array<std::string_view, 3> kImageTypes = {"squashfs", "erofs", "cramfs"};
    if (std::find(kImageTypes.begin(), kImageTypes.end(), type) != kImageTypes.end() ||
        mountPoint.rfind("/snap/", 0) == 0)
        return false;
    if (std::find(kNetworkTypes.begin(), kNetworkTypes.end(), type) != kNetworkTypes.end())
        return true;
    if (device.rfind("/dev/", 0) != 0) return false;
    if (device.rfind("/dev/loop", 0) != 0) return true;
    // A disk image (an ISO, a disk's image) is a user's drive where users mount things: the
    // desktop mounts under /media or /run/media, a user by hand under /mnt. Elsewhere it is the
    // system's own (a container's storage, a live system's image).
    return isWithin(mountPoint, "/media") || isWithin(mountPoint, "/run/media") ||
           isWithin(mountPoint, "/mnt");
}

PosixPlatform::PosixPlatform(std::string opener, std::string mountTable)
    : opener_(std::move(opener)), mountTable_(std::move(mountTable)) {
    // Under a limit on the address space (ulimit -v), a thread's own heap reserves 64 MB of it
    // before it holds a byte, and a thread's stack 8 MB: a few threads would take all of a
    // modest limit, and then every allocation tries the system again and may fail while
    // nearly all memory is free. The threads share the one heap instead, on smaller stacks
    // (the walk recurses nowhere).
    rlimit space{};
    if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY) {
        mallopt(M_ARENA_MAX, 1);
        pthread_attr_t attributes;
        if (pthread_getattr_default_np(&attributes) == 0) {
            pthread_attr_setstacksize(&attributes, kLimitedStackBytes);
            pthread_setattr_default_np(&attributes);
            pthread_attr_destroy(&attributes);
        }
    }
}

OpenResult PosixPlatform::openRoot(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return failure(errno);
    // These file systems fill a read up to the end of the folder, so a read that leaves room has
    // reached it and the last, empty read can be spared. The walk never leaves the root's mount,
    // so every folder below shares the answer.
    struct statfs fs {};
    const bool shortReadEnds =
        fstatfs(fd.get(), &fs) == 0 && (fs.f_type == EXT4_SUPER_MAGIC || fs.f_type == TMPFS_MAGIC);
    return opened(std::move(fd), shortReadEnds);
}

OpenResult PosixPlatform::openChild(FolderHandle parent, std::string_view name) {
    const Folder& at = *folderOf(parent);
    const CName child(name);
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    if (resolveBeneath_.load(std::memory_order_relaxed)) {
        // One call that also refuses a mount point (EXDEV): no mount has to be asked for, and
        // the check is made as the name is opened, so a mount that appears later cannot slip in.
        open_how how{};
        how.flags = kFlags;
        how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const long fd = syscall(SYS_openat2, at.fd.get(), child.text, &how, sizeof how);
        if (fd >= 0) {
            auto folder = std::make_unique<Folder>();
            folder->fd = UniqueFd(static_cast<int>(fd));
            folder->shortReadEnds = at.shortReadEnds;
            OpenResult result;
            result.status = OpenStatus::Opened;
            result.handle = handleOf(std::move(folder));
            result.identified = false;
            return result;
        }
        if (errno == EXDEV) {
            OpenResult result;
            result.status = OpenStatus::OtherMount;
            return result;
        }
        // A kernel before 5.6, or a sandbox that forbids the call: openat and statx from now on.
        if (errno != ENOSYS && errno != EPERM && errno != E2BIG && errno != EINVAL)
            return failure(errno);
        resolveBeneath_ = false;
    }
    UniqueFd fd(openat(at.fd.get(), child.text, kFlags));
    if (!fd) return failure(errno);
    return opened(std::move(fd), at.shortReadEnds);
}

bool PosixPlatform::identify(FolderHandle folder, FolderIdentity& identity) {
    return identifyFd(folderOf(folder)->fd.get(), identity);
}

void PosixPlatform::closeFolder(FolderHandle folder) {
    delete folderOf(folder);
}

ListStatus PosixPlatform::listFolder(FolderHandle handle, Listing& out) {
    const Folder& folder = *folderOf(handle);
    out.clear();
    std::vector<unsigned char>& buffer = out.buffer();
    if (buffer.size() < kListingBuffer) buffer.resize(kListingBuffer);
    const ssize_t n = getdents64(folder.fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
        out.setError(errno);
        return ListStatus::Failed;
    }
    if (n == 0) return ListStatus::End;
    for (ssize_t at = 0; at < n;) {
        const auto* d = reinterpret_cast<const dirent64*>(buffer.data() + at);
        at += d->d_reclen;
        const std::string_view name(d->d_name);
        if (name == "." || name == "..") continue;
        switch (d->d_type) {
            case DT_DIR:
                out.add(name, kAttrDirectory).file = d->d_ino;
                break;
            case DT_LNK:
                out.add(name, kAttrReparsePoint | kAttrTypeUnknown, kReparseTagSymlink).file =
                    d->d_ino;
                break;
            case DT_UNKNOWN:
                out.add(name, kAttrTypeUnknown).file = d->d_ino;
                break;
            default:
                out.add(name, kAttrArchive).file = d->d_ino;
                break;
        }
    }
    if (folder.shortReadEnds && static_cast<std::size_t>(n) + kLargestEntry < buffer.size())
        return ListStatus::End;
    return ListStatus::More;
}

bool PosixPlatform::describe(FolderHandle handle, ListedEntry& entry, std::string_view name) {
    const int fd = folderOf(handle)->fd.get();
    const CName file(name);
    struct stat st {};
    const bool unknown = (entry.attributes & kAttrTypeUnknown) != 0;
    bool link = (entry.attributes & kAttrReparsePoint) != 0;
    if (unknown && !link) {
        if (fstatat(fd, file.text, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        link = S_ISLNK(st.st_mode);
        if (!link) {
            entry.attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
            entry.size = static_cast<std::uint64_t>(st.st_size);
            entry.sizeKnown = !S_ISDIR(st.st_mode);
            entry.manyNames = !S_ISDIR(st.st_mode) && st.st_nlink > 1;
            return true;
        }
    }
    if (link) {
        // A link is a folder when it leads to one; a link to a file is sized as the file, and a
        // dangling link as itself.
        std::uint32_t attributes = kAttrReparsePoint;
        entry.reparseTag = kReparseTagSymlink;
        if (fstatat(fd, file.text, &st, 0) == 0) {
            attributes |= S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
        } else if (fstatat(fd, file.text, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            attributes |= kAttrArchive;
        } else {
            return false;
        }
        entry.attributes = attributes;
        entry.size = static_cast<std::uint64_t>(st.st_size);
        entry.sizeKnown = true;
        return true;
    }
    if (fstatat(fd, file.text, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    entry.size = static_cast<std::uint64_t>(st.st_size);
    entry.sizeKnown = true;
    entry.manyNames = st.st_nlink > 1;
    return true;
}

std::size_t PosixPlatform::folderHandleBudget() {
    // Half of the descriptors still free, so that the rest of the program never runs short.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
    std::size_t inUse = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) ++inUse;
        closedir(fds);
    }
    const auto total = static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t free = total > inUse + 8 ? total - inUse - 8 : 0;
    return std::clamp<std::size_t>(free / 2, 2, 4096);
}

std::string PosixPlatform::errorText(int error) const {
    char text[256] = "";
    // The GNU strerror_r: it returns its text, which need not be the buffer.
    return strerror_r(error, text, sizeof text);
}

void PosixPlatform::releaseFreedMemory() {
    malloc_trim(0);
}

namespace {

// Two limits' tighter one, 0 standing for none.
std::uint64_t tighter(std::uint64_t a, std::uint64_t b) {
    return a == 0 ? b : b == 0 ? a : std::min(a, b);
}

// A control group's limit file: bytes, or 0 for "max", a missing file or version 1's "none" (a
// page-rounded largest number).
std::uint64_t limitIn(const std::string& file) {
    std::string text;
    if (!(std::ifstream(file) >> text)) return 0;
    std::uint64_t bytes = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), bytes);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    return bytes >= (std::uint64_t{1} << 62) ? 0 : bytes;
}

}  // namespace

std::uint64_t groupMemoryLimit(const std::string& groups, const std::string& root) {
    std::uint64_t limit = 0;
    std::istringstream lines(groups);
    for (std::string line; std::getline(lines, line);) {
        // hierarchy:controllers:path; the unified hierarchy names no controllers.
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos || line.size() <= second + 1 || line[second + 1] != '/')
            continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        std::string base = root;
        std::vector<const char*> files{"memory.max", "memory.high"};
        if (controllers != ",,") {
            if (controllers.find(",memory,") == std::string::npos) continue;
            base += "/memory";
            files = {"memory.limit_in_bytes"};
        }
        // The group's limits and every ancestor's bind it.
        for (std::string path = line.substr(second + 1);;) {
            for (const char* file : files)
                limit = tighter(limit, limitIn(base + path + (path == "/" ? "" : "/") + file));
            if (path == "/") break;
            path.resize(std::max<std::size_t>(1, path.rfind('/')));
        }
    }
    return limit;
}

std::uint64_t PosixPlatform::memoryLimit() {
    std::uint64_t limit = 0;
    rlimit space{};
    if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY)
        limit = space.rlim_cur;
    std::ostringstream groups;
    groups << std::ifstream("/proc/self/cgroup").rdbuf();
    return tighter(limit, groupMemoryLimit(groups.str(), "/sys/fs/cgroup"));
}

ProcessUsage PosixPlatform::usage() {
    rusage r{};
    if (getrusage(RUSAGE_SELF, &r) != 0) return {};
    const auto micros = [](const timeval& t) {
        return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000u +
               static_cast<std::uint64_t>(t.tv_usec);
    };
    // Blocks read from a device, metadata included: what a cold folder costs.
    return {micros(r.ru_utime) + micros(r.ru_stime), static_cast<std::int64_t>(r.ru_inblock)};
}

std::unique_ptr<TreeWatch> PosixPlatform::watchTree(FolderHandle root, const std::string&) {
    return watchTreeAt(folderOf(root)->fd.get());
}

unsigned PosixPlatform::driveType(const std::string&) {
    return kDriveNoRootDir;
}

// "/" first, then every file system a user would call a drive, once: a second mount of what is
// already offered (a bind mount, the same share twice) would list the same files twice.
std::vector<std::string> PosixPlatform::mountedDrives() {
    const std::vector<MountInfo> mounts = readMountInfo(mountTable_);
    std::vector<std::string> drives{"/"};
    std::vector<const MountInfo*> offered;
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
        if (it->point == "/") {
            offered.push_back(&*it);  // the one mounted last is the one seen
            break;
        }
    for (const MountInfo& m : mounts) {
        if (std::find(drives.begin(), drives.end(), m.point) != drives.end()) continue;
        if (!isUserDrive(m.source, m.type, m.point) || !isDirectory(m.point)) continue;
        const bool again = std::any_of(offered.begin(), offered.end(), [&](const MountInfo* o) {
            return o->device == m.device && isWithin(m.root, o->root);
        });
        if (again) continue;
        drives.push_back(m.point);
        offered.push_back(&m);
    }
    return drives;
}

bool PosixPlatform::open(const std::string& target, int) {
    // Everything the child needs is made before fork: between fork and exec it may not allocate.
    std::string program = opener_;
    std::string argument = target;
    char* const argv[] = {program.data(), argument.data(), nullptr};
    // The grandchild reports a failed exec through this pipe; a successful one closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    UniqueFd reader(report[0]);
    UniqueFd writer(report[1]);

    // Twice forked, so the opener is no child of ours and leaves no zombie behind.
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (fork() == 0) {
            setsid();
            execvp(argv[0], argv);
            const int error = errno;
            (void)!write(writer.get(), &error, sizeof error);
            _exit(127);
        }
        _exit(0);
    }
    writer.reset();
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    while ((n = read(reader.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

std::string PosixPlatform::programFolder() {
    std::string path(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0) return ".";
    path.resize(static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace quarvex::posix
