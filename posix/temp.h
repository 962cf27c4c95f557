#pragma once

// Temporary files and folders beside a target, so that the finished work can
// be renamed into place in one step.

#include <filesystem>
#include <string>

// Creates an empty file ".NAME.TAG-XXXXXX" beside target, with the mode a new
// file gets (0666 less the umask). Returns its descriptor and sets name, or -1
// with errno set.
int temp_file(const std::filesystem::path& target, const std::string& tag, std::string& name);

// Creates a folder ".NAME.TAG-XXXXXX" beside target. Returns its path, or an
// empty path with errno set.
std::filesystem::path temp_folder(const std::filesystem::path& target, const std::string& tag);

// Removes what an earlier run left beside target under the same tag when it
// was killed outright.
void sweep(const std::filesystem::path& target, const std::string& tag);
