#include "console.h"

#include "posix/term.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

// Codes of a key that arrived as an escape sequence, as _getch gives them:
// a lead code (224 for the grey keys, 0 for F1 to F10), then the key's code.
struct sequence {
    const char* bytes;
    int lead, code;
};

const sequence sequences[] = {
    {"\x1b[A", 224, 72},  {"\x1b[B", 224, 80},  {"\x1b[C", 224, 77},    {"\x1b[D", 224, 75},
    {"\x1bOA", 224, 72},  {"\x1bOB", 224, 80},  {"\x1bOC", 224, 77},    {"\x1bOD", 224, 75},
    {"\x1b[H", 224, 71},  {"\x1b[F", 224, 79},  {"\x1b[1~", 224, 71},   {"\x1b[4~", 224, 79},
    {"\x1b[2~", 224, 82}, {"\x1b[3~", 224, 83}, {"\x1b[5~", 224, 73},   {"\x1b[6~", 224, 81},
    {"\x1bOP", 0, 59},    {"\x1bOQ", 0, 60},    {"\x1bOR", 0, 61},      {"\x1bOS", 0, 62},
    {"\x1b[15~", 0, 63},  {"\x1b[17~", 0, 64},  {"\x1b[18~", 0, 65},    {"\x1b[19~", 0, 66},
    {"\x1b[20~", 0, 67},  {"\x1b[21~", 0, 68},  {"\x1b[23~", 224, 133}, {"\x1b[24~", 224, 134},
};

// Codes read from the terminal but not yet handed out.
std::string pending;

// Turns what the terminal sent into _getch's codes.
std::string decode(std::string_view bytes) {
    std::string codes;
    while (!bytes.empty()) {
        const sequence* found = nullptr;
        if (bytes[0] == '\x1b')
            for (const auto& s : sequences)
                if (bytes.starts_with(s.bytes)) found = &s;
        if (found) {
            codes += static_cast<char>(found->lead);
            codes += static_cast<char>(found->code);
            bytes.remove_prefix(std::strlen(found->bytes));
        } else {
            codes += bytes[0];
            bytes.remove_prefix(1);
        }
    }
    return codes;
}

// The virtual-key code of the key behind _getch's codes at codes[i]; sets used.
int virtual_key(const std::string& codes, size_t i, size_t& used) {
    auto c = static_cast<unsigned char>(codes[i]);
    used = 1;
    if ((c == 0 || c == 224) && i + 1 < codes.size()) {
        used = 2;
        switch (static_cast<unsigned char>(codes[i + 1])) {
        case 72:
            return 0x26; // up
        case 80:
            return 0x28; // down
        case 75:
            return 0x25; // left
        case 77:
            return 0x27; // right
        case 71:
            return 0x24; // home
        case 79:
            return 0x23; // end
        case 73:
            return 0x21; // page up
        case 81:
            return 0x22; // page down
        case 82:
            return 0x2d; // insert
        case 83:
            return 0x2e; // delete
        default: {
            int code = static_cast<unsigned char>(codes[i + 1]);
            if (c == 0 && code >= 59 && code <= 68) return 0x70 + code - 59; // F1..F10
            if (code == 133 || code == 134) return 0x7a + code - 133;        // F11, F12
            return 0;
        }
        }
    }
    if (c >= 'a' && c <= 'z') return c - 'a' + 'A';
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ') return c;
    switch (c) {
    case '\r':
    case '\n':
        return 0x0d;
    case 27:
        return 0x1b;
    case 8:
    case 127:
        return 0x08;
    case '\t':
        return 0x09;
    }
    return 0;
}

} // namespace

void color(std::string name) {
    int attr = color_attr(name);
    if (attr >= 0) escape(sgr(attr), changed_colour);
}

void setpos(int x, int y) {
    auto row = static_cast<short>(y), col = static_cast<short>(x);
    if (row < 0 || col < 0) return;
    escape(cursor_at(row, col), 0);
}

void hide_cursor() {
    escape("\x1b[?25l", changed_cursor);
}

void print(std::string text) {
    write_all(STDOUT_FILENO, text);
}

void pause_ms(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool pass(char key) {
    // A terminal reports presses, not keys held down: a key counts as down for
    // a moment after the terminal sent it, long enough to bridge auto-repeat.
    static clock_type::time_point seen[256];
    unsigned char buf[64];
    int n;
    while ((n = raw_read(buf, sizeof buf, 0)) > 0) {
        std::string codes = decode({reinterpret_cast<char*>(buf), static_cast<size_t>(n)});
        auto now = clock_type::now();
        for (size_t i = 0, used; i < codes.size(); i += used)
            seen[virtual_key(codes, i, used)] = now;
    }
    int vk = static_cast<unsigned char>(key);
    return vk != 0 && seen[vk] != clock_type::time_point() &&
           clock_type::now() - seen[vk] < std::chrono::milliseconds(100);
}

int get_key() {
    if (pending.empty()) {
        if (tty() < 0) return std::getchar();
        unsigned char buf[64];
        int n = raw_read(buf, sizeof buf, -1);
        if (n <= 0) return -1;
        pending = decode({reinterpret_cast<char*>(buf), static_cast<size_t>(n)});
    }
    int code = static_cast<unsigned char>(pending[0]);
    pending.erase(0, 1);
    return code;
}
