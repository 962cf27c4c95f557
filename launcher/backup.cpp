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

// The name a backup has while it is made (tag "new") or removed ("old"):
// the launcher's alone, and whatever holds it is what a run cut short left.
std::string hidden(const std::string& name, const std::string& tag) {
    return "." + name + "." + tag;
}

// True when name is a backup's name while made or removed.
bool in_passing(const std::string& name) {
    if (name.size() < 6 || name.front() != '.') return false;
    std::string tag = name.substr(name.size() - 4);
    return (tag == ".new" || tag == ".old") && stamped(name.substr(1, name.size() - 5));
}

// The names in the backups folder.
std::vector<std::string> names_there() {
    std::vector<std::string> found, names;
    if (folder_check(backups)) get_file_names(backups, found, "");
    for (const auto& full : found)
        names.push_back(full.substr(full.rfind('\\') + 1));
    return names;
}

// True when the folder holds the zip as a file.
bool has_zip(const std::string& name, const std::string& zip) {
    return file_kind(backups + "\\" + name + "\\" + zip) == kind::file;
}

// True when a was made before b: by their order, then by their names.
bool older(const backup& a, const backup& b) {
    return a.order != b.order ? a.order < b.order : a.name < b.name;
}

// True when the backup holds every zip its manifest names, or one zip at
// least for a manifest that names none.
bool complete(const backup& one) {
    if (!one.zips.empty())
        return std::all_of(one.zips.begin(), one.zips.end(),
                           [&](const std::string& zip) { return has_zip(one.name, zip); });
    std::vector<std::string> zips;
    get_file_names(backups + "\\" + one.name, zips, ".zip");
    return std::any_of(zips.begin(), zips.end(),
                       [](const std::string& zip) { return file_kind(zip) == kind::file; });
}

// The backups the launcher made and finished, oldest first: folders named
// from the clock, holding the manifest it wrote and all their zips. Nothing
// else there is ever taken for a backup: a folder of the user's, a file, a
// backup cut short.
std::vector<backup> whole() {
    std::vector<backup> found;
    for (const auto& name : names_there()) {
        backup one;
        std::string folder = backups + "\\" + name;
        if (!stamped(name) || !folder_check(folder) ||
            !read_manifest(read_part(folder + "\\" + manifest, 0, 64 << 10), one))
            continue;
        one.name = name;
        if (complete(one)) found.push_back(one);
    }
    std::sort(found.begin(), found.end(), older);
    return found;
}

// True when the backup holds a zip for each of the folders.
bool holds(const std::string& name, const std::vector<std::string>& folders) {
    return std::all_of(folders.begin(), folders.end(),
                       [&](const std::string& folder) { return has_zip(name, folder + ".zip"); });
}

// Removes what runs cut short left in the backups folder: backups half made
// or half removed, under their names in passing.
void sweep() {
    for (const auto& name : names_there())
        if (in_passing(name)) remove_name(backups + "\\" + name);
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

// Makes the backup, the order-th made: under its name in passing, a folder
// holding a zip of each world folder and, last, the manifest; then the
// folder takes the name from the clock. A world folder that is a link (the
// world moved to another disk) is zipped as the folder it leads to, its
// entries under the link's name: Compress-Archive lists a folder through a
// link to it and names the entries from the link's own folder, as the
// stand-in does. False when it failed; what was made of it is removed, and
// name is left empty once nothing of it is left, or names what is.
bool make_backup(const std::vector<std::string>& folders, const std::string& sum,
                 std::int64_t order, std::string& name) {
    name = new_name();
    if (name.empty()) {
        print("无法备份世界：系统时钟没有走动，无法为备份命名。\n");
        return false;
    }
    std::string passing = hidden(name, "new"), folder = backups + "\\" + passing;
    remove_name(folder);
    bool ok = !file_check(folder);
    if (ok) make_folder(folder);
    ok = ok && folder_check(folder);
    backup made{name, sum, {}, order};
    for (const auto& world : folders) {
        if (!ok) break;
        std::string dest = folder + "\\" + world + ".zip";
        ok = zip(world, dest) == 0 && file_check(dest);
        made.zips.push_back(world + ".zip");
    }
    ok = ok && replace_file(folder + "\\" + manifest, manifest_text(made)) &&
         move_name(folder, backups + "\\" + name);
    if (!ok) remove_name(folder);
    if (!ok) name = file_check(folder) ? passing : "";
    return ok;
}

// Removes the backups beyond the newest ones kept, but for made. Each takes
// its name in passing first, so that one cut short there is never taken
// for a backup again.
void prune(const std::string& made) {
    for (const auto& name : expired(whole(), kept)) {
        std::string passing = backups + "\\" + hidden(name, "old");
        if (name != made && move_name(backups + "\\" + name, passing)) del_folder(passing);
    }
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

std::string manifest_text(const backup& made) {
#ifdef _WIN32
    const std::string end = "\r\n";
#else
    const std::string end = "\n";
#endif
    std::string text = made.sum + end + std::to_string(made.order) + end;
    for (const auto& zip : made.zips)
        text += zip + end;
    return text;
}

bool read_manifest(const std::string& text, backup& found) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = del_space(line);
        if (!line.empty()) lines.push_back(line);
        at = end + 1;
    }
    // The fingerprint, a single word; and, since backups are numbered, the
    // order, as digits.
    if (lines.empty() || lines[0].find_first_of(" \t") != std::string::npos) return false;
    found.sum = lines[0];
    found.order = 0;
    found.zips.clear();
    if (lines.size() == 1) return true;
    const std::string& order = lines[1];
    if (order.empty() || order.size() > 15 ||
        order.find_first_not_of("0123456789") != std::string::npos)
        return false;
    found.order = std::stoll(order);
    found.zips.assign(lines.begin() + 2, lines.end());
    return true;
}

std::vector<std::string> expired(std::vector<backup> found, size_t keep) {
    std::sort(found.begin(), found.end(), older);
    std::vector<std::string> names;
    for (size_t i = 0; i + keep < found.size(); ++i)
        names.push_back(found[i].name);
    return names;
}

std::string newest_backup() {
    std::vector<backup> found = whole();
    return found.empty() ? "" : shown_backups + found.back().name;
}

bool back_up_world(const std::string& caption) {
    sweep();
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
    std::vector<backup> found = whole();
    if (!found.empty() && !sum.empty() && found.back().sum == sum &&
        holds(found.back().name, folders)) {
        print("世界自上次备份（" + shown_backups + found.back().name +
              "）以来没有变化，不再备份。\n");
        return true;
    }
    print("正在备份世界……\n");
    std::string name;
    std::int64_t order = found.empty() ? 1 : found.back().order + 1;
    if (!make_backup(folders, sum.empty() ? "-" : sum, order, name))
        return start_anyway(caption, name);
    print("已备份到 " + shown_backups + name + "\n");
    prune(name);
    return true;
}
