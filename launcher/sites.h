#pragma once

// The distribution sites the server archive is fetched from, and the check
// that what came is the archive published there.

#include <cstddef>
#include <string>
#include <vector>

// The sites to try in turn (scheme, host and port each, without a trailing
// slash): the blank-separated words of the environment variable
// VELLOMAR_DIST_HOST when it holds any, else of the build's setting.
std::vector<std::string> sites();

// The address of the server archive on site.
std::string archive_address(const std::string& site);

// Tells which site is tried now, when there is more than one.
void trying(const std::vector<std::string>& list, std::size_t at);

// A SHA-256 as a setting gives it, blanks and line ends anywhere in it left
// out, in lower case: 64 hexadecimal digits, empty for none, "?" for what is
// neither.
std::string sha256_value(const std::string& text);

// The SHA-256 the archive must have, as sha256_value() reads the environment
// variable VELLOMAR_ARCHIVE_SHA256 when set, else the build's setting; empty
// when any archive is taken.
std::string published_sha256();

// The notice for a VELLOMAR_ARCHIVE_SHA256 that is not a SHA-256, naming the
// setting; empty when it is one, or empty.
std::string pin_fault();

// True when file is there and is the published archive (or none is
// published). A file with other bytes is deleted with partial, the bytes an
// attempt broke off with, and the user is told why and whether it went;
// false then too.
bool verified(const std::string& file, const std::string& partial);
