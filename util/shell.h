#pragma once

#include <string>

// Runs one command line through the command interpreter in this console and
// waits until it and everything it started in the foreground have ended.
// Returns the command's exit status.
int shell(std::string line);

// Runs one command line as shell() does, with what the program it runs writes
// (standard output and standard error) shown in this console as it comes and
// also kept in output. Returns the exit status as shell() does: 0 when the
// program ran and succeeded, 9009 when there is no such program.
int shell_output(std::string line, std::string& output);
