// Byte buffers, hash tables, sorted arrays, value tables and strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/arrays.h"
#include "support/buffer.h"
#include "support/hashtable.h"
#include "support/heap.h"
#include "support/strings.h"

TEST(ByteBuffer, GrowsByHalfRoundedToEven) {
    ByteBuffer b;
    b.init();
    b.appendBytes("", 0);
    EXPECT_EQ(b.data, nullptr);
    b.appendU8(1);
    EXPECT_EQ(b.capacity, 1u);
    b.release();

    b.init();
    std::vector<uint32_t> capacities;
    b.appendU32(0);
    capacities.push_back(b.capacity);
    b.appendU8(0);
    capacities.push_back(b.capacity);
    b.appendU8(0);
    capacities.push_back(b.capacity);
    b.appendU8(0);
    capacities.push_back(b.capacity);
    EXPECT_EQ(capacities, (std::vector<uint32_t>{6, 6, 6, 10}));
    b.clear();
    uint8_t* block = b.data;
    for (int i = 0; i < 10; ++i) b.appendU8(7);
    EXPECT_EQ(b.data, block);  // clear keeps the block
    b.release();

    b.init();
    b.reserve(100);
    EXPECT_EQ(b.capacity, 150u);
    b.release();
}

TEST(ByteBuffer, LittleEndianAppendsAndGaps) {
    ByteBuffer b;
    b.init();
    b.appendU16(258);
    b.appendU32(258);
    EXPECT_EQ(std::vector<uint8_t>(b.data, b.data + b.size), (std::vector<uint8_t>{2, 1, 2, 1, 0, 0}));
    b.clear();
    b.appendBytes("abc", 3);
    uint8_t* gap = b.insertGap(0, 2);
    EXPECT_EQ(gap, b.data);
    EXPECT_EQ(b.size, 5u);
    EXPECT_EQ(memcmp(b.data + 2, "abc", 3), 0);
    b.release();
}

TEST(HashTable, IntegerKeysCollideAndWrap) {
    HashTable t;
    t.init(&integerKeys);
    uintptr_t v = 0;
    EXPECT_FALSE(t.get(5, &v));
    t.put(5, 50);
    t.put(8204, 82);
    EXPECT_EQ(t.slots[6].key, 8204u);
    EXPECT_EQ(t.maxProbe, 2u);
    EXPECT_TRUE(t.get(8204, &v));
    EXPECT_EQ(v, 82u);

    t.put(8198, 1);
    t.put(8198 * 2 + 1, 2);  // same home slot, the last one
    EXPECT_EQ(t.slots[0].key, 8198u * 2 + 1);
    EXPECT_EQ(t.put(5, 51), 50u);  // replacement returns the old value
    EXPECT_EQ(t.count, 4u);
    t.put(77, 0);
    EXPECT_FALSE(t.get(77, &v));  // a zero value reads as absent
    t.release();
}

TEST(HashTable, PutAfterAMissedGetLandsWhereAFullProbeWould) {
    HashTable t;
    t.init(&integerKeys);
    uintptr_t v = 0;
    t.put(5, 1);
    t.put(8204, 2);                      // slot 6
    EXPECT_FALSE(t.get(16403, &v));      // same home, stops at slot 7
    t.put(7, 3);                         // something else takes slot 7
    t.put(16403, 4);                     // must not use the stale slot
    EXPECT_EQ(t.slots[7].key, 7u);
    EXPECT_EQ(t.slots[8].key, 16403u);
    EXPECT_EQ(t.maxProbe, 4u);
    EXPECT_FALSE(t.get(24602, &v));
    t.put(24602, 5);                     // right after its own miss
    EXPECT_EQ(t.slots[9].key, 24602u);
    EXPECT_EQ(t.maxProbe, 5u);
    EXPECT_TRUE(t.get(24602, &v));
    EXPECT_EQ(v, 5u);
    t.release();
}

// A run of colliding keys longer than the scan's stride that wraps past the
// last slot: every key is found, misses stop at the first empty slot or at
// maxProbe, and probe counts match a slot-by-slot walk.
TEST(HashTable, LongRunsThatWrapAreSearchedSlotBySlot) {
    HashTable t;
    t.init(&integerKeys);
    uintptr_t v = 0;
    const uintptr_t home = 8199 - 3;
    for (uintptr_t k = 0; k < 11; ++k) t.put(home + 8199 * k, k + 1);
    EXPECT_EQ(t.maxProbe, 11u);
    EXPECT_EQ(t.slots[7].key, home + 8199 * 10);  // 3 slots at the end, 8 from slot 0
    for (uintptr_t k = 0; k < 11; ++k) {
        ASSERT_TRUE(t.get(home + 8199 * k, &v));
        EXPECT_EQ(v, k + 1);
    }
    EXPECT_FALSE(t.get(home + 8199 * 11, &v));  // runs to the empty slot 8
    t.put(home + 8199 * 11, 12);
    EXPECT_EQ(t.slots[8].key, home + 8199 * 11);
    EXPECT_EQ(t.maxProbe, 12u);
    t.put(2, 99);                                // a key of another home inside the run
    EXPECT_EQ(t.slots[9].key, 2u);
    EXPECT_EQ(t.maxProbe, 12u);
    EXPECT_TRUE(t.get(2, &v));
    t.release();
}

// Keys whose 32-bit hash is 0xFFFFFFFF share their tag with 0xFFFFFFFE and
// must survive growth, which places them by a hash recomputed from the key.
TEST(HashTable, HighestHashesSurviveGrowth) {
    HashTable t;
    t.init(&integerKeys);
    uintptr_t v = 0;
    t.put(0xFFFFFFFFu, 1);
    t.put(0xFFFFFFFEu, 2);
    for (uint32_t k = 1; k < 20000; ++k) t.put(k, k + 10);
    EXPECT_GT(t.capacity, 8199u);
    ASSERT_TRUE(t.get(0xFFFFFFFFu, &v));
    EXPECT_EQ(v, 1u);
    ASSERT_TRUE(t.get(0xFFFFFFFEu, &v));
    EXPECT_EQ(v, 2u);
    EXPECT_FALSE(t.get(0xFFFFFFFDu, &v));
    t.release();
}

TEST(HashTable, SmallIntegerKeysAreVisitedInOrder) {
    HashTable t;
    t.init(&integerKeys);
    for (uintptr_t k : {9, 3, 7, 1}) t.put(k, k * 10);
    std::vector<uintptr_t> seen;
    t.forEach([](uintptr_t value, void* c) { static_cast<std::vector<uintptr_t>*>(c)->push_back(value); }, &seen);
    EXPECT_EQ(seen, (std::vector<uintptr_t>{10, 30, 70, 90}));
    t.release();
}

TEST(HashTable, GrowsAtThreeQuartersAndKeepsEveryKey) {
    HashTable t;
    t.init(&integerKeys);
    const uint32_t trigger = (8199 * 3 + 3) / 4;  // count × 4 reaches capacity × 3
    for (uint32_t k = 1; k < trigger; ++k) t.put(k * 7919, k);
    EXPECT_EQ(t.capacity, 8199u);
    t.put(trigger * 7919, trigger);
    EXPECT_EQ(t.capacity, 8199u * 3 / 2);
    for (uint32_t k = 1; k <= trigger; ++k) {
        uintptr_t v = 0;
        ASSERT_TRUE(t.get(k * 7919, &v));
        ASSERT_EQ(v, k);
    }
    t.release();
}

TEST(HashTable, StringKeysKeepTheFirstKey) {
    EXPECT_EQ(stringHash(""), 1234u);
    EXPECT_EQ(stringHash("a"), 40819u);
    HashTable t;
    t.init(&stringKeys);
    char first[] = "label";
    char second[] = "label";
    t.put(reinterpret_cast<uintptr_t>(first), 1);
    EXPECT_EQ(t.put(reinterpret_cast<uintptr_t>(second), 2), 1u);
    uint32_t home = stringHash("label") % t.capacity;
    EXPECT_EQ(t.slots[home].key, reinterpret_cast<uintptr_t>(first));
    uintptr_t v = 0;
    EXPECT_TRUE(t.get(reinterpret_cast<uintptr_t>("label"), &v));
    EXPECT_EQ(v, 2u);
    EXPECT_FALSE(t.get(reinterpret_cast<uintptr_t>("labe"), &v));
    t.release();
}

namespace {
struct Entry {
    uint32_t offset;
    int id;
};
bool offsetBelow(const void* a, const void* b) {
    return static_cast<const Entry*>(a)->offset < static_cast<const Entry*>(b)->offset;
}
}  // namespace

TEST(SortedPtrArray, LowerBoundPutsEqualKeysInFront) {
    Entry e[] = {{0x30, 0}, {0x10, 1}, {0x20, 2}, {0x20, 3}, {0x20, 4}};
    SortedPtrArray a;
    a.initSorted(offsetBelow);
    for (auto& x : e) a.insertSorted(&x);
    std::vector<int> order;
    for (uint32_t i = 0; i < a.count(); ++i) order.push_back(static_cast<Entry*>(a.at(i))->id);
    EXPECT_EQ(order, (std::vector<int>{1, 4, 3, 2, 0}));
    int calls = 0;
    PtrArray empty;
    empty.init();
    empty.forEach([](void*, void* c) { ++*static_cast<int*>(c); }, &calls);
    EXPECT_EQ(calls, 0);
    a.release();
}

TEST(ValuePair, LookupFallsBackToTheDefaultRow) {
    const ValuePair table[] = {{1, 0x20}, {2, 0x21}, {4, 0x75}, {8, 0x23}, {0, 0x20}};
    EXPECT_EQ(lookupValue(table, 4), 0x75u);
    EXPECT_EQ(lookupValue(table, 3), 0x20u);
    EXPECT_EQ(lookupValue(table, 16), 0x20u);
    EXPECT_EQ(lookupValue(table, 0), 0x20u);
}

TEST(HeapStrings, HeadersAndTheSharedEmptyString) {
    EXPECT_EQ(strDup(""), emptyString);
    EXPECT_EQ(strDupN("abc", 0), emptyString);
    strRelease(emptyString);
    const char bytes[] = {0x61, 0x00, 0x62, 0x63};
    char* s = strDupN(bytes, 4);
    uint32_t header;
    memcpy(&header, s - 4, 4);
    EXPECT_EQ(header, 9u);
    EXPECT_EQ(memcmp(s, "a\0bc\0", 5), 0);
    EXPECT_EQ(strLength(s), 1u);
    char* t = strDup("a");
    EXPECT_TRUE(strEqual(s, t));
    EXPECT_FALSE(strEqual("ab", "abc"));
    strRelease(s);
    strRelease(t);
}

// Around the Windows path limit of 259 characters: the usual name while it
// fits, then a shorter one down to two digits, then none.
TEST(TemporaryName, FitsThePathLimit) {
    char name[temporaryNameCapacity];
    for (uint32_t folder = 200; folder <= 300; ++folder) {
        uint32_t length = composeTemporaryName(name, folder, 259, 0x12345678);
        EXPECT_EQ(length, strlen(name));
        if (folder + 17 <= 259) {
            EXPECT_STREQ(name, ".symweld-12345678");
        } else if (folder + 5 <= 259) {
            EXPECT_EQ(length, std::min(11u, 259 - folder)) << folder;
            EXPECT_EQ(std::string(name), std::string(".sw12345678").substr(0, length));
        } else {
            EXPECT_EQ(length, 0u) << folder;
        }
    }
    EXPECT_EQ(composeTemporaryName(name, 0, 0xFFFFFFFFu, 0xABCDEF01), 17u);
    EXPECT_STREQ(name, ".symweld-abcdef01");
}

TEST(TextBuilder, LeavesRoomForTheTerminator) {
    TextBuilder t;
    t.initText();
    EXPECT_STREQ(t.terminate(), "");
    for (int i = 0; i < 4094; ++i) t.appendChar('x');
    EXPECT_EQ(t.buffer.capacity, 4096u);
    t.appendChar('y');
    EXPECT_GT(t.buffer.capacity, 4096u);
    EXPECT_EQ(strLength(t.terminate()), 4095u);
    t.clear();
    uint8_t* block = t.buffer.data;
    t.appendChar('z');
    EXPECT_EQ(t.buffer.data, block);
    t.release();
}
