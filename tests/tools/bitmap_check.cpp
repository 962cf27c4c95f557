// Checks show_bmp's results in the Windows build, run under Wine: each pair
// of arguments is a file and the result expected for it. Prints each result;
// exits 1 when one differs.
#include "util/bitmap.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        int got = show_bmp(argv[i]), want = std::atoi(argv[i + 1]);
        std::printf("%s: %d (expected %d)\n", argv[i], got, want);
        if (got != want) status = 1;
    }
    return argc > 1 && argc % 2 == 1 ? status : 2;
}
