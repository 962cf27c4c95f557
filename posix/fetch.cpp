#include "fetch.h"

#include "base.h"
#include "beside.h"
#include "term.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

// A transfer that moves less than this many bytes a second for this long has stalled.
constexpr long stall_bytes = 1;
constexpr long stall_seconds = 15;
constexpr long connect_seconds = 15;

// Writing back to disk starts in steps of this many bytes while the body
// arrives, so that the flush at the end has little left to wait for.
constexpr curl_off_t writeback_step = 8 << 20;

struct transfer {
    int fd = -1;
    curl_off_t written = 0;
    curl_off_t written_back = 0;
    int write_errno = 0;
    bool show = false;
    clock_type::time_point start, drawn;
    bool drew = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<transfer*>(user);
    size_t total = size * count, done = 0;
    while (done < total) {
        ssize_t n = write(t->fd, data + done, total - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            t->write_errno = n < 0 ? errno : ENOSPC;
            return done; // curl ends the transfer with a write error
        }
        done += static_cast<size_t>(n);
    }
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

void draw(transfer& t, curl_off_t total, curl_off_t now_bytes, bool last) {
    auto now = clock_type::now();
    // At most ten redraws a second: drawing must not slow the transfer.
    if (!last && t.drew && now - t.drawn < std::chrono::milliseconds(100)) return;
    t.drawn = now;
    t.drew = true;
    double elapsed = std::chrono::duration<double>(now - t.start).count();
    double speed = elapsed > 0 ? static_cast<double>(now_bytes) / elapsed : 0;
    std::string line = "\r " + amount(static_cast<double>(now_bytes));
    if (total > 0) {
        int percent =
            static_cast<int>(100.0 * static_cast<double>(now_bytes) / static_cast<double>(total));
        line += " / " + amount(static_cast<double>(total)) + "  " + std::to_string(percent) + "%";
    }
    line += "  " + amount(speed) + "/s";
    if (total > 0 && speed > 0)
        line += "  剩余 " + clock_text(static_cast<double>(total - now_bytes) / speed);
    line += "\x1b[K";
    // Recorded first: a signal right after the write still ends the line.
    open_line(true);
    write_all(STDOUT_FILENO, line);
}

int on_progress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* t = static_cast<transfer*>(user);
    if (t->show && (now > 0 || total > 0)) draw(*t, total, now, false);
    return 0;
}

std::string bad_status(long status) {
    return "服务器返回状态 " + std::to_string(status);
}

// Why writing the file failed: a full disk, or anything else.
std::string write_failure(int err) {
    return err == ENOSPC ? "磁盘空间不足" : "无法写入文件";
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

} // namespace

int fetch(const std::string& url, const std::string& file) {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    CURL* curl = ready ? curl_easy_init() : nullptr;
    if (!curl) {
        fail(url, "无法初始化下载");
        return 1;
    }

    beside out(file, "part");
    if (!out.made()) {
        fail(url, out.error() == ENOSPC ? "磁盘空间不足" : "无法创建文件 " + file);
        curl_easy_cleanup(curl);
        return 1;
    }
    transfer t;
    t.fd = out.fd();

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
    t.start = clock_type::now();

    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_off_t expected = -1;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
    if (t.show && t.drew) {
        if (code == CURLE_OK) draw(t, expected, t.written, true);
        write_all(STDOUT_FILENO, "\n");
        open_line(false);
    }
    curl_easy_cleanup(curl);

    std::string why;
    if (code != CURLE_OK)
        why = cause(code, status, t);
    else if (status != 200)
        // Only the whole resource counts: this request asked for no range,
        // so 206 and the like are not it.
        why = bad_status(status);
    else if (expected >= 0 && expected != t.written)
        why = "连接中断，文件没有下载完整（收到 " + std::to_string(t.written) + " 字节，应为 " +
              std::to_string(expected) + " 字节）";
    else if (int err = out.flush())
        why = write_failure(err);
    if (why.empty() && out.commit() != 0) why = "无法保存为 " + file;
    if (!why.empty()) {
        fail(url, why);
        return 1;
    }
    return 0;
}
