// A stand-in for robocopy.exe in the Windows build's tests under Wine, whose
// own robocopy is a stub that fails. It carries out "robocopy SOURCE DEST"
// with the options the launcher gives (/E /S /XC /XN /XO /R:n /W:n and the
// quiet ones /NJH /NJS /NDL /NFL /NP, which leave it printing only errors)
// as robocopy does: the folders and files of SOURCE are copied into DEST; a
// file DEST has already is left alone when it is the same (size and time),
// and otherwise replaced unless it is changed (same time, another size: /XC),
// or SOURCE's is newer (/XN) or older (/XO); a file where DEST has a folder,
// or the other way round, is a mismatch and left alone. /E makes empty
// folders too, /S only those with files; without either only SOURCE's own
// files are copied. The status is robocopy's: 1 when
// files were copied, +2 when DEST has extra files, +4 for mismatches, +8 when
// a copy failed; 16 for a bad parameter or a source that cannot be read.

#include "site.h"

#include <cstdint>
#include <vector>

namespace {

struct job {
    bool subfolders = false, empty_folders = false, changed = true, newer = true, older = true;
    int status = 0;
};

struct item {
    std::wstring name;
    WIN32_FIND_DATAW data;
    bool folder() const { return data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY; }
};

std::vector<item> list(const std::wstring& folder) {
    std::vector<item> found;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") found.push_back({name, data});
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return found;
}

bool holds_files(const std::wstring& folder) {
    for (const auto& entry : list(folder))
        if (!entry.folder() || holds_files(folder + L"\\" + entry.name)) return true;
    return false;
}

std::int64_t size_of(const WIN32_FIND_DATAW& d) {
    return (static_cast<std::int64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

void copy(job& j, const std::wstring& from, const std::wstring& to) {
    std::vector<item> there = list(to);
    auto find = [&](const std::wstring& name) -> const item* {
        for (const auto& entry : there)
            if (_wcsicmp(entry.name.c_str(), name.c_str()) == 0) return &entry;
        return nullptr;
    };
    std::vector<item> here = list(from);
    for (const auto& entry : there) {
        bool extra = true;
        for (const auto& source : here)
            extra = extra && _wcsicmp(entry.name.c_str(), source.name.c_str()) != 0;
        if (extra) j.status |= 2;
    }
    for (const auto& source : here) {
        std::wstring src = from + L"\\" + source.name, dst = to + L"\\" + source.name;
        const item* target = find(source.name);
        if (target && target->folder() != source.folder()) {
            j.status |= 4;
            continue;
        }
        if (source.folder()) {
            if (!j.subfolders) continue;
            if (!target && !j.empty_folders && !holds_files(src)) continue;
            if (!target && !CreateDirectoryW(dst.c_str(), nullptr)) {
                tell("ERROR : cannot make the folder " + utf8(dst));
                j.status |= 8;
                continue;
            }
            copy(j, src, dst);
            continue;
        }
        if (target) {
            LONG order =
                CompareFileTime(&source.data.ftLastWriteTime, &target->data.ftLastWriteTime);
            bool same_size = size_of(source.data) == size_of(target->data);
            if (order == 0 && same_size) continue;
            if (order == 0 && !j.changed) continue;
            if (order > 0 && !j.newer) continue;
            if (order < 0 && !j.older) continue;
        }
        if (CopyFileW(src.c_str(), dst.c_str(), FALSE))
            j.status |= 1;
        else
            j.status |= 8, tell("ERROR : cannot copy " + utf8(src));
    }
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> paths;
    job j;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg.empty() || arg[0] != L'/') {
            paths.push_back(arg);
            continue;
        }
        std::wstring option = arg;
        for (auto& c : option)
            c = static_cast<wchar_t>(towupper(c));
        if (option == L"/E")
            j.subfolders = j.empty_folders = true;
        else if (option == L"/S")
            j.subfolders = true;
        else if (option == L"/XC")
            j.changed = false;
        else if (option == L"/XN")
            j.newer = false;
        else if (option == L"/XO")
            j.older = false;
        else if (option != L"/NJH" && option != L"/NJS" && option != L"/NDL" && option != L"/NFL" &&
                 option != L"/NP" && option.rfind(L"/R:", 0) != 0 && option.rfind(L"/W:", 0) != 0) {
            tell("ERROR : Invalid Parameter #" + std::to_string(i) + " : \"" + utf8(arg) + "\"");
            return 16;
        }
    }
    if (paths.size() != 2) {
        tell("ERROR : Invalid Parameter #" + std::to_string(argc > 1 ? argc - 1 : 1) + " : \"" +
             (paths.size() > 2 ? utf8(paths[2]) : std::string()) + "\"");
        return 16;
    }
    DWORD source = GetFileAttributesW(paths[0].c_str());
    if (source == INVALID_FILE_ATTRIBUTES || !(source & FILE_ATTRIBUTE_DIRECTORY)) {
        tell("ERROR 2 (0x00000002) Accessing Source Directory " + utf8(paths[0]) +
             "\\\nThe system cannot find the file specified.");
        return 16;
    }
    if (GetFileAttributesW(paths[1].c_str()) == INVALID_FILE_ATTRIBUTES &&
        !CreateDirectoryW(paths[1].c_str(), nullptr)) {
        tell("ERROR : cannot make the folder " + utf8(paths[1]));
        return 16;
    }
    copy(j, paths[0], paths[1]);
    return j.status;
}
