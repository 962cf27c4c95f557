// The launcher: a menu in the console that installs the server (key 1),
// starts it (key 2) or leaves (key 3).

#include "address.h"
#include "backup.h"
#include "install.h"
#include "java8.h"
#include "javas.h"
#include "paths.h"
#include "sites.h"
#include "stops.h"
#include "util/archive.h"
#include "util/console.h"
#include "util/dialogs.h"
#include "util/files.h"
#include "util/shell.h"
#include "util/text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

// The key read at the last menu pass.
char a;
// The server number typed at the last install or start prompt, trimmed.
std::string server;
// The Java command, as typed at installation or read back at start.
std::string java;
// Full path of the banner program, beside the launcher in the start folder.
std::string out_put_ver = get_cd() + "\\out_put_ver.exe";
// Full path of the working folder, in the start folder.
std::string vellomar = get_cd() + "\\vellomar";

namespace {

// The window's title, which the notices carry as their caption too.
const std::string title = "下载服务器";

void banner() {
    shell(word(out_put_ver));
}

// Where the Linux download keeps the bytes of an attempt that broke off, for
// the next to continue (posix/fetch.h); PowerShell keeps none.
const char partial[] = ".1.12.2.zip.partial";

// The first pause before another attempt, in seconds.
const int first_wait = 2;

// Waits before the next attempt, with the failure still on screen: 2 s,
// doubling to at most 30 s.
void back_off(int& seconds) {
    print("安装失败，" + int_string(seconds) + " 秒后重试……\n");
    pause_ms(seconds * 1000);
    seconds = std::min(seconds * 2, 30);
}

void installing() {
    shell("cls");
    banner();
    print("正在安装中\n");
}

// The server folder holds the extracted server, as files.
bool extracted() {
    return file_kind(".\\1.12.2\\eula.txt") == kind::file &&
           file_kind(".\\1.12.2\\spigot-1.12.2.jar") == kind::file;
}

// The Java command file, named from the working folder.
const std::string java_file = ".\\1.12.2\\java";

// The Java command file holds a Java command, read as the start reads it.
bool java_saved() {
    std::string line;
    return java_line(java_file, line) && !del_space(line).empty();
}

// The server is installed: extracted, with a Java command to run it.
bool complete() {
    return extracted() && java_saved();
}

// Removes the archive, which is never taken unchecked from an earlier
// attempt; false, with a notice, when it stays.
bool archive_removed() {
    if (file_check("1.12.2.zip")) shell("del 1.12.2.zip");
    if (!file_check("1.12.2.zip")) return true;
    mes("无法删除 1.12.2.zip，它可能正被其他程序使用。请删除它后重试。", title);
    return false;
}

// Downloads the archive and extracts it into the server folder until the
// server folder holds eula.txt and the jar. False, after a notice, when
// another try cannot mend what stands in the way: the archive's SHA-256
// setting is not one, a folder where the archive goes, a file where the
// server folder goes, a staging folder that cannot be made, a server folder
// that cannot receive the server.
bool fetch() {
    // Nothing fetched could pass a check that cannot be made.
    if (std::string fault = pin_fault(archive_pin, "1.12.2.zip"); !fault.empty()) {
        mes(fault, title);
        return false;
    }
    int wait = first_wait;
    const std::vector<std::string> hosts = sites();
    for (;;) {
        if (folder_check("1.12.2.zip")) {
            mes("1.12.2.zip 是一个文件夹，无法下载。请删除它后重试。", title);
            return false;
        }
        if (file_check("1.12.2") && !folder_check("1.12.2")) {
            mes("1.12.2 是一个文件，无法把服务器解压到这里。请删除它后重试。", title);
            return false;
        }
        if (!archive_removed() || !clear_stage(title)) return false;
        // Each site in turn, the next at once, below the last one's failure;
        // the pause only once every site has failed.
        for (size_t at = 0;;) {
            if (at == 0) installing();
            if (file_check("1.12.2.zip")) break;
            std::int64_t had = file_size(partial);
            trying(hosts, at);
            downloads(".\\", archive_address(hosts[at]), "1.12.2.zip");
            if (verified("1.12.2.zip", partial, archive_pin)) continue;
            if (!archive_removed()) return false;
            // An attempt that brought bytes met a link that drops, not a site
            // that does not answer: the pauses start over at the first.
            if (file_size(partial) > had) wait = first_wait;
            if (++at < hosts.size()) continue;
            at = 0;
            back_off(wait);
        }
        installing();
        extraction how = extract(title);
        if (how != extraction::again) return how == extraction::done;
        back_off(wait);
    }
}

// True when text holds nothing but blanks and tabs.
bool blank_text(const std::string& text) {
    return text.find_first_not_of(" \t") == std::string::npos;
}

// Whether a Java other than 8, or a 32-bit one, is to be used anyway.
bool accepted(int major, bool wide) {
    if (major >= 0 && major != 8 &&
        !mes_yes_no("找到的 Java 版本是 " + int_string(major) +
                        "，此服务器需要 Java 8。仍要使用这个 Java 吗？",
                    title))
        return false;
    return wide ||
           mes_yes_no("这是 32 位的 Java，服务器最多只能使用约 1 GB 内存。仍要使用这个 Java 吗？",
                      title);
}

// Asks for the path of Java until an answer runs and is accepted, and keeps it
// in java as typed; the Javas found on the machine are listed first, and a
// number chooses one of them. Each typed answer runs as the list's Javas ran,
// with " -XshowSettings:properties -version", in the server folder, where
// the start runs it, and its user sees which Java it is. Without a 64-bit
// Java 8 on the machine, one is offered for download first. False at end of
// input.
bool choose_java() {
    shell("cls");
    std::vector<java_found> found = find_javas();
    java_found got;
    if (java8_installed(found, got, title)) {
        if (accepted(got.major, got.wide)) {
            java = word(got.path);
            return true;
        }
        found.push_back(got);
        order(found);
    }
    print(list_text(found));
    for (;;) {
        print("请输入Java(Java8)的路径(java.exe):");
        java = cin_space();
        // The reader skips empty lines: nothing read is the end of input.
        if (java.empty()) return false;
        // cmd's echo of nothing but blanks writes its own status line instead:
        // a Java command file holding that would run it as a command.
        if (blank_text(java)) {
            print("请输入Java的路径。\n");
            continue;
        }
        int chosen = pick(java, found.size());
        if (chosen < 0) {
            print("列表中没有编号 " + del_space(java) +
                  "。请输入列表中的编号，或 java.exe 的路径。\n");
            continue;
        }
        if (chosen > 0) {
            const java_found& one = found[chosen - 1];
            if (!accepted(one.major, one.wide)) continue;
            java = word(one.path);
            return true;
        }
        if (std::string bad = unusable_character(java, true); !bad.empty()) {
            print("输入的内容中含有" + bad + "，无法保存为Java命令。请重新输入。\n");
            continue;
        }
        std::string printed;
        bool inside = enter("1.12.2");
        int status = shell_output(java + " -XshowSettings:properties -version", printed);
        if (inside) enter(vellomar);
        if (status != 0) {
            print("无法运行 " + java + "：找不到该程序，或它不是可运行的 Java。请重新输入。\n");
            continue;
        }
        java_found typed;
        read_settings(printed, typed);
        if (accepted(typed.major, typed.wide)) return true;
    }
}

// Appends java to the Java command file with the echo form, as its first line:
// the file goes first when replace is set, or when its first line holds no
// command (left by an installation cut short), since the start reads the
// first line that is not empty. Nothing reads the lines after it, which go
// with the file. Empty when saved; otherwise what went wrong, and a line
// written only in part (the disk full) goes with the file.
std::string save_java(bool replace) {
    if (file_check(java_file) && !folder_check(java_file) && (replace || !java_saved())) {
        shell("del " + java_file);
        if (file_check(java_file)) return "无法删除旧的Java命令文件";
    }
    shell("echo " + java + " >> " + java_file);
    std::string line;
    if (java_line(java_file, line) && del_space(line) == del_space(java)) return {};
    shell("del " + java_file);
    return "无法把Java的路径写入Java命令文件（磁盘可能已满）";
}

// Asks for the path of Java and makes it the Java command file's first line.
void ask_java() {
    if (choose_java())
        if (std::string why = save_java(true); !why.empty())
            mes(why + "，安装尚未完成。请稍后按1完成安装。", title);
    shell("cls");
}

// Asks for the path of Java again and makes the answer the Java command
// file's first line. Called by the start, with the server folder current.
void reset_java() {
    if (!enter(vellomar)) {
        mes("无法进入工作文件夹 vellomar，Java的路径没有更改。", title);
        return;
    }
    color("yellow");
    if (choose_java())
        if (std::string why = save_java(true); !why.empty())
            mes(why + "，Java的路径没有更改。", title);
    shell("cls");
}

void install() {
    shell("cls");
    banner();
    color("skyblue");
    print("可下载的服务器列表:\n");
    color("red");
    print("1");
    color("green");
    print(":");
    color("blue");
    print("1.12.2");
    color("yellow");
    print("高配服务t器\n");
    print("请选择要安装的服务器编号(红色的那个数字):");
    server = del_space(cin_space());
    if (server != "1") {
        shell("cls");
        return;
    }
    bool cut_short = sweep_stage();
    if (complete()) {
        mes("您已安装了此服务器", title);
        return;
    }
    if (std::string why = blocked(); !why.empty()) {
        mes(why, title);
        return;
    }
    // An installation cut short is finished from where it stopped: a server
    // already extracted is kept as it is, eula.txt included, which its user
    // may have changed; an extraction cut short is done again.
    if ((cut_short || !extracted()) && !fetch()) return;
    ask_java();
}

// A crashed server is started again after a countdown of this many seconds,
// unless it crashed less than crash_window seconds after its previous crash.
const int restart_countdown = 10;
const int crash_window = 60;

// The countdown and the window in seconds: restart_countdown and
// crash_window, or for the tests alone, the two numbers that
// VELLOMAR_TEST_RESTART holds ("COUNTDOWN WINDOW"), so that each restart
// does not cost them the full wait.
std::pair<int, int> restart_times() {
    std::pair<int, int> times{restart_countdown, crash_window};
    if (const char* given = std::getenv("VELLOMAR_TEST_RESTART")) {
        std::pair<int, int> read;
        if (std::sscanf(given, "%d %d", &read.first, &read.second) == 2 && read.first > 0 &&
            read.second >= 0)
            times = read;
    }
    return times;
}

// Counts down the seconds on one line; false when a key cut it short.
bool count_down(int seconds) {
    drop_keys();
    for (int left = seconds; left > 0; --left) {
        // The blank covers the last digit of a longer number before it.
        print("\r服务器将在 " + int_string(left) + " 秒后重新启动，按任意键取消。 ");
        if (key_within(1000)) {
            print("\n");
            return false;
        }
    }
    print("\n");
    return true;
}

// Runs the server with the Java command, after the checks before a start,
// the backup and the line saying where friends connect; false when it did
// not run.
bool run_server(found_cause& found) {
    std::string printed;
    if (shell_output(java + " -version", printed) != 0) {
        if (mes_yes_no("服务器无法启动：无法运行保存的Java命令 " + del_space(java) +
                           failed_java(java, printed) + "。要重新设置Java的路径吗？",
                       title))
            reset_java();
        return false;
    }
    if (!may_start(title) || !back_up_world(title)) return false;
    std::string properties;
    read_head("server.properties", properties);
    color("skyblue");
    print(where_to_connect(own_addresses(), property(properties, "server-ip"),
                           server_port(properties)));
    color("white");
    shell("title 服务器正在运行");
    traces before = traces_now();
    std::string errors;
    int status = shell_errors(java + " -jar spigot-1.12.2.jar", errors);
    found = explain(before, status, errors, newest_backup());
    return true;
}

void start() {
    shell("cls");
    color("red");
    if (file_check("1.12.2")) color("green");
    print("1.启动1.12.2服务器\n");
    color("yellow");
    print("请输入要启动的服务器的编号:");
    server = del_space(cin_space());
    if (server != "1") return;
    if (!enter("1.12.2")) {
        mes("服务器尚未安装，无法启动。请先按1安装服务器。", title);
        return;
    }
    auto [countdown, window] = restart_times();
    long long crashed = 0;
    for (bool again = false;; again = true) {
        // The command is read from the file without taking standard input
        // from the keyboard: later prompts and the server's console still
        // read it.
        if (!java_line("java", java)) {
            mes("找不到Java命令文件，无法启动服务器。请先按1安装服务器。", title);
            return;
        }
        if (del_space(java).empty()) {
            mes("Java命令文件中没有Java命令，无法启动服务器。请按1完成安装。", title);
            return;
        }
        // A start again keeps the reason for the last end on screen.
        if (!again) shell("cls");
        color("white");
        // A command that cannot run at all would end at once, like a server
        // that has stopped: it is tried first, with its version shown above
        // the server.
        found_cause found;
        if (!run_server(found)) return;
        if (!restarts(found.cause)) break;
        long long now = steady_ms();
        if (again && now - crashed < window * 1000LL) {
            color("yellow");
            print("服务器在上次崩溃后不到 " + int_string(window) +
                  " 秒又崩溃了，不再重新启动：它一直在崩溃，原因见上面的说明。\n");
            break;
        }
        crashed = now;
        color("yellow");
        if (!count_down(countdown)) break;
    }
    mes("服务器已关闭!", title);
}

// What a second launcher says, leaving the working folder to the first.
const std::string busy = "启动文件夹中已有另一个启动器正在运行，请先关闭它再启动本程序。\n";

} // namespace

int main() {
    // Checked before anything is made: every path below is composed from it.
    std::string folder = get_cd();
    if (folder.empty()) {
        print("无法读取启动文件夹的路径，程序无法运行。\n");
        return 1;
    }
    if (std::string bad = unusable_character(folder); !bad.empty()) {
        print("启动文件夹的路径中含有" + bad +
              "，本程序无法使用此路径。请在路径中不含该字符的文件夹中启动本程序。\n");
        return 1;
    }
    if (std::string why = start_refusal(folder); !why.empty()) {
        print(why);
        return 1;
    }
    // The working folder is held for the whole run: two launchers in it would
    // each take the other's downloads and extractions for leftovers.
    int held = hold_folder(vellomar);
    if (held == 0) {
        print(busy);
        return 1;
    }
    // A screen of its own, as a console window opened for the program: the
    // first menu is drawn on an empty screen, and the user's comes back at
    // the end, however it comes.
    own_screen(true);
    for (;;) {
        shell("title " + title);
        setpos(0, 0);
        banner();
        color("yellow");
        print("按1下载服务器\n");
        print("按2启动服务器\n");
        print("按3返回\n");
        int key = get_key();
        if (key < 0) return 0; // end of input: nobody is left to answer
        a = static_cast<char>(key);
        if (!file_check(vellomar)) make_folder(word(vellomar));
        bool usable = enter(vellomar);
        if (usable && held != 1) {
            held = hold_folder(vellomar);
            if (held == 0) {
                own_screen(false); // the message stays on the user's screen
                print(busy);
                return 1;
            }
            usable = held == 1;
        }
        if (a == '3') return 0;
        // Without the working folder the flows would work wherever the
        // current directory happens to be.
        if (!usable && (a == '1' || a == '2')) {
            mes("无法创建或进入工作文件夹 vellomar。请确认启动文件夹中没有名为 vellomar "
                "的文件，并且启动文件夹可以写入。",
                title);
            continue;
        }
        if (a == '1') install();
        if (a == '2') start();
    }
}
