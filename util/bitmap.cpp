#include "bitmap.h"

#include <bit>
#include <cstdio>
#include <new>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

// The 14-byte file header before the information header.
constexpr std::size_t file_header = 14;

// No side longer than this is taken for a real picture.
constexpr std::int32_t max_side = 32768;

// Colour space types of a 124-byte header that point at profile data in the file.
constexpr std::uint32_t profile_linked = 0x4c494e4b, profile_embedded = 0x4d424544;

std::uint32_t u32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t u16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// The masks GDI draws for 16- and 32-bit pixels.
bool standard(const std::uint32_t* m, int bits) {
    auto is = [m](std::uint32_t r, std::uint32_t g, std::uint32_t b) {
        return m[0] == r && m[1] == g && m[2] == b;
    };
    if (bits == 16) return is(0xf800, 0x07e0, 0x001f) || is(0x7c00, 0x03e0, 0x001f);
    return is(0xff0000, 0x00ff00, 0x0000ff);
}

// One colour channel of a pixel value, scaled to 0..255.
std::uint32_t channel(std::uint32_t value, std::uint32_t mask) {
    if (!mask) return 0;
    int shift = std::countr_zero(mask);
    return ((value & mask) >> shift) * 255 / (mask >> shift);
}

} // namespace

int load_bmp(std::string path, bmp_file& file) {
    auto& f = file.handle;
    f.reset(std::fopen(path.c_str(), "rb"));
    if (!f) return bmp_no_file;
#ifndef _WIN32
    // A folder opens for reading here, but holds no bytes to read.
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return bmp_no_file;
#endif
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return bmp_no_file;
    long end = std::ftell(f.get());
    if (end < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) return bmp_no_file;
    auto size = static_cast<std::size_t>(end);
    file.data.reset(new (std::nothrow) unsigned char[size ? size : 1]);
    if (!file.data) return bmp_no_memory;
    // A file that shrank meanwhile gives fewer bytes; only those count.
    file.size = std::fread(file.data.get(), 1, size, f.get());
    return 0;
}

int read_bmp(const unsigned char* data, std::size_t size, bmp_image& image) {
    if (size < file_header + 4 || data[0] != 'B' || data[1] != 'M') return bmp_bad_file;
    const unsigned char* info = data + file_header;
    std::uint32_t header = u32(info);
    if (header != 40 && header != 108 && header != 124) return bmp_bad_file;
    if (size - file_header < header) return bmp_bad_file;

    auto width = static_cast<std::int32_t>(u32(info + 4));
    auto height = static_cast<std::int32_t>(u32(info + 8));
    if (width <= 0 || width > max_side || height == 0 || height > max_side || height < -max_side)
        return bmp_bad_file;
    int bits = u16(info + 14);
    std::uint32_t compression = u32(info + 16), used = u32(info + 32);
    if (u16(info + 12) != 1) return bmp_bad_file;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return bmp_bad_file;

    // Where the colour table starts: after the header, and after the three
    // masks that follow a 40-byte header for bit fields.
    std::uint64_t table = file_header + header;
    std::uint32_t masks[3] = {0xff0000, 0x00ff00, 0x0000ff};
    if (bits == 16) masks[0] = 0x7c00, masks[1] = 0x03e0, masks[2] = 0x001f;
    if (compression == 3 && (bits == 16 || bits == 32)) {
        if (header == 40) table += 12;
        if (table > size) return bmp_bad_file;
        for (int i = 0; i < 3; ++i)
            masks[i] = u32(info + 40 + 4 * i);
        if (!standard(masks, bits)) return bmp_bad_file;
    } else if (compression != 0) {
        return bmp_bad_file;
    }

    std::uint64_t colours = used;
    if (bits <= 8) {
        if (used > 1u << bits) return bmp_bad_file;
        if (!used) colours = 1u << bits;
    }
    std::uint64_t offset = u32(data + 10);
    if (offset < table + 4 * colours || offset > size) return bmp_bad_file;

    if (header == 124) {
        std::uint32_t space = u32(info + 56);
        std::uint64_t at = file_header + u32(info + 112), length = u32(info + 116);
        if ((space == profile_linked || space == profile_embedded) && at + length > size)
            return bmp_bad_file;
    }

    std::uint64_t stride = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
    std::uint64_t rows = height < 0 ? -static_cast<std::int64_t>(height) : height;
    if (stride * rows > size - offset) return bmp_bad_file;

    image.info = info;
    image.bits = data + offset;
    image.width = width;
    image.height = static_cast<int>(rows);
    image.top_down = height < 0;
    image.bit_count = bits;
    image.stride = static_cast<std::size_t>(stride);
    image.palette = data + table;
    image.colours = bits <= 8 ? static_cast<int>(colours) : 0;
    for (int i = 0; i < 3; ++i)
        image.masks[i] = masks[i];
    return 0;
}

std::uint32_t bmp_pixel(const bmp_image& image, int x, int y) {
    if (x < 0 || y < 0 || x >= image.width || y >= image.height) return 0;
    std::size_t row = static_cast<std::size_t>(image.top_down ? y : image.height - 1 - y);
    const unsigned char* p = image.bits + row * image.stride;
    auto col = static_cast<std::size_t>(x);
    switch (image.bit_count) {
    case 24:
        p += 3 * col;
        return static_cast<std::uint32_t>(p[2] << 16 | p[1] << 8 | p[0]);
    case 16:
    case 32: {
        std::uint32_t value = image.bit_count == 16 ? u16(p + 2 * col) : u32(p + 4 * col);
        return channel(value, image.masks[0]) << 16 | channel(value, image.masks[1]) << 8 |
               channel(value, image.masks[2]);
    }
    default: {
        // 1, 4 or 8 bits: an index into the colour table, leftmost pixel in the high bits.
        std::size_t bit = col * static_cast<std::size_t>(image.bit_count);
        int shift = 8 - image.bit_count - static_cast<int>(bit % 8);
        int index = p[bit / 8] >> shift & ((1 << image.bit_count) - 1);
        if (index >= image.colours) return 0;
        const unsigned char* e = image.palette + 4 * index;
        return static_cast<std::uint32_t>(e[2] << 16 | e[1] << 8 | e[0]);
    }
    }
}
