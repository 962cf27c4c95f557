#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The bytes of a NUL-terminated string; a null pointer gives the empty string.
std::string char_string(const char* text);

// The current directory, without a trailing separator except at a root.
std::string get_cd();

// Makes path the current directory; a change that fails leaves it as it was.
void cd(std::string path);

// True when path names an existing file or folder.
bool file_check(std::string path);

// Size of the file in bytes; 0 for a null path or one that cannot be examined.
std::int64_t file_size(const char* path);

// Creates the folder and any missing parents through the command interpreter.
void make_folder(std::string name);

// Removes the folder and everything in it through the command interpreter.
void del_folder(std::string name);

// Appends dir + "\" + name for every entry of dir whose name ends in pattern
// (an empty pattern matches every entry, "." and ".." included).
void get_file_names(std::string dir, std::vector<std::string>& names, std::string pattern);
