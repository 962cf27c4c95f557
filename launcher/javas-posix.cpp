#include "javas.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
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
    bool ended = false;   // it has ended, and is left unreaped until the end
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

// True once the process has ended. It is not reaped: its number stays its
// own, and its group's, until it is.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
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

// A process as /proc tells it.
struct process {
    pid_t pid = 0, parent = 0, group = 0, session = 0;
    bool zombie = false;
};

// Every process of the machine that can be seen.
std::vector<process> processes() {
    std::vector<process> all;
    DIR* proc = opendir("/proc");
    if (!proc) return all;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::string path = std::string("/proc/") + entry->d_name + "/stat";
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char text[1024];
        ssize_t got = read(fd, text, sizeof text - 1);
        close(fd);
        if (got <= 0) continue;
        text[got] = 0;
        // "pid (name) state parent group session …": the name may hold
        // blanks and parentheses, so it ends at the last ')'.
        const char* rest = std::strrchr(text, ')');
        process one;
        char state = 0;
        int parent = 0, group = 0, session = 0;
        if (!rest || std::sscanf(rest + 1, " %c %d %d %d", &state, &parent, &group, &session) != 4)
            continue;
        one.pid = static_cast<pid_t>(std::atoi(text));
        one.parent = parent;
        one.group = group;
        one.session = session;
        one.zombie = state == 'Z';
        all.push_back(one);
    }
    closedir(proc);
    return all;
}

// Whether pid descends from ancestor, by the parents of parent_of.
bool below(pid_t pid, pid_t ancestor, const std::map<pid_t, pid_t>& parent_of) {
    for (int depth = 0; depth < 4096 && pid > 1; ++depth) {
        auto up = parent_of.find(pid);
        if (up == parent_of.end()) return false;
        if (up->second == ancestor) return true;
        pid = up->second;
    }
    return false;
}

std::map<pid_t, pid_t> parents(const std::vector<process>& all) {
    std::map<pid_t, pid_t> parent_of;
    for (const process& p : all)
        parent_of[p.pid] = p.parent;
    return parent_of;
}

// What descends from this process now, as far as /proc shows.
std::set<pid_t> descendants() {
    std::vector<process> all = processes();
    std::map<pid_t, pid_t> parent_of = parents(all);
    std::set<pid_t> pids;
    for (const process& p : all)
        if (below(p.pid, getpid(), parent_of)) pids.insert(p.pid);
    return pids;
}

// Ends everything the candidates started that is left: what is in their
// process groups or sessions, and what descends from them, even through a
// session of its own or a parent that has gone, since this process takes in
// the orphans of its descendants during the check. The candidates
// themselves are left unreaped, so that their numbers stay theirs; others
// of ours left dead are reaped. before: what descended from this process
// before the check, which is none of theirs.
void end_leftovers(const std::vector<pid_t>& candidates, const std::set<pid_t>& before) {
    const pid_t self = getpid();
    std::set<pid_t> started(candidates.begin(), candidates.end());
    for (int round = 0; round < 100; ++round) {
        std::vector<process> all = processes();
        std::map<pid_t, pid_t> parent_of = parents(all);
        // Below a candidate, or below this process and new since the check
        // began: an orphan of theirs taken in.
        auto theirs = [&](const process& p) {
            if (started.count(p.group) || started.count(p.session)) return true;
            for (pid_t pid : started)
                if (below(p.pid, pid, parent_of)) return true;
            return !before.count(p.pid) && below(p.pid, self, parent_of);
        };
        std::vector<pid_t> doomed;
        for (const process& p : all) {
            if (p.pid == self || started.count(p.pid) || !theirs(p)) continue;
            if (p.zombie) {
                if (p.parent == self) waitpid(p.pid, nullptr, WNOHANG);
                continue;
            }
            doomed.push_back(p.pid);
        }
        if (doomed.empty()) return;
        for (pid_t pid : doomed)
            kill(pid, SIGKILL);
        for (pid_t pid : doomed)
            if (parent_of[pid] == self)
                while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
                }
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
    // The orphans of what the candidates start come to this process, to be
    // found and ended with the rest.
    int reaper = 0;
    prctl(PR_GET_CHILD_SUBREAPER, &reaper);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::set<pid_t> before = descendants();
    std::vector<child> children;
    for (size_t i = 0; i < paths.size(); ++i) {
        runs[i].path = paths[i];
        children.push_back(start(paths[i]));
        if (children.back().pid < 0) children.back().ended = true;
    }
    long long deadline = now_ms() + limit_ms;
    for (;;) {
        std::vector<pollfd> polled;
        std::vector<size_t> whose;
        bool waiting = false; // a program whose output has ended is still running
        for (size_t i = 0; i < children.size(); ++i) {
            child& c = children[i];
            if (!c.ended) c.ended = has_ended(c.pid);
            if (c.out >= 0) {
                polled.push_back({c.out, POLLIN, 0});
                whose.push_back(i);
            } else if (!c.ended) {
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
    std::vector<pid_t> started;
    for (child& c : children) {
        if (c.pid < 0) continue;
        started.push_back(c.pid);
        // Still running, or something it started still holds its output.
        if (!c.ended || c.out >= 0) c.refused = true;
        // Its whole group goes, whatever it left behind; unreaped, its number
        // cannot have gone to another group.
        kill(-c.pid, SIGKILL);
        if (c.out >= 0) finish_output(c);
    }
    end_leftovers(started, before);
    prctl(PR_SET_CHILD_SUBREAPER, reaper);
    for (size_t i = 0; i < children.size(); ++i) {
        child& c = children[i];
        if (c.pid < 0) continue;
        while (waitpid(c.pid, &c.status, 0) < 0 && errno == EINTR) {
        }
        runs[i].ended = !c.refused && WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0;
    }
    return runs;
}
