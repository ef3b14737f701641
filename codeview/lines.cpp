// One DEBUG_S_LINES subsection per section that holds code from source lines;
// with procedure records, one per procedure instead (see writeProcedureLines).
#include <algorithm>
#include <cstring>

#include "codeview/builder.h"
#include "support/heap.h"

namespace {

bool offsetBelow(const void* inArray, const void* added) {
    return static_cast<const LineEntry*>(inArray)->outputOffset < static_cast<const LineEntry*>(added)->outputOffset;
}

// Where each section's contents lay in the input object, for the test
// whether a line entry points at a byte. `size` is 0 for a section that can
// take no line entries: no contents or no section symbol.
struct SectionSpan {
    uint32_t base;
    uint32_t size;
    uint32_t entries;
};

SectionSpan* sectionSpans(const CvBuilder* b, uint32_t* bytes) {
    *bytes = (b->objectSections + 1) * static_cast<uint32_t>(sizeof(SectionSpan));
    SectionSpan* spans = static_cast<SectionSpan*>(allocate(*bytes));
    memset(spans, 0, *bytes);
    for (uint32_t n = 1; n <= b->objectSections; ++n) {
        const CoffSection* section = b->coff->sectionByNumber(n);
        if (section->sourceRawDataPointer == 0 || section->sectionSymbolIndex == noOffset) continue;
        spans[n].base = section->sourceRawDataPointer;
        spans[n].size = section->SizeOfRawData;
    }
    return spans;
}

// A line entry points at a byte only when its section is one of the
// object's, has contents and a section symbol, and the offset lies inside
// those contents. Other entries are dropped before grouping.
inline bool pointsAtCode(const CvBuilder* b, const SectionSpan* spans, const LineEntry* entry) {
    if (entry->section == 0 || entry->section > b->objectSections) return false;
    const SectionSpan& span = spans[entry->section];
    return entry->outputOffset >= span.base && entry->outputOffset - span.base < span.size;
}

CvSectionLines* groupFor(CvBuilder* b, uint32_t sectionNumber, const SectionSpan* spans) {
    uintptr_t value = 0;
    if (b->sections.get(sectionNumber, &value)) return reinterpret_cast<CvSectionLines*>(value);
    CvSectionLines* group = static_cast<CvSectionLines*>(allocate(sizeof(CvSectionLines)));
    group->sectionNumber = sectionNumber;
    group->coffSection = b->coff->sectionByNumber(sectionNumber);
    group->rows.initSorted(offsetBelow);
    group->rows.array.buffer.reserve(spans[sectionNumber].entries * static_cast<uint32_t>(sizeof(void*)));
    b->sections.put(sectionNumber, reinterpret_cast<uintptr_t>(group));
    return group;
}

void groupLines(CvBuilder* b) {
    uint32_t spansSize = 0;
    SectionSpan* spans = sectionSpans(b, &spansSize);
    LineEntry* lines = b->fas->lines;
    const uint32_t lineCount = b->fas->lineCount;
    // Counting the entries of each section first lets every group take its
    // room once.
    for (uint32_t i = 0; i < lineCount; ++i)
        if (pointsAtCode(b, spans, &lines[i])) ++spans[lines[i].section].entries;

    uint32_t previousSection = 0;
    CvSectionLines* previousGroup = nullptr;
    for (uint32_t i = 0; i < lineCount; ++i) {
        LineEntry* entry = &lines[i];
        if (!pointsAtCode(b, spans, entry)) continue;
        if (!previousGroup || entry->section != previousSection) {
            previousGroup = groupFor(b, entry->section, spans);
            previousSection = entry->section;
        }
        previousGroup->rows.insertSorted(entry);
    }
    deallocate(spans, spansSize);
}

uint32_t checksumOffsetOf(const CvBuilder* b, const char* file) {
    for (uint32_t i = 0; i < b->fileCount; ++i)
        if (b->files[i].file == file) return b->files[i].checksumOffset;
    return 0;
}

struct OpenBlock {
    const char* file;
    uint32_t offset;
    uint32_t lines;
    uint32_t lastLine;
};

void closeBlock(CvBuilder* b, OpenBlock* block) {
    if (!block->file) return;
    writeU32(b->output.data + block->offset + 4, block->lines);
    writeU32(b->output.data + block->offset + 8, 12 + 8 * block->lines);
    block->file = nullptr;
}

// Opens a lines subsection for `length` bytes from the place of the symbol
// that its relocations name.
void beginLinesSubsection(CvBuilder* b, uint32_t symbolIndex, uint32_t length) {
    b->beginSubsection(DEBUG_S_LINES);
    uint32_t headerOffset = b->subsectionStart;
    b->output.appendU32(0);
    b->output.appendU16(0);
    b->output.appendU16(0);
    b->output.appendU32(length);
    b->addAddressRelocations(headerOffset, symbolIndex);
}

// Appends one row, opening a file block where the file changes. With
// `mergeRepeats`, a row that repeats the file and line of the row before it
// is left out: the line then covers both rows' bytes in one, so that a
// debugger stepping by lines stops once on a line that made several pieces
// of code (a macro's lines all carry the line that invoked it).
void appendRow(CvBuilder* b, OpenBlock* block, const LineEntry* entry, uint32_t offset, bool mergeRepeats) {
    if (entry->fileName != block->file) {
        closeBlock(b, block);
        block->file = entry->fileName;
        block->offset = b->output.size;
        block->lines = 0;
        b->output.appendU32(checksumOffsetOf(b, entry->fileName));
        b->output.appendU32(0);
        b->output.appendU32(0);
    } else if (mergeRepeats && block->lines && entry->lineNumber == block->lastLine) {
        return;
    }
    ++block->lines;
    block->lastLine = entry->lineNumber;
    b->output.appendU32(offset);
    b->output.appendU32(entry->lineNumber | 0x80000000u);
}

void writeSectionLines(uintptr_t value, void* context) {
    CvBuilder* b = static_cast<CvBuilder*>(context);
    const CvSectionLines* group = reinterpret_cast<const CvSectionLines*>(value);
    const CoffSection* section = group->coffSection;
    uint32_t base = section->sourceRawDataPointer;

    beginLinesSubsection(b, section->sectionSymbolIndex, section->SizeOfRawData);
    OpenBlock block = {nullptr, 0, 0, 0};
    for (uint32_t i = 0, n = group->rows.count(); i < n; ++i) {
        const LineEntry* entry = static_cast<const LineEntry*>(group->rows.at(i));
        appendRow(b, &block, entry, entry->outputOffset - base, false);
    }
    closeBlock(b, &block);
    b->endSubsection();
}

bool isProcedure(const CvPlacedSymbol& p) {
    return p.kind == S_GPROC32 || p.kind == S_LPROC32;
}

bool sectionBelow(const CvPlacedSymbol& p, uint32_t section) {
    return p.section < section;
}

bool sectionAbove(uint32_t section, const CvPlacedSymbol& p) {
    return section < p.section;
}

// The first procedure at or after `p` within [p, last), or last.
CvPlacedSymbol* nextProcedure(CvPlacedSymbol* p, CvPlacedSymbol* last) {
    while (p < last && !isProcedure(*p)) ++p;
    return p;
}

// With procedure records: the rows of each procedure in a subsection of
// its own, tied to the procedure's symbol, and the rows before a section's
// first procedure in one tied to the section. wine's debugger gives the
// rows of a subsection to the procedure at its start, and LLVM's tools key
// line tables by the name of that symbol, so each procedure's rows must
// stand alone under its own name.
void writeProcedureLines(uintptr_t value, void* context) {
    CvBuilder* b = static_cast<CvBuilder*>(context);
    const CvSectionLines* group = reinterpret_cast<const CvSectionLines*>(value);
    const CoffSection* section = group->coffSection;
    uint32_t base = section->sourceRawDataPointer;
    CvRecordPlan& plan = b->plan;
    CvPlacedSymbol* last = plan.placed + plan.placedCount;
    CvPlacedSymbol* placed = plan.placed;
    CvPlacedSymbol* first = std::lower_bound(placed, last, group->sectionNumber, sectionBelow);
    last = std::upper_bound(first, last, group->sectionNumber, sectionAbove);
    CvPlacedSymbol* upcoming = nextProcedure(first, last);

    bool open = false;
    uint32_t spanStart = 0;
    // The offset of the upcoming procedure: rows below it stay in the
    // open subsection, which keeps the common row cheap.
    uint32_t boundary = upcoming < last ? upcoming->offset : UINT32_MAX;
    OpenBlock block = {nullptr, 0, 0, 0};
    for (uint32_t i = 0, n = group->rows.count(); i < n; ++i) {
        const LineEntry* entry = static_cast<const LineEntry*>(group->rows.at(i));
        uint32_t offset = entry->outputOffset - base;
        if (!open || offset >= boundary) {
            CvPlacedSymbol* entered = nullptr;
            while (upcoming < last && offset >= upcoming->offset) {
                entered = upcoming;
                upcoming = nextProcedure(upcoming + 1, last);
            }
            boundary = upcoming < last ? upcoming->offset : UINT32_MAX;
            if (entered && open) {
                closeBlock(b, &block);
                b->endSubsection();
                open = false;
            }
            if (!open) {
                if (entered) {
                    spanStart = entered->offset;
                    beginLinesSubsection(b, entered->objectSymbol, entered->end - entered->offset);
                } else {
                    spanStart = 0;
                    uint32_t end = upcoming < last ? upcoming->offset : section->SizeOfRawData;
                    beginLinesSubsection(b, section->sectionSymbolIndex, end);
                }
                open = true;
            }
        }
        appendRow(b, &block, entry, offset - spanStart, true);
    }
    if (open) {
        closeBlock(b, &block);
        b->endSubsection();
    }
}

}  // namespace

void CvBuilder::writeLines() {
    groupLines(this);
    sections.forEach(procedures ? writeProcedureLines : writeSectionLines, this);
}
