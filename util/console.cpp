#include "console.h"

#ifndef _WIN32
#include "posix/keys.h"
#endif

#include <cstdio>
#include <iterator>

namespace {

struct named_colour {
    const char* name;
    int attr;
};

// Tested in this order; the names differ, so at most one matches.
const named_colour colours[] = {
    {"gray", 8},       {"white", 15},  {"skyblue", 11}, {"green", 10},    {"purple", 13},
    {"red", 12},       {"yellow", 14}, {"darkblue", 9}, {"blue", 3},      {"darkgreen", 2},
    {"darkpurple", 5}, {"darkred", 4}, {"golden", 6},   {"graywhite", 7},
};

// Bytes in the character that starts at text[i]: GBK on Windows, UTF-8 elsewhere.
size_t char_len(const std::string& text, size_t i) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t n = 1;
#ifdef _WIN32
    if (c >= 0x81 && c <= 0xfe) n = 2;
#else
    if (c >= 0xf0)
        n = 4;
    else if (c >= 0xe0)
        n = 3;
    else if (c >= 0xc0)
        n = 2;
#endif
    return i + n <= text.size() ? n : text.size() - i;
}

} // namespace

int color_attr(std::string name) {
    int attr = -1;
    for (const auto& row : colours)
        if (name == row.name) attr = row.attr;
    return attr;
}

void slow_print(std::string text, int milliseconds) {
    for (size_t i = 0; i < text.size();) {
        size_t n = char_len(text, i);
        print(text.substr(i, n));
        pause_ms(milliseconds);
        i += n;
    }
}

std::string cin_line(std::FILE* in) {
    // A terminal's end of input (Ctrl+D) holds for one read only.
    std::clearerr(in);
    std::string line;
#ifndef _WIN32
    // From the terminal, the line is read and echoed here, what was typed
    // after the last key first, as the Windows console leaves it for the line
    // input after _getch; and it comes back with the prompt after a stop.
    if (in == stdin) {
        int got;
        while ((got = edit_line(line)) > 0 && line.empty()) {
        }
        if (got != 0) return line;
    }
#endif
    int c;
    while ((c = std::getc(in)) != EOF) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        // As text mode reads on Windows: a carriage return before the line
        // feed belongs to the line end.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Empty lines before the line are skipped.
        if (!line.empty()) break;
    }
    return line;
}

std::string cin_space() {
    return cin_line(stdin);
}
