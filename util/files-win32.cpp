#include "files.h"

#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

std::string get_cd() {
    char buf[20005] = {};
    if (!_getcwd(buf, sizeof buf)) return {};
    return char_string(buf);
}

void cd(std::string path) {
    SetCurrentDirectoryA(path.c_str());
}

bool file_check(std::string path) {
    return _access(path.c_str(), 0) == 0;
}

std::int64_t file_size(const char* path) {
    struct _stat64 st;
    if (!path || _stat64(path, &st) != 0) return 0;
    return st.st_size;
}

void get_file_names(std::string dir, std::vector<std::string>& names, std::string pattern) {
    struct _finddata64i32_t found;
    intptr_t search = _findfirst64i32((dir + "\\*" + pattern).c_str(), &found);
    if (search == -1) return;
    do {
        names.push_back(dir + "\\" + found.name);
    } while (_findnext64i32(search, &found) == 0);
    _findclose(search);
}
