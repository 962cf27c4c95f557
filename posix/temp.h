#pragma once

// Temporary files and folders beside a target, so that the finished work can
// be renamed into place in one step. Each is locked (flock) by whoever made it
// for as long as the descriptor it comes with stays open, so that a sweep
// tells a leftover from work in progress.

#include <filesystem>
#include <string>

// The hidden name ".NAME" + suffix in the folder of target NAME.
std::filesystem::path hidden_beside(const std::filesystem::path& target, const std::string& suffix);

// Creates an empty file ".NAME.TAG-XXXXXX" beside target, with the mode a new
// file gets (0666 less the umask), and locks it. Returns its descriptor and
// sets name, or -1 with errno set. Keep the descriptor open until the file has
// been renamed or removed: closing it ends the lock.
int temp_file(const std::filesystem::path& target, const std::string& tag, std::string& name);

// Creates a folder ".NAME.TAG-XXXXXX" beside target, with the mode a new
// folder gets, and locks it through held, a descriptor of the folder to keep
// open until the folder has been renamed or removed. Returns its path, or an
// empty path with errno set.
std::filesystem::path temp_folder(const std::filesystem::path& target, const std::string& tag,
                                  int& held);

// Opens the regular file at path for reading and writing and locks it, when
// no live process holds it: its descriptor, or -1 with errno set (ELOOP for a
// link, EWOULDBLOCK when it is held, ENOENT when path stopped naming it).
int take_file(const std::string& path);

// Removes what an earlier run left beside target under the same tag when it
// was killed outright: only what no live process holds locked.
void sweep(const std::filesystem::path& target, const std::string& tag);

// Removes the folder at path with all it holds, never following a link, by
// system calls alone: safe in a signal handler. Folders more than 128 levels
// down are left.
void remove_tree(const char* path);
