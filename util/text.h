#pragma once

#include <string>
#include <string_view>

// A copy of text without its trailing blanks and line feeds; leading and inner
// characters stay, tabs and carriage returns included.
std::string del_space(std::string text);

// True when prefix is a prefix of text (an empty prefix always is).
bool equal_(std::string text, std::string prefix);

// The decimal rendering of number: "0" for zero, a minus sign before the
// digits of a negative number.
std::string int_string(int number);

// text as it may be shown on a terminal: each control character (below 0x20,
// and 0x7F) written out as \xHH, so that what a file holds is shown and
// never acted on; every other byte as it is.
std::string printable(std::string_view text);

// The name, in Chinese, of the first character of path that the command lines
// composed for cmd cannot carry, empty when there is none: everywhere a
// control character, which splits or ends a line; on Windows "%", which cmd
// expands even between double quotes; on Linux a backslash, which reads as a
// separator, and a double quote, which ends a quoted word. With command, path
// is a command as typed, whose quotes and backslashes are its own.
std::string unusable_character(std::string_view path, bool command = false);
