#include "files.h"

#include "shell.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include "posix/base.h"
#endif

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

void remove_name(std::string name) {
    kind what = file_kind(name);
    if (what == kind::none) return;
    bool folder = what == kind::folder;
#ifdef _WIN32
    // A link to a folder is one itself, even one that leads nowhere: rmdir
    // takes it, and del would reach into what it leads to.
    DWORD attributes = GetFileAttributesA(name.c_str());
    folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#endif
    // rmdir /s takes a link to a folder away, never what is in it.
    shell(folder ? "rmdir /s /q " + name : "del /f /q " + name);
}

std::string read_part(std::string path, std::int64_t at, std::int64_t length) {
#ifndef _WIN32
    path = native(path);
#endif
    // A folder opens too, on Linux, and tells a size of no meaning.
    if (file_kind(path) != kind::file) return {};
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return {};
#ifdef _WIN32
    auto seek = [in](std::int64_t offset, int whence) { return _fseeki64(in, offset, whence); };
    std::int64_t size = seek(0, SEEK_END) == 0 ? _ftelli64(in) : -1;
#else
    auto seek = [in](std::int64_t offset, int whence) { return fseeko(in, offset, whence); };
    std::int64_t size = seek(0, SEEK_END) == 0 ? ftello(in) : -1;
#endif
    std::string text;
    if (size >= 0) {
        if (at < 0) at = std::max<std::int64_t>(0, size + at);
        at = std::min(at, size);
        if (length < 0 || length > size - at) length = size - at;
        text.resize(static_cast<size_t>(length));
        if (seek(at, SEEK_SET) != 0) length = 0;
        text.resize(length > 0 ? std::fread(text.data(), 1, text.size(), in) : 0);
    }
    std::fclose(in);
    return text;
}
