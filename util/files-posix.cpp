#include "files.h"

#include "console.h"
#include "posix/base.h"
#include "posix/beside.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/file.h>
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

bool enter(std::string path) {
    return chdir(native(path).c_str()) == 0;
}

bool file_check(std::string path) {
    return access(native(path).c_str(), F_OK) == 0;
}

bool folder_check(std::string path) {
    struct stat st;
    return stat(native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool read_line(std::string path, std::string& line) {
    std::FILE* in = std::fopen(native(path).c_str(), "r");
    if (!in) return false;
    line = cin_line(in);
    std::fclose(in);
    return true;
}

int hold_folder(std::string path) {
    // The descriptor stays open, and so the lock held, until the process
    // ends. Close-on-exec: a program started later, which may outlive the
    // launcher, must not keep the folder locked.
    int fd = open(native(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int locked;
    do
        locked = flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked == 0) return 1;
    bool taken = errno == EWOULDBLOCK;
    close(fd);
    return taken ? 0 : -1;
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

bool replace_file(std::string path, const std::string& data) {
    std::string name = native(path);
    struct stat st;
    bool had = stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    beside made(name, "new");
    // The file keeps its mode, read-only included: the descriptor, open for
    // writing already, still writes.
    return made.made() && write_all(made.fd(), data) == 0 &&
           (!had || fchmod(made.fd(), st.st_mode & 07777) == 0) && made.commit() == 0;
}

bool move_name(std::string from, std::string to) {
    return rename_new(native(from), native(to)) == 0;
}

kind file_kind(std::string path) {
    struct stat st;
    std::string name = native(path);
    if (stat(name.c_str(), &st) == 0)
        return S_ISREG(st.st_mode) ? kind::file : S_ISDIR(st.st_mode) ? kind::folder : kind::other;
    return lstat(name.c_str(), &st) == 0 ? kind::broken : kind::none;
}
