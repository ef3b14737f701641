// Appending sections and symbols, and attaching section contents and
// relocations. Nothing existing ever moves or changes its number.
#include <cstring>

#include "coff/coff.h"

uint32_t CoffObject::addSection(const char* name, uint32_t characteristics) {
    CoffSection* section =
        reinterpret_cast<CoffSection*>(sectionTable.insertGap(sectionTable.size, sizeof(CoffSection)));
    memset(section, 0, sizeof(CoffSection));
    section->name = name;
    section->rawDataOffset = noOffset;
    section->relocationsOffset = noOffset;
    section->linenumbersOffset = noOffset;
    section->Characteristics = characteristics;
    section->sectionSymbolIndex = noOffset;
    return ++NumberOfSections;
}

CoffSymbol* CoffObject::addSymbol(const char* name, uint32_t* index) {
    CoffSymbol* symbol =
        reinterpret_cast<CoffSymbol*>(symbolTable.insertGap(symbolTable.size, sizeof(CoffSymbol)));
    memset(symbol, 0, sizeof(CoffSymbol));
    symbol->name = name;
    *index = NumberOfSymbols++;
    nameIndex.put(reinterpret_cast<uintptr_t>(name), *index + 1);
    return symbol;
}

void CoffObject::setSectionData(uint32_t number, const void* bytes, uint32_t size) {
    CoffSection* section = sectionByNumber(number);
    section->rawDataOffset = rawArea.size;
    section->SizeOfRawData = size;
    rawArea.appendBytes(bytes, size);
}

// More than 65535 relocations do not fit the 16-bit count: the section is
// flagged, the count reads 0xFFFF, and a first extra record carries the
// real count + 1 in its VirtualAddress.
void CoffObject::setSectionRelocations(uint32_t number, const void* records, uint32_t count) {
    CoffSection* section = sectionByNumber(number);
    section->relocationsOffset = rawArea.size;
    if (count > 0xFFFF) {
        section->Characteristics |= IMAGE_SCN_LNK_NRELOC_OVFL;
        section->NumberOfRelocations = 0xFFFF;
        rawArea.appendU32(count + 1);
        rawArea.appendU32(0);
        rawArea.appendU16(0);
    } else {
        section->NumberOfRelocations = static_cast<uint16_t>(count);
    }
    rawArea.appendBytes(records, count * coffRelocationSize);
}
