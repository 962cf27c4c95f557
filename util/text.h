#pragma once

#include <string>

// A copy of text without its trailing blanks and line feeds; leading and inner
// characters stay, tabs and carriage returns included.
std::string del_space(std::string text);

// True when prefix is a prefix of text (an empty prefix always is).
bool equal_(std::string text, std::string prefix);

// The decimal rendering of number: "0" for zero, a minus sign before the
// digits of a negative number.
std::string int_string(int number);
