#include "files.h"

#include "shell.h"

std::string char_string(const char* text) {
    std::string out;
    if (text)
        for (; *text; ++text)
            out += *text;
    return out;
}

void make_folder(std::string name) {
    shell("md " + name);
}

void del_folder(std::string name) {
    shell("rmdir /s /q " + name);
}
