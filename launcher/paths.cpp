#include "paths.h"

#include "util/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

std::string word(const std::string& path) {
    // A GBK character whose second byte reads as one of them only brings
    // quotes the name did not need.
    if (path.find_first_of(" \t&()[]{}^=;!'+,`~") == std::string::npos) return path;
    return "\"" + path + "\"";
}

#ifdef _WIN32

namespace {

// The longest name the launcher makes below the start folder: a staged copy
// of the server jar. A path must stay within MAX_PATH, its NUL included.
const char deepest[] = "\\vellomar\\.1.12.2.new\\spigot-1.12.2.jar";

// How many characters text holds in the system's code page.
int characters(const std::string& text) {
    return MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
}

} // namespace

std::string start_refusal(const std::string& folder) {
    int longest = MAX_PATH - 1 - characters(deepest);
    int length = characters(folder);
    if (length > longest)
        return "启动文件夹的路径过长（" + int_string(length) +
               " 个字符），本程序无法使用此路径。请在路径不超过 " + int_string(longest) +
               " 个字符的文件夹中启动本程序。\n";
    // A start folder too long to be current leaves the program started in the
    // Windows folder instead, where nothing of the launcher's belongs.
    char windows[MAX_PATH + 1] = "";
    UINT got = GetWindowsDirectoryA(windows, sizeof windows);
    if (got > 0 && got < sizeof windows && lstrcmpiA(windows, folder.c_str()) == 0)
        return "本程序不能在 Windows "
               "文件夹中启动（启动文件夹的路径过长时，系统也会改在这里启动程序）。"
               "请在路径较短的文件夹中启动本程序。\n";
    return {};
}

#else

std::string start_refusal(const std::string&) {
    return {};
}

#endif
