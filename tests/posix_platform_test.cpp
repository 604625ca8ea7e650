// The Linux platform: enumeration records, links, mounts and the drive list.
#include "platform/posix/posix_platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "tests/support.h"

namespace quarvex::test {
namespace {

using posix::PosixPlatform;

// name -> attributes, for one enumeration.
std::map<std::string, std::uint32_t> list(PosixPlatform& platform, const std::string& pathPattern) {
    std::map<std::string, std::uint32_t> seen;
    FindRecord record;
    const FindHandle handle = platform.findFirst(pathPattern, record);
    if (handle == kInvalidFindHandle) return seen;
    do seen[record.cFileName] = record.dwFileAttributes;
    while (platform.findNext(handle, record));
    platform.findClose(handle);
    return seen;
}

TEST(PosixEnumeration, ReportsFoldersLinksAndFilesAsWindowsWould) {
    TempTree tree;
    tree.dir("sub");
    tree.file("f.txt", 3);
    tree.link(tree.path("sub"), "to-sub");
    tree.link(tree.path("f.txt"), "to-file");
    tree.link(tree.path("nowhere"), "dangling");
    PosixPlatform platform;
    const auto seen = list(platform, tree.path("*"));
    const std::map<std::string, std::uint32_t> expected = {
        {"sub", kAttrDirectory},
        {"f.txt", 0x20},
        {"to-sub", kAttrDirectory | kAttrReparsePoint},
        {"to-file", 0x20 | kAttrReparsePoint},
        {"dangling", 0x20 | kAttrReparsePoint}};
    EXPECT_EQ(seen, expected);  // and no "." or ".."
}

TEST(PosixEnumeration, FailsForWhatCannotBeListedOrMatchesNothing) {
    TempTree tree;
    tree.file("a.txt");
    PosixPlatform platform;
    FindRecord record;
    EXPECT_EQ(platform.findFirst(tree.path("missing/*"), record), kInvalidFindHandle);
    EXPECT_EQ(platform.findFirst(tree.path("*.doc"), record), kInvalidFindHandle);
    EXPECT_EQ(platform.findFirst(tree.path("a.txt/*"), record), kInvalidFindHandle);
    EXPECT_EQ(platform.findFirst(tree.root() + "/", record), kInvalidFindHandle);
}

TEST(PosixEnumeration, SizesTheEntryAtHandFromItsFolder) {
    TempTree tree;
    tree.file("big.bin", 6'000'000'000ull);
    tree.file("zero.bin", 0);
    PosixPlatform platform;
    FindRecord record;
    std::map<std::string, std::uint64_t> sizes;
    const FindHandle handle = platform.findFirst(tree.path("*.bin"), record);
    ASSERT_NE(handle, kInvalidFindHandle);
    do sizes[record.cFileName] = platform.fileLength(handle).value_or(1);
    while (platform.findNext(handle, record));
    platform.findClose(handle);
    EXPECT_EQ(sizes, (std::map<std::string, std::uint64_t>{{"big.bin", 6'000'000'000ull},
                                                           {"zero.bin", 0}}));
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
        {"/dev/loop3", "squashfs", "/snap/core/123", false},
        {"/dev/loop0", "ext4", "/mnt/image", false},
        {"proc", "proc", "/proc", false},
        {"sysfs", "sysfs", "/sys", false},
        {"tmpfs", "tmpfs", "/run", false},
        {"cgroup2", "cgroup2", "/sys/fs/cgroup", false},
        {"overlay", "overlay", "/var/lib/docker/x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(posix::isUserDrive(c.device, c.type, c.point), c.drive) << c.point;
}

TEST(PosixDrives, ReadsTheMountTableRootFirstAndDecodesSpaces) {
    TempTree tree;
    tree.dir("data");
    tree.dir("My Disk");
    tree.file("a-file");
    const std::string table = tree.path("mounts");
    FILE* f = fopen(table.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f,
            "proc /proc proc rw 0 0\n"
            "/dev/sdb1 %s/data ext4 rw 0 0\n"
            "overlay / overlay rw 0 0\n"
            "/dev/sdc1 %s/My\\040Disk vfat rw 0 0\n"
            "/dev/sda1 %s/a-file ext4 rw 0 0\n"
            "/dev/sdd1 %s/not-there ext4 rw 0 0\n"
            "/dev/sdb1 %s/data ext4 rw 0 0\n"
            "tmpfs /run tmpfs rw 0 0\n",
            tree.root().c_str(), tree.root().c_str(), tree.root().c_str(), tree.root().c_str(),
            tree.root().c_str());
    fclose(f);
    PosixPlatform platform("xdg-open", table);
    EXPECT_EQ(platform.mountedDrives(),
              (std::vector<std::string>{"/", tree.path("data"), tree.path("My Disk")}));

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
                                        "/ " + tree.path("data") + " " + tree.path("My Disk")}));
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

namespace quarvex::test {
namespace {

TEST(PosixEnumeration, ASecondRunSeesTheFolderAsItIsThen) {
    TempTree tree;
    tree.file("a.txt", 1);
    posix::PosixPlatform platform;
    const auto names = [&](const std::string& pattern) {
        std::vector<std::string> seen;
        FindRecord record;
        const FindHandle h = platform.findFirst(tree.path(pattern), record);
        if (h == kInvalidFindHandle) return seen;
        do seen.push_back(record.cFileName);
        while (platform.findNext(h, record));
        platform.findClose(h);
        return sorted(seen);
    };
    EXPECT_EQ(names("*"), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(names("*.txt"), std::vector<std::string>{"a.txt"});
    tree.file("b.txt", 2);
    tree.dir("sub");
    EXPECT_EQ(names("*.txt"), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(names("*"), (std::vector<std::string>{"a.txt", "b.txt", "sub"}));
    tree.file("sub/c.txt", 3);
    EXPECT_EQ(names("sub/*"), std::vector<std::string>{"c.txt"});
}

}  // namespace
}  // namespace quarvex::test
