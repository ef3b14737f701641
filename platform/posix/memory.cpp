// Chunks for the memory manager, and the marks that memory checkers read.
#include "platform/platform.h"

#include <sys/mman.h>
#include <sys/resource.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SYMWELD_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SYMWELD_ASAN 1
#endif
#ifdef SYMWELD_ASAN
#include <sanitizer/asan_interface.h>
#endif
#ifdef SYMWELD_VALGRIND
#include <valgrind/memcheck.h>
#endif

namespace {

// All chunks are carved from one reserved range, so that the memory
// manager's 32-bit in-band links can be offsets from its start. Chunks are
// handed out by a bump pointer; the range starts afresh when a chunk is
// asked for after every chunk came back.
// At most 4 GiB, so that offsets fit 32 bits; less under an address-space
// limit, which the reservation counts against whether it is used or not.
const uint64_t largestRegion = 0xFFFF0000ull;
const uint64_t smallestRegion = 1u << 20;
uint64_t regionSize = 0;
char* regionBase = nullptr;
uint64_t regionUsed = 0;
uint64_t committedEnd = 0;
uint32_t liveChunks = 0;
const uint64_t pageSize = 4096;
const uint64_t hugeChunk = 8u << 20;

bool reserveRegion() {
    if (regionBase) return true;
    uint64_t size = largestRegion;
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur / 2 < size)
        size = (limit.rlim_cur / 2) & ~(pageSize - 1);
    void* block = MAP_FAILED;
    for (; size >= smallestRegion; size /= 2) {
        block = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (block != MAP_FAILED) break;
    }
    if (block == MAP_FAILED) return false;
    regionSize = size;
    regionBase = static_cast<char*>(block);
    // Offset 0 stands for null, so the first chunk must not begin there.
    regionUsed = 8;
    return true;
}

// Once every chunk is back, the range is started afresh at the next
// request; a process that ends right after returning its chunks (the usual
// case) leaves the pages to the system's own clean-up.
void restartRegion() {
    platformUnpoison(regionBase, committedEnd);
    madvise(regionBase, committedEnd, MADV_DONTNEED);
    mprotect(regionBase, committedEnd, PROT_NONE);
    committedEnd = 0;
    regionUsed = 8;
}

}  // namespace

char* platformChunkBase() {
    reserveRegion();
    return regionBase;
}

void* platformChunkAllocate(uint32_t size) {
    if (!reserveRegion()) return nullptr;
    if (liveChunks == 0 && regionUsed > 8) restartRegion();
    // A chunk starts 4 bytes before an 8-byte boundary.
    uint64_t start = ((regionUsed + 4 + 7) & ~uint64_t(7)) - 4;
    uint64_t end = start + size;
    if (end > regionSize) return nullptr;
    if (end > committedEnd) {
        uint64_t newEnd = (end + pageSize - 1) & ~(pageSize - 1);
        if (mprotect(regionBase + committedEnd, newEnd - committedEnd, PROT_READ | PROT_WRITE) != 0)
            return nullptr;
        committedEnd = newEnd;
    }
    regionUsed = end;
    ++liveChunks;
    // Large chunks hold whole files: huge pages make touching them far
    // cheaper. Small chunks stay on small pages, so small runs stay small.
    if (size >= hugeChunk) madvise(regionBase + (start & ~(pageSize - 1)), size, MADV_HUGEPAGE);
    return regionBase + start;
}

void platformChunkFree(void* chunk) {
    if (!chunk || liveChunks == 0) return;
    --liveChunks;
}

void platformPoison(const void* start, size_t size) {
#ifdef SYMWELD_ASAN
    ASAN_POISON_MEMORY_REGION(start, size);
#else
    (void)start;
    (void)size;
#endif
}

void platformUnpoison(const void* start, size_t size) {
#ifdef SYMWELD_ASAN
    ASAN_UNPOISON_MEMORY_REGION(start, size);
#else
    (void)start;
    (void)size;
#endif
}

void platformMarkUndefined(const void* start, size_t size) {
#ifdef SYMWELD_VALGRIND
    VALGRIND_MAKE_MEM_UNDEFINED(start, size);
#else
    (void)start;
    (void)size;
#endif
}
