#include "ui/line_store.h"

#include <algorithm>
#include <cstring>

namespace quarvex {

char* LineStore::takeChunk(std::size_t bytes) {
    return memory_ != nullptr ? memory_->take(bytes) : new char[bytes];
}

void LineStore::giveBack(char* chunk, std::size_t bytes) {
    if (memory_ != nullptr)
        memory_->giveBack(chunk, bytes);
    else
        delete[] chunk;
}

std::uint64_t LineStore::start(std::size_t index) const {
    std::uint64_t value;
    std::memcpy(&value,
                startChunks_[index / kStartsPerChunk] + index % kStartsPerChunk * sizeof value,
                sizeof value);
    return value;
}

void LineStore::append(std::string_view line) {
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < line.size()) {
        // A line never straddles two chunks; one longer than a chunk gets a chunk of its own.
        // Room first, so that what is taken is never lost.
        if (chunks_.size() == chunks_.capacity())
            chunks_.reserve(std::max<std::size_t>(8, 2 * chunks_.size()));
        Chunk chunk;
        chunk.capacity = std::max(kChunkBytes, line.size());
        chunk.data = takeChunk(chunk.capacity);
        chunks_.push_back(chunk);
    }
    if (size_ == startChunks_.size() * kStartsPerChunk) {
        if (startChunks_.size() == startChunks_.capacity())
            startChunks_.reserve(std::max<std::size_t>(8, 2 * startChunks_.size()));
        startChunks_.push_back(takeChunk(kChunkBytes));
    }
    Chunk& chunk = chunks_.back();
    const std::uint64_t chunkIndex = chunks_.size() - 1;
    const std::uint64_t start = chunkIndex << 32 | chunk.used;
    std::memcpy(startChunks_.back() + size_ % kStartsPerChunk * sizeof start, &start, sizeof start);
    ++size_;
    if (!line.empty()) std::memcpy(chunk.data + chunk.used, line.data(), line.size());
    chunk.used += line.size();
    bytes_ += line.size();
}

std::string_view LineStore::at(std::size_t index) const {
    const std::uint64_t first = start(index);
    const Chunk& chunk = chunks_[static_cast<std::size_t>(first >> 32)];
    const std::size_t offset = first & 0xFFFFFFFFu;
    // A line ends where the next one in the same chunk starts, or at the chunk's fill mark.
    std::size_t end = chunk.used;
    if (index + 1 < size_) {
        const std::uint64_t next = start(index + 1);
        if ((next >> 32) == (first >> 32)) end = next & 0xFFFFFFFFu;
    }
    return {chunk.data + offset, end - offset};
}

std::size_t LineStore::allocatedBytes() const {
    std::size_t total = startChunks_.size() * kChunkBytes;
    for (const Chunk& chunk : chunks_) total += chunk.capacity;
    return total;
}

void LineStore::clear() {
    // Memory goes back at once: the next search may list far fewer lines.
    for (char* starts : startChunks_) giveBack(starts, kChunkBytes);
    std::vector<char*>().swap(startChunks_);
    size_ = 0;
    for (const Chunk& chunk : chunks_) giveBack(chunk.data, chunk.capacity);
    std::vector<Chunk>().swap(chunks_);
    bytes_ = 0;
}

}  // namespace quarvex
