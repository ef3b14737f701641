#include "fas/fasfile.h"

#include <cstring>

#include "driver/fatal.h"
#include "support/fileio.h"
#include "support/heap.h"
#include "support/strings.h"

namespace {

const uint32_t signature = 0x1A736166;
const uint32_t headerSize = 48;
const uint32_t symbolSize = 32;
const uint32_t dumpRowSize = 28;
const uint32_t lineHeaderSize = 16;
const uint32_t bit31 = 0x80000000u;

[[noreturn]] void damaged() {
    fatalError("error while loading input file");
}

// Whether [offset, offset + length) lies inside the content.
bool inside(const ByteBuffer& content, uint64_t offset, uint64_t length) {
    return offset <= content.size && length <= content.size - offset;
}

// The zero-terminated name at the offset; the file is damaged when the name
// does not end inside the content.
const char* terminatedName(const ByteBuffer& content, uint64_t offset) {
    if (offset >= content.size) damaged();
    const uint8_t* start = content.data + offset;
    if (!memchr(start, 0, content.size - static_cast<uint32_t>(offset))) damaged();
    return reinterpret_cast<const char*>(start);
}

// Adds the name to the set of source files and returns the set's own copy
// of it: one copy per name in the file, so copies compare by address.
const char* addSourceFile(FasFile* fas, const char* name) {
    uintptr_t offset = static_cast<uintptr_t>(reinterpret_cast<const uint8_t*>(name) - fas->content.data);
    // Offset 0 is the signature; a name there cannot be genuine and the key
    // 0 cannot be stored.
    if (offset == 0) damaged();
    uintptr_t copy = 0;
    if (fas->sourceFiles.get(offset, &copy)) return reinterpret_cast<const char*>(copy);
    char* owned = strDup(name);
    fas->sourceFiles.put(offset, reinterpret_cast<uintptr_t>(owned));
    return owned;
}

void releaseName(uintptr_t value, void*) {
    strRelease(reinterpret_cast<char*>(value));
}

char* symbolName(const FasFile* fas, uint32_t field) {
    if (field & bit31) {
        uint64_t offset = static_cast<uint64_t>(fas->stringsStart) + (field & ~bit31);
        return strDup(terminatedName(fas->content, offset));
    }
    uint64_t offset = static_cast<uint64_t>(fas->sourceStart) + field;
    if (!inside(fas->content, offset, 1)) damaged();
    uint32_t length = fas->content.data[offset];
    if (!inside(fas->content, offset + 1, length)) damaged();
    return strDupN(reinterpret_cast<const char*>(fas->content.data + offset + 1), length);
}

// A hint to the processor to fetch the name of a symbol row; reads nothing.
void prefetchName(const FasFile* fas, uint32_t field) {
    uint64_t offset = static_cast<uint64_t>(field & bit31 ? fas->stringsStart : fas->sourceStart) + (field & ~bit31);
    if (offset < fas->content.size) __builtin_prefetch(fas->content.data + offset);
}

void loadSymbols(FasFile* fas) {
    const uint8_t* header = fas->content.data;
    uint32_t tableStart = readU32(header + 24);
    fas->symbolCount = readU32(header + 28) / symbolSize;
    if (!inside(fas->content, tableStart, static_cast<uint64_t>(fas->symbolCount) * symbolSize)) damaged();
    fas->symbols = static_cast<SymbolEntry*>(allocateWithHeader(fas->symbolCount * sizeof(SymbolEntry)));
    // Names lie scattered over the preprocessed source; asking for the name
    // of a row a little ahead hides most of the wait for memory.
    const uint32_t lookAhead = 16;
    for (uint32_t i = 0; i < fas->symbolCount; ++i) {
        const uint8_t* row = fas->content.data + tableStart + i * symbolSize;
        if (i + lookAhead < fas->symbolCount) prefetchName(fas, readU32(row + lookAhead * symbolSize + 24));
        SymbolEntry& entry = fas->symbols[i];
        uint32_t relativeTo = readU32(row + 20);
        entry.name = nullptr;
        entry.value = readU64(row);
        entry.section = relativeTo & ~bit31;
        entry.dataSize = row[10];
        entry.isSectionRelative = (row[11] == 2 && !(relativeTo & bit31)) ? 1 : 0;
        entry.name = symbolName(fas, readU32(row + 24));
    }
}

// Follows macro-generated lines to the outermost invoking source line. An
// invoking line always lies before the lines its macro generated, so the
// walk must move strictly backwards; anything else is a damaged file.
const uint8_t* sourceLine(const ByteBuffer& content, uint64_t sourceStart, uint32_t lineOffset) {
    uint64_t position = sourceStart + lineOffset;
    for (;;) {
        if (!inside(content, position, lineHeaderSize)) damaged();
        const uint8_t* line = content.data + position;
        if (!(readU32(line + 4) & bit31)) return line;
        uint64_t invoker = sourceStart + readU32(line + 8);
        if (invoker >= position) damaged();
        position = invoker;
    }
}

bool rowQualifies(const uint8_t* row) {
    uint32_t section = readU32(row + 20);
    return row[26] == 0 && row[24] == 2 && !(section & bit31) && section != 0;
}

void loadLines(FasFile* fas) {
    const uint8_t* header = fas->content.data;
    uint32_t dumpStart = readU32(header + 40);
    uint32_t rowCount = readU32(header + 44) / dumpRowSize;
    if (!inside(fas->content, dumpStart, static_cast<uint64_t>(rowCount) * dumpRowSize)) damaged();
    fas->lines = static_cast<LineEntry*>(allocateWithHeader(rowCount * sizeof(LineEntry)));
    uint32_t used = 0;
    // Locals, so that the loop does not reload them after every store.
    const ByteBuffer& content = fas->content;
    const uint8_t* rows = content.data + dumpStart;
    const uint64_t sourceStart = fas->sourceStart;
    LineEntry* lines = fas->lines;
    // Consecutive rows mostly come from one file: its name is checked and
    // added to the set once per run.
    uint32_t previousField = 0;
    const char* previousName = nullptr;
    for (uint32_t i = 0; i < rowCount; ++i) {
        const uint8_t* row = rows + i * dumpRowSize;
        if (!rowQualifies(row)) continue;
        uint32_t outputOffset = readU32(row);
        // Rows that start at the offset of the entry before overwrite it.
        LineEntry* entry = (used > 0 && lines[used - 1].outputOffset == outputOffset) ? &lines[used - 1]
                                                                                      : &lines[used++];
        entry->section = readU32(row + 20);
        entry->outputOffset = outputOffset;
        const uint8_t* line = sourceLine(content, sourceStart, readU32(row + 4));
        entry->lineNumber = readU32(line + 4);
        uint32_t fileField = readU32(line);
        if (fileField == 0) {
            entry->fileName = fas->mainSourceName;
        } else {
            if (fileField != previousField || !previousName) {
                previousName = addSourceFile(fas, terminatedName(content, sourceStart + fileField));
                previousField = fileField;
            }
            entry->fileName = previousName;
        }
    }
    fas->lineCount = used;
}

// Every file fasm read lines from, but the main source, begins right after
// the line that included it, and that line ends with the file's name: a
// quoted-string token (22h, a 32-bit length, the name) and the line's zero
// byte. The first line of the file then names its file by the offset of
// that string. So each such line is found by its name token, with a fast
// search for 22h bytes instead of a walk over every token of every line; a
// 22h byte elsewhere (a header, a name, a string) almost never has a line
// after it that points back at it, and is passed over. Nothing is read
// outside the preprocessed source, and no file is needed: a damaged file
// simply lists fewer names.
void collectReadFiles(FasFile* fas) {
    const uint8_t* source = fas->content.data + fas->sourceStart;
    uint64_t length = readU32(fas->content.data + 36);
    if (length > fas->content.size - fas->sourceStart) length = fas->content.size - fas->sourceStart;
    const uint8_t* end = source + length;
    const ptrdiff_t tokenHead = 5;  // 22h and the length
    for (const uint8_t* p = source; end - p > tokenHead;) {
        p = static_cast<const uint8_t*>(memchr(p, 0x22, static_cast<size_t>(end - p)));
        if (!p || end - p <= tokenHead) return;
        const uint8_t* name = p + tokenHead;
        uint64_t nameLength = readU32(p + 1);
        ++p;
        if (nameLength == 0 || nameLength + 1 + lineHeaderSize > static_cast<uint64_t>(end - name)) continue;
        const uint8_t* firstLine = name + nameLength + 1;
        if (name[nameLength] != 0 || readU32(firstLine) != static_cast<uint32_t>(name - source)) continue;
        if (readU32(firstLine + 4) & bit31) continue;  // a macro's line names no file
        uintptr_t offset = static_cast<uintptr_t>(name - fas->content.data);
        uintptr_t copy = 0;
        if (!fas->readFiles.get(offset, &copy))
            fas->readFiles.put(offset, reinterpret_cast<uintptr_t>(strDup(reinterpret_cast<const char*>(name))));
    }
}

// The object's name as fasm was given it; a damaged field only means that
// it is not known, since the output does not depend on it.
char* recordedOutputName(const FasFile* fas) {
    uint64_t offset = static_cast<uint64_t>(fas->stringsStart) + readU32(fas->content.data + 12);
    if (offset >= fas->content.size) return nullptr;
    const uint8_t* start = fas->content.data + offset;
    const void* end = memchr(start, 0, fas->content.size - static_cast<uint32_t>(offset));
    if (!end) return nullptr;
    return strDupN(reinterpret_cast<const char*>(start), static_cast<uint32_t>(static_cast<const uint8_t*>(end) - start));
}

}  // namespace

void FasFile::init() {
    content.init();
    stringsStart = 0;
    sourceStart = 0;
    mainSourceName = nullptr;
    symbols = nullptr;
    lines = nullptr;
    symbolCount = 0;
    lineCount = 0;
    sourceFiles.init(&integerKeys);
    listReadFiles = false;
    readFilesListed = false;
    outputFileName = nullptr;
}

void FasFile::load(const char* name) {
    FileHandle file;
    // A pipe or a device would block the run or never end it.
    if (!file.openRegularForReading(name)) fatalError("can't open input file");
    if (!file.readWhole(&content)) fatalError("error while loading input file");
    file.close();
    parseContent();
}

void FasFile::parseContent() {
    if (content.size < 4 || (readU32(content.data) & ~1u) != signature) fatalError("input is not a fas file");
    if (content.size < headerSize) damaged();
    stringsStart = readU32(content.data + 16);
    sourceStart = readU32(content.data + 32);
    if (stringsStart > content.size || sourceStart > content.size) damaged();
    mainSourceName = addSourceFile(this, terminatedName(content, static_cast<uint64_t>(stringsStart) + readU32(content.data + 8)));
    loadSymbols(this);
    loadLines(this);
    if (listReadFiles) {
        readFiles.init(&integerKeys);
        readFilesListed = true;
        collectReadFiles(this);
        outputFileName = recordedOutputName(this);
    }
    // Everything needed later has been copied out: the image, the largest
    // block of the run, goes back now, and the CodeView contents and the
    // object's file image reuse its memory.
    content.release();
}

void FasFile::forEachSymbol(SymbolVisitor visitor, void* context) const {
    for (uint32_t i = 0; i < symbolCount; ++i) visitor(&symbols[i], context);
}

void FasFile::release() {
    sourceFiles.releaseEach(releaseName, nullptr);
    if (readFilesListed) readFiles.releaseEach(releaseName, nullptr);
    readFilesListed = false;
    strRelease(outputFileName);
    outputFileName = nullptr;
    for (uint32_t i = 0; i < symbolCount; ++i) strRelease(symbols[i].name);
    deallocateWithHeader(symbols);
    deallocateWithHeader(lines);
    content.release();
}
