#include "unpack.h"

#include "base.h"
#include "beside.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <locale.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Entry names are converted to UTF-8 whatever the process's locale: libarchive
// converts to the current thread's character set.
struct utf8_names {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    locale_t old = utf8 ? uselocale(utf8) : nullptr;
    ~utf8_names() {
        if (utf8) {
            uselocale(old);
            freelocale(utf8);
        }
    }
};

using reader = std::unique_ptr<archive, int (*)(archive*)>;

// The user's words for a system error number; otherwise for a number that
// has none of its own (a generic number for it when otherwise is empty).
std::string why(int err, const std::string& otherwise = "") {
    switch (err) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return "磁盘空间不足";
    case EACCES:
    case EPERM:
    case EROFS:
        return "拒绝访问";
    case ENAMETOOLONG:
        return "名称过长";
    case EILSEQ:
        return "名称无法转换";
    case ENOENT:
        return "路径不存在";
    case ENOTDIR:
        return "路径中的一项不是文件夹";
    case EISDIR:
    case EEXIST:
    case ENOTEMPTY:
        return "同名的文件或文件夹已存在";
    case ELOOP:
        return "经过的链接过多";
    case EIO:
        return "磁盘读写出错";
    case ENOMEM:
        return "内存不足";
    case EMFILE:
    case ENFILE:
        return "打开的文件过多";
    default:
        return otherwise.empty() ? "系统错误 " + std::to_string(err) : otherwise;
    }
}

// What went wrong in a libarchive handle, in the user's words: the system's
// error by its words, otherwise for libarchive's own errors, which carry no
// system error number. Its English text is never shown.
std::string library_error(archive* a, const std::string& otherwise) {
    int err = archive_errno(a);
    return err > 0 ? why(err, otherwise) : otherwise;
}

// libarchive's number for a file that is not what the reader expects (a
// format error), which is EILSEQ where EFTYPE is not defined.
constexpr int format_errno = EILSEQ;

// True when the file ends as a zip archive does, with the record that ends its
// central directory: a damaged archive does, one cut short does not.
bool ends_whole(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return true;
    // The record is 22 bytes, followed by a comment of at most 65535.
    off_t size = std::min<off_t>(st.st_size, 22 + 65535);
    std::vector<char> tail(static_cast<size_t>(size));
    if (pread(fd, tail.data(), tail.size(), st.st_size - size) != size) return true;
    const char record[] = {'P', 'K', 5, 6};
    return std::search(tail.begin(), tail.end(), record, record + 4) != tail.end();
}

// Why reading the archive failed: the system's error, or the archive is cut
// short or damaged. fd is the archive's file, name the entry being read or empty.
std::string unreadable(const std::string& zip, int fd, archive* in, const std::string& name) {
    int err = archive_errno(in);
    std::string entry = name.empty() ? "" : "（" + name + "）";
    if (err > 0 && err != format_errno && err != EINVAL)
        return "无法读取压缩文件 " + zip + entry + "：" + why(err);
    return "压缩文件 " + zip + (ends_whole(fd) ? " 已损坏" : " 不完整") + entry;
}

// The entry's name as a path relative to the destination, or empty when the
// name would leave it. Backslashes separate folders, as Windows tools write them.
bool clean_name(std::string name, fs::path& out) {
    for (char& c : name)
        if (c == '\\') c = '/';
    if (name.empty() || name[0] == '/') return false;
    out.clear();
    size_t start = 0;
    bool first = true;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(start, end - start);
        if (part == "..") return false;
        // A drive letter makes the name absolute on Windows.
        if (first && part.size() >= 2 && part[1] == ':') return false;
        if (!part.empty() && part != ".") {
            out /= part;
            first = false;
        }
        start = end + 1;
    }
    return true;
}

// The links an archive makes: each link's name relative to the destination,
// with its target as written.
using link_map = std::map<std::string, std::string>;

// The most links followed on the way to one target, as the system bounds them.
constexpr int most_hops = 40;

// Where a link leads, followed through the links the archive makes.
enum class leads { inside, outside, loop };

// Puts the parts of a name written with slashes in front of todo, dropping
// empty parts and ".".
void push_front(std::deque<std::string>& todo, const std::string& name) {
    size_t end = name.size();
    while (end > 0) {
        size_t start = name.rfind('/', end - 1);
        start = start == std::string::npos ? 0 : start + 1;
        std::string part = name.substr(start, end - start);
        if (!part.empty() && part != ".") todo.push_front(part);
        end = start > 0 ? start - 1 : 0;
    }
}

// Resolves the link at name part by part, as the system will, through every
// link of the archive on the way, whether or not the end exists. A target
// that starts with a separator is absolute on one system or the other.
leads follow(const link_map& links, const fs::path& name) {
    std::vector<std::string> at; // the folders passed so far, from the destination down
    std::deque<std::string> todo;
    push_front(todo, name.generic_string());
    int hops = 0;
    while (!todo.empty()) {
        std::string part = std::move(todo.front());
        todo.pop_front();
        if (part == "..") {
            if (at.empty()) return leads::outside;
            at.pop_back();
            continue;
        }
        at.push_back(std::move(part));
        std::string path;
        for (const auto& folder : at)
            path += (path.empty() ? "" : "/") + folder;
        auto link = links.find(path);
        if (link == links.end()) continue;
        if (++hops > most_hops) return leads::loop;
        at.pop_back();
        const std::string& target = link->second;
        if (target.empty() || target[0] == '/' || target[0] == '\\') return leads::outside;
        push_front(todo, target);
    }
    return leads::inside;
}

// Why a link that does not lead inside is refused.
std::string refusal(leads where) {
    return where == leads::loop ? "链接过多或成环" : "链接指向目标文件夹之外";
}

// A file descriptor, closed when it goes.
struct closing {
    int fd;
    ~closing() {
        if (fd >= 0) close(fd);
    }
};

// Makes a folder current for as long as it lives. Entries are written by
// names relative to it, which spares a look at every folder above on each
// entry's way down.
struct inside {
    int back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool entered;
    explicit inside(const fs::path& folder) : entered(back >= 0 && chdir(folder.c_str()) == 0) {}
    ~inside() {
        if (back < 0) return;
        // Should the folder we came from be gone, there is nothing better to go back to.
        int failed = fchdir(back);
        (void)failed;
        close(back);
    }
};

// Reads every entry of the archive into the empty folder stage.
bool extract_into(const std::string& zip, const fs::path& stage) {
    reader in(archive_read_new(), archive_read_free);
    archive_read_support_format_zip(in.get());
    archive_read_set_options(in.get(), "zip:hdrcharset=CP936");
    // Opened here, and read by descriptor: the names below are relative to
    // the staging folder, which becomes current.
    closing zip_file{open(zip.c_str(), O_RDONLY | O_CLOEXEC)};
    int file = zip_file.fd;
    if (file < 0) {
        say("无法打开压缩文件 " + zip + "：" + why(errno));
        return false;
    }
    if (archive_read_open_fd(in.get(), file, 10240) != ARCHIVE_OK) {
        int err = archive_errno(in.get());
        say("无法打开压缩文件 " + zip + "：" +
            (err > 0 && err != format_errno ? why(err) : "不是zip压缩文件"));
        return false;
    }
    inside here(stage);
    if (!here.entered) {
        say("无法解压到 " + stage.parent_path().string() + "：" + why(errno));
        return false;
    }
    reader out(archive_write_disk_new(), archive_write_free);
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME |
                                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT);

    link_map links;
    for (;;) {
        archive_entry* entry;
        int r = archive_read_next_header(in.get(), &entry);
        if (r == ARCHIVE_EOF) break;
        // A warning here is a name (or a link's target) in no character set
        // the archive could be in; anything else is damage.
        if (r == ARCHIVE_WARN &&
            (!archive_entry_pathname(entry) ||
             (archive_entry_filetype(entry) == AE_IFLNK && !archive_entry_symlink(entry)))) {
            say("无法解压 " + zip + " 中的条目：名称无法转换");
            return false;
        }
        if (r != ARCHIVE_OK) {
            say(unreadable(zip, file, in.get(), ""));
            return false;
        }
        const char* raw = archive_entry_pathname(entry);
        std::string name = raw ? raw : "";
        fs::path rel;
        if (!clean_name(name, rel)) {
            say("拒绝解压 " + name + "：路径会落在目标文件夹之外");
            return false;
        }
        if (rel.empty()) continue;
        auto type = archive_entry_filetype(entry);
        // Nothing is written through a link of the archive, nor over one but
        // by another link.
        for (fs::path up = type == AE_IFLNK ? rel.parent_path() : rel; !up.empty();
             up = up.parent_path())
            if (links.count(up.generic_string())) {
                say("拒绝解压 " + name + "：路径经过压缩文件中的链接");
                return false;
            }
        if (archive_entry_hardlink(entry) ||
            (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK)) {
            say("拒绝解压 " + name + "：不是普通文件或文件夹");
            return false;
        }
        if (archive_entry_is_encrypted(entry)) {
            say("无法解压 " + name + "：条目已加密");
            return false;
        }
        if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            links[rel.generic_string()] = target ? target : "";
            if (leads where = follow(links, rel); where != leads::inside) {
                say("拒绝解压 " + name + "：" + refusal(where));
                return false;
            }
        }
        archive_entry_copy_pathname(entry, rel.c_str());
        if (archive_write_header(out.get(), entry) != ARCHIVE_OK) {
            say("无法解压 " + name + "：" + library_error(out.get(), "无法创建"));
            return false;
        }
        if (type == AE_IFREG) {
            const void* block;
            size_t size;
            la_int64_t offset;
            while ((r = archive_read_data_block(in.get(), &block, &size, &offset)) == ARCHIVE_OK) {
                if (archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) {
                    say("无法解压 " + name + "：" + library_error(out.get(), "无法写入"));
                    return false;
                }
            }
            // A CRC or size mismatch comes back as a warning: the entry is damaged.
            if (r != ARCHIVE_EOF) {
                say(unreadable(zip, file, in.get(), name));
                return false;
            }
        }
        if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) {
            say("无法解压 " + name + "：" + library_error(out.get(), "无法写入"));
            return false;
        }
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK) {
        say("无法解压到 " + stage.parent_path().string() + "：" +
            library_error(out.get(), "无法设置文件夹的属性"));
        return false;
    }
    // Each link was checked as it came; a later link on its way can still
    // turn it outward, so each is followed again through all of them.
    for (const auto& link : links)
        if (leads where = follow(links, link.first); where != leads::inside) {
            say("拒绝解压 " + link.first + "：" + refusal(where));
            return false;
        }
    return true;
}

// Where staging and destination disagree on what a name is (a folder against
// a file or link), the extraction cannot replace it.
bool clashes(const fs::path& stage, const fs::path& dest, std::string& clash) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(stage, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::path rel = it->path().lexically_relative(stage);
        auto there = fs::symlink_status(dest / rel, ec);
        if (ec || !fs::exists(there)) {
            ec.clear();
            if (it->is_directory() && !it->is_symlink()) it.disable_recursion_pending();
            continue;
        }
        bool dir_here = it->is_directory() && !it->is_symlink();
        bool dir_there = fs::is_directory(there);
        if (dir_here != dir_there) {
            clash = rel.string();
            return true;
        }
    }
    return ec.value() != 0;
}

// Moves what the staging folder holds into dest, folder by folder.
bool move_into(const fs::path& stage, const fs::path& dest) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(stage, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        fs::path there = dest / it->path().filename();
        if (it->is_directory() && !it->is_symlink() &&
            fs::is_directory(fs::symlink_status(there))) {
            if (!move_into(it->path(), there)) return false;
        } else if (std::rename(it->path().c_str(), there.c_str()) != 0) {
            say("无法替换 " + there.string() + "：" + why(errno));
            return false;
        }
    }
    return !ec;
}

} // namespace

int expand(const std::string& zip, const std::string& dest_name) {
    utf8_names names;
    std::error_code ec;
    if (!fs::is_regular_file(zip, ec)) {
        say("找不到路径“" + zip + "”，因为该路径不存在。");
        return 1;
    }
    fs::path dest = fs::absolute(dest_name, ec).lexically_normal();
    if (dest.has_filename() == false) dest = dest.parent_path();
    auto st = fs::symlink_status(dest, ec);
    if (fs::exists(st) && !fs::is_directory(st)) {
        say("无法解压到 " + dest_name + "：它不是文件夹");
        return 1;
    }
    bool existed = fs::exists(st);
    if (existed && access(dest.c_str(), W_OK) != 0) {
        say("无法解压到 " + dest_name + "：拒绝访问");
        return 1;
    }
    fs::path parent = dest.parent_path();
    if (!fs::exists(parent, ec) && (fs::create_directories(parent, ec), ec)) {
        say("无法创建文件夹 " + parent.string() + "：" + why(ec.value()));
        return 1;
    }
    // dest is absolute, and so the staging folder's name, which stays right
    // while the extraction works inside it.
    beside staging(dest, "extract", true);
    if (!staging.made()) {
        say("无法解压到 " + dest_name + "：" + why(staging.error()));
        return 1;
    }
    fs::path stage = staging.name();
    bool ok = extract_into(zip, stage);
    std::string clash;
    if (ok && existed && clashes(stage, dest, clash)) {
        say("无法解压到 " + dest_name + "：" +
            (clash.empty() ? "无法读取目标文件夹" : clash + " 已存在且类型不同"));
        ok = false;
    }
    if (ok) {
        // A missing or empty destination is replaced in one step.
        if (!existed || fs::is_empty(dest, ec))
            ok = staging.commit() == 0 || move_into(stage, dest);
        else
            ok = move_into(stage, dest);
    }
    // What is left of the staging folder goes with it.
    return ok ? 0 : 1;
}

namespace {

bool add(archive* out, const fs::path& path, const std::string& name) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        say("无法读取 " + path.string() + "：" + why(errno));
        return false;
    }
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(),
                                                                   archive_entry_free);
    archive_entry_copy_stat(entry.get(), &st);
    archive_entry_copy_pathname(entry.get(), name.c_str());
    if (S_ISLNK(st.st_mode)) {
        std::error_code ec;
        archive_entry_copy_symlink(entry.get(), fs::read_symlink(path, ec).c_str());
    } else if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        return true; // devices, pipes and sockets have no place in a zip
    }
    if (archive_write_header(out, entry.get()) != ARCHIVE_OK) {
        say("无法压缩 " + path.string() + "：" + library_error(out, "名称无法转换"));
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            say("无法读取 " + path.string() + "：" + why(errno));
            return false;
        }
        std::vector<char> buf(1 << 20);
        ssize_t n;
        while ((n = read(fd, buf.data(), buf.size())) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0 && archive_write_data(out, buf.data(), static_cast<size_t>(n)) != n) {
                close(fd);
                say("无法压缩 " + path.string() + "：" + library_error(out, "无法写入"));
                return false;
            }
        }
        int err = errno;
        close(fd);
        if (n < 0) {
            say("无法读取 " + path.string() + "：" + why(err));
            return false;
        }
    }
    if (S_ISDIR(st.st_mode)) {
        std::vector<fs::path> children;
        std::error_code ec;
        for (auto it = fs::directory_iterator(path, ec); !ec && it != fs::directory_iterator();
             it.increment(ec))
            children.push_back(it->path());
        if (ec) {
            say("无法读取 " + path.string() + "：" + why(ec.value()));
            return false;
        }
        std::sort(children.begin(), children.end());
        for (const auto& child : children)
            if (!add(out, child, name + "/" + child.filename().string())) return false;
    }
    return true;
}

} // namespace

int compress(const std::string& src, const std::string& dest) {
    utf8_names names;
    std::error_code ec;
    fs::path from = fs::path(src).lexically_normal();
    if (!fs::exists(fs::symlink_status(from, ec))) {
        say("找不到路径“" + src + "”，因为该路径不存在。");
        return 1;
    }
    if (fs::exists(fs::symlink_status(dest, ec))) {
        say("存档文件 " + dest +
            " 已存在。请使用 -Update 参数更新现有存档文件，或使用 -Force 参数覆盖现有存档文件。");
        return 1;
    }
    beside file(fs::absolute(dest, ec), "part");
    if (!file.made()) {
        say("无法创建 " + dest + "：" + why(file.error()));
        return 1;
    }
    reader out(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(out.get());
    archive_write_set_options(out.get(), "zip:compression=deflate,zip:hdrcharset=UTF-8");
    bool ok = archive_write_open_fd(out.get(), file.fd()) == ARCHIVE_OK;
    if (!ok) say("无法写入 " + dest + "：" + library_error(out.get(), "无法打开文件"));
    std::string name = fs::absolute(from, ec).lexically_normal().filename().string();
    if (name.empty())
        name = fs::absolute(from, ec).lexically_normal().parent_path().filename().string();
    ok = ok && add(out.get(), from, name);
    if (ok && archive_write_close(out.get()) != ARCHIVE_OK) {
        say("无法写入 " + dest + "：" + library_error(out.get(), "压缩文件没有写完整"));
        ok = false;
    }
    out.reset();
    // Flushed to disk before it takes its name: a full disk shows here, and
    // is said, rather than leaving a truncated archive behind.
    if (int err = ok ? file.commit() : 0) {
        say("无法写入 " + dest + "：" + why(err));
        ok = false;
    }
    return ok ? 0 : 1;
}
