#include "ui/line_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace quarvex {
namespace {

// Chunks from a front end's memory, each given back once with the size it was taken with.
struct CountedMemory : ChunkMemory {
    std::vector<std::pair<char*, std::size_t>> out;
    std::size_t taken = 0;
    char* take(std::size_t bytes) override {
        ++taken;
        out.emplace_back(new char[bytes], bytes);
        return out.back().first;
    }
    void giveBack(char* chunk, std::size_t bytes) override {
        const auto it = std::find(out.begin(), out.end(), std::pair{chunk, bytes});
        ASSERT_NE(it, out.end()) << "a chunk given back that was not taken so";
        delete[] chunk;
        out.erase(it);
    }
};

// Lines of every awkward kind, across chunk boundaries: empty ones, ones with NUL bytes and
// non-UTF-8 bytes, one exactly filling a chunk's rest, one longer than a whole chunk; from the
// heap or a front end's memory.
TEST(LineStore, GivesBackEveryLineByteForByteAcrossChunks) {
    std::vector<std::string> lines = {"", "/a ----- 1 Bytes", std::string("nul\0inside", 10),
                                      "\xff\xfe not utf-8", "/路径/文件.txt ----- 3,500 Bytes"};
    std::size_t used = 0;
    for (const auto& l : lines) used += l.size();
    lines.push_back(std::string(LineStore::kChunkBytes - used, 'x'));  // fills the first chunk
    lines.push_back("first of the second chunk");
    lines.push_back(std::string(LineStore::kChunkBytes + 17, 'y'));  // a chunk of its own
    lines.push_back("");
    lines.push_back("after the big one");
    for (int i = 0; i < 50000; ++i) lines.push_back("/tmp/tree/d" + std::to_string(i) + "/f.txt");
    // Neighbours that part at every byte of a few machine words, or where one ends.
    const std::string path = "/home/user/Music/albums/2024/track-one.mp3";
    for (std::size_t at = 0; at < path.size(); ++at) {
        lines.push_back(path);
        lines.push_back(path.substr(0, at) + '#' + path.substr(at + 1));
        lines.push_back(path.substr(0, at));
    }

    CountedMemory memory;
    for (ChunkMemory* from :
         {static_cast<ChunkMemory*>(nullptr), static_cast<ChunkMemory*>(&memory)}) {
        LineStore store(from);
        std::size_t bytes = 0;
        for (const auto& l : lines) {
            store.append(l);
            bytes += l.size();
        }
        ASSERT_EQ(store.size(), lines.size());
        EXPECT_EQ(store.bytes(), bytes);
        for (std::size_t i = 0; i < lines.size(); ++i)
            ASSERT_EQ(store.at(i), lines[i]) << "line " << i;
        // Backwards, each line is put together from its restart.
        for (std::size_t i = lines.size(); i-- > 0;)
            ASSERT_EQ(store.at(i), lines[i]) << "line " << i << ", backwards";
        if (from == nullptr) continue;
        EXPECT_GE(memory.taken, 3u);
        store.clear();
        EXPECT_TRUE(memory.out.empty());
        store.append("again");  // and given back when the store goes
    }
    EXPECT_TRUE(memory.out.empty());
}

// The budget: lines of one folder keep their path once a line before them, so a million lines
// from one folder take what follows it, 8 bytes a line, and a chunk's slack for each part.
TEST(LineStore, HoldsAMillionLinesOfOneFolderInLessThanTheirBytes) {
    LineStore store;
    std::string line = "/home/user/Music/Some Album/track-0000000.mp3 ----- 4,123,456 Bytes";
    for (int i = 0; i < 1000000; ++i) {
        line.replace(line.find("track-") + 6, 7, std::to_string(10000000 + i).substr(1));
        store.append(line);
    }
    EXPECT_EQ(store.size(), 1000000u);
    // Every line is its own, across the chunks the index fills too.
    for (int i = 0; i < 1000000; ++i) {
        const std::string_view got = store.at(static_cast<std::size_t>(i));
        ASSERT_EQ(got.size(), line.size()) << i;
        ASSERT_EQ(got.substr(line.find("track-") + 6, 7), std::to_string(10000000 + i).substr(1));
    }
    const std::size_t folder = line.find("track-");
    // What follows the path and a byte for the length shared, the path again at each restart,
    // 8 bytes of index.
    const std::size_t budget = store.bytes() - folder * store.size() + store.size() +
                               folder * store.size() / LineStore::kRestart + 8 * store.size() +
                               2 * LineStore::kChunkBytes;
    EXPECT_LE(store.allocatedBytes(), budget);

    store.clear();
    EXPECT_EQ(store.size(), 0u);
    EXPECT_EQ(store.bytes(), 0u);
    EXPECT_EQ(store.allocatedBytes(), 0u);
    store.append("again");
    EXPECT_EQ(store.at(0), "again");
}

}  // namespace
}  // namespace quarvex
