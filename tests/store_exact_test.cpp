// quarvex-find --queries end to end, run as an ordinary user over real folders and real change
// notification: between two queries of one process the tree changes one way at a time, and the
// next answer (its lines and its report) equals a fresh one-shot search made right after it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "platform/posix/tree_watch_posix.h"
#include "tests/support.h"

extern char** environ;

namespace quarvex::test {
namespace {

using Lines = std::vector<std::string>;
using Folders = std::set<std::string>;

constexpr int kHangMs = 120000;  // a program silent for this long is taken to hang

struct Output {
    std::string out, err;
    int status = -1;  // the exit status, or -1 when a signal ended the program
    int signal = 0;
};

struct ChildOptions {
    bool settle = false;      // QUARVEX_TEST_SETTLE: each answer ends on a settled store
    bool ignorePipe = false;  // starts with SIGPIPE ignored, as `trap '' PIPE` leaves it
};

// A program with its standard input, output and error on pipes of the test.
class Child {
  public:
    explicit Child(const Lines& argv, ChildOptions options = {}) {
        // The test writes to programs that may be gone: a failed write, not the test's end.
        signal(SIGPIPE, SIG_IGN);
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, number);
        if (!options.ignorePipe) sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::string_view(*e).rfind("QUARVEX_TEST_SETTLE=", 0) != 0) env.emplace_back(*e);
        if (options.settle) env.emplace_back("QUARVEX_TEST_SETTLE=1");
        std::vector<char*> args, envp;
        Lines all = argv;
        for (std::string& a : all) args.push_back(a.data());
        args.push_back(nullptr);
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
    }
    ~Child() { finish(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void send(const std::string& text) {
        EXPECT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The reader of standard output goes away.
    void closeOutput() { closeFd(out_); }

    // Standard output up to the end of one answer (an empty record); what came when it never
    // came.
    std::string answer(char end = '\n') {
        std::string text;
        const std::string empty(1, end), last(2, end);
        while (text != empty && !text.ends_with(last))
            if (!readSome(out_, text)) break;
        EXPECT_TRUE(text == empty || text.ends_with(last)) << "no end of the answer: " << text;
        return text;
    }
    // What standard error holds by now.
    std::string errNow() {
        std::string text;
        for (pollfd ready{err_, POLLIN, 0}; poll(&ready, 1, 0) > 0 && readSome(err_, text);) {
        }
        return text;
    }
    // Ends standard input (unless told not to), reads both outputs to their end and waits for
    // the program.
    Output finish(bool endInput = true) {
        if (pid_ < 0) return done_;
        if (endInput) closeFd(in_);
        while (out_ >= 0 && readSome(out_, done_.out)) {
        }
        while (err_ >= 0 && readSome(err_, done_.err)) {
        }
        closeFd(in_);
        closeFd(out_);
        closeFd(err_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (WIFEXITED(status)) done_.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) done_.signal = WTERMSIG(status);
        return done_;
    }

  private:
    static void closeFd(int& fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    // False at the end of the output; a program that hangs is killed.
    bool readSome(int fd, std::string& into) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, kHangMs) <= 0) {
            ADD_FAILURE() << "the program hangs";
            kill(pid_, SIGKILL);
            return false;
        }
        char buffer[65536];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    Output done_;
};

// `argv` as the ordinary user runs it: as root, as nobody.
Lines asUser(Lines argv) {
    if (geteuid() == 0)
        argv.insert(argv.begin(),
                    {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    return argv;
}

// Which folders some process listed since the last look: the kernel tells a watcher of a folder
// of each read of its entries (IN_ACCESS) before the read returns.
class FolderReads {
  public:
    FolderReads() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~FolderReads() { close(fd_); }
    void watch(const std::string& path, const std::string& name) {
        const int wd = inotify_add_watch(fd_, path.c_str(), IN_ACCESS | IN_ONLYDIR);
        ASSERT_GE(wd, 0) << path;
        names_[wd] = name;
    }
    Folders take() {
        Folders read;
        alignas(inotify_event) char buffer[65536];
        for (ssize_t got; (got = ::read(fd_, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < got;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                if ((e->mask & IN_Q_OVERFLOW) != 0) read.insert("(lost)");
                if ((e->mask & IN_ACCESS) != 0 && e->len == 0) read.insert(names_[e->wd]);
            }
        return read;
    }

  private:
    int fd_;
    std::map<int, std::string> names_;
};

void append(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

// A change of the tree, and what it lets the store list again (the folders the change touched,
// by their names before it); "." is the root.
struct Step {
    const char* name;
    std::function<void()> change;
    Folders mayList = {};
    // The fresh answer differs from the one before; nothing when that is left to chance.
    std::optional<bool> changesAnswer = true;
    const char* pattern = "*.*";
};

// A tree of the ordinary user's own on a file system whose changes are all told, searched by
// one --queries process at a time.
class Exactness : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Child(asUser({QUARVEX_FIND, "--version"})).finish().status != 0)
            GTEST_SKIP() << "the ordinary user cannot run " << QUARVEX_FIND;
    }
    // Makes the tree on the first of `bases` whose changes are all told; false where none is.
    bool plant(std::initializer_list<const char*> bases) {
        for (const char* base : bases) {
            struct statfs fs {};
            if (statfs(base, &fs) != 0 ||
                !posix::notifiesEveryChange(static_cast<std::uint32_t>(fs.f_type)))
                continue;
            tree_.emplace(base);
            root = tree_->path("t");
            tree_->dir("t");
            tree_->dir("out");  // outside the searched tree
            return true;
        }
        return false;
    }

    TempTree& tree() { return *tree_; }
    std::string at(const std::string& relative) const { return root + "/" + relative; }
    // Hands what was made so far to the ordinary user.
    void ownAll() {
        if (geteuid() != 0) return;
        const auto own = [](const std::filesystem::path& p) {
            ASSERT_EQ(lchown(p.c_str(), 65534, 65534), 0) << p;
        };
        own(tree_->root());
        for (const auto& e : std::filesystem::recursive_directory_iterator(tree_->root()))
            own(e.path());
    }
    Lines queriesCommand() const {
        Lines argv = prefix;
        for (const std::string& a : asUser({QUARVEX_FIND, "--queries", "--show-errors", root}))
            argv.push_back(a);
        return argv;
    }
    Output fresh(const std::string& pattern) const {
        Lines argv = prefix;
        for (const std::string& a : asUser({QUARVEX_FIND, "--show-errors", pattern, root}))
            argv.push_back(a);
        return Child(argv).finish();
    }

    // Makes the step's change, asks at once, and compares the answer with a fresh search made
    // right after it; with `reads`, also which folders the answer listed again.
    void expectStep(Child& queries, const Step& step, FolderReads* reads = nullptr) {
        SCOPED_TRACE(step.name);
        if (reads != nullptr) reads->take();  // what the last fresh search read
        step.change();
        queries.send(std::string(step.pattern) + "\n");
        const std::string answer = queries.answer();
        const std::string report = queries.errNow();
        const Folders listed = reads != nullptr ? reads->take() : Folders{};
        const Output now = fresh(step.pattern);
        EXPECT_EQ(answer, now.out + "\n");
        EXPECT_EQ(report, now.err);
        EXPECT_NE(now.out.find(at("top.txt")), std::string::npos) << "no search of the tree";
        const auto before = lastFresh_.find(step.pattern);
        if (before != lastFresh_.end() && step.changesAnswer) {
            EXPECT_EQ(before->second != now.out, *step.changesAnswer) << "the change shows";
        }
        lastFresh_[step.pattern] = now.out;
        Folders beyond;
        std::set_difference(listed.begin(), listed.end(), step.mayList.begin(), step.mayList.end(),
                            std::inserter(beyond, beyond.end()));
        EXPECT_EQ(beyond, Folders{}) << "listed again, though the change did not touch them";
    }

    std::string root;
    Lines prefix;  // runs a program where the --queries process runs (its mount namespace)

  private:
    std::optional<TempTree> tree_;
    std::map<std::string, std::string> lastFresh_;
};

constexpr char kNoBase[] = "the store watches neither /tmp nor /dev/shm here";

TEST_F(Exactness, EachChangeIsSeenByTheNextQuery) {
    if (!plant({"/tmp", "/dev/shm"})) GTEST_SKIP() << kNoBase;
    tree().file("t/top.txt", 10);
    tree().file("t/a/one.txt", 100);
    tree().file("t/a/x/two.txt", 2);
    tree().file("t/a/x/deep/three.log", 3);
    tree().file("t/b/four.txt", 4000);
    tree().file("t/b/y/five.txt", 5);
    tree().file("t/c/six.txt", 6);
    tree().file("t/links/hard1", 7);
    tree().file("t/links/solo", 8);
    tree().dir("t/other");
    tree().file("t/swap/inside.txt", 9);
    tree().file("t/locked/secret.txt", 11);
    tree().file("out/in/sub/moved.txt", 12);
    ASSERT_EQ(link(at("links/hard1").c_str(), at("other/hard2").c_str()), 0);
    ownAll();
    FolderReads reads;
    for (const char* folder :
         {"a", "a/x", "a/x/deep", "b", "b/y", "c", "links", "other", "swap", "locked"})
        reads.watch(at(folder), folder);
    reads.watch(root, ".");

    const auto rename = [this](const std::string& from, const std::string& to) {
        ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from;
    };
    const Step steps[] = {
        {"nothing changed", [] {}, {}, false},
        {"nothing changed, another pattern", [] {}, {}, false, "*.txt"},
        {"a file created", [&] { tree().file("t/a/new.txt", 5); }, {"a"}},
        {"a file grown", [&] { append(at("a/one.txt"), "grown"); }, {"a"}},
        {"a file truncated", [&] { ASSERT_EQ(truncate(at("b/four.txt").c_str(), 0), 0); }, {"b"}},
        {"a file deleted", [&] { ASSERT_EQ(unlink(at("c/six.txt").c_str()), 0); }, {"c"}},
        {"a file renamed", [&] { rename(at("a/new.txt"), at("a/renamed.txt")); }, {"a"}},
        {"a folder renamed", [&] { rename(at("a/x"), at("a/x2")); }, {"a", "a/x", "a/x/deep"}},
        {"a folder moved out", [&] { rename(at("b/y"), tree().path("out/y")); }, {"b"}},
        {"a folder moved in, with a subtree",
         [&] { rename(tree().path("out/in"), at("c/in")); },
         {"c"}},
        {"a file with two names written through the other name",
         [&] { append(at("other/hard2"), "more"); },
         {"other"}},
        {"a second name made in another folder",
         [&] { ASSERT_EQ(link(at("links/solo").c_str(), at("other/solo2").c_str()), 0); },
         {"links", "other"}},
        {"written through the new name", [&] { append(at("other/solo2"), "more"); }, {"other"}},
        {"a folder made unreadable",
         [&] { ASSERT_EQ(chmod(at("locked").c_str(), 0), 0); },
         {".", "locked"}},
        {"the folder readable again",
         [&] { ASSERT_EQ(chmod(at("locked").c_str(), 0755), 0); },
         {".", "locked"}},
        {"a folder swapped for a link to /etc",
         [&] {
             rename(at("swap"), tree().path("out/swap"));
             tree().link("/etc", "t/swap");
         },
         {"."}},
        {"a 60-level chain created",
         [&] { tree().chain("t/c", 60, "n", "bottom.txt", 60); },
         {"c"}},
        {"a dot folder created", [&] { tree().file("t/a/.dot/hidden.txt", 1); }, {"a"}, false},
        {"the searched folder replaced by another of its name",
         [&] {
             rename(root, tree().path("out/t"));
             tree().file("t/top.txt", 13);
             tree().file("t/a/one.txt", 14);
         },
         {}},
    };

    Child queries(queriesCommand(), {.settle = true});
    expectStep(queries, {"the first query walks", [] {}});
    for (const Step& step : steps) expectStep(queries, step, &reads);
    const Output end = queries.finish();
    EXPECT_EQ(end.status, 0) << end.err;
}

// A file the store read with one name gets a second name where no search lists it (a dot name,
// a dot folder, a folder nobody may read), and is written through it: the next answer shows the
// size a fresh search does.
TEST_F(Exactness, ANameNoSearchListsStillMakesAFileManyNamed) {
    if (!plant({"/tmp", "/dev/shm"})) GTEST_SKIP() << kNoBase;
    tree().file("t/top.txt", 10);
    tree().file("t/a/f.txt", 5);
    tree().file("t/a/g.txt", 6);
    tree().file("t/a/h.txt", 7);
    tree().dir("t/b");
    tree().file("t/.d/old.txt", 1);
    tree().dir("t/shut");
    ownAll();
    const auto linkAs = [this](const char* from, const char* to) {
        ASSERT_EQ(link(at(from).c_str(), at(to).c_str()), 0) << to;
    };
    const Step steps[] = {
        {"a dot name in another folder", [&] { linkAs("a/f.txt", "b/.f"); }, {}, false},
        {"written through it", [&] { append(at("b/.f"), "grown"); }},
        {"a name in a dot folder", [&] { linkAs("a/g.txt", ".d/g"); }, {}, false},
        {"written through it", [&] { append(at(".d/g"), "grown"); }},
        {"a folder its owner may add names to, not list",
         [&] { ASSERT_EQ(chmod(at("shut").c_str(), 0300), 0); },
         {},
         false},
        {"a name in it", [&] { linkAs("a/h.txt", "shut/h"); }, {}, false},
        {"written through it", [&] { append(at("shut/h"), "grown"); }},
    };
    Child queries(queriesCommand(), {.settle = true});
    expectStep(queries, {"the first query walks", [] {}});
    for (const Step& step : steps) expectStep(queries, step);
    EXPECT_EQ(queries.finish().status, 0);
}

// Changes of every kind, drawn at random (a fixed seed), a few between two queries of a store
// that trusts all it keeps: every answer equals a fresh search made right after it.
TEST_F(Exactness, RandomChangesBetweenQueriesAreAllSeen) {
    if (!plant({"/dev/shm", "/tmp"})) GTEST_SKIP() << kNoBase;
    namespace fs = std::filesystem;
    std::mt19937 random(20261207);
    const auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    const auto name = [&] {
        static const char* const kNames[] = {"a", "B.txt", "c.mp3", ".d", "e f", "g.TXT"};
        return std::string(kNames[pick(6)]) + std::to_string(pick(20));
    };
    const auto under = [&](bool files) {
        std::vector<std::string> found{files ? std::string() : root};
        for (const auto& e :
             fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied))
            if (std::error_code ignored; e.is_directory(ignored) != files && !e.is_symlink(ignored))
                found.push_back(e.path());
        if (files) found.erase(found.begin());
        std::erase(found, at("top.txt"));  // the one the checks look for
        return found;
    };
    tree().file("t/top.txt", 1);
    for (int i = 0; i < 40; ++i) {
        const std::vector<std::string> folders = under(false);
        const std::string path = folders[pick(folders.size())] + "/" + name();
        std::error_code ignored;
        if (pick(3) == 0)
            fs::create_directory(path, ignored);
        else
            std::ofstream(path) << std::string(pick(40), 'x');
    }
    ownAll();
    std::vector<int> held;  // files written to after their name went
    const auto change = [&] {
        const std::vector<std::string> folders = under(false), files = under(true);
        const std::string folder = folders[pick(folders.size())];
        if (files.empty()) return (void)(std::ofstream(folder + "/" + name()) << "new");
        const std::string file = files[pick(files.size())];
        std::error_code ignored;
        switch (pick(9)) {
            case 0:
                std::ofstream(folder + "/" + name()) << "new";
                break;
            case 1:
                append(file, std::string(1 + pick(30), 'y'));
                break;
            case 2:
                fs::resize_file(file, pick(3), ignored);
                break;
            case 3:
                fs::remove(file, ignored);
                break;
            case 4:
                fs::rename(file, folders[pick(folders.size())] + "/" + name(), ignored);
                break;
            case 5:
                if (folder != root) fs::rename(folder, tree().path("out/") + name(), ignored);
                break;
            case 6:
                fs::create_hard_link(file, folders[pick(folders.size())] + "/" + name(), ignored);
                break;
            case 7:
                fs::create_directories(folder + "/" + name() + "/" + name(), ignored);
                break;
            case 8:
                if (const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC); fd >= 0) {
                    held.push_back(fd);
                    unlink(file.c_str());
                    EXPECT_EQ(write(fd, "zz", 2), 2);
                }
                break;
        }
    };
    Child queries(queriesCommand(), {.settle = true});
    expectStep(queries, {"the first query walks", [] {}});
    static const char* const kPatterns[] = {"*.*", "*.TXT", "t*", "*"};  // all find top.txt
    for (int step = 0; step < 60; ++step) {
        Step s{"random changes", [&] {
                   for (std::size_t n = 1 + pick(3); n > 0; --n) change();
               }};
        s.pattern = kPatterns[pick(4)];
        s.changesAnswer = std::nullopt;  // whether the answer changes is the draw's
        expectStep(queries, s);
    }
    for (const int fd : held) close(fd);
    EXPECT_EQ(queries.finish().status, 0);
}

// 20,000 files created at once overflow the default queue of 16,384 events: what else changed
// meanwhile (one more file in another folder) is lost to the queue, and must still be seen.
TEST_F(Exactness, AnOverflowedQueueForgetsNothing) {
    std::size_t queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    constexpr int kFiles = 20000;
    if (queued >= kFiles)
        GTEST_SKIP() << "max_queued_events is " << queued << ": " << kFiles
                     << " files do not overflow it";
    if (!plant({"/dev/shm", "/tmp"})) GTEST_SKIP() << kNoBase;  // files are quicker made in memory
    tree().file("t/top.txt", 1);
    tree().dir("t/bulk");
    tree().dir("t/b");
    ownAll();
    Child queries(queriesCommand(), {.settle = true});
    expectStep(queries, {"the first query walks", [] {}});
    expectStep(queries, {"20,000 files created at once, then one elsewhere", [&] {
                             for (int i = 0; i < kFiles; ++i) {
                                 const std::string name = at("bulk/f" + std::to_string(i));
                                 const int fd = open(name.c_str(), O_CREAT | O_WRONLY, 0644);
                                 ASSERT_GE(fd, 0);
                                 close(fd);
                             }
                             tree().file("t/b/late.txt", 2);
                         }});
    EXPECT_EQ(queries.finish().status, 0);
}

// A file written through a descriptor whose name is gone (removed while the file was open, or an
// O_TMPFILE file that never had the name it was given later) is still listed under its other
// name, and the write must show there.
TEST_F(Exactness, AWriteThroughANameThatIsGoneIsSeen) {
    if (!plant({"/tmp", "/dev/shm"})) GTEST_SKIP() << kNoBase;
    tree().file("t/top.txt", 1);
    tree().file("t/A/f.txt");
    append(at("A/f.txt"), "12345");
    ASSERT_EQ(link(at("A/f.txt").c_str(), at("A/g2.txt").c_str()), 0);
    tree().file("t/B/w.txt", 5);
    tree().file("t/A/k.txt", 3);
    tree().file("t/C/c.txt", 1);
    ownAll();
    int held = -1, unnamed = -1, heldElsewhere = -1, unnamedElsewhere = -1;
    const auto writeThrough = [](const int& fd) {
        return [&fd] {
            const std::string bytes(1000, 'x');
            ASSERT_EQ(write(fd, bytes.data(), bytes.size()), 1000);
        };
    };
    // An O_TMPFILE file made in `folder`, linked in as `name`; its descriptor goes to `fd`.
    const auto linkUnnamed = [&](int& fd, const char* folder, const char* name) {
        return [&fd, folder, name, this] {
            fd = open(at(folder).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            ASSERT_EQ(linkat(AT_FDCWD, self.c_str(), AT_FDCWD, at(name).c_str(), AT_SYMLINK_FOLLOW),
                      0);
        };
    };
    const Step steps[] = {
        {"f.txt opened for appending, then removed",
         [&] {
             held = open(at("A/f.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
             ASSERT_GE(held, 0);
             ASSERT_EQ(unlink(at("A/f.txt").c_str()), 0);
         }},
        {"1,000 bytes written through its descriptor", writeThrough(held)},
        {"an O_TMPFILE file linked into A", linkUnnamed(unnamed, "A", "A/tmp.txt")},
        {"1,000 bytes written through the O_TMPFILE descriptor", writeThrough(unnamed)},
        // Writes are told to the folder of the name the writer opened: never to A below.
        {"B/w.txt gets a second name in A, is opened, and its name in B removed",
         [&] {
             ASSERT_EQ(link(at("B/w.txt").c_str(), at("A/w2.txt").c_str()), 0);
             heldElsewhere = open(at("B/w.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
             ASSERT_GE(heldElsewhere, 0);
             ASSERT_EQ(unlink(at("B/w.txt").c_str()), 0);
         }},
        {"A changes, so that w2.txt is read again with one name",
         [&] { tree().file("t/A/n.txt", 1); }},
        {"1,000 bytes written through B's gone name", writeThrough(heldElsewhere)},
        {"an O_TMPFILE file made in B is linked into A",
         linkUnnamed(unnamedElsewhere, "B", "A/t2.txt")},
        {"1,000 bytes written through it", writeThrough(unnamedElsewhere)},
        {"and 1,000 more", writeThrough(unnamedElsewhere)},
        // Told with a name A held then, which no read of A shows any more.
        {"top.txt gets a second name in A, is written through it, and that name is removed",
         [&] {
             ASSERT_EQ(link(at("top.txt").c_str(), at("A/h.txt").c_str()), 0);
             append(at("A/h.txt"), std::string(1000, 'x'));
             ASSERT_EQ(unlink(at("A/h.txt").c_str()), 0);
         }},
        // Told before C goes, but C is never read again to show that k.txt has two names now.
        {"A/k.txt gets a second name in C, is written through it, and C moves out of the tree",
         [&] {
             ASSERT_EQ(link(at("A/k.txt").c_str(), at("C/k2.txt").c_str()), 0);
             append(at("C/k2.txt"), std::string(1000, 'x'));
             ASSERT_EQ(rename(at("C").c_str(), (at("") + "/../C gone").c_str()), 0);
         }},
    };
    Child queries(queriesCommand(), {.settle = true});
    expectStep(queries, {"the first query walks", [] {}});
    for (const Step& step : steps) expectStep(queries, step);
    EXPECT_EQ(queries.finish().status, 0);
    for (const int fd : {held, unnamed, heldElsewhere, unnamedElsewhere}) close(fd);
}

// The --queries process in a mount namespace of its own, where the test mounts a tmpfs beside the
// tree (which keeps it: nothing is listed again), then over a folder it keeps, makes a file there,
// and unmounts it again.
TEST_F(Exactness, AMountOverAKeptFolderIsNotEntered) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    if (Child({"unshare", "-m", "--propagation", "private", "true"}).finish().status != 0)
        GTEST_SKIP() << "unshare -m is not allowed here";
    if (!plant({"/tmp", "/dev/shm"})) GTEST_SKIP() << kNoBase;
    tree().file("t/top.txt", 1);
    tree().file("t/mnt/under.txt", 2);
    ownAll();
    Lines command = queriesCommand();
    command.insert(command.begin(), {"unshare", "-m", "--propagation", "private"});
    FolderReads reads;
    reads.watch(root, ".");
    reads.watch(at("mnt"), "mnt");
    Child queries(command, {.settle = true});
    expectStep(queries, {"the first query walks", [] {}});
    prefix = {"nsenter", "-t", std::to_string(queries.pid()), "-m"};
    const auto inNamespace = [&](Lines argv) {
        argv.insert(argv.begin(), prefix.begin(), prefix.end());
        ASSERT_EQ(Child(argv).finish().status, 0) << argv[4];
    };
    expectStep(queries,
               {"a tmpfs mounted beside the tree",
                [&] {
                    inNamespace({"mount", "-t", "tmpfs", "quarvex-test", tree().path("out")});
                },
                {},
                false},
               &reads);
    expectStep(queries, {"a tmpfs mounted over a kept folder, a file made on it", [&] {
                             inNamespace({"mount", "-t", "tmpfs", "quarvex-test", at("mnt")});
                             inNamespace({"touch", at("mnt/on-tmpfs.txt")});
                         }});
    EXPECT_EQ(fresh("*.*").out.find("under.txt"), std::string::npos) << "the mount hides it";
    expectStep(queries, {"the tmpfs unmounted", [&] { inNamespace({"umount", at("mnt")}); }});
    EXPECT_EQ(queries.finish().status, 0);
}

// Each line is answered as a one-shot search of it is: an empty line as an empty box ("*.*"), a
// pattern naming a path refused on standard error with an empty answer, and the next line still
// answered. The end of input ends the program with 0, whatever the last answer was.
TEST(Queries, EachLineIsAnsweredAsTheOneShotSearchOfIt) {
    TempTree tree;
    tree.file("a.txt", 1);
    tree.file("sub/b.doc", 2);
    tree.file("other/c.doc", 3);
    const std::string root = tree.root();
    const std::pair<std::string, Lines> cases[] = {
        {"", {"", root}},
        {"sub/*.doc", {"sub/*.doc", root}},
        {"*.doc\t" + tree.path("other"), {"*.doc", tree.path("other")}},
        {"*.txt\r", {"*.txt", root}},  // a CRLF line end
        {"*.zip", {"*.zip", root}},    // the last line, without a line end
    };
    for (const char end : {'\n', '\0'}) {
        const Lines options = end == '\0' ? Lines{"-0"} : Lines{};
        std::string input, out, err;
        for (const auto& [line, oneShot] : cases) {
            input += line + (&line == &std::end(cases)[-1].first ? "" : "\n");
            Lines argv{QUARVEX_FIND};
            argv.insert(argv.end(), options.begin(), options.end());
            argv.insert(argv.end(), oneShot.begin(), oneShot.end());
            const Output one = Child(argv).finish();
            out += one.out + end;
            err += one.err;
        }
        Lines argv{QUARVEX_FIND, "--queries", root};
        argv.insert(argv.begin() + 1, options.begin(), options.end());
        Child queries(argv);
        queries.send(input);
        const Output got = queries.finish();
        EXPECT_EQ(got.out, out);
        EXPECT_EQ(got.err, err);
        EXPECT_NE(got.err.find("文件名中不能包含路径符号 /\n"), std::string::npos);
        EXPECT_EQ(got.status, 0);
    }
}

// A NUL in a line's pattern or roots would cut a path short and search (and show) another: such
// a line is refused with a word on standard error and an empty answer, and the next is answered.
TEST(Queries, ALineHoldingANulIsRefusedAndTheNextAnswered) {
    TempTree tree;
    tree.file("d/a.txt", 3);
    TempTree elsewhere;
    elsewhere.file("d/a.txt", 3);
    Child queries({QUARVEX_FIND, "-0", "--queries", tree.root()});
    queries.send("*.txt\t" + tree.root() + std::string(1, '\0') + elsewhere.root() + "\n" + "*.t" +
                 std::string(1, '\0') + "xt\n*.txt\n");
    const Output got = queries.finish();
    EXPECT_EQ(got.out, std::string("\0\0", 2) + tree.path("d/a.txt") + " ----- 3 Bytes" +
                           std::string("\0\0", 2));
    const std::string refused =
        "quarvex-find: a query may not hold a NUL character; it was not "
        "searched\n";
    EXPECT_EQ(got.err.rfind(refused + refused, 0), 0u) << got.err;
    EXPECT_EQ(got.status, 0);
}

TEST(Queries, AStopWhileWaitingForAQueryEndsTheProgram) {
    TempTree tree;
    tree.file("a.txt", 1);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        Child queries({QUARVEX_FIND, "--queries", tree.root()});
        queries.send("*.txt\n");
        EXPECT_EQ(queries.answer(), tree.path("a.txt") + " ----- 1 Bytes\n\n");
        kill(queries.pid(), number);
        const Output end = queries.finish(false);  // the input stays open
        EXPECT_EQ(end.status, 128 + number);
        EXPECT_EQ(end.out, "");
    }
}

TEST(Queries, AClosedOutputIsAWriteError) {
    TempTree tree;
    tree.file("a.txt", 1);
    Child queries({QUARVEX_FIND, "--queries", tree.root()}, {.ignorePipe = true});
    queries.send("*.txt\n");
    EXPECT_EQ(queries.answer(), tree.path("a.txt") + " ----- 1 Bytes\n\n");
    queries.closeOutput();
    queries.send("*.txt\n");
    const Output end = queries.finish(false);
    EXPECT_EQ(end.status, 3);
    EXPECT_TRUE(end.err.ends_with("\nquarvex-find: write error: Broken pipe\n")) << end.err;
}

}  // namespace
}  // namespace quarvex::test
