#include "temp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string prefix(const fs::path& target, const std::string& tag) {
    std::string suffix = ".";
    suffix += tag;
    suffix += '-';
    return hidden_beside(target, suffix).filename().string();
}

fs::path folder_of(const fs::path& target) {
    return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

} // namespace

fs::path hidden_beside(const fs::path& target, const std::string& suffix) {
    std::string name = ".";
    name += target.filename().string();
    name += suffix;
    return folder_of(target) / name;
}

namespace {

// What the umask leaves of a mode; the temporary file or folder becomes the
// finished one, so it gets the mode a new one would have.
mode_t masked(mode_t mode) {
    mode_t mask = umask(0);
    umask(mask);
    return mode & ~mask;
}

// Tries this many names before giving up on a temporary file or folder.
constexpr int tries = 8;

// Locks what fd stands for, to tell a sweep that it is in use, and makes sure
// that name still stands for it: a sweep may have taken it in the moment
// between its making and the lock, and a sweep holds its lock while it
// removes. True when fd is ours to use under name. Where the file system
// has no locks, it is used without one.
bool claim(int fd, const std::string& name) {
    int locked;
    do {
        locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    struct stat mine, there;
    if (fstat(fd, &mine) != 0) return false;
    if (lstat(name.c_str(), &there) != 0) return false;
    return mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
}

// The deepest folder remove_tree goes into: each level holds a descriptor and
// a buffer on the stack of a signal handler.
constexpr int deepest = 128;

// Removes what the folder fd holds, by system calls only.
void clear(int fd, int depth) {
    alignas(struct dirent64) char buf[1024];
    // Entries read after others were removed may be skipped by some file
    // systems; the folder is read again until a pass removes nothing.
    for (bool removed = true; removed;) {
        removed = false;
        if (lseek(fd, 0, SEEK_SET) != 0) return;
        long n;
        while ((n = syscall(SYS_getdents64, fd, buf, sizeof buf)) > 0) {
            for (long at = 0; at < n;) {
                // getdents64 fills in records laid out as glibc's dirent64.
                auto* d = reinterpret_cast<const struct dirent64*>(buf + at);
                at += d->d_reclen;
                const char* name = d->d_name;
                if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
                if (unlinkat(fd, name, 0) == 0) {
                    removed = true;
                    continue;
                }
                if (errno != EISDIR || depth >= deepest) continue;
                int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub < 0) continue;
                clear(sub, depth + 1);
                close(sub);
                if (unlinkat(fd, name, AT_REMOVEDIR) == 0) removed = true;
            }
        }
    }
}

} // namespace

int temp_file(const fs::path& target, const std::string& tag, std::string& name) {
    for (int i = 0; i < tries; ++i) {
        name = (folder_of(target) / (prefix(target, tag) + "XXXXXX")).string();
        int fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) return -1;
        if (claim(fd, name)) {
            fchmod(fd, masked(0666));
            return fd;
        }
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

fs::path temp_folder(const fs::path& target, const std::string& tag, int& held) {
    held = -1;
    for (int i = 0; i < tries; ++i) {
        std::string name = (folder_of(target) / (prefix(target, tag) + "XXXXXX")).string();
        if (!mkdtemp(name.data())) return {};
        int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            rmdir(name.c_str());
            errno = err;
            return {};
        }
        if (claim(fd, name)) {
            fchmod(fd, masked(0777));
            held = fd;
            return name;
        }
        close(fd);
    }
    errno = EAGAIN;
    return {};
}

int take_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat mine, there;
    int err = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &mine) != 0)
        err = errno;
    else if (!S_ISREG(mine.st_mode))
        err = EINVAL;
    // Locked after another run had moved or removed it: not what path names.
    else if (lstat(path.c_str(), &there) != 0 || mine.st_dev != there.st_dev ||
             mine.st_ino != there.st_ino)
        err = ENOENT;
    if (err == 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    close(fd);
    errno = err;
    return -1;
}

void sweep(const fs::path& target, const std::string& tag) {
    std::string start = prefix(target, tag);
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder_of(target), ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() != start.size() + 6 || !name.starts_with(start)) continue;
        std::error_code ignored;
        int fd = open(it->path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            // Nothing holds a link; what cannot be opened cannot be told apart
            // from what a live process holds, and stays.
            if (errno == ELOOP) fs::remove(it->path(), ignored);
            continue;
        }
        // Held by a live process, or on a file system without locks: it stays.
        // The lock is kept while the leftover goes.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) fs::remove_all(it->path(), ignored);
        close(fd);
    }
}

void remove_tree(const char* path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    clear(fd, 0);
    close(fd);
    rmdir(path);
}
