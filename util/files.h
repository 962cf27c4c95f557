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

// Makes path the current directory as cd does; true when it now is.
bool enter(std::string path);

// True when path names an existing file or folder.
bool file_check(std::string path);

// True when path names an existing folder (or a link to one).
bool folder_check(std::string path);

// Reads the file's first line as cin_line reads a stream into line; false,
// with line left as it was, when the file cannot be opened.
bool read_line(std::string path, std::string& line);

// The bytes of the file at path from at (negative: counted back from its end)
// up to length bytes (negative: to its end); empty when it cannot be read.
std::string read_part(std::string path, std::int64_t at = 0, std::int64_t length = -1);

// Locks the folder for the rest of the run so that a second program asking
// for the same lock is refused: 1 when locked, 0 when another process holds
// the lock, -1 when the folder cannot be opened. Programs the process starts
// do not inherit the lock.
int hold_folder(std::string path);

// Size of the file in bytes; 0 for a null path or one that cannot be examined.
std::int64_t file_size(const char* path);

// Creates the folder and any missing parents through the command interpreter.
void make_folder(std::string name);

// Removes the folder and everything in it through the command interpreter.
void del_folder(std::string name);

// Removes whatever name holds through the command interpreter: a folder with
// everything in it, a file, or a link (only the link, whatever it leads to,
// if anywhere).
void remove_name(std::string name);

// Gives what from names the name to in one step, never replacing anything
// that has it; true when done. Both in the same folder's file system.
bool move_name(std::string from, std::string to);

// Appends dir + "\" + name for every entry of dir whose name ends in pattern
// (an empty pattern matches every entry, "." and ".." included).
void get_file_names(std::string dir, std::vector<std::string>& names, std::string pattern);

// Replaces the file at path (made when missing) with data, written beside it
// under a temporary name and renamed into place: until the rename the old
// file stays as it was, and a failure leaves it so. The file keeps its mode
// (Linux) or its read-only attribute (Windows). True when done.
bool replace_file(std::string path, const std::string& data);

// What a path names, a link taken for what it leads to.
enum class kind { none, file, folder, other, broken };

// The kind of what path names: a regular file, a folder, something else (a
// device), a link that leads nowhere, or nothing at all.
kind file_kind(std::string path);
