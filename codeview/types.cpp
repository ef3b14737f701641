// The ".debug$T" contents: the signature, one LF_LABEL type record, and the
// build information (the producing tool and the main source file) as ID
// records. A linker writes an ID stream into the PDB only when an object
// holds ID records, and debuggers that read PDBs need that stream. With
// procedure records, their types and the arrays follow (procedures.cpp).
#include "codeview/builder.h"
#include "support/strings.h"

namespace {

const uint16_t LF_LABEL = 0x000E;
const uint16_t LF_BUILDINFO = 0x1603;
const uint16_t LF_STRING_ID = 0x1605;

const uint32_t emptyStringId = 0x1001;
const uint32_t toolStringId = 0x1002;
const uint32_t sourceStringId = 0x1003;

void appendStringId(ByteBuffer* types, const char* text) {
    uint32_t start = types->size;
    beginTypeRecord(types, LF_STRING_ID);
    types->appendU32(0);  // no substring list
    types->appendBytes(text, strLength(text) + 1);
    endTypeRecord(types, start);
}

}  // namespace

void beginTypeRecord(ByteBuffer* types, uint16_t kind) {
    types->appendU16(0);
    types->appendU16(kind);
}

// Pads the record to 4 bytes with LF_PAD bytes (0xF3 0xF2 0xF1, counting
// down to the end) and fills in its length, which counts the kind.
void endTypeRecord(ByteBuffer* types, uint32_t recordStart) {
    uint32_t pad = (4 - types->size % 4) % 4;
    for (uint32_t left = pad; left > 0; --left) types->appendU8(static_cast<uint8_t>(0xF0 + left));
    writeU16(types->data + recordStart, static_cast<uint16_t>(types->size - recordStart - 2));
}

void CvBuilder::writeTypes() {
    types.clear();
    types.appendU32(CV_SIGNATURE_C13);
    uint32_t start = types.size;
    beginTypeRecord(&types, LF_LABEL);
    types.appendU16(0);  // near
    endTypeRecord(&types, start);

    const char* source = fas->mainSourceName ? fas->mainSourceName : "";
    // A name too long for a record's 16-bit length is left out rather than cut.
    if (strLength(source) > maximumNameLength) source = "";
    appendStringId(&types, "");
    appendStringId(&types, "fasm");
    appendStringId(&types, source);

    start = types.size;
    beginTypeRecord(&types, LF_BUILDINFO);
    types.appendU16(5);
    types.appendU32(emptyStringId);   // current directory
    types.appendU32(toolStringId);    // build tool
    types.appendU32(sourceStringId);  // source file
    types.appendU32(emptyStringId);   // PDB
    types.appendU32(emptyStringId);   // command line
    endTypeRecord(&types, start);
    if (procedures) {
        planRecords();
        writeProcedureTypes();
    }
}
