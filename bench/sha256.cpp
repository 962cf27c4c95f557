// Prints the SHA-256 of a file as sha256sum does, through the routine the
// launcher checks the archive with, for bench/hash.py to time.

#include "util/hash.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vellomar-sha256 FILE\n");
        return 2;
    }
    std::string digest = sha256_file(argv[1]);
    if (digest.empty()) {
        std::fprintf(stderr, "vellomar-sha256: cannot read %s\n", argv[1]);
        return 1;
    }
    std::printf("%s  %s\n", digest.c_str(), argv[1]);
    return 0;
}
