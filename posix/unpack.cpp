#include "unpack.h"

#include "base.h"
#include "beside.h"
#include "links.h"
#include "names.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <locale.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using reader = std::unique_ptr<archive, int (*)(archive*)>;

// The user's words for a system error number, as the archive commands say
// them; otherwise for a number that has none of its own.
std::string why(int err, const std::string& otherwise = "") {
    return words_for(err, otherwise);
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

// The archive being read: its name as given, for what is said about it, and
// its file, read by descriptor (whether the file ends whole tells a damaged
// archive from one cut short).
struct source {
    const std::string& zip;
    reader in{archive_read_new(), archive_read_free};
    closing file{-1};
};

// How much of the archive one read takes, as libarchive takes a regular file
// it opens by name. A deflated entry is inflated from what one read brought:
// with less, zlib runs more often, and each run copies up to its 32 KiB
// window again.
constexpr size_t read_block = 64 * 1024;

// Opens the archive for reading; false after saying why it cannot be. It is
// opened here and read by descriptor, as the names written are relative to
// the staging folder, which becomes current.
bool open_source(source& src) {
    src.file.fd = open(src.zip.c_str(), O_RDONLY | O_CLOEXEC);
    if (src.file.fd < 0) {
        say("无法打开压缩文件 " + src.zip + "：" + why(errno));
        return false;
    }
    archive_read_support_format_zip(src.in.get());
    archive_read_set_options(src.in.get(), "zip:hdrcharset=CP936");
    if (archive_read_open_fd(src.in.get(), src.file.fd, read_block) != ARCHIVE_OK) {
        int err = archive_errno(src.in.get());
        say("无法打开压缩文件 " + src.zip + "：" +
            (err > 0 && err != format_errno ? why(err) : "不是zip压缩文件"));
        return false;
    }
    return true;
}

// Why reading the archive failed: the system's error, or the archive is cut
// short or damaged. name is the entry being read, or empty.
std::string unreadable(const source& src, const std::string& name) {
    int err = archive_errno(src.in.get());
    std::string entry = name.empty() ? "" : "（" + name + "）";
    if (err > 0 && err != format_errno && err != EINVAL)
        return "无法读取压缩文件 " + src.zip + entry + "：" + why(err);
    return "压缩文件 " + src.zip + (ends_whole(src.file.fd) ? " 已损坏" : " 不完整") + entry;
}

// Reads the next entry's header into entry, null at the end of the archive.
// False after saying why it cannot be read.
bool next_entry(source& src, archive_entry*& entry) {
    int r = archive_read_next_header(src.in.get(), &entry);
    if (r == ARCHIVE_EOF) {
        entry = nullptr;
        return true;
    }
    // A warning here is a name (or a link's target) in no character set the
    // archive could be in; anything else is damage.
    if (r == ARCHIVE_WARN &&
        (!archive_entry_pathname(entry) ||
         (archive_entry_filetype(entry) == AE_IFLNK && !archive_entry_symlink(entry)))) {
        say("无法解压 " + src.zip + " 中的条目：名称无法转换");
        return false;
    }
    if (r != ARCHIVE_OK) {
        say(unreadable(src, ""));
        return false;
    }
    return true;
}

// The entry's name as the archive gives it.
std::string name_of(archive_entry* entry) {
    const char* raw = archive_entry_pathname(entry);
    return raw ? raw : "";
}

// Why a link that does not lead inside is refused.
std::string refusal(leads where) {
    return where == leads::loop ? "链接过多或成环" : "链接指向目标文件夹之外";
}

// Why the entry may not be extracted, as said to the user, or empty when it
// may. Sets rel to its name under the destination (empty for the destination
// itself, which is left as it is). A link that may be made joins links.
std::string refused(archive_entry* entry, archive_links& links, fs::path& rel) {
    std::string name = name_of(entry);
    if (!clean_name(name, rel)) return "拒绝解压 " + name + "：路径会落在目标文件夹之外";
    if (rel.empty()) return "";
    auto type = archive_entry_filetype(entry);
    // Nothing is written through a link of the archive, nor over one but by
    // another link.
    if (links.through(rel, type != AE_IFLNK))
        return "拒绝解压 " + name + "：路径经过压缩文件中的链接";
    if (archive_entry_hardlink(entry) || (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK))
        return "拒绝解压 " + name + "：不是普通文件或文件夹";
    if (archive_entry_is_encrypted(entry)) return "无法解压 " + name + "：条目已加密";
    if (type == AE_IFLNK) {
        const char* target = archive_entry_symlink(entry);
        if (leads where = links.add(rel, target ? target : ""); where != leads::inside)
            return "拒绝解压 " + name + "：" + refusal(where);
    }
    return "";
}

// Writes the entry under rel in the current folder, a file's data copied from
// the archive to its end. False after saying why it could not be.
bool copy_entry(source& src, archive* out, archive_entry* entry, const fs::path& rel) {
    std::string name = name_of(entry);
    archive_entry_copy_pathname(entry, rel.c_str());
    if (archive_write_header(out, entry) != ARCHIVE_OK) {
        say("无法解压 " + name + "：" + library_error(out, "无法创建"));
        return false;
    }
    if (archive_entry_filetype(entry) == AE_IFREG) {
        const void* block;
        size_t size;
        la_int64_t offset;
        int r;
        while ((r = archive_read_data_block(src.in.get(), &block, &size, &offset)) == ARCHIVE_OK) {
            if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK) {
                say("无法解压 " + name + "：" + library_error(out, "无法写入"));
                return false;
            }
        }
        // A CRC or size mismatch comes back as a warning: the entry is damaged.
        if (r != ARCHIVE_EOF) {
            say(unreadable(src, name));
            return false;
        }
    }
    if (archive_write_finish_entry(out) != ARCHIVE_OK) {
        say("无法解压 " + name + "：" + library_error(out, "无法写入"));
        return false;
    }
    return true;
}

// Reads every entry of the archive into the empty folder stage.
bool extract_into(const std::string& zip, const fs::path& stage) {
    source src{zip};
    if (!open_source(src)) return false;
    inside here(stage);
    if (!here.entered) {
        say("无法解压到 " + stage.parent_path().string() + "：" + why(errno));
        return false;
    }
    reader out(archive_write_disk_new(), archive_write_free);
    // Without ARCHIVE_EXTRACT_PERM each entry keeps the Unix mode it carries
    // less the umask and the set-id bits, as unzip and bsdtar do for a user:
    // the programs of a Java runtime stay programs.
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME |
                                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    archive_links links;
    for (;;) {
        archive_entry* entry;
        if (!next_entry(src, entry)) return false;
        if (!entry) break;
        fs::path rel;
        if (std::string why_not = refused(entry, links, rel); !why_not.empty()) {
            say(why_not);
            return false;
        }
        if (!rel.empty() && !copy_entry(src, out.get(), entry, rel)) return false;
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK) {
        say("无法解压到 " + stage.parent_path().string() + "：" +
            library_error(out.get(), "无法设置文件夹的属性"));
        return false;
    }
    // Each link was checked as it came; a later link on its way can still
    // turn it outward, so all are followed again.
    if (auto link = links.astray()) {
        say("拒绝解压 " + link->name + "：" + refusal(link->where));
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
