#include "links.h"

#include <deque>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The most links followed on the way to one target, as the system bounds them.
constexpr int most_hops = 40;

// Puts the parts of a name written with slashes in front of todo, dropping
// empty parts and ".".
void push_front(std::deque<std::string>& todo, const std::string& name) {
    size_t end = name.size();
    while (end > 0) {
        size_t start = name.rfind('/', end - 1);
        start = start == std::string::npos ? 0 : start + 1;
        std::string part = name.substr(start, end - start);
        if (!part.empty() && part != ".") todo.push_front(part);
        end = start > 0 ? start - 1 : 0;
    }
}

} // namespace

bool clean_name(std::string name, fs::path& out) {
    for (char& c : name)
        if (c == '\\') c = '/';
    if (name.empty() || name[0] == '/') return false;
    out.clear();
    size_t start = 0;
    bool first = true;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(start, end - start);
        if (part == "..") return false;
        // A drive letter makes the name absolute on Windows.
        if (first && part.size() >= 2 && part[1] == ':') return false;
        if (!part.empty() && part != ".") {
            out /= part;
            first = false;
        }
        start = end + 1;
    }
    return true;
}

bool archive_links::through(const fs::path& name, bool over) const {
    for (fs::path up = over ? name : name.parent_path(); !up.empty(); up = up.parent_path())
        if (targets.count(up.generic_string())) return true;
    return false;
}

leads archive_links::add(const fs::path& name, const std::string& target) {
    targets[name.generic_string()] = target;
    return follow(name);
}

std::optional<archive_links::link> archive_links::astray() const {
    for (const auto& [name, target] : targets)
        if (leads where = follow(name); where != leads::inside) return link{name, where};
    return std::nullopt;
}

// A target that starts with a separator is absolute on one system or the other.
leads archive_links::follow(const fs::path& name) const {
    std::vector<std::string> at; // the folders passed so far, from the destination down
    std::deque<std::string> todo;
    push_front(todo, name.generic_string());
    int hops = 0;
    while (!todo.empty()) {
        std::string part = std::move(todo.front());
        todo.pop_front();
        if (part == "..") {
            if (at.empty()) return leads::outside;
            at.pop_back();
            continue;
        }
        at.push_back(std::move(part));
        std::string path;
        for (const auto& folder : at)
            path += (path.empty() ? "" : "/") + folder;
        auto found = targets.find(path);
        if (found == targets.end()) continue;
        if (++hops > most_hops) return leads::loop;
        at.pop_back();
        const std::string& target = found->second;
        if (target.empty() || target[0] == '/' || target[0] == '\\') return leads::outside;
        push_front(todo, target);
    }
    return leads::inside;
}
