#pragma once

#include <cstddef>
#include <string>

// Runs one command line through the command interpreter in this console and
// waits until it and everything it started in the foreground have ended.
// Returns the command's exit status.
int shell(std::string line);

// How much of what a program writes to standard error shell_errors() keeps:
// the last bytes of it.
constexpr std::size_t error_bytes = 64 * 1024;

// Runs one command line as shell() does, the program's input and output this
// console, with what it writes to standard error still shown in this console
// as it comes, and the last error_bytes of that kept in errors. Returns the
// exit status as shell() does.
int shell_errors(std::string line, std::string& errors);

// How long shell_output() lets a program run, in seconds: a Java started cold
// on a slow machine takes a few to say its version.
constexpr int output_seconds = 20;

// How much of what a program writes shell_output() keeps and shows, in bytes.
constexpr std::size_t output_bytes = 64 * 1024;

// The status shell_output() returns for a program it ended for running too
// long (the number Windows gives for a wait that ran out of time).
constexpr int timed_out = 258;

// Runs one command line as shell() does, with what the program it runs writes
// (standard output and standard error) shown in this console as it comes and
// also kept in output, up to output_bytes of it. Waits for that program only:
// once it has ended, whatever it started is ended too. A program still
// running after seconds is ended, with all it started, and output and the
// console get overran()'s words. Returns the exit status as shell() does: 0
// when the program ran and succeeded, 9009 when there is no such program,
// timed_out when it ran too long.
int shell_output(std::string line, std::string& output, int seconds = output_seconds);

// What shell_output() says of a program it ended after seconds, line end included.
std::string overran(int seconds);

// line as cmd /c must be handed it to run it as written: cmd /c takes off the
// first and the last double quote of a line that begins with one whenever a
// character such as ( or & stands between them, so such a line gets one more
// pair around it, which is all cmd takes off.
std::string as_written(std::string line);
