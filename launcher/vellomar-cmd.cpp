// Runs one command line through the Linux stand-in for cmd, exactly as the
// launcher would: vellomar-cmd 'md a\b'. Exits with the command's status.

#include "util/shell.h"

#include <string>

int main(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return shell(line) & 0xff;
}
