#include "sites.h"

#include "util/console.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/shell.h"
#include "util/text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> found;
    const char* blanks = " \t\r\n\v\f";
    for (size_t at = text.find_first_not_of(blanks); at != std::string::npos;
         at = text.find_first_not_of(blanks, at)) {
        size_t end = std::min(text.find_first_of(blanks, at), text.size());
        std::string word = text.substr(at, end - at);
        at = end;
        while (word.size() > 1 && word.back() == '/')
            word.pop_back();
        found.push_back(word);
    }
    return found;
}

void delete_file(const std::string& file) {
    if (file_check(file)) shell("del " + file);
}

} // namespace

std::vector<std::string> sites() {
    const char* named = std::getenv("VELLOMAR_DIST_HOST");
    std::vector<std::string> list = words(named ? named : "");
    if (list.empty()) list = words(VELLOMAR_DIST_HOST);
    // An empty setting still composes the download line, which then fails.
    if (list.empty()) list.push_back("");
    return list;
}

std::string archive_address(const std::string& site) {
    return site + "/tarnwick/server/1.12.2.zip";
}

std::string java_address(const std::string& site) {
#ifdef _WIN32
    return site + "/tarnwick/java/8/windows-x64.zip";
#else
    return site + "/tarnwick/java/8/linux-x64.zip";
#endif
}

void trying(const std::vector<std::string>& list, std::size_t at) {
    if (list.size() > 1)
        print("正在尝试第 " + int_string(static_cast<int>(at + 1)) + " 个站点（共 " +
              int_string(static_cast<int>(list.size())) + " 个）：" + list[at] + "\n");
}

std::string sha256_value(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (!std::strchr(" \t\r\n\v\f", c))
            digits += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    bool hex = digits.find_first_not_of("0123456789abcdef") == std::string::npos;
    return digits.empty() || (digits.size() == 64 && hex) ? digits : "?";
}

std::string published_sha256(const char* pin) {
    const char* named = std::getenv(pin);
    const char* setting =
        std::strcmp(pin, java_pin) == 0 ? VELLOMAR_JAVA_SHA256 : VELLOMAR_ARCHIVE_SHA256;
    return sha256_value(named ? named : setting);
}

std::string pin_fault(const char* pin, const std::string& file) {
    if (published_sha256(pin) != "?") return {};
    const char* named = std::getenv(pin);
    return "环境变量 " + std::string(pin) + " 的值“" + printable(named ? named : "") +
           "”不是 SHA-256（应为 64 位十六进制数字，或为空表示不校验），无法确认下载的 " + file +
           " 是否为发布的文件。请改正这个设置后重试。";
}

bool verified(const std::string& file, const std::string& partial, const char* pin) {
    if (!file_check(file)) return false;
    std::string expected = published_sha256(pin);
    if (expected.empty()) return true;
    if (std::string fault = pin_fault(pin, file); !fault.empty()) {
        delete_file(file);
        print(fault + "\n");
        return false;
    }
    std::string found = sha256_file(file);
    if (found == expected) return true;
    delete_file(file);
    delete_file(partial);
    std::string done = file_check(file) ? "但无法删除它。" : "已将其删除。";
    if (found.empty())
        print("无法读取下载的 " + file + "，无法确认它与发布的文件相同，" + done + "\n");
    else
        print("下载的 " + file + " 与发布的文件不同（SHA-256 不符），" + done +
              "\n  下载的: " + found + "\n  发布的: " + expected + "\n");
    return false;
}
