// An i386 COFF object in memory. Everything between the section table and
// the symbol table is kept as one opaque block, `rawArea`; sections record
// where their pieces lie in it.
#pragma once

#include <cstdint>

#include "support/buffer.h"
#include "support/hashtable.h"

const uint32_t noOffset = 0xFFFFFFFFu;
const uint16_t IMAGE_FILE_MACHINE_I386 = 0x014C;
const uint32_t IMAGE_SCN_LNK_NRELOC_OVFL = 0x01000000;
const uint8_t IMAGE_SYM_CLASS_EXTERNAL = 2;
const uint8_t IMAGE_SYM_CLASS_STATIC = 3;
const uint32_t coffRelocationSize = 10;
const uint32_t coffSymbolSize = 18;

const uint32_t coffFileHeaderSize = 20;

// Whether the bytes begin like a COFF object of any machine: a machine type
// that objects use and an optional header that fits in a byte's count (text
// never holds the zero byte that takes), or the import/big-object form.
// `size` is how many bytes there are, at least a file header's for a yes.
bool isCoffObjectHeader(const uint8_t* bytes, uint32_t size);

struct CoffSection {
    const char* name;  // at most 8 bytes
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t rawDataOffset;      // in rawArea, or noOffset
    uint32_t relocationsOffset;  // in rawArea, or noOffset
    uint32_t linenumbersOffset;  // in rawArea, or noOffset
    uint16_t NumberOfRelocations;
    uint16_t NumberOfLinenumbers;
    uint32_t Characteristics;
    uint32_t sourceRawDataPointer;  // PointerToRawData as read
    uint32_t sectionSymbolIndex;    // symbol naming the section, or noOffset
};

// A symbol entry, or an auxiliary entry (name null) that keeps its bytes.
struct CoffSymbol {
    const char* name;
    uint32_t Value;
    int16_t SectionNumber;
    uint16_t Type;
    uint8_t StorageClass;
    uint8_t NumberOfAuxSymbols;
    uint8_t auxiliary[coffSymbolSize];
};

struct CoffObject {
    uint16_t Machine;
    uint32_t TimeDateStamp;
    uint32_t NumberOfSections;
    uint32_t NumberOfSymbols;
    uint16_t Characteristics;
    ByteBuffer optionalHeader;
    ByteBuffer sectionTable;  // CoffSection records, section n at n - 1
    ByteBuffer rawArea;
    ByteBuffer symbolTable;   // CoffSymbol records, index i at i
    HashTable nameIndex;      // name -> index + 1
    // Sections and symbols up to these counts were loaded and own their names.
    uint32_t loadedSections;
    uint32_t loadedSymbols;

    void init();
    void release();
    void load(const char* path);
    // Converts the file image held in `image`; the second half of load.
    void parseImage(const ByteBuffer& image);

    CoffSection* findSection(const char* name) const;
    CoffSection* sectionByNumber(uint32_t number) const {
        return reinterpret_cast<CoffSection*>(sectionTable.data) + (number - 1);
    }
    CoffSymbol* symbolAt(uint32_t index) const { return reinterpret_cast<CoffSymbol*>(symbolTable.data) + index; }
    bool findSymbol(const char* name, CoffSymbol** symbol, uint32_t* index) const;

    uint32_t addSection(const char* name, uint32_t characteristics);
    CoffSymbol* addSymbol(const char* name, uint32_t* index);
    void setSectionData(uint32_t number, const void* bytes, uint32_t size);
    void setSectionRelocations(uint32_t number, const void* records, uint32_t count);

    // Lays the file out afresh into `image`; false when the object cannot be
    // expressed in the file format.
    bool buildImage(ByteBuffer* image) const;
    void save(const char* path) const;
};
