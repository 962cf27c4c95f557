#include "javas.h"

#include "util/text.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace {

// The value of the property key in what -XshowSettings:properties printed
// ("    key = value" on a line of its own), empty when it is not there.
std::string property(const std::string& printed, const std::string& key) {
    for (size_t at = 0; at < printed.size();) {
        size_t end = printed.find('\n', at);
        if (end == std::string::npos) end = printed.size();
        size_t begin = printed.find_first_not_of(" \t", at);
        if (begin < end && printed.compare(begin, key.size(), key) == 0) {
            size_t sign = printed.find_first_not_of(" \t", begin + key.size());
            if (sign < end && printed[sign] == '=') {
                std::string value = printed.substr(sign + 1, end - sign - 1);
                size_t first = value.find_first_not_of(" \t\r");
                size_t last = value.find_last_not_of(" \t\r");
                return first == std::string::npos ? "" : value.substr(first, last - first + 1);
            }
        }
        at = end + 1;
    }
    return {};
}

// Where an entry goes in the list: 64-bit Java 8, other Java 8, the rest.
int rank(const java_found& found) {
    if (found.major == 8) return found.wide ? 0 : 1;
    return 2;
}

std::string label(const java_found& found) {
    return "Java " + std::to_string(found.major) + (found.wide ? "（64 位）" : "（32 位）");
}

} // namespace

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> path_entries(const std::string& path, char separator) {
    std::vector<std::string> entries;
    for (size_t at = 0; at <= path.size();) {
        size_t end = std::min(path.find(separator, at), path.size());
        if (end > at) entries.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return entries;
}

int major_of(const std::string& version) {
    size_t at = 0;
    int major = -1;
    auto number = [&] {
        int value = -1;
        for (; at < version.size() && version[at] >= '0' && version[at] <= '9'; ++at) {
            if (value > 99999) return -1;
            value = (value < 0 ? 0 : value * 10) + (version[at] - '0');
        }
        return value;
    };
    major = number();
    if (major == 1 && at < version.size() && version[at] == '.') {
        ++at;
        major = number();
    }
    return major;
}

int bits_of(const std::string& printed) {
    std::string model = property(printed, "sun.arch.data.model");
    if (model.compare(0, 2, "64") == 0) return 64;
    if (model.compare(0, 2, "32") == 0) return 32;
    std::string arch = property(printed, "os.arch");
    for (char& c : arch)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const char* wide :
         {"amd64", "x86_64", "x86-64", "x64", "aarch64", "arm64", "ppc64", "ppc64le", "s390x",
          "sparcv9", "riscv64", "loongarch64", "mips64", "mips64el"})
        if (arch == wide) return 64;
    for (const char* narrow : {"x86", "i386", "i486", "i586", "i686", "arm", "aarch32", "ppc",
                               "s390", "sparc", "mips", "mipsel"})
        if (arch == narrow) return 32;
    // What the Java says of itself at column 0, the settings' lines apart.
    int said = 0;
    for (size_t at = 0; at < printed.size();) {
        size_t end = std::min(printed.find('\n', at), printed.size());
        std::string line = printed.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == ' ' || line[0] == '\t' || line.rfind("Picked up ", 0) == 0)
            continue;
        for (const char* narrow : {"Client VM", "32-Bit"})
            if (line.find(narrow) != std::string::npos) return 32;
        if (line.find("64-Bit") != std::string::npos) said = 64;
    }
    return said;
}

bool read_settings(const std::string& printed, java_found& found) {
    found.major = major_of(property(printed, "java.specification.version"));
    if (found.major < 0) found.major = major_of(property(printed, "java.version"));
    const std::string mark = "version \"";
    if (size_t at = printed.find(mark); found.major < 0 && at != std::string::npos)
        found.major = major_of(printed.substr(at + mark.size()));
    found.wide = bits_of(printed) != 32;
    return found.major >= 0;
}

void order(std::vector<java_found>& found) {
    std::stable_sort(found.begin(), found.end(), [](const java_found& a, const java_found& b) {
        if (rank(a) != rank(b)) return rank(a) < rank(b);
        if (a.major != b.major) return a.major < b.major;
        return a.wide && !b.wide;
    });
}

std::string list_text(const std::vector<java_found>& found) {
    if (found.empty())
        return "没有找到可以运行的 Java。请先安装 Java 8（64 位），再输入它的 java.exe 的路径。\n";
    std::vector<std::string> heads;
    size_t widest = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        std::string head = "[";
        head += std::to_string(i + 1);
        heads.push_back(head + "] " + label(found[i]));
        widest = std::max(widest, heads.back().size());
    }
    // The heads differ only in their digits, so padding by bytes lines the
    // paths up.
    std::string text = "找到以下 Java：\n";
    for (size_t i = 0; i < found.size(); ++i)
        text +=
            "  " + heads[i] + std::string(widest - heads[i].size() + 1, ' ') + found[i].path + "\n";
    return text + "输入编号选择，或输入 java.exe 的路径。\n";
}

int pick(const std::string& answer, size_t count) {
    size_t first = answer.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return 0;
    size_t last = answer.find_last_not_of(" \t\r\n");
    std::string digits = answer.substr(first, last - first + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    size_t value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<size_t>(c - '0');
        if (value > count) return -1;
    }
    return value == 0 ? -1 : static_cast<int>(value);
}

std::vector<java_found> find_javas() {
    std::vector<java_found> found;
    std::vector<std::string> paths = java_candidates();
    // A path the saved command could not carry is no choice to offer.
    paths.erase(
        std::remove_if(paths.begin(), paths.end(),
                       [](const std::string& path) { return !unusable_character(path).empty(); }),
        paths.end());
    for (const java_run& run : check_javas(paths, java_time_limit)) {
        java_found one;
        one.path = run.path;
        if (run.ended && read_settings(run.printed, one)) found.push_back(one);
    }
    order(found);
    return found;
}
