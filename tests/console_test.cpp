// quarvex-find end to end: the real program on real folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "search/text_util.h"
#include "tests/support.h"

extern char** environ;

namespace quarvex::test {
namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs quarvex-find with `args`. `whileRunning` gets the process id and the stdout descriptor
// before anything is read, so a test can act on the program while its output is held up.
Result runFind(const std::vector<std::string>& args, const std::string& cwd = "/",
               const std::function<void(pid_t, int)>& whileRunning = nullptr) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<std::string> all{QUARVEX_FIND};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    const int spawned = posix_spawn(&pid, QUARVEX_FIND, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    Result result;
    if (spawned != 0) return result;
    if (whileRunning) whileRunning(pid, outPipe[0]);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    for (int open = 2; open > 0;) {
        if (poll(fds, 2, 30000) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Console, ListsResultsAndReportsWithExitCodes) {
    TempTree tree;
    tree.file("a.TXT", 1000);
    tree.file("sub/b.txt", 0);
    tree.file("sub/c.doc", 2500);
    tree.file(".hidden/d.txt", 1);

    Result found = runFind({"*.txt", tree.root()});
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(sorted(linesOf(found.out)), sorted({tree.path("a.TXT") + " ----- 1,000 Bytes",
                                                  tree.path("sub/b.txt") + " -----  Bytes"}));
    EXPECT_EQ(found.err, "搜索完成,共查找到 2 个文件\n\n总占空间: 1,000 Bytes\n");

    Result none = runFind({"*.mp3", tree.root()});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "搜索完成,未找到符合的文件\n");

    // Defaults: every file of the current folder; a pattern without a dot gets "*.*".
    Result defaults = runFind({}, tree.path("sub"));
    EXPECT_EQ(sorted(linesOf(defaults.out)),
              sorted({tree.path("sub/b.txt") + " -----  Bytes",
                      tree.path("sub/c.doc") + " ----- 2,500 Bytes"}));
    Result prefix = runFind({"c"}, tree.path("sub"));
    EXPECT_EQ(prefix.out, tree.path("sub/c.doc") + " ----- 2,500 Bytes\n");
}

TEST(Console, SearchesSeveralRootsInOrder) {
    TempTree tree;
    tree.file("x/1.txt", 1);
    tree.file("y/2.txt", 2);
    Result r = runFind({"*.txt", "  " + tree.path("y") + "   " + tree.path("x") + " "});
    EXPECT_EQ(r.out, tree.path("y/2.txt") + " ----- 2 Bytes\n" + tree.path("x/1.txt") +
                         " ----- 1 Bytes\n");
    // A relative root is taken from the current folder.
    Result relative = runFind({"*.txt", "x"}, tree.root());
    EXPECT_EQ(relative.out, "x/1.txt ----- 1 Bytes\n");
}

TEST(Console, RefusesBadUsageAndPathPatterns) {
    TempTree tree;
    tree.file("a.txt", 1);
    Result path = runFind({"sub/*.txt", tree.root()});
    EXPECT_EQ(path.status, 2);
    EXPECT_EQ(path.out, "");
    EXPECT_EQ(path.err, "文件名中不能包含路径符号 /\n");
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"a", "b", "c"}, {"--bogus"}, {"--drives", "x"}}) {
        Result usage = runFind(args);
        EXPECT_EQ(usage.status, 2) << args[0];
        EXPECT_EQ(usage.out, "");
        EXPECT_NE(usage.err.find("Usage: quarvex-find"), std::string::npos);
    }
    // After "--" a pattern may begin with a hyphen.
    tree.file("-x.txt", 3);
    Result dashed = runFind({"--", "-x.txt", tree.root()});
    EXPECT_EQ(dashed.out, tree.path("-x.txt") + " ----- 3 Bytes\n");
}

TEST(Console, AnswersHelpVersionAndDrives) {
    Result version = runFind({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quarvex-find 1.0.0.0\n");
    Result help = runFind({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
    Result drives = runFind({"--drives"});
    EXPECT_EQ(drives.status, 0);
    const auto lines = linesOf(drives.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().substr(2), "/");  // the root file system comes first
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("* ", 0) == 0; }),
              1);
}

TEST(Console, CtrlCStopsTheWalkAndStillReports) {
    TempTree tree;
    constexpr int kFiles = 6000;  // far more output than a pipe and the program's buffer hold
    for (int i = 0; i < kFiles; ++i)
        tree.file(
            "d" + std::to_string(i % 60) + "/a-rather-long-file-name-" + std::to_string(i) + ".txt",
            1);
    Result r = runFind({"*.txt", tree.root()}, "/", [](pid_t pid, int out) {
        // Wait until the program is blocked on a full pipe, then press Ctrl+C.
        pollfd fd{out, POLLIN, 0};
        poll(&fd, 1, 10000);
        usleep(300000);
        kill(pid, SIGINT);
    });
    EXPECT_EQ(r.status, 130);
    const auto lines = linesOf(r.out);
    EXPECT_GT(lines.size(), 0u);
    EXPECT_LT(lines.size(), static_cast<std::size_t>(kFiles));
    const std::string count = std::to_string(lines.size());
    EXPECT_EQ(r.err, "搜索完成,共查找到 " + count +
                         " 个文件\n\n总占空间: " + formatThousands(lines.size()) + " Bytes\n");
}

}  // namespace
}  // namespace quarvex::test
