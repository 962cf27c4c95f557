#pragma once

// The site the Windows tests' download stand-ins (PowerShell's
// Invoke-WebRequest and curl.exe) fetch from, with no network: the file
// VELLOMAR_PS_SITE names holds one answer a line, "ADDRESS STATUS VALUE".
// Status 200 serves the file VALUE (a Windows path); 301, 302, 303, 307 and
// 308 send the client on to the address VALUE, with a short page as the body;
// any other status answers with the text VALUE as the body. An address the
// file does not list answers 404. Also the UTF-8 and wide text helpers both
// stand-ins use.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <windows.h>

inline std::wstring wide(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

inline std::string utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

// Writes text, UTF-8, to the console or file of standard error as the code
// page's bytes, with a line end.
inline void tell(const std::string& text) {
    std::wstring w = wide(text + "\r\n");
    int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), bytes.data(), n, nullptr,
                        nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

// What the site answers for an address.
struct answer {
    int status = 404;
    std::string location; // where a redirect leads
    std::string file;     // the file a 200 serves
    std::string body;     // the body otherwise
};

inline answer ask(const std::string& address) {
    answer got;
    got.body = "<html><body><h1>404 Not Found</h1></body></html>\n";
    const char* list = std::getenv("VELLOMAR_PS_SITE");
    FILE* in = list ? _wfopen(wide(list).c_str(), L"rb") : nullptr;
    if (!in) return got;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, in)) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        size_t one = line.find(' '), two = one == std::string::npos ? one : line.find(' ', one + 1);
        if (two == std::string::npos || line.substr(0, one) != address) continue;
        got.status = std::atoi(line.substr(one + 1, two - one - 1).c_str());
        std::string value = line.substr(two + 1);
        got.body.clear();
        if (got.status == 200)
            got.file = value;
        else if (got.status == 301 || got.status == 302 || got.status == 303 || got.status == 307 ||
                 got.status == 308)
            got.location = value, got.body = "<html><body>Moved to " + value + "</body></html>\n";
        else
            got.body = value + "\n";
        break;
    }
    std::fclose(in);
    return got;
}

// Saves what a 200 or any other answer brings as the file path (wide): the
// served file copied, or the body written. True when done.
inline bool save(const answer& got, const std::wstring& path) {
    if (got.status == 200) return CopyFileW(wide(got.file).c_str(), path.c_str(), FALSE) != 0;
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (!out) return false;
    bool ok = std::fwrite(got.body.data(), 1, got.body.size(), out) == got.body.size();
    return std::fclose(out) == 0 && ok;
}
