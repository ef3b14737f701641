// Loading an object file and finding its sections and symbols.
#include <cstring>

#include "coff/coff.h"
#include "driver/fatal.h"
#include "support/fileio.h"
#include "support/heap.h"
#include "support/strings.h"

namespace {

const uint32_t fileHeaderSize = coffFileHeaderSize;
const uint32_t sectionHeaderSize = 40;
const uint32_t linenumberSize = 6;

[[noreturn]] void damaged() {
    fatalError("error while loading object file");
}

// The name in an 8-byte field: the bytes before the first zero, all 8 when
// none is zero.
char* fieldName(const uint8_t* field) {
    uint32_t length = 0;
    while (length < 8 && field[length] != 0) ++length;
    return strDupN(reinterpret_cast<const char*>(field), length);
}

// Where the pieces of the file lie; every one is checked against the image.
struct Layout {
    const ByteBuffer* image;
    uint32_t sectionTable;
    uint32_t rawBase;
    uint32_t symbolTable;
    uint32_t stringTable;

    bool inside(uint64_t offset, uint64_t length) const {
        return offset <= image->size && length <= image->size - offset;
    }
};

// Turns a file pointer to a piece of `length` bytes into an offset within
// the raw area, which the piece must not leave.
uint32_t rawOffset(const Layout& layout, uint32_t pointer, uint64_t length) {
    if (pointer == 0) return noOffset;
    if (pointer < layout.rawBase || pointer > layout.symbolTable ||
        length > layout.symbolTable - pointer)
        damaged();
    return pointer - layout.rawBase;
}

// Relocation count of a section; with the overflow flag the first record
// holds the real count + 1.
uint64_t relocationCount(const Layout& layout, const uint8_t* header) {
    uint32_t count = readU16(header + 32);
    uint32_t pointer = readU32(header + 24);
    if (!(readU32(header + 36) & IMAGE_SCN_LNK_NRELOC_OVFL) || count != 0xFFFF || pointer == 0) return count;
    if (!layout.inside(pointer, coffRelocationSize)) damaged();
    uint32_t total = readU32(layout.image->data + pointer);
    if (total == 0) damaged();
    return total;
}

void loadSection(CoffObject* object, const Layout& layout, const uint8_t* header) {
    CoffSection* section = reinterpret_cast<CoffSection*>(
        object->sectionTable.insertGap(object->sectionTable.size, sizeof(CoffSection)));
    // Long names live in the string table; they cannot be written back.
    if (header[0] == '/') damaged();
    section->name = nullptr;
    section->VirtualSize = readU32(header + 8);
    section->VirtualAddress = readU32(header + 12);
    section->SizeOfRawData = readU32(header + 16);
    section->NumberOfRelocations = readU16(header + 32);
    section->NumberOfLinenumbers = readU16(header + 34);
    section->Characteristics = readU32(header + 36);
    section->sourceRawDataPointer = readU32(header + 20);
    section->rawDataOffset = rawOffset(layout, readU32(header + 20), section->SizeOfRawData);
    section->relocationsOffset =
        rawOffset(layout, readU32(header + 24), relocationCount(layout, header) * coffRelocationSize);
    section->linenumbersOffset =
        rawOffset(layout, readU32(header + 28), static_cast<uint64_t>(section->NumberOfLinenumbers) * linenumberSize);
    section->sectionSymbolIndex = noOffset;
    section->name = fieldName(header);
    ++object->NumberOfSections;
}

char* symbolName(const Layout& layout, const uint8_t* entry) {
    if (readU32(entry) != 0) return fieldName(entry);
    uint64_t offset = static_cast<uint64_t>(layout.stringTable) + readU32(entry + 4);
    if (offset >= layout.image->size) damaged();
    const uint8_t* start = layout.image->data + offset;
    if (!memchr(start, 0, layout.image->size - static_cast<uint32_t>(offset))) damaged();
    return strDup(reinterpret_cast<const char*>(start));
}

CoffSymbol* appendSymbol(CoffObject* object) {
    CoffSymbol* symbol = reinterpret_cast<CoffSymbol*>(
        object->symbolTable.insertGap(object->symbolTable.size, sizeof(CoffSymbol)));
    memset(symbol, 0, sizeof(CoffSymbol));
    ++object->NumberOfSymbols;
    return symbol;
}

void loadSymbols(CoffObject* object, const Layout& layout, uint32_t count) {
    const uint8_t* table = layout.image->data + layout.symbolTable;
    for (uint32_t i = 0; i < count;) {
        const uint8_t* entry = table + i * coffSymbolSize;
        CoffSymbol* symbol = appendSymbol(object);
        symbol->name = symbolName(layout, entry);
        symbol->Value = readU32(entry + 8);
        symbol->SectionNumber = static_cast<int16_t>(readU16(entry + 12));
        symbol->Type = readU16(entry + 14);
        symbol->StorageClass = entry[16];
        symbol->NumberOfAuxSymbols = entry[17];
        object->nameIndex.put(reinterpret_cast<uintptr_t>(symbol->name), i + 1);
        if (symbol->SectionNumber > 0 && static_cast<uint32_t>(symbol->SectionNumber) <= object->NumberOfSections) {
            CoffSection* section = object->sectionByNumber(static_cast<uint32_t>(symbol->SectionNumber));
            if (strEqual(section->name, symbol->name)) section->sectionSymbolIndex = i;
        }
        uint32_t auxiliaries = symbol->NumberOfAuxSymbols;
        if (auxiliaries > count - i - 1) damaged();
        for (uint32_t a = 1; a <= auxiliaries; ++a) {
            CoffSymbol* aux = appendSymbol(object);
            memcpy(aux->auxiliary, entry + a * coffSymbolSize, coffSymbolSize);
        }
        i += 1 + auxiliaries;
    }
}

}  // namespace

void CoffObject::init() {
    Machine = 0;
    TimeDateStamp = 0;
    NumberOfSections = 0;
    NumberOfSymbols = 0;
    Characteristics = 0;
    optionalHeader.init();
    sectionTable.init();
    rawArea.init();
    symbolTable.init();
    nameIndex.init(&stringKeys);
    loadedSections = 0;
    loadedSymbols = 0;
}

void CoffObject::release() {
    for (uint32_t n = 1; n <= loadedSections; ++n) strRelease(sectionByNumber(n)->name);
    for (uint32_t i = 0; i < loadedSymbols; ++i) strRelease(symbolAt(i)->name);
    nameIndex.release();
    optionalHeader.release();
    sectionTable.release();
    rawArea.release();
    symbolTable.release();
}

void CoffObject::load(const char* path) {
    FileHandle file;
    if (!file.openRegularForReading(path)) fatalError("can't open object file");
    ByteBuffer image;
    image.init();
    if (!file.readWhole(&image)) fatalError("error while loading object file");
    file.close();
    parseImage(image);
    image.release();
}

bool isCoffObjectHeader(const uint8_t* bytes, uint32_t size) {
    static const uint16_t machines[] = {
        0x014C, 0x8664, 0x01C0, 0x01C2, 0x01C4, 0xAA64, 0xA641, 0xA64E, 0x3A64, 0x0200, 0x0162, 0x0166,
        0x0168, 0x0169, 0x0266, 0x0366, 0x0466, 0x0184, 0x0284, 0x01A2, 0x01A3, 0x01A6, 0x01A8, 0x01D3,
        0x01F0, 0x01F1, 0x0EBC, 0x9041, 0x5032, 0x5064, 0x5128, 0x6232, 0x6264, 0x0520, 0x0CEF, 0xC0EE};
    if (size < fileHeaderSize) return false;
    uint16_t machine = readU16(bytes);
    if (machine == 0) return readU16(bytes + 2) == 0xFFFF;
    if (readU16(bytes + 16) > 0xFF) return false;
    for (uint16_t known : machines)
        if (machine == known) return true;
    return false;
}

void CoffObject::parseImage(const ByteBuffer& image) {
    const uint8_t* data = image.data;
    if (image.size < 2) damaged();
    if (readU16(data) != IMAGE_FILE_MACHINE_I386) fatalError("unsupported machine type");
    if (image.size < fileHeaderSize) damaged();
    Machine = readU16(data);
    TimeDateStamp = readU32(data + 4);
    Characteristics = readU16(data + 18);
    uint32_t sectionCount = readU16(data + 2);
    uint32_t symbolCount = readU32(data + 12);
    uint32_t optionalSize = readU16(data + 16);

    Layout layout;
    layout.image = &image;
    layout.sectionTable = fileHeaderSize + optionalSize;
    layout.rawBase = layout.sectionTable + sectionHeaderSize * sectionCount;
    if (!layout.inside(0, layout.rawBase)) damaged();
    uint32_t symbolPointer = readU32(data + 8);
    // An object without symbols may have no symbol table at all.
    layout.symbolTable = (symbolPointer == 0 && symbolCount == 0) ? image.size : symbolPointer;
    if (layout.symbolTable < layout.rawBase ||
        !layout.inside(layout.symbolTable, static_cast<uint64_t>(symbolCount) * coffSymbolSize))
        damaged();
    layout.stringTable = layout.symbolTable + symbolCount * coffSymbolSize;

    optionalHeader.appendBytes(data + fileHeaderSize, optionalSize);
    rawArea.appendBytes(data + layout.rawBase, layout.symbolTable - layout.rawBase);
    for (uint32_t n = 0; n < sectionCount; ++n)
        loadSection(this, layout, data + layout.sectionTable + n * sectionHeaderSize);
    loadedSections = NumberOfSections;
    loadSymbols(this, layout, symbolCount);
    loadedSymbols = NumberOfSymbols;
}

CoffSection* CoffObject::findSection(const char* name) const {
    for (uint32_t n = 1; n <= NumberOfSections; ++n) {
        CoffSection* section = sectionByNumber(n);
        if (strEqual(section->name, name)) return section;
    }
    return nullptr;
}

bool CoffObject::findSymbol(const char* name, CoffSymbol** symbol, uint32_t* index) const {
    uintptr_t value = 0;
    if (!nameIndex.get(reinterpret_cast<uintptr_t>(name), &value)) return false;
    *index = static_cast<uint32_t>(value - 1);
    *symbol = symbolAt(*index);
    return true;
}
