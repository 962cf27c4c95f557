#include "fetch.h"

#include "base.h"
#include "beside.h"
#include "temp.h"
#include "term.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <curl/curl.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

// A transfer that moves less than this many bytes a second for this long has stalled.
constexpr long stall_bytes = 1;
constexpr long stall_seconds = 15;
constexpr long connect_seconds = 15;

// Writing back to disk starts in steps of this many bytes while the body
// arrives, so that the flush at the end has little left to wait for.
constexpr curl_off_t writeback_step = 8 << 20;

// A partial file kept longer than this is not continued; so is one dated
// further than this ahead, which the clock set back makes as old as any.
constexpr time_t partial_seconds = 24 * 60 * 60;

// What names the resource a partial file holds the start of.
struct identity {
    std::string url;
    std::string etag;       // its strong ETag; empty when it has none
    std::string modified;   // its Last-Modified date, when it has no ETag
    curl_off_t length = -1; // the whole resource's length
    curl_off_t data = 0;    // the bytes of it in the partial file

    // What a range request is made conditional on (If-Range).
    const std::string& validator() const { return etag.empty() ? modified : etag; }
};

struct transfer {
    int fd = -1;
    const identity* resume = nullptr; // the partial file being continued, or null
    // The answer being read, as its headers say.
    long status = 0;
    std::string etag, modified, range;
    curl_off_t length = -1;
    bool started = false;   // a 2xx answer's headers are in: its body goes to fd
    bool appending = false; // that answer continues the partial file
    bool restart = false;   // it cannot continue it: the file is to start over
    identity id;            // what the file holds the start of, once started
    curl_off_t base = 0;    // bytes in the file before this answer's body
    curl_off_t written = 0; // bytes in the file
    curl_off_t written_back = 0;
    int write_errno = 0;
    bool show = false;
    clock_type::time_point start, drawn;
    bool drew = false;
};

// The name a download that broke off keeps its bytes under, beside the file,
// for the next download of the same address to continue.
std::string partial_name(const fs::path& target) {
    return hidden_beside(target, ".partial").string();
}

// A partial file ends with the record of what it holds, then the record's
// size in ten digits and this mark.
constexpr std::string_view partial_mark = " vellomar partial\n";
constexpr size_t footer_size = 10 + partial_mark.size();
constexpr size_t largest_record = 1 << 16;

// Reads text, decimal digits and nothing else, as a number.
bool number(std::string_view text, curl_off_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// Writes the record of id after the data, which id.data counts, and ends the
// file there: 0, or the errno.
int write_record(int fd, const identity& id) {
    std::string text = "url " + id.url + "\n";
    text += id.etag.empty() ? "modified " + id.modified : "etag " + id.etag;
    text += "\nlength " + std::to_string(id.length) + "\ndata " + std::to_string(id.data) + "\n";
    if (text.size() > largest_record) return EOVERFLOW;
    char size[16];
    std::snprintf(size, sizeof size, "%010zu", text.size());
    text += size;
    text += partial_mark;
    for (size_t done = 0; done < text.size();) {
        ssize_t n =
            pwrite(fd, text.data() + done, text.size() - done, id.data + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : ENOSPC;
        done += static_cast<size_t>(n);
    }
    return ftruncate(fd, id.data + static_cast<off_t>(text.size())) == 0 ? 0 : errno;
}

// Reads the record at the end of a partial file into id: false when the file
// does not end with one that holds together.
bool read_record(int fd, identity& id) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(footer_size)) return false;
    char end[footer_size];
    if (pread(fd, end, footer_size, st.st_size - static_cast<off_t>(footer_size)) !=
        static_cast<ssize_t>(footer_size))
        return false;
    curl_off_t size;
    if (std::string_view(end + 10, partial_mark.size()) != partial_mark ||
        !number(std::string_view(end, 10), size) ||
        size > static_cast<curl_off_t>(largest_record) ||
        size + static_cast<curl_off_t>(footer_size) > st.st_size)
        return false;
    id.data = st.st_size - static_cast<curl_off_t>(footer_size) - size;
    std::string text(static_cast<size_t>(size), '\0');
    if (pread(fd, text.data(), text.size(), id.data) != static_cast<ssize_t>(text.size()))
        return false;
    curl_off_t data = -1;
    for (size_t at = 0; at < text.size();) {
        size_t line_end = text.find('\n', at);
        if (line_end == std::string::npos) return false;
        std::string_view line(text.data() + at, line_end - at);
        at = line_end + 1;
        size_t space = line.find(' ');
        if (space == std::string_view::npos) return false;
        std::string_view key = line.substr(0, space), value = line.substr(space + 1);
        if (key == "url")
            id.url = value;
        else if (key == "etag")
            id.etag = value;
        else if (key == "modified")
            id.modified = value;
        else if (key == "length" && !number(value, id.length))
            return false;
        else if (key == "data" && !number(value, data))
            return false;
    }
    return data == id.data && data > 0 && id.length > data && !id.url.empty() &&
           !id.validator().empty();
}

// Removes the partial file beside target, unless another process holds it.
void drop_partial(const fs::path& target) {
    std::string name = partial_name(target);
    int fd = take_file(name);
    if (fd < 0) return;
    // Held locked and still under that name: no one else's by now.
    unlink(name.c_str());
    close(fd);
}

// Takes over into out the partial file an earlier download of url to target
// kept, with what it holds in id; false when there is none to continue. One
// that cannot be trusted (no record that holds together, or kept too long
// ago) is removed. One kept by another address stays for a download from
// there, until this one keeps a partial file of its own or succeeds.
bool resume_from(const fs::path& target, const std::string& url, beside& out, identity& id) {
    std::string name = partial_name(target);
    int fd = take_file(name);
    if (fd < 0) return false;
    struct stat st;
    bool usable = fstat(fd, &st) == 0 && read_record(fd, id) &&
                  std::abs(std::difftime(std::time(nullptr), st.st_mtime)) <= partial_seconds;
    if (usable && id.url == url) return out.adopt(fd, name);
    if (!usable) unlink(name.c_str());
    close(fd);
    return false;
}

// Keeps out as the partial file beside target, in place of one another
// address kept.
void keep_as_partial(beside& out, const fs::path& target) {
    if (out.keep(partial_name(target)) != EEXIST) return;
    drop_partial(target);
    out.keep(partial_name(target));
}

// After a failed attempt: keeps the file as the partial file beside target
// when it holds the start of a resource it can name, or as it was when no
// answer came to continue it. Otherwise it goes with out.
void keep_partial(beside& out, const transfer& t, const fs::path& target) {
    if (t.resume && !t.started) {
        keep_as_partial(out, target);
        return;
    }
    identity id = t.id;
    id.data = t.written;
    if (!t.started || t.write_errno || !(t.status == 200 || t.appending) ||
        id.validator().empty() || id.data <= 0 || id.data >= id.length)
        return;
    if (write_record(out.fd(), id) == 0) keep_as_partial(out, target);
}

// True when a 206 answer holds the rest of the partial file's resource: its
// range starts where the file's data ends and runs to the end of a resource
// of the recorded length, and it names the resource as recorded.
bool continues(const transfer& t) {
    const identity& id = *t.resume;
    std::string_view range = t.range;
    if (!range.starts_with("bytes ")) return false;
    range.remove_prefix(6);
    size_t dash = range.find('-'), slash = range.find('/');
    curl_off_t first, last, total;
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash ||
        !number(range.substr(0, dash), first) ||
        !number(range.substr(dash + 1, slash - dash - 1), last) ||
        !number(range.substr(slash + 1), total))
        return false;
    if (first != id.data || total != id.length || last != total - 1) return false;
    return id.etag.empty() ? t.modified == id.modified : t.etag == id.etag;
}

// Once the headers of a 2xx answer are in: a 206 that continues the partial
// file appends to it; any other answer starts the file over. False ends the
// transfer: a 206 that does not continue the partial file (restart), or a
// file that cannot be cut (write_errno).
bool begin(transfer& t) {
    if (t.started) return true;
    t.started = true;
    t.appending = t.resume && t.status == 206 && continues(t);
    if (t.resume && t.status == 206 && !t.appending) {
        t.restart = true;
        return false;
    }
    t.base = t.appending ? t.resume->data : 0;
    if (ftruncate(t.fd, t.base) != 0 || lseek(t.fd, t.base, SEEK_SET) < 0) {
        t.write_errno = errno;
        return false;
    }
    t.written = t.written_back = t.base;
    if (t.appending) {
        t.id = *t.resume;
    } else {
        // A weak ETag cannot make a range request conditional.
        bool strong = !t.etag.empty() && !t.etag.starts_with("W/");
        t.id.etag = strong ? t.etag : "";
        t.id.modified = strong ? "" : t.modified;
        t.id.length = t.length;
    }
    return true;
}

// The text without the blanks and line ends around it.
std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (blank(text.front()) || text.front() == '\r' || text.front() == '\n'))
        text.remove_prefix(1);
    while (!text.empty() && (blank(text.back()) || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// Reads the headers of each answer, and begins the body of a 2xx one.
size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<transfer*>(user);
    size_t n = size * count;
    std::string_view line = trimmed(std::string_view(data, n));
    if (line.starts_with("HTTP/")) {
        // A new answer: a redirect's, or the one the body comes in.
        size_t space = line.find(' ');
        std::string_view code = space == std::string_view::npos ? "" : line.substr(space + 1, 3);
        if (!number(code, t->status)) t->status = 0;
        t->etag.clear();
        t->modified.clear();
        t->range.clear();
        t->length = -1;
        return n;
    }
    if (line.empty()) return t->status / 100 != 2 || begin(*t) ? n : 0;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || t->started) return n;
    std::string name = lower(line.substr(0, colon));
    std::string_view value = trimmed(line.substr(colon + 1));
    if (name == "etag") t->etag = value;
    if (name == "last-modified") t->modified = value;
    if (name == "content-range") t->range = value;
    if (name == "content-length" && !number(value, t->length)) t->length = -1;
    return n;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<transfer*>(user);
    size_t total = size * count;
    // Only the body of the answer begun holds the file.
    if (!t->started) return total;
    t->write_errno = write_all(t->fd, std::string_view(data, total));
    if (t->write_errno != 0) return 0; // curl ends the transfer with a write error
    t->written += static_cast<curl_off_t>(total);
    // Write-behind: start writing the step just filled, then wait for the one
    // before it, so the disk works while the network does and little is left
    // for the flush at the end.
    while (t->written - t->written_back >= writeback_step) {
        sync_file_range(t->fd, t->written_back, writeback_step, SYNC_FILE_RANGE_WRITE);
        if (t->written_back >= writeback_step)
            sync_file_range(t->fd, t->written_back - writeback_step, writeback_step,
                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                SYNC_FILE_RANGE_WAIT_AFTER);
        t->written_back += writeback_step;
    }
    return total;
}

std::string amount(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}

std::string clock_text(double seconds) {
    if (seconds < 0 || seconds > 359999) return "--:--";
    auto s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%02ld:%02ld", s / 60, s % 60);
    return buf;
}

// Cells a text of ASCII and Chinese characters takes on screen.
int cells(std::string_view text) {
    int n = 0;
    for (unsigned char c : text)
        n += c < 0x80 ? 1 : c >= 0xe0 ? 2 : 0;
    return n;
}

// The terminal's width in columns, 80 when it does not say.
int columns() {
    struct winsize ws {};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
}

// The parts of the progress line that fit in one row of width columns, the
// last column left free so that the line never wraps (a wrapped line is
// drawn again a row down, leaving the old one behind). Parts go from the
// least needed: the time left, the speed, the total, the percentage.
std::string fitted(const std::string (&parts)[5], int width) {
    static const int dropped[] = {4, 3, 1, 2};
    bool kept[5] = {true, true, true, true, true};
    auto line = [&] {
        std::string out;
        for (int i = 0; i < 5; ++i)
            if (kept[i]) out += parts[i];
        return out;
    };
    for (int i : dropped) {
        if (cells(line()) < width) break;
        kept[i] = false;
    }
    std::string out = line();
    // Only the amount is left, all ASCII.
    if (cells(out) >= width) out.resize(static_cast<size_t>(std::max(width - 1, 0)));
    return out;
}

// Draws the progress line: now_bytes of total in the file, the speed of the
// bytes this attempt brought (those after t.base).
void draw(transfer& t, curl_off_t total, curl_off_t now_bytes, bool last) {
    auto now = clock_type::now();
    // At most ten redraws a second: drawing must not slow the transfer.
    if (!last && t.drew && now - t.drawn < std::chrono::milliseconds(100)) return;
    t.drawn = now;
    t.drew = true;
    double elapsed = std::chrono::duration<double>(now - t.start).count();
    double speed = elapsed > 0 ? static_cast<double>(now_bytes - t.base) / elapsed : 0;
    // The amount, the total, the percentage, the speed, the time left.
    std::string parts[5] = {" "};
    parts[0] += amount(static_cast<double>(now_bytes));
    if (total > 0) {
        int percent =
            static_cast<int>(100.0 * static_cast<double>(now_bytes) / static_cast<double>(total));
        parts[1] = " / " + amount(static_cast<double>(total));
        parts[2] = "  " + std::to_string(percent) + "%";
    }
    parts[3] = "  " + amount(speed) + "/s";
    if (total > 0 && speed > 0)
        parts[4] = "  剩余 " + clock_text(static_cast<double>(total - now_bytes) / speed);
    std::string line = "\r";
    line += fitted(parts, columns());
    line += "\x1b[K";
    // Recorded first: a signal right after the write still ends the line.
    open_line(true);
    write_all(STDOUT_FILENO, line);
}

int on_progress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* t = static_cast<transfer*>(user);
    // curl counts this answer's body; the bytes resumed are there already.
    if (t->show && t->started && (now > 0 || total > 0))
        draw(*t, total > 0 ? t->base + total : 0, t->base + now, false);
    return 0;
}

std::string bad_status(long status) {
    return "服务器返回状态 " + std::to_string(status);
}

// Why writing the file failed.
std::string write_failure(int err) {
    return words_for(err, "无法写入文件");
}

// Why a transfer failed, in the words a user can act on. curl's own text is
// English and never shown.
std::string cause(CURLcode code, long status, const transfer& t) {
    switch (code) {
    case CURLE_HTTP_RETURNED_ERROR:
        return bad_status(status);
    case CURLE_UNSUPPORTED_PROTOCOL:
        return "不支持的协议，只能使用 HTTPS";
    case CURLE_URL_MALFORMAT:
        return "地址格式不正确";
    case CURLE_COULDNT_RESOLVE_HOST:
        return "无法解析主机名";
    case CURLE_COULDNT_CONNECT:
        return "无法连接到服务器";
    case CURLE_OPERATION_TIMEDOUT:
        return "连接超时或传输停滞";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CONNECT_ERROR:
        return "无法验证服务器的证书，连接被拒绝";
    case CURLE_TOO_MANY_REDIRECTS:
        return "重定向次数过多";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return "连接中断，文件没有下载完整";
    case CURLE_WRITE_ERROR:
        return write_failure(t.write_errno);
    default:
        return "下载出错（错误码 " + std::to_string(static_cast<int>(code)) + "）";
    }
}

void fail(const std::string& url, const std::string& why) {
    say("下载失败: " + url + "\n原因: " + why);
}

// Sets the transfer up for an answer to come, continuing resume (or null).
void expect(transfer& t, const identity* resume) {
    t.resume = resume;
    t.status = 0;
    t.started = t.appending = t.restart = false;
    t.base = t.written = t.written_back = 0;
    t.start = clock_type::now();
}

} // namespace

int fetch(const std::string& url, const std::string& file) {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    CURL* curl = ready ? curl_easy_init() : nullptr;
    if (!curl) {
        fail(url, "无法初始化下载");
        return 1;
    }

    fs::path target(file);
    beside out(target, "part");
    if (!out.made()) {
        fail(url, out.error() == ENOSPC ? "磁盘空间不足" : "无法创建文件 " + file);
        curl_easy_cleanup(curl);
        return 1;
    }
    identity earlier;
    bool resuming = resume_from(target, url, out, earlier);
    transfer t;
    t.fd = out.fd();
    t.id.url = url;

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // Extra trust, named as curl's own command takes it.
    if (const char* bundle = std::getenv("CURL_CA_BUNDLE"); bundle && *bundle)
        curl_easy_setopt(curl, CURLOPT_CAINFO, bundle);
    else if (const char* cert = std::getenv("SSL_CERT_FILE"); cert && *cert)
        curl_easy_setopt(curl, CURLOPT_CAINFO, cert);
    if (const char* certs = std::getenv("SSL_CERT_DIR"); certs && *certs)
        curl_easy_setopt(curl, CURLOPT_CAPATH, certs);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_seconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, stall_bytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall_seconds);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    // A proxy's answer to CONNECT is not the site's.
    curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "vellomar");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    t.show = smart();
    if (t.show) {
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }

    // The rest of the partial file's resource, only while it is the same one:
    // otherwise the site answers with the whole of it (200).
    curl_slist* condition = nullptr;
    if (resuming) {
        condition = curl_slist_append(nullptr, ("If-Range: " + earlier.validator()).c_str());
        std::string from = std::to_string(earlier.data) + "-";
        curl_easy_setopt(curl, CURLOPT_RANGE, condition ? from.c_str() : nullptr);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, condition);
    }
    expect(t, condition ? &earlier : nullptr);
    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (t.resume && (t.restart || (code == CURLE_HTTP_RETURNED_ERROR && status == 416))) {
        // The partial file cannot be continued: the whole resource, afresh.
        curl_easy_setopt(curl, CURLOPT_RANGE, nullptr);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        expect(t, nullptr);
        code = curl_easy_perform(curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_slist_free_all(condition);
    curl_off_t expected = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
    // A 206 that continues the file holds the rest of what was recorded.
    if (t.appending) expected = t.id.length;
    if (t.show && t.drew) {
        if (code == CURLE_OK) draw(t, expected, t.written, true);
        write_all(STDOUT_FILENO, "\n");
        open_line(false);
    }
    curl_easy_cleanup(curl);

    std::string why;
    if (code != CURLE_OK)
        why = cause(code, status, t);
    else if (status != 200 && !(status == 206 && t.appending))
        // Only the whole resource counts, or the rest of the partial file's:
        // any other 206 and the like are not it.
        why = bad_status(status);
    else if (expected >= 0 && expected != t.written)
        why = "连接中断，文件没有下载完整（收到 " + std::to_string(t.written) + " 字节，应为 " +
              std::to_string(expected) + " 字节）";
    else if (int err = out.flush())
        why = write_failure(err);
    if (why.empty() && out.commit() != 0) why = "无法保存为 " + file;
    if (!why.empty()) {
        keep_partial(out, t, target);
        fail(url, why);
        return 1;
    }
    // What another address kept is of no use once the file is here.
    drop_partial(target);
    return 0;
}
