#include "support/hashtable.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/heap.h"
#include "support/strings.h"

namespace {

uintptr_t integerHash(uintptr_t key) { return key; }
bool integerEquals(uintptr_t stored, uintptr_t key) { return stored == key; }

uintptr_t stringKeyHash(uintptr_t key) { return stringHash(reinterpret_cast<const char*>(key)); }
bool stringEquals(uintptr_t stored, uintptr_t key) {
    return strEqual(reinterpret_cast<const char*>(stored), reinterpret_cast<const char*>(key));
}

// A tag is never 0, the mark of an empty slot: the hash + 1, with the one
// hash that would wrap kept at 0xFFFFFFFF. Equal tags only suggest equal keys.
uint32_t tagOf(uint32_t hash) { return hash == 0xFFFFFFFFu ? hash : hash + 1; }

// The first slot in [from, end) that is empty or carries the tag; `end` when
// there is none. Long probe runs are common with similar names, so the scan
// takes eight tags at a time where the processor allows.
inline uint32_t nextCandidate(const uint32_t* tags, uint32_t from, uint32_t end, uint32_t tag) {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(tag));
    const __m128i empty = _mm_setzero_si128();
    for (; from + 8 <= end; from += 8) {
        __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tags + from));
        __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tags + from + 4));
        __m128i lowHits = _mm_or_si128(_mm_cmpeq_epi32(low, wanted), _mm_cmpeq_epi32(low, empty));
        __m128i highHits = _mm_or_si128(_mm_cmpeq_epi32(high, wanted), _mm_cmpeq_epi32(high, empty));
        int mask = _mm_movemask_ps(_mm_castsi128_ps(lowHits)) | (_mm_movemask_ps(_mm_castsi128_ps(highHits)) << 4);
        if (mask != 0) return from + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    while (from < end && tags[from] != 0 && tags[from] != tag) ++from;
    return from;
}

template <typename T>
T* allocateZeroed(uint32_t capacity) {
    uint32_t bytes = capacity * static_cast<uint32_t>(sizeof(T));
    T* array = static_cast<T*>(allocate(bytes));
    memset(array, 0, bytes);
    return array;
}

}  // namespace

const HashKeyOps integerKeys = {integerHash, integerEquals};
const HashKeyOps stringKeys = {stringKeyHash, stringEquals};

uint32_t stringHash(const char* s) {
    uint32_t h = 1234;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) h = (h * 33) ^ *p;
    return h;
}

void HashTable::init(const HashKeyOps* keyOps) {
    ops = keyOps;
    capacity = initialCapacity;
    slots = allocateZeroed<HashSlot>(capacity);
    tags = allocateZeroed<uint32_t>(capacity);
    count = 0;
    maxProbe = 0;
    missKey = 0;
}

uintptr_t HashTable::put(uintptr_t key, uintptr_t value) {
    // A key that `get` just missed lands where that search stopped: the
    // probe sequence up to there holds no equal key and has not changed.
    bool missed = missKey != 0 && missKey == key;
    uint32_t hash = missed ? static_cast<uint32_t>(missHash) : static_cast<uint32_t>(ops->hash(key));
    uint32_t tag = tagOf(hash);
    uint32_t i = missed ? missSlot : hash % capacity;
    uint32_t probe = missed ? missProbe : 1;
    missKey = 0;
    for (;;) {
        uint32_t found = nextCandidate(tags, i, capacity, tag);
        probe += found - i;
        if (found == capacity) {
            i = 0;
            continue;
        }
        i = found;
        if (tags[i] == 0) {
            slots[i].key = key;
            slots[i].value = value;
            tags[i] = tag;
            if (probe > maxProbe) maxProbe = probe;
            ++count;
            if (static_cast<uint64_t>(count) * 4 >= static_cast<uint64_t>(capacity) * 3) grow();
            return 0;
        }
        if (ops->equals(slots[i].key, key)) {
            uintptr_t old = slots[i].value;
            slots[i].value = value;
            return old;
        }
        ++probe;
        if (++i == capacity) i = 0;
    }
}

bool HashTable::get(uintptr_t key, uintptr_t* value) const {
    uint32_t hash = static_cast<uint32_t>(ops->hash(key));
    uint32_t tag = tagOf(hash);
    uint32_t i = hash % capacity;
    uint32_t probe = 1;
    // No stored key took more than maxProbe slots, so no search needs more.
    for (uint32_t remaining = maxProbe; remaining > 0;) {
        uint32_t end = capacity - i < remaining ? capacity : i + remaining;
        uint32_t found = nextCandidate(tags, i, end, tag);
        remaining -= found - i;
        probe += found - i;
        if (found == end) {
            i = end == capacity ? 0 : end;
            continue;
        }
        i = found;
        if (tags[i] == 0) {
            missKey = key;
            missHash = hash;
            missSlot = i;
            missProbe = probe;
            return false;
        }
        if (ops->equals(slots[i].key, key)) {
            *value = slots[i].value;
            return slots[i].value != 0;
        }
        --remaining;
        ++probe;
        if (++i == capacity) i = 0;
    }
    return false;
}

// Home slot of the key stored in `slot` for a table of the new capacity,
// from its tag where the tag holds the whole hash.
uint32_t HashTable::homeOfStored(uint32_t slot, uint32_t newCapacity) const {
    uint32_t hash = tags[slot] == 0xFFFFFFFFu ? static_cast<uint32_t>(ops->hash(slots[slot].key)) : tags[slot] - 1;
    return hash % newCapacity;
}

// The first empty slot at or after `slot`, going round past the end, in a
// table being filled by growth. `skip` links each slot towards that empty
// slot and is shortened on the way, so long runs of neighbours are crossed
// in a few steps instead of one slot at a time.
static uint32_t firstEmptyFrom(uint32_t* skip, uint32_t slot) {
    while (skip[slot] != slot) {
        skip[slot] = skip[skip[slot]];
        slot = skip[slot];
    }
    return slot;
}

void HashTable::grow() {
    uint32_t newCapacity = static_cast<uint32_t>(static_cast<uint64_t>(capacity) * 3 / 2);
    HashSlot* newSlots = allocateZeroed<HashSlot>(newCapacity);
    uint32_t* newTags = allocateZeroed<uint32_t>(newCapacity);
    uint32_t* skip = static_cast<uint32_t*>(allocate(newCapacity * static_cast<uint32_t>(sizeof(uint32_t))));
    for (uint32_t i = 0; i < newCapacity; ++i) skip[i] = i;
    uint32_t newMaxProbe = 0;
    for (uint32_t s = 0; s < capacity; ++s) {
        if (tags[s] == 0) continue;
        // Keys are distinct, so a key takes the first empty slot from its
        // home on, exactly as a walk one slot at a time would find it.
        uint32_t home = homeOfStored(s, newCapacity);
        uint32_t i = firstEmptyFrom(skip, home);
        uint32_t probe = 1 + (i >= home ? i - home : newCapacity - home + i);
        skip[i] = i + 1 == newCapacity ? 0 : i + 1;
        newSlots[i] = slots[s];
        newTags[i] = tags[s];
        if (probe > newMaxProbe) newMaxProbe = probe;
    }
    deallocate(skip, newCapacity * static_cast<uint32_t>(sizeof(uint32_t)));
    release();
    slots = newSlots;
    tags = newTags;
    capacity = newCapacity;
    maxProbe = newMaxProbe;
}

void HashTable::forEach(HashVisitor visitor, void* context) const {
    for (uint32_t i = 0; i < capacity; ++i)
        if (slots[i].key != 0) visitor(slots[i].value, context);
}

void HashTable::release() {
    deallocate(slots, capacity * static_cast<uint32_t>(sizeof(HashSlot)));
    deallocate(tags, capacity * static_cast<uint32_t>(sizeof(uint32_t)));
    slots = nullptr;
    tags = nullptr;
}

void HashTable::releaseEach(HashVisitor visitor, void* context) {
    forEach(visitor, context);
    release();
}
