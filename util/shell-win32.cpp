#include "shell.h"

#include <cstdlib>

int shell(std::string line) {
    return std::system(line.c_str());
}
