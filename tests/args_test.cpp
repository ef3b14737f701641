// Splitting of the raw command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/args.h"

namespace {
std::vector<std::string> split(const char* line) {
    ArgScanner s;
    s.init(line);
    std::vector<std::string> out;
    while (const char* a = s.next()) out.push_back(a);
    EXPECT_EQ(s.next(), nullptr);  // the end stays the end
    s.release();
    return out;
}
using V = std::vector<std::string>;
}  // namespace

TEST(ArgScanner, BlanksTabsAndTheToolName) {
    EXPECT_EQ(split("symweld"), V{});
    EXPECT_EQ(split("symweld  \t "), V{});
    EXPECT_EQ(split(" \t symweld \t a\t\t b  "), (V{"a", "b"}));
    EXPECT_EQ(split("\"C:\\my tools\\symweld.exe\" a.fas"), V{"a.fas"});
}

TEST(ArgScanner, Quotes) {
    EXPECT_EQ(split("t \"my file.fas\""), V{"my file.fas"});
    EXPECT_EQ(split("t \"a b\"c"), (V{"a b", "c"}));
    EXPECT_EQ(split("t a\"b c\""), (V{"a\"b", "c\""}));
    EXPECT_EQ(split("t a \"\" b"), (V{"a", "", "b"}));
    EXPECT_EQ(split("t \"open to the end  "), V{"open to the end  "});
    EXPECT_EQ(split("t a\\\"b c\\"), (V{"a\\\"b", "c\\"}));
    EXPECT_EQ(split("t \x80\xff"), V{"\x80\xff"});
}

TEST(ArgScanner, LongArgumentsAreWhole) {
    std::string longArg(10000, 'q');
    std::string line = "t " + longArg + " x";
    EXPECT_EQ(split(line.c_str()), (V{longArg, "x"}));
}

TEST(ArgScanner, AnArgumentVectorIsUsedAsItIs) {
    const char* const argv[] = {"symweld", "/abs/a.fas", "\"q.obj", "a \"b\" c", "", nullptr};
    ArgScanner s;
    s.initVector(argv);
    V out;
    while (const char* a = s.next()) out.push_back(a);
    s.release();
    EXPECT_EQ(out, (V{"/abs/a.fas", "\"q.obj", "a \"b\" c", ""}));
    const char* const none[] = {nullptr};
    s.initVector(none);
    EXPECT_EQ(s.next(), nullptr);
    s.release();
}
