#include "base.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

bool blank(char c) {
    return c == ' ' || c == '\t';
}

std::string native(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

void say(std::string_view text) {
    std::string line(text);
    line += '\n';
    write_all(STDERR_FILENO, line);
}
