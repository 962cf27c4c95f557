// Reads arbitrary bytes as a bitmap file. Bytes that pass the checks have
// every pixel read and are laid out for a terminal whose size comes from the
// file header's reserved fields, which the reader ignores.
#include "util/bitmap.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bmp_image image;
    if (read_bmp(data, size, image) != 0) return 0;
    std::uint32_t sum = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            sum += bmp_pixel(image, x, y);
    struct winsize ws = {};
    ws.ws_col = data[6];
    ws.ws_row = data[7];
    ws.ws_xpixel = static_cast<unsigned short>(data[8] | data[9] << 8);
    ws.ws_ypixel = static_cast<unsigned short>(data[2] | data[3] << 8);
    volatile std::size_t sink = bmp_text(image, ws).size() + sum;
    (void)sink;
    return 0;
}
