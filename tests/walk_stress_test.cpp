// Many walks of one real tree with threads under descriptor pressure: parents are closed, reopened
// and released while workers race each other to them. Each walk must list exactly what -j1
// lists and close every folder it opened exactly once. Bounded by a count of walks, not a time;
// under ThreadSanitizer a race on a handle shows as a report.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "platform/posix/posix_platform.h"
#include "search/core/search_core.h"
#include "tests/support.h"

namespace quarvex::test {
namespace {

using Lines = std::vector<std::string>;

// Deep and narrow: long reopening walks give other threads time to finish the folders above.
constexpr int kCombs = 10;
constexpr int kDepth = 300;
constexpr int kLeaves = 3;
constexpr int kWalksPerThreadCount = 12;

// The real platform, keeping count of the handles it gave out: a close of one it does not hold
// (closed already, or never opened) is counted and not passed on, where it would crash.
class HandleLedger : public posix::PosixPlatform {
  public:
    OpenResult openRoot(const std::string& path) override {
        return held(PosixPlatform::openRoot(path));
    }
    OpenResult openChild(FolderHandle parent, std::string_view name) override {
        return held(PosixPlatform::openChild(parent, name));
    }
    void closeFolder(FolderHandle folder) override {
        {
            std::lock_guard lock(mutex_);
            if (open_.erase(folder) == 0) {
                ++strayCloses;
                return;
            }
        }
        PosixPlatform::closeFolder(folder);
    }
    std::size_t stillOpen() {
        std::lock_guard lock(mutex_);
        return open_.size();
    }
    std::size_t strayCloses = 0;  // under mutex_ while a walk runs

  private:
    OpenResult held(OpenResult result) {
        if (result.status == OpenStatus::Opened) {
            std::lock_guard lock(mutex_);
            open_.insert(result.handle);
        }
        return result;
    }
    std::mutex mutex_;
    std::set<FolderHandle> open_;
};

// Lowers the soft descriptor limit for its lifetime.
class DescriptorLimit {
  public:
    explicit DescriptorLimit(rlim_t soft) {
        ok_ = getrlimit(RLIMIT_NOFILE, &saved_) == 0;
        rlimit low = saved_;
        low.rlim_cur = soft;
        ok_ = ok_ && setrlimit(RLIMIT_NOFILE, &low) == 0;
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
    bool ok() const { return ok_; }

  private:
    rlimit saved_{};
    bool ok_ = false;
};

// Four folder names in the order this file system lists them (ext4 lists by a hash of the name,
// seeded per file system). The comb's chain takes the first, so that the leaves beside it wait
// while the walk goes down.
std::vector<std::string> namesInListingOrder(const TempTree& tree) {
    for (int i = 0; i < 16; ++i) tree.dir("probe/n" + std::to_string(i));
    std::vector<std::string> names;
    if (DIR* folder = opendir(tree.path("probe").c_str())) {
        while (const dirent* entry = readdir(folder))
            if (entry->d_name[0] != '.' && names.size() < 4) names.emplace_back(entry->d_name);
        closedir(folder);
    }
    removeTree(tree.path("probe"));
    return names;
}

// A chain of kDepth folders named names[0] below `comb`, with folders names[1..kLeaves] beside
// every level, each holding f.txt. Made relative to the last level, so it costs no path lookups.
void makeComb(const TempTree& tree, const std::string& comb,
              const std::vector<std::string>& names) {
    tree.dir(comb);
    int level = open(tree.path(comb).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int depth = 0; depth < kDepth && level >= 0; ++depth) {
        for (int leaf = 1; leaf <= kLeaves; ++leaf) {
            mkdirat(level, names[leaf].c_str(), 0755);
            const int file = openat(level, (names[leaf] + "/f.txt").c_str(),
                                    O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (file >= 0) close(file);
        }
        mkdirat(level, names[0].c_str(), 0755);
        const int below = openat(level, names[0].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(level);
        level = below;
    }
    if (level >= 0) close(level);
}

// Where two listings first part, or "" when they agree; whole listings are too long to print.
std::string firstDifference(const Lines& got, const Lines& want) {
    for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i)
        if (got[i] != want[i]) return "line " + std::to_string(i) + ": " + got[i] + " / " + want[i];
    if (got.size() != want.size())
        return std::to_string(got.size()) + " lines, not " + std::to_string(want.size());
    return "";
}

TEST(WalkStress, CombsUnderALowDescriptorLimitListWhatOneThreadDoes) {
    // Each comb is a chain with leaf folders beside every level: a parent stays open while its
    // leaves wait, so a deep chain runs out of descriptors and closes parents it must reopen.
    TempTree tree(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");  // made in a blink
    const std::vector<std::string> names = namesInListingOrder(tree);
    ASSERT_EQ(names.size(), 4u);
    for (int comb = 0; comb < kCombs; ++comb) makeComb(tree, "comb" + std::to_string(comb), names);
    FakeWindow window;
    window.keepCaptions = false;
    window.text1Value = "*.txt";
    window.chooseRoots(tree.root());
    HandleLedger platform;
    SearchCore core{window, platform};
    core.setWorkerThreads(1);
    core.Command1_Click();
    const Lines single = window.lines;
    ASSERT_EQ(single.size(), std::size_t(kCombs * kDepth * kLeaves));

    int walk = 0;
    for (const unsigned threads : {4u, 8u})
        for (int round = 0; round < kWalksPerThreadCount; ++round, ++walk) {
            const rlim_t limit = 48 + static_cast<rlim_t>(walk * 29 % 53);  // 48 to 100
            core.setWorkerThreads(threads);
            window.lines.clear();
            {
                DescriptorLimit low(limit);
                ASSERT_TRUE(low.ok());
                core.Command1_Click();
            }
            const std::string difference = firstDifference(window.lines, single);
            ASSERT_EQ(difference, "") << "-j" << threads << ", limit " << limit;
            ASSERT_EQ(platform.strayCloses, 0u) << "-j" << threads << ", limit " << limit;
            ASSERT_EQ(platform.stillOpen(), 0u) << "-j" << threads << ", limit " << limit;
        }
}

}  // namespace
}  // namespace quarvex::test
