// Chunks for the memory manager, from the process heap.
#include "platform/win32/support.h"

// Pointers are 32 bits wide here: the memory manager's links are addresses.
char* platformChunkBase() {
    return nullptr;
}

// HeapAlloc returns 8-aligned blocks; the chunk begins 4 bytes in, so that
// the payload after its 4-byte link is 8-aligned as well.
void* platformChunkAllocate(uint32_t size) {
    HANDLE heap = GetProcessHeap();
    if (!heap || size > 0xFFFFFFF0u) return nullptr;
    char* block = static_cast<char*>(HeapAlloc(heap, 0, size + 4));
    return block ? block + 4 : nullptr;
}

void platformChunkFree(void* chunk) {
    HANDLE heap = GetProcessHeap();
    if (heap && chunk) HeapFree(heap, 0, static_cast<char*>(chunk) - 4);
}

void platformPoison(const void*, size_t) {}
void platformUnpoison(const void*, size_t) {}
void platformMarkUndefined(const void*, size_t) {}
