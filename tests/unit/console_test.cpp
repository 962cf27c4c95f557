#include "util/console.h"

#include "posix/keys.h"
#include "posix/term.h"
#include "scratch.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

// What a call writes to standard output.
template <class F> std::string written(F f) {
    capture out(STDOUT_FILENO);
    f();
    return out.text();
}

} // namespace

TEST(ColorAttr, FourteenNames) {
    const std::pair<const char*, int> rows[] = {
        {"gray", 8},       {"white", 15},  {"skyblue", 11}, {"green", 10},    {"purple", 13},
        {"red", 12},       {"yellow", 14}, {"darkblue", 9}, {"blue", 3},      {"darkgreen", 2},
        {"darkpurple", 5}, {"darkred", 4}, {"golden", 6},   {"graywhite", 7},
    };
    for (const auto& [name, attr] : rows)
        EXPECT_EQ(color_attr(name), attr) << name;
}

TEST(ColorAttr, UnknownNames) {
    for (const char* name : {"", "Yellow", "YELLOW", "yellow ", " red", "grey", "black",
                             "dark blue", "darkBlue", "blu", "graywhite2", "黄色"})
        EXPECT_EQ(color_attr(name), -1) << "[" << name << "]";
}

TEST(Sgr, ForegroundColours) {
    // Console bit 0 is blue and bit 2 red; ANSI has them the other way round.
    const std::pair<int, const char*> rows[] = {
        {0, "\x1b[0;30m"},  {1, "\x1b[0;34m"},  {2, "\x1b[0;32m"},  {3, "\x1b[0;36m"},
        {4, "\x1b[0;31m"},  {5, "\x1b[0;35m"},  {6, "\x1b[0;33m"},  {7, "\x1b[0;37m"},
        {8, "\x1b[0;90m"},  {9, "\x1b[0;94m"},  {10, "\x1b[0;92m"}, {11, "\x1b[0;96m"},
        {12, "\x1b[0;91m"}, {13, "\x1b[0;95m"}, {14, "\x1b[0;93m"}, {15, "\x1b[0;97m"},
    };
    for (const auto& [attr, seq] : rows)
        EXPECT_EQ(sgr(attr), seq) << attr;
}

TEST(CinSpace, SkipsEmptyLinesKeepsBlanks) {
    feed_stdin in("\n\n  1 \n");
    EXPECT_EQ(cin_space(), "  1 ");
}

TEST(CinSpace, OneLineAtATime) {
    feed_stdin in("abc\ndef\n\n\nC:\\j\\java.exe -Xmx1G\n");
    EXPECT_EQ(cin_space(), "abc");
    EXPECT_EQ(cin_space(), "def");
    EXPECT_EQ(cin_space(), "C:\\j\\java.exe -Xmx1G");
    EXPECT_EQ(cin_space(), "");
}

TEST(CinSpace, BlankLineIsALine) {
    feed_stdin in("   \nnext\n");
    EXPECT_EQ(cin_space(), "   ");
    EXPECT_EQ(cin_space(), "next");
}

TEST(CinSpace, EndOfInputWithoutLineEnd) {
    feed_stdin in("\n中文 tail");
    EXPECT_EQ(cin_space(), "中文 tail");
    EXPECT_EQ(cin_space(), "");
}

TEST(CinSpace, EmptyInputStops) {
    {
        feed_stdin in("");
        EXPECT_EQ(cin_space(), "");
        EXPECT_EQ(cin_space(), "");
    }
    {
        feed_stdin in("\n\n\n");
        EXPECT_EQ(cin_space(), "");
        EXPECT_EQ(cin_space(), "");
    }
}

TEST(CinSpace, BytesPassUnchanged) {
    std::string line = "\x01\r\x7f\x80\xff\xd6\xd0";
    feed_stdin in(line + "\n");
    EXPECT_EQ(cin_space(), line);
}

TEST(CinSpace, CarriageReturnBeforeLineFeedEndsTheLine) {
    // Read as text mode reads on Windows: CR LF is a line end, as LF is.
    const std::pair<const char*, const char*> rows[] = {
        {"1\r\n", "1"},     {"\r\n\r\n1\r\n", "1"}, {"1\r\r\n", "1\r"},       {"1\r", "1\r"},
        {"a\rb\n", "a\rb"}, {"\r\n", ""},           {"\n\r\n 1 \r\n", " 1 "},
    };
    for (const auto& [input, line] : rows) {
        feed_stdin in(input);
        EXPECT_EQ(cin_space(), line) << testing::PrintToString(std::string(input));
    }
}

TEST(Keys, OneKeyPressAtATime) {
    // What a terminal sent, the bytes of the first key press in it (0: the
    // sequence may go on) and _getch's codes for that key.
    struct row {
        std::string bytes;
        std::size_t length;
        std::string codes;
    };
    const row rows[] = {
        {"11\r", 1, "1"},
        {"\x1b[A1", 3, "\xe0H"},
        {"\x1bOP", 3, std::string("\0;", 2)},
        {"\x1b[1;5A1", 6, "\xe0H"},              // Ctrl+Up
        {"\x1b[1;2C", 6, "\xe0M"},               // Shift+Right
        {"\x1b[5;3~", 6, "\xe0I"},               // Alt+Page Up
        {"\x1b[1;5P", 6, std::string("\0;", 2)}, // Ctrl+F1
        {"\x1b[25~2", 5, "\x1b"},                // F13
        {"\x1b[2J", 4, "\x1b"},
        {"\x1b[?1;2c3", 7, "\x1b"}, // a terminal's answer
        {"\x1b[[A", 4, std::string("\0;", 2)},
        {"\x1b\x1b[A", 4, "\xe0H"}, // Alt+Up, sent as ESC and the arrow
        {"\x1b\x1b\x31", 2, "\x1b"},
        {"\x1b\x31", 2, "\x1b"}, // Alt+1
        {"\x1bO\r", 2, "\x1b"},
        {"\x1b[1;\r", 4, "\x1b"}, // cut off by a control character
        {"\x1b", 0, "\x1b"},
        {"\x1b[1;5", 0, "\x1b"},
        {"\x1b[", 0, "\x1b"},
        {"\x1bO", 0, "\x1b"},
        {"\x1b\x1b", 0, "\x1b"},
        {"\x1b\x1b[1", 0, "\x1b"},
    };
    for (const auto& r : rows) {
        auto shown = testing::PrintToString(r.bytes);
        EXPECT_EQ(key_length(r.bytes), r.length) << shown;
        // A sequence that never goes on is taken as it stands.
        std::string key = r.length ? r.bytes.substr(0, r.length) : r.bytes;
        EXPECT_EQ(key_codes(key), r.codes) << shown;
    }
    EXPECT_EQ(key_length(""), 0u);
    EXPECT_EQ(key_codes(""), "");
}

TEST(Print, WritesAtOnce) {
    capture out(STDOUT_FILENO);
    const std::string prompt = "请输入 java.exe 的路径:", nul("a\0b", 3);
    print(prompt);
    // Read back without flushing anything: the bytes must be there already.
    EXPECT_EQ(out.text(), prompt);
    print("");
    print(nul);
    EXPECT_EQ(out.text(), prompt + nul);
}

TEST(SlowPrint, WritesEveryByteInOrder) {
    const std::string texts[] = {
        "hello, world", "服务器已关闭!", "mixed 中文 and ascii ✓ 😀",
        "\xe4\xb8",     // a character cut short at the end
        "\xff\x80 odd", // bytes that start no character
    };
    for (const auto& text : texts)
        EXPECT_EQ(written([&] { slow_print(text, 0); }), text) << text;
}

TEST(SlowPrint, EmptyWritesNothing) {
    EXPECT_EQ(written([] { slow_print("", 0); }), "");
    EXPECT_EQ(written([] { slow_print("", 100000); }), "");
}

TEST(Console, NothingWrittenOffATerminal) {
    if (smart()) GTEST_SKIP() << "standard output is a terminal";
    EXPECT_EQ(written([] {
                  color("yellow");
                  color("nosuch");
                  setpos(0, 0);
                  setpos(10, 5);
                  hide_cursor();
              }),
              "");
}

TEST(Console, UnknownColourWritesNothing) {
    EXPECT_EQ(written([] { color("Yellow"); }), "");
    EXPECT_EQ(written([] { color(""); }), "");
}
