#include "cmd.h"

#include "base.h"
#include "beside.h"
#include "term.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Says text as say() does, and appends it with its line end to output when
// there is one.
void tell(std::string_view text, const output_to* output) {
    say(text);
    if (output) {
        output->text->append(text);
        *output->text += '\n';
    }
}

// Takes what a program wrote into output, as far as its bytes go, and shows
// it; the rest is dropped.
void keep(std::string_view got, const output_to& output) {
    size_t room = output.bytes > output.text->size() ? output.bytes - output.text->size() : 0;
    got = got.substr(0, room);
    write_all(STDOUT_FILENO, got);
    output.text->append(got);
}

// Reads what is in fd now into output; false once the writing end is closed
// and all is read, true when nothing more has come yet. At most limit bytes
// are read in one call, so that a writer that never stops cannot hold it.
bool take_in(int fd, const output_to& output, size_t limit = SIZE_MAX) {
    char buf[4096];
    for (size_t read_so_far = 0; read_so_far < limit;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN;
        if (n == 0) return false;
        keep(std::string_view(buf, static_cast<size_t>(n)), output);
        read_so_far += static_cast<size_t>(n);
    }
    return true;
}

// Copies what arrives on fd, a program's standard error, to ours and keeps
// its last bytes, until the program pid has ended; then takes what it left
// in the pipe, not waiting for what it started, which may hold the pipe
// still. Returns pid once it has ended, its status in ws; -1 on an error.
pid_t relay_errors(pid_t pid, int fd, const errors_to& errors, int& ws) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    // Readable once the program has ended; without it, the wait is cut in
    // short steps to look.
    int ended_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    auto take = [&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            std::string_view got(buf, static_cast<size_t>(n));
            write_all(STDERR_FILENO, got);
            errors.text->append(got);
            if (errors.text->size() > errors.bytes)
                errors.text->erase(0, errors.text->size() - errors.bytes);
        }
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR); // closed
    };
    bool open = true;
    pid_t got;
    while ((got = waitpid(pid, &ws, WNOHANG)) == 0) {
        struct pollfd watch[2] = {{open ? fd : -1, POLLIN, 0}, {ended_fd, POLLIN, 0}};
        if (poll(watch, 2, ended_fd < 0 ? 100 : -1) > 0 && watch[0].revents) open = !take();
    }
    if (got == pid && open) take();
    if (ended_fd >= 0) close(ended_fd);
    return got;
}

// Sets up attr for a program started as system() starts one: SIGINT and
// SIGQUIT at their defaults, nothing blocked; in a process group of its own
// when own_group is set.
void spawn_defaults(posix_spawnattr_t& attr, bool own_group) {
    posix_spawnattr_init(&attr);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (own_group) {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);
}

// Runs the program args names as run() does with output: in a group of its
// own, bounded in time and in what is kept of its output.
int run_bounded(char* const* args, const output_to& output) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        tell(cmd_words(errno), &output);
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Its input is not the keyboard: keys typed meanwhile stay for us, and a
    // group of its own reading the terminal would only be stopped.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
    posix_spawnattr_t attr;
    spawn_defaults(attr, true);

    // The group is named as the one to pass ending signals on to before any
    // can arrive, so none ends us and leaves it running (see run()).
    sigset_t ending, mask;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        sigaddset(&ending, sig);
    sigprocmask(SIG_BLOCK, &ending, &mask);
    pid_t pid;
    int err = posix_spawn(&pid, args[0], &actions, &attr, args, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (err == 0) foreground(-pid);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    close(pipe_fds[1]);
    int fd = pipe_fds[0];
    if (err != 0) {
        close(fd);
        tell(err == ENOEXEC ? "此应用无法在你的电脑上运行。"
                            : cmd_words(err == ENOENT ? ENOENT : EACCES),
             &output);
        return 1;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    // Readable once the program has ended; without it, the wait is cut in
    // short steps to look.
    int ended_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(output.seconds);
    bool ended = false;
    for (;;) {
        // Ended, but not yet reaped: its number, and its group's, stay taken
        // until the group is ended below.
        siginfo_t info = {};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            ended = true;
            break;
        }
        if (passed_on()) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        struct pollfd watch[2] = {{fd, POLLIN, 0}, {ended_fd, POLLIN, 0}};
        int step = static_cast<int>(std::min<long long>(left, ended_fd < 0 ? 100 : INT_MAX));
        if (poll(watch, 2, step) > 0 && watch[0].revents && !take_in(fd, output, 1 << 20)) {
            close(fd);
            fd = -1;
        }
    }
    // What it started goes with it, whatever holds its output; what it wrote
    // before it ended is in the pipe still.
    kill(-pid, SIGKILL);
    if (fd >= 0 && ended) take_in(fd, output, 1 << 20);
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    if (fd >= 0) close(fd);
    if (ended_fd >= 0) close(ended_fd);
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    foreground(0);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    end_as_signalled();
    if (!ended) return ran_out;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

bool is_flag(const std::string& word) {
    return word.size() == 2 && word[0] == '/';
}

// Carries out one of cmd's file commands on every name it was given. one()
// returns why a name failed, or nothing; cmd says why and goes on with the
// rest. Returns 1 when any name failed.
template <class Action> int each(const std::vector<std::string>& names, Action one) {
    if (names.empty()) {
        say("命令语法不正确。");
        return 1;
    }
    int status = 0;
    for (const auto& name : names) {
        std::string why = one(name);
        if (!why.empty()) {
            say(why);
            status = 1;
        }
    }
    return status;
}

// The words that are not /X switches.
std::vector<std::string> names_in(const std::vector<std::string>& all) {
    std::vector<std::string> names;
    for (const auto& word : all)
        if (!is_flag(word)) names.push_back(word);
    return names;
}

int md(std::string_view rest) {
    return each(words(rest), [](const std::string& name) -> std::string {
        std::error_code ec;
        fs::path path = native(name);
        if (fs::exists(fs::symlink_status(path, ec))) return "子目录或文件 " + name + " 已经存在。";
        fs::create_directories(path, ec);
        return ec ? cmd_words(ec.value()) : "";
    });
}

// The folder a name stands for, as Windows reads it: "name\" and "name\."
// are name itself, so that a link named so is still the link and not the
// folder it points to (a trailing slash would make the system follow it).
fs::path folder(const std::string& name) {
    fs::path path = fs::path(native(name)).lexically_normal();
    if (path.has_relative_path() && !path.has_filename()) path = path.parent_path();
    return path;
}

int rmdir(std::string_view rest) {
    auto all = words(rest);
    // /q only silences cmd's question, which this interpreter never asks.
    bool tree = std::any_of(all.begin(), all.end(), [](const std::string& word) {
        return is_flag(word) && lower(word) == "/s";
    });
    return each(names_in(all), [tree](const std::string& name) -> std::string {
        std::error_code ec;
        fs::path path = folder(name);
        auto st = fs::symlink_status(path, ec);
        if (!fs::exists(st)) return "系统找不到指定的文件。";
        if (fs::is_symlink(st)) {
            // A link to a folder goes, never what it points to.
            if (!fs::is_directory(fs::status(path, ec))) return "目录名称无效。";
            return fs::remove(path, ec) ? "" : cmd_words(ec.value());
        }
        if (!fs::is_directory(st)) return "目录名称无效。";
        // remove_all never follows a link out of the tree: it removes the link.
        if (tree)
            fs::remove_all(path, ec);
        else
            fs::remove(path, ec);
        return ec ? cmd_words(ec.value()) : "";
    });
}

int del(std::string_view rest) {
    return each(names_in(words(rest)), [](const std::string& name) -> std::string {
        std::error_code ec;
        fs::path path = native(name);
        auto st = fs::symlink_status(path, ec);
        if (!fs::exists(st)) return "找不到 " + fs::absolute(path, ec).lexically_normal().string();
        if (fs::is_directory(st)) return "拒绝访问。";
        return unlink(path.c_str()) == 0 ? "" : cmd_words(errno);
    });
}

// "echo TEXT >> PATH" appends TEXT as it stands (up to ">>", the blank before
// it included) and a line end. TEXT is data: nothing in it is interpreted, and
// a ">>" inside it stays text since only the last one redirects.
int echo(std::string_view rest) {
    auto at = rest.rfind(">>");
    if (at == std::string_view::npos) {
        write_all(STDOUT_FILENO, std::string(rest) + "\n");
        return 0;
    }
    std::string text(rest.substr(0, at));
    auto target = words(rest.substr(at + 2));
    if (target.size() != 1) {
        say("命令语法不正确。");
        return 1;
    }
    int fd = open(native(target[0]).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        say(cmd_words(errno));
        return 1;
    }
    int err = write_all(fd, text + '\n');
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0) return 0;
    say(cmd_words(err));
    return 1;
}

int cls() {
    // The scrollback belongs to the screen found: kept while the program holds
    // a screen of its own, which has none.
    if (smart())
        escape(screen_held() ? "\x1b[H\x1b[2J" : "\x1b[H\x1b[2J\x1b[3J", 0);
    else
        write_all(STDOUT_FILENO, "\f");
    return 0;
}

// Copies the file from to the name to, only when nothing has that name: 0,
// or the errno. Written beside it and renamed into place, with its times.
int copy_new(const fs::path& from, const fs::path& to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    beside out(to, "copy");
    int err = out.made() ? 0 : out.error();
    char buf[65536];
    ssize_t n = 0;
    while (err == 0 && (n = read(in, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        err = n < 0 ? errno : write_all(out.fd(), std::string_view(buf, static_cast<size_t>(n)));
    }
    struct stat st;
    if (err == 0 && fstat(in, &st) == 0) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out.fd(), times);
        fchmod(out.fd(), st.st_mode & 07777);
    }
    close(in);
    return err ? err : out.keep(to.string());
}

// Adds to the folder to what the folder from holds and to lacks, going into
// folders with tree; never replaces or enters anything to already has but a
// folder. Returns robocopy's bits: 1 when it copied, 8 when something failed.
int add_missing(const fs::path& from, const fs::path& to, bool tree) {
    int status = 0;
    std::error_code walk, ec;
    for (fs::directory_iterator it(from, walk), end; !walk && it != end; it.increment(walk)) {
        const auto& entry = *it;
        fs::path there = to / entry.path().filename();
        auto here = entry.symlink_status(ec);
        bool taken = fs::exists(fs::symlink_status(there, ec));
        if (fs::is_directory(here)) {
            if (!tree) continue;
            if (!taken && !fs::create_directory(there, ec)) {
                say("错误：无法创建文件夹 " + there.string() + "：" + cmd_words(ec.value()));
                status |= 8;
            } else if (taken && !fs::is_directory(fs::status(there, ec))) {
                say("错误：" + there.string() + " 已存在且不是文件夹，已跳过。");
                status |= 8;
            } else {
                status |= add_missing(entry.path(), there, tree);
            }
        } else if (taken) {
            continue;
        } else if (fs::is_symlink(here)) {
            fs::copy_symlink(entry.path(), there, ec);
            status |= ec ? 8 : 1;
        } else if (fs::is_regular_file(here)) {
            int err = copy_new(entry.path(), there);
            if (err) say("错误：无法复制到 " + there.string() + "：" + cmd_words(err));
            status |= err ? 8 : 1;
        }
    }
    if (walk) {
        say("错误：无法读取文件夹 " + from.string() + "：" + cmd_words(walk.value()));
        status |= 8;
    }
    return status;
}

// "robocopy FROM TO /E /XC /XN /XO ..." in the one form the launcher uses:
// what FROM holds and TO lacks is copied; files TO has, changed, newer or
// older, are excluded, so nothing there is ever replaced. The switches that
// only quieten or limit retries are taken; others are refused. Exit status as
// robocopy's: 0 nothing copied, 1 copied, 8 some failed, 16 nothing done.
int robocopy(std::string_view rest) {
    std::vector<std::string> names;
    bool tree = false;
    int excluded = 0;
    for (const auto& arg : words(rest)) {
        std::string flag = lower(arg);
        if (flag.empty() || flag[0] != '/') {
            names.push_back(arg);
        } else if (flag == "/e") {
            tree = true;
        } else if (flag == "/xc" || flag == "/xn" || flag == "/xo") {
            excluded |= flag == "/xc" ? 1 : flag == "/xn" ? 2 : 4;
        } else if (flag != "/njh" && flag != "/njs" && flag != "/ndl" && flag != "/nfl" &&
                   flag != "/np" && flag.rfind("/r:", 0) != 0 && flag.rfind("/w:", 0) != 0) {
            say("错误：无效的参数 " + arg + "。");
            return 16;
        }
    }
    if (names.size() != 2 || excluded != 7) {
        say("错误：命令语法不正确：需要源文件夹、目标文件夹和 /XC /XN /XO。");
        return 16;
    }
    std::error_code ec;
    fs::path from = native(names[0]), to = native(names[1]);
    if (!fs::is_directory(from, ec)) {
        say("错误：找不到源文件夹 " + names[0] + "。");
        return 16;
    }
    if (!fs::is_directory(to, ec) && !fs::create_directories(to, ec)) {
        say("错误：无法创建目标文件夹 " + names[1] + "：" + cmd_words(ec.value()));
        return 16;
    }
    return add_missing(from, to, tree);
}

bool executable(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

int external(std::string_view line, const output_to* output, const errors_to* errors) {
    auto argv = words(line);
    if (argv.empty()) return 0;
    std::string program = find_program(argv[0]);
    if (program.empty()) {
        std::string path = native(argv[0]);
        if (path.find('/') != std::string::npos && access(path.c_str(), F_OK) == 0) {
            tell("拒绝访问。", output);
            return 1;
        }
        tell("'" + argv[0] + "' 不是内部或外部命令，也不是可运行的程序\n或批处理文件。", output);
        return 9009;
    }
    argv[0] = program;
    return run(argv, output, errors);
}

// Hands the rest of a "powershell" line, as it stands, to the PowerShell
// stand-in: its quoting is PowerShell's, not cmd's.
int to_powershell(std::string_view line, std::string_view rest) {
    std::string program = powershell_program();
    if (program.empty()) {
        std::string name = words(line)[0];
        say("'" + name + "' 不是内部或外部命令，也不是可运行的程序\n或批处理文件。");
        return 9009;
    }
    return run({program, std::string(rest)});
}

} // namespace

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> out;
    std::string word;
    bool quoted = false, started = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            started = true;
        } else if (!quoted && blank(c)) {
            if (started) out.push_back(word);
            word.clear();
            started = false;
        } else {
            word += c;
            started = true;
        }
    }
    if (started) out.push_back(word);
    return out;
}

std::string find_program(const std::string& name) {
    std::string path = native(name);
    if (path.empty()) return {};
    if (path.find('/') != std::string::npos) return executable(path) ? path : std::string();
    const char* env = std::getenv("PATH");
    std::string dirs = env ? env : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + path;
        if (executable(candidate)) return candidate;
        if (end == std::string::npos) return {};
        start = end + 1;
    }
}

std::string powershell_program() {
    std::string path = sibling("vellomar-powershell");
    return !path.empty() && executable(path) ? path : std::string();
}

int run(const std::vector<std::string>& argv, const output_to* output, const errors_to* errors) {
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (output) return run_bounded(args.data(), *output);

    // As system() does: the launcher ignores SIGINT and SIGQUIT while it waits,
    // and the program starts with them at their defaults, since an ignored
    // signal would stay ignored across exec.
    struct sigaction ignore = {}, old_int, old_quit;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    term_save();

    posix_spawnattr_t attr;
    spawn_defaults(attr, false);
    // Only its standard error goes through us: its input and output stay the
    // terminal, which it sees as its console.
    int err_fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (errors && pipe2(err_fds, O_CLOEXEC) == 0)
        posix_spawn_file_actions_adddup2(&actions, err_fds[1], STDERR_FILENO);

    // SIGTERM and SIGHUP wait until the program is named as the one to pass
    // them on to (and while it is forgotten again), so none can end the
    // launcher in between and leave the program running on its own.
    sigset_t ending, mask;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    sigprocmask(SIG_BLOCK, &ending, &mask);
    pid_t pid;
    int err = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (err == 0) foreground(pid);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (err_fds[1] >= 0) close(err_fds[1]);
    int status = 1;
    if (err != 0) {
        tell(err == ENOEXEC ? "此应用无法在你的电脑上运行。"
                            : cmd_words(err == ENOENT ? ENOENT : EACCES),
             nullptr);
    } else {
        int ws = 0;
        pid_t got = err_fds[0] >= 0 ? relay_errors(pid, err_fds[0], *errors, ws) : -1;
        while (got != pid && (got = waitpid(pid, &ws, 0)) < 0 && errno == EINTR) {
        }
        if (got == pid) status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        sigprocmask(SIG_BLOCK, &ending, nullptr);
        foreground(0);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        // Ctrl+C ended the program: it was meant for us as well, and does here
        // what it would have done had it reached us.
        if (got == pid && WIFSIGNALED(ws) && WTERMSIG(ws) == SIGINT &&
            old_int.sa_handler != SIG_IGN) {
            term_reload();
            term_restore();
            sigaction(SIGINT, &old_int, nullptr);
            raise(SIGINT);
        }
    }

    if (err_fds[0] >= 0) close(err_fds[0]);
    term_reload();
    end_as_signalled();
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    return status;
}

std::pair<std::string, std::string_view> command_of(std::string_view line) {
    while (!line.empty() && blank(line.front()))
        line.remove_prefix(1);
    size_t end = 0;
    while (end < line.size() && !blank(line[end]))
        ++end;
    return {lower(line.substr(0, end)),
            end < line.size() ? line.substr(end + 1) : std::string_view()};
}

std::string c_line(std::string_view line) {
    if (line.empty() || line.front() != '"') return std::string(line);
    size_t last = line.rfind('"');
    if (last == 0) return std::string(line.substr(1));
    std::string_view inside = line.substr(1, last - 1);
    if (std::count(line.begin(), line.end(), '"') == 2 &&
        inside.find_first_of("&<>()@^|") == std::string_view::npos &&
        std::any_of(inside.begin(), inside.end(), blank) &&
        !find_program(std::string(inside)).empty())
        return std::string(line);
    return std::string(inside) + std::string(line.substr(last + 1));
}

int cmd(std::string_view given, const output_to* output, const errors_to* errors) {
    std::string taken = c_line(given);
    std::string_view line = taken;
    auto [name, rest] = command_of(line);
    if (name == "cls") return cls();
    if (name == "title") {
        set_title(rest);
        return 0;
    }
    if (name == "md" || name == "mkdir") return md(rest);
    if (name == "rmdir" || name == "rd") return rmdir(rest);
    if (name == "del" || name == "erase") return del(rest);
    if (name == "echo") return echo(rest);
    if (name == "robocopy") return robocopy(rest);
    if (name == "powershell") return to_powershell(line, rest);
    return external(line, output, errors);
}
