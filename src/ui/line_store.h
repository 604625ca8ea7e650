// The result list's lines, as both windows keep them: UTF-8 bytes in large chunks plus one 64-bit
// start per line. A million lines cost their bytes plus 8 bytes each, and growing never copies
// old lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace quarvex {

class LineStore {
  public:
    static constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

    void append(std::string_view line);
    std::string_view at(std::size_t index) const;
    std::size_t size() const { return starts_.size(); }
    // Bytes of all lines, without any terminators.
    std::size_t bytes() const { return bytes_; }
    // Bytes the store holds from the allocator, for the memory budget.
    std::size_t allocatedBytes() const;
    void clear();

  private:
    struct Chunk {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
        std::size_t used = 0;
    };

    // A line's start: chunk index in the high 32 bits, offset in the low 32.
    std::vector<std::uint64_t> starts_;
    std::vector<Chunk> chunks_;
    std::size_t bytes_ = 0;
};

}  // namespace quarvex
