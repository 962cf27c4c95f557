#include "install.h"

#include "util/archive.h"
#include "util/console.h"
#include "util/dialogs.h"
#include "util/files.h"
#include "util/shell.h"

namespace {

// The server folder, and the folder the archive is extracted into first,
// which becomes the server folder, or gives what the server folder lacks;
// both in the working folder.
const std::string server = "1.12.2";
const std::string stage = ".1.12.2.new";

// The files an extraction must leave, and the launcher's own Java command file.
const char* const needed[] = {"eula.txt", "spigot-1.12.2.jar"};
const std::string java = "java";

// What is wrong with name in folder for a file the server needs; empty when it
// is a file.
std::string fault(const std::string& folder, const std::string& name) {
    switch (file_kind(folder + "\\" + name)) {
    case kind::file:
        return {};
    case kind::none:
        return "缺少 " + name;
    case kind::folder:
        return name + " 是一个文件夹";
    case kind::broken:
        return name + " 是一个指向不存在位置的链接";
    default:
        return name + " 不是普通文件";
    }
}

// What is wrong with the files the server needs in folder, joined; empty
// when nothing is.
std::string faults(const std::string& folder) {
    std::string out;
    for (const char* name : needed)
        if (std::string one = fault(folder, name); !one.empty())
            out += (out.empty() ? "" : "，") + one;
    return out;
}

// Says why the extraction in folder cannot be used; empty when it can. The
// archive may not bring the Java command file, which is the launcher's.
std::string unusable(const std::string& folder) {
    if (file_kind(folder + "\\" + java) != kind::none)
        return "压缩文件中有名为 java "
               "的项，它会占用启动器保存Java命令的文件，已拒绝使用此压缩文件。\n";
    std::string wrong = faults(folder);
    return wrong.empty() ? wrong : "解压后的服务器不完整：" + wrong + "。\n";
}

} // namespace

std::string blocked() {
    if (file_kind(server) == kind::broken)
        return server + " 是一个指向不存在位置的链接，无法把服务器解压到这里。请删除它后重试。";
    if (file_kind(server) != kind::folder) return {};
    for (const char* name : needed) {
        std::string wrong = fault(server, name);
        if (!wrong.empty() && file_kind(server + "\\" + name) != kind::none)
            return "服务器文件夹中的 " + wrong +
                   "。安装不会替换服务器文件夹中已有的内容，因此无法完成。请删除或改名后重试。";
    }
    if (file_kind(server + "\\" + java) == kind::folder)
        return "服务器文件夹中的 java 是一个文件夹，无法在这里保存Java命令。请删除它后重试。";
    return {};
}

bool sweep_stage() {
    if (file_kind(stage) == kind::none) return false;
    remove_name(stage);
    return true;
}

bool clear_stage(const std::string& caption) {
    sweep_stage();
    if (file_kind(stage) == kind::none) return true;
    mes(stage + " 无法删除，安装要在这里解压服务器。请删除它后重试。", caption);
    return false;
}

extraction extract(const std::string& caption) {
    make_folder(stage);
    if (!folder_check(stage)) {
        remove_name(stage);
        mes("无法创建文件夹 " + stage + "，无法解压服务器。请确认 vellomar 文件夹可以写入后重试。",
            caption);
        return extraction::stopped;
    }
    unzip("1.12.2.zip", ".\\" + stage);
    if (std::string wrong = unusable(stage); !wrong.empty()) {
        remove_name(stage);
        print(wrong);
        return extraction::again;
    }
    // Where the name cannot be given (a file held open in it), the server
    // folder is made and receives what it holds as one already there would.
    if (file_kind(server) == kind::none && move_name(stage, server)) return extraction::done;
    if (file_kind(server) == kind::none) make_folder(server);
    if (!folder_check(server)) {
        remove_name(stage);
        mes("无法创建服务器文件夹 " + server + "。请确认 vellomar 文件夹可以写入后重试。", caption);
        return extraction::stopped;
    }
    // Every file the server folder has is excluded, changed, newer or older:
    // only what it lacks is copied.
    shell("robocopy " + stage + " " + server + " /e /xc /xn /xo /r:0 /w:0 /njh /njs /ndl /nfl /np");
    remove_name(stage);
    std::string missing = faults(server);
    if (missing.empty()) return extraction::done;
    mes("无法把服务器的文件复制到服务器文件夹 " + server + " 中（" + missing +
            "）。请确认该文件夹可以写入后重试。",
        caption);
    return extraction::stopped;
}

bool java_line(const std::string& path, std::string& line) {
    if (!read_line(path, line)) return false;
    if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    return true;
}
