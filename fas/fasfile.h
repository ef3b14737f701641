// The assembler's symbolic-information file: its symbols, the line entries
// of its assembly dump and the set of source files they name.
#pragma once

#include <cstdint>

#include "support/buffer.h"
#include "support/hashtable.h"

struct SymbolEntry {
    char* name;                  // owned heap string
    uint32_t section;            // 1-based section number
    uint32_t isSectionRelative;  // 1 for a relocatable address within a section
    uint64_t value;
    uint32_t dataSize;           // 0 for a plain label
};

struct LineEntry {
    uint32_t section;       // 1-based, never 0
    const char* fileName;   // the copy held by sourceFiles
    uint32_t lineNumber;
    uint32_t outputOffset;  // offset of the line's first byte in the object file
};

typedef void (*SymbolVisitor)(const SymbolEntry* symbol, void* context);

struct FasFile {
    ByteBuffer content;  // the whole file as read, until it is parsed
    uint32_t stringsStart;
    uint32_t sourceStart;
    const char* mainSourceName;
    SymbolEntry* symbols;
    LineEntry* lines;
    uint32_t symbolCount;
    uint32_t lineCount;
    // Set of source-file names: key is the name's offset in the file (so
    // the order of members does not depend on where memory lies), value is
    // an owned copy of the name.
    HashTable sourceFiles;
    // Every file fasm read source lines from, also those whose lines made no
    // code or data (macros, constants): the same kind of keys and values.
    // Made only when `listReadFiles` is set before `load` (readFilesListed
    // tells); it plays no part in the output.
    bool listReadFiles;
    bool readFilesListed;
    HashTable readFiles;
    // The name fasm was given for the object, as the file records it (an
    // owned copy); made with `readFiles`, and null where the file names
    // none it can hold.
    char* outputFileName;

    void init();
    void load(const char* name);
    // Checks and converts what `content` holds, the second half of load;
    // symbols, lines and source names are copied out and `content` is
    // released.
    void parseContent();
    void forEachSymbol(SymbolVisitor visitor, void* context) const;
    void release();
};
