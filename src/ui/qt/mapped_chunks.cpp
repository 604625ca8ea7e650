#include "ui/qt/mapped_chunks.h"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quarvex::qt {

#if defined(__linux__)

char* MappedChunks::take(std::size_t bytes) {
    void* chunk = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (chunk == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_POPULATE_WRITE)
    // Every page at once; a kernel older than 5.14 refuses, and the pages come as touched.
    (void)madvise(chunk, bytes, MADV_POPULATE_WRITE);
#endif
    return static_cast<char*>(chunk);
}

void MappedChunks::giveBack(char* chunk, std::size_t bytes) {
    munmap(chunk, bytes);
}

#else

char* MappedChunks::take(std::size_t bytes) {
    return new char[bytes];
}

void MappedChunks::giveBack(char* chunk, std::size_t) {
    delete[] chunk;
}

#endif

}  // namespace quarvex::qt
