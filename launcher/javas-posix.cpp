#include "javas.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <set>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

// What a candidate may print before it is taken for something else: a Java
// prints a few kilobytes.
constexpr size_t most_printed = 64 * 1024;

struct found_so_far {
    std::vector<std::string> paths;
    std::set<std::pair<dev_t, ino_t>> files;
};

// Adds path when it is a program and no name found before leads to the same
// file; kept by its real name, links and alternatives resolved.
bool add(found_so_far& found, const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0)
        return false;
    if (found.files.insert({st.st_dev, st.st_ino}).second) {
        char* real = realpath(path.c_str(), nullptr);
        found.paths.push_back(real ? real : path);
        std::free(real);
    }
    return true;
}

// A Java's own folder: its bin/java, or a JDK 8's jre/bin/java.
void add_home(found_so_far& found, const std::string& home) {
    if (home.empty()) return;
    if (!add(found, home + "/bin/java")) add(found, home + "/jre/bin/java");
}

// Every folder one level below folder, in name order.
void add_homes_in(found_so_far& found, const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        add_home(found, folder + "/" + name);
}

std::string home_folder() {
    std::string home = env("HOME");
    if (home.empty())
        if (passwd* user = getpwuid(getuid())) home = user->pw_dir;
    return home;
}

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct child {
    pid_t pid = -1;
    int out = -1;         // the read end of its output, -1 once at its end
    bool reaped = false;  // waited for
    int status = 0;       // as waitpid gave it
    bool refused = false; // ended by us: too slow, or too much output
};

// Starts path in a session of its own, away from the terminal (it can
// neither read it nor be stopped by it) and ended with its whole process
// group; reading nothing, its standard output and standard error into one
// pipe.
child start(const std::string& path) {
    child c;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return c;
    pid_t parent = getpid();
    c.pid = fork();
    if (c.pid == 0) {
        setsid();
        // Ended with the launcher, should a signal end it during the check:
        // in a session of its own, nothing else would end a check that hangs.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
        int none = open("/dev/null", O_RDONLY);
        if (none < 0 || dup2(none, 0) < 0 || dup2(ends[1], 1) < 0 || dup2(ends[1], 2) < 0)
            _exit(127);
        const char* args[] = {path.c_str(), "-XshowSettings:properties", "-version", nullptr};
        execv(path.c_str(), const_cast<char* const*>(args));
        _exit(127);
    }
    close(ends[1]);
    if (c.pid < 0) {
        close(ends[0]);
        return c;
    }
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    c.out = ends[0];
    return c;
}

void finish_output(child& c) {
    close(c.out);
    c.out = -1;
}

// Reads what is there; at the end, or past what a Java prints, the output
// is closed.
void take(child& c, std::string& printed) {
    char buffer[4096];
    for (;;) {
        ssize_t got = read(c.out, buffer, sizeof buffer);
        if (got > 0) {
            if (printed.size() + static_cast<size_t>(got) > most_printed) {
                c.refused = true;
                kill(-c.pid, SIGKILL);
                finish_output(c);
                return;
            }
            printed.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return;
        finish_output(c);
        return;
    }
}

} // namespace

std::string java_of(const std::string& home) {
    found_so_far found;
    add_home(found, home);
    return found.paths.empty() ? "" : found.paths.front();
}

std::vector<std::string> java_candidates() {
    found_so_far found;
    add_home(found, env("JAVA_HOME"));
    add_home(found, env("JDK_HOME"));
    // An empty entry is the current folder, which holds no installed Java.
    for (const std::string& folder : path_entries(env("PATH"), ':'))
        add(found, folder + "/java");
    for (const char* folder : {"/usr/lib/jvm", "/usr/lib64/jvm", "/usr/java", "/opt"})
        add_homes_in(found, folder);
    std::string home = home_folder();
    if (!home.empty()) {
        add_homes_in(found, home + "/.sdkman/candidates/java");
        add_homes_in(found, home + "/.jdks");
    }
    if (access(downloaded_archive, F_OK) != 0) add_homes_in(found, downloaded_javas);
    return found.paths;
}

std::vector<java_run> check_javas(const std::vector<std::string>& paths, int limit_ms) {
    std::vector<java_run> runs(paths.size());
    std::vector<child> children;
    for (size_t i = 0; i < paths.size(); ++i) {
        runs[i].path = paths[i];
        children.push_back(start(paths[i]));
        if (children.back().pid < 0) children.back().reaped = true;
    }
    long long deadline = now_ms() + limit_ms;
    for (;;) {
        std::vector<pollfd> polled;
        std::vector<size_t> whose;
        bool waiting = false; // a program whose output has ended is still running
        for (size_t i = 0; i < children.size(); ++i) {
            child& c = children[i];
            if (!c.reaped && waitpid(c.pid, &c.status, WNOHANG) == c.pid) c.reaped = true;
            if (c.out >= 0) {
                polled.push_back({c.out, POLLIN, 0});
                whose.push_back(i);
            } else if (!c.reaped) {
                waiting = true;
            }
        }
        if (polled.empty() && !waiting) break;
        long long left = deadline - now_ms();
        if (left <= 0) break;
        int wait = static_cast<int>(waiting ? std::min(left, 1LL) : left);
        int ready = poll(polled.data(), polled.size(), wait);
        if (ready < 0 && errno != EINTR) break;
        for (size_t k = 0; ready > 0 && k < polled.size(); ++k)
            if (polled[k].revents) take(children[whose[k]], runs[whose[k]].printed);
    }
    for (size_t i = 0; i < children.size(); ++i) {
        child& c = children[i];
        if (c.pid < 0) continue;
        // Still running, or something it started still holds its output:
        // the whole group goes.
        if (!c.reaped || c.out >= 0) {
            c.refused = true;
            kill(-c.pid, SIGKILL);
        }
        if (c.out >= 0) finish_output(c);
        if (!c.reaped) {
            while (waitpid(c.pid, &c.status, 0) < 0 && errno == EINTR) {
            }
            c.reaped = true;
        }
        runs[i].ended = !c.refused && WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0;
    }
    return runs;
}
