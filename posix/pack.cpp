#include "pack.h"

#include "base.h"
#include "beside.h"
#include "names.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <locale.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

using writer = std::unique_ptr<archive, int (*)(archive*)>;

// What went wrong in the writer, in the user's words: the system's error by
// its words, otherwise for libarchive's own errors. Its English text is never
// shown.
std::string library_error(archive* a, const std::string& otherwise) {
    int err = archive_errno(a);
    return err > 0 ? words_for(err, otherwise) : otherwise;
}

// A file descriptor, closed when it goes.
struct closing {
    int fd;
    ~closing() {
        if (fd >= 0) close(fd);
    }
};

// Reads and writes go in pieces of this size.
constexpr size_t piece = 1 << 20;

// Whether the file's data would shrink when deflated, judged from samples
// taken across it. Deflating data that is compressed already (a game's region
// files, pictures) costs most of the time an archive takes, for nothing: such
// a file is stored. Small files are always deflated.
bool shrinks(int fd, off_t size) {
    constexpr size_t window = 16 << 10;
    constexpr int windows = 4;
    if (size < static_cast<off_t>(window * windows * 2)) return true;
    std::vector<unsigned char> sample(window * windows);
    for (int i = 0; i < windows; ++i) {
        off_t at = (size - static_cast<off_t>(window)) / (windows - 1) * i;
        if (pread(fd, sample.data() + window * i, window, at) != static_cast<ssize_t>(window))
            return true;
    }
    uLongf room = compressBound(sample.size());
    std::vector<unsigned char> out(room);
    if (compress2(out.data(), &room, sample.data(), sample.size(), 1) != Z_OK) return true;
    // Less than 3 % saved is not worth the time it takes.
    return room < sample.size() / 100 * 97;
}

// Copies the file's data, size bytes, into the entry just written.
bool copy_data(archive* out, int fd, off_t size, const fs::path& path) {
    std::vector<char> buf(piece);
    off_t left = size;
    while (left > 0) {
        ssize_t n = read(fd, buf.data(), static_cast<size_t>(std::min<off_t>(left, piece)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            say("无法读取 " + path.string() + "：" + words_for(errno));
            return false;
        }
        if (n == 0) {
            say("无法读取 " + path.string() + "：文件在压缩时变短了");
            return false;
        }
        if (archive_write_data(out, buf.data(), static_cast<size_t>(n)) != n) {
            say("无法压缩 " + path.string() + "：" + library_error(out, "无法写入"));
            return false;
        }
        left -= n;
    }
    return true;
}

// Adds path under name, and a folder's entries under it in name order. A
// link inside is stored as a link; the path given, with top, is taken for what
// it leads to, as PowerShell lists a folder through a link to it.
bool add(archive* out, const fs::path& path, const std::string& name, bool top = false) {
    struct stat st;
    if ((top ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) {
        say("无法读取 " + path.string() + "：" + words_for(errno));
        return false;
    }
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(),
                                                                   archive_entry_free);
    archive_entry_copy_stat(entry.get(), &st);
    archive_entry_copy_pathname(entry.get(), name.c_str());
    closing file{-1};
    if (S_ISLNK(st.st_mode)) {
        std::error_code ec;
        archive_entry_copy_symlink(entry.get(), fs::read_symlink(path, ec).c_str());
    } else if (S_ISREG(st.st_mode)) {
        file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (file.fd < 0) {
            say("无法读取 " + path.string() + "：" + words_for(errno));
            return false;
        }
        posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        // Chosen per entry, which the writer's options cannot be once it is open.
        if (shrinks(file.fd, st.st_size))
            archive_write_zip_set_compression_deflate(out);
        else
            archive_write_zip_set_compression_store(out);
    } else if (!S_ISDIR(st.st_mode)) {
        return true; // devices, pipes and sockets have no place in a zip
    }
    if (archive_write_header(out, entry.get()) != ARCHIVE_OK) {
        say("无法压缩 " + path.string() + "：" + library_error(out, "名称无法转换"));
        return false;
    }
    if (file.fd >= 0 && !copy_data(out, file.fd, st.st_size, path)) return false;
    if (S_ISDIR(st.st_mode)) {
        std::vector<fs::path> children;
        std::error_code ec;
        for (auto it = fs::directory_iterator(path, ec); !ec && it != fs::directory_iterator();
             it.increment(ec))
            children.push_back(it->path());
        if (ec) {
            say("无法读取 " + path.string() + "：" + words_for(ec.value()));
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
    if (!fs::exists(fs::status(from, ec))) {
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
        say("无法创建 " + dest + "：" + words_for(file.error()));
        return 1;
    }
    writer out(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(out.get());
    archive_write_set_options(out.get(), "zip:hdrcharset=UTF-8");
    // Written in large blocks: the default of 10 kB costs a system call each.
    archive_write_set_bytes_per_block(out.get(), piece);
    archive_write_set_bytes_in_last_block(out.get(), 1);
    bool ok = archive_write_open_fd(out.get(), file.fd()) == ARCHIVE_OK;
    if (!ok) say("无法写入 " + dest + "：" + library_error(out.get(), "无法打开文件"));
    std::string name = fs::absolute(from, ec).lexically_normal().filename().string();
    if (name.empty())
        name = fs::absolute(from, ec).lexically_normal().parent_path().filename().string();
    ok = ok && add(out.get(), from, name, true);
    if (ok && archive_write_close(out.get()) != ARCHIVE_OK) {
        say("无法写入 " + dest + "：" + library_error(out.get(), "压缩文件没有写完整"));
        ok = false;
    }
    out.reset();
    // Flushed to disk before it takes its name: a full disk shows here, and
    // is said, rather than leaving a truncated archive behind.
    if (int err = ok ? file.commit() : 0) {
        say("无法写入 " + dest + "：" + words_for(err));
        ok = false;
    }
    return ok ? 0 : 1;
}
