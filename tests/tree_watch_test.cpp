// Watching trees on Linux with real inotify: each change reaches the very next drain of its tree
// under its folder's key, lost changes (an overflowed queue, a mount in or over the tree) fail the
// drain, all trees share one instance, and the process keeps to half of the user's watches.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "platform/posix/posix_platform.h"
#include "platform/posix/tree_watch_posix.h"
#include "tests/support.h"

namespace quarvex::test {
namespace {

using posix::PosixPlatform;
using Heard = std::set<std::string>;  // "entries a", "folder a"; "." is the root
using Lines = std::vector<std::string>;

class Recorder : public ChangeSink {
  public:
    explicit Recorder(const std::map<std::uint64_t, std::string>& names) : names_(names) {}
    void entriesChanged(std::uint64_t key) override { heard.insert("entries " + names_.at(key)); }
    void folderChanged(std::uint64_t key) override { heard.insert("folder " + names_.at(key)); }
    void nameChanged(std::uint64_t key, NameChange change, std::string_view name) override {
        static constexpr const char* kWhat[] = {"appeared ", "gone ", "written "};
        named.push_back(kWhat[static_cast<int>(change)] + names_.at(key) + "/" + std::string(name));
    }
    void namesLost() override { named.push_back("names lost"); }
    Heard heard;
    Lines named;  // in the order told

  private:
    const std::map<std::uint64_t, std::string>& names_;
};

// A watch of a temporary tree and the folders of it watched so far, each under its own key.
class Watched {
  public:
    explicit Watched(const TempTree& tree, const Lines& folders = {}) : tree_(tree) {
        root_ = open("");
        watch = platform.watchTree(root_, tree.root());
        if (watch == nullptr) throw std::runtime_error("no watch of " + tree.root());
        for (const std::string& folder : folders) EXPECT_TRUE(add(folder)) << folder;
    }
    ~Watched() {
        watch.reset();
        for (const FolderHandle handle : handles_) platform.closeFolder(handle);
    }

    FolderHandle open(const std::string& folder) {
        const OpenResult opened =
            platform.openRoot(folder.empty() ? tree_.root() : tree_.path(folder));
        if (opened.status != OpenStatus::Opened) throw std::runtime_error("cannot open " + folder);
        handles_.push_back(opened.handle);
        return opened.handle;
    }
    // Watches the folder under a new key, told as `name` (by default its path), and closes it
    // again, as the walk does: a removed folder that is still open tells nothing itself.
    bool add(const std::string& folder, std::string name = {}) {
        if (name.empty()) name = folder.empty() ? "." : folder;
        keys[name] = names_.size() + 1;
        names_[keys[name]] = name;
        const FolderHandle handle = open(folder);
        const bool watching = watch->watch(handle, folder, keys[name]);
        platform.closeFolder(handle);
        handles_.pop_back();
        return watching;
    }
    // What the next drain tells; "lost" when it fails. The names it told go to `named`.
    Heard drain() {
        Recorder sink(names_);
        if (!watch->drain(sink)) return {"lost"};
        named = std::move(sink.named);
        return sink.heard;
    }
    Lines named;

    PosixPlatform platform;
    std::unique_ptr<TreeWatch> watch;
    std::map<std::string, std::uint64_t> keys;

  private:
    const TempTree& tree_;
    FolderHandle root_;
    std::vector<FolderHandle> handles_;
    std::map<std::uint64_t, std::string> names_;
};

void append(const std::string& path) {
    std::ofstream file(path, std::ios::app);
    file << "more";
    file.close();
    EXPECT_TRUE(file) << "cannot write " << path;
}

// What the process holds of the user's inotify instances and watches, as the kernel counts them.
std::string held() {
    int instances = 0, watches = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(fd.path(), error) != "anon_inode:inotify") continue;
        ++instances;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        for (std::string line; std::getline(info, line);)
            watches += line.starts_with("inotify wd:");
    }
    return std::to_string(instances) + " instances, " + std::to_string(watches) + " watches";
}

TEST(TreeWatch, EachChangeIsHeardByTheNextDrainUnderItsFoldersKey) {
    struct Case {
        const char* what;
        std::function<void(const TempTree&)> change;
        Heard heard;
    };
    const std::vector<Case> cases = {
        {"a file created", [](auto& t) { t.file("a/new"); }, {"entries a"}},
        {"a file written", [](auto& t) { append(t.path("a/f")); }, {"entries a"}},
        {"a file truncated",
         [](auto& t) { EXPECT_EQ(truncate(t.path("a/f").c_str(), 1), 0); },
         {"entries a"}},
        {"a file's permissions",
         [](auto& t) { chmod(t.path("a/f").c_str(), 0600); },
         {"entries a"}},
        {"a file deleted", [](auto& t) { unlink(t.path("a/f").c_str()); }, {"entries a"}},
        {"a file renamed",
         [](auto& t) { rename(t.path("a/f").c_str(), t.path("a/g").c_str()); },
         {"entries a"}},
        {"a file moved to another watched folder",
         [](auto& t) { rename(t.path("a/f").c_str(), t.path("b/f").c_str()); },
         {"entries a", "entries b"}},
        {"a subfolder created", [](auto& t) { t.dir("a/sub"); }, {"entries a"}},
        {"the folder's own permissions",
         [](auto& t) { chmod(t.path("a").c_str(), 0700); },
         {"folder a", "entries ."}},
        {"the folder renamed",
         [](auto& t) { rename(t.path("a").c_str(), t.path("c").c_str()); },
         {"folder a", "entries ."}},
        {"the folder removed",
         [](auto& t) {
             unlink(t.path("a/f").c_str());
             rmdir(t.path("a").c_str());
         },
         {"entries a", "folder a", "entries ."}},
        // inotify tells a file's changes to the folder of the name it was changed through (and to
        // watches of the file itself): a folder holding another name of it hears nothing.
        {"a hard link written through its name in an unwatched folder",
         [](auto& t) { append(t.path("u/link")); },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree tree;
        tree.file("a/f", 3);
        tree.dir("b");
        tree.dir("u");
        ASSERT_EQ(link(tree.path("a/f").c_str(), tree.path("u/link").c_str()), 0);
        Watched watched(tree, {"", "a", "b"});
        EXPECT_EQ(watched.drain(), Heard{});
        c.change(tree);
        EXPECT_EQ(watched.drain(), c.heard);
    }
}

TEST(TreeWatch, KeysOnOneFolderHearItUntilEachIsUnwatched) {
    TempTree tree;
    tree.dir("a");
    Watched watched(tree, {"a"});
    ASSERT_TRUE(watched.add("a", "a again"));
    tree.file("a/1");
    EXPECT_EQ(watched.drain(), (Heard{"entries a", "entries a again"}));
    watched.watch->unwatch(watched.keys["a"]);
    tree.file("a/2");
    EXPECT_EQ(watched.drain(), (Heard{"entries a again"}));
    watched.watch->unwatch(watched.keys["a again"]);
    tree.file("a/3");
    EXPECT_EQ(watched.drain(), Heard{});
}

// Two trees (one folder searched under two spellings, each tree watching what it kept) share one
// instance: a drain tells only its own tree's changes and keeps the others' for their drains, a
// folder in both is one kernel watch, and a tree's watches go with its TreeWatch, the instance with
// the last.
TEST(TreeWatch, TreesShareOneInstanceAndEachHearsItsOwnChanges) {
    TempTree tree;
    for (const char* folder : {"a", "b", "s"}) tree.dir(folder);
    ASSERT_EQ(held(), "0 instances, 0 watches");
    Watched one(tree, {"a", "s"});
    Watched two(tree, {"b", "s"});
    EXPECT_EQ(held(), "1 instances, 3 watches");
    for (const char* file : {"a/1", "b/1", "s/1"}) tree.file(file);
    EXPECT_EQ(two.drain(), (Heard{"entries b", "entries s"}));
    EXPECT_EQ(one.drain(), (Heard{"entries a", "entries s"}));
    two.watch.reset();
    EXPECT_EQ(held(), "1 instances, 2 watches");
    for (const char* file : {"b/2", "s/2"}) tree.file(file);
    EXPECT_EQ(one.drain(), Heard{"entries s"});
    one.watch.reset();
    EXPECT_EQ(held(), "0 instances, 0 watches");
}

// Names are told in order, a name written again among others once; past a drain's share they are
// told lost, not kept without bound, while another tree's drains read the queue.
TEST(TreeWatch, NamesAreToldInOrderUpToABound) {
    TempTree tree, other;
    tree.file("a/f", 1);
    other.dir("c");
    Watched watched(tree, {"a"});
    Watched quiet(other, {"c"});
    append(tree.path("a/f"));
    tree.file("a/x");
    append(tree.path("a/f"));
    ASSERT_EQ(unlink(tree.path("a/f").c_str()), 0);
    EXPECT_EQ(watched.drain(), Heard{"entries a"});
    EXPECT_EQ(watched.named, (Lines{"written a/f", "appeared a/x", "written a/x", "gone a/f"}));

    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(link(tree.path("a/x").c_str(), tree.path("a/l" + std::to_string(i)).c_str()), 0);
        if (i == 10000) {
            EXPECT_EQ(quiet.drain(), Heard{});  // the queue never overflows
        }
    }
    EXPECT_EQ(watched.drain(), Heard{"entries a"});
    EXPECT_EQ(watched.named, Lines{"names lost"});
    tree.file("a/y");
    EXPECT_EQ(watched.drain(), Heard{"entries a"});
    EXPECT_EQ(watched.named, (Lines{"appeared a/y", "written a/y"}));
}

// The queue is every tree's: an overflow fails the next drain of each, and each starts clean.
TEST(TreeWatch, AnOverflowedQueueFailsOneDrainOfEachTree) {
    std::size_t queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued == 0 || queued > (1u << 20))
        GTEST_SKIP() << "max_queued_events is " << queued << ": too many events to make";
    TempTree tree, other;
    tree.dir("a");
    tree.dir("b");
    other.dir("c");
    Watched watched(tree, {"a", "b"});
    Watched quiet(other, {"c"});
    // Writes to two files by turns: inotify merges an event only with the one queued before it.
    const int x = ::open(tree.path("a/x").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    const int y = ::open(tree.path("a/y").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(x, 0);
    ASSERT_GE(y, 0);
    for (std::size_t i = 0; i <= queued / 2; ++i)
        ASSERT_TRUE(pwrite(x, "x", 1, 0) == 1 && pwrite(y, "y", 1, 0) == 1);
    close(x);
    close(y);
    EXPECT_EQ(watched.drain(), Heard{"lost"});
    EXPECT_EQ(quiet.drain(), Heard{"lost"});
    // The rest of the queue went with it: the next drains start clean.
    tree.file("b/after");
    other.file("c/after");
    EXPECT_EQ(watched.drain(), Heard{"entries b"});
    EXPECT_EQ(quiet.drain(), Heard{"entries c"});
}

// A mount raises no inotify event: the mount table tells, and only the trees under or over a
// mount that appeared or went have lost changes.
TEST(TreeWatch, AMountInOrOverATreeFailsItsDrainAndNoOther) {
    TempTree tree, elsewhere, above;
    above.dir("p");
    TempTree other(above.path("p"));
    tree.dir("a");
    other.dir("b");
    std::string why;
    const auto got = inMountNamespace(
        [&]() -> Lines {
            Watched one(tree, {"", "a"});
            std::optional<Watched> two;
            Lines heard;
            const auto step = [&](const std::string& what, const char* target, bool mounting) {
                const bool done = mounting ? mount("none", target, "tmpfs", 0, nullptr) == 0
                                           : umount(target) == 0;
                if (!done) heard.push_back(what + ": cannot " + (mounting ? "mount" : "unmount"));
                for (const std::string& h : one.drain()) heard.push_back(what + ": one " + h);
                if (two)
                    for (const std::string& h : two->drain()) heard.push_back(what + ": two " + h);
            };
            // Not told to the tree watched after it, even before any drain read the table.
            if (mount("none", other.path("b").c_str(), "tmpfs", 0, nullptr) != 0)
                heard.push_back("cannot mount in two");
            two.emplace(other, Lines{""});
            tree.file("a/1");  // told with the mount elsewhere: nothing is lost
            step("elsewhere", elsewhere.root().c_str(), true);
            step("elsewhere gone", elsewhere.root().c_str(), false);
            // The folder's entries are hidden from now on.
            step("over a folder of one", tree.path("a").c_str(), true);
            step("that gone", tree.path("a").c_str(), false);
            step("over a folder above two's root", above.path("p").c_str(), true);
            step("that gone", above.path("p").c_str(), false);
            return heard;
        },
        why);
    if (!got) GTEST_SKIP() << why;
    EXPECT_EQ(*got, (Lines{"elsewhere: one entries a", "over a folder of one: one lost",
                           "that gone: one lost", "over a folder above two's root: two lost",
                           "that gone: two lost"}));
}

// The user's limits, lowered for a user namespace of the test's own, so nothing else on the machine
// feels them: 6 watches, of which the process takes at most 3, and 2 instances, one of them
// another program's.
TEST(TreeWatch, TheProcessKeepsToHalfOfTheUsersWatches) {
    TempTree tree;
    for (const char* folder : {"a", "b", "c", "d", "r1", "r2", "r3", "r4"}) tree.dir(folder);
    const Lines got = inChildProcess([&]() -> Lines {
        const auto limit = [](const char* name, int value) {
            std::ofstream(std::string("/proc/sys/user/") + name) << value;
            int now = -1;
            std::ifstream(std::string("/proc/sys/user/") + name) >> now;
            return now == value;
        };
        if (unshare(CLONE_NEWUSER) != 0 || !limit("max_inotify_watches", 6) ||
            !limit("max_inotify_instances", 2))
            return {"skip"};
        Lines said;
        const auto say = [&](const std::string& what, bool ok) {
            said.push_back(what + (ok ? ": yes" : ": no"));
        };
        const int program = inotify_init1(IN_CLOEXEC);  // another program of the user
        std::vector<int> its;
        for (const char* folder : {"r1", "r2", "r3", "r4"})
            its.push_back(inotify_add_watch(program, tree.path(folder).c_str(), IN_CREATE));
        say("the other program's 4 watches", std::count(its.begin(), its.end(), -1) == 0);
        Watched watched(tree);
        say("a", watched.add("a"));
        say("b", watched.add("b"));
        say("c while the other program holds 4", watched.add("c"));
        for (const int wd : its) inotify_rm_watch(program, wd);
        say("c", watched.add("c"));
        say("d past our share", watched.add("d"));
        say("a again", watched.add("a", "a again"));  // the same folder: no new watch
        std::optional<Watched> second;
        try {
            second.emplace(tree);
        } catch (const std::runtime_error&) {
        }
        say("a second tree beside the other program's instance", second.has_value());
        if (!second) return said;
        say("d in the second tree", second->add("d"));
        watched.watch->unwatch(watched.keys["a"]);
        say("d while a is watched again", second->add("d", "d2"));
        watched.watch->unwatch(watched.keys["a again"]);
        say("d once a is unwatched", second->add("d", "d3"));
        close(program);
        return said;
    });
    if (got == Lines{"skip"}) GTEST_SKIP() << "no user namespace of our own here";
    EXPECT_EQ(got, (Lines{"the other program's 4 watches: yes", "a: yes", "b: yes",
                          "c while the other program holds 4: no", "c: yes", "d past our share: no",
                          "a again: yes", "a second tree beside the other program's instance: yes",
                          "d in the second tree: no", "d while a is watched again: no",
                          "d once a is unwatched: yes"}));
}

// inotify needs read permission on the folder, whoever opened it: as root the child drops to
// nobody after opening both folders.
TEST(TreeWatch, AFolderTheUserMayNotReadIsRefused) {
    TempTree tree;
    tree.dir("open");
    tree.dir("closed");
    const Lines got = inChildProcess([&]() -> Lines {
        Watched watched(tree);
        const FolderHandle open = watched.open("open");
        const FolderHandle closed = watched.open("closed");
        chmod(tree.path("closed").c_str(), 0);
        if (getuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setgroups(0, nullptr) != 0 ||
                              setresuid(65534, 65534, 65534) != 0))
            return {"cannot become nobody"};
        return {watched.watch->watch(open, "open", 1) ? "open: yes" : "open: no",
                watched.watch->watch(closed, "closed", 2) ? "closed: yes" : "closed: no"};
    });
    EXPECT_EQ(got, (Lines{"open: yes", "closed: no"}));
}

TEST(TreeWatch, OnlyFileSystemsWhoseEveryChangeIsToldAreWatched) {
    const std::map<std::uint32_t, bool> types = {
        {EXT4_SUPER_MAGIC, true},  {XFS_SUPER_MAGIC, true},        {BTRFS_SUPER_MAGIC, true},
        {TMPFS_MAGIC, true},       {MSDOS_SUPER_MAGIC, true},      {EXFAT_SUPER_MAGIC, true},
        {NFS_SUPER_MAGIC, false},  {CIFS_SUPER_MAGIC, false},      {SMB2_SUPER_MAGIC, false},
        {V9FS_MAGIC, false},       {CEPH_SUPER_MAGIC, false},      {AFS_FS_MAGIC, false},
        {FUSE_SUPER_MAGIC, false}, {OVERLAYFS_SUPER_MAGIC, false}, {0x2fc12fc1 /* zfs */, false},
        {PROC_SUPER_MAGIC, false}, {SYSFS_MAGIC, false},
    };
    for (const auto& [type, watched] : types)
        EXPECT_EQ(posix::notifiesEveryChange(type), watched) << std::hex << type;
    // A real one that does not: proc.
    PosixPlatform platform;
    const OpenResult proc = platform.openRoot("/proc/self");
    ASSERT_EQ(proc.status, OpenStatus::Opened);
    EXPECT_EQ(platform.watchTree(proc.handle, "/proc/self"), nullptr);
    platform.closeFolder(proc.handle);
}

// A folder watched while another thread drains is heard from its first change on. Run under
// ThreadSanitizer to prove the lock.
TEST(TreeWatch, WatchingWhileDrainingLosesNoChange) {
    constexpr int kFolders = 100;
    TempTree tree;
    for (int i = 0; i < kFolders; ++i) tree.dir("d" + std::to_string(i));
    Watched watched(tree);
    std::vector<FolderHandle> folders;
    for (int i = 0; i < kFolders; ++i) folders.push_back(watched.open("d" + std::to_string(i)));
    std::atomic<bool> done = false;
    std::set<std::uint64_t> heard;
    struct Sink : ChangeSink {
        std::set<std::uint64_t>& heard;
        explicit Sink(std::set<std::uint64_t>& h) : heard(h) {}
        void entriesChanged(std::uint64_t key) override { heard.insert(key); }
        void folderChanged(std::uint64_t) override {}
    } sink(heard);
    std::thread watcher([&] {
        for (int i = 0; i < kFolders; ++i) {
            EXPECT_TRUE(watched.watch->watch(folders[i], "", std::uint64_t(i)));
            tree.file("d" + std::to_string(i) + "/f");
        }
        done = true;
    });
    // Another tree's drains read the same queue meanwhile, and keep these changes for this one.
    TempTree quiet;
    Watched other(quiet, {""});
    while (!done) {
        EXPECT_EQ(other.drain(), Heard{});
        EXPECT_TRUE(watched.watch->drain(sink));
    }
    watcher.join();
    EXPECT_TRUE(watched.watch->drain(sink));
    EXPECT_EQ(heard.size(), std::size_t(kFolders));
}

}  // namespace
}  // namespace quarvex::test
