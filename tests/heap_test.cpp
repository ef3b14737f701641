// The memory manager's granules, chunk sizes, free cache and free list.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "support/heap.h"

namespace {

struct HeapTest : testing::Test {
    BlockHeap heap;
    void SetUp() override { heap.init(); }
    void TearDown() override { heap.releaseAll(); }

    char* payloadStart() {
        // The newest chunk's payload begins 4 bytes after its link.
        return reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(platformChunkBase()) + heap.chunks + 4);
    }
};

}  // namespace

TEST_F(HeapTest, RequestsAreRaisedToWholeGranules) {
    char* a = static_cast<char*>(heap.allocate(1));
    char* b = static_cast<char*>(heap.allocate(8));
    char* c = static_cast<char*>(heap.allocate(9));
    char* d = static_cast<char*>(heap.allocate(1));
    EXPECT_EQ(b - a, 8);
    EXPECT_EQ(c - b, 8);
    EXPECT_EQ(d - c, 16);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
}

TEST_F(HeapTest, ChunkSizeIsTwiceTheRequestOrAtLeast128KiB) {
    heap.allocate(65536);
    EXPECT_EQ(heap.chunkCount(), 1u);
    EXPECT_EQ(heap.freeBytes(), 131072u - 65536u);

    BlockHeap big;
    big.init();
    big.allocate(8199 * 8);
    EXPECT_EQ(big.chunkCount(), 1u);
    // A request above 64 KiB leaves a free block of its own size behind it.
    EXPECT_EQ(big.freeBytes(), 8199u * 8u);
    big.releaseAll();
}

TEST_F(HeapTest, ExactFitUnlinksTheFreeBlock) {
    heap.allocate(100000);  // chunk of 200000, 100000 left
    EXPECT_EQ(heap.freeBlockCount(), 1u);
    heap.allocate(100000);
    EXPECT_EQ(heap.freeBlockCount(), 0u);
    EXPECT_EQ(heap.chunkCount(), 1u);
}

TEST_F(HeapTest, FreedChunkIsReusedWithoutGrowing) {
    void* blocks[64];
    for (auto& b : blocks) b = heap.allocate(2000);
    for (auto& b : blocks) heap.deallocate(b, 2000);
    void* again = heap.allocate(120000);
    EXPECT_EQ(heap.chunkCount(), 1u);
    EXPECT_EQ(again, blocks[0]);
}

TEST_F(HeapTest, OddSizedBlocksRejoinTheirNeighbours) {
    char* a = static_cast<char*>(heap.allocate(13));
    char* b = static_cast<char*>(heap.allocate(13));
    char* c = static_cast<char*>(heap.allocate(13));
    heap.deallocate(b, 13);
    heap.deallocate(a, 13);
    heap.deallocate(c, 13);
    EXPECT_EQ(heap.allocate(131072), a);  // the whole payload is one block again
    EXPECT_EQ(heap.chunkCount(), 1u);
}

TEST_F(HeapTest, CacheMergesAndOrdersRanges) {
    char* base = static_cast<char*>(heap.allocate(16));
    heap.allocate(16);
    heap.allocate(16);
    heap.allocate(16);
    heap.allocate(16);  // offset 64 stays in use
    auto off = [&](uint32_t v) { return v - static_cast<uint32_t>(heap.chunks + 4); };
    heap.deallocate(base + 16, 16);
    heap.deallocate(base + 48, 16);
    heap.deallocate(base + 0, 16);
    heap.deallocate(base + 32, 16);
    ASSERT_EQ(heap.pendingCount, 2u);
    EXPECT_EQ(off(heap.pending[0].start), 0u);
    EXPECT_EQ(off(heap.pending[0].end), 48u);
    EXPECT_EQ(off(heap.pending[1].start), 48u);
    EXPECT_EQ(off(heap.pending[1].end), 64u);
    heap.flush();
    // The two touching entries became one free block of 64 bytes at offset 0.
    EXPECT_EQ(off(heap.freeList), 0u);
    EXPECT_EQ(heap.freeBlockCount(), 2u);
    EXPECT_EQ(heap.allocate(64), base);
}

TEST_F(HeapTest, FullCacheIsFlushedBeforeTheNextEntry) {
    char* blocks[70];
    for (auto& b : blocks) b = static_cast<char*>(heap.allocate(8));
    // Every other block: 33 separate ranges.
    for (int i = 0; i < 66; i += 2) heap.deallocate(blocks[i], 8);
    EXPECT_EQ(heap.pendingCount, 1u);
    EXPECT_EQ(heap.freeBlockCount(), 33u);  // 32 flushed + the chunk's tail
}

TEST_F(HeapTest, AdjacentFreesInEitherOrderMakeOneEntry) {
    char* blocks[10];
    for (auto& b : blocks) b = static_cast<char*>(heap.allocate(24));
    for (int i = 0; i < 5; ++i) heap.deallocate(blocks[i], 24);
    EXPECT_EQ(heap.pendingCount, 1u);
    heap.flush();
    for (int i = 9; i >= 5; --i) heap.deallocate(blocks[i], 24);
    EXPECT_EQ(heap.pendingCount, 1u);
}

TEST_F(HeapTest, NullDeallocationsChangeNothing) {
    heap.deallocate(nullptr, 16);
    heap.deallocateWithHeader(nullptr);
    EXPECT_EQ(heap.pendingCount, 0u);
}

TEST_F(HeapTest, HeaderTaggedBlocksCarryTheirSize) {
    char* p = static_cast<char*>(heap.allocateWithHeader(20));
    uint32_t header;
    memcpy(&header, p - 4, 4);
    EXPECT_EQ(header, 28u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    heap.deallocateWithHeader(p);
    EXPECT_EQ(heap.allocate(28), p - 8);
}

TEST(MoveBytes, OverlapInBothDirections) {
    char up[] = "abcdefgh";
    moveBytes(up + 2, up, 5);
    EXPECT_STREQ(up, "ababcdeh");
    char down[] = "abcdefgh";
    moveBytes(down, down + 2, 5);
    EXPECT_STREQ(down, "cdefgfgh");
}
