#include "bitmap.h"

#include "posix/term.h"

#include <unistd.h>

namespace {

// Where the picture's top-left corner goes in the window, in pixels.
constexpr int origin_x = 50, origin_y = 10;

// The colour of a cell half left to the terminal's default background.
constexpr std::int64_t none = -1;

const char upper_half[] = "\u2580", lower_half[] = "\u2584";

// Saving the cursor (ESC 7) keeps its place and colours for ESC 8 to put back.
const std::string save_cursor = "\x1b"
                                "7";
const std::string restore_cursor = "\x1b"
                                   "8";

std::string rgb(std::uint32_t c) {
    return std::to_string(c >> 16 & 0xff) + ";" + std::to_string(c >> 8 & 0xff) + ";" +
           std::to_string(c & 0xff);
}

// Appends the SGR sequence for the cell's colours, leaving out what is set already.
void colours(std::string& out, std::int64_t fg, std::int64_t bg, std::int64_t& cur_fg,
             std::int64_t& cur_bg) {
    std::string params;
    if (fg != cur_fg) params = "38;2;" + rgb(static_cast<std::uint32_t>(fg));
    if (bg != cur_bg) {
        if (!params.empty()) params += ";";
        params += bg == none ? "49" : "48;2;" + rgb(static_cast<std::uint32_t>(bg));
    }
    if (!params.empty()) out += "\x1b[" + params + "m";
    cur_fg = fg;
    cur_bg = bg;
}

} // namespace

std::string bmp_text(const bmp_image& image, const struct winsize& ws) {
    int cols = ws.ws_col ? ws.ws_col : 80, rows = ws.ws_row ? ws.ws_row : 24;
    int cell_w = ws.ws_col && ws.ws_xpixel ? ws.ws_xpixel / ws.ws_col : 0;
    int cell_h = ws.ws_row && ws.ws_ypixel ? ws.ws_ypixel / ws.ws_row : 0;
    if (cell_w <= 0) cell_w = 8;
    if (cell_h <= 0) cell_h = 16;
    // Text columns hold one pixel each, text rows two: half is the half-row
    // (counted from the top of the window) where the picture's first row goes.
    int col0 = origin_x / cell_w, half = 2 * origin_y / cell_h;

    std::string out = save_cursor;
    std::int64_t cur_fg = -2, cur_bg = -2; // not known yet
    for (int row = half / 2; row < rows && col0 < cols; ++row) {
        int top = 2 * row - half, bottom = top + 1; // picture rows in this text row
        if (top >= image.height) break;
        out += cursor_at(row, col0);
        for (int x = 0; x < image.width && col0 + x < cols; ++x) {
            if (top < 0) {
                colours(out, bmp_pixel(image, x, bottom), none, cur_fg, cur_bg);
                out += lower_half;
            } else {
                std::int64_t below = bottom < image.height ? bmp_pixel(image, x, bottom) : none;
                colours(out, bmp_pixel(image, x, top), below, cur_fg, cur_bg);
                out += upper_half;
            }
        }
    }
    out += "\x1b[0m" + restore_cursor;
    return out;
}

int show_bmp(std::string path) {
    bmp_file file;
    if (int got = load_bmp(path, file)) return got;
    bmp_image image;
    if (int got = read_bmp(file.data.get(), file.size, image)) return got;
    if (!smart()) return bmp_drawn;
    struct winsize ws = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) ws = {};
    escape(bmp_text(image, ws), changed_colour);
    return bmp_drawn;
}
