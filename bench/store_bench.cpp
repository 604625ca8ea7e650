// quarvex-store-bench [-j N] [--runs N] ROOT [PATTERN...]: the listing store's memory and its
// searches timed in one process, for bench.py's store section. With a window that only counts:
//   1. one search of the first PATTERN without the store (a one-shot quarvex-find's walk);
//   2. the store kept, the first search of that PATTERN, which walks and keeps; then the
//      background pass is waited for (ListingStore::settle);
//   3. each PATTERN searched again --runs times, answered from the store;
//   4. the store dropped, to measure the heap it held.
// Then a walk of ROOT of its own, by the search's rules (every entry kept, dot folders and links
// not entered), counts what the store should hold: folders, entries, files and the bytes of
// their names. Prints lines of key=value pairs:
//   search pattern=P store=no|first|repeat seconds=S min_seconds=S cpu_seconds=S lines=N
//          line_bytes=B   (medians; cpu: the process's CPU time, all threads)
//   settle seconds=S cpu_seconds=S
//   store bytes=B heap_bytes=B folders=N peak_rss_kb=K
//   tree folders=N entries=N files=N name_bytes=B
//   layout entry=B folder=B child=B tight_bytes=B   (the store's figure without unused capacity)
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "search/core/search_core.h"
#include "search/core/window.h"
#include "search/store/listing_store.h"

namespace {

using BenchClock = std::chrono::steady_clock;

// A window without a screen: it counts the result lines and their bytes (each with its
// newline, as quarvex-find prints them to a pipe).
class CountingWindow : public quarvex::Window {
  public:
    std::size_t lines = 0;
    std::size_t lineBytes = 0;

    void setCaption(const std::string&) override {}
    bool command1Enabled() const override { return command1_; }
    void setCommand1Enabled(bool enabled) override { command1_ = enabled; }
    bool command2Enabled() const override { return command2_; }
    void setCommand2Enabled(bool enabled) override { command2_ = enabled; }
    void comboAdd(const std::string& entry) override { entries_.push_back(entry); }
    std::size_t comboCount() const override { return entries_.size(); }
    std::string comboEntry(std::size_t index) const override { return entries_.at(index); }
    std::string comboText() const override { return comboText_; }
    bool setComboText(const std::string& text) override {
        comboText_ = text;
        return true;
    }
    std::string text1() const override { return text1_; }
    void setText1(const std::string& text) override { text1_ = text; }
    void listClear() override { lines = lineBytes = 0; }
    void listAdd(std::string_view line) override {
        ++lines;
        lineBytes += line.size() + 1;
    }
    std::size_t listCount() const override { return lines; }
    void listSelect(std::size_t) override {}
    std::ptrdiff_t listSelectedIndex() const override { return -1; }
    std::string listLine(std::size_t) const override { return {}; }
    int messageBox(quarvex::BoxKind, const std::string&) override { return quarvex::kIdOk; }
    void pumpEvents() override {}

  private:
    bool command1_ = true;
    bool command2_ = true;
    std::vector<std::string> entries_;
    std::string comboText_;
    std::string text1_;
};

double secondsSince(BenchClock::time_point start) {
    return std::chrono::duration<double>(BenchClock::now() - start).count();
}

// Bytes the heap hands out now, all arenas and mapped chunks included.
std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// The peak resident set of this program. Not getrusage's ru_maxrss: Linux carries that across
// exec, so it would report a larger parent's peak.
long peakRssKb() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmHWM: %ld", &kb) == 1) break;
    std::fclose(status);
    return kb;
}

struct TreeCount {
    std::size_t folders = 0;     // entered, the root included
    std::size_t entries = 0;     // kept in some folder's listing
    std::size_t files = 0;       // entries that are no folder, but dot files
    std::size_t subfolders = 0;  // entries a walk enters
    std::size_t nameBytes = 0;
};

// What the store holds of `root`, counted by the search's rules; iterative, any depth.
bool countTree(const std::string& root, TreeCount& count) {
    std::vector<std::pair<int, bool>> pending;  // a folder, and whether it lies under a dot name
    const int top = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) return false;
    pending.emplace_back(top, false);
    while (!pending.empty()) {
        const auto [fd, inDot] = pending.back();
        pending.pop_back();
        DIR* dir = fdopendir(fd);
        if (dir == nullptr) {
            close(fd);
            continue;
        }
        ++count.folders;
        while (const dirent* d = readdir(dir)) {
            const std::string_view name(d->d_name);
            if (name == "." || name == "..") continue;
            unsigned char type = d->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st {};
                if (fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                    type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
            }
            ++count.entries;
            count.nameBytes += name.size();
            if (type != DT_DIR) {
                count.files += name[0] != '.' && !inDot;
            } else {  // dot folders too: the store keeps them, to hear of every name a file gets
                ++count.subfolders;
                const int child =
                    openat(dirfd(dir), d->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child >= 0) pending.emplace_back(child, inDot || name[0] == '.');
            }
        }
        closedir(dir);
    }
    return true;
}

// CPU seconds of the whole process, all threads: less shaken than wall time by a busy machine.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timed {
    double median = 0;
    double least = 0;
    double cpuMedian = 0;
};

Timed timeSearch(quarvex::SearchCore& search, CountingWindow& window, const std::string& pattern,
                 int runs) {
    std::vector<double> times;
    std::vector<double> cpu;
    for (int i = 0; i < runs; ++i) {
        window.setText1(pattern);
        const auto start = BenchClock::now();
        const double cpuStart = cpuSeconds();
        search.Command1_Click();
        times.push_back(secondsSince(start));
        cpu.push_back(cpuSeconds() - cpuStart);
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    return {times[times.size() / 2], times.front(), cpu[cpu.size() / 2]};
}

void printSearch(const std::string& pattern, const char* store, const Timed& timed,
                 const CountingWindow& window) {
    std::printf(
        "search pattern=%s store=%s seconds=%.6f min_seconds=%.6f cpu_seconds=%.6f lines=%zu "
        "line_bytes=%zu\n",
        pattern.c_str(), store, timed.median, timed.least, timed.cpuMedian, window.lines,
        window.lineBytes);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned threads = 0;
    int runs = 5;
    std::vector<std::string> operands;
    bool valid = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-j" || arg == "--runs") && i + 1 < argc) {
            const int value = std::atoi(argv[++i]);
            valid = valid && value >= 1;
            if (arg == "-j")
                threads = static_cast<unsigned>(value);
            else
                runs = value;
        } else {
            operands.push_back(arg);
        }
    }
    if (!valid || operands.empty()) {
        std::fprintf(stderr, "Usage: quarvex-store-bench [-j N] [--runs N] ROOT [PATTERN...]\n");
        return 2;
    }
    std::string root = operands[0];
    if (root.size() > 1 && root.back() == '/') root.pop_back();
    std::vector<std::string> patterns(operands.begin() + 1, operands.end());
    if (patterns.empty()) patterns = {"*.mp3", "*.txt", "*.*"};

    quarvex::posix::PosixPlatform platform;
    CountingWindow window;
    quarvex::SearchCore search(window, platform);
    if (threads != 0) search.setWorkerThreads(threads);
    search.init();
    window.setComboText(root);

    // One search without the store, then the store's first: the cost of keeping.
    printSearch(patterns[0], "no", timeSearch(search, window, patterns[0], 1), window);
    search.keepListings();
    printSearch(patterns[0], "first", timeSearch(search, window, patterns[0], 1), window);
    quarvex::ListingStore& store = *search.listingStore();
    const auto settleStart = BenchClock::now();
    const double settleCpu = cpuSeconds();
    store.settle();
    std::printf("settle seconds=%.6f cpu_seconds=%.6f\n", secondsSince(settleStart),
                cpuSeconds() - settleCpu);
    for (const std::string& pattern : patterns)
        printSearch(pattern, "repeat", timeSearch(search, window, pattern, runs), window);

    const std::size_t storeBytes = store.bytes();
    const std::size_t folders = store.folders();
    const std::size_t heapWith = heapInUse();
    search.keepListings();  // a new, empty store; the old one is freed
    const std::size_t heapWithout = heapInUse();
    std::printf("store bytes=%zu heap_bytes=%zu folders=%zu peak_rss_kb=%ld\n", storeBytes,
                heapWith > heapWithout ? heapWith - heapWithout : 0, folders, peakRssKb());

    TreeCount count;
    if (!countTree(root, count)) {
        std::fprintf(stderr, "quarvex-store-bench: cannot open %s\n", root.c_str());
        return 1;
    }
    std::printf("tree folders=%zu entries=%zu files=%zu name_bytes=%zu\n", count.folders,
                count.entries, count.files, count.nameBytes);
    // What ListingStore::bytes() would count with every string and vector at its size: the
    // rest is capacity that growth left unused.
    const std::size_t tight = sizeof(quarvex::StoredTree) + root.size() + 1 +
                              count.folders * (sizeof(quarvex::StoredFolder) + 2 * sizeof(void*)) +
                              count.nameBytes + count.entries * sizeof(quarvex::ListingEntry) +
                              count.subfolders * sizeof(quarvex::StoredChild);
    std::printf("layout entry=%zu folder=%zu child=%zu tight_bytes=%zu\n",
                sizeof(quarvex::ListingEntry), sizeof(quarvex::StoredFolder),
                sizeof(quarvex::StoredChild), tight);
    return 0;
}
