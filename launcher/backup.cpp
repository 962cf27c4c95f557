#include "backup.h"

#include "stops.h"

#include "util/archive.h"
#include "util/console.h"
#include "util/dialogs.h"
#include "util/files.h"
#include "util/shell.h"
#include "util/text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Where the backups go, named from the server folder, and how the user finds
// them from the start folder.
const std::string backups = "..\\backups";
#ifdef _WIN32
const std::string shown_backups = "vellomar\\backups\\";
#else
const std::string shown_backups = "vellomar/backups/";
#endif

// The newest backups kept.
const size_t kept = 5;

// The file beside a backup's zips that holds the fingerprint of what they
// hold; a backup without it was cut short.
const std::string manifest = "manifest.txt";

// The character at code point code, in the bytes names have here: UTF-8 on
// Linux, the code page on Windows.
std::string character(unsigned code) {
    std::string utf8;
    if (code < 0x80) {
        utf8 += static_cast<char>(code);
    } else if (code < 0x800) {
        utf8 += static_cast<char>(0xc0 | code >> 6);
        utf8 += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        utf8 += static_cast<char>(0xe0 | code >> 12);
        utf8 += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        utf8 += static_cast<char>(0x80 | (code & 0x3f));
    }
#ifdef _WIN32
    if (code >= 0x80) {
        wchar_t wide = static_cast<wchar_t>(code);
        char out[8];
        BOOL lost = FALSE;
        int n = WideCharToMultiByte(CP_ACP, 0, &wide, 1, out, sizeof out, nullptr, &lost);
        // A character the code page lacks cannot name a folder here: NUL
        // makes the name unusable.
        return n > 0 && !lost ? std::string(out, static_cast<size_t>(n)) : std::string(1, '\0');
    }
#endif
    return utf8;
}

// A value of server.properties with its escapes read: \t, \n, \r, \f,
// \uXXXX, and a backslash before any other character stands for it. Bytes
// are ISO-8859-1 characters, as the server reads the file.
std::string unescape(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        unsigned code = static_cast<unsigned char>(value[i]);
        if (value[i] == '\\' && i + 1 < value.size()) {
            char c = value[++i];
            code = static_cast<unsigned char>(c);
            if (c == 't') code = '\t';
            if (c == 'n') code = '\n';
            if (c == 'r') code = '\r';
            if (c == 'f') code = '\f';
            if (c == 'u') {
                std::string hex = value.substr(i + 1, 4);
                if (hex.size() < 4 ||
                    hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return std::string(1, '\0');
                code = static_cast<unsigned>(std::stoul(hex, nullptr, 16));
                i += 4;
            }
        }
        out += character(code);
    }
    return out;
}

// The backup folders' names in the backups folder, oldest first.
std::vector<std::string> backup_names() {
    std::vector<std::string> found, names;
    if (folder_check(backups)) get_file_names(backups, found, "");
    for (const auto& full : found) {
        std::string name = full.substr(full.rfind('\\') + 1);
        if (stamped(name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The fingerprint saved with a backup, empty when it has none.
std::string saved_fingerprint(const std::string& name) {
    std::string line;
    if (!read_line(backups + "\\" + name + "\\" + manifest, line)) return "";
    return del_space(line);
}

// True when the backup holds a zip for each of the folders.
bool holds(const std::string& name, const std::vector<std::string>& folders) {
    return std::all_of(folders.begin(), folders.end(), [&](const std::string& folder) {
        return file_check(backups + "\\" + name + "\\" + folder + ".zip");
    });
}

// The clock's moment as a backup folder's name, its fields all read from one
// moment: the six are read twice, and again until both readings agree.
std::string now() {
    for (;;) {
        int first[] = {year(), month(), day(), hour(), minute(), second()};
        int again[] = {year(), month(), day(), hour(), minute(), second()};
        if (std::equal(std::begin(first), std::end(first), std::begin(again)))
            return stamp(first[0], first[1], first[2], first[3], first[4], first[5]);
    }
}

// A name for a new backup that no folder has, waiting for the next second
// when this one has been taken; empty when the clock does not move on.
std::string new_name() {
    for (int tries = 0; tries < 30; ++tries) {
        std::string name = now();
        if (!file_check(backups + "\\" + name)) return name;
        pause_ms(100);
    }
    return "";
}

// Makes the backup: a folder named from the clock holding a zip of each
// world folder and, last, the fingerprint. False when it failed; what was
// made of it is removed, and name is left empty once nothing of it is left.
bool make_backup(const std::vector<std::string>& folders, const std::string& sum,
                 std::string& name) {
    name = new_name();
    if (name.empty()) {
        print("无法备份世界：系统时钟没有走动，无法为备份命名。\n");
        return false;
    }
    std::string folder = backups + "\\" + name;
    make_folder(folder);
    bool ok = folder_check(folder);
    for (const auto& world : folders) {
        if (!ok) break;
        std::string dest = folder + "\\" + world + ".zip";
        ok = zip(world, dest) == 0 && file_check(dest);
    }
    if (ok) {
        shell("echo " + sum + " >> " + folder + "\\" + manifest);
        ok = saved_fingerprint(name) == sum;
    }
    if (!ok && file_check(folder)) del_folder(folder);
    if (!ok && !file_check(folder)) name.clear();
    return ok;
}

// Removes the backups beyond the newest ones kept, and the folders of
// backups cut short but for made.
void prune(const std::string& made) {
    std::vector<std::string> complete;
    for (const auto& name : backup_names()) {
        if (!saved_fingerprint(name).empty())
            complete.push_back(name);
        else if (name != made)
            del_folder(backups + "\\" + name);
    }
    for (const auto& name : expired(complete, kept))
        if (name != made) del_folder(backups + "\\" + name);
}

// Says that the backup failed, and what is left of it when the folder named
// could not be removed, and asks whether to start anyway.
bool start_anyway(const std::string& caption, const std::string& left = "") {
    if (left.empty())
        print("世界备份失败，没有留下不完整的备份。\n");
    else
        print("世界备份失败。未完成的备份 " + shown_backups + left + " 无法删除，请手动删除它。\n");
    return mes_yes_no("世界备份失败。仍要启动服务器吗？", caption);
}

// The name in UTF-8: as it is on Linux, from the code page on Windows; a NUL
// when the code page cannot be read so.
std::string as_utf8(const std::string& name) {
#ifdef _WIN32
    if (name.empty()) return name;
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(),
                                static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n <= 0 || MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(),
                                      static_cast<int>(name.size()), wide.data(), n) != n)
        return std::string(1, '\0');
    int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(m > 0 ? m : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
    return out;
#else
    return name;
#endif
}

} // namespace

std::string level_name(const std::string& properties) {
    std::string name = unescape(property(properties, "level-name"));
    return name.empty() ? "world" : name;
}

bool plain_name(const std::string& name) {
    // Read as characters: in the code page, the second byte of a character
    // can be that of an ASCII one ("\\", "[", "|").
    std::string text = as_utf8(name);
    if (text.empty() || text == "." || text == ".." || text.back() == '.' || text.back() == ' ' ||
        text.front() == ' ')
        return false;
    // PowerShell joins its arguments with one blank, so a run of blanks
    // reaches Compress-Archive as one; and it ends a quoted name at a
    // typographic single quote (U+2018 to U+201B) as at "'".
    if (text.find("  ") != std::string::npos) return false;
    for (size_t at = 0; (at = text.find("\xe2\x80", at)) != std::string::npos; ++at)
        if (auto third = static_cast<unsigned char>(text[at + 2]); third >= 0x98 && third <= 0x9b)
            return false;
    // "[" and "]" too: Compress-Archive reads its first name as a wildcard.
    return std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f ||
               std::string_view("\\/:*?\"<>|&^%'[]").find(c) != std::string_view::npos;
    });
}

std::string stamp(int year, int month, int day, int hour, int minute, int second) {
    auto two = [](int n) { return std::string(n < 10 ? "0" : "") + int_string(n); };
    return int_string(year) + "-" + two(month) + "-" + two(day) + "_" + two(hour) + "-" +
           two(minute) + "-" + two(second);
}

bool stamped(const std::string& name) {
    const std::string form = "0000-00-00_00-00-00";
    if (name.size() != form.size()) return false;
    for (size_t i = 0; i < form.size(); ++i)
        if (form[i] == '0' ? name[i] < '0' || name[i] > '9' : name[i] != form[i]) return false;
    return true;
}

std::uint64_t mix(std::uint64_t hash, const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
    return hash;
}

std::string fingerprint(const std::vector<std::string>& folders) {
    std::uint64_t sum = 0, count = 0;
    for (const auto& folder : folders) {
        sum += mix(fnv_basis, folder.data(), folder.size());
        // A folder that cannot be read all through is never taken as unchanged.
        if (!walk(folder, sum, count)) return "";
    }
    const char digits[] = "0123456789abcdef";
    std::string hex;
    for (int shift = 60; shift >= 0; shift -= 4)
        hex += digits[sum >> shift & 15];
    return int_string(static_cast<int>(std::min<std::uint64_t>(count, 999999999))) + "-" + hex;
}

std::vector<std::string> expired(std::vector<std::string> names, size_t keep) {
    std::sort(names.begin(), names.end());
    names.resize(names.size() > keep ? names.size() - keep : 0);
    return names;
}

std::string newest_backup() {
    auto names = backup_names();
    for (auto it = names.rbegin(); it != names.rend(); ++it)
        if (!saved_fingerprint(*it).empty()) return shown_backups + *it;
    return "";
}

bool back_up_world(const std::string& caption) {
    std::string properties;
    if (!read_head("server.properties", properties)) {
        print("server.properties 超过 1 MB，无法确定世界文件夹，无法备份世界。\n");
        return start_anyway(caption);
    }
    std::string base = level_name(properties);
    if (!plain_name(base)) {
        print("server.properties 中的 level-name 不是单个文件夹的名称，或含有无法用于备份的字符，"
              "无法备份世界。\n");
        return start_anyway(caption);
    }
    std::vector<std::string> folders;
    for (const char* suffix : {"", "_nether", "_the_end"})
        if (folder_check(base + suffix)) folders.push_back(base + suffix);
    if (folders.empty()) return true;
    std::string sum = fingerprint(folders);
    auto names = backup_names();
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        std::string saved = saved_fingerprint(*it);
        if (saved.empty()) continue; // cut short: the newest backup is an older one
        if (!sum.empty() && saved == sum && holds(*it, folders)) {
            print("世界自上次备份（" + shown_backups + *it + "）以来没有变化，不再备份。\n");
            return true;
        }
        break;
    }
    print("正在备份世界……\n");
    std::string name;
    if (!make_backup(folders, sum.empty() ? "-" : sum, name)) return start_anyway(caption, name);
    print("已备份到 " + shown_backups + name + "\n");
    prune(name);
    return true;
}
