// Builds the ".debug$S" contents and their relocations from the symbolic
// information and the object.
#pragma once

#include <cstdint>

#include "coff/coff.h"
#include "fas/fasfile.h"
#include "support/arrays.h"
#include "support/buffer.h"
#include "support/hashtable.h"

const uint32_t CV_SIGNATURE_C13 = 4;
const uint32_t DEBUG_S_SYMBOLS = 0xF1;
const uint32_t DEBUG_S_LINES = 0xF2;
const uint32_t DEBUG_S_STRINGTABLE = 0xF3;
const uint32_t DEBUG_S_FILECHKSMS = 0xF4;
const uint16_t S_OBJNAME = 0x1101;
const uint16_t S_LABEL32 = 0x1105;
const uint16_t S_LDATA32 = 0x110C;
const uint16_t S_COMPILE2 = 0x1116;
const uint8_t CHKSUM_TYPE_MD5 = 1;
const uint16_t IMAGE_REL_I386_SECTION = 0x000A;
const uint16_t IMAGE_REL_I386_SECREL = 0x000B;

// The ".debug$T" contents: the signature and one LF_LABEL type record.
extern const uint8_t debugTypesContents[12];

struct CvFileEntry {
    const char* file;  // member of the FasFile's sourceFiles
    uint32_t nameOffset;
    uint32_t checksumOffset;
};

struct CvSectionLines {
    uint32_t sectionNumber;
    const CoffSection* coffSection;
    SortedPtrArray rows;  // LineEntry pointers ordered by outputOffset
};

struct CvBuilder {
    ByteBuffer output;
    ByteBuffer relocations;  // IMAGE_RELOCATION records
    uint32_t relocationCount;
    const FasFile* fas;
    CoffObject* coff;
    CvFileEntry* files;
    uint32_t fileCount;
    HashTable sections;  // section number -> CvSectionLines
    uint32_t subsectionStart;
    uint32_t recordStart;
    // Sections of the object as loaded; sections added since hold no code.
    uint32_t objectSections;

    void init(const FasFile* fasFile, CoffObject* object);
    // Builds everything; `objectName` is the output object's name.
    void generate(const char* objectName);
    void release();

    void appendString(const char* s);
    void beginSubsection(uint32_t type);
    void endSubsection();
    void beginRecord(uint16_t kind);
    void endRecord();
    void addRelocation(uint32_t offset, uint32_t symbolIndex, uint16_t type);
    void addAddressRelocations(uint32_t offset, uint32_t symbolIndex);

    void writeStringTable();
    void writeFileChecksums();
    void writeLines();
    void writeSymbols(const char* objectName);
};

// The MD5 digest of a file as it lies on disk, or 16 zero bytes when it
// cannot be read. `scratch` is reused for every file.
void digestFile(const char* name, ByteBuffer* scratch, uint8_t digest[16]);
