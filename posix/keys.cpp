#include "keys.h"

#include "base.h"
#include "term.h"

#include <termios.h>
#include <unistd.h>

namespace {

const char esc = '\x1b';

// Codes of a key that arrived as an escape sequence, as _getch gives them:
// a lead code (224 for the grey keys, 0 for F1 to F10 and Shift+Tab), then
// the key's code. Both the Linux console's and xterm's forms are here.
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
    {"\x1bOH", 224, 71},  {"\x1bOF", 224, 79},  {"\x1b[[A", 0, 59},     {"\x1b[[B", 0, 60},
    {"\x1b[[C", 0, 61},   {"\x1b[[D", 0, 62},   {"\x1b[[E", 0, 63},     {"\x1b[P", 0, 59},
    {"\x1b[Q", 0, 60},    {"\x1b[R", 0, 61},    {"\x1b[S", 0, 62},      {"\x1b[Z", 0, 15},
};

// The sequence the key sends with no modifier held: xterm reports Shift, Ctrl
// and Alt as a second parameter (ESC [ 1 ; 5 A for Ctrl+Up, ESC [ 5 ; 5 ~
// for Ctrl+Page Up), which _getch's codes here do not carry.
std::string unmodified(std::string_view key) {
    if (key.size() < 3 || key[1] != '[') return std::string(key);
    std::string_view params = key.substr(2, key.size() - 3);
    char final = key.back();
    auto semi = params.find(';');
    if (semi == params.npos || params.find_first_not_of("0123456789;") != params.npos)
        return std::string(key);
    std::string first(params.substr(0, semi));
    if (final == '~') return "\x1b[" + first + "~";
    if (first.empty() || first == "1") return std::string("\x1b[") + final;
    return std::string(key);
}

// True when fd is the controlling terminal, which the keys are read from.
bool is_terminal(int fd) {
    return tty() >= 0 && tcgetsid(fd) != -1;
}

// How the terminal's line mode echoes a character: a control character as
// ^X when ECHOCTL is set.
std::string shown(unsigned char c, const struct termios& modes) {
    if ((modes.c_lflag & ECHOCTL) && (c < 0x20 || c == 0x7f) && c != '\t')
        return {'^', static_cast<char>(c ^ 0x40)};
    return std::string(1, static_cast<char>(c));
}

// True when c is the terminal's special character at index at of c_cc.
bool special(unsigned char c, const struct termios& modes, int at) {
    return modes.c_cc[at] != _POSIX_VDISABLE && c == modes.c_cc[at];
}

// Removes the line's last character, all of its UTF-8 bytes, and adds to
// echo what takes it off the screen.
void erase_one(std::string& line, std::string& echo, const struct termios& modes) {
    if (line.empty()) return;
    auto last = static_cast<unsigned char>(line.back());
    while ((modes.c_iflag & IUTF8) && line.size() > 1 &&
           (static_cast<unsigned char>(line.back()) & 0xc0) == 0x80)
        line.pop_back();
    line.pop_back();
    if (!(modes.c_lflag & ECHOE)) return;
    // A control character was echoed in two cells (^X).
    echo += shown(last, modes).size() == 2 ? "\b\b  \b\b" : "\b \b";
}

// Takes one byte typed into line, as the terminal's line mode would, with
// what it echoes added to echo: 1 at the line end, -1 at an end of input
// (Ctrl+D) before the line's first character, else 0.
int take_key(unsigned char c, std::string& line, std::string& echo, const struct termios& modes) {
    if (c == '\r' && (modes.c_iflag & IGNCR)) return 0;
    if (c == '\n' || (c == '\r' && (modes.c_iflag & ICRNL))) {
        echo += '\n';
        return 1;
    }
    if (special(c, modes, VEOF))
        // Ends the input only at the start of a line, as the line mode
        // hands a line typed so far to the reader, which reads on.
        return line.empty() ? -1 : 0;
    if (special(c, modes, VERASE)) {
        erase_one(line, echo, modes);
    } else if (special(c, modes, VKILL)) {
        while (!line.empty())
            erase_one(line, echo, modes);
    } else if (special(c, modes, VWERASE)) {
        while (!line.empty() && blank(line.back()))
            erase_one(line, echo, modes);
        while (!line.empty() && !blank(line.back()))
            erase_one(line, echo, modes);
    } else {
        line += static_cast<char>(c);
        echo += shown(c, modes);
    }
    return 0;
}

// The line being written on standard output since its last line end, and the
// colour in force where it starts: the prompt a line is read after.
std::string line_now, colour_then;

// The last colour sequence (ESC [ parameters m) in text; empty when none.
std::string last_colour(std::string_view text) {
    std::string found;
    for (auto at = text.find("\x1b["); at != std::string_view::npos;
         at = text.find("\x1b[", at + 1)) {
        auto end = text.find_first_not_of("0123456789;", at + 2);
        if (end != std::string_view::npos && text[end] == 'm')
            found = text.substr(at, end + 1 - at);
    }
    return found;
}

// Draws the prompt again at the top of the screen, with the line typed so far.
void redraw(const std::string& line, const struct termios& modes) {
    std::string typed;
    if (modes.c_lflag & ECHO)
        for (char c : line)
            typed += shown(static_cast<unsigned char>(c), modes);
    escape(cursor_at(0, 0) + colour_then + line_now + typed,
           colour_then.empty() ? 0 : changed_colour);
}

} // namespace

std::size_t key_length(std::string_view bytes) {
    if (bytes.empty()) return 0;
    if (bytes[0] != esc) return 1;
    if (bytes.size() < 2) return 0;
    if (bytes[1] == esc) {
        // Alt held with a key that sends a sequence itself (ESC ESC [ A),
        // or ESC pressed with Alt.
        if (bytes.size() < 3) return 0;
        if (bytes[2] != '[' && bytes[2] != 'O') return 2;
        std::size_t n = key_length(bytes.substr(1));
        return n ? n + 1 : 0;
    }
    auto printable = [](unsigned char c) { return c >= 0x20 && c <= 0x7e; };
    if (bytes[1] == 'O') {
        if (bytes.size() < 3) return 0;
        return printable(static_cast<unsigned char>(bytes[2])) ? 3 : 2;
    }
    if (bytes[1] != '[') return 2;
    // The Linux console's F1 to F5: ESC [ [ A to ESC [ [ E.
    if (bytes.size() > 2 && bytes[2] == '[') return bytes.size() < 4 ? 0 : 4;
    for (std::size_t i = 2; i < bytes.size(); ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x40 && c <= 0x7e) return i + 1; // the final byte
        // Neither a parameter nor an intermediate byte: the sequence was cut
        // off, and what came so far is the key.
        if (c < 0x20 || c > 0x3f) return i;
    }
    return 0;
}

std::string key_codes(std::string_view key) {
    if (key.empty()) return {};
    if (key[0] != esc) return std::string(key.substr(0, 1));
    // Alt with a key that sends a sequence: the key's own codes.
    if (key.size() > 2 && key[1] == esc) key.remove_prefix(1);
    std::string plain = unmodified(key);
    for (const auto& s : sequences)
        if (plain == s.bytes) return {static_cast<char>(s.lead), static_cast<char>(s.code)};
    return std::string(1, esc);
}

std::string read_key(int timeout_ms) {
    unsigned char buf[64];
    int n = raw_read(buf, sizeof buf, timeout_ms);
    if (n <= 0) return {};
    std::string bytes(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
    std::size_t length;
    while ((length = key_length(bytes)) == 0) {
        // A sequence cut short: the rest follows at once or not at all.
        n = raw_read(buf, sizeof buf, 25);
        if (n <= 0) {
            length = bytes.size();
            break;
        }
        // No key sends a sequence this long: keep its start, which is all
        // that tells it apart, and drop parameter bytes from its middle.
        if (bytes.size() > 256) bytes.erase(3, bytes.size() - 128);
        bytes.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
    }
    unread(std::string_view(bytes).substr(length));
    bytes.resize(length);
    return bytes;
}

int edit_line(std::string& line) {
    line.clear();
    struct termios modes;
    if (!is_terminal(STDIN_FILENO) || tcgetattr(tty(), &modes) != 0) return 0;
    int end = 0;
    while (end == 0) {
        std::string ahead = take_unread();
        if (ahead.empty()) {
            unsigned char buf[64];
            int was = retaken();
            int n = raw_read(buf, sizeof buf, -1);
            if (n < 0) return -1;
            // Continued after a stop, on the held screen taken again empty.
            if (n == 0 && retaken() != was) redraw(line, modes);
            ahead.assign(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
        }
        std::string echo;
        std::size_t i = 0;
        while (i < ahead.size() && end == 0)
            end = take_key(static_cast<unsigned char>(ahead[i++]), line, echo, modes);
        if (modes.c_lflag & ECHO) write_all(tty(), echo);
        unread(std::string_view(ahead).substr(i));
    }
    if (end > 0) written("\n");
    return end;
}

void written(std::string_view text) {
    auto end = text.rfind('\n');
    if (end == std::string_view::npos) {
        line_now += text;
        // Only a prompt's worth is ever drawn again.
        if (line_now.size() > 4096) line_now.erase(0, line_now.size() - 4096);
        return;
    }
    line_now += text.substr(0, end);
    if (std::string colour = last_colour(line_now); !colour.empty()) colour_then = colour;
    line_now = text.substr(end + 1);
}
