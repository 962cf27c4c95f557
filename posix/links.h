#pragma once

// Where the entries of an archive land: their names made paths under the
// destination, and the links they make followed through one another. Path
// logic alone; reading the archive is unpack's.

#include <filesystem>
#include <map>
#include <optional>
#include <string>

// Sets out to the entry's name as a path under the destination, or returns
// false when the name would leave it (absolute, with a drive letter, or with
// ".." anywhere). Backslashes separate folders, as Windows tools write them;
// "." and empty parts drop out, so that the destination itself is empty.
bool clean_name(std::string name, std::filesystem::path& out);

// Where a link leads, followed through the links the archive makes.
enum class leads { inside, outside, loop };

// The links an archive makes, by their names under the destination, with
// their targets as written.
class archive_links {
  public:
    // A link, by its name under the destination, and where it leads.
    struct link {
        std::string name;
        leads where;
    };

    // True when name lies under a link of the archive, or, with over, is one.
    bool through(const std::filesystem::path& name, bool over) const;

    // Records the link name (replacing one of that name) and says where it
    // leads through the links recorded so far, itself included.
    leads add(const std::filesystem::path& name, const std::string& target);

    // The first link by name that does not lead inside through all the links
    // recorded, as one recorded later can turn an earlier one outward.
    std::optional<link> astray() const;

  private:
    // Resolves name part by part, as the system will, through every link of
    // the archive on the way, whether or not the end exists.
    leads follow(const std::filesystem::path& name) const;

    // Each link's target, by the link's name with slashes.
    std::map<std::string, std::string> targets;
};
