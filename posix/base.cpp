#include "base.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <unistd.h>

bool blank(char c) {
    return c == ' ' || c == '\t';
}

std::string native(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string sibling(std::string_view name) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof self)) return {};
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1).append(name);
}

int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

void say(std::string_view text) {
    std::string line(text);
    line += '\n';
    write_all(STDERR_FILENO, line);
}

namespace {

// What the user reads for a system error number: cmd's words, and the
// PowerShell stand-in's. Null where that tool has no words of its own for the
// number and says what it says for any other.
struct wording {
    int err;
    const char* cmd;
    const char* powershell;
};

constexpr wording table[] = {
    {ENOSPC, "磁盘空间不足", "磁盘空间不足"},
    {EDQUOT, "磁盘空间不足", "磁盘空间不足"},
    {EFBIG, "磁盘空间不足", "磁盘空间不足"},
    {EACCES, "拒绝访问", "拒绝访问"},
    {EPERM, "拒绝访问", "拒绝访问"},
    {EROFS, "拒绝访问", "拒绝访问"},
    {EBUSY, "拒绝访问", "拒绝访问"},
    {ENAMETOOLONG, "文件名、目录名或卷标语法不正确", "名称过长"},
    {EINVAL, "文件名、目录名或卷标语法不正确", nullptr},
    {EILSEQ, nullptr, "名称无法转换"},
    {ENOENT, "系统找不到指定的路径", "路径不存在"},
    {ENOTDIR, "系统找不到指定的路径", "路径中的一项不是文件夹"},
    {ENOTEMPTY, "目录不是空的", "同名的文件或文件夹已存在"},
    {EISDIR, nullptr, "同名的文件或文件夹已存在"},
    {EEXIST, nullptr, "同名的文件或文件夹已存在"},
    {ELOOP, nullptr, "经过的链接过多"},
    {EIO, nullptr, "磁盘读写出错"},
    {ENOMEM, nullptr, "内存不足"},
    {EMFILE, nullptr, "打开的文件过多"},
    {ENFILE, nullptr, "打开的文件过多"},
};

const wording* row(int err) {
    auto it = std::find_if(std::begin(table), std::end(table),
                           [err](const wording& w) { return w.err == err; });
    return it == std::end(table) ? nullptr : it;
}

} // namespace

std::string words_for(int err, std::string_view otherwise) {
    const wording* w = row(err);
    if (w && w->powershell) return w->powershell;
    return otherwise.empty() ? "系统错误 " + std::to_string(err) : std::string(otherwise);
}

std::string cmd_words(int err) {
    const wording* w = row(err);
    return std::string(w && w->cmd ? w->cmd : "系统找不到指定的路径") + "。";
}
