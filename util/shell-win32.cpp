#include "shell.h"

#include "console.h"

#include <cstdio>
#include <cstdlib>
#include <io.h>

namespace {

// The length of text's longest prefix that ends between two GBK characters:
// a lead byte whose second byte has not come yet is held back, since the
// console would show half a character.
size_t whole(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t n = c >= 0x81 && c <= 0xfe ? 2 : 1;
        if (i + n > text.size()) break;
        i += n;
    }
    return i;
}

} // namespace

int shell(std::string line) {
    return std::system(line.c_str());
}

// _popen runs the line through cmd as system() does. Java writes its version
// to standard error, which the pipe carries only when redirected onto it.
int shell_output(std::string line, std::string& output) {
    output.clear();
    std::FILE* pipe = _popen((line + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    // Raw reads give what has arrived, where fread would wait for a full buffer.
    char buf[4096];
    std::string shown;
    int n;
    while ((n = _read(_fileno(pipe), buf, sizeof buf)) > 0) {
        output.append(buf, static_cast<size_t>(n));
        shown.append(buf, static_cast<size_t>(n));
        size_t done = whole(shown);
        print(shown.substr(0, done));
        shown.erase(0, done);
    }
    print(shown);
    return _pclose(pipe);
}
