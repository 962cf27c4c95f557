#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#ifndef _WIN32
#include <sys/ioctl.h>
#endif

// What show_bmp returns.
enum : int { bmp_drawn = 0, bmp_no_file = -1, bmp_no_memory = -2, bmp_bad_file = -3 };

// Draws the bitmap file at path into the console window, its top-left corner
// at pixel 50, 10 of the client area. Returns 0 when drawn, -1 when the file
// cannot be opened, -2 when there is no memory for it, -3 when it is not a
// bitmap it can draw (malformed, or a kind below it does not read).
// Readable: BM files with a 40-, 108- or 124-byte information header, 1, 4, 8,
// 16, 24 or 32 bits per pixel, uncompressed, or for 16 and 32 bits with the
// standard colour masks (5-6-5, 5-5-5, 8-8-8); bottom-up or top-down.
// Windows draws with GDI into the window bearing the console's title. Linux
// draws in the terminal, where that pixel falls, with half-block characters in
// true colour, two pixel rows to a text row, clipped to the window; the
// cursor and the colours are left as they were (saved with ESC 7 and put
// back with ESC 8, which takes that save slot). Nothing is written when
// standard output is not a terminal; a readable file still gives 0.
int show_bmp(std::string path);

// Closes a file held by bmp_file.
struct bmp_closer {
    // Closes f.
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// A whole file read into memory; the buffer is freed, then the file closed,
// when it goes.
struct bmp_file {
    // The open file.
    std::unique_ptr<std::FILE, bmp_closer> handle;
    // The file's bytes.
    std::unique_ptr<unsigned char[]> data;
    // How many bytes data holds.
    std::size_t size = 0;
};

// A checked picture: every byte it points at lies within the buffer it was
// read from, and the pixel rows it promises are all there.
struct bmp_image {
    // The information header, with the colour masks and table after it: the
    // bitmap description GDI takes.
    const unsigned char* info = nullptr;
    // The first pixel row as stored (the bottom row unless top_down).
    const unsigned char* bits = nullptr;
    // Size in pixels, both positive.
    int width = 0, height = 0;
    // True when the rows are stored top row first (a negative height).
    bool top_down = false;
    // Bits per pixel: 1, 4, 8, 16, 24 or 32.
    int bit_count = 0;
    // Bytes from one stored row to the next.
    std::size_t stride = 0;
    // The colour table: blue, green, red and an unused byte per entry.
    const unsigned char* palette = nullptr;
    // Entries in the colour table (0 above 8 bits per pixel).
    int colours = 0;
    // Red, green and blue masks of a 16- or 32-bit pixel.
    std::uint32_t masks[3] = {};
};

// Reads the whole file at path. Returns 0, -1 when it cannot be opened or
// read (or is not a regular file), -2 when no memory can be had for it.
int load_bmp(std::string path, bmp_file& file);

// Checks the bitmap file held in data[0, size) and describes its picture.
// Returns 0, or -3 when it is not a bitmap this reader can draw.
int read_bmp(const unsigned char* data, std::size_t size, bmp_image& image);

// Colour of the pixel in column x, row y counted from the top-left corner of
// the picture, as 0xRRGGBB. An index past the colour table gives black.
std::uint32_t bmp_pixel(const bmp_image& image, int x, int y);

#ifndef _WIN32
// The text that draws the picture in a terminal of the given size: cursor
// saved, cells placed from pixel 50, 10 (cells of ws_xpixel / ws_col by
// ws_ypixel / ws_row pixels, 8 by 16 when not reported; an 80 by 24 window
// when its size is not reported), then colours reset and cursor restored.
std::string bmp_text(const bmp_image& image, const struct winsize& ws);
#endif
