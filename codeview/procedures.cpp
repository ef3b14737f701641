// Procedure records and array types (--procedures). wine's debugger attaches
// line records only to procedures, and a debugger shows a whole string or
// table only when its data label has an array type.
//
// A code label is a plain, named, non-local label at a byte of a section
// whose contents are code. Its procedure runs to the next code label of the
// section or to the section's end; where several code labels share an
// address, one of them (the one a public symbol names, else the first in
// the ".fas" table) opens the procedure and the others stay labels inside
// it. Every record whose address lies in a procedure's range is nested in
// its scope.
// A data label that covers more than one element (up to the next label of
// its section, or the section's end) gets an array of its basic type.
#include <algorithm>
#include <cstring>

#include "codeview/builder.h"
#include "support/heap.h"
#include "support/strings.h"

namespace {

const uint32_t IMAGE_SCN_CNT_CODE = 0x00000020;
const uint32_t IMAGE_SCN_MEM_EXECUTE = 0x20000000;
const uint16_t LF_PROCEDURE = 0x1008;
const uint16_t LF_ARGLIST = 0x1201;
const uint16_t LF_ARRAY = 0x1503;
const uint16_t LF_ULONG = 0x8004;
const uint32_t T_VOID = 0x0003;
const uint32_t T_ULONG = 0x0022;
// The default ".debug$T" ends with LF_BUILDINFO; the planned types follow.
const uint32_t firstPlannedType = buildInfoTypeIndex + 1;

// Address order; the ".fas" order breaks ties.
struct PlacedBelow {
    bool operator()(const CvPlacedSymbol& a, const CvPlacedSymbol& b) const {
        return a.offset != b.offset ? a.offset < b.offset : a.symbol < b.symbol;
    }
};

bool arrayBelow(const CvArrayType& a, const CvArrayType& b) {
    return a.element != b.element ? a.element < b.element : a.bytes < b.bytes;
}

bool sameArray(const CvArrayType& a, const CvArrayType& b) {
    return a.element == b.element && a.bytes == b.bytes;
}

// fasm names a local label `parent.local`; leading dots alone (`..name`)
// make no local label.
bool isLocalName(const char* name) {
    const char* p = name;
    while (*p == '.') ++p;
    return strchr(p, '.') != nullptr;
}

bool isCodeSection(const CoffSection* section) {
    return (section->Characteristics & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE)) != 0;
}

// Room for `count` records of `size` bytes; more than the heap can give is
// "out of memory".
void* allocateRecords(uint32_t count, uint32_t size) {
    uint64_t bytes = static_cast<uint64_t>(count) * size;
    return allocateWithHeader(bytes > 0x7FFFFFF0u ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes));
}

uint64_t placeKey(uint32_t section, uint32_t offset) {
    return (static_cast<uint64_t>(section) << 32) | offset;
}

// The places (section, offset) of the object's public symbols, sorted.
struct PublicPlaces {
    uint64_t* keys;
    uint32_t count;

    void init(const CoffObject* coff) {
        count = 0;
        for (uint32_t i = 0; i < coff->NumberOfSymbols; ++i) {
            const CoffSymbol* s = coff->symbolAt(i);
            if (s->name && s->StorageClass == IMAGE_SYM_CLASS_EXTERNAL && s->SectionNumber > 0) ++count;
        }
        keys = static_cast<uint64_t*>(allocateRecords(count, sizeof(uint64_t)));
        uint32_t n = 0;
        for (uint32_t i = 0; i < coff->NumberOfSymbols; ++i) {
            const CoffSymbol* s = coff->symbolAt(i);
            if (s->name && s->StorageClass == IMAGE_SYM_CLASS_EXTERNAL && s->SectionNumber > 0)
                keys[n++] = placeKey(static_cast<uint32_t>(s->SectionNumber), s->Value);
        }
        std::sort(keys, keys + count);
    }
    bool has(uint32_t section, uint32_t offset) const { return std::binary_search(keys, keys + count, placeKey(section, offset)); }
    void release() { deallocateWithHeader(keys); }
};

uint32_t sectionEnd(const CvBuilder* b, uint32_t section) {
    return b->coff->sectionByNumber(section)->SizeOfRawData;
}

bool isPlaced(const CvBuilder* b, const SymbolEntry& s) {
    return s.isSectionRelative && s.section != 0 && s.section <= b->objectSections;
}

// How many symbols of a section are placed, and where they begin.
struct SectionPlaces {
    uint32_t named;
    uint32_t anonymous;
    uint32_t next;  // where its next symbol goes
    bool hasData;
};

// An anonymous label gets no record; it counts only as the end of a data
// label before it, so it is placed only in a section that has data labels.
bool isKeptPlace(const SymbolEntry& s, const SectionPlaces& section) {
    return s.name[0] != 0 || section.hasData;
}

// The section-relative symbols of the object's sections, in address order:
// grouped by section in one pass (the ".fas" order kept within each), then
// each section sorted by offset where it is not in order already (fasm
// lists a section's labels mostly in address order). The object symbols
// that the records name are looked up in the grouping pass, in ".fas"
// order as without the option, so the object's symbol table comes out the
// same either way.
void placeSymbols(CvBuilder* b) {
    CvRecordPlan& plan = b->plan;
    const FasFile* fas = b->fas;
    uint32_t sectionsSize = (b->objectSections + 1) * static_cast<uint32_t>(sizeof(SectionPlaces));
    SectionPlaces* sections = static_cast<SectionPlaces*>(allocate(sectionsSize));
    memset(sections, 0, sectionsSize);
    for (uint32_t i = 0; i < fas->symbolCount; ++i) {
        const SymbolEntry& s = fas->symbols[i];
        if (!isPlaced(b, s)) continue;
        SectionPlaces& section = sections[s.section];
        if (s.name[0] == 0) {
            ++section.anonymous;
        } else {
            ++section.named;
            if (s.dataSize != 0) section.hasData = true;
        }
    }
    uint32_t count = 0;
    for (uint32_t n = 1; n <= b->objectSections; ++n) {
        sections[n].next = count;
        count += sections[n].named + (sections[n].hasData ? sections[n].anonymous : 0);
    }
    plan.placed = static_cast<CvPlacedSymbol*>(allocateRecords(count, sizeof(CvPlacedSymbol)));
    plan.placedCount = count;
    for (uint32_t i = 0; i < fas->symbolCount; ++i) {
        const SymbolEntry& s = fas->symbols[i];
        if (!isPlaced(b, s) || !isKeptPlace(s, sections[s.section])) continue;
        CvPlacedSymbol& p = plan.placed[sections[s.section].next++];
        p.symbol = &s;
        p.section = static_cast<uint16_t>(s.section);
        p.offset = static_cast<uint32_t>(s.value);
        p.end = 0;
        p.type = 0;
        p.objectSymbol = noOffset;
        p.kind = 0;
        if (symbolGetsRecord(b, &s)) {
            p.kind = s.dataSize == 0 ? S_LABEL32 : S_LDATA32;
            p.objectSymbol = objectSymbolFor(b->coff, &s);
        }
    }
    // Each section's `next` is now where the following one begins.
    CvPlacedSymbol* placed = plan.placed;
    for (uint32_t n = 1, first = 0; n <= b->objectSections; first = sections[n].next, ++n)
        if (!std::is_sorted(placed + first, placed + sections[n].next, PlacedBelow()))
            std::sort(placed + first, placed + sections[n].next, PlacedBelow());
    deallocate(sections, sectionsSize);
}

bool isCodeLabel(const CvBuilder* b, const CvPlacedSymbol& p) {
    const CoffSection* section = b->coff->sectionByNumber(p.section);
    return p.kind == S_LABEL32 && isCodeSection(section) && p.offset < section->SizeOfRawData &&
           !isLocalName(p.symbol->name);
}

// Whether the object's symbol of this name is a public one at the label.
bool isPublicByName(const CvBuilder* b, const CvPlacedSymbol& p) {
    CoffSymbol* found = nullptr;
    uint32_t index = 0;
    return b->coff->findSymbol(p.symbol->name, &found, &index) && found->StorageClass == IMAGE_SYM_CLASS_EXTERNAL &&
           found->SectionNumber > 0 && static_cast<uint32_t>(found->SectionNumber) == p.section &&
           found->Value == p.offset;
}

// Picks the procedure's label among the labels of one address, [first,
// last): where a public symbol lies there, the label of its name if there
// is one, else the first code label. Moves it to the front so that the
// others fall in its scope; false where none is a code label.
bool chooseProcedure(CvBuilder* b, const PublicPlaces& publics, uint32_t first, uint32_t last) {
    CvPlacedSymbol* placed = b->plan.placed;
    uint32_t chosen = last;
    for (uint32_t i = first; i < last && chosen == last; ++i)
        if (isCodeLabel(b, placed[i])) chosen = i;
    if (chosen == last) return false;
    bool isPublic = publics.has(placed[first].section, placed[first].offset);
    for (uint32_t i = chosen + 1; isPublic && i < last; ++i)
        if (isCodeLabel(b, placed[i]) && isPublicByName(b, placed[i]) && !isPublicByName(b, placed[chosen])) chosen = i;
    placed[chosen].kind = isPublic ? S_GPROC32 : S_LPROC32;
    std::rotate(placed + first, placed + chosen, placed + chosen + 1);
    ++b->plan.procedureCount;
    return true;
}

// The array a data label covers, or false when it covers one element or
// none.
bool arrayOf(const CvPlacedSymbol& p, CvArrayType* array) {
    uint32_t size = p.symbol->dataSize;
    uint32_t elements = p.end > p.offset ? (p.end - p.offset) / size : 0;
    if (elements < 2) return false;
    array->element = basicDataType(size);
    array->bytes = elements * size;
    return true;
}

// One pass from the end of each section to its start, an address at a
// time: every symbol gets the next greater address of its section (or the
// section's end) as the end of what it labels, and a procedure opened at
// the address the start of the next procedure (or the section's end). A
// data label gets its basic type here, or 0 where it covers an array;
// returns how many do. Symbols that get no record have then done their
// part (they end what the labels before them label): the pass moves the
// others together at the array's end, and they go to its front, in order.
uint32_t planProcedures(CvBuilder* b, const PublicPlaces& publics) {
    CvRecordPlan& plan = b->plan;
    CvPlacedSymbol* placed = plan.placed;
    uint32_t later = 0, nextProcedure = 0, end = 0, arrays = 0;
    uint32_t laterSection = 0, kept = plan.placedCount;
    CvArrayType array = {0, 0};
    for (uint32_t last = plan.placedCount; last > 0;) {
        uint32_t first = last - 1;
        const uint32_t section = placed[first].section, offset = placed[first].offset;
        if (section != laterSection) {
            later = nextProcedure = end = sectionEnd(b, section);
            laterSection = section;
        }
        while (first > 0 && placed[first - 1].section == section && placed[first - 1].offset == offset) --first;
        uint32_t labelEnd = later < end ? later : end;
        for (uint32_t i = first; i < last; ++i) {
            CvPlacedSymbol& p = placed[i];
            p.end = labelEnd;
            if (p.kind != S_LDATA32) continue;
            p.type = arrayOf(p, &array) ? 0 : basicDataType(p.symbol->dataSize);
            if (p.type == 0) ++arrays;
        }
        if (chooseProcedure(b, publics, first, last)) {
            placed[first].end = nextProcedure;
            nextProcedure = offset;
        }
        // Backwards, so that no entry is overwritten before it is moved.
        for (uint32_t i = last; i > first;)
            if (placed[--i].kind != 0) placed[--kept] = placed[i];
        later = offset;
        last = first;
    }
    plan.placedCount -= kept;
    moveBytes(placed, placed + kept, plan.placedCount * static_cast<uint32_t>(sizeof(CvPlacedSymbol)));
    return arrays;
}

// Every distinct array once, sorted; each data label that covers one (of
// `candidates`, typed 0 so far) gets its array's index.
void planArrays(CvBuilder* b, uint32_t candidates) {
    CvRecordPlan& plan = b->plan;
    CvArrayType array = {0, 0};
    plan.arrays = static_cast<CvArrayType*>(allocateRecords(candidates, sizeof(CvArrayType)));
    uint32_t n = 0;
    for (uint32_t i = 0; i < plan.placedCount; ++i)
        if (plan.placed[i].kind == S_LDATA32 && plan.placed[i].type == 0) arrayOf(plan.placed[i], &plan.arrays[n++]);
    std::sort(plan.arrays, plan.arrays + n, arrayBelow);
    plan.arrayCount = static_cast<uint32_t>(std::unique(plan.arrays, plan.arrays + n, sameArray) - plan.arrays);
    for (uint32_t i = 0; i < plan.placedCount; ++i) {
        CvPlacedSymbol& p = plan.placed[i];
        if (p.kind != S_LDATA32 || p.type != 0) continue;
        arrayOf(p, &array);
        const CvArrayType* found = std::lower_bound(plan.arrays, plan.arrays + plan.arrayCount, array, arrayBelow);
        p.type = plan.firstArrayType + static_cast<uint32_t>(found - plan.arrays);
    }
}

void appendArrayType(ByteBuffer* types, const CvArrayType& array) {
    uint32_t start = types->size;
    beginTypeRecord(types, LF_ARRAY);
    types->appendU32(array.element);
    types->appendU32(T_ULONG);  // index type
    if (array.bytes < 0x8000) {
        types->appendU16(static_cast<uint16_t>(array.bytes));
    } else {
        types->appendU16(LF_ULONG);
        types->appendU32(array.bytes);
    }
    types->appendU8(0);  // no name
    endTypeRecord(types, start);
}

}  // namespace

void CvBuilder::planRecords() {
    objectSections = coff->loadedSections;
    releasePlan();
    // The object's public symbols, before the records add static ones.
    PublicPlaces publics;
    publics.init(coff);
    placeSymbols(this);
    uint32_t arrays = planProcedures(this, publics);
    publics.release();
    plan.procedureType = plan.procedureCount ? firstPlannedType + 1 : 0;
    plan.firstArrayType = firstPlannedType + (plan.procedureCount ? 2 : 0);
    planArrays(this, arrays);
}

// After the default types: a procedure type `void ()` for every procedure
// (no more is known of an assembly routine), then the arrays.
void CvBuilder::writeProcedureTypes() {
    if (plan.procedureCount) {
        uint32_t start = types.size;
        beginTypeRecord(&types, LF_ARGLIST);
        types.appendU32(0);
        endTypeRecord(&types, start);
        start = types.size;
        beginTypeRecord(&types, LF_PROCEDURE);
        types.appendU32(T_VOID);
        types.appendU8(0);   // calling convention: near C
        types.appendU8(0);   // no function attributes
        types.appendU16(0);  // no parameters
        types.appendU32(firstPlannedType);
        endTypeRecord(&types, start);
    }
    for (uint32_t i = 0; i < plan.arrayCount; ++i) appendArrayType(&types, plan.arrays[i]);
}

// The records in address order, each procedure's scope closed by S_END.
// pParent, pEnd and pNext stay 0: the linker sets them in the PDB.
void CvBuilder::writeScopedSymbols() {
    bool open = false;
    uint32_t openSection = 0, openEnd = 0;
    for (uint32_t i = 0; i < plan.placedCount; ++i) {
        CvPlacedSymbol& p = plan.placed[i];
        if (open && (p.section != openSection || p.offset >= openEnd)) {
            beginRecord(S_END);
            endRecord();
            open = false;
        }
        uint32_t index = p.objectSymbol;
        if (p.kind == S_LABEL32) {
            writeLabelRecord(p.symbol, index);
        } else if (p.kind == S_LDATA32) {
            writeDataRecord(p.symbol, index, p.type);
        } else {
            uint32_t length = p.end - p.offset;
            beginRecord(p.kind);
            output.appendU32(0);  // pParent
            output.appendU32(0);  // pEnd
            output.appendU32(0);  // pNext
            output.appendU32(length);
            output.appendU32(0);           // debug start: no prologue
            output.appendU32(length - 1);  // debug end: the last byte
            output.appendU32(plan.procedureType);
            output.appendU32(0);  // offset, by SECREL
            output.appendU16(0);  // segment, by SECTION
            output.appendU8(0);   // no flags
            appendString(p.symbol->name);
            endRecord();
            addAddressRelocations(recordStart + 28, index);
            open = true;
            openSection = p.section;
            openEnd = p.end;
        }
    }
    if (open) {
        beginRecord(S_END);
        endRecord();
    }
}

const char* const ebpFrameProgram = "$T0 $ebp = $eip $T0 4 + ^ = $ebp $T0 ^ = $esp $T0 8 + = ";

// Frame data for each procedure, one subsection each, its address tied by
// DIR32NB: the frame that `push ebp` / `mov ebp, esp` makes, which is how a
// debugger walks code without frame data (the ebp chain), now said
// outright. wine 10's debugger fails at every stop in a program whose PDB
// has no frame data, and with frame data for other code only, lists the
// innermost frame again and again.
void CvBuilder::writeFrameData() {
    for (uint32_t i = 0; i < plan.placedCount; ++i) {
        const CvPlacedSymbol& p = plan.placed[i];
        if (p.kind != S_GPROC32 && p.kind != S_LPROC32) continue;
        beginSubsection(DEBUG_S_FRAMEDATA);
        addRelocation(output.size, p.objectSymbol, IMAGE_REL_I386_DIR32NB);
        output.appendU32(0);  // the procedure's address, by the relocation
        output.appendU32(0);  // start, from that address
        output.appendU32(p.end - p.offset);
        output.appendU32(0);  // locals
        output.appendU32(0);  // parameters
        output.appendU32(0);  // stack
        output.appendU32(frameProgram);
        output.appendU16(0);  // prologue
        output.appendU16(0);  // saved registers
        output.appendU32(4);  // flags: a function's start
        endSubsection();
    }
}

void CvBuilder::releasePlan() {
    deallocateWithHeader(plan.placed);
    deallocateWithHeader(plan.arrays);
    plan.placed = nullptr;
    plan.arrays = nullptr;
    plan.placedCount = plan.procedureCount = plan.arrayCount = 0;
}
