// The Linux platform: enumeration records, links, mounts and the drive list.
#include "platform/posix/posix_platform.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/magic.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support.h"

namespace quarvex::test {
namespace {

using posix::groupMemoryLimit;
using posix::PosixPlatform;

// Every entry of an open folder, completed as the walk completes it: name -> entry.
std::map<std::string, ListedEntry> listAll(PosixPlatform& platform, FolderHandle folder,
                                           int* batches = nullptr) {
    std::map<std::string, ListedEntry> seen;
    Listing listing;
    for (int n = 1;; ++n) {
        const ListStatus status = platform.listFolder(folder, listing);
        for (std::size_t i = 0; i < listing.size(); ++i) {
            ListedEntry e = listing[i];
            const std::string name(listing.name(e));
            if ((e.attributes & kAttrTypeUnknown) != 0 || !e.sizeKnown) {
                EXPECT_TRUE(platform.describe(folder, e, name)) << name;
            }
            EXPECT_TRUE(seen.emplace(name, e).second) << name << " listed twice";
        }
        if (batches != nullptr) *batches = n;
        if (status != ListStatus::More) break;
    }
    return seen;
}

TEST(PosixPlatform, ListsFoldersLinksAndFilesAsWindowsWould) {
    TempTree tree;
    tree.dir("sub");
    tree.file("f.txt", 3);
    tree.link(tree.path("sub"), "to-sub");
    tree.link(tree.path("f.txt"), "to-file");
    tree.link(tree.path("nowhere"), "dangling");
    PosixPlatform platform;
    const OpenResult root = platform.openRoot(tree.root());
    ASSERT_EQ(root.status, OpenStatus::Opened);
    std::map<std::string, std::uint32_t> attributes;
    std::map<std::string, bool> links;
    const auto seen = listAll(platform, root.handle);
    for (const auto& [name, e] : seen) {
        attributes[name] = e.attributes;
        links[name] = isLink(e);
        // Where a listing leaves every type open (DT_UNKNOWN), describing the entry tells the same.
        ListedEntry untyped;
        untyped.attributes = kAttrTypeUnknown;
        EXPECT_TRUE(platform.describe(root.handle, untyped, name)) << name;
        EXPECT_EQ(untyped.attributes, e.attributes) << name;
        EXPECT_EQ(isLink(untyped), isLink(e)) << name;
    }
    platform.closeFolder(root.handle);
    EXPECT_EQ(attributes, (std::map<std::string, std::uint32_t>{
                              {"sub", kAttrDirectory},
                              {"f.txt", kAttrArchive},
                              {"to-sub", kAttrDirectory | kAttrReparsePoint},
                              {"to-file", kAttrArchive | kAttrReparsePoint},
                              {"dangling", kAttrArchive | kAttrReparsePoint}}));  // no "." or ".."
    EXPECT_EQ(links, (std::map<std::string, bool>{{"sub", false},
                                                  {"f.txt", false},
                                                  {"to-sub", true},
                                                  {"to-file", true},
                                                  {"dangling", true}}));
    EXPECT_EQ(seen.at("to-file").size, 3u);  // a link to a file is sized as the file
}

// The two ways the platform opens a folder below another: openat2, which refuses links and mount
// points itself, and openat with O_NOFOLLOW where openat2 is missing or forbidden.
class PosixOpening : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (GetParam() && !openat2Allowed()) GTEST_SKIP() << "openat2 is missing or forbidden here";
        platform.useOpenat2(GetParam());
    }
    PosixPlatform platform;
};

TEST_P(PosixOpening, OpensRelativeToTheParentAndNeverThroughALink) {
    TempTree tree;
    tree.file("real/inner/x.txt", 1);
    tree.link(tree.path("real"), "link");
    tree.file("plain.txt");
    const OpenResult root = platform.openRoot(tree.root());
    ASSERT_EQ(root.status, OpenStatus::Opened);
    OpenResult real = platform.openChild(root.handle, "real");
    ASSERT_EQ(real.status, OpenStatus::Opened);
    if (!real.identified) {
        ASSERT_TRUE(platform.identify(real.handle, real.identity));
    }
    EXPECT_EQ(platform.openChild(root.handle, "link").status, OpenStatus::NotAFolder);
    EXPECT_EQ(platform.openChild(root.handle, "plain.txt").status, OpenStatus::NotAFolder);
    const OpenResult missing = platform.openChild(root.handle, "missing");
    EXPECT_EQ(missing.status, OpenStatus::Unreadable);
    EXPECT_EQ(platform.errorText(missing.error), "No such file or directory");
    EXPECT_EQ(platform.openRoot(tree.path("missing")).status, OpenStatus::Unreadable);

    // The same folder reached again is known by its identity; another folder is not it.
    const OpenResult again = platform.openRoot(tree.path("link"));  // a root the user named
    ASSERT_EQ(again.status, OpenStatus::Opened);
    EXPECT_TRUE(again.identity.sameFolder(real.identity));
    EXPECT_FALSE(root.identity.sameFolder(real.identity));
    EXPECT_EQ(root.identity.mount, real.identity.mount);

    // Renamed away after it was opened, the folder is still what the handle lists.
    ASSERT_EQ(rename(tree.path("real").c_str(), tree.path("moved").c_str()), 0);
    EXPECT_EQ(listAll(platform, real.handle).count("inner"), 1u);
    for (const OpenResult& r : {root, real, again}) platform.closeFolder(r.handle);
}

TEST_P(PosixOpening, RefusesAnotherMountOrTellsItByItsMountId) {
    const OpenResult root = platform.openRoot("/");
    ASSERT_EQ(root.status, OpenStatus::Opened);
    const OpenResult usr = platform.openChild(root.handle, "usr");
    ASSERT_EQ(usr.status, OpenStatus::Opened);
    FolderIdentity identity;
    ASSERT_TRUE(platform.identify(usr.handle, identity));
    EXPECT_EQ(identity.mount, root.identity.mount);
    platform.closeFolder(usr.handle);
    const OpenResult proc = platform.openChild(root.handle, "proc");
    if (GetParam()) {
        EXPECT_EQ(proc.status, OpenStatus::OtherMount);  // refused as it is opened
    } else {
        ASSERT_EQ(proc.status, OpenStatus::Opened);
        EXPECT_TRUE(proc.identified);
        EXPECT_NE(proc.identity.mount, root.identity.mount);
        platform.closeFolder(proc.handle);
    }
    platform.closeFolder(root.handle);
}

TEST_P(PosixOpening, EndsAFolderAtAShortReadOnlyWhereThatIsItsEnd) {
    // Elsewhere (here /proc) only an empty read ends a folder.
    const OpenResult proc = platform.openRoot("/proc");
    ASSERT_EQ(proc.status, OpenStatus::Opened);
    Listing listing;
    EXPECT_EQ(platform.listFolder(proc.handle, listing), ListStatus::More);
    platform.closeFolder(proc.handle);

    // ext4 and tmpfs fill a read up to a folder's end, so a read that leaves room is the last,
    // in the root and in the folders opened below it.
    TempTree tree;
    tree.file("sub/b.txt");
    struct statfs fs {};
    ASSERT_EQ(statfs(tree.root().c_str(), &fs), 0);
    if (fs.f_type != EXT4_SUPER_MAGIC && fs.f_type != TMPFS_MAGIC)
        GTEST_SKIP() << "the temporary tree is on neither ext4 nor tmpfs";
    const OpenResult root = platform.openRoot(tree.root());
    ASSERT_EQ(root.status, OpenStatus::Opened);
    const OpenResult sub = platform.openChild(root.handle, "sub");
    ASSERT_EQ(sub.status, OpenStatus::Opened);
    for (const FolderHandle folder : {root.handle, sub.handle}) {
        EXPECT_EQ(platform.listFolder(folder, listing), ListStatus::End);
        EXPECT_EQ(listing.size(), 1u);
        platform.closeFolder(folder);
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, PosixOpening, ::testing::Bool(),
                         [](const auto& way) { return way.param ? "openat2" : "openat"; });

// A sandbox that forbids openat2 (ENOSYS as on kernels before 5.6, EPERM as a seccomp profile
// may answer) leaves the platform on openat, with links still refused.
TEST(PosixPlatform, FallsBackToOpenatWhereASandboxForbidsOpenat2) {
    TempTree tree;
    tree.dir("sub");
    tree.link(tree.path("sub"), "link");
    for (const int error : {ENOSYS, EPERM}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
                BPF_STMT(BPF_RET | BPF_K,
                         SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
                _exit(77);
            PosixPlatform platform;
            const OpenResult root = platform.openRoot(tree.root());
            const bool ok =
                root.status == OpenStatus::Opened &&
                platform.openChild(root.handle, "sub").status == OpenStatus::Opened &&
                platform.openChild(root.handle, "link").status == OpenStatus::NotAFolder;
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        if (WEXITSTATUS(status) == 77)
            GTEST_SKIP() << "this process may not install a seccomp filter";
        EXPECT_EQ(WEXITSTATUS(status), 0) << "openat2 failing with " << strerrorname_np(error);
    }
}

TEST(PosixPlatform, ReadsLargeFoldersInBatchesAndSizesFromTheFolder) {
    TempTree tree;
    constexpr int kFiles = 1500;  // long names: well over one read buffer
    for (int i = 0; i < kFiles; ++i)
        tree.file(std::string(100, 'n') + std::to_string(i) + ".bin", static_cast<unsigned>(i));
    tree.file("big.bin", 6'000'000'000ull);
    PosixPlatform platform;
    const OpenResult root = platform.openRoot(tree.root());
    ASSERT_EQ(root.status, OpenStatus::Opened);
    int batches = 0;
    const auto seen = listAll(platform, root.handle, &batches);
    platform.closeFolder(root.handle);
    EXPECT_GT(batches, 2);
    ASSERT_EQ(seen.size(), kFiles + 1u);
    EXPECT_EQ(seen.at("big.bin").size, 6'000'000'000ull);
    EXPECT_EQ(seen.at(std::string(100, 'n') + "1234.bin").size, 1234u);
}

TEST(PosixPlatform, TellsWhetherTheOpenerStarted) {
    TempTree tree;
    const std::string opener = tree.path("opener");
    FILE* f = fopen(opener.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("#!/bin/sh\nexit 0\n", f);
    fclose(f);
    chmod(opener.c_str(), 0755);
    EXPECT_TRUE(PosixPlatform(opener).open("/tmp/a file.txt", kShowNoActivate));
    EXPECT_FALSE(PosixPlatform(tree.path("no-such-opener")).open("/tmp/a.txt", kShowNoActivate));
    chmod(opener.c_str(), 0644);  // there, but no program
    EXPECT_FALSE(PosixPlatform(opener).open("/tmp/a.txt", kShowNoActivate));
}

TEST(PosixPlatform, FindsTheOpenerOnThePathAndHandsItTheExactTarget) {
    // The stand-in writes its arguments into a pipe it inherits; the pipe ends when it exits.
    TempTree tree;
    int seen[2];
    ASSERT_EQ(pipe(seen), 0);
    const std::string opener = tree.path("quarvex-stand-in-opener");
    FILE* f = fopen(opener.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "#!/bin/sh\nprintf '%%s\\n' \"$#\" \"$@\" > /dev/fd/%d\n", seen[1]);
    fclose(f);
    chmod(opener.c_str(), 0755);
    const std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
    setenv("PATH", (tree.root() + ":" + path).c_str(), 1);
    const std::string target = "/tmp/a b/$(touch x) 'q'.txt";
    const bool started = PosixPlatform("quarvex-stand-in-opener").open(target, kShowNoActivate);
    setenv("PATH", path.c_str(), 1);
    close(seen[1]);
    std::string got;
    char buffer[512];
    for (ssize_t n; (n = read(seen[0], buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<std::size_t>(n));
    close(seen[0]);
    EXPECT_TRUE(started);
    EXPECT_EQ(got, "1\n" + target + "\n");
}

TEST(PosixPlatform, KeepsHalfOfTheFreeDescriptorsForTheWalk) {
    PosixPlatform platform;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const std::size_t budget = platform.folderHandleBudget();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_GE(budget, 2u);
    EXPECT_LE(budget, 32u);
}

// The memory limit of the process's control group: the tightest of its own and its ancestors',
// in either hierarchy; "max" and version 1's "none" are no limit.
TEST(PosixPlatform, ReadsTheTightestMemoryLimitOfTheControlGroup) {
    TempTree root;
    const auto write = [&](const std::string& relative, const std::string& text) {
        root.file(relative);
        std::ofstream(root.path(relative)) << text << "\n";
    };
    write("memory.max", "max");
    root.dir("a/b");
    root.dir("a/c");
    write("a/memory.max", "268435456");
    write("a/b/memory.max", "max");
    write("a/b/memory.high", "134217728");
    EXPECT_EQ(groupMemoryLimit("0::/a/b\n", root.root()), 134217728u);  // its own
    EXPECT_EQ(groupMemoryLimit("0::/a/c\n", root.root()), 268435456u);  // its parent's
    EXPECT_EQ(groupMemoryLimit("0::/\n", root.root()), 0u);
    root.dir("memory/x");
    write("memory/memory.limit_in_bytes", "209715200");
    write("memory/x/memory.limit_in_bytes", "9223372036854771712");
    EXPECT_EQ(groupMemoryLimit("5:cpu,cpuacct:/x\n4:memory:/x\n", root.root()), 209715200u);
    EXPECT_EQ(groupMemoryLimit("4:pids:/x\n", root.root()), 0u);
}

// Under a limit on the address space, the platform tells it as the process's memory limit, and
// threads as many as a walk starts on a cold disk all start and all allocate: each thread's own
// heap and its stack would otherwise take the limit whole.
TEST(PosixPlatform, ThreadsStartAndAllocateUnderALimitOnTheAddressSpace) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under such a limit";
#else
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The limit: what the process has mapped now, and 96 MB more.
        std::size_t mappedKb = 0;
        if (FILE* status = std::fopen("/proc/self/status", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, status) != nullptr)
                if (std::sscanf(line, "VmSize: %zu", &mappedKb) == 1) break;
            std::fclose(status);
        }
        const rlimit limit{(mappedKb << 10) + (std::size_t{96} << 20), RLIM_INFINITY};
        if (mappedKb == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(77);
        PosixPlatform platform;
        const std::uint64_t told = platform.memoryLimit();
        if (told == 0 || told > limit.rlim_cur) _exit(2);
        constexpr int kThreads = 64;
        std::vector<std::thread> threads(kThreads);
        std::atomic<int> allocated{0};
        int started = 0;
        for (std::thread& t : threads) {
            started += platform.startThread(t, [&] {
                std::vector<std::unique_ptr<char[]> > blocks;
                for (int i = 0; i < 64; ++i) blocks.push_back(std::make_unique<char[]>(16384));
                ++allocated;
            });
        }
        for (std::thread& t : threads)
            if (t.joinable()) t.join();
        _exit(started == kThreads && allocated == kThreads ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no limit could be set";
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(PosixDrives, TellsDrivesFromPseudoFileSystems) {
    struct Case {
        const char* device;
        const char* type;
        const char* point;
        bool drive;
    };
    const Case cases[] = {
        {"/dev/sda1", "ext4", "/home", true},
        {"/dev/nvme0n1p2", "btrfs", "/mnt/data", true},
        {"server:/export", "nfs4", "/net/export", true},
        {"//nas/share", "cifs", "/mnt/nas", true},
        {"user@host:", "fuse.sshfs", "/mnt/ssh", true},
        // Disk images a user mounted, where users mount things; not application images, nor
        // images the system mounted elsewhere.
        {"/dev/loop0", "ext4", "/mnt/image", true},
        {"/dev/loop1", "iso9660", "/media/ann/Debian 12", true},
        {"/dev/loop2", "udf", "/run/media/ann/DISC", true},
        {"/dev/loop3", "squashfs", "/snap/core/123", false},
        {"/dev/loop4", "squashfs", "/mnt/app", false},
        {"/dev/loop5", "erofs", "/media/ext", false},
        {"/dev/loop6", "ext4", "/var/lib/docker/devicemapper/mnt/1", false},
        {"/dev/loop7", "vfat", "/mnt2/image", false},
        {"/dev/loop8", "ext4", "/", false},
        {"proc", "proc", "/proc", false},
        {"sysfs", "sysfs", "/sys", false},
        {"tmpfs", "tmpfs", "/run", false},
        {"cgroup2", "cgroup2", "/sys/fs/cgroup", false},
        {"overlay", "overlay", "/var/lib/docker/x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(posix::isUserDrive(c.device, c.type, c.point), c.drive) << c.point;
}

// Disk images loop-mounted in a mount namespace of the test's own: one where a user mounts
// things is a drive, one elsewhere is not.
TEST(PosixDrives, OffersADiskImageAUserMounted) {
    const std::string kSkip = "\x01";  // never a drive's name
    TempTree tree;
    tree.dir("elsewhere");
    for (const char* image : {"user.img", "system.img"}) {
        tree.file(image, 4 << 20);
        const std::string make = "mkfs.ext4 -q -F " + tree.path(image) + " >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) GTEST_SKIP() << "mkfs.ext4 cannot make an image here";
    }
    std::string why;
    const auto got = inMountNamespace(
        [&]() -> std::vector<std::string> {
            // A tmpfs over /mnt, seen only in this namespace, holds the user's mount point.
            const std::string user = "/mnt/quarvex-image";
            if (mount("none", "/mnt", "tmpfs", 0, nullptr) != 0 || mkdir(user.c_str(), 0755) != 0)
                return {kSkip + "no tmpfs can be mounted over /mnt here"};
            for (const auto& [image, at] : {std::pair{tree.path("user.img"), user},
                                            {tree.path("system.img"), tree.path("elsewhere")}}) {
                const std::string loop = "mount -o loop,ro " + image + " " + at + " 2>/dev/null";
                if (std::system(loop.c_str()) != 0)
                    return {kSkip + "no loop device can be set up here"};
            }
            return PosixPlatform().mountedDrives();
        },
        why);
    if (!got) GTEST_SKIP() << why;
    if (got->size() == 1 && got->front().rfind(kSkip, 0) == 0)
        GTEST_SKIP() << got->front().substr(kSkip.size());
    EXPECT_NE(std::find(got->begin(), got->end(), "/mnt/quarvex-image"), got->end());
    EXPECT_EQ(std::find(got->begin(), got->end(), tree.path("elsewhere")), got->end());
}

TEST(PosixDrives, ReadsTheMountTableRootFirstOnceEachAndDecodesSpaces) {
    TempTree tree;
    for (const char* folder : {"data", "My Disk", "bound", "twice", "home", "more", "disk"})
        tree.dir(folder);
    tree.file("a-file");
    const std::string table = tree.path("mounts");
    FILE* f = fopen(table.c_str(), "w");
    ASSERT_NE(f, nullptr);
    const char* r = tree.root().c_str();
    // Optional fields, none to three, stand between the mount options and the "-".
    fprintf(f, "22 1 0:21 / /proc rw shared:12 - proc proc rw\n");
    fprintf(f, "30 1 8:17 / %s/data rw - ext4 /dev/sdb1 rw\n", r);
    // "/" mounted over another "/": the one seen is the last, the one beneath is no drive yet.
    fprintf(f, "20 0 8:1 / / rw - ext4 /dev/sda1 rw\n");
    fprintf(f, "1 0 0:30 / / rw - overlay overlay rw\n");
    fprintf(f, "31 1 8:33 / %s/My\\040Disk rw shared:3 master:1 - vfat /dev/sdc1 rw\n", r);
    fprintf(f, "32 1 8:1 / %s/a-file rw - ext4 /dev/sda1 rw\n", r);
    fprintf(f, "33 1 8:49 / %s/not-there rw - ext4 /dev/sdd1 rw\n", r);
    fprintf(f, "34 1 8:17 / %s/data rw - ext4 /dev/sdb1 rw\n", r);
    // The same file system again, or a folder of it bound elsewhere: its files are offered once.
    fprintf(f, "35 1 8:17 /sub %s/bound rw - ext4 /dev/sdb1 rw\n", r);
    fprintf(f, "36 1 8:33 / %s/twice rw shared:1 - vfat /dev/sdc1 rw\n", r);
    // Another subvolume of one device is other files, also one whose name begins like it.
    fprintf(f, "37 1 0:44 /@home %s/home rw master:2 - btrfs /dev/sde2 rw\n", r);
    fprintf(
        f, "38 1 0:44 /@homes %s/more rw shared:4 master:5 propagate_from:5 - btrfs /dev/sde2 rw\n",
        r);
    fprintf(f, "39 1 0:25 / /run rw shared:6 master:6 - tmpfs tmpfs rw\n");
    fprintf(f, "40 1 8:1 / %s/disk rw - ext4 /dev/sda1 rw\n", r);
    fclose(f);
    PosixPlatform platform("xdg-open", table);
    EXPECT_EQ(platform.mountedDrives(),
              (std::vector<std::string>{"/", tree.path("data"), tree.path("My Disk"),
                                        tree.path("home"), tree.path("more"), tree.path("disk")}));

    // The selector then lists them, preselecting the one that holds the program.
    FakeWindow window;
    class AtProgram : public PosixPlatform {
      public:
        using PosixPlatform::PosixPlatform;
        std::string folder;
        std::string programFolder() override { return folder; }
    } placed("xdg-open", table);
    placed.folder = tree.path("My Disk/apps/quarvex");
    SearchCore core(window, placed);
    core.init();
    EXPECT_EQ(window.entries,
              (std::vector<std::string>{"/", tree.path("data"), tree.path("My Disk"),
                                        tree.path("home"), tree.path("more"), tree.path("disk"),
                                        "/ " + tree.path("data") + " " + tree.path("My Disk") +
                                            " " + tree.path("home") + " " + tree.path("more") +
                                            " " + tree.path("disk")}));
    EXPECT_EQ(window.comboText(), tree.path("My Disk"));

    // A folder that merely starts like a drive's name is not on it.
    FakeWindow other;
    placed.folder = tree.path("database");
    SearchCore core2(other, placed);
    core2.init();
    EXPECT_EQ(other.comboText(), "/");
}

}  // namespace
}  // namespace quarvex::test
