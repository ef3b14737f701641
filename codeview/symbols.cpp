// The DEBUG_S_SYMBOLS subsection: object name, producing tool, and a label
// or data record for every assembler symbol that is an address in a section
// (in the ".fas" order; with procedure records, in address order, see
// procedures.cpp).
#include "codeview/builder.h"
#include "support/strings.h"

namespace {

const ValuePair dataTypeForSize[] = {
    {1, 0x0020},  // T_UCHAR
    {2, 0x0021},  // T_USHORT
    {4, 0x0075},  // T_UINT4
    {8, 0x0023},  // T_UQUAD
    {0, 0x0020},  // T_UCHAR for every other size
};

// Highest section number a symbol's signed 16-bit SectionNumber can hold.
const uint32_t maximumSymbolSection = 0x7FFF;

void writeSymbolRecord(const SymbolEntry* symbol, void* context) {
    CvBuilder* b = static_cast<CvBuilder*>(context);
    if (!symbolGetsRecord(b, symbol)) return;
    uint32_t index = objectSymbolFor(b->coff, symbol);
    if (symbol->dataSize == 0)
        b->writeLabelRecord(symbol, index);
    else
        b->writeDataRecord(symbol, index, basicDataType(symbol->dataSize));
}

}  // namespace

bool symbolGetsRecord(const CvBuilder* b, const SymbolEntry* symbol) {
    if (!symbol->isSectionRelative || symbol->section == 0 || symbol->section > b->objectSections ||
        symbol->section > maximumSymbolSection)
        return false;
    // An anonymous label has no name to give a record or an object symbol.
    return symbol->name[0] != 0 && strLength(symbol->name) <= maximumNameLength;
}

uint32_t objectSymbolFor(CoffObject* coff, const SymbolEntry* symbol) {
    uint32_t offset = static_cast<uint32_t>(symbol->value);
    CoffSymbol* found = nullptr;
    uint32_t index = 0;
    if (coff->findSymbol(symbol->name, &found, &index) && found->SectionNumber > 0 &&
        static_cast<uint32_t>(found->SectionNumber) == symbol->section && found->Value == offset)
        return index;
    CoffSymbol* added = coff->addSymbol(symbol->name, &index);
    added->Value = offset;
    added->SectionNumber = static_cast<int16_t>(symbol->section);
    added->StorageClass = IMAGE_SYM_CLASS_STATIC;
    return index;
}

uint32_t basicDataType(uint32_t dataSize) {
    return lookupValue(dataTypeForSize, dataSize);
}

void CvBuilder::writeLabelRecord(const SymbolEntry* symbol, uint32_t objectSymbol) {
    beginRecord(S_LABEL32);
    output.appendU32(0);
    output.appendU16(0);
    output.appendU8(0);
    appendString(symbol->name);
    endRecord();
    addAddressRelocations(recordStart, objectSymbol);
}

void CvBuilder::writeDataRecord(const SymbolEntry* symbol, uint32_t objectSymbol, uint32_t type) {
    beginRecord(S_LDATA32);
    output.appendU32(type);
    output.appendU32(0);
    output.appendU16(0);
    appendString(symbol->name);
    endRecord();
    addAddressRelocations(recordStart + 4, objectSymbol);
}

void CvBuilder::writeSymbols(const char* objectName) {
    beginSubsection(DEBUG_S_SYMBOLS);
    beginRecord(S_OBJNAME);
    output.appendU32(0);
    appendString(objectName);
    endRecord();

    beginRecord(S_COMPILE2);
    output.appendU32(3);  // language: CV_CFL_MASM
    output.appendU16(3);  // machine: CV_CFL_80386
    for (int i = 0; i < 6; ++i) output.appendU16(0);
    appendString("fasm");
    output.appendU16(0);
    endRecord();

    beginRecord(S_BUILDINFO);
    output.appendU32(buildInfoTypeIndex);
    endRecord();

    if (procedures)
        writeScopedSymbols();
    else
        fas->forEachSymbol(writeSymbolRecord, this);
    endSubsection();
}
