#include "term.h"

#include "base.h"
#include "temp.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

enum : int { doomed_none, doomed_file, doomed_folder };

// Everything below is read by the signal handlers, so it is plain data set up
// before the handlers are installed.
int tty_fd = -2;                  // -2: not opened yet
struct termios found;             // the modes the terminal had when we found it
volatile sig_atomic_t have_found; // found holds the terminal's modes
volatile sig_atomic_t in_raw;     // raw mode is on while a key is awaited
struct termios saved;             // modes put back after a command
volatile sig_atomic_t have_saved;
volatile sig_atomic_t changes; // changed_* bits
struct termios raw_modes;
char doomed_path[4096];            // removed when a signal ends the program
volatile sig_atomic_t doomed_kind; // what doomed_path holds: doomed_none, _file or _folder
volatile sig_atomic_t line_open;   // a line without its end is on screen
volatile sig_atomic_t held;        // the alternate screen is kept (hold_screen())
volatile sig_atomic_t retakes;     // times continuing took the held screen again

int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The command running in the foreground (0: none; a negative number names a
// process group), and a signal passed on to it, to end by once it has ended.
volatile sig_atomic_t foreground_pid;
volatile sig_atomic_t held_signal;

// The alternate screen, entered after saving the cursor and colours (ESC 7),
// and left bringing them back (ESC 8).
const char enter_alternate[] = "\x1b\x37\x1b[?1049h";
const char leave_alternate[] = "\x1b[?1049l\x1b\x38";

// While a command runs in the foreground, a signal that would end the
// program goes on to the command, and ends the program once the command has
// ended (it may need the time, to save its work): nothing is left running.
bool pass_on(int sig) {
    if (foreground_pid == 0) return false;
    int saved_errno = errno;
    kill(foreground_pid, sig);
    held_signal = sig;
    errno = saved_errno;
    return true;
}

// Takes the default action of sig now: unblocked, a raise acts at once, even
// from within the signal's own handler.
void raise_default(int sig) {
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

void on_signal(int sig) {
    if (pass_on(sig)) return;
    int saved_errno = errno;
    if (line_open) write_all(STDOUT_FILENO, "\n");
    term_restore();
    if (doomed_kind == doomed_file) unlink(doomed_path);
    if (doomed_kind == doomed_folder) remove_tree(doomed_path);
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved_errno;
}

void on_stop(int) {
    int saved_errno = errno;
    int was_raw = in_raw;
    int was_held = held && (changes & changed_screen);
    term_restore();
    // The handler runs with SIGTSTP blocked: unblocked, the raise stops the
    // program right here, rather than the signal coming back to this handler
    // once it returns, over and over.
    raise_default(SIGTSTP);
    // Continued: back to the state the program was in, on an empty screen.
    signal(SIGTSTP, on_stop);
    if (was_held) {
        changes = changes | changed_screen;
        write_all(STDOUT_FILENO, enter_alternate);
        retakes = retakes + 1;
    }
    if (was_raw && tty_fd >= 0) {
        tcsetattr(tty_fd, TCSANOW, &raw_modes);
        in_raw = 1;
    }
    errno = saved_errno;
}

void restore_at_exit() {
    term_restore();
}

// Bytes read from the terminal that their reader did not use, oldest first.
std::string unused;

} // namespace

bool smart() {
    static const bool yes = [] {
        const char* term = std::getenv("TERM");
        return isatty(STDOUT_FILENO) && term && *term && std::strcmp(term, "dumb") != 0;
    }();
    return yes;
}

void escape(std::string_view seq, int change) {
    if (!smart()) return;
    term_guard();
    changes = changes | change;
    write_all(STDOUT_FILENO, seq);
}

bool enter_screen() {
    if (!smart() || (changes & changed_screen)) return false;
    escape(enter_alternate, changed_screen);
    return true;
}

void leave_screen() {
    if (!smart() || !(changes & changed_screen)) return;
    // Written before the bit is cleared: a signal in between leaves twice,
    // which is harmless, rather than not at all.
    write_all(STDOUT_FILENO, leave_alternate);
    changes = changes & ~changed_screen;
}

bool hold_screen() {
    if (!enter_screen()) return false;
    held = 1;
    return true;
}

void release_screen() {
    if (!held) return;
    held = 0;
    leave_screen();
}

bool screen_held() {
    return held && (changes & changed_screen);
}

int retaken() {
    return retakes;
}

std::string cursor_at(int row, int col) {
    return "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(col + 1) + "H";
}

void set_title(std::string_view title) {
    if (!smart()) return;
    std::string seq;
    // Push the title found on the terminal's title stack once, to pop it at the end.
    if (!(changes & changed_title)) seq = "\x1b[22;0t";
    seq += "\x1b]0;";
    seq += title;
    seq += "\x07";
    escape(seq, changed_title);
}

std::string sgr(int attr) {
    // The console's bit 0 is blue and bit 2 red; ANSI numbers them the other way.
    int ansi = (attr & 2) | ((attr & 1) << 2) | ((attr & 4) >> 2);
    int base = (attr & 8) ? 90 : 30;
    return "\x1b[0;" + std::to_string(base + ansi) + "m";
}

int tty() {
    if (tty_fd == -2) {
        tty_fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (tty_fd >= 0 && !isatty(tty_fd)) {
            close(tty_fd);
            tty_fd = -1;
        }
        if (tty_fd >= 0 && tcgetattr(tty_fd, &found) == 0) have_found = 1;
    }
    return tty_fd;
}

int raw_read(unsigned char* buf, int cap, int timeout_ms) {
    if (!unused.empty() && cap > 0) {
        size_t n = unused.size();
        if (n > static_cast<size_t>(cap)) n = static_cast<size_t>(cap);
        unused.copy(reinterpret_cast<char*>(buf), n);
        unused.erase(0, n);
        return static_cast<int>(n);
    }
    int fd = tty();
    if (fd < 0 || !have_found) return -1;
    term_guard();
    raw_modes = found;
    raw_modes.c_lflag &= ~(ICANON | ECHO);
    raw_modes.c_iflag &= ~ICRNL;
    raw_modes.c_cc[VMIN] = 1;
    raw_modes.c_cc[VTIME] = 0;
    in_raw = 1;
    tcsetattr(fd, TCSANOW, &raw_modes);

    int got = 0;
    struct pollfd p = {fd, POLLIN, 0};
    int ready, was = retakes;
    do {
        ready = poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR && retakes == was);
    if (ready < 0 && errno == EINTR) {
        got = 0;
    } else if (ready < 0) {
        got = -1;
    } else if (ready > 0) {
        ssize_t n;
        do {
            n = read(fd, buf, static_cast<size_t>(cap));
        } while (n < 0 && errno == EINTR);
        got = n > 0 ? static_cast<int>(n) : -1;
        // An escape sequence can arrive in pieces; give the rest a moment.
        while (got > 0 && got < cap && buf[0] == 0x1b && poll(&p, 1, 25) > 0) {
            n = read(fd, buf + got, static_cast<size_t>(cap - got));
            if (n <= 0) break;
            got += static_cast<int>(n);
        }
    }
    tcsetattr(fd, TCSANOW, &found);
    in_raw = 0;
    return got;
}

void unread(std::string_view bytes) {
    unused.insert(0, bytes);
}

std::string take_unread() {
    std::string bytes;
    bytes.swap(unused);
    return bytes;
}

void term_restore() {
    if (in_raw && have_found) {
        tcsetattr(tty_fd, TCSANOW, &found);
        in_raw = 0;
    }
    int c = changes;
    changes = 0;
    // Leaving the alternate screen first brings back the cursor and colours
    // saved on entering, which the lines below may then reset.
    if (c & changed_screen) write_all(STDOUT_FILENO, leave_alternate);
    if (c & changed_colour) write_all(STDOUT_FILENO, "\x1b[0m");
    if (c & changed_cursor) write_all(STDOUT_FILENO, "\x1b[?25h");
    if (c & changed_title) write_all(STDOUT_FILENO, "\x1b[23;0t");
}

void term_guard() {
    static std::atomic<bool> done{false};
    if (done.exchange(true)) return;
    tty();
    std::atexit(restore_at_exit);
    for (int sig : signals) {
        struct sigaction old;
        sigaction(sig, nullptr, &old);
        // A signal ignored by whoever started us stays ignored.
        if (old.sa_handler == SIG_IGN) continue;
        signal(sig, on_signal);
    }
    struct sigaction old;
    sigaction(SIGTSTP, nullptr, &old);
    if (old.sa_handler != SIG_IGN) signal(SIGTSTP, on_stop);
}

void doomed(const char* path, bool folder) {
    term_guard();
    // A handler never sees the name half written.
    doomed_kind = doomed_none;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!path || std::strlen(path) >= sizeof doomed_path) return;
    std::strcpy(doomed_path, path);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    doomed_kind = folder ? doomed_folder : doomed_file;
}

void open_line(bool open) {
    line_open = open;
}

void foreground(int pid) {
    if (pid != 0) term_guard();
    foreground_pid = pid;
}

bool passed_on() {
    return held_signal != 0;
}

void end_as_signalled() {
    int sig = held_signal;
    if (!sig) return;
    term_restore();
    raise_default(sig);
}

void term_save() {
    if (tty() >= 0 && tcgetattr(tty_fd, &saved) == 0) have_saved = 1;
}

void term_reload() {
    if (have_saved) tcsetattr(tty_fd, TCSANOW, &saved);
    have_saved = 0;
}
