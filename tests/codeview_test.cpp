// The CodeView builder on hand-made inputs: the worked example byte for
// byte, the procedure records and array types, and MD5 against the RFC 1321
// test vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "codeview/builder.h"
#include "codeview/md5.h"
#include "support/heap.h"
#include "support/strings.h"

namespace {

std::string hex(const uint8_t* d, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string md5Hex(const std::string& text) {
    uint8_t digest[16];
    md5(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), digest);
    return hex(digest, 16);
}

uint32_t u32(const ByteBuffer& b, uint32_t at) { return readU32(b.data + at); }
uint16_t u16(const ByteBuffer& b, uint32_t at) { return readU16(b.data + at); }

}  // namespace

TEST(Md5, RfcTestVectors) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
    // Lengths around the padding boundary.
    EXPECT_EQ(md5Hex(std::string(55, 'x')), "04364420e25c512fd958a70738aa8f72");
    EXPECT_EQ(md5Hex(std::string(56, 'x')), "668a72d5ba17f08e62dabcafad6db14b");
    EXPECT_EQ(md5Hex(std::string(64, 'x')), "c1bb4f81d892b2d57947682aeb252456");
}

TEST(Md5, PiecesGiveTheDigestOfTheWhole) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += static_cast<char>('a' + i * 7 % 26);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (uint32_t piece : {1u, 3u, 63u, 64u, 65u, 1000u}) {
        Md5 context;
        context.init();
        for (uint32_t at = 0; at < text.size(); at += piece)
            context.update(bytes + at, std::min<uint32_t>(piece, static_cast<uint32_t>(text.size()) - at));
        uint8_t digest[16];
        context.finish(digest);
        EXPECT_EQ(hex(digest, 16), md5Hex(text)) << piece;
    }
}

// The worked example: one main file with a 5-character name, section 1 of
// 0x10 bytes at file offset 0x64 named by symbol 0, lines 3 and 4 at 0x64
// and 0x69, one plain label the object lacks, 3 loaded symbols.
TEST(CvBuilder, WorkedExample) {
    FasFile fas;
    fas.init();
    const char* name = strDup("a.asm");
    fas.mainSourceName = name;
    fas.sourceFiles.put(4, reinterpret_cast<uintptr_t>(name));
    fas.lines = static_cast<LineEntry*>(allocateWithHeader(2 * sizeof(LineEntry)));
    fas.lines[0] = LineEntry{1, name, 3, 0x64};
    fas.lines[1] = LineEntry{1, name, 4, 0x69};
    fas.lineCount = 2;
    fas.symbols = static_cast<SymbolEntry*>(allocateWithHeader(sizeof(SymbolEntry)));
    fas.symbols[0] = SymbolEntry{strDup("label"), 1, 1, 0, 0};
    fas.symbolCount = 1;

    CoffObject coff;
    coff.init();
    coff.addSection(".text", 0x60000020);
    CoffSection* text = coff.sectionByNumber(1);
    text->SizeOfRawData = 0x10;
    text->sourceRawDataPointer = 0x64;
    text->sectionSymbolIndex = 0;
    coff.loadedSections = 1;
    uint32_t index;
    coff.addSymbol(".text", &index)->SectionNumber = 1;
    coff.addSymbol(".file", &index);
    coff.addSymbol("other", &index);

    CvBuilder b;
    b.init(&fas, &coff);
    b.generate("hello_d.obj");
    const ByteBuffer& o = b.output;
    ASSERT_EQ(o.size, 184u);
    EXPECT_EQ(u32(o, 0), 4u);
    EXPECT_EQ(u32(o, 4), 0xF3u);
    EXPECT_EQ(u32(o, 8), 7u);
    EXPECT_EQ(memcmp(o.data + 12, "\0a.asm\0\0", 8), 0);
    EXPECT_EQ(u32(o, 20), 0xF4u);
    EXPECT_EQ(u32(o, 24), 24u);
    EXPECT_EQ(u32(o, 28), 1u);
    EXPECT_EQ(u16(o, 32), 0x0110u);
    EXPECT_EQ(u16(o, 50), 0u);
    EXPECT_EQ(u32(o, 52), 0xF2u);
    EXPECT_EQ(u32(o, 56), 40u);
    EXPECT_EQ(u32(o, 68), 0x10u);
    EXPECT_EQ(u32(o, 72), 0u);
    EXPECT_EQ(u32(o, 76), 2u);
    EXPECT_EQ(u32(o, 80), 28u);
    EXPECT_EQ(u32(o, 84), 0u);
    EXPECT_EQ(u32(o, 88), 0x80000003u);
    EXPECT_EQ(u32(o, 92), 5u);
    EXPECT_EQ(u32(o, 96), 0x80000004u);
    EXPECT_EQ(u32(o, 100), 0xF1u);
    EXPECT_EQ(u32(o, 104), 74u);
    EXPECT_EQ(u16(o, 108), 18u);
    EXPECT_EQ(u16(o, 110), S_OBJNAME);
    const uint8_t compile2[29] = {0x1B, 0x00, 0x16, 0x11, 0x03, 0x00, 0x00, 0x00, 0x03, 0x00, 0, 0, 0, 0, 0,
                                  0,    0,    0,    0,    0,    0,    0,    0x66, 0x61, 0x73, 0x6D, 0, 0, 0};
    EXPECT_EQ(memcmp(o.data + 128, compile2, 29), 0);
    const uint8_t buildInfo[8] = {0x06, 0x00, 0x4C, 0x11, 0x04, 0x10, 0x00, 0x00};
    EXPECT_EQ(memcmp(o.data + 157, buildInfo, 8), 0);
    EXPECT_EQ(u16(o, 165), 15u);
    EXPECT_EQ(u16(o, 167), S_LABEL32);
    EXPECT_EQ(memcmp(o.data + 176, "label\0\0\0", 8), 0);

    ASSERT_EQ(b.relocationCount, 4u);
    const uint32_t expected[4][3] = {{60, 0, 0x0B}, {64, 0, 0x0A}, {169, 3, 0x0B}, {173, 3, 0x0A}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(u32(b.relocations, 10 * i), expected[i][0]);
        EXPECT_EQ(u32(b.relocations, 10 * i + 4), expected[i][1]);
        EXPECT_EQ(u16(b.relocations, 10 * i + 8), expected[i][2]);
    }
    b.writeTypes();
    EXPECT_EQ(hex(b.types.data, b.types.size),
              "04000000" "06000e000000f2f1" "0a0005160000000000f3f2f1" "0e000516000000006661736d00f3f2f1"
              "0e00051600000000612e61736d00f2f1"
              "1a00031605000110000002100000031000000110000001100000f2f1");
    // The label became a static symbol of the object at its offset.
    CoffSymbol* added = coff.symbolAt(3);
    EXPECT_STREQ(added->name, "label");
    EXPECT_EQ(added->StorageClass, IMAGE_SYM_CLASS_STATIC);
    EXPECT_EQ(added->SectionNumber, 1);

    b.release();
    coff.loadedSections = 0;  // the section was added here, its name is not owned
    coff.release();
    strRelease(fas.symbols[0].name);
    fas.symbolCount = 0;
    fas.release();
}

// The build information names the main source exactly as the .fas header
// records it; the bundled example's ".debug$T" is these 88 bytes.
TEST(CvBuilder, TypesNameTheMainSource) {
    FasFile fas;
    fas.init();
    CoffObject coff;
    coff.init();
    CvBuilder b;
    b.init(&fas, &coff);
    fas.mainSourceName = "hello.asm";
    b.writeTypes();
    EXPECT_EQ(hex(b.types.data, b.types.size),
              "04000000" "06000e000000f2f1" "0a0005160000000000f3f2f1" "0e000516000000006661736d00f3f2f1"
              "120005160000000068656c6c6f2e61736d00f2f1"
              "1a00031605000110000002100000031000000110000001100000f2f1");
    // A name that no record length can hold is left out.
    std::string huge(0x10000, 'a');
    fas.mainSourceName = huge.c_str();
    b.writeTypes();
    EXPECT_EQ(b.types.size, 4u + 8 + 12 + 16 + 12 + 28);
    fas.mainSourceName = nullptr;
    b.release();
    coff.release();
    fas.release();
}

namespace {

// A program made by hand for the procedure records (--procedures):
// sections with their characteristics and sizes, assembler symbols, public
// symbols of the object. `records` lists what ".debug$S" holds after
// S_BUILDINFO, one line per record, and `types` the ".debug$T" records
// after LF_BUILDINFO.
class Procedures : public ::testing::Test {
protected:
    static const uint32_t code = 0x60000020, data = 0xC0000040;
    FasFile fas;
    CoffObject coff;
    CvBuilder b;
    std::vector<SymbolEntry> symbols;

    void SetUp() override {
        fas.init();
        coff.init();
        b.init(&fas, &coff);
    }
    void TearDown() override {
        b.release();
        coff.loadedSections = 0;  // added here, the names are not owned
        coff.release();
        fas.release();
    }
    void section(uint32_t characteristics, uint32_t size) {
        uint32_t n = coff.addSection(".s", characteristics);
        coff.sectionByNumber(n)->SizeOfRawData = size;
        coff.sectionByNumber(n)->sourceRawDataPointer = 0x1000 * n;
    }
    void symbol(const char* name, uint32_t section, uint32_t offset, uint32_t dataSize = 0) {
        symbols.push_back(SymbolEntry{strDup(name), section, 1, offset, dataSize});
    }
    void publicSymbol(const char* name, int16_t section, uint32_t offset) {
        uint32_t index;
        CoffSymbol* s = coff.addSymbol(name, &index);
        s->SectionNumber = section;
        s->Value = offset;
        s->StorageClass = IMAGE_SYM_CLASS_EXTERNAL;
    }
    void weld(bool procedures = true) {
        fas.symbols = static_cast<SymbolEntry*>(allocateWithHeader(static_cast<uint32_t>(symbols.size() * sizeof(SymbolEntry))));
        std::copy(symbols.begin(), symbols.end(), fas.symbols);
        fas.symbolCount = static_cast<uint32_t>(symbols.size());
        coff.loadedSections = coff.NumberOfSections;
        b.procedures = procedures;
        b.writeTypes();
        b.generate("t.obj");
    }
    uint32_t symbolsStart() const {
        uint32_t at = 4;
        while (u32(b.output, at) != DEBUG_S_SYMBOLS) at += 8 + ((u32(b.output, at + 4) + 3) & ~3u);
        return at + 8;
    }
    bool hasSubsection(uint32_t kind) const {
        for (uint32_t at = 4; at < b.output.size; at += 8 + ((u32(b.output, at + 4) + 3) & ~3u))
            if (u32(b.output, at) == kind) return true;
        return false;
    }
    std::vector<std::string> records() const {
        std::vector<std::string> found;
        uint32_t at = symbolsStart(), end = at + u32(b.output, at - 4);
        for (; at < end; at += 2 + u16(b.output, at)) {
            uint16_t kind = u16(b.output, at + 2);
            const char* text = reinterpret_cast<const char*>(b.output.data + at + 4);
            if (kind == S_LPROC32 || kind == S_GPROC32)
                found.push_back(std::string(kind == S_GPROC32 ? "gproc " : "lproc ") + (text + 35) + " " +
                                std::to_string(u32(b.output, at + 16)));
            else if (kind == S_LABEL32)
                found.push_back(std::string("label ") + (text + 7));
            else if (kind == S_LDATA32)
                found.push_back(std::string("data ") + (text + 10) + " " + std::to_string(u32(b.output, at + 4)));
            else if (kind == S_END)
                found.push_back("end");
        }
        return found;
    }
    std::string types() const {
        uint32_t at = 4;
        for (int i = 0; i < 5; ++i) at += 2 + u16(b.types, at);
        return hex(b.types.data + at, b.types.size - at);
    }
};

}  // namespace

// The records' bytes: a public code label opens S_GPROC32 with its length,
// the procedure type and the address tied by SECREL and SECTION; a local
// label stays an S_LABEL32 inside; S_END closes. Before the records, the
// procedure's frame data: its bytes, the ebp-chain program of the string
// table, its address by DIR32NB. Two types follow the default ones:
// LF_ARGLIST () and LF_PROCEDURE void ().
TEST_F(Procedures, RecordLayout) {
    section(code, 0x10);
    publicSymbol("_start", 1, 0);
    symbol("start", 1, 0);
    symbol("start.loop", 1, 4);
    weld();
    const ByteBuffer& o = b.output;
    uint32_t at = symbolsStart() + 14 + 29 + 8;  // after S_OBJNAME, S_COMPILE2, S_BUILDINFO
    EXPECT_EQ(hex(o.data + at, 4 + 35 + 6),
              "2b001011" "00000000" "00000000" "00000000" "10000000" "00000000" "0f000000" "06100000"
              "00000000" "0000" "00" "737461727400");
    EXPECT_EQ(hex(o.data + at + 45, 4 + 7 + 11), "14000511" "00000000" "0000" "00" "73746172742e6c6f6f7000");
    EXPECT_EQ(hex(o.data + at + 67, 4), "02000600");
    uint32_t frames = symbolsStart() - 8 - 44;
    EXPECT_EQ(hex(o.data + frames, 44), "f5000000" "24000000" "00000000" "00000000" "10000000" "00000000"
                                        "00000000" "00000000" "01000000" "0000" "0000" "04000000");
    EXPECT_STREQ(reinterpret_cast<const char*>(o.data + 4 + 8 + 1), ebpFrameProgram);
    // No line table here: the frame entry's address, then the pairs of the
    // procedure and the label.
    ASSERT_EQ(b.relocationCount, 5u);
    const uint32_t expected[5][3] = {
        {frames + 8, 1, 0x07}, {at + 32, 1, 0x0B}, {at + 36, 1, 0x0A}, {at + 49, 2, 0x0B}, {at + 53, 2, 0x0A}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(u32(b.relocations, 10 * i), expected[i][0]);
        EXPECT_EQ(u32(b.relocations, 10 * i + 4), expected[i][1]);
        EXPECT_EQ(u16(b.relocations, 10 * i + 8), expected[i][2]);
    }
    EXPECT_EQ(types(), "0600011200000000" "0e000810030000000000000005100000");
}

// Scopes: a procedure runs to the next code label of its section or the
// section's end; labels and data at its bytes are nested, whatever their
// order in the ".fas"; nothing else is. A public symbol elsewhere or of
// another name at the same place decides S_GPROC32 by place.
TEST_F(Procedures, ScopesFollowAddresses) {
    section(code, 0x20);
    section(data, 0x10);
    section(code, 0x08);
    symbol("second", 1, 0x10);
    symbol("first.inner", 1, 0x04);
    symbol("before", 1, 0x00, 4);         // data in a code section, before any code label
    symbol("first", 1, 0x02);
    symbol("message", 1, 0x08, 1);        // data inside first: 8 bytes to second
    symbol("", 1, 0x0C);                  // anonymous: no record, ends no procedure
    symbol("table", 2, 0x00, 4);
    symbol("in_data", 2, 0x04);           // a code label of a data section is a label
    symbol("third", 3, 0x00);
    symbol("third.end", 3, 0x08);         // at the section's end: after the procedure
    symbol("outside", 3, 0x30);           // beyond the section's end
    publicSymbol("_second", 1, 0x10);
    publicSymbol("third", 3, 0x04);       // elsewhere: not third's
    weld();
    EXPECT_EQ(records(), (std::vector<std::string>{
                             "data before 117",
                             "lproc first 14", "label first.inner", "data message 4103", "end",
                             "gproc second 16", "end",
                             "data table 117", "label in_data",
                             "lproc third 8", "end", "label third.end", "label outside"}));
    // message: 4 bytes up to the anonymous label, an array of 4 bytes.
    EXPECT_EQ(types(), "0600011200000000" "0e000810030000000000000005100000" "0e0003152000000022000000040000f1");
}

// Labels at one address: one procedure, named by a public label if there
// is one, else by the first in the ".fas" table; the others are inside.
// A label at a section's end or past it, or in a section of no bytes,
// opens none.
TEST_F(Procedures, OneProcedurePerAddress) {
    section(code, 0x10);
    section(code, 0);
    symbol("alias", 1, 0);
    symbol("main", 1, 0);
    symbol("other", 1, 8);
    symbol("twin", 1, 8);
    symbol("tail", 1, 0x10);
    symbol("empty", 2, 0);
    publicSymbol("main", 1, 0);
    weld();
    EXPECT_EQ(records(), (std::vector<std::string>{"gproc main 8", "label alias", "end", "lproc other 8",
                                                   "label twin", "end", "label tail", "label empty"}));
}

// Arrays: a data label covers whole elements of its size up to the next
// label of its section (any label) or the section's end; more than one
// element makes an array of its basic type. Equal arrays are one type,
// numbered in sorted order right after the default types when there is no
// procedure; sizes from 0x8000 take LF_ULONG.
TEST_F(Procedures, ArraysOfDataLabels) {
    section(data, 0x30);
    section(data, 0x10000);
    symbol("greeting", 1, 0x00, 1);  // 29 bytes to tick
    symbol("tick", 1, 0x1D, 1);      // 3 bytes
    symbol("odd", 1, 0x20, 2);       // 3 bytes: one word
    symbol("words", 1, 0x23, 2);     // 7 bytes: 3 words
    symbol("tens", 1, 0x2A, 10);     // 6 bytes: less than one element
    symbol("again", 1, 0x2F, 1);     // 1 byte
    symbol("same", 2, 0x00, 1);      // 3 bytes, as tick
    symbol("plain", 2, 0x03);        // a label ends data too
    symbol("big", 2, 0x10, 4);       // to the end: 0xFFF0 bytes
    weld();
    EXPECT_EQ(records(), (std::vector<std::string>{"data greeting 4102", "data tick 4101", "data odd 33",
                                                   "data words 4103", "data tens 32", "data again 32",
                                                   "data same 4101", "label plain", "data big 4104"}));
    EXPECT_EQ(types(), "0e0003152000000022000000030000f1" "0e00031520000000220000001d0000f1"
                       "0e0003152100000022000000060000f1" "1200031575000000220000000480f0ff000000f1");
    // No procedure, no frame data: the entry would have no address.
    EXPECT_FALSE(hasSubsection(DEBUG_S_FRAMEDATA));
}

// An anonymous label gets no record but ends the data before it; in a
// section without data labels it changes nothing.
TEST_F(Procedures, AnonymousLabelsEndOnlyData) {
    section(data, 0x10);
    section(code, 0x10);
    symbol("text", 1, 0, 1);  // 4 bytes, to the anonymous label
    symbol("", 1, 4);
    symbol("code", 2, 0);
    symbol("", 2, 2);
    weld();
    EXPECT_EQ(records(), (std::vector<std::string>{"data text 4103", "lproc code 16", "end"}));
    EXPECT_EQ(types(), "0600011200000000" "0e000810030000000000000005100000" "0e0003152000000022000000040000f1");
}

// Without the option the records keep the ".fas" order and the types stay
// the default ones, whatever the symbols.
TEST_F(Procedures, NothingWithoutTheOption) {
    section(code, 0x10);
    symbol("second", 1, 8);
    symbol("first", 1, 0);
    symbol("text", 1, 0xC, 1);
    weld(false);
    EXPECT_EQ(records(), (std::vector<std::string>{"label second", "label first", "data text 32"}));
    EXPECT_EQ(b.types.size, 4u + 8 + 12 + 16 + 12 + 28);
    EXPECT_FALSE(hasSubsection(DEBUG_S_FRAMEDATA));
}
