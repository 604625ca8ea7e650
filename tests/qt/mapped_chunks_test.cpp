// The line store's chunks as the Qt window maps them: each starts at a huge page's boundary,
// where huge pages may back it, and holds every byte asked for.
#include "ui/qt/mapped_chunks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace quarvex::test {
namespace {

// What /proc/self/smaps says of the mapping holding `at`: whether huge pages may back it.
bool hugePagesEligible(const char* at) {
    std::ifstream smaps("/proc/self/smaps");
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> from >> dash >> to && dash == '-')
            inside = from <= address && address < to;
        else if (inside && line.rfind("THPeligible:", 0) == 0)
            return line.find('1') != std::string::npos;
    }
    return false;
}

bool hugePagesOffered() {
    std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(enabled, modes);
    return !modes.empty() && modes.find("[never]") == std::string::npos;
}

TEST(QtMappedChunks, ChunksStartAtHugePageBoundariesWhereHugePagesMayBackThem) {
    qt::MappedChunks memory;
    // A store's chunk, a line longer than a chunk, and one that is not a whole number of pages.
    for (std::size_t bytes :
         {LineStore::kChunkBytes, LineStore::kChunkBytes * 3 + 17, std::size_t{5000}}) {
        SCOPED_TRACE(bytes);
        char* chunk = memory.take(bytes);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(chunk) % qt::MappedChunks::kHugePageBytes, 0u);
        std::memset(chunk, 'x', bytes);  // every byte is there to write: a short mapping faults
        if (hugePagesOffered() && bytes >= qt::MappedChunks::kHugePageBytes) {
            EXPECT_TRUE(hugePagesEligible(chunk));
        }
        memory.giveBack(chunk, bytes);
    }
}

}  // namespace
}  // namespace quarvex::test
