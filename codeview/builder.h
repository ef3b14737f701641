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
const uint32_t DEBUG_S_FRAMEDATA = 0xF5;
const uint16_t S_END = 0x0006;
const uint16_t S_OBJNAME = 0x1101;
const uint16_t S_LABEL32 = 0x1105;
const uint16_t S_LDATA32 = 0x110C;
const uint16_t S_LPROC32 = 0x110F;
const uint16_t S_GPROC32 = 0x1110;
const uint16_t S_COMPILE2 = 0x1116;
const uint16_t S_BUILDINFO = 0x114C;
const uint8_t CHKSUM_TYPE_MD5 = 1;
const uint16_t IMAGE_REL_I386_DIR32NB = 0x0007;
const uint16_t IMAGE_REL_I386_SECTION = 0x000A;
const uint16_t IMAGE_REL_I386_SECREL = 0x000B;

// The frame of a routine that keeps its caller's frame pointer at [ebp]
// and its return address above it, as a frame-data program: the caller's
// eip, ebp and esp.
extern const char* const ebpFrameProgram;
// Type index of the LF_BUILDINFO record in ".debug$T".
const uint32_t buildInfoTypeIndex = 0x1004;
// Longest name that still fits a record's 16-bit length.
const uint32_t maximumNameLength = 0xFF00;

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

// A symbol of one of the object's sections, in the address order that the
// procedure records need (--procedures).
// Kept small: there is one for every label of a program.
struct CvPlacedSymbol {
    const SymbolEntry* symbol;  // in the ".fas" table, whose order breaks ties
    uint32_t offset;
    // Procedure: the end of its range; other symbols: the end of the bytes
    // they label (the next label of the section, or the section's end).
    uint32_t end;
    uint32_t type;  // data: the type of its record
    // The object symbol its relocations name (the line table and the
    // record of a procedure both name it); noOffset for one without record.
    uint32_t objectSymbol;
    uint16_t section;  // an object section's number: at most 65535
    uint16_t kind;     // the record it gets, or 0 for none
};

// An array type of ".debug$T": elements of a basic type, `bytes` in all.
struct CvArrayType {
    uint32_t element;
    uint32_t bytes;
};

// What the procedure and array records are made of, worked out once from
// the symbols sorted by address.
struct CvRecordPlan {
    CvPlacedSymbol* placed;
    uint32_t placedCount;
    uint32_t procedureCount;
    CvArrayType* arrays;
    uint32_t arrayCount;
    uint32_t procedureType;  // type index of the procedures' LF_PROCEDURE
    uint32_t firstArrayType;
};

struct CvBuilder {
    ByteBuffer types;   // the ".debug$T" contents
    ByteBuffer output;  // the ".debug$S" contents
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
    // With procedures: where the string table holds the frame program that
    // their frame data names; 0 without.
    uint32_t frameProgram;
    // Procedure records for code labels and array types for data labels
    // (the native build's --procedures); off by default.
    bool procedures;
    CvRecordPlan plan;

    void init(const FasFile* fasFile, CoffObject* object);
    // Builds the ".debug$T" contents into `types`.
    void writeTypes();
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
    // With `procedures`: sorts the symbols and plans the records.
    void planRecords();
    void writeProcedureTypes();
    void writeScopedSymbols();
    void writeFrameData();
    void releasePlan();
    void writeLabelRecord(const SymbolEntry* symbol, uint32_t objectSymbol);
    void writeDataRecord(const SymbolEntry* symbol, uint32_t objectSymbol, uint32_t type);
};

// A ".debug$T" record: its length and kind; its end pads it to 4 bytes and
// fills in the length.
void beginTypeRecord(ByteBuffer* types, uint16_t kind);
void endTypeRecord(ByteBuffer* types, uint32_t recordStart);

// Whether the assembler symbol gets a label or data record: an address in
// one of the object's sections, with a name a record can hold.
bool symbolGetsRecord(const CvBuilder* b, const SymbolEntry* symbol);
// The object symbol that the record's relocations name: an existing symbol
// that names the same place, or a new static one.
uint32_t objectSymbolFor(CoffObject* coff, const SymbolEntry* symbol);
// The CodeView basic type of a data label of this size.
uint32_t basicDataType(uint32_t dataSize);

// The MD5 digest of a file as it lies on disk, or 16 zero bytes when it
// cannot be read or is not a regular file. `scratch` is reused for every
// file.
void digestFile(const char* name, ByteBuffer* scratch, uint8_t digest[16]);
