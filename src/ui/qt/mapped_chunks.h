// Chunks of the result lines mapped whole at once: a million lines fill tens of megabytes, and
// the system's page faults, one page at a time, cost more than the lines (most of all under a
// virtual machine).
#pragma once

#include <cstddef>

#include "ui/line_store.h"

namespace quarvex::qt {

class MappedChunks final : public ChunkMemory {
  public:
    char* take(std::size_t bytes) override;
    void giveBack(char* chunk, std::size_t bytes) override;
};

}  // namespace quarvex::qt
