#include "util/bitmap.h"

#include "scratch.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <vector>

namespace {

void put16(std::string& s, size_t at, uint32_t v) {
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}

void put32(std::string& s, size_t at, uint32_t v) {
    put16(s, at, v);
    put16(s, at + 2, v >> 16);
}

// How a test picture is stored.
struct kind {
    kind(int bits, uint32_t compression = 0, uint32_t header = 40,
         std::vector<uint32_t> palette = {}, std::array<uint32_t, 3> masks = {})
        : bits(bits), compression(compression), header(header), palette(std::move(palette)),
          masks(masks) {}
    int bits;
    uint32_t compression, header;
    std::vector<uint32_t> palette; // 0xRRGGBB entries
    std::array<uint32_t, 3> masks; // written for bit fields
};

// A bitmap file of width by |height| pixels (negative height: stored top row
// first) whose pixel x, y (from the top) holds the raw value given: a colour
// table index, or a pixel value as the bit count stores it.
std::string bmp(int width, int height, const kind& k,
                const std::function<uint32_t(int, int)>& raw) {
    int rows = height < 0 ? -height : height;
    size_t stride = (static_cast<size_t>(width) * k.bits + 31) / 32 * 4;
    size_t table = 14 + k.header + (k.header == 40 && k.compression == 3 ? 12 : 0);
    size_t offset = table + 4 * k.palette.size();
    std::string s(offset + stride * rows, '\0');
    s[0] = 'B';
    s[1] = 'M';
    put32(s, 2, static_cast<uint32_t>(s.size()));
    put32(s, 10, static_cast<uint32_t>(offset));
    put32(s, 14, k.header);
    put32(s, 18, static_cast<uint32_t>(width));
    put32(s, 22, static_cast<uint32_t>(height));
    put16(s, 26, 1);
    put16(s, 28, static_cast<uint32_t>(k.bits));
    put32(s, 30, k.compression);
    put32(s, 34, static_cast<uint32_t>(stride * rows));
    if (k.compression == 3)
        for (int i = 0; i < 3; ++i)
            put32(s, 54 + 4 * i, k.masks[i]);
    for (size_t i = 0; i < k.palette.size(); ++i)
        put32(s, table + 4 * i, k.palette[i]);
    for (int y = 0; y < rows; ++y) {
        size_t row = offset + stride * static_cast<size_t>(height < 0 ? y : rows - 1 - y);
        for (int x = 0; x < width; ++x) {
            uint32_t v = raw(x, y);
            if (k.bits < 8) {
                size_t bit = static_cast<size_t>(x) * k.bits;
                s[row + bit / 8] |= static_cast<char>(v << (8 - k.bits - bit % 8));
            } else {
                for (int b = 0; b < k.bits / 8; ++b)
                    s[row + static_cast<size_t>(x) * (k.bits / 8) + b] =
                        static_cast<char>(v >> 8 * b);
            }
        }
    }
    return s;
}

// The 100 by 50 test picture: red from the column, green from the row.
uint32_t shade(int x, int y) {
    return static_cast<uint32_t>(x << 16 | (y * 5) << 8 | 0x80);
}

// The bytes held in a heap block of exactly their size, so that the
// sanitizer catches any read past the end.
struct exact {
    explicit exact(const std::string& s) : data(new unsigned char[s.size() ? s.size() : 1]) {
        std::memcpy(data.get(), s.data(), s.size());
        size = s.size();
    }
    std::unique_ptr<unsigned char[]> data;
    size_t size;
};

// A terminal screen that the drawing text is played on: it knows cursor
// addressing, ESC 7 and ESC 8, SGR true colours and their resets.
struct screen {
    struct cell {
        std::string glyph;
        int64_t fg, bg; // -1: the default colour
    };
    std::map<std::pair<int, int>, cell> cells; // by row, column from 0
    int row = 3, col = 4, saved_row = -1, saved_col = -1;
    int64_t fg = -1, bg = -1;
    bool restored = false;

    // Plays text on a screen whose cursor starts at row 3, column 4.
    explicit screen(const std::string& text) { play(text); }

    void play(const std::string& text) {
        const std::string save = "\x1b"
                                 "7",
                          restore = "\x1b"
                                    "8";
        size_t i = 0;
        while (i < text.size()) {
            if (text[i] != '\x1b') {
                size_t n = (text[i] & 0xe0) == 0xc0 ? 2 : (text[i] & 0xf0) == 0xe0 ? 3 : 1;
                cells[{row, col++}] = {text.substr(i, n), fg, bg};
                i += n;
            } else if (text.compare(i, 2, save) == 0) {
                saved_row = row, saved_col = col, i += 2;
            } else if (text.compare(i, 2, restore) == 0) {
                row = saved_row, col = saved_col, restored = true, i += 2;
            } else if (text.compare(i, 2, "\x1b[") == 0) {
                size_t end = text.find_first_of("Hm", i + 2);
                ASSERT_NE(end, std::string::npos) << "unfinished sequence";
                std::vector<int> p(1, 0);
                for (size_t k = i + 2; k < end; ++k) {
                    if (text[k] == ';') {
                        p.push_back(0);
                    } else {
                        ASSERT_TRUE(text[k] >= '0' && text[k] <= '9') << "parameter " << text[k];
                        p.back() = p.back() * 10 + (text[k] - '0');
                    }
                }
                if (text[end] == 'H') {
                    row = p[0] - 1;
                    col = p.size() > 1 ? p[1] - 1 : 0;
                } else {
                    sgr(p);
                }
                i = end + 1;
            } else {
                FAIL() << "unexpected escape at " << i;
            }
        }
    }

    void sgr(const std::vector<int>& p) {
        for (size_t j = 0; j < p.size(); ++j) {
            if (p[j] == 0) {
                fg = bg = -1;
            } else if (p[j] == 39) {
                fg = -1;
            } else if (p[j] == 49) {
                bg = -1;
            } else if ((p[j] == 38 || p[j] == 48) && j + 4 < p.size() && p[j + 1] == 2) {
                (p[j] == 38 ? fg : bg) = p[j + 2] << 16 | p[j + 3] << 8 | p[j + 4];
                j += 4;
            } else {
                ADD_FAILURE() << "unexpected SGR parameter " << p[j];
            }
        }
    }

    // The colour shown in each half of each written cell, by half-row
    // (two to a text row) and column.
    std::map<std::pair<int, int>, int64_t> halves() const {
        std::map<std::pair<int, int>, int64_t> out;
        for (const auto& [at, c] : cells) {
            bool upper = c.glyph == "\u2580", lower = c.glyph == "\u2584";
            EXPECT_TRUE(upper || lower) << "cell " << at.first << "," << at.second;
            out[{2 * at.first, at.second}] = upper ? c.fg : c.bg;
            out[{2 * at.first + 1, at.second}] = lower ? c.fg : c.bg;
        }
        return out;
    }
};

// What the halves of the screen should show: pixel x, y in half-row half + y,
// column col + x, within the window; the other half of a cell the picture
// only half covers keeps the default colour.
std::map<std::pair<int, int>, int64_t> picture(int width, int height, int half, int col, int cols,
                                               int rows,
                                               const std::function<uint32_t(int, int)>& colour) {
    std::map<std::pair<int, int>, int64_t> out;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (col + x < cols && (half + y) / 2 < rows) {
                out[{half + y, col + x}] = colour(x, y);
                out.try_emplace({(half + y) ^ 1, col + x}, -1);
            }
    return out;
}

// Runs show_bmp(path) in a child process whose standard output is a pseudo-
// terminal of the given size (or a pipe when ws is null); gives its result
// and what it wrote. Whether output is a terminal is decided once per
// process, so the test process itself never draws a readable file.
std::pair<int, std::string> show_in_child(const std::string& path, const winsize* ws) {
    int reader, writer;
    if (ws) {
        winsize size = *ws;
        if (openpty(&reader, &writer, nullptr, nullptr, &size) != 0) return {-100, "openpty"};
        termios modes;
        tcgetattr(writer, &modes);
        cfmakeraw(&modes);
        tcsetattr(writer, TCSANOW, &modes);
    } else {
        int fds[2];
        if (pipe(fds) != 0) return {-100, "pipe"};
        reader = fds[0], writer = fds[1];
    }
    pid_t pid = fork();
    if (pid == 0) {
        setenv("TERM", "xterm-256color", 1);
        dup2(writer, STDOUT_FILENO);
        close(reader);
        _exit(show_bmp(path) + 10);
    }
    close(writer);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(reader, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) out.append(buf, static_cast<size_t>(n));
    close(reader);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) - 10 : -100, out};
}

TEST(Bitmap, FileThatCannotBeOpened) {
    scratch dir;
    EXPECT_EQ(show_bmp((dir / "missing.bmp").string()), bmp_no_file);
    EXPECT_EQ(show_bmp(dir.path().string()), bmp_no_file); // a folder
    EXPECT_EQ(show_bmp(""), bmp_no_file);
}

TEST(Bitmap, DrawsWherePixel50And10FallsUpright) {
    struct geometry {
        winsize ws;
        int col, half; // first column and half-row, counted from 0
        int cols, rows;
    };
    const geometry cases[] = {
        {{60, 200, 1600, 960}, 6, 1, 200, 60}, // 8 by 16 cells: lower half of row 0
        {{60, 200, 0, 0}, 6, 1, 200, 60},      // not reported: 8 by 16
        {{60, 200, 2000, 1200}, 5, 1, 200, 60},
        {{60, 200, 1000, 240}, 10, 5, 200, 60}, // 5 by 4 cells: lower half of row 2
        {{60, 200, 4000, 2400}, 2, 0, 200, 60}, // 20 by 40 cells: starts on a whole row
        {{24, 80, 640, 384}, 6, 1, 80, 24},     // clipped right and below
        {{0, 0, 0, 0}, 6, 1, 80, 24},           // nothing reported: 80 by 24, 8 by 16
        {{20, 7, 0, 0}, 6, 1, 7, 20},           // one column left
        {{20, 6, 0, 0}, 6, 1, 6, 20},           // none left
    };
    for (int height : {50, -50}) {
        std::string file = bmp(100, height, 24, shade);
        exact bytes(file);
        bmp_image image;
        ASSERT_EQ(read_bmp(bytes.data.get(), bytes.size, image), 0);
        for (const auto& g : cases) {
            SCOPED_TRACE(testing::Message()
                         << "height " << height << ", window " << g.ws.ws_col << "x" << g.ws.ws_row
                         << " (" << g.ws.ws_xpixel << "x" << g.ws.ws_ypixel << " pixels)");
            screen s(bmp_text(image, g.ws));
            EXPECT_EQ(s.halves(), picture(100, 50, g.half, g.col, g.cols, g.rows, shade));
            if (g.col < g.cols) {
                auto first = s.cells.begin();
                ASSERT_NE(first, s.cells.end());
                EXPECT_EQ(first->first, std::make_pair(g.half / 2, g.col));
            }
            EXPECT_TRUE(s.restored);
            EXPECT_EQ(std::make_pair(s.row, s.col), std::make_pair(3, 4));
            EXPECT_EQ(std::make_pair(s.fg, s.bg), std::make_pair(int64_t{-1}, int64_t{-1}));
        }
    }
}

TEST(Bitmap, ReadsEachPixelFormat) {
    // Colours every format below stores exactly.
    const std::vector<uint32_t> pure = {0x000000, 0xffffff, 0xff0000, 0x00ff00,
                                        0x0000ff, 0xffff00, 0x00ffff, 0xff00ff};
    auto index = [](int n) { return [n](int x, int y) { return uint32_t((x + 2 * y) % n); }; };
    auto packed = [&](uint32_t r, uint32_t g, uint32_t b) {
        return [=, &pure](int x, int y) {
            uint32_t c = pure[static_cast<size_t>((x + 2 * y) % 8)];
            return (c & 0xff0000 ? r : 0) | (c & 0xff00 ? g : 0) | (c & 0xff ? b : 0);
        };
    };
    struct format {
        const char* name;
        kind k;
        std::function<uint32_t(int, int)> raw;
        int height;
        int colours; // how many of the pure colours the picture uses
    };
    std::vector<uint32_t> two(pure.begin(), pure.begin() + 2);
    const format formats[] = {
        {"24-bit", {24}, packed(0xff0000, 0xff00, 0xff), 5, 8},
        {"24-bit top-down", {24}, packed(0xff0000, 0xff00, 0xff), -5, 8},
        {"32-bit", {32}, packed(0xff0000, 0xff00, 0xff), 5, 8},
        {"32-bit fields",
         {32, 3, 40, {}, {0xff0000, 0xff00, 0xff}},
         packed(0xff0000, 0xff00, 0xff),
         5,
         8},
        {"32-bit fields, 124-byte header, top-down",
         {32, 3, 124, {}, {0xff0000, 0xff00, 0xff}},
         packed(0xff0000, 0xff00, 0xff),
         -5,
         8},
        {"16-bit 5-5-5", {16}, packed(0x7c00, 0x3e0, 0x1f), 5, 8},
        {"16-bit 5-6-5", {16, 3, 40, {}, {0xf800, 0x7e0, 0x1f}}, packed(0xf800, 0x7e0, 0x1f), 5, 8},
        {"16-bit 5-5-5 fields, 108-byte header",
         {16, 3, 108, {}, {0x7c00, 0x3e0, 0x1f}},
         packed(0x7c00, 0x3e0, 0x1f),
         5,
         8},
        {"8-bit", {8, 0, 40, pure}, index(8), 5, 8},
        {"4-bit", {4, 0, 40, pure}, index(8), 5, 8},
        {"1-bit", {1, 0, 40, two}, index(2), -5, 2},
    };
    for (const auto& f : formats) {
        SCOPED_TRACE(f.name);
        kind k = f.k;
        // A short table is declared by its count; a full one needs none.
        std::string file = bmp(7, f.height, k, f.raw);
        if (k.bits <= 8 && k.palette.size() < (1u << k.bits))
            put32(file, 46, static_cast<uint32_t>(k.palette.size()));
        exact bytes(file);
        bmp_image image;
        ASSERT_EQ(read_bmp(bytes.data.get(), bytes.size, image), 0);
        EXPECT_EQ(image.top_down, f.height < 0);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x)
                EXPECT_EQ(bmp_pixel(image, x, y),
                          pure[static_cast<size_t>((x + 2 * y) % f.colours)])
                    << x << "," << y;
    }

    // An index past a short colour table shows black.
    kind k{8, 0, 40, {0xffffff, 0x00ff00}};
    std::string file = bmp(2, 1, k, [](int x, int) { return uint32_t(x ? 5 : 1); });
    put32(file, 46, 2);
    exact bytes(file);
    bmp_image image;
    ASSERT_EQ(read_bmp(bytes.data.get(), bytes.size, image), 0);
    EXPECT_EQ(bmp_pixel(image, 0, 0), 0x00ff00u);
    EXPECT_EQ(bmp_pixel(image, 1, 0), 0u);
}

TEST(Bitmap, RefusesWhatItCannotDraw) {
    // A 4 by 3 24-bit file (12-byte rows), then one change each.
    const std::string good = bmp(4, 3, 24, shade);
    const std::string eight =
        bmp(4, 3, {8, 0, 40, std::vector<uint32_t>(256)}, [](int, int) { return 1u; });
    const std::string wide =
        bmp(4, 3, {8, 0, 40, std::vector<uint32_t>(257)}, [](int, int) { return 1u; });
    const kind mono(1, 0, 40, {0, 0xffffff});
    auto zero = [](int, int) { return 0u; };
    const std::string fields = bmp(4, 3, {32, 3, 40, {}, {0xff0000, 0xff00, 0xff}}, shade);
    const std::string v5 = bmp(4, 3, {24, 0, 124}, shade);
    auto set32 = [](std::string s, size_t at, uint32_t v) {
        put32(s, at, v);
        return s;
    };
    auto set16 = [](std::string s, size_t at, uint32_t v) {
        put16(s, at, v);
        return s;
    };
    struct malformed {
        const char* name;
        std::string bytes;
    };
    const malformed cases[] = {
        {"empty", ""},
        {"shorter than the file header", good.substr(0, 13)},
        {"file header only", good.substr(0, 14)},
        {"information header half there", good.substr(0, 30)},
        {"information header cut", good.substr(0, 53)},
        {"not BM", "XY" + good.substr(2)},
        {"12-byte header", set32(good, 14, 12)},
        {"64-byte header", set32(good, 14, 64)},
        {"header size absurd", set32(good, 14, 0xffffffff)},
        {"124-byte header past the end", set32(good, 14, 124)},
        {"width zero", set32(good, 18, 0)},
        {"width negative", set32(good, 18, static_cast<uint32_t>(-4))},
        {"width absurd", set32(good, 18, 0x7fffffff)},
        {"width one past the limit", bmp(32769, 1, mono, zero)},
        {"height zero", set32(good, 22, 0)},
        {"height most negative", set32(good, 22, static_cast<uint32_t>(INT_MIN))},
        {"height absurd", set32(good, 22, 0x7fffffff)},
        {"height absurd top-down", set32(good, 22, static_cast<uint32_t>(-32769))},
        {"height one past the limit, top-down", bmp(1, -32769, mono, zero)},
        {"planes zero", set16(good, 26, 0)},
        {"bit count zero", set16(good, 28, 0)},
        {"bit count 2", set16(good, 28, 2)},
        {"bit count 15", set16(good, 28, 15)},
        {"bit count 48", set16(good, 28, 48)},
        {"run-length", set32(eight, 30, 1)},
        {"bit fields at 24 bits", set32(good, 30, 3)},
        {"bit fields, odd masks", set32(fields, 54, 0xff000000)},
        {"bit fields, masks cut", fields.substr(0, 60)},
        {"JPEG inside", set32(good, 30, 4)},
        {"PNG inside", set32(good, 30, 5)},
        {"last row a byte short", good.substr(0, good.size() - 1)},
        {"more rows than the file holds", set32(good, 22, 4)},
        {"more rows than the file holds, top-down", set32(good, 22, static_cast<uint32_t>(-4))},
        {"rows wider than stored", set32(good, 18, 5)},
        {"more bits than stored", set16(good, 28, 32)},
        {"pixel offset past the end", set32(good, 10, static_cast<uint32_t>(good.size() + 1))},
        {"pixel offset absurd", set32(good, 10, 0xffffffff)},
        {"pixel offset inside the header", set32(good, 10, 20)},
        {"colour table larger than the bit count allows", set32(wide, 46, 257)},
        {"colour table over the pixels", set32(eight, 10, 54 + 4 * 255)},
        {"colour count on 24 bits with no table", set32(good, 46, 4)},
        {"embedded profile past the end",
         set32(set32(set32(v5, 14 + 56, 0x4d424544), 14 + 112, 200), 14 + 116, 16)},
        {"linked profile absurd",
         set32(set32(set32(v5, 14 + 56, 0x4c494e4b), 14 + 112, 0xfffffff0), 14 + 116, 0x100)},
    };
    scratch dir;
    // Pictures as large as it takes, in both directions.
    const std::string widest = bmp(32768, 1, mono, zero), tallest = bmp(1, -32768, mono, zero);
    for (const std::string* base : {&good, &eight, &wide, &fields, &v5, &widest, &tallest}) {
        exact bytes(*base);
        bmp_image image;
        EXPECT_EQ(read_bmp(bytes.data.get(), bytes.size, image), 0) << "the unchanged file";
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        exact bytes(c.bytes);
        bmp_image image;
        EXPECT_EQ(read_bmp(bytes.data.get(), bytes.size, image), bmp_bad_file);
        write_file(dir / "bad.bmp", c.bytes);
        EXPECT_EQ(show_bmp((dir / "bad.bmp").string()), bmp_bad_file);
    }
}

TEST(Bitmap, ShowsInTheTerminalOnly) {
    scratch dir;
    write_file(dir / "picture.bmp", bmp(100, 50, 24, shade));
    winsize ws = {30, 120, 1200, 600}; // 10 by 20 cells
    auto [got, text] = show_in_child((dir / "picture.bmp").string(), &ws);
    EXPECT_EQ(got, 0);
    screen s(text);
    EXPECT_EQ(s.halves(), picture(100, 50, 1, 5, 120, 30, shade));
    EXPECT_TRUE(s.restored);

    auto [piped, nothing] = show_in_child((dir / "picture.bmp").string(), nullptr);
    EXPECT_EQ(piped, 0);
    EXPECT_EQ(nothing, "");

    auto [missing, none] = show_in_child((dir / "other.bmp").string(), &ws);
    EXPECT_EQ(missing, bmp_no_file);
    EXPECT_EQ(none, "");
}

} // namespace
