#include "install.h"

#include "util/archive.h"
#include "util/console.h"
#include "util/files.h"
#include "util/shell.h"

namespace {

// The server folder, and the folder a continued installation extracts into
// before it adds what the server folder lacks; both in the working folder.
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

bool extract() {
    if (!file_check(server)) {
        make_folder(server);
        unzip("1.12.2.zip", ".\\" + server);
        std::string wrong = unusable(server);
        if (wrong.empty()) return true;
        // Made just now: all it holds came from this archive.
        del_folder(server);
        print(wrong);
        return false;
    }
    if (file_kind(stage) != kind::none) del_folder(stage);
    unzip("1.12.2.zip", ".\\" + stage);
    std::string wrong = unusable(stage);
    // Every file the server folder has is excluded, changed, newer or older:
    // only what it lacks is copied.
    if (wrong.empty())
        shell("robocopy " + stage + " " + server +
              " /e /xc /xn /xo /r:0 /w:0 /njh /njs /ndl /nfl /np");
    if (file_kind(stage) != kind::none) del_folder(stage);
    if (wrong.empty() && !faults(server).empty())
        wrong = "服务器文件夹不完整：" + faults(server) + "。\n";
    print(wrong);
    return wrong.empty();
}

bool java_line(const std::string& path, std::string& line) {
    if (!read_line(path, line)) return false;
    if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    return true;
}
