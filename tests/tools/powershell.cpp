// A stand-in for PowerShell in the Windows build's tests under Wine. It
// appends the command line it was given, byte for byte, to the file that
// VELLOMAR_PS_LOG names, and performs the effect the launcher relies on:
//   curl  -o FILE URL           copies VELLOMAR_PS_ARCHIVE to FILE
//   Expand-Archive … '…' …      copies what VELLOMAR_PS_PAYLOAD holds into
//                               the destination, made when missing
//   Compress-Archive '…' '…'    writes a file at the destination, between the
//                               last two quotes (names may hold blanks)
// Anything else fails with status 1.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <windows.h>

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string unquote(std::string word) {
    if (word.size() >= 2 && word.front() == '\'' && word.back() == '\'')
        return word.substr(1, word.size() - 2);
    return word;
}

// Copies what the folder from holds into dest, folders and all, dest made
// when missing, as Expand-Archive makes its destination.
bool copy_payload(const std::string& from, const std::string& dest) {
    CreateDirectoryA(dest.c_str(), nullptr);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((from + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = copy_payload(from + "\\" + name, dest + "\\" + name) && ok;
        else
            ok = CopyFileA((from + "\\" + name).c_str(), (dest + "\\" + name).c_str(), FALSE) && ok;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return ok;
}

// The name between the last two single quotes of line.
std::string last_quoted(const std::string& line) {
    size_t end = line.rfind('\'');
    size_t begin =
        end == std::string::npos || end == 0 ? std::string::npos : line.rfind('\'', end - 1);
    return begin == std::string::npos ? "" : line.substr(begin + 1, end - begin - 1);
}

} // namespace

int main(int argc, char** argv) {
    const char* line = GetCommandLineA();
    if (FILE* log = std::fopen(env("VELLOMAR_PS_LOG").c_str(), "ab")) {
        std::fwrite(line, 1, std::strlen(line), log);
        std::fputc('\n', log);
        std::fclose(log);
    }
    if (argc >= 5 && std::strcmp(argv[1], "curl") == 0 && std::strcmp(argv[2], "-o") == 0)
        return CopyFileA(env("VELLOMAR_PS_ARCHIVE").c_str(), argv[3], FALSE) ? 0 : 1;
    if (argc >= 6 && std::strcmp(argv[1], "Expand-Archive") == 0)
        return copy_payload(env("VELLOMAR_PS_PAYLOAD"), unquote(argv[5])) ? 0 : 1;
    if (argc >= 3 && std::strcmp(argv[1], "Compress-Archive") == 0) {
        FILE* zip = std::fopen(last_quoted(line).c_str(), "wb");
        if (!zip) return 1;
        std::fputs("stands for a zip", zip);
        return std::fclose(zip) == 0 ? 0 : 1;
    }
    return 1;
}
