#include "dialogs.h"

#include "console.h"
#include "posix/base.h"
#include "posix/term.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <locale.h>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

// One character as drawn: its bytes and the cells it takes.
struct glyph {
    std::string bytes;
    int width;
};

// A run of glyphs as drawn on one row.
struct row {
    std::string bytes;
    int width = 0;
};

// The width in cells of the UTF-8 character at the start of text, -1 when
// it cannot be shown; n gets its length in bytes. Without the C.UTF-8 locale,
// a character of three or four bytes counts as two cells (the CJK ranges).
int decode(std::string_view text, locale_t utf8, std::mbstate_t& state, std::size_t& n) {
    if (utf8) {
        wchar_t wc;
        n = std::mbrtowc(&wc, text.data(), text.size(), &state);
        if (n == 0 || n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
            state = {};
            n = 1;
            return -1;
        }
        return wcwidth(wc);
    }
    auto c = static_cast<unsigned char>(text[0]);
    n = std::min<std::size_t>(c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1, text.size());
    if (n == 1) return c >= 0x20 && c < 0x7f ? 1 : -1;
    return n >= 3 ? 2 : 1;
}

// The characters of UTF-8 text with their widths; a tab shows as a blank, a
// line feed is kept as a row break, and anything else that cannot be shown
// (control characters, bytes that are not UTF-8) as a question mark.
std::vector<glyph> glyphs(std::string_view text) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    locale_t old = utf8 ? uselocale(utf8) : locale_t{};
    std::vector<glyph> out;
    std::mbstate_t state{};
    while (!text.empty()) {
        std::size_t n;
        int width = decode(text, utf8, state, n);
        std::string bytes(text.substr(0, n));
        text.remove_prefix(n);
        if (n == 1 && (bytes[0] == '\n' || bytes[0] == '\r')) {
            if (bytes[0] == '\n') out.push_back({"\n", 0});
        } else if (n == 1 && bytes[0] == '\t') {
            out.push_back({" ", 1});
        } else if (width < 0) {
            out.push_back({"?", 1});
        } else {
            out.push_back({bytes, width});
        }
    }
    if (utf8) uselocale(old);
    return out;
}

int width_of(const std::vector<glyph>& gs) {
    int w = 0;
    for (const auto& g : gs)
        w += g.width;
    return w;
}

row join(std::vector<glyph>::const_iterator from, std::vector<glyph>::const_iterator to) {
    row r;
    for (; from != to; ++from) {
        r.bytes += from->bytes;
        r.width += from->width;
    }
    return r;
}

// The widest row of text as written, line feeds being the only breaks.
int natural_width(const std::vector<glyph>& gs) {
    int widest = 0, w = 0;
    for (const auto& g : gs) {
        w = g.bytes == "\n" ? 0 : w + g.width;
        widest = std::max(widest, w);
    }
    return widest;
}

// True when a row may break between a and b: at a blank, or beside a wide
// (Chinese) character, which may be broken before and after.
bool may_break(const glyph& a, const glyph& b) {
    return a.bytes == " " || b.bytes == " " || a.width > 1 || b.width > 1;
}

// Breaks text into rows of at most limit cells: at line feeds, at the last
// place a row may break (see may_break), or inside a word too long for a row.
// Blanks where a row was broken are dropped.
std::vector<row> wrap(const std::vector<glyph>& gs, int limit) {
    std::vector<row> rows;
    std::vector<glyph> cur;
    for (const auto& g : gs) {
        if (g.bytes == "\n") {
            rows.push_back(join(cur.begin(), cur.end()));
            cur.clear();
            continue;
        }
        if (width_of(cur) + g.width > limit && !cur.empty()) {
            std::size_t at = cur.size();
            if (!may_break(cur.back(), g)) {
                std::size_t i = cur.size() - 1;
                while (i > 0 && !may_break(cur[i - 1], cur[i]))
                    --i;
                if (i > 0) at = i;
            }
            std::vector<glyph> rest(cur.begin() + static_cast<std::ptrdiff_t>(at), cur.end());
            cur.resize(at);
            while (!cur.empty() && cur.back().bytes == " ")
                cur.pop_back();
            rows.push_back(join(cur.begin(), cur.end()));
            cur.assign(std::find_if(rest.begin(), rest.end(),
                                    [](const glyph& x) { return x.bytes != " "; }),
                       rest.end());
            if (cur.empty() && g.bytes == " ") continue;
        }
        cur.push_back(g);
    }
    rows.push_back(join(cur.begin(), cur.end()));
    return rows;
}

// The row cut to at most limit cells, ending in "..." when it had to be cut
// (or always, with force).
row cut(const row& r, int limit, bool force = false) {
    if (r.width <= limit && !force) return r;
    auto gs = glyphs(r.bytes);
    row out;
    for (const auto& g : gs) {
        if (out.width + g.width > limit - 3) break;
        out.bytes += g.bytes;
        out.width += g.width;
    }
    int dots = std::min(3, std::max(limit - out.width, 0));
    out.bytes.append(static_cast<std::size_t>(dots), '.');
    out.width += dots;
    return out;
}

std::string repeat(std::string_view s, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += s;
    return out;
}

// The terminal's size in cells: columns, rows (80 by 24 when it does not say).
std::pair<int, int> screen_size() {
    struct winsize ws {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0)
        return {ws.ws_col, ws.ws_row};
    return {80, 24};
}

// What a notice shows.
struct notice {
    std::vector<glyph> title, text;
    std::vector<std::string> buttons;
};

// A notice's frame on a terminal of a given size: its rows, each as drawn
// from the frame's left column, and where the cursor rests.
struct frame {
    std::vector<std::string> rows;
    int left;   // column of the left border
    int cursor; // column of the highlighted button's label, on the row above the last
};

// The frame of the notice with button `chosen` highlighted, at most `lines`
// rows high.
frame lay_out(const notice& n, int chosen, int cols, int lines) {
    const int pad = cols >= 16 ? 2 : 0;
    // The buttons as drawn on a wide frame, then ever tighter, until they fit:
    // the brackets' inner blanks, the brackets, and at last all but the
    // highlighted one go.
    struct look {
        const char *open, *close;
        int gap;
        bool all;
    };
    static const look looks[] = {
        {"[ ", " ]", 3, true}, {"[ ", " ]", 1, true}, {"[", "]", 1, true},
        {"", "", 1, true},     {"", "", 0, false},
    };
    auto buttons_width = [&](const look& l) {
        int w = 0, shown = 0;
        for (std::size_t i = 0; i < n.buttons.size(); ++i) {
            if (!l.all && static_cast<int>(i) != chosen) continue;
            w += (shown++ ? l.gap : 0) + width_of(glyphs(n.buttons[i])) +
                 static_cast<int>(std::strlen(l.open) + std::strlen(l.close));
        }
        return w;
    };
    int widest =
        std::max({natural_width(n.text), width_of(n.title) + 2, buttons_width(looks[0]), 24});
    // Long text wraps at 60 cells, as a message box keeps to a readable width.
    int inner = std::max(std::min({widest, 60, cols - 2 - 2 * pad}), 2);
    int span = inner + 2 * pad;
    const look* style = std::begin(looks);
    while (style + 1 != std::end(looks) && buttons_width(*style) > span)
        ++style;

    std::vector<row> text = wrap(n.text, inner);
    int room = std::max(lines - 5, 1);
    if (static_cast<int>(text.size()) > room) {
        text.resize(static_cast<std::size_t>(room));
        text.back() = cut(text.back(), inner, true);
    }
    frame f;
    f.left = std::max((cols - span - 2) / 2, 0);
    row title = cut(join(n.title.begin(), n.title.end()), span - 2);
    int dashes = span - title.width - 2;
    f.rows.push_back("┌" + repeat("─", dashes / 2) + " \x1b[1m" + title.bytes + "\x1b[22m " +
                     repeat("─", dashes - dashes / 2) + "┐");
    std::string blank = "│" + repeat(" ", span) + "│";
    f.rows.push_back(blank);
    for (const auto& r : text)
        f.rows.push_back("│" + repeat(" ", pad) + r.bytes + repeat(" ", span - pad - r.width) +
                         "│");
    f.rows.push_back(blank);

    int lead = std::max((span - buttons_width(*style)) / 2, 0);
    std::string buttons = "│" + repeat(" ", lead);
    const int inset = static_cast<int>(std::strlen(style->open));
    f.cursor = f.left + 1 + lead + inset;
    bool first = true;
    for (std::size_t i = 0; i < n.buttons.size(); ++i) {
        bool lit = static_cast<int>(i) == chosen;
        if (!style->all && !lit) continue;
        if (!first) {
            buttons += repeat(" ", style->gap);
            lead += style->gap;
        }
        first = false;
        if (lit) f.cursor = f.left + 1 + lead + inset;
        buttons += std::string(lit ? "\x1b[7m" : "") + style->open + n.buttons[i] + style->close +
                   (lit ? "\x1b[27m" : "");
        lead +=
            width_of(glyphs(n.buttons[i])) + inset + static_cast<int>(std::strlen(style->close));
    }
    f.rows.push_back(buttons + repeat(" ", std::max(span - lead, 0)) + "│");
    f.rows.push_back("└" + repeat("─", span) + "┘");
    return f;
}

// The escape sequences that draw the notice centred on a cleared screen, with
// button `chosen` highlighted and the cursor on it.
std::string draw(const notice& n, int chosen, std::pair<int, int> size) {
    auto [cols, lines] = size;
    frame f = lay_out(n, chosen, cols, lines);
    int height = static_cast<int>(f.rows.size());
    int top = std::max((lines - height) / 2, 0);
    std::string out = "\x1b[0m\x1b[2J";
    for (int i = 0; i < height; ++i)
        out += cursor_at(top + i, f.left) + f.rows[static_cast<std::size_t>(i)];
    return out + cursor_at(top + height - 2, f.cursor);
}

// Moves the cursor by count rows (down when count > 0, up when < 0) or to
// column col of its row.
std::string rows_by(int count) {
    if (count == 0) return {};
    return "\x1b[" + std::to_string(std::abs(count)) + (count > 0 ? "B" : "A");
}
std::string to_column(int col) {
    return col > 0 ? "\r\x1b[" + std::to_string(col) + "C" : "\r";
}

// A notice on the screen the program holds. That screen cannot be put aside
// and brought back, as the alternate screen brings back the one under it, and
// what other programs wrote on it cannot be read back; so the notice makes
// room instead of covering: it opens a band of blank rows under the text it
// follows, pushing the rows below that down, the screen scrolled up first as
// far as the band needs. Closing it pulls those rows back up. Only the rows
// scrolled off the top, and rows pushed off the bottom, are lost. Everything
// is drawn relative to the cursor, whose row is not known.
struct band {
    int height = 0; // rows opened
};

// Opens a band of height rows under the cursor's row, the cursor and colours
// saved (ESC 7) where the text it follows ends; the cursor is left on the
// band's first row.
std::string open_band(band& b, int height, int lines) {
    b.height = std::clamp(height, 1, std::max(lines - 1, 1));
    // Index (ESC D) moves down a row, scrolling at the bottom, and keeps the column.
    std::string out;
    for (int i = 0; i < b.height; ++i)
        out += "\x1b"
               "D";
    out += rows_by(-b.height) + "\x1b\x37\x1b[0m" + to_column(0) + rows_by(1);
    return out + "\x1b[" + std::to_string(b.height) + "L";
}

// Draws the frame in the band, the cursor on its first row, and leaves the
// cursor on the highlighted button.
std::string fill_band(const frame& f) {
    std::string out = "\x1b[0m";
    int height = static_cast<int>(f.rows.size());
    for (int i = 0; i < height; ++i)
        out += (i ? rows_by(1) : "") + "\r\x1b[2K" + (f.left ? to_column(f.left) : "") +
               f.rows[static_cast<std::size_t>(i)];
    return out + rows_by(-1) + to_column(f.cursor);
}

// From the highlighted button back to the band's first row.
std::string band_top(const band& b) {
    return rows_by(-(b.height - 2)) + "\r";
}

// Takes the band away, the rows below it pulled back up, and puts the cursor
// and colours back where the text it followed ends.
std::string close_band(const band& b) {
    return band_top(b) + "\x1b[0m\x1b[" + std::to_string(b.height) + "M\x1b\x38";
}

enum class key { none, enter, space, esc, yes, no, left, right, toggle };

// The keys in what the terminal sent.
std::vector<key> keys(std::string_view in) {
    std::vector<key> out;
    while (!in.empty()) {
        unsigned char c = static_cast<unsigned char>(in[0]);
        std::size_t used = 1;
        key k = key::none;
        if (c == 0x1b && in.size() > 1 && (in[1] == '[' || in[1] == 'O')) {
            // A control sequence: parameters, then a final byte from @ to ~.
            used = 2;
            while (used < in.size() && (in[used] < 0x40 || in[used] > 0x7e))
                ++used;
            char final = used < in.size() ? in[used] : 0;
            used = std::min(used + 1, in.size());
            k = final == 'C'   ? key::right
                : final == 'D' ? key::left
                : final == 'Z' ? key::toggle
                               : key::none;
        } else if (c == 0x1b) {
            k = key::esc;
        } else if (c == '\r' || c == '\n') {
            k = key::enter;
        } else if (c == ' ') {
            k = key::space;
        } else if (c == '\t') {
            k = key::toggle;
        } else if (c == 'y' || c == 'Y' || in.starts_with("是")) {
            k = key::yes;
            used = c < 0x80 ? 1 : std::string_view("是").size();
        } else if (c == 'n' || c == 'N' || in.starts_with("否")) {
            k = key::no;
            used = c < 0x80 ? 1 : std::string_view("否").size();
        }
        out.push_back(k);
        in.remove_prefix(used);
    }
    return out;
}

// What a key does to a notice: 1 answers OK or Yes, 0 answers No, -1 leaves
// it open (moving the highlight through chosen).
int press(key k, bool yes_no, int& chosen) {
    if (!yes_no) return k == key::enter || k == key::space || k == key::esc ? 1 : -1;
    switch (k) {
    case key::yes:
        return 1;
    case key::no:
        return 0;
    case key::enter:
    case key::space:
        return chosen == 0 ? 1 : 0;
    case key::left:
        chosen = 0;
        break;
    case key::right:
        chosen = 1;
        break;
    case key::toggle:
        chosen = 1 - chosen;
        break;
    default:
        break;
    }
    return -1;
}

// The answer the keys read from the terminal give, or -1 while the notice
// stays open; got < 0 (end of input) answers OK, or No.
int answer_to(const unsigned char* buf, int got, bool yes_no, int& chosen) {
    if (got < 0) return yes_no ? 0 : 1;
    for (key k : keys({reinterpret_cast<const char*>(buf), static_cast<std::size_t>(got)}))
        if (int answer = press(k, yes_no, chosen); answer >= 0) return answer;
    return -1;
}

// A notice drawn on a smart terminal, keys read from the terminal: on the
// alternate screen, which brings back what was under it when it goes, or in
// a band on the screen the program holds itself (see band). End of input
// answers OK, or No.
bool framed(const notice& n, bool yes_no) {
    std::fflush(stdout);
    int chosen = 0, answer = -1;
    auto size = screen_size();
    const bool banded = screen_held();
    band b;
    // The frame in the band, which must leave a row above it for the text.
    auto framing = [&] { return lay_out(n, chosen, size.first, size.second - 1); };
    auto opening = [&] {
        frame f = framing();
        return open_band(b, static_cast<int>(f.rows.size()), size.second) + fill_band(f);
    };
    int taken = retaken();
    if (banded) escape(opening(), 0);
    while (answer < 0) {
        int was = chosen;
        // Not shown yet, or taken away by a stop (Ctrl+Z) and then continued;
        // a held screen comes back empty, the band with it.
        if (banded && retaken() != taken) {
            taken = retaken();
            escape("\x1b\x38" + opening(), 0);
        } else if (!banded && enter_screen()) {
            escape(draw(n, chosen, size), 0);
        }
        unsigned char buf[64];
        int got = raw_read(buf, sizeof buf, 500);
        if (got == 0) {
            auto now = screen_size();
            if (now != size) {
                size = now;
                escape(banded ? close_band(b) + opening() : draw(n, chosen, size), 0);
            }
            continue;
        }
        answer = answer_to(buf, got, yes_no, chosen);
        if (answer < 0 && chosen != was)
            escape(banded ? band_top(b) + fill_band(framing()) : draw(n, chosen, size), 0);
    }
    if (banded)
        escape(close_band(b), 0);
    else
        leave_screen();
    return answer == 1;
}

// A notice as plain lines on a terminal that takes no escape sequences (or
// is not where standard output goes), keys read from the terminal.
bool plain(const std::string& text, const std::string& caption, bool yes_no) {
    std::fflush(stdout);
    int fd = tty();
    write_all(fd, "\n" + caption + "\n" + text + "\n" + (yes_no ? "(是/否) " : "[确定] "));
    int chosen = 0, answer = -1;
    while (answer < 0) {
        unsigned char buf[64];
        answer = answer_to(buf, raw_read(buf, sizeof buf, -1), yes_no, chosen);
    }
    write_all(fd, yes_no ? (answer == 1 ? "是\n" : "否\n") : "\n");
    return answer == 1;
}

// Shows a notice where the user is, and waits for the answer.
bool ask(const std::string& text, const std::string& caption, bool yes_no) {
    if (tty() < 0) {
        // Nobody at a terminal: the notice goes to standard output and the
        // answer comes from standard input.
        print(caption + "\n" + text + "\n" + (yes_no ? "(是/否) " : ""));
        std::string line = cin_space();
        return line.starts_with("y") || line.starts_with("Y") || line.starts_with("是");
    }
    if (!smart()) return plain(text, caption, yes_no);
    notice n{glyphs(caption), glyphs(text), {}};
    if (yes_no)
        n.buttons = {"是", "否"};
    else
        n.buttons = {"确定"};
    return framed(n, yes_no);
}

} // namespace

void mes(std::string text, std::string caption) {
    ask(text, caption, false);
}

bool mes_yes_no(std::string text, std::string caption) {
    return ask(text, caption, true);
}
