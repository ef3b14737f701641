// Laying the object file out afresh and writing it safely.
#include <cstring>

#include "coff/coff.h"
#include "driver/fatal.h"
#include "support/fileio.h"
#include "support/strings.h"

namespace {

const uint32_t fileHeaderSize = 20;
const uint32_t sectionHeaderSize = 40;

uint32_t filePointer(uint32_t rawBase, uint32_t offset) {
    return offset == noOffset ? 0 : rawBase + offset;
}

void appendName8(ByteBuffer* image, const char* name, uint32_t length) {
    uint8_t* field = image->insertGap(image->size, 8);
    memset(field, 0, 8);
    memcpy(field, name, length);
}

void appendSectionHeader(ByteBuffer* image, const CoffSection* s, uint32_t rawBase) {
    appendName8(image, s->name, strLength(s->name));
    image->appendU32(s->VirtualSize);
    image->appendU32(s->VirtualAddress);
    image->appendU32(s->SizeOfRawData);
    image->appendU32(filePointer(rawBase, s->rawDataOffset));
    image->appendU32(filePointer(rawBase, s->relocationsOffset));
    image->appendU32(filePointer(rawBase, s->linenumbersOffset));
    image->appendU16(s->NumberOfRelocations);
    image->appendU16(s->NumberOfLinenumbers);
    image->appendU32(s->Characteristics);
}

void appendSymbolEntry(ByteBuffer* image, ByteBuffer* strings, const CoffSymbol* s) {
    if (!s->name) {
        image->appendBytes(s->auxiliary, coffSymbolSize);
        return;
    }
    uint32_t length = strLength(s->name);
    // Eight zero bytes would read back as a reference to string-table
    // offset 0, so an empty name is written as a reference to an empty
    // string instead.
    if (length > 0 && length <= 8) {
        appendName8(image, s->name, length);
    } else {
        image->appendU32(0);
        image->appendU32(strings->size);
        strings->appendBytes(s->name, length + 1);
    }
    image->appendU32(s->Value);
    image->appendU16(static_cast<uint16_t>(s->SectionNumber));
    image->appendU16(s->Type);
    image->appendU8(s->StorageClass);
    image->appendU8(s->NumberOfAuxSymbols);
}

}  // namespace

bool CoffObject::buildImage(ByteBuffer* image) const {
    // A count of 0xFFFF is what LLVM's readers (lld-link among them) take
    // for a short import header: the object would lose every symbol there.
    if (NumberOfSections >= 0xFFFF || optionalHeader.size > 0xFFFF) return false;
    uint64_t rawBase64 = fileHeaderSize + static_cast<uint64_t>(optionalHeader.size) +
                         static_cast<uint64_t>(sectionHeaderSize) * NumberOfSections;
    uint64_t total = rawBase64 + rawArea.size + static_cast<uint64_t>(coffSymbolSize) * NumberOfSymbols;
    if (total >= 0x7FFF0000ull) return false;
    uint32_t rawBase = static_cast<uint32_t>(rawBase64);

    ByteBuffer strings;
    strings.init();
    strings.appendU32(0);
    image->reserve(static_cast<uint32_t>(total) + 4);

    image->appendU16(Machine);
    image->appendU16(static_cast<uint16_t>(NumberOfSections));
    image->appendU32(TimeDateStamp);
    image->appendU32(rawBase + rawArea.size);
    image->appendU32(NumberOfSymbols);
    image->appendU16(static_cast<uint16_t>(optionalHeader.size));
    image->appendU16(Characteristics);
    image->appendBytes(optionalHeader.data, optionalHeader.size);
    for (uint32_t n = 1; n <= NumberOfSections; ++n) appendSectionHeader(image, sectionByNumber(n), rawBase);
    image->appendBytes(rawArea.data, rawArea.size);
    for (uint32_t i = 0; i < NumberOfSymbols; ++i) appendSymbolEntry(image, &strings, symbolAt(i));
    writeU32(strings.data, strings.size);
    image->appendBytes(strings.data, strings.size);
    strings.release();
    return true;
}

void CoffObject::save(const char* path) const {
    ByteBuffer image;
    image.init();
    if (!buildImage(&image)) fatalError("error while saving object file");
    bool oldContentLost = false;
    SaveResult result = saveFileSafely(path, image.data, image.size, &oldContentLost);
    if (result == SaveResult::cannotCreate) fatalError("can't open object file");
    if (result == SaveResult::writeFailed && oldContentLost)
        fatalError("error while saving object file; its old content could not be put back");
    if (result == SaveResult::writeFailed) fatalError("error while saving object file");
    image.release();
}
