#include "archive.h"

#include "files.h"
#include "shell.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

bool system_curl() {
#ifdef _WIN32
    // GetSystemDirectory is %SystemRoot%\System32, whatever the environment says.
    char folder[MAX_PATH];
    UINT n = GetSystemDirectoryA(folder, sizeof folder);
    return n > 0 && n < sizeof folder &&
           file_kind(std::string(folder, n) + "\\curl.exe") == kind::file;
#else
    return false;
#endif
}

std::string download_line(std::string file, std::string url, bool curl_exe) {
    return (curl_exe ? "powershell curl.exe  -o " : "powershell curl  -OutFile ") + file + " " +
           url;
}

std::string download_line(std::string file, std::string url) {
    return download_line(file, url, system_curl());
}

std::string unzip_line(std::string zip, std::string dest) {
    return "powershell Expand-Archive -LiteralPath '" + zip + "' -DestinationPath '" + dest + "'";
}

std::string zip_line(std::string src, std::string dest) {
    return "powershell Compress-Archive '" + src + "' '" + dest + "'";
}

void downloads(std::string folder, std::string url, std::string file) {
    std::string back = get_cd();
    cd(folder);
    bool curl_exe = system_curl();
#ifdef _WIN32
    // curl looks for its config in CURL_HOME before any other place, there as
    // _curlrc in every version Windows has shipped (newer ones try .curlrc in
    // the same folder first). So the user's own config, which could send the
    // file elsewhere or add headers to it, is not read for this run; proxies
    // named in the environment still are.
    const char* had = std::getenv("CURL_HOME");
    std::string before = char_string(had);
    std::string config = get_cd() + "\\_curlrc";
    if (curl_exe && replace_file(config, "--location\n--fail\n"))
        _putenv_s("CURL_HOME", get_cd().c_str());
#endif
    shell(download_line(file, url, curl_exe));
#ifdef _WIN32
    if (curl_exe) {
        _putenv_s("CURL_HOME", had ? before.c_str() : "");
        std::remove(config.c_str());
    }
#endif
    cd(back);
}

void unzip(std::string zip, std::string dest) {
    shell(unzip_line(zip, dest));
}

int zip(std::string src, std::string dest) {
    return shell(zip_line(src, dest));
}
