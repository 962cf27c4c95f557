#include "temp.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string prefix(const fs::path& target, const std::string& tag) {
    std::string out = ".";
    out += target.filename().string();
    out += '.';
    out += tag;
    out += '-';
    return out;
}

fs::path folder_of(const fs::path& target) {
    return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

// What the umask leaves of a mode; the temporary file or folder becomes the
// finished one, so it gets the mode a new one would have.
mode_t masked(mode_t mode) {
    mode_t mask = umask(0);
    umask(mask);
    return mode & ~mask;
}

} // namespace

int temp_file(const fs::path& target, const std::string& tag, std::string& name) {
    name = (folder_of(target) / (prefix(target, tag) + "XXXXXX")).string();
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) fchmod(fd, masked(0666));
    return fd;
}

fs::path temp_folder(const fs::path& target, const std::string& tag) {
    std::string name = (folder_of(target) / (prefix(target, tag) + "XXXXXX")).string();
    if (!mkdtemp(name.data())) return {};
    chmod(name.c_str(), masked(0777));
    return name;
}

void sweep(const fs::path& target, const std::string& tag) {
    std::string start = prefix(target, tag);
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder_of(target), ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() == start.size() + 6 && name.starts_with(start)) {
            std::error_code ignored;
            fs::remove_all(it->path(), ignored);
        }
    }
}
