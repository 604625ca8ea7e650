#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/posix/wildcard.h"

namespace quarvex::posix {

namespace {

constexpr std::uint32_t kAttrArchive = 0x20;

struct Enumeration {
    DIR* dir = nullptr;
    dev_t device = 0;  // the listed folder's file system; folders on another one are mount points
    WildcardPattern pattern;
    std::string name;  // the entry last stored in the record

    explicit Enumeration(std::string_view p) : pattern(p) {}
    ~Enumeration() {
        if (dir != nullptr) closedir(dir);
    }
};

Enumeration* fromHandle(FindHandle handle) {
    return reinterpret_cast<Enumeration*>(handle);
}

// Attributes as Windows reports them: links and mount points are reparse points, and a link
// counts as a folder when it leads to one.
std::uint32_t attributesOf(const Enumeration& e, const dirent& entry) {
    const int fd = dirfd(e.dir);
    struct stat st;
    switch (entry.d_type) {
        case DT_REG:
            return kAttrArchive;
        case DT_DIR:
            if (fstatat(fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev != e.device)
                return kAttrDirectory | kAttrReparsePoint;
            return kAttrDirectory;
        case DT_LNK:
            if (fstatat(fd, entry.d_name, &st, 0) == 0 && S_ISDIR(st.st_mode))
                return kAttrDirectory | kAttrReparsePoint;
            return kAttrArchive | kAttrReparsePoint;
        case DT_UNKNOWN:
            if (fstatat(fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return kAttrArchive;
            if (S_ISLNK(st.st_mode)) {
                if (fstatat(fd, entry.d_name, &st, 0) == 0 && S_ISDIR(st.st_mode))
                    return kAttrDirectory | kAttrReparsePoint;
                return kAttrArchive | kAttrReparsePoint;
            }
            if (S_ISDIR(st.st_mode))
                return st.st_dev != e.device ? kAttrDirectory | kAttrReparsePoint : kAttrDirectory;
            return kAttrArchive;
        default:
            return kAttrArchive;
    }
}

// Advances to the next entry that matches, skipping "." and "..".
bool readNext(Enumeration& e, FindRecord& data) {
    while (const dirent* entry = readdir(e.dir)) {
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
        if (!e.pattern.matches(n)) continue;
        e.name = n;
        data.cFileName = e.name;
        data.dwFileAttributes = attributesOf(e, *entry);
        return true;
    }
    return false;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

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

FindHandle PosixPlatform::findFirst(const std::string& pathPattern, FindRecord& data) {
    const std::size_t slash = pathPattern.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : pathPattern.substr(0, slash + 1);
    const std::string_view pattern =
        std::string_view(pathPattern).substr(slash == std::string::npos ? 0 : slash + 1);
    if (pattern.empty()) return kInvalidFindHandle;

    auto e = std::make_unique<Enumeration>(pattern);
    e->dir = opendir(folder.c_str());
    if (e->dir == nullptr) return kInvalidFindHandle;
    struct stat st;
    if (fstat(dirfd(e->dir), &st) != 0) return kInvalidFindHandle;
    e->device = st.st_dev;
    if (!readNext(*e, data)) return kInvalidFindHandle;
    return reinterpret_cast<FindHandle>(e.release());
}

bool PosixPlatform::findNext(FindHandle handle, FindRecord& data) {
    return readNext(*fromHandle(handle), data);
}

void PosixPlatform::findClose(FindHandle handle) {
    delete fromHandle(handle);
}

std::optional<std::uint64_t> PosixPlatform::fileLength(FindHandle handle) {
    const Enumeration& e = *fromHandle(handle);
    struct stat st;
    // A link to a file is sized as the file; a dangling link as itself.
    if (fstatat(dirfd(e.dir), e.name.c_str(), &st, 0) != 0 &&
        fstatat(dirfd(e.dir), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
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
