#include "backup.h"

#include <filesystem>
#include <windows.h>

namespace fs = std::filesystem;

bool walk(const std::string& folder, std::uint64_t& sum, std::uint64_t& count) {
    // Names are in the code page; the file system's are wide.
    int n =
        MultiByteToWideChar(CP_ACP, 0, folder.data(), static_cast<int>(folder.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, folder.data(), static_cast<int>(folder.size()), wide.data(), n);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(fs::path(wide), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::wstring name = it->path().native().substr(wide.size());
        std::int64_t fields[4] = {};
        fields[0] = static_cast<std::int64_t>(it->symlink_status(ec).type());
        // A folder's time changes with what it holds, which is counted itself.
        if (!ec && fields[0] == static_cast<std::int64_t>(fs::file_type::regular)) {
            fields[1] = static_cast<std::int64_t>(it->file_size(ec));
            if (!ec) fields[2] = it->last_write_time(ec).time_since_epoch().count();
        }
        if (ec) return false;
        sum +=
            mix(mix(fnv_basis, name.data(), name.size() * sizeof(wchar_t)), fields, sizeof fields);
        ++count;
    }
    return !ec;
}
