// The object model on a hand-made object: lookups, exact round trip,
// editing, the relocation overflow and damaged objects.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "coff/coff.h"
#include "tests/test_support.h"

namespace {

struct Bytes {
    std::vector<uint8_t> v;
    void u8(uint8_t x) { v.push_back(x); }
    void u16(uint16_t x) { u8(static_cast<uint8_t>(x)), u8(static_cast<uint8_t>(x >> 8)); }
    void u32(uint32_t x) { u16(static_cast<uint16_t>(x)), u16(static_cast<uint16_t>(x >> 16)); }
    void name8(const char* s) {
        char field[8] = {0};
        memcpy(field, s, strlen(s) < 8 ? strlen(s) : 8);
        v.insert(v.end(), field, field + 8);
    }
    void set32(size_t at, uint32_t x) {
        for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
    }
};

// Sections: .text (4 bytes, 1 relocation), .bss (no contents), .text again.
// Symbols: zero, .text + 1 auxiliary, exactly8, ninechars (long) twice, zero.
std::vector<uint8_t> sampleObject() {
    Bytes b;
    const uint32_t rawBase = 20 + 3 * 40;
    b.u16(0x014C), b.u16(3), b.u32(0x12345678), b.u32(0), b.u32(7), b.u16(0), b.u16(0x0104);
    b.name8(".text"), b.u32(0), b.u32(0), b.u32(4), b.u32(rawBase), b.u32(rawBase + 4), b.u32(0);
    b.u16(1), b.u16(0), b.u32(0x60300020);
    b.name8(".bss"), b.u32(0), b.u32(0), b.u32(100), b.u32(0), b.u32(0), b.u32(0);
    b.u16(0), b.u16(0), b.u32(0xC0300080);
    b.name8(".text"), b.u32(0), b.u32(0), b.u32(1), b.u32(rawBase + 14), b.u32(0), b.u32(0);
    b.u16(0), b.u16(0), b.u32(0x60300020);
    b.u32(0xC3C3C3C3), b.u32(0), b.u32(2), b.u16(6), b.u8(0x90);  // contents, relocation, 1 byte
    b.set32(8, static_cast<uint32_t>(b.v.size()));
    auto symbol = [&](const char* inlineName, uint32_t longOffset, uint32_t value, uint16_t section,
                      uint8_t storage, uint8_t aux) {
        if (inlineName)
            b.name8(inlineName);
        else
            b.u32(0), b.u32(longOffset);
        b.u32(value), b.u16(section), b.u16(0), b.u8(storage), b.u8(aux);
    };
    symbol("zero", 0, 1, 1, 2, 0);
    symbol(".text", 0, 0, 1, 3, 1);
    for (int i = 0; i < 18; ++i) b.u8(static_cast<uint8_t>(0xA0 + i));  // auxiliary entry
    symbol("exactly8", 0, 2, 1, 3, 0);
    symbol(nullptr, 4, 3, 1, 3, 0);
    symbol(nullptr, 14, 0, 0, 2, 0);
    symbol("zero", 0, 0, 0xFFFF, 3, 0);
    b.u32(4 + 20);
    const char strings[] = "ninechars\0ninechars";
    b.v.insert(b.v.end(), strings, strings + sizeof strings);
    return b.v;
}

struct Loaded {
    CoffObject coff;
    explicit Loaded(const std::vector<uint8_t>& image) {
        coff.init();
        ByteBuffer b;
        b.init();
        b.appendBytes(image.data(), static_cast<uint32_t>(image.size()));
        coff.parseImage(b);
        b.release();
    }
    ~Loaded() { coff.release(); }
    std::vector<uint8_t> saved() {
        ByteBuffer b;
        b.init();
        EXPECT_TRUE(coff.buildImage(&b));
        std::vector<uint8_t> out(b.data, b.data + b.size);
        b.release();
        return out;
    }
};

std::string failureOf(const std::vector<uint8_t>& image) {
    testing::internal::CaptureStdout();
    try {
        Loaded loaded(image);
    } catch (const FatalExit&) {
    }
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(CoffObject, FindsSectionsAndSymbols) {
    Loaded l(sampleObject());
    CoffObject& c = l.coff;
    EXPECT_EQ(c.NumberOfSections, 3u);
    EXPECT_EQ(c.NumberOfSymbols, 7u);
    EXPECT_EQ(c.findSection(".text"), c.sectionByNumber(1));
    EXPECT_EQ(c.findSection(".debug$S"), nullptr);
    EXPECT_EQ(c.sectionByNumber(2)->rawDataOffset, noOffset);
    EXPECT_EQ(c.sectionByNumber(2)->sourceRawDataPointer, 0u);
    EXPECT_EQ(c.sectionByNumber(1)->sectionSymbolIndex, 1u);
    EXPECT_EQ(c.sectionByNumber(3)->sectionSymbolIndex, noOffset);
    CoffSymbol* s = nullptr;
    uint32_t index = 99;
    ASSERT_TRUE(c.findSymbol("ninechars", &s, &index));
    EXPECT_EQ(index, 5u);  // the later of two
    ASSERT_TRUE(c.findSymbol("exactly8", &s, &index));
    EXPECT_EQ(index, 3u);
    ASSERT_TRUE(c.findSymbol("zero", &s, &index));
    EXPECT_EQ(index, 6u);
    EXPECT_FALSE(c.findSymbol("nothing", &s, &index));

    CoffObject fresh;
    fresh.init();
    fresh.addSymbol("first", &index);
    ASSERT_TRUE(fresh.findSymbol("first", &s, &index));
    EXPECT_EQ(index, 0u);  // index 0 is found too
    fresh.release();
}

TEST(CoffObject, SavesUneditedObjectsExactly) {
    std::vector<uint8_t> image = sampleObject();
    Loaded l(image);
    EXPECT_EQ(l.saved(), image);
}

TEST(CoffObject, EmptyNamesSurviveARoundTrip) {
    // A name in the string table that is empty must not be written as eight
    // zero bytes, which read back as the name at string-table offset 0.
    std::vector<uint8_t> image = sampleObject();
    uint32_t symbols = readU32(image.data() + 8);
    image[symbols + 4 * 18 + 4] = 13;  // the zero that ends "ninechars"
    Loaded l(image);
    Loaded again(l.saved());
    EXPECT_STREQ(again.coff.symbolAt(4)->name, "");
    EXPECT_EQ(again.saved(), l.saved());
}

TEST(CoffObject, AddedSectionsMovePointersAndKeepEverything) {
    std::vector<uint8_t> image = sampleObject();
    Loaded l(image);
    uint32_t n = l.coff.addSection(".debug$T", 0x42100040);
    EXPECT_EQ(n, 4u);
    l.coff.setSectionData(n, "abc", 3);
    uint32_t empty = l.coff.addSection("empty", 0);
    l.coff.setSectionData(empty, "", 0);
    EXPECT_EQ(l.coff.sectionByNumber(empty)->rawDataOffset, l.coff.rawArea.size);
    uint32_t index;
    l.coff.addSymbol("added_long_name", &index);
    EXPECT_EQ(index, 7u);
    std::vector<uint8_t> out = l.saved();
    EXPECT_EQ(readU16(out.data() + 2), 5u);
    EXPECT_EQ(readU32(out.data() + 20 + 20), readU32(image.data() + 20 + 20) + 80);  // .text contents
    EXPECT_EQ(readU32(out.data() + 20 + 40 + 20), 0u);                              // .bss stays 0
    EXPECT_EQ(readU32(out.data() + 8), readU32(image.data() + 8) + 80 + 3);
    EXPECT_EQ(memcmp(out.data() + 20 + 5 * 40, image.data() + 20 + 3 * 40, 15), 0);
}

TEST(CoffObject, MoreThan65535RelocationsUseTheOverflowRecord) {
    Loaded l(sampleObject());
    uint32_t n = l.coff.addSection(".debug$S", 0x42100040);
    std::vector<uint8_t> records(70000 * 10, 0);
    l.coff.setSectionRelocations(n, records.data(), 70000);
    const CoffSection* s = l.coff.sectionByNumber(n);
    EXPECT_EQ(s->NumberOfRelocations, 0xFFFF);
    EXPECT_TRUE(s->Characteristics & IMAGE_SCN_LNK_NRELOC_OVFL);
    EXPECT_EQ(readU32(l.coff.rawArea.data + s->relocationsOffset), 70001u);
    // Loading the saved object again passes the flagged section through.
    Loaded again(l.saved());
    EXPECT_EQ(again.saved(), l.saved());
}

TEST(CoffObject, TooManySectionsCannotBeWritten) {
    CoffObject c;
    c.init();
    c.Machine = IMAGE_FILE_MACHINE_I386;
    for (int i = 0; i < 65534; ++i) c.addSection("s", 0);
    ByteBuffer b;
    b.init();
    EXPECT_TRUE(c.buildImage(&b));
    EXPECT_EQ(readU16(b.data + 2), 65534u);
    b.release();
    // 65535 sections read as a short import header in LLVM's tools: the
    // count lld-link would take for an import library is not written.
    for (int count : {65535, 65536}) {
        while (c.NumberOfSections < static_cast<uint32_t>(count)) c.addSection("s", 0);
        b.init();
        EXPECT_FALSE(c.buildImage(&b)) << count;
        b.release();
    }
    c.release();
}

TEST(CoffObject, DamagedObjectsAreRefused) {
    const std::string damaged = fatalLine("error while loading object file");
    std::vector<uint8_t> good = sampleObject();
    EXPECT_EQ(failureOf(good), "");

    std::vector<uint8_t> x64 = good;
    x64[0] = 0x64, x64[1] = 0x86;
    EXPECT_EQ(failureOf(x64), fatalLine("unsupported machine type"));
    EXPECT_EQ(failureOf({0x4C, 0x01, 0, 0}), damaged);

    std::vector<uint8_t> image = good;
    image[2] = 200;  // section table beyond the file
    EXPECT_EQ(failureOf(image), damaged);
    image = good;
    image[20 + 20] = 0xF0;  // contents outside the raw area
    EXPECT_EQ(failureOf(image), damaged);
    image = good;
    image[20] = '/';  // long section name
    EXPECT_EQ(failureOf(image), damaged);
    image = good;
    uint32_t symbols = readU32(image.data() + 8);
    image[symbols + 6 * 18 + 17] = 1;  // auxiliary entry past the table
    EXPECT_EQ(failureOf(image), damaged);
    image = good;
    image[symbols + 4 * 18 + 4] = 0xFF;  // name offset beyond the string table
    EXPECT_EQ(failureOf(image), damaged);
    image = good;
    image.resize(image.size() - 1);  // last name loses its terminator
    EXPECT_EQ(failureOf(image), damaged);
}

// What an existing output must look like to be replaced: an object of any
// machine, never text, a PDB or a program, whatever its first two bytes.
TEST(CoffObject, ObjectHeadersAreToldFromOtherFiles) {
    std::vector<uint8_t> good = sampleObject();
    EXPECT_TRUE(isCoffObjectHeader(good.data(), coffFileHeaderSize));
    EXPECT_FALSE(isCoffObjectHeader(good.data(), coffFileHeaderSize - 1));
    std::vector<uint8_t> other = good;
    other[0] = 0x64, other[1] = 0x86;  // AMD64
    EXPECT_TRUE(isCoffObjectHeader(other.data(), coffFileHeaderSize));
    std::vector<uint8_t> import(coffFileHeaderSize, 0);
    import[2] = import[3] = 0xFF;
    EXPECT_TRUE(isCoffObjectHeader(import.data(), coffFileHeaderSize));
    import[2] = 0;
    EXPECT_FALSE(isCoffObjectHeader(import.data(), coffFileHeaderSize));
    // "db 1, 2, 3" begins like a LoongArch object; no text holds the zero
    // byte of an optional header's size.
    for (const char* text : {"db 1, 2, 3, 4, 5, 6, 7, 8, 9\n", "Microsoft C/C++ MSF 7.00\r\n", "MZ\x90\x00\x03\x00\x00\x00"
                                                                                            "\x04\x00\x00\x00\xff\xff\x00\x00\xb8\x00\x00\x00",
                             "format MS COFF\nsection '.text'"})
        EXPECT_FALSE(isCoffObjectHeader(reinterpret_cast<const uint8_t*>(text), coffFileHeaderSize)) << text;
}
