#include "java8.h"

#include "sites.h"
#include "util/archive.h"
#include "util/console.h"
#include "util/dialogs.h"
#include "util/files.h"
#include "util/shell.h"

#include <algorithm>

namespace {

const std::string folder = downloaded_javas;
const std::string archive = downloaded_archive;
// Where the Linux download keeps the bytes of an attempt that broke off, for
// the next to continue (posix/fetch.h).
const std::string partial = "." + archive + ".partial";

const std::string offer =
    "没有找到 64 位的 Java 8。要从分发站点下载 Java 8（64 位）吗？下载约 40 MB，"
    "放在工作文件夹 vellomar 的 java8 文件夹中，不会更改电脑上的其他任何东西。";

// Removes what name is, a file or a folder with all it holds; true when it
// is gone.
bool removed(const std::string& name) {
    kind what = file_kind(name);
    if (what == kind::none) return true;
    if (what == kind::folder)
        del_folder(name);
    else
        shell("del " + name);
    return file_kind(name) == kind::none;
}

// Removes what an attempt left, the archive and the folder; false, with a
// notice, when one stays.
bool cleared(const std::string& title) {
    for (const std::string& name : {archive, folder})
        if (!removed(name)) {
            mes("无法删除工作文件夹中的 " + name + "，它可能正被其他程序使用。请删除它后重试。",
                title);
            return false;
        }
    return true;
}

// Checks the Java at path as the list checks every Java; true, with got
// filled in, when it ran and said which it is.
bool runs(const std::string& path, java_found& got) {
    std::vector<java_run> run = check_javas({path}, java_time_limit);
    got = java_found{};
    got.path = path;
    return run.size() == 1 && run[0].ended && read_settings(run[0].printed, got);
}

// Downloads the archive from site and installs it: empty when the Java it
// brought runs, in got; otherwise why not, in a few words.
std::string attempt(const std::string& site, java_found& got) {
    downloads(".\\", java_address(site), archive);
    if (!file_check(archive)) return "下载失败";
    if (!verified(archive, partial, java_pin)) return "下载的文件与发布的不同";
    unzip(archive, ".\\" + folder);
    std::string path = java_in(folder);
    if (path.empty()) {
        print(archive + " 中没有 Java：其中应只有一个文件夹，Java 的程序在它的 bin 文件夹中。\n");
        return "压缩文件中没有 Java";
    }
    if (!runs(path, got)) {
        print(path + " 无法运行，或没有说明它的版本。\n");
        return "其中的 Java 无法运行";
    }
    return {};
}

} // namespace

std::string java_in(const std::string& folder) {
    std::vector<std::string> names, entries;
    get_file_names(folder, names, "");
    for (const std::string& name : names)
        if (std::string last = name.substr(folder.size() + 1); last != "." && last != "..")
            entries.push_back(name);
    if (entries.size() != 1 || file_kind(entries[0]) != kind::folder) return {};
    std::string home = entries[0];
#ifndef _WIN32
    std::replace(home.begin(), home.end(), '\\', '/');
#endif
    return java_of(home);
}

bool java8_installed(const std::vector<java_found>& found, java_found& got,
                     const std::string& title) {
    auto wide_java8 = [](const java_found& one) { return one.major == 8 && one.wide; };
    if (std::any_of(found.begin(), found.end(), wide_java8)) return false;
    // One installed before that runs is listed already, and the same
    // download would only bring it again.
    std::string ours = java_in(folder);
    auto listed = [&](const java_found& one) { return one.path == ours; };
    if (!ours.empty() && std::any_of(found.begin(), found.end(), listed)) return false;
    if (!mes_yes_no(offer, title)) return false;
    // Nothing fetched could pass a check that cannot be made.
    if (std::string fault = pin_fault(java_pin, archive); !fault.empty()) {
        mes(fault, title);
        return false;
    }
    shell("cls");
    print("正在下载 Java 8（64 位）……\n");
    const std::vector<std::string> hosts = sites();
    std::string failed;
    for (size_t at = 0; at < hosts.size(); ++at) {
        if (!cleared(title)) return false;
        trying(hosts, at);
        std::string why = attempt(hosts[at], got);
        if (why.empty()) {
            // The archive goes last: while it is there, the search takes the
            // folder for an installation cut short.
            if (!removed(archive)) print("无法删除 " + archive + "，请删除它。\n");
            print("Java 已安装：" + got.path + "\n");
            return true;
        }
        failed += (failed.empty() ? "" : "；") + (hosts.size() > 1 ? hosts[at] + "：" : "") + why;
    }
    removed(archive);
    removed(folder);
    mes("没能下载 Java 8（" + failed +
            "）。请自行安装 Java 8（64 位）后输入它的 java.exe 的路径，或输入已有的 java.exe "
            "的路径。",
        title);
    return false;
}
