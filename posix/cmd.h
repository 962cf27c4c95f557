#pragma once

// The Linux stand-in for the Windows command interpreter: carries out the
// command lines the launcher composes, with cmd's meaning, in this process.

#include <string>
#include <string_view>
#include <vector>

// The native form of a path written with backslashes as separators.
std::string native(std::string path);

// True for the characters that separate words: blank and tab.
bool blank(char c);

// Splits a command line by cmd's rules: blanks separate words, double quotes
// group blanks into a word and are removed.
std::vector<std::string> words(std::string_view line);

// Writes a message and a line end to standard error, as the stand-ins report.
void say(std::string_view text);

// The text with ASCII capitals made small: commands and switches are matched
// without regard to case, as on Windows.
std::string lower(std::string_view text);

// Finds a program as cmd does: a name with a separator is a path, any other is
// looked up in PATH. Empty when there is no such executable.
std::string find_program(const std::string& name);

// Runs a program with its arguments in the foreground of this terminal and
// waits for it, as system() does: SIGINT and SIGQUIT reach the program, not us.
// With output, the program's standard output and standard error go to a pipe
// whose bytes are copied to standard output as they come and appended to
// *output. Returns its exit status (128 + signal when a signal ended it).
int run(const std::vector<std::string>& argv, std::string* output = nullptr);

// Carries out one command line and returns its exit status. Messages go to
// standard error, in Chinese, as cmd words them. With output, a program the
// line runs writes as run() describes, and the message for a program that
// cannot be run (9009 when it is not found) is appended to *output as well;
// built-in commands write as without it.
int cmd(std::string_view line, std::string* output = nullptr);
