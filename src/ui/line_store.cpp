#include "ui/line_store.h"

#include <algorithm>
#include <bit>
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

namespace {

// What two lines share from their start. Eight bytes at a time: lines of one folder share a
// path of tens of bytes, and every line is compared as it is stored.
std::size_t sharedPrefix(std::string_view a, std::string_view b) {
    const std::size_t most = std::min(a.size(), b.size());
    std::size_t n = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; n + 8 <= most; n += 8) {
            std::uint64_t x, y;
            std::memcpy(&x, a.data() + n, 8);
            std::memcpy(&y, b.data() + n, 8);
            if (x != y) return n + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
        }
    }
    while (n < most && a[n] == b[n]) ++n;
    return n;
}

// LEB128: seven bits a byte, the high bit set on all but the last.
std::size_t putLength(char* out, std::size_t value) {
    std::size_t n = 0;
    for (; value >= 0x80; value >>= 7) out[n++] = static_cast<char>(value | 0x80);
    out[n++] = static_cast<char>(value);
    return n;
}

}  // namespace

void LineStore::append(std::string_view line) {
    const std::size_t shared = size_ % kRestart == 0 ? 0 : sharedPrefix(last_, line);
    char head[10];
    const std::size_t headBytes = putLength(head, shared);
    const std::size_t recordBytes = headBytes + line.size() - shared;
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < recordBytes) {
        // A record never straddles two chunks; one longer than a chunk gets a chunk of its own.
        // Room first, so that what is taken is never lost.
        if (chunks_.size() == chunks_.capacity())
            chunks_.reserve(std::max<std::size_t>(8, 2 * chunks_.size()));
        Chunk chunk;
        chunk.capacity = std::max(kChunkBytes, recordBytes);
        chunk.data = takeChunk(chunk.capacity);
        chunks_.push_back(chunk);
    }
    if (size_ == startChunks_.size() * kStartsPerChunk) {
        if (startChunks_.size() == startChunks_.capacity())
            startChunks_.reserve(std::max<std::size_t>(8, 2 * startChunks_.size()));
        startChunks_.push_back(takeChunk(kChunkBytes));
    }
    last_.assign(line);  // before anything is counted: it may run out of memory
    Chunk& chunk = chunks_.back();
    const std::uint64_t chunkIndex = chunks_.size() - 1;
    const std::uint64_t start = chunkIndex << 32 | chunk.used;
    std::memcpy(startChunks_.back() + size_ % kStartsPerChunk * sizeof start, &start, sizeof start);
    ++size_;
    std::memcpy(chunk.data + chunk.used, head, headBytes);
    if (line.size() > shared)
        std::memcpy(chunk.data + chunk.used + headBytes, line.data() + shared,
                    line.size() - shared);
    chunk.used += recordBytes;
    bytes_ += line.size();
}

void LineStore::record(std::size_t index, std::size_t& shared, std::string_view& rest) const {
    const std::uint64_t first = start(index);
    const Chunk& chunk = chunks_[static_cast<std::size_t>(first >> 32)];
    std::size_t offset = first & 0xFFFFFFFFu;
    // A record ends where the next one in the same chunk starts, or at the chunk's fill mark.
    std::size_t end = chunk.used;
    if (index + 1 < size_) {
        const std::uint64_t next = start(index + 1);
        if ((next >> 32) == (first >> 32)) end = next & 0xFFFFFFFFu;
    }
    shared = 0;
    for (unsigned shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(chunk.data[offset++]);
        shared |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) break;
    }
    rest = {chunk.data + offset, end - offset};
}

std::string_view LineStore::at(std::size_t index) const {
    // On from the line read last where it lies before this one since their restart, else from
    // the restart.
    std::size_t from = index - index % kRestart;
    if (readIndex_ != SIZE_MAX && readIndex_ <= index && readIndex_ >= from)
        from = readIndex_ + 1;
    else
        read_.clear();
    for (std::size_t i = from; i <= index; ++i) {
        std::size_t shared = 0;
        std::string_view rest;
        record(i, shared, rest);
        read_.resize(shared);
        read_.append(rest);
    }
    readIndex_ = index;
    return read_;
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
    std::string().swap(last_);
    std::string().swap(read_);
    readIndex_ = SIZE_MAX;
}

}  // namespace quarvex
