// The result list's lines, as both windows keep them: UTF-8 bytes in large chunks plus one 64-bit
// start per line, itself kept in chunks. Lines of one folder share its path, so each line keeps
// only what follows the part it shares with the line before, and every kRestart-th line is kept
// whole, where reading a line begins. A million lines cost about their names and sizes plus
// 8 bytes each, and growing never copies what is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarvex {

// Where a store's chunks come from: the heap, unless a front end hands out memory that the
// system maps whole at once (where page faults one at a time cost more than the lines).
class ChunkMemory {
  public:
    // `bytes` of room, or std::bad_alloc.
    virtual char* take(std::size_t bytes) = 0;
    virtual void giveBack(char* chunk, std::size_t bytes) = 0;

  protected:
    ~ChunkMemory() = default;
};

class LineStore {
  public:
    // A huge page on x86-64 and arm64, so that a front end can map a chunk as one.
    static constexpr std::size_t kChunkBytes = std::size_t{2} << 20;

    explicit LineStore(ChunkMemory* memory = nullptr) : memory_(memory) {}
    ~LineStore() { clear(); }
    LineStore(const LineStore&) = delete;
    LineStore& operator=(const LineStore&) = delete;

    // Lines read one after another from a restart cost one record each.
    static constexpr std::size_t kRestart = 16;

    void append(std::string_view line);
    // Valid until the next call: the line is put together in a buffer of the store's. One
    // thread at a time.
    std::string_view at(std::size_t index) const;
    std::size_t size() const { return size_; }
    // Bytes of all lines, without any terminators.
    std::size_t bytes() const { return bytes_; }
    // Bytes the store holds from the allocator, for the memory budget.
    std::size_t allocatedBytes() const;
    void clear();

  private:
    struct Chunk {
        char* data = nullptr;
        std::size_t capacity = 0;
        std::size_t used = 0;
    };

    static constexpr std::size_t kStartsPerChunk = kChunkBytes / sizeof(std::uint64_t);

    char* takeChunk(std::size_t bytes);
    void giveBack(char* chunk, std::size_t bytes);
    std::uint64_t start(std::size_t index) const;
    // Line `index`'s record: the length of what it shares with the line before, and the rest.
    void record(std::size_t index, std::size_t& shared, std::string_view& rest) const;

    // A line's start: chunk index in the high 32 bits, offset in the low 32. The starts fill
    // chunks of their own, kStartsPerChunk each, so that a long index is never copied to grow.
    std::vector<char*> startChunks_;
    std::size_t size_ = 0;
    std::vector<Chunk> chunks_;
    std::size_t bytes_ = 0;
    std::string last_;  // the line appended last
    // The line read last, and its index (SIZE_MAX: none).
    mutable std::string read_;
    mutable std::size_t readIndex_ = SIZE_MAX;
    ChunkMemory* const memory_;  // null: the heap
};

}  // namespace quarvex
