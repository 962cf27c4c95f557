#include "bitmap.h"

#include <windows.h>

int show_bmp(std::string path) {
    bmp_file file;
    if (int got = load_bmp(path, file)) return got;
    bmp_image image;
    if (int got = read_bmp(file.data.get(), file.size, image)) return got;

    char title[255] = {};
    GetConsoleTitleA(title, sizeof title);
    HWND window = FindWindowA(nullptr, title);
    HDC dc = GetDC(window);
    if (dc) {
        // GDI turns a top-down picture itself from the header's negative height.
        SetDIBitsToDevice(dc, 50, 10, static_cast<DWORD>(image.width),
                          static_cast<DWORD>(image.height), 0, 0, 0,
                          static_cast<UINT>(image.height), image.bits,
                          reinterpret_cast<const BITMAPINFO*>(image.info), DIB_RGB_COLORS);
        ReleaseDC(window, dc);
    }
    return bmp_drawn;
}
