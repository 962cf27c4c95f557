#pragma once

// The Linux stand-in for the Windows command interpreter: carries out the
// command lines the launcher composes, with cmd's meaning, in this process.
// PowerShell's lines go to the program of its own that stands in for it.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Splits a command line by cmd's rules: blanks separate words, double quotes
// group blanks into a word and are removed.
std::vector<std::string> words(std::string_view line);

// Finds a program as cmd does: a name with a separator is a path, any other is
// looked up in PATH. Empty when there is no such executable.
std::string find_program(const std::string& name);

// The PowerShell stand-in, vellomar-powershell in the folder of the running
// program. Empty when there is no such executable.
std::string powershell_program();

// Where run() puts what a program writes, and how far it lets the program
// go: at most bytes of it are kept in *text, and shown as they come; the
// program, with all it started, is ended once it has run for seconds.
struct output_to {
    std::string* text;
    int seconds;
    std::size_t bytes;
};

// Where run() keeps what a program writes to its standard error, which is
// still shown on ours as it comes: the last bytes of it, in *text.
struct errors_to {
    std::string* text;
    std::size_t bytes;
};

// The status run() gives a program it ended for running too long (the
// number Windows gives for a wait that ran out of time).
constexpr int ran_out = 258;

// Runs a program with its arguments in the foreground of this terminal and
// waits for it, as system() does: SIGINT and SIGQUIT reach the program, not us.
// Returns its exit status (128 + signal when a signal ended it). A program
// ended by SIGINT (Ctrl+C) ends this one too, as shells take it, unless
// SIGINT is ignored here: the terminal is put back and SIGINT raised.
// With output, the program runs instead in a process group of its own, its
// input empty and its standard output and standard error on a pipe (see
// output_to); once it has ended, whatever it started is ended too and nothing
// more is awaited; when it runs out of time, it is ended with its group and
// ran_out returned. A signal that would end this program (Ctrl+C included)
// ends the group, then this program by that signal, the terminal put back.
// With errors (and no output), the program runs as without them, its input
// and output ours, but its standard error is a pipe copied to ours (see
// errors_to); what it left in the pipe is taken once it has ended.
int run(const std::vector<std::string>& argv, const output_to* output = nullptr,
        const errors_to* errors = nullptr);

// A command line's command name, made small, and the rest of the line, which
// starts after the one blank that ends the name; blanks before it are skipped.
std::pair<std::string, std::string_view> command_of(std::string_view line);

// The line as cmd /c takes it: one that begins with a double quote loses
// that quote and the last one, unless it holds just those two, with a blank
// and none of &<>()@^| between them, around the name of a program.
std::string c_line(std::string_view line);

// Carries out one command line, taken as cmd /c takes it (c_line), and
// returns its exit status. Messages go to
// standard error, in Chinese, as cmd words them. With output, a program the
// line runs writes as run() describes, and the message for a program that
// cannot be run (9009 when it is not found) is appended to *output->text as
// well; built-in commands write as without it. With errors, a program the
// line runs has its standard error kept as run() describes.
int cmd(std::string_view line, const output_to* output = nullptr,
        const errors_to* errors = nullptr);
