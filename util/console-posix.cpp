#include "console.h"

#include "posix/base.h"
#include "posix/keys.h"
#include "posix/term.h"

#include <chrono>
#include <cstdio>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

// Codes of the last key press not yet handed out: the second of a two-code key.
std::string pending;

// The virtual-key code of the key behind one key press's _getch codes.
int virtual_key(const std::string& codes) {
    auto c = static_cast<unsigned char>(codes[0]);
    if ((c == 0 || c == 224) && codes.size() > 1) {
        switch (static_cast<unsigned char>(codes[1])) {
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
            int code = static_cast<unsigned char>(codes[1]);
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
    if (attr < 0 || !smart()) return;
    escape(sgr(attr), changed_colour);
    written(sgr(attr));
}

void setpos(int x, int y) {
    auto row = static_cast<short>(y), col = static_cast<short>(x);
    if (row < 0 || col < 0) return;
    escape(cursor_at(row, col), 0);
}

void hide_cursor() {
    escape("\x1b[?25l", changed_cursor);
}

void own_screen(bool on) {
    if (on)
        hold_screen();
    else
        release_screen();
}

void print(std::string text) {
    write_all(STDOUT_FILENO, text);
    // A prompt drawn again after a stop is what was printed.
    written(text);
}

void pause_ms(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool pass(char key) {
    // A terminal reports presses, not keys held down: a key counts as down for
    // a moment after the terminal sent it, long enough to bridge auto-repeat.
    static clock_type::time_point seen[256];
    std::string bytes;
    while (!(bytes = read_key(0)).empty()) {
        std::string codes = key_codes(bytes);
        // A sequence without a key of its own is no key, not Escape.
        int vk = bytes.size() > 1 && codes.size() == 1 ? 0 : virtual_key(codes);
        seen[vk] = clock_type::now();
    }
    int vk = static_cast<unsigned char>(key);
    return vk != 0 && seen[vk] != clock_type::time_point() &&
           clock_type::now() - seen[vk] < std::chrono::milliseconds(100);
}

void drop_keys() {
    pending.clear();
    if (tty() >= 0)
        while (!read_key(0).empty()) {
        }
}

bool key_within(int milliseconds) {
    if (!pending.empty()) {
        pending.clear();
        return true;
    }
    if (tty() >= 0) return !read_key(milliseconds).empty();
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    auto until = clock_type::now() + std::chrono::milliseconds(milliseconds);
    if (poll(&in, 1, milliseconds) > 0 && std::getchar() != EOF) return true;
    std::this_thread::sleep_until(until); // at end of input, the wait lasts all the same
    return false;
}

int get_key() {
    if (pending.empty()) {
        if (tty() < 0) return std::getchar();
        // One key press at a time: what was typed after it stays with the
        // terminal layer, for the next key or for a line read.
        int was = retaken();
        pending = key_codes(read_key(-1));
        if (pending.empty()) return retaken() != was ? 0 : -1;
    }
    int code = static_cast<unsigned char>(pending[0]);
    pending.erase(0, 1);
    return code;
}
