#pragma once

#include <string>

// Runs one command line through the command interpreter in this console and
// waits until it and everything it started in the foreground have ended.
// Returns the command's exit status; the launcher never looks at it.
int shell(std::string line);
