// Chunks of the result lines mapped whole at once: a million lines fill tens of megabytes, and
// the system's page faults, one page at a time, cost more than the lines (most of all under a
// virtual machine).
#pragma once

#include <cstddef>

#include "ui/line_store.h"

namespace quarvex::qt {

class MappedChunks final : public ChunkMemory {
  public:
    // Where a chunk starts: a huge page's size on x86-64 and on arm64 with 4 KiB pages.
    static constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

    char* take(std::size_t bytes) override;
    void giveBack(char* chunk, std::size_t bytes) override;
};

}  // namespace quarvex::qt
