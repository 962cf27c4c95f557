#include "util/text.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <utility>

namespace {

struct del_space_case {
    std::string text, kept;
};

TEST(DelSpace, DropsOnlyTrailingBlanksAndLineFeeds) {
    const del_space_case cases[] = {
        {"", ""},
        {" \n \n\n ", ""},
        {" 1 ", " 1"},
        {"1\n", "1"},
        {"12 \n \n", "12"},
        {"a b\nc  ", "a b\nc"},
        {"1\t", "1\t"},    // a tab is an ordinary character
        {"1\r\n", "1\r"},  // so is a carriage return
        {"1\t \n", "1\t"}, // it stops the trimming
        {"版本 1.12.2 \n", "版本 1.12.2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(del_space(c.text), c.kept) << "text: \"" << c.text << "\"";
}

struct equal_case {
    std::string text, prefix;
    bool result;
};

TEST(Equal, IsAPrefixTest) {
    const equal_case cases[] = {
        {"1.12.2", "1", true},         {"1.12.2", "1.12.2", true},
        {"1.12.2", "", true},          {"", "", true},
        {"1", "1.12.2", false},        {"", "1", false},
        {"1.12.2", "2", false},        {"1.12.2", "1.13", false},
        {"abc", "abd", false},         {"下载服务器", "下载", true},
        {"下载", "下载服务器", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(equal_(c.text, c.prefix), c.result)
            << "text: \"" << c.text << "\", prefix: \"" << c.prefix << "\"";
}

TEST(Equal, ComparesBytesPastEmbeddedNul) {
    EXPECT_FALSE(equal_(std::string("a\0b", 3), std::string("a\0c", 3)));
    EXPECT_TRUE(equal_(std::string("a\0bc", 4), std::string("a\0b", 3)));
}

struct int_case {
    int number;
    std::string text;
};

TEST(IntString, ConventionalDecimal) {
    const int_case cases[] = {
        {0, "0"},
        {7, "7"},
        {10, "10"},
        {120, "120"},
        {1000000, "1000000"},
        {-7, "-7"},
        {-10, "-10"},
        {-120, "-120"},
        {INT_MAX, "2147483647"},
        {INT_MIN, "-2147483648"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(int_string(c.number), c.text) << "number: " << c.number;
}

TEST(IntString, AgreesWithTheLibraryAcrossTheRange) {
    // Steps through the whole range, both ends and every digit count included.
    for (long long n = INT_MIN; n <= INT_MAX; n += 9999991)
        ASSERT_EQ(int_string(static_cast<int>(n)), std::to_string(n));
}

TEST(Printable, ControlCharactersAreShownNotSent) {
    const std::pair<std::string, std::string> cases[] = {
        {"plugins/Maps.jar", "plugins/Maps.jar"},
        {"\x1b]0;x\x07\x1b[2J", "\\x1B]0;x\\x07\\x1B[2J"},
        {std::string("a\0b\t\r\n\x7f", 7), "a\\x00b\\x09\\x0D\\x0A\\x7F"},
        {"地图 \\ ~", "地图 \\ ~"}, // beyond ASCII, and printable ASCII, as it is
        {"", ""},
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(printable(text), shown) << shown;
}

TEST(UnusableCharacter, NamesWhatCommandLinesCannotCarry) {
    const struct {
        std::string path;
        bool command;
        std::string said;
    } cases[] = {
        {"/usr/lib/jvm/java-8/bin/java", false, ""},
        {"/opt/jdk %OS% 8/bin/java", false, ""}, // cmd's own, not Linux's
        {"/opt/jdk\"8\"/bin/java", false, "双引号 \""},
        {"/opt/jdk\\8/bin/java", false, "反斜杠 \\"},
        {"\"/opt/my java/bin/java\" -Xmx2G", true, ""}, // quotes typed are the command's
        {"/opt/jdk\n8/bin/java", false, "控制字符（换行符）"},
        {"/usr/bin/java\r", true, "控制字符（回车符）"},
        {"/usr/bin/java\t-Xmx1G", true, "控制字符（制表符）"},
        {"/opt/\x1b[2J/java", false, "控制字符（0x1B）"},
        {"/opt/\x7f/java", false, "控制字符（0x7F）"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(unusable_character(c.path, c.command), c.said) << c.path;
}

} // namespace
