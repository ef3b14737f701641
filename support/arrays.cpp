#include "support/arrays.h"

void PtrArray::insertAt(uint32_t index, void* element) {
    uint8_t* slot = buffer.insertGap(index * static_cast<uint32_t>(sizeof(void*)),
                                     static_cast<uint32_t>(sizeof(void*)));
    memcpy(slot, &element, sizeof(void*));
}

void PtrArray::forEach(PtrVisitor visitor, void* context) const {
    for (uint32_t i = 0, n = count(); i < n; ++i) visitor(at(i), context);
}

void SortedPtrArray::insertSearching(void* element) {
    int64_t lo = 0;
    int64_t hi = static_cast<int64_t>(count()) - 1;
    int64_t pos = 0;
    while (hi >= lo) {
        int64_t mid = (lo + hi) / 2;
        if (compare(at(static_cast<uint32_t>(mid)), element)) {
            lo = mid + 1;
            pos = mid + 1;
        } else {
            hi = mid - 1;
            pos = mid;
        }
    }
    array.insertAt(static_cast<uint32_t>(pos), element);
}

uint32_t lookupValue(const ValuePair* table, uint32_t key) {
    const ValuePair* row = table;
    while (row->key != 0 && row->key != key) ++row;
    return row->value;
}
