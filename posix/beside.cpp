#include "beside.h"

#include "temp.h"
#include "term.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

int rename_new(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without that kind of rename: a link fails as well when
    // the name is taken.
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return 0;
    }
    if (errno != EPERM) return errno;
    // A folder cannot be linked: it is renamed once the name is seen free.
    struct stat st;
    if (lstat(to.c_str(), &st) == 0) return EEXIST;
    if (errno != ENOENT) return errno;
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

beside::beside(const fs::path& to, const std::string& tag, bool is_folder)
    : target(to), folder(is_folder) {
    sweep(target, tag);
    if (folder) {
        path = temp_folder(target, tag, held).string();
    } else {
        held = temp_file(target, tag, path);
    }
    if (held < 0) {
        err = errno;
        path.clear();
        return;
    }
    doomed(path.c_str(), folder);
}

beside::~beside() {
    if (held < 0) return;
    // Removed while still locked, so that no sweep takes it meanwhile.
    if (folder) {
        std::error_code ec;
        fs::remove_all(path, ec);
    } else {
        unlink(path.c_str());
    }
    let_go();
}

void beside::let_go() {
    doomed(nullptr);
    close(held);
    held = -1;
}

int beside::flush() {
    if (folder || flushed) return 0;
    if (fsync(held) != 0) return errno;
    flushed = true;
    return 0;
}

int beside::commit() {
    if (int e = flush()) return e;
    // Renamed while still open, and so still locked against a sweep. Once
    // flushed, closing has nothing left to fail on.
    if (std::rename(path.c_str(), target.c_str()) != 0) return errno;
    let_go();
    return 0;
}

bool beside::adopt(int fd, const std::string& from) {
    struct stat mine, there;
    // The file at from replaces the empty one under the temporary name.
    if (std::rename(from.c_str(), path.c_str()) != 0 || fstat(fd, &mine) != 0 ||
        lstat(path.c_str(), &there) != 0 || mine.st_dev != there.st_dev ||
        mine.st_ino != there.st_ino) {
        close(fd);
        return false;
    }
    close(held);
    held = fd;
    flushed = false;
    return true;
}

int beside::keep(const std::string& as) {
    if (int e = flush()) return e;
    // Forgotten first: a signal from here on leaves a leftover to the next
    // sweep, never a file of that name to remove.
    doomed(nullptr);
    if (int e = rename_new(path, as)) {
        doomed(path.c_str(), folder);
        return e;
    }
    close(held);
    held = -1;
    return 0;
}
