#include "codeview/builder.h"

#include "support/heap.h"
#include "support/strings.h"

namespace {
void releaseSectionLines(uintptr_t value, void*) {
    CvSectionLines* group = reinterpret_cast<CvSectionLines*>(value);
    group->rows.release();
    deallocate(group, sizeof(CvSectionLines));
}
}  // namespace

void CvBuilder::init(const FasFile* fasFile, CoffObject* object) {
    types.init();
    output.init();
    relocations.init();
    relocationCount = 0;
    fas = fasFile;
    coff = object;
    files = nullptr;
    fileCount = 0;
    sections.init(&integerKeys);
    subsectionStart = 0;
    recordStart = 0;
    objectSections = 0;
    frameProgram = 0;
    procedures = false;
    plan.placed = nullptr;
    plan.arrays = nullptr;
    plan.placedCount = plan.procedureCount = plan.arrayCount = 0;
    plan.procedureType = plan.firstArrayType = 0;
}

// Reserves room for the largest contents the inputs can give, so that the
// buffers never grow (and copy) while they are written. Room that stays
// unused is never touched.
void reserveUpperBounds(CvBuilder* b, const char* objectName) {
    uint64_t bytes = 4 + 3 * 12 + strLength(objectName) + 72;
    for (uint32_t i = 0; i < b->fas->sourceFiles.capacity; ++i) {
        const HashSlot& slot = b->fas->sourceFiles.slots[i];
        if (slot.key) bytes += strLength(reinterpret_cast<const char*>(slot.value)) + 1 + 24;
    }
    // Each line: a record, and at worst a file block of its own; each
    // section: a subsection header and padding.
    bytes += 20ull * b->fas->lineCount + 24ull * b->objectSections;
    uint64_t records = b->objectSections;
    for (uint32_t i = 0; i < b->fas->symbolCount; ++i) {
        const SymbolEntry& symbol = b->fas->symbols[i];
        if (!symbol.isSectionRelative) continue;
        bytes += 15 + strLength(symbol.name);
        ++records;
    }
    // A procedure record is longer than a label's by 28 bytes, and S_END;
    // its frame data takes 44, and their program one string.
    bytes += 76ull * b->plan.procedureCount + strLength(ebpFrameProgram) + 1;
    if (bytes < 0x40000000ull) b->output.reserve(static_cast<uint32_t>(bytes));
    if (records * 20 < 0x40000000ull) b->relocations.reserve(static_cast<uint32_t>(records * 20));
}

void CvBuilder::generate(const char* objectName) {
    objectSections = coff->loadedSections;
    reserveUpperBounds(this, objectName);
    output.appendU32(CV_SIGNATURE_C13);
    writeStringTable();
    writeFileChecksums();
    writeLines();
    if (procedures) writeFrameData();
    writeSymbols(objectName);
}

void CvBuilder::release() {
    types.release();
    output.release();
    relocations.release();
    sections.releaseEach(releaseSectionLines, nullptr);
    releasePlan();
    deallocateWithHeader(files);
}

void CvBuilder::appendString(const char* s) {
    output.appendBytes(s, strLength(s) + 1);
}

void CvBuilder::beginSubsection(uint32_t type) {
    output.appendU32(type);
    output.appendU32(0);
    subsectionStart = output.size;
}

void CvBuilder::endSubsection() {
    writeU32(output.data + subsectionStart - 4, output.size - subsectionStart);
    output.appendZeros((4 - output.size % 4) % 4);
}

void CvBuilder::beginRecord(uint16_t kind) {
    output.appendU16(0);
    output.appendU16(kind);
    recordStart = output.size;
}

void CvBuilder::endRecord() {
    writeU16(output.data + recordStart - 4, static_cast<uint16_t>(output.size - recordStart + 2));
}

void CvBuilder::addRelocation(uint32_t offset, uint32_t symbolIndex, uint16_t type) {
    ++relocationCount;
    relocations.appendU32(offset);
    relocations.appendU32(symbolIndex);
    relocations.appendU16(type);
}

void CvBuilder::addAddressRelocations(uint32_t offset, uint32_t symbolIndex) {
    addRelocation(offset, symbolIndex, IMAGE_REL_I386_SECREL);
    addRelocation(offset + 4, symbolIndex, IMAGE_REL_I386_SECTION);
}
