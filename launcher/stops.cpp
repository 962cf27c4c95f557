#include "stops.h"

#include "address.h"

#include "util/console.h"
#include "util/dialogs.h"
#include "util/files.h"
#include "util/text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>

namespace {

// What the server reads when server.properties has no port.
const int default_port = 25565;

// How much of the end of the log is read: the lines of the last start and
// stop, stack traces included.
const std::streamoff log_tail = 128 * 1024;

// How much of a crash report is read: its description and first trace.
const std::streamoff report_head = 16 * 1024;

// Where the server writes its log and its crash reports.
const char log_file[] = "logs/latest.log";
const char report_folder[] = "crash-reports";

bool space(char c) {
    return c == ' ' || c == '\t' || c == '\f';
}

// The text's lines, without their line ends.
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

bool line_end(char c) {
    return c == '\r' || c == '\n';
}

// One logical line of a properties file, as Java's reader takes it.
struct entry {
    // Where its natural lines lie in the text, the line end after the last
    // one left out.
    size_t begin = 0, end = 0;
    // Its key, escapes read, and its value as written, continued lines joined.
    std::string key, value;
};

// The escapes of a key or value read: \t, \n, \r, \f, \uXXXX, and a backslash
// before any other character stands for it.
std::string unescaped(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        c = text[++i];
        if (c == 'u') {
            unsigned code = 0;
            size_t digits = 0;
            for (; digits < 4 && i + 1 < text.size(); ++digits) {
                char h = text[i + 1];
                int v = h >= '0' && h <= '9'   ? h - '0'
                        : h >= 'a' && h <= 'f' ? h - 'a' + 10
                        : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                               : -1;
                if (v < 0) break;
                code = code * 16 + static_cast<unsigned>(v);
                ++i;
            }
            // Java refuses the whole file; nothing in it is then to be trusted.
            if (digits < 4) return std::string(1, '\0');
            // Beyond ASCII, a character no key or value compared here holds.
            out += code < 0x80 ? static_cast<char>(code) : '\x80';
            continue;
        }
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == 'f' ? '\f' : c;
    }
    return out;
}

// The logical lines of a properties file that hold a key, as Java reads them:
// \r, \n and \r\n end a line; blank lines and comments (# or ! first) are
// skipped; a line ending in an odd number of backslashes goes on in the
// next, whose leading blanks are skipped; the key ends at the first "=", ":"
// or blank not escaped, and blanks and one "=" or ":" part it from the value.
std::vector<entry> entries(std::string_view text) {
    std::vector<entry> found;
    size_t at = 0, line = 0; // where the natural line of at begins
    while (at < text.size()) {
        char c = text[at];
        if (space(c) || line_end(c)) {
            ++at;
            if (line_end(c)) line = at;
            continue;
        }
        if (c == '#' || c == '!') {
            while (at < text.size() && !line_end(text[at]))
                ++at;
            continue;
        }
        std::string logical;
        bool escaped = false; // the last character is a backslash not escaped
        while (at < text.size()) {
            c = text[at];
            if (!line_end(c)) {
                logical += c;
                escaped = c == '\\' && !escaped;
                ++at;
                continue;
            }
            if (!escaped) break;
            logical.pop_back();
            escaped = false;
            at += c == '\r' && at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
            while (at < text.size() && space(text[at]))
                ++at;
        }
        if (escaped) logical.pop_back(); // the end of the file, after a backslash
        entry one;
        one.begin = line;
        one.end = at;
        size_t key_end = 0;
        escaped = false;
        while (key_end < logical.size()) {
            char k = logical[key_end];
            if (!escaped && (k == '=' || k == ':' || space(k))) break;
            escaped = k == '\\' && !escaped;
            ++key_end;
        }
        one.key = unescaped(std::string_view(logical).substr(0, key_end));
        size_t value = key_end;
        bool parted = false;
        while (value < logical.size()) {
            char v = logical[value];
            if (!space(v) && (parted || (v != '=' && v != ':'))) break;
            if (!space(v)) parted = true;
            ++value;
        }
        one.value = logical.substr(value);
        found.push_back(std::move(one));
    }
    return found;
}

// The number that starts text, or -1.
int number(std::string_view text) {
    int value = -1;
    for (char c : text) {
        if (c < '0' || c > '9' || value > 99999) break;
        value = (value < 0 ? 0 : value * 10) + (c - '0');
    }
    return value;
}

// The Java version a class file version needs, 0 when the line does not say:
// "class file version 61.0" is Java 17, "major.minor version 52.0" Java 8.
int java_needed(std::string_view line) {
    for (std::string_view mark : {"class file version ", "major.minor version "}) {
        size_t at = line.find(mark);
        if (at == std::string_view::npos) continue;
        int version = number(line.substr(at + mark.size()));
        if (version > 44) return version - 44;
    }
    return 0;
}

// The text between the mark and the next quote, or what follows it to the
// next blank with no quote; empty when the line does not hold the mark.
std::string after(std::string_view line, std::string_view mark, char end) {
    size_t at = line.find(mark);
    if (at == std::string_view::npos) return {};
    std::string_view rest = line.substr(at + mark.size());
    return std::string(rest.substr(0, rest.find(end)));
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && (space(text.back()) || text.back() == '\r'))
        text.remove_suffix(1);
    return std::string(text);
}

bool has(std::string_view line, std::string_view mark) {
    return line.find(mark) != std::string_view::npos;
}

// The word after the mark, up to a blank; empty when the line does not hold
// the mark.
std::string word_after(std::string_view line, std::string_view mark) {
    size_t at = line.find(mark);
    if (at == std::string_view::npos) return {};
    std::string_view rest = line.substr(at + mark.size());
    while (!rest.empty() && space(rest.front()))
        rest.remove_prefix(1);
    size_t end = 0;
    while (end < rest.size() && !space(rest[end]) && rest[end] != '\r')
        ++end;
    return std::string(rest.substr(0, end));
}

// A player's chat line, which proves nothing: "<name>" just after the level,
// in every form of the server's lines.
bool chat(std::string_view line) {
    return has(line, "]: <") || has(line, "] <");
}

// True for a plugin's file named as the server names it: in plugins, or in
// ./plugins (either separator).
bool in_plugins(const std::string& name) {
    std::string_view rest = name;
    if (rest.size() > 2 && rest[0] == '.' && (rest[1] == '/' || rest[1] == '\\'))
        rest.remove_prefix(2);
    return rest.substr(0, 7) == "plugins";
}

// How to give the server another Java command.
const std::string new_java =
    "Java命令保存在 1.12.2 文件夹的 java 文件中：删除这个文件后按1，可以重新输入。";

// The notice for a port that is taken.
std::string taken(int port, port_holder holder) {
    holder.name = printable(holder.name);
    std::string text = "服务器的端口 " + int_string(port) + " 已被";
    std::string process = "进程 " + std::to_string(holder.pid);
    if (holder.same)
        text += "占用：占用它的正是这个服务器，之前启动后仍在运行（" + holder.name + "，" +
                process + "）。请先关闭它（在它的控制台中输入 stop），";
    else if (holder.maybe)
        text += holder.name + "（" + process +
                "）占用，它可能是之前启动、仍在运行的这个服务器。请先关闭它，";
    else if (holder.pid > 0)
        text += "另一个程序占用：" +
                (holder.name.empty() ? process : holder.name + "（" + process + "）") +
                "。请关闭该程序，";
    else
        text += "另一个程序占用。请关闭该程序，";
    return text +
           "或在 server.properties 中修改 server-port，否则服务器无法启动。仍要启动服务器吗？";
}

// The run ended because the user stopped it with Ctrl+C: Java's status for
// SIGINT, or Windows' for a console program ended by it.
bool interrupted(int status) {
    return status == 128 + 2 || static_cast<unsigned>(status) == 0xC000013Au;
}

} // namespace

bool read_head(const std::string& path, std::string& text) {
    text = read_part(path, 0, head_bytes + 1);
    if (static_cast<std::int64_t>(text.size()) <= head_bytes) return true;
    text.resize(static_cast<size_t>(head_bytes));
    return false;
}

std::string property(std::string_view text, std::string_view key) {
    std::string found;
    // As the server reads the file, the last line with the key counts.
    for (const entry& one : entries(text))
        if (one.key == key) found = one.value;
    return found;
}

bool agreed(std::string_view text) {
    std::string value = unescaped(property(text, "eula"));
    std::transform(value.begin(), value.end(), value.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return value == "true";
}

std::string agreeing(std::string_view text) {
    // A line added ends as the file's first line does.
    size_t first = text.find_first_of("\r\n");
#ifdef _WIN32
    const char* usual = "\r\n";
#else
    const char* usual = "\n";
#endif
    std::string_view end = usual;
    if (first != std::string_view::npos)
        end = text.substr(first, text.compare(first, 2, "\r\n") == 0 ? 2 : 1);
    std::string out;
    size_t kept = 0;
    bool set = false;
    for (const entry& one : entries(text)) {
        if (one.key != "eula") continue;
        out += text.substr(kept, one.begin - kept);
        out += "eula=true";
        kept = one.end;
        set = true;
    }
    out += text.substr(kept);
    if (!set) {
        if (!out.empty() && !line_end(out.back())) out += end;
        out += "eula=true";
        out += end;
    }
    return out;
}

int server_port(std::string_view text) {
    std::string value = property(text, "server-port");
    std::string_view digits = value;
    bool minus = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '+' || minus)) digits.remove_prefix(1);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return default_port;
    int port = std::stoi(std::string(digits));
    return minus ? -port : port;
}

bool memory_setting(std::string_view printed) {
    for (std::string_view mark :
         {"Invalid maximum heap size", "Invalid initial heap size",
          "Could not reserve enough space", "Error occurred during initialization of VM"})
        if (printed.find(mark) != std::string_view::npos) return true;
    return false;
}

std::string failed_java(const std::string& command, std::string_view printed) {
    if (!memory_setting(printed)) return "（找不到该程序，或它不是可运行的 Java）";
    std::string named;
    size_t at = 0;
    while (at < command.size()) {
        size_t end = command.find_first_of(" \t", at);
        if (end == std::string::npos) end = command.size();
        std::string word = command.substr(at, end - at);
        if (equal_(word, "-Xm") ||
            (equal_(word, "-XX:") && word.find("HeapSize") != std::string::npos))
            named += " " + word;
        at = end + 1;
    }
    return "（Java 不接受其中的内存设置" + named +
           "：数值写错了，或超出了这台电脑、这个 Java 能给的内存。32 位的 Java 最多只能给约 1G）";
}

found_cause cause_of(std::string_view text, const std::string& report) {
    bool bind = false, elsewhere = false, licence = false, memory = false, threads = false;
    found_cause old, crash, plugin, hung, world, enable, jar, fatal;
    if (!report.empty()) {
        bool java = report.find("hs_err_pid") != std::string::npos;
        found_cause& by = java ? fatal : crash;
        by.cause = java ? stop_cause::java_crash : stop_cause::crash;
        by.name = report;
    }
    std::string last_plugin;
    size_t plugin_line = 0, index = 0;
    auto first = [](found_cause& found, stop_cause cause, std::string name) {
        if (found.cause != stop_cause::none) return;
        found.cause = cause;
        found.name = std::move(name);
    };
    for (std::string_view line : lines_of(text)) {
        ++index;
        if (chat(line)) continue;
        bind = bind || has(line, "**** FAILED TO BIND TO PORT!");
        elsewhere = elsewhere || has(line, "Cannot assign requested address");
        licence = licence || has(line, "You need to agree to the EULA");
        if (has(line, "java.lang.OutOfMemoryError")) {
            bool native = has(line, "unable to create") && has(line, "native thread");
            threads = threads || native;
            memory = memory || !native;
        }
        if (std::string name = after(line, "Could not load '", '\''); in_plugins(name)) {
            last_plugin = name;
            plugin_line = index;
            first(plugin, stop_cause::plugin, name);
        }
        if (has(line, "UnknownDependencyException") && plugin.needs.empty()) {
            std::string needs = after(line, "dependency plugins: [", ']');
            if (needs.empty()) needs = trimmed(after(line, "UnknownDependencyException: ", '\n'));
            std::string runs = after(line, "plugins to run '", '\'');
            if (!runs.empty() || plugin.cause == stop_cause::none) {
                plugin.cause = stop_cause::plugin;
                plugin.name = runs.empty() ? last_plugin : runs;
            }
            plugin.needs = needs;
        }
        if (old.cause == stop_cause::none &&
            (has(line, "UnsupportedClassVersionError") ||
             has(line, "has been compiled by a more recent version"))) {
            old.cause = stop_cause::old_java;
            old.java = java_needed(line);
            // The trace of a plugin that failed starts a line or two below
            // the line that names it.
            old.plugin = !last_plugin.empty() && index - plugin_line <= 3;
            old.name =
                old.plugin ? last_plugin : after(line, "UnsupportedClassVersionError: ", ' ');
        }
        if (std::string path = trimmed(after(line, "This crash report has been saved to:", '\n'));
            !path.empty() && crash.cause == stop_cause::none) {
            crash.cause = stop_cause::crash;
            crash.name = path;
        }
        if (has(line, "The server has stopped responding!") ||
            has(line, "Considering it to be crashed, server will forcibly shutdown"))
            hung.cause = stop_cause::hung;
        if (std::string path = after(line, "Exception reading ", '\n'); has(path, "level.dat"))
            first(world, stop_cause::world, path.substr(0, path.rfind("level.dat") + 9));
        if (std::string name = after(line, "Error occurred while enabling ", '\n'); !name.empty())
            first(enable, stop_cause::enable,
                  trimmed(name.substr(0, name.find(" (Is it up to date?)"))));
        if (std::string name = trimmed(after(line, "Error: Unable to access jarfile ", '\n'));
            !name.empty())
            first(jar, stop_cause::no_jar, name);
        if (std::string name = trimmed(after(line, "Error: Invalid or corrupt jarfile ", '\n'));
            !name.empty())
            first(jar, stop_cause::bad_jar, name);
        if (has(line, "A fatal error has been detected by the Java Runtime Environment"))
            fatal.cause = stop_cause::java_crash;
        // Java names its report on the line after it says it wrote one.
        if (std::string path = word_after(line, "# ");
            has(path, "hs_err_pid") && fatal.name.empty())
            fatal.name = path;
    }
    found_cause found;
    if (bind || licence) {
        found.cause = !bind ? stop_cause::eula : elsewhere ? stop_cause::address : stop_cause::port;
        return found;
    }
    if (jar.cause != stop_cause::none) return jar;
    // A Java too old names what it could not run: told before memory.
    if (old.cause != stop_cause::none) return old;
    if (world.cause != stop_cause::none) return world;
    if (fatal.cause != stop_cause::none) return fatal;
    if (threads || memory) {
        found.cause = threads ? stop_cause::threads : stop_cause::memory;
        found.name = crash.name;
        return found;
    }
    if (hung.cause != stop_cause::none) {
        // The vanilla watchdog writes a crash report as it ends the server.
        hung.name = crash.name;
        return hung;
    }
    if (crash.cause != stop_cause::none) return crash;
    return plugin.cause != stop_cause::none ? plugin : enable;
}

std::string explanation(const found_cause& found, int port, const std::string& backup) {
    // Written by the server or a plugin: shown, never acted on by the terminal.
    const std::string name = printable(found.name);
    std::string needs =
        found.java > 0 ? "（需要 Java " + int_string(found.java) + " 或更高版本）" : "";
    std::string newest = backup.empty() ? "" : "最新的世界备份在 " + backup + "。\n";
    // Out of memory in the tick loop also leaves a crash report.
    std::string crashed = name.empty() ? "" : "崩溃报告保存在：\n" + name + "\n" + newest;
    switch (found.cause) {
    case stop_cause::port:
        return "服务器无法启动：端口 " + int_string(port) +
               " 已被其他程序占用。\n请关闭占用它的程序（例如仍在运行的另一个服务器），或在 "
               "server.properties 中把 server-port 改为别的端口。\n";
    case stop_cause::address:
        return "服务器无法启动：server.properties 中的 server-ip" +
               (name.empty() ? "" : "（" + name + "）") +
               "不是这台电脑的地址。\n请把 server.properties 中的 server-ip 清空（写成 "
               "server-ip=），服务器就会在这台电脑的所有地址上等待连接。\n";
    case stop_cause::eula:
        return "服务器没有启动：还没有同意服务器的最终用户许可协议（EULA）。\n再次启动时选择同意，"
               "或在 "
               "eula.txt 中把 eula=false 改为 eula=true。\n";
    case stop_cause::old_java:
        if (found.plugin)
            return "Java 版本太旧，无法运行插件 " + name + needs +
                   "。\n请换用更高版本的 Java，或换用支持这个 Java 的插件版本。\n";
        return "Java 版本太旧，无法运行" + (name.empty() ? "服务器" : " " + name) + needs +
               "。\n请换用更高版本的 Java。" + new_java + "\n";
    case stop_cause::memory:
        return "服务器内存不足（java.lang.OutOfMemoryError）。\n请使用 64 位的 Java，并在Java命令中"
               "加上内存设置，例如 -Xmx2G。" +
               new_java + "\n" + crashed;
    case stop_cause::threads:
        return "服务器无法再创建线程（java.lang.OutOfMemoryError: unable to create native "
               "thread）：用完的是系统的线程数或 Java 堆以外的内存，加大 -Xmx 只会更糟。\n"
               "常见的原因是插件创建了太多线程、系统对进程或线程数的限制太低，或用的是 32 位的 "
               "Java。请更新或删除创建大量线程的插件，放宽系统的限制，或换用 64 位的 Java；Java "
               "命令中的 -Xmx 接近电脑的内存时，请把它调小。" +
               new_java + "\n" + crashed;
    case stop_cause::crash:
        if (name.empty()) return "服务器崩溃了。\n" + newest;
        return "服务器崩溃了。崩溃报告保存在：\n" + name + "\n" + newest;
    case stop_cause::hung:
        return "服务器停止了响应，被它的看门狗（watchdog）结束，结束时世界没有保存。\n"
               "当时各线程的状态（线程转储）在 logs/latest.log 中：Server thread "
               "一段里出现的插件往往就是原因。常见的原因是某个插件卡住了服务器，或内存太少。\n" +
               (name.empty() ? "" : "崩溃报告保存在：\n" + name + "\n") + newest;
    case stop_cause::world:
        return "服务器无法读取世界的 " + name +
               "，这个文件已损坏；服务器可能因此新建了一个空的世界。\n" +
               (backup.empty()
                    ? std::string("没有找到世界的备份。\n")
                    : "请恢复最新的备份 " + backup +
                          "（如果其中的 level.dat 也已损坏，就选更早的一份）：先停止服务器，删除 "
                          "1.12.2 文件夹中的世界文件夹，再把备份中同名的 zip 解压到 1.12.2 "
                          "文件夹中（详见 README 中的“恢复一份备份”）。\n");
    case stop_cause::plugin:
        if (!found.needs.empty())
            return "插件 " + name + " 加载失败：它需要的插件 " + printable(found.needs) +
                   " 没有安装。\n请把需要的插件放进 plugins 文件夹，或删除插件 " + name + "。\n";
        return "插件 " + name +
               " 加载失败。\n请查看 logs 文件夹中 latest.log 里的错误信息，更换或删除这个插件。\n";
    case stop_cause::enable:
        return "插件 " + name +
               " 启用失败。\n请查看 logs 文件夹中 latest.log "
               "里的错误信息，更新、更换或删除这个插件。\n";
    case stop_cause::no_jar:
        return "服务器无法启动：Java 找不到服务器的 jar 文件 " + name +
               "。\n请按1：继续安装会补上服务器文件夹中缺少的文件。\n";
    case stop_cause::bad_jar:
        return "服务器无法启动：服务器的 jar 文件 " + name +
               " 已损坏，Java 无法读取它。\n请删除 "
               "1.12.2 文件夹中的 " +
               name + "，然后按1：继续安装会重新放回这个文件。\n";
    case stop_cause::java_crash:
        return "Java 自身出错，崩溃了（A fatal error has been detected by the Java Runtime "
               "Environment）。\n" +
               (name.empty() ? "" : "错误报告保存在：\n" + name + "\n") +
               "原因多在 Java 本身或电脑的内存：请更新 Java，或换用其他版本的 Java。" + new_java +
               "\n" + newest;
    case stop_cause::abnormal:
        return "服务器异常结束（退出代码 " + name + "）。请查看上面的输出了解原因。\n";
    case stop_cause::none:
        break;
    }
    return {};
}

bool restarts(stop_cause cause) {
    switch (cause) {
    case stop_cause::crash:
    case stop_cause::hung:
    case stop_cause::memory:
    case stop_cause::threads:
    case stop_cause::java_crash:
    case stop_cause::abnormal:
        return true;
    default:
        return false;
    }
}

bool may_start(const std::string& caption) {
    std::string eula;
    if (!read_head("eula.txt", eula)) {
        mes("服务器文件夹中的 eula.txt 超过 1 MB，无法检查其中是否已同意许可协议，服务器没有启动。"
            "请删除它（服务器会重新写一份），或把它改为只有 eula=true 一行，然后重试。",
            caption);
        return false;
    }
    if (!agreed(eula)) {
        if (!mes_yes_no("服务器需要您先同意它的最终用户许可协议（EULA）才能运行，协议的链接在服务器"
                        "文件夹的 eula.txt 中。要同意这份协议并启动服务器吗？",
                        caption))
            return false;
        if (!replace_file("eula.txt", agreeing(eula))) {
            mes("无法写入 eula.txt，服务器没有启动。请确认服务器文件夹可以写入。", caption);
            return false;
        }
    }
    std::string properties;
    if (!read_head("server.properties", properties)) {
        print("server.properties 超过 1 MB，没有检查服务器的端口是否可用。\n");
        return true;
    }
    int port = server_port(properties);
    std::string ip = property(properties, "server-ip");
    if (!ip.empty() && is_own(ip, own_addresses()) == 0)
        return mes_yes_no("server.properties 中的 server-ip（" + ip +
                              "）不是这台电脑的地址，服务器将无法启动。请把 server-ip "
                              "清空（写成 server-ip=），或改为这台电脑的地址。仍要启动服务器吗？",
                          caption);
    if (port < 1 || port > 65535 || port_free(ip, port) != 0) return true;
    return mes_yes_no(taken(port, holder_of(port)), caption);
}

traces traces_now() {
    traces now;
    std::error_code ec, ec2;
    auto time = std::filesystem::last_write_time(log_file, ec);
    auto size = std::filesystem::file_size(log_file, ec2);
    if (!ec && !ec2)
        now.log = std::to_string(time.time_since_epoch().count()) + ":" + std::to_string(size);
    get_file_names(report_folder, now.reports, ".txt");
    std::vector<std::string> logs;
    get_file_names(".", logs, ".log");
    for (const std::string& name : logs)
        if (equal_(name.substr(name.find_last_of('\\') + 1), "hs_err_pid"))
            now.fatal.push_back(name);
    return now;
}

namespace {

// The newest of the names in now that were not in before, empty when none is new.
std::string newest_of(const std::vector<std::string>& now, const std::vector<std::string>& before) {
    std::string newest;
    for (const std::string& name : now)
        if (std::find(before.begin(), before.end(), name) == before.end())
            newest = std::max(newest, name);
    return newest.substr(newest.find_last_of('\\') + 1);
}

} // namespace

found_cause explain(const traces& before, int status, const std::string& errors,
                    const std::string& backup) {
    traces now = traces_now();
    std::string lines = errors + "\n";
    if (!now.log.empty() && now.log != before.log) lines += read_part(log_file, -log_tail);
    const char sep = static_cast<char>(std::filesystem::path::preferred_separator);
    std::string report, name = newest_of(now.reports, before.reports), folder = report_folder;
    if (name.empty()) {
        name = newest_of(now.fatal, before.fatal);
        folder = ".";
    }
    if (!name.empty()) {
        lines += '\n';
        lines += read_part(folder + "/" + name, 0, report_head);
        report = get_cd() + sep + (folder == "." ? "" : folder + sep) + name;
    }
    // A file too long holds its port in its first part, if anywhere.
    std::string properties;
    read_head("server.properties", properties);
    found_cause found = cause_of(lines, report);
    if (found.cause == stop_cause::address) found.name = property(properties, "server-ip");
    if (found.cause == stop_cause::none && status != 0 && !interrupted(status)) {
        bool small = status > 0 && status < 256;
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
        found.cause = stop_cause::abnormal;
        found.name = small ? int_string(status) : std::string(code);
    }
    std::string text = explanation(found, server_port(properties), backup);
    if (!text.empty()) {
        color("yellow");
        print(text);
    }
    return found;
}
