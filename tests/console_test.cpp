// quarvex-find end to end: the real program on real folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "search/text/text_util.h"
#include "tests/support.h"

extern char** environ;

namespace quarvex::test {
namespace {

struct Result {
    int status = -1;  // the exit status, or -1 when a signal ended the program
    int signal = 0;   // the signal that ended it
    std::string out, err;
};

struct Launch {
    std::string cwd = "/";
    // Standard output is a pipe the test reads, unless it goes to this file or is closed.
    std::string outFile;
    bool outClosed = false;
    // Signals the program starts with ignored, as nohup or `trap '' PIPE` leave them; all other
    // stop signals start at their default.
    std::vector<int> ignored;
    // Gets the process id and the read end of standard output before anything is read, so a test
    // can act on the program while its output is held up. It may close the descriptor (and set
    // it to -1) to play a reader that goes away.
    std::function<void(pid_t, int&)> whileRunning;
    // A limit on the program's address space, in KB (ulimit -v); 0 for none.
    long addressSpaceKb = 0;
};

Result runFind(const std::vector<std::string>& args, const Launch& launch) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (launch.outClosed)
        posix_spawn_file_actions_addclose(&actions, 1);
    else if (!launch.outFile.empty())
        posix_spawn_file_actions_addopen(&actions, 1, launch.outFile.c_str(), O_WRONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, outPipe[1]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[1]);
    posix_spawn_file_actions_addchdir_np(&actions, launch.cwd.c_str());

    // An ignored signal stays ignored across exec; a caught one starts at its default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    std::vector<std::pair<int, struct sigaction>> saved;
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        if (std::find(launch.ignored.begin(), launch.ignored.end(), number) ==
            launch.ignored.end()) {
            sigaddset(&defaults, number);
            continue;
        }
        struct sigaction ignore {
        }, old{};
        ignore.sa_handler = SIG_IGN;
        sigaction(number, &ignore, &old);
        saved.emplace_back(number, old);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> all{QUARVEX_FIND};
    if (launch.addressSpaceKb != 0)
        all = {"/bin/sh", "-c",
               "ulimit -v " + std::to_string(launch.addressSpaceKb) + " && exec \"$0\" \"$@\"",
               QUARVEX_FIND};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    for (const auto& [number, old] : saved) sigaction(number, &old, nullptr);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    Result result;
    if (spawned != 0) return result;
    int out = outPipe[0];
    if (launch.whileRunning) launch.whileRunning(pid, out);
    pollfd fds[2] = {{out, POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    for (int open = out >= 0 ? 2 : 1; open > 0;) {
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
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

Result runFind(const std::vector<std::string>& args, const std::string& cwd = "/") {
    Launch launch;
    launch.cwd = cwd;
    return runFind(args, launch);
}

// Runs quarvex-find with all three standard descriptors on a pseudo-terminal, as from a shell
// in a terminal window; `out` gets what the terminal received from both outputs.
Result runOnTerminal(const std::vector<std::string>& args) {
    std::vector<std::string> all{QUARVEX_FIND};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    termios raw{};
    cfmakeraw(&raw);  // the bytes as the program wrote them: no newline translation
    winsize size{};
    size.ws_col = 300;
    size.ws_row = 40;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, &raw, &size);
    Result result;
    if (pid < 0) return result;
    if (pid == 0) {
        execv(QUARVEX_FIND, argv.data());
        _exit(127);
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) {
            result.out.append(buffer, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO: the program and its terminal are gone
        }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

// Enough files in `folder` for far more output than a pipe and the program's buffer hold: lines
// of some 270 bytes, 1.6 MB in all, beyond the 1 MiB the program makes a pipe hold and its
// quarter-megabyte block.
constexpr int kManyFiles = 6000;
void plantManyFiles(const TempTree& tree, const std::string& folder = "") {
    const std::string longName = "a-rather-long-file-name-" + std::string(200, 'n') + "-";
    for (int i = 0; i < kManyFiles; ++i)
        tree.file(folder + "d" + std::to_string(i % 60) + "/" + longName + std::to_string(i) +
                      ".txt",
                  1);
}

// Waits until the program is blocked on a full pipe.
void waitUntilBlocked(int out) {
    pollfd fd{out, POLLIN, 0};
    poll(&fd, 1, 10000);
    usleep(300000);
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

    // Exactly one file found is a success too.
    Result one = runFind({"*.doc", tree.root()});
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.err, "搜索完成,共查找到 1 个文件\n\n总占空间: 2,500 Bytes\n");
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

TEST(Console, WithoutRootsSearchesTheCurrentFolderWhateverItsName) {
    TempTree tree;
    tree.file(" sp  ace /a.txt", 1);
    tree.file("sp/b.txt", 2);  // what a split at the spaces would search instead
    tree.file("ace/c.txt", 3);
    Result r = runFind({"*.txt"}, tree.path(" sp  ace "));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, tree.path(" sp  ace /a.txt") + " ----- 1 Bytes\n");
}

TEST(Console, PrintsTheSameBytesWithOneThreadOrMany) {
    TempTree tree;
    // A tree wide and deep enough that the workers run ahead, with names a user could plant.
    const char* const names[] = {"a", "b c", "x ----- 1 Bytes", "\xff", "名", "t\tab", "n\nl"};
    int n = 0;
    for (const char* a : names)
        for (const char* b : names)
            for (const char* c : {"1", "2", "3"}) {
                tree.file(std::string(a) + "/" + b + "/" + c + "/" + std::to_string(n) + ".dat",
                          static_cast<unsigned>(n) * 1001u);
                ++n;
            }
    const Result single = runFind({"-j1", "*.dat", tree.root()});
    ASSERT_EQ(single.status, 0);
    EXPECT_NE(single.err.find(" 147 个文件"), std::string::npos) << single.err;
    for (const std::vector<std::string>& threads : std::vector<std::vector<std::string>>{
             {"-j2"}, {"--threads=8"}, {"-j", "3"}, {"--threads", "16"}}) {
        std::vector<std::string> args = threads;
        args.insert(args.end(), {"*.dat", tree.root()});
        const Result many = runFind(args);
        EXPECT_EQ(many.out, single.out) << threads[0];
        EXPECT_EQ(many.err, single.err) << threads[0];
    }
    const Result byDefault = runFind({"*.dat", tree.root()});
    EXPECT_EQ(byDefault.out, single.out);
    EXPECT_EQ(runFind({"-j1024", "*.dat", tree.path("a/a/1")}).status, 0);  // the most, on a leaf
    for (const char* bad : {"-j0", "-jx", "--threads=1025"})
        EXPECT_EQ(runFind({bad, "*.dat", tree.root()}).status, 2) << bad;
}

TEST(Console, TotalsTheLargestFilesWithoutWrapping) {
    // tmpfs takes files of 2^63 - 1 bytes, sparse; most disk file systems stop far below.
    char folder[] = "/dev/shm/quarvex-total-XXXXXX";
    if (mkdtemp(folder) == nullptr) GTEST_SKIP() << "no /dev/shm";
    bool made = true;
    for (const char* name : {"/a.bin", "/b.bin", "/c.bin"}) {
        const int fd = open((std::string(folder) + name).c_str(), O_CREAT | O_WRONLY, 0644);
        made = made && fd >= 0 && ftruncate(fd, INT64_MAX) == 0;
        if (fd >= 0) close(fd);
    }
    const Result r = made ? runFind({"*.bin", folder}) : Result{};
    removeTree(folder);
    if (!made) GTEST_SKIP() << "this /dev/shm refuses files of 2^63 - 1 bytes";
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("总占空间: 27,670,116,110,564,327,421 Bytes"), std::string::npos) << r.err;
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
    EXPECT_NE(help.out.find("3 write error"), std::string::npos);
    EXPECT_NE(help.out.find("-0, --null"), std::string::npos);
    Result drives = runFind({"--drives"});
    EXPECT_EQ(drives.status, 0);
    const auto lines = linesOf(drives.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().substr(2), "/");  // the root file system comes first
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("* ", 0) == 0; }),
              1);
}

// Every line is a whole result of the tree, and the report counts exactly those lines.
void expectWholeLinesAndTheirReport(const TempTree& tree, const Result& r) {
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n') << "the output ends inside a line";
    const auto lines = linesOf(r.out);
    EXPECT_LT(lines.size(), static_cast<std::size_t>(kManyFiles));
    for (const std::string& line : lines) {
        ASSERT_EQ(line.rfind(tree.root() + "/d", 0), 0u) << line;
        ASSERT_EQ(line.substr(line.size() - 14), " ----- 1 Bytes") << line;
    }
    EXPECT_EQ(r.err, "搜索完成,共查找到 " + std::to_string(lines.size()) +
                         " 个文件\n\n总占空间: " + formatThousands(lines.size()) + " Bytes\n");
}

TEST(Console, StopSignalsEndTheWalkWithTheReportAndWholeLines) {
    TempTree tree;
    plantManyFiles(tree);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        Launch launch;
        launch.whileRunning = [number](pid_t pid, int& out) {
            waitUntilBlocked(out);
            kill(pid, number);
        };
        const Result r = runFind({"*.txt", tree.root()}, launch);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 128 + number);
        expectWholeLinesAndTheirReport(tree, r);
    }

    // A second request, while the first waits on the blocked output, ends the program at once.
    Launch twice;
    twice.whileRunning = [](pid_t pid, int& out) {
        waitUntilBlocked(out);
        kill(pid, SIGTERM);
        usleep(200000);  // the first one is taken, not merged with the second
        kill(pid, SIGTERM);
    };
    EXPECT_EQ(runFind({"*.txt", tree.root()}, twice).signal, SIGTERM);

    // Started with SIGHUP ignored, as by nohup, a hang-up leaves the walk alone.
    Launch nohup;
    nohup.ignored = {SIGHUP};
    nohup.whileRunning = [](pid_t pid, int& out) {
        waitUntilBlocked(out);
        kill(pid, SIGHUP);
    };
    const Result r = runFind({"*.txt", tree.root()}, nohup);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(linesOf(r.out).size(), static_cast<std::size_t>(kManyFiles));
}

TEST(Console, AFailedWriteIsAnErrorNotASuccess) {
    TempTree tree;
    plantManyFiles(tree);
    const std::vector<std::string> search{"*.txt", tree.root()};

    Launch full;
    full.outFile = "/dev/full";
    Result r = runFind(search, full);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "quarvex-find: write error: No space left on device\n");

    Launch closed;
    closed.outClosed = true;
    r = runFind(search, closed);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "quarvex-find: write error: Bad file descriptor\n");

    // A reader that goes away after the first line, as `| head -1` does, with SIGPIPE ignored.
    Launch head;
    head.ignored = {SIGPIPE};
    head.whileRunning = [](pid_t, int& out) {
        char c = 0;
        while (read(out, &c, 1) == 1 && c != '\n') {
        }
        close(out);
        out = -1;
    };
    r = runFind(search, head);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "quarvex-find: write error: Broken pipe\n");
    // With SIGPIPE at its default the signal ends it, silently, as it ends find and grep.
    head.ignored.clear();
    r = runFind(search, head);
    EXPECT_EQ(r.signal, SIGPIPE) << r.status;
    EXPECT_EQ(r.err, "");

    // The answers that need no search do not pretend either.
    for (const char* option : {"--help", "--version", "--drives"}) {
        r = runFind({option}, full);
        EXPECT_EQ(r.status, 3) << option;
        EXPECT_EQ(r.err, "quarvex-find: write error: No space left on device\n") << option;
    }
}

TEST(Console, RunningOutOfMemoryIsAnErrorNotASuccess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under such a limit";
#endif
    // One file in the first root; in the second a folder whose listing takes some 6 MB.
    TempTree tree("/dev/shm");
    tree.file("first/a.dat", 1);
    const std::string longName(240, 'x');
    for (int i = 0; i < 20000; ++i)
        tree.file("second/big/" + longName + std::to_string(i) + ".dat");
    // The least address space in which the first root alone is searched, to a megabyte.
    long least = 4 << 10, most = 1 << 20;
    Launch limited;
    while (most - least > 1024) {
        limited.addressSpaceKb = (least + most) / 2;
        (runFind({"-j1", "*.dat", tree.path("first")}, limited).status == 0 ? most : least) =
            limited.addressSpaceKb;
    }
    const std::vector<std::string> both{"-j1", "*.dat",
                                        tree.path("first") + " " + tree.path("second")};
    limited.addressSpaceKb = most + (2 << 10);
    const Result r = runFind(both, limited);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, tree.path("first/a.dat") + " ----- 1 Bytes\n");
    EXPECT_NE(r.err.find("内存不足,搜索已停止"), std::string::npos) << r.err;
    // Room enough: the whole answer, and success.
    limited.addressSpaceKb = most + (64 << 10);
    EXPECT_EQ(runFind(both, limited).status, 0);
}

TEST(Console, NullEndsEachResultSoNoNamePassesForOne) {
    TempTree tree;
    const std::string forged = "z ----- 1 Bytes\n/etc/shadow";
    tree.file(forged, 5);
    tree.file("a.txt", 2);
    const std::string nul(1, '\0');

    // A pipe gets the name's exact bytes: read by lines, it shows a result that does not exist.
    Result plain = runFind({"*", tree.root()});
    EXPECT_EQ(sorted(linesOf(plain.out)),
              sorted({tree.path("a.txt") + " ----- 2 Bytes", tree.path("z ----- 1 Bytes"),
                      "/etc/shadow ----- 5 Bytes"}));

    for (const char* option : {"-0", "--null"}) {
        Result r = runFind({option, "*", tree.root()});
        EXPECT_EQ(r.status, 0) << option;
        ASSERT_FALSE(r.out.empty());
        EXPECT_EQ(r.out.back(), '\0');
        std::vector<std::string> records;
        std::istringstream in(r.out);
        for (std::string record; std::getline(in, record, '\0');) records.push_back(record);
        EXPECT_EQ(sorted(records), sorted({tree.path("a.txt") + " ----- 2 Bytes",
                                           tree.path(forged) + " ----- 5 Bytes"}))
            << option;
    }
    // After "--" it is a pattern like any other.
    EXPECT_EQ(runFind({"--", "-0", tree.root()}).status, 1);
}

TEST(Console, ATerminalShowsControlCharactersAsQuestionMarks) {
    TempTree tree;
    // The folder's name retitles the terminal and clears the screen where it is written raw.
    const std::string folder = "t\x1b]0;owned\x07\x1b[2J";
    const std::vector<std::pair<std::string, std::string>> names{
        {"a\nb.txt", "a?b.txt"},  // C0: a line of its own
        {"c\xc2\x9b"
         "2J.txt",
         "c?2J.txt"},                          // C1 (CSI) as UTF-8
        {"d\x7f\x1b[31m.txt", "d??[31m.txt"},  // DEL, and a colour
        {"e\x9b"
         "1m.txt",
         "e?1m.txt"},                  // a lone byte, CSI to an 8-bit terminal
        {"中文 é.txt", "中文 é.txt"},  // printable text stays
    };
    for (std::size_t i = 0; i < names.size(); ++i) tree.file(folder + "/" + names[i].first, i + 1);
    const std::string shownRoot = tree.path("t?]0;owned??[2J");

    const Result screen = runOnTerminal({"*.txt", tree.path(folder)});
    EXPECT_EQ(screen.status, 0);
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_NE(screen.out.find(shownRoot + "/" + names[i].second + " ----- " +
                                  std::to_string(i + 1) + " Bytes\n"),
                  std::string::npos)
            << names[i].second;
    EXPECT_NE(screen.out.find("\r正在查找 " + shownRoot + "/\x1b[K"), std::string::npos)
        << "the progress line";
    EXPECT_NE(screen.out.find("搜索完成,共查找到 5 个文件\n\n总占空间: 15 Bytes\n"),
              std::string::npos);
    // Only the program's own sequence (erase to the end of the line) reaches the terminal.
    for (std::size_t at = screen.out.find('\x1b'); at != std::string::npos;
         at = screen.out.find('\x1b', at + 1))
        EXPECT_EQ(screen.out.compare(at, 3, "\x1b[K"), 0) << at;
    for (const char* raw : {"\x07", "\x7f", "\xc2\x9b", "\x9b"})
        EXPECT_EQ(screen.out.find(raw), std::string::npos);

    // A pipe gets the exact bytes.
    const Result piped = runFind({"*.txt", tree.path(folder)});
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_NE(piped.out.find(tree.path(folder + "/" + names[i].first) + " ----- "),
                  std::string::npos);
}

}  // namespace
}  // namespace quarvex::test
