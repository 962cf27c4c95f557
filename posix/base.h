#pragma once

// The bottom of the Linux stand-in layer: the small helpers every stand-in
// uses. It includes nothing of the system's own.

#include <string>
#include <string_view>

// True for the characters that separate words: blank and tab.
bool blank(char c);

// The native form of a path written with backslashes as separators.
std::string native(std::string path);

// The text with ASCII capitals made small: commands and switches are matched
// without regard to case, as on Windows.
std::string lower(std::string_view text);

// The path of the program name in the folder of the running program
// (/proc/self/exe), where the stand-ins live side by side; empty when that
// folder cannot be read.
std::string sibling(std::string_view name);

// Writes all of text to the file descriptor, retrying short and interrupted
// writes. Returns 0, or the error that stopped it (ENOSPC when nothing more
// could be written). Safe in a signal handler.
int write_all(int fd, std::string_view text);

// Writes a message and a line end to standard error, as the stand-ins report.
void say(std::string_view text);

// The user's words for a system error number, without a final "。", as the
// PowerShell stand-in says them (download, Expand-Archive, Compress-Archive);
// otherwise, or "系统错误 N" when it is empty, for a number it has no words for.
std::string words_for(int err, std::string_view otherwise = {});

// cmd's words for a system error number, ending in "。" as cmd writes them;
// "系统找不到指定的路径。" for a number it has no words for.
std::string cmd_words(int err);
