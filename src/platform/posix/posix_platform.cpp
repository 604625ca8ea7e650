#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <mntent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/posix/wildcard.h"

namespace quarvex::posix {

namespace {

constexpr std::uint32_t kAttrArchive = 0x20;
constexpr auto kMountRefresh = std::chrono::seconds(1);

Enumeration* fromHandle(FindHandle handle) {
    return reinterpret_cast<Enumeration*>(handle);
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

// All entries of one folder, read at once; the folder stays open so that entries can be sized
// relative to it. The walker lists a folder for its subfolders and the matcher then lists it
// for files: the second listing is served from the first.
struct Listing {
    struct Entry {
        std::uint32_t offset;  // into names, NUL-terminated
        unsigned char type;    // d_type
        bool attributesKnown = false;
        std::uint32_t attributes = 0;
    };

    std::string folder;
    int fd = -1;
    bool reusable = false;  // read for one enumeration and not yet served to a second
    long fsType = 0;        // the folder's file system (statfs f_type), 0 when unknown
    bool deviceKnown = false;
    dev_t device = 0;
    std::string names;
    std::vector<Entry> entries;

    ~Listing() { reset(); }
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
        reusable = false;
        fsType = 0;
        deviceKnown = false;
        folder.clear();
        names.clear();
        entries.clear();
    }
    const char* name(const Entry& e) const { return names.data() + e.offset; }
};

struct Enumeration {
    std::unique_ptr<Listing> listing;
    WildcardPattern pattern;
    std::size_t next = 0;     // the entry to look at next
    std::size_t current = 0;  // the entry last stored in the record

    explicit Enumeration(std::string_view p) : pattern(p) {}
};

bool isUserDrive(const std::string& device, const std::string& type,
                 const std::string& mountPoint) {
    static constexpr std::array<std::string_view, 12> kNetworkTypes = {
        "nfs",   "nfs4", "cifs", "smb3",      "smbfs",          "fuse.sshfs",
        "sshfs", "9p",   "ceph", "glusterfs", "fuse.glusterfs", "afs"};
    if (type == "squashfs" || mountPoint.rfind("/snap/", 0) == 0) return false;
    if (std::find(kNetworkTypes.begin(), kNetworkTypes.end(), type) != kNetworkTypes.end())
        return true;
    return device.rfind("/dev/", 0) == 0 && device.rfind("/dev/loop", 0) != 0;
}

PosixPlatform::PosixPlatform(std::string opener, std::string mountTable)
    : opener_(std::move(opener)), mountTable_(std::move(mountTable)) {}

PosixPlatform::~PosixPlatform() {
    walkEnded();
}

void PosixPlatform::popTrail() {
    close(trail_.back().fd);
    trail_.pop_back();
}

void PosixPlatform::walkEnded() {
    // Nothing stays open between searches: a drive searched can be unmounted.
    while (!trail_.empty()) popTrail();
    cached_.reset();
}

bool PosixPlatform::mayBeMountPoint(const char* name) {
    const auto now = std::chrono::steady_clock::now();
    if (now - mountNamesRead_ > kMountRefresh) {
        mountNamesRead_ = now;
        mountNames_.clear();
        mountNamesKnown_ = false;
        if (FILE* table = setmntent("/proc/self/mounts", "r")) {
            while (const mntent* m = getmntent(table)) {
                const std::string_view point = m->mnt_dir;
                mountNames_.emplace(point.substr(point.rfind('/') + 1));
            }
            endmntent(table);
            mountNamesKnown_ = true;
        }
    }
    return !mountNamesKnown_ || mountNames_.count(name) != 0;
}

// Attributes as Windows reports them: links and mount points are reparse points, and a link
// counts as a folder when it leads to one.
std::uint32_t PosixPlatform::attributesOf(Listing& l, std::size_t index) {
    Listing::Entry& e = l.entries[index];
    if (e.attributesKnown) return e.attributes;
    const char* name = l.name(e);
    struct stat st;
    std::uint32_t attributes = kAttrArchive;
    unsigned char type = e.type;
    if (type == DT_UNKNOWN && fstatat(l.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    if (type == DT_DIR) {
        attributes = kAttrDirectory;
        // A folder on another file system is a mount point; only names that some mount point
        // ends in are worth the look.
        if (mayBeMountPoint(name) && fstatat(l.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (!l.deviceKnown) {
                struct stat self;
                l.deviceKnown = fstat(l.fd, &self) == 0;
                l.device = self.st_dev;
            }
            if (l.deviceKnown && st.st_dev != l.device) attributes |= kAttrReparsePoint;
        }
    } else if (type == DT_LNK) {
        const bool toFolder = fstatat(l.fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        attributes = (toFolder ? kAttrDirectory : kAttrArchive) | kAttrReparsePoint;
    }
    e.attributesKnown = true;
    e.attributes = attributes;
    return attributes;
}

std::unique_ptr<Listing> PosixPlatform::readListing(const std::string& folder) {
    // The folder listed last is still at hand when it is asked for again right away, as the
    // matcher does after the walker. Only once: a later run must see the folder as it is then.
    if (cached_ && cached_->reusable && cached_->folder == folder) {
        cached_->reusable = false;
        return std::move(cached_);
    }
    std::unique_ptr<Listing> l = cached_ ? std::move(cached_) : std::make_unique<Listing>();
    // The folder done with stays open on the trail, so that its subfolders and theirs open
    // relative to their parents: one step of lookup instead of the whole path.
    // The trail is bounded, so that however deep a tree goes, descriptors do not run out.
    constexpr std::size_t kLongestTrail = 64;
    if (l->fd >= 0) {
        if (trail_.size() == kLongestTrail) {
            close(trail_.front().fd);
            trail_.erase(trail_.begin());
        }
        trail_.push_back({l->folder, l->fd, l->fsType});
        l->fd = -1;
    }
    l->reset();

    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    std::size_t slash = std::string::npos;
    if (folder.size() >= 2) slash = folder.rfind('/', folder.size() - 2);
    while (!trail_.empty() &&
           (slash == std::string::npos ||
            trail_.back().folder.compare(0, std::string::npos, folder, 0, slash + 1) != 0))
        popTrail();
    int fd;
    long fsType = 0;
    if (!trail_.empty()) {
        const std::string child = folder.substr(slash + 1, folder.size() - slash - 2);
        fd = openat(trail_.back().fd, child.c_str(), kFlags | O_NOFOLLOW);
        // Unless it is a mount point, a folder is on its parent's file system.
        if (!mayBeMountPoint(child.c_str())) fsType = trail_.back().fsType;
    } else {
        fd = ::open(folder.c_str(), kFlags);
    }
    if (fd < 0) return nullptr;
    l->fd = fd;
    l->folder = folder;
    l->reusable = true;
    if (fsType == 0) {
        struct statfs fs;
        if (fstatfs(l->fd, &fs) == 0) fsType = static_cast<long>(fs.f_type);
    }
    l->fsType = fsType;
    // These fill a read up to the end of the folder, so a read that leaves room has reached it,
    // and the last, empty read can be spared.
    const bool shortReadEnds = fsType == EXT4_SUPER_MAGIC || fsType == TMPFS_MAGIC;
    constexpr ssize_t kLargestEntry = 512;
    for (;;) {
        const ssize_t n = getdents64(l->fd, buffer_.data(), buffer_.size());
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* d = reinterpret_cast<const dirent64*>(buffer_.data() + at);
            at += d->d_reclen;
            const char* name = d->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            l->entries.push_back({static_cast<std::uint32_t>(l->names.size()), d->d_type});
            l->names.append(name, std::strlen(name) + 1);
        }
        if (shortReadEnds && n + kLargestEntry < static_cast<ssize_t>(buffer_.size())) break;
    }
    return l;
}

bool PosixPlatform::storeNext(Enumeration& e, FindRecord& data) {
    Listing& l = *e.listing;
    while (e.next < l.entries.size()) {
        const std::size_t index = e.next++;
        const char* name = l.name(l.entries[index]);
        if (!e.pattern.matches(name)) continue;
        e.current = index;
        data.cFileName.assign(name);
        data.dwFileAttributes = attributesOf(l, index);
        return true;
    }
    return false;
}

FindHandle PosixPlatform::findFirst(const std::string& pathPattern, FindRecord& data) {
    const std::size_t slash = pathPattern.rfind('/');
    const std::string folder = slash == std::string::npos ? "./" : pathPattern.substr(0, slash + 1);
    const std::string_view pattern =
        std::string_view(pathPattern).substr(slash == std::string::npos ? 0 : slash + 1);
    if (pattern.empty()) return kInvalidFindHandle;

    auto e = std::make_unique<Enumeration>(pattern);
    e->listing = readListing(folder);
    if (!e->listing) return kInvalidFindHandle;
    if (!storeNext(*e, data)) {
        cached_ = std::move(e->listing);
        return kInvalidFindHandle;
    }
    return reinterpret_cast<FindHandle>(e.release());
}

bool PosixPlatform::findNext(FindHandle handle, FindRecord& data) {
    return storeNext(*fromHandle(handle), data);
}

void PosixPlatform::findClose(FindHandle handle) {
    std::unique_ptr<Enumeration> e(fromHandle(handle));
    cached_ = std::move(e->listing);
}

std::optional<std::uint64_t> PosixPlatform::fileLength(FindHandle handle) {
    const Enumeration& e = *fromHandle(handle);
    const Listing& l = *e.listing;
    const char* name = l.name(l.entries[e.current]);
    struct stat st;
    // A link to a file is sized as the file; a dangling link as itself.
    if (fstatat(l.fd, name, &st, 0) != 0 && fstatat(l.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

unsigned PosixPlatform::driveType(const std::string&) {
    return kDriveNoRootDir;
}

std::vector<std::string> PosixPlatform::mountedDrives() {
    std::vector<std::string> drives{"/"};
    FILE* table = setmntent(mountTable_.c_str(), "r");
    if (table == nullptr) return drives;
    while (const mntent* m = getmntent(table)) {
        const std::string point = m->mnt_dir;
        if (std::find(drives.begin(), drives.end(), point) != drives.end()) continue;
        if (isUserDrive(m->mnt_fsname, m->mnt_type, point) && isDirectory(point))
            drives.push_back(point);
    }
    endmntent(table);
    return drives;
}

bool PosixPlatform::open(const std::string& target) {
    // A relative path that starts with "-" would read as an option.
    const std::string argument = target.rfind('-', 0) == 0 ? "./" + target : target;
    // Everything the child needs is made before fork: between fork and exec it may not allocate.
    std::string program = opener_;
    char* const argv[] = {program.data(), const_cast<char*>(argument.c_str()), nullptr};

    // Twice forked, so the opener is no child of ours and leaves no zombie behind.
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (fork() == 0) {
            setsid();
            execvp(argv[0], argv);
            _exit(127);
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
