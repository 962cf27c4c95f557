#pragma once

// The start folder's paths on cmd's command lines, and the start folders a
// platform cannot work in.

#include <string>

// path as one word of a command line: in double quotes when it holds a blank
// or another of the characters cmd reads as more than part of a name (those
// its own name completion quotes for).
std::string word(const std::string& path);

// Why the launcher cannot work in the start folder beyond the characters of
// its path (unusable_character() in util/text.h): a path too long for the
// paths the launcher makes below it, or the Windows folder. Empty when it
// can; always on Linux.
std::string start_refusal(const std::string& folder);
