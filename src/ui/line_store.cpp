#include "ui/line_store.h"

#include <algorithm>
#include <cstring>

namespace quarvex {

void LineStore::append(std::string_view line) {
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < line.size()) {
        // A line never straddles two chunks; one longer than a chunk gets a chunk of its own.
        // Room first, so that what is taken is never lost.
        if (chunks_.size() == chunks_.capacity())
            chunks_.reserve(std::max<std::size_t>(8, 2 * chunks_.size()));
        Chunk chunk;
        chunk.capacity = std::max(kChunkBytes, line.size());
        chunk.data = memory_ != nullptr ? memory_->take(chunk.capacity) : new char[chunk.capacity];
        chunks_.push_back(chunk);
    }
    Chunk& chunk = chunks_.back();
    const std::uint64_t chunkIndex = chunks_.size() - 1;
    starts_.push_back(chunkIndex << 32 | chunk.used);
    if (!line.empty()) std::memcpy(chunk.data + chunk.used, line.data(), line.size());
    chunk.used += line.size();
    bytes_ += line.size();
}

std::string_view LineStore::at(std::size_t index) const {
    const std::uint64_t start = starts_[index];
    const Chunk& chunk = chunks_[static_cast<std::size_t>(start >> 32)];
    const std::size_t offset = start & 0xFFFFFFFFu;
    // A line ends where the next one in the same chunk starts, or at the chunk's fill mark.
    std::size_t end = chunk.used;
    if (index + 1 < starts_.size() && (starts_[index + 1] >> 32) == (start >> 32))
        end = starts_[index + 1] & 0xFFFFFFFFu;
    return {chunk.data + offset, end - offset};
}

std::size_t LineStore::allocatedBytes() const {
    std::size_t total = starts_.capacity() * sizeof(std::uint64_t);
    for (const Chunk& chunk : chunks_) total += chunk.capacity;
    return total;
}

void LineStore::clear() {
    // Memory goes back at once: the next search may list far fewer lines.
    std::vector<std::uint64_t>().swap(starts_);
    for (const Chunk& chunk : chunks_) {
        if (memory_ != nullptr)
            memory_->giveBack(chunk.data, chunk.capacity);
        else
            delete[] chunk.data;
    }
    std::vector<Chunk>().swap(chunks_);
    bytes_ = 0;
}

}  // namespace quarvex
