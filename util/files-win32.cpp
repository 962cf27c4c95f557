#include "files.h"

#include "console.h"

#include <cstdio>
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

bool enter(std::string path) {
    return SetCurrentDirectoryA(path.c_str()) != FALSE;
}

bool file_check(std::string path) {
    return _access(path.c_str(), 0) == 0;
}

bool folder_check(std::string path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool read_line(std::string path, std::string& line) {
    std::FILE* in = std::fopen(path.c_str(), "r");
    if (!in) return false;
    line = cin_line(in);
    std::fclose(in);
    return true;
}

int hold_folder(std::string path) {
    // The handle asks to add files to the folder and lets nobody else ask for
    // that while it is open: a second such open fails with a sharing
    // violation, while entering, listing, reading and writing inside the
    // folder, which never ask for that access on the folder itself, still
    // work. Not inheritable, and never closed: it lasts as long as the process.
    HANDLE folder = CreateFileA(path.c_str(), FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION ? 0 : -1;
    // The flag opens files as well as folders; a file is not a folder to hold.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(folder, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 1;
    CloseHandle(folder);
    return -1;
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

bool replace_file(std::string path, const std::string& data) {
    size_t cut = path.find_last_of("\\/:");
    std::string folder = cut == std::string::npos ? "." : path.substr(0, cut + 1);
    char temp[MAX_PATH];
    // A new file of a unique name in the same folder, so that the rename
    // stays on one volume.
    if (GetTempFileNameA(folder.c_str(), "vel", 0, temp) == 0) return false;
    bool written = false;
    if (std::FILE* out = std::fopen(temp, "wb")) {
        written = std::fwrite(data.data(), 1, data.size(), out) == data.size() &&
                  std::fflush(out) == 0 && _commit(_fileno(out)) == 0;
        written = std::fclose(out) == 0 && written;
    }
    // A read-only file cannot be replaced: it loses the attribute for the
    // move and gets it back, or keeps it, after.
    DWORD attributes = GetFileAttributesA(path.c_str());
    bool locked = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (written && locked) SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    bool moved = written && MoveFileExA(temp, path.c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (written && locked) {
        DWORD now = GetFileAttributesA(path.c_str());
        if (moved && now != INVALID_FILE_ATTRIBUTES)
            attributes = (now & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
        SetFileAttributesA(path.c_str(), attributes);
    }
    if (moved) return true;
    DeleteFileA(temp);
    return false;
}

bool move_name(std::string from, std::string to) {
    // Without MOVEFILE_REPLACE_EXISTING, a name that is taken fails the move.
    return MoveFileExA(from.c_str(), to.c_str(), 0) != FALSE;
}

kind file_kind(std::string path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return kind::none;
    // A link's own attributes are not what it leads to: open it to see that.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        HANDLE target =
            CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (target == INVALID_HANDLE_VALUE) return kind::broken;
        BY_HANDLE_FILE_INFORMATION info;
        bool known = GetFileInformationByHandle(target, &info);
        CloseHandle(target);
        if (!known) return kind::broken;
        attributes = info.dwFileAttributes;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return kind::folder;
    return attributes & FILE_ATTRIBUTE_DEVICE ? kind::other : kind::file;
}
