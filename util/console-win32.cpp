#include "console.h"

#include <algorithm>
#include <conio.h>
#include <cstdlib>
#include <windows.h>

namespace {

HANDLE out() {
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

// The console's colours and cursor as found, put back at the end.
CONSOLE_SCREEN_BUFFER_INFO found_buffer;
CONSOLE_CURSOR_INFO found_cursor;
bool have_found;

void restore() {
    if (!have_found) return;
    SetConsoleTextAttribute(out(), found_buffer.wAttributes);
    SetConsoleCursorInfo(out(), &found_cursor);
}

BOOL WINAPI on_control(DWORD) {
    restore();
    return FALSE; // the default handler then ends the program
}

void guard() {
    static bool done;
    if (done) return;
    done = true;
    if (GetConsoleScreenBufferInfo(out(), &found_buffer) &&
        GetConsoleCursorInfo(out(), &found_cursor)) {
        have_found = true;
        std::atexit(restore);
        SetConsoleCtrlHandler(on_control, TRUE);
    }
}

} // namespace

void color(std::string name) {
    int attr = color_attr(name);
    if (attr < 0) return;
    guard();
    SetConsoleTextAttribute(out(), static_cast<WORD>(attr));
}

void setpos(int x, int y) {
    COORD at = {static_cast<SHORT>(x), static_cast<SHORT>(y)};
    SetConsoleCursorPosition(out(), at);
}

void hide_cursor() {
    guard();
    CONSOLE_CURSOR_INFO info = {1, FALSE};
    SetConsoleCursorInfo(out(), &info);
}

void own_screen(bool) {}

// Console text goes through the handle: the C runtime's stdio garbles GBK on
// some consoles. Line ends become CR LF, as text-mode output writes them.
void print(std::string text) {
    std::string crlf;
    crlf.reserve(text.size());
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    HANDLE h = out();
    const char* p = crlf.data();
    DWORD left = static_cast<DWORD>(crlf.size()), done = 0;
    while (left > 0 && WriteFile(h, p, left, &done, nullptr) && done > 0) {
        p += done;
        left -= done;
    }
}

void pause_ms(int milliseconds) {
    if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}

bool pass(char key) {
    return (GetAsyncKeyState(key) & 0x8000) != 0;
}

int get_key() {
    return _getch();
}

void drop_keys() {
    while (_kbhit())
        _getch();
}

bool key_within(int milliseconds) {
    ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(std::max(milliseconds, 0));
    for (;;) {
        if (_kbhit()) {
            int code = _getch();
            // An arrow or function key gives a second code.
            if ((code == 0 || code == 224) && _kbhit()) _getch();
            return true;
        }
        if (GetTickCount64() >= until) return false;
        Sleep(20);
    }
}
