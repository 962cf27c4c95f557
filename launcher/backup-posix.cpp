#include "backup.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Hashes the entries of the open folder dir, named prefix below the world
// folder, and walks its folders; it closes dir. Entries are examined by their
// names relative to the folder's descriptor, which spares resolving every
// folder above on each of them.
bool walk_folder(int dir, const std::string& prefix, std::uint64_t& sum, std::uint64_t& count) {
    DIR* listing = fdopendir(dir);
    if (!listing) {
        close(dir);
        return false;
    }
    bool ok = true;
    while (ok) {
        errno = 0;
        const dirent* entry = readdir(listing);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        struct stat st;
        if (fstatat(dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            break;
        }
        std::string name = prefix + "/" + entry->d_name;
        bool folder = S_ISDIR(st.st_mode);
        // A folder's time changes with what it holds, which is counted itself.
        std::int64_t fields[] = {st.st_mode, folder ? 0 : st.st_size,
                                 folder ? 0 : st.st_mtim.tv_sec, folder ? 0 : st.st_mtim.tv_nsec};
        sum += mix(mix(fnv_basis, name.data(), name.size()), fields, sizeof fields);
        ++count;
        if (folder) {
            int inner = openat(dirfd(listing), entry->d_name,
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = inner >= 0 && walk_folder(inner, name, sum, count);
        }
    }
    closedir(listing);
    return ok;
}

} // namespace

bool walk(const std::string& folder, std::uint64_t& sum, std::uint64_t& count) {
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return dir >= 0 && walk_folder(dir, "", sum, count);
}
