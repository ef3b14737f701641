// The CodeView builder on hand-made inputs: the worked example byte for
// byte, and MD5 against the RFC 1321 test vectors.
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
