// The .fas loader on hand-made files: filtering and merging of dump rows,
// macro chains, names, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fas/fasfile.h"
#include "tests/test_support.h"

namespace {

void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    if (v.size() < at + 4) v.resize(at + 4);
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// Builds a .fas image: header, strings, symbols, preprocessed source, dump.
struct FasImage {
    std::string strings = std::string("\0main.asm\0label_in_strings\0", 27);
    std::vector<uint8_t> source;
    std::vector<uint8_t> symbols;
    std::vector<uint8_t> dump;
    uint32_t symbolLength = 0xFFFFFFFF;
    uint32_t dumpLength = 0xFFFFFFFF;

    // A line header; returns its offset in the source.
    uint32_t line(uint32_t file, uint32_t number, uint32_t invoker = 0) {
        uint32_t at = static_cast<uint32_t>(source.size());
        put32(source, at, file);
        put32(source, at + 4, number);
        put32(source, at + 8, invoker);
        put32(source, at + 12, 0);
        return at;
    }
    uint32_t text(const std::string& s, bool lengthPrefixed) {
        uint32_t at = static_cast<uint32_t>(source.size());
        if (lengthPrefixed) source.push_back(static_cast<uint8_t>(s.size()));
        for (char ch : s) source.push_back(static_cast<uint8_t>(ch));
        if (!lengthPrefixed) source.push_back(0);
        return at;
    }
    void row(uint32_t offset, uint32_t lineAt, uint32_t section, uint8_t type = 2, uint8_t flags = 0) {
        size_t at = dump.size();
        dump.resize(at + 28);
        put32(dump, at, offset);
        put32(dump, at + 4, lineAt);
        put32(dump, at + 20, section);
        dump[at + 24] = type;
        dump[at + 26] = flags;
    }
    void symbol(uint32_t nameField, uint32_t relativeTo, uint8_t type, uint8_t size, uint64_t value) {
        size_t at = symbols.size();
        symbols.resize(at + 32);
        put32(symbols, at, static_cast<uint32_t>(value));
        put32(symbols, at + 4, static_cast<uint32_t>(value >> 32));
        symbols[at + 10] = size;
        symbols[at + 11] = type;
        put32(symbols, at + 20, relativeTo);
        put32(symbols, at + 24, nameField);
    }
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> v(64, 0);
        memcpy(v.data(), "fas\x1a", 4);
        uint32_t s = 64, y = s + static_cast<uint32_t>(strings.size());
        uint32_t p = y + static_cast<uint32_t>(symbols.size());
        uint32_t d = p + static_cast<uint32_t>(source.size());
        put32(v, 8, 1);
        put32(v, 16, s);
        put32(v, 24, y);
        put32(v, 28, symbolLength == 0xFFFFFFFF ? static_cast<uint32_t>(symbols.size()) : symbolLength);
        put32(v, 32, p);
        put32(v, 36, static_cast<uint32_t>(source.size()));
        put32(v, 40, d);
        put32(v, 44, dumpLength == 0xFFFFFFFF ? static_cast<uint32_t>(dump.size()) : dumpLength);
        v.resize(d + dump.size());
        append(v, s, strings.data(), strings.size());
        append(v, y, symbols.data(), symbols.size());
        append(v, p, source.data(), source.size());
        append(v, d, dump.data(), dump.size());
        return v;
    }
    static void append(std::vector<uint8_t>& v, uint32_t at, const void* data, size_t n) {
        if (n) memcpy(v.data() + at, data, n);
    }
};

struct Loaded {
    FasFile fas;
    explicit Loaded(const std::vector<uint8_t>& image, bool listReadFiles = false) {
        fas.init();
        fas.listReadFiles = listReadFiles;
        fas.content.appendBytes(image.data(), static_cast<uint32_t>(image.size()));
        fas.parseContent();
    }
    ~Loaded() { fas.release(); }
};

// The message the loader ends with, or "" when it loads.
std::string failureOf(const std::vector<uint8_t>& image) {
    testing::internal::CaptureStdout();
    try {
        Loaded loaded(image);
    } catch (const FatalExit& e) {
        EXPECT_EQ(e.code, 1);
        return testing::internal::GetCapturedStdout();
    }
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(FasFile, RowsAreFilteredAndMergedByOffset) {
    FasImage f;
    uint32_t a = f.line(0, 10), b = f.line(0, 11), c = f.line(0, 12), d = f.line(0, 13);
    f.row(0x40, a, 1);
    f.row(0x40, b, 1);
    f.row(0x40, c, 1);        // three rows at 0x40: the third wins
    f.row(0x50, a, 1, 2, 1);  // virtual block
    f.row(0x50, a, 1, 0);     // absolute address
    f.row(0x50, a, 0x80000001);
    f.row(0x50, a, 0);
    f.row(0x60, a, 2);
    f.row(0x70, b, 2, 0);  // skipped between two rows at 0x60
    f.row(0x60, d, 2);
    Loaded l(f.bytes());
    ASSERT_EQ(l.fas.lineCount, 2u);
    EXPECT_EQ(l.fas.lines[0].outputOffset, 0x40u);
    EXPECT_EQ(l.fas.lines[0].lineNumber, 12u);
    EXPECT_EQ(l.fas.lines[1].section, 2u);
    EXPECT_EQ(l.fas.lines[1].lineNumber, 13u);
    EXPECT_STREQ(l.fas.lines[0].fileName, "main.asm");
    EXPECT_EQ(l.fas.sourceFiles.count, 1u);
}

TEST(FasFile, MacroLinesResolveToTheOutermostSourceLine) {
    FasImage f;
    f.line(0, 1);  // offset 0 names the main file, so no name lies there
    uint32_t include = f.text("inc/x.inc", false);
    uint32_t outer = f.line(include, 7);
    uint32_t middle = f.line(0, 0x80000002, outer);
    uint32_t inner = f.line(0, 0x80000005, middle);
    f.row(0x10, inner, 1);
    Loaded l(f.bytes());
    ASSERT_EQ(l.fas.lineCount, 1u);
    EXPECT_EQ(l.fas.lines[0].lineNumber, 7u);
    EXPECT_STREQ(l.fas.lines[0].fileName, "inc/x.inc");
    EXPECT_EQ(l.fas.sourceFiles.count, 2u);
}

TEST(FasFile, SymbolsAndTableRemainders) {
    FasImage f;
    uint32_t prefixed = f.text("short", true);
    uint32_t empty = f.text("", true);
    f.symbol(0x80000000u | 10, 1, 2, 4, 0x123456789ull);
    f.symbol(prefixed, 0x80000003u, 2, 0, 0);  // relative to an external symbol
    f.symbol(empty, 1, 0, 0, 5);               // absolute
    f.symbolLength = 70;                       // two whole entries
    uint32_t line = f.line(0, 1);
    f.row(0, line, 1);
    f.row(4, line, 1);
    f.dumpLength = 60;
    Loaded l(f.bytes());
    ASSERT_EQ(l.fas.symbolCount, 2u);
    EXPECT_STREQ(l.fas.symbols[0].name, "label_in_strings");
    EXPECT_EQ(l.fas.symbols[0].isSectionRelative, 1u);
    EXPECT_EQ(l.fas.symbols[0].value, 0x123456789ull);
    EXPECT_EQ(l.fas.symbols[0].dataSize, 4u);
    EXPECT_STREQ(l.fas.symbols[1].name, "short");
    EXPECT_EQ(l.fas.symbols[1].isSectionRelative, 0u);
    EXPECT_EQ(l.fas.symbols[1].section, 3u);
    EXPECT_EQ(l.fas.lineCount, 2u);

    FasImage g;
    g.symbol(g.text("", true), 1, 2, 0, 0);
    Loaded m(g.bytes());
    EXPECT_STREQ(m.fas.symbols[0].name, "");
}

TEST(FasFile, SignatureIgnoresItsLowestBit) {
    FasImage f;
    std::vector<uint8_t> image = f.bytes();
    image[0] = 0x67;
    EXPECT_EQ(failureOf(image), "");
    image[0] = 0x64;
    EXPECT_EQ(failureOf(image), fatalLine("input is not a fas file"));
    EXPECT_EQ(failureOf({0x66, 0x61}), fatalLine("input is not a fas file"));
}

TEST(FasFile, DamagedFilesAreRefused) {
    const std::string damaged = fatalLine("error while loading input file");
    FasImage f;
    uint32_t a = f.line(0, 0x80000001, 0);  // invokes itself
    f.row(0, a, 1);
    EXPECT_EQ(failureOf(f.bytes()), damaged);

    FasImage forward;
    uint32_t first = forward.line(0, 0x80000001, 16);  // invoker lies after it
    forward.line(0, 0x80000001, 0);
    forward.row(0, first, 1);
    EXPECT_EQ(failureOf(forward.bytes()), damaged);

    FasImage outside;
    outside.row(0, 1000, 1);  // line header beyond the file
    EXPECT_EQ(failureOf(outside.bytes()), damaged);

    FasImage unterminated;
    unterminated.symbol(0, 1, 2, 0, 0);
    std::vector<uint8_t> image = unterminated.bytes();
    image.push_back(200);  // length byte past the end
    put32(image, 64 + 27 + 24, static_cast<uint32_t>(image.size() - 1 - (64 + 27 + 32)));
    EXPECT_EQ(failureOf(image), damaged);

    FasImage big;
    big.symbolLength = 32 * 1000;
    EXPECT_EQ(failureOf(big.bytes()), damaged);
    std::vector<uint8_t> whole = big.bytes();
    std::vector<uint8_t> header(whole.begin(), whole.begin() + 40);
    EXPECT_EQ(failureOf(header), damaged);
}

namespace {
std::vector<std::string> readFileNames(const FasFile& fas) {
    std::vector<std::string> names;
    fas.readFiles.forEach([](uintptr_t value, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(reinterpret_cast<const char*>(value));
    }, &names);
    std::sort(names.begin(), names.end());
    return names;
}

void bytesOf(FasImage& f, const std::string& s) {
    f.source.insert(f.source.end(), s.begin(), s.end());
}

// A main-file line `include 'name'` as fasm leaves it; returns the offset of
// the name, by which the included file's lines name their file.
uint32_t includeLine(FasImage& f, uint32_t number, const std::string& name) {
    f.line(0, number);
    bytesOf(f, std::string("\x3B\x07include\x22", 10));
    std::string length(4, '\0');
    length[0] = static_cast<char>(name.size());
    bytesOf(f, length + name + std::string(1, '\0'));
    return static_cast<uint32_t>(f.source.size() - name.size() - 1);
}
}  // namespace

// Every file a preprocessed line came from, also one whose lines made no
// code: each found at the line that included it. A quoted string that no
// line points back at (here one holding a zero byte) names no file.
TEST(FasFile, ReadFilesAreTheFilesOfEveryPreprocessedLine) {
    FasImage f;
    uint32_t macros = includeLine(f, 1, "m.inc");
    f.line(macros, 1);
    bytesOf(f, std::string("\x1A\x05macro\x22\x03\0\0\0a\0b{\0", 17));
    uint32_t nested = includeLine(f, 2, "n1.inc");
    f.line(nested, 1);
    bytesOf(f, std::string("\x1A\x01X=5\0", 6));
    f.line(macros + 1, 0x80000001, 0);  // from a macro: its file field is no file
    bytesOf(f, std::string("\0", 1));
    Loaded l(f.bytes(), true);
    EXPECT_EQ(readFileNames(l.fas), (std::vector<std::string>{"m.inc", "n1.inc"}));
    EXPECT_EQ(l.fas.sourceFiles.count, 1u);  // the output's sources are not touched

    Loaded unasked(f.bytes());
    EXPECT_FALSE(unasked.fas.readFilesListed);
}

// Damage costs no message: what the run needs was loaded already, and the
// files that can still be found are listed.
TEST(FasFile, ReadFilesOfADamagedFileCostNoMessage) {
    for (const std::string& damage : {std::string("\x22\xFF\xFF\xFF\x7F", 5), std::string("\x1A\xF0" "ab", 4),
                                      std::string("\x1A", 1), std::string("abc", 3)}) {
        FasImage f;
        uint32_t macros = includeLine(f, 1, "m.inc");
        f.line(macros, 1);
        bytesOf(f, std::string("\0", 1));
        f.line(0x7FFFFFF0, 2);  // a name outside the file
        bytesOf(f, std::string("\0", 1));
        f.line(0, 3);
        bytesOf(f, damage);
        std::vector<uint8_t> image = f.bytes();
        EXPECT_EQ(failureOf(image), "");
        Loaded l(image, true);
        EXPECT_EQ(readFileNames(l.fas), (std::vector<std::string>{"m.inc"}));
        put32(image, 36, 0xFFFFFFF0);  // preprocessed source said to run past the file
        Loaded past(image, true);
        EXPECT_EQ(readFileNames(past.fas), (std::vector<std::string>{"m.inc"}));
    }
}
