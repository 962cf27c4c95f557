#include "files.h"

#include "posix/base.h"

#include <dirent.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Windows' wildcards, * and ?, matched without regard to ASCII case as Windows
// matches names.
bool matches(const char* name, const char* pattern) {
    const char *star = nullptr, *resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || (*pattern && fold(*pattern) == fold(*name))) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == 0;
}

} // namespace

std::string get_cd() {
    std::error_code ec;
    return std::filesystem::current_path(ec).string();
}

void cd(std::string path) {
    // A change that fails leaves the current directory in force.
    int failed = chdir(native(path).c_str());
    (void)failed;
}

bool file_check(std::string path) {
    return access(native(path).c_str(), F_OK) == 0;
}

std::int64_t file_size(const char* path) {
    struct stat st;
    if (!path || stat(native(path).c_str(), &st) != 0) return 0;
    return static_cast<std::int64_t>(st.st_size);
}

void get_file_names(std::string dir, std::vector<std::string>& names, std::string pattern) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(native(dir).c_str()), closedir);
    if (!d) return;
    std::string wild = "*" + pattern;
    while (const dirent* entry = readdir(d.get()))
        if (matches(entry->d_name, wild.c_str())) names.push_back(dir + "\\" + entry->d_name);
}
