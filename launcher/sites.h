#pragma once

// The distribution sites the server archive and the Java archive are fetched
// from, and the check that what came is the archive published there.

#include <cstddef>
#include <string>
#include <vector>

// The sites to try in turn (scheme, host and port each, without a trailing
// slash): the blank-separated words of the environment variable
// VELLOMAR_DIST_HOST when it holds any, else of the build's setting.
std::vector<std::string> sites();

// The address of the server archive on site.
std::string archive_address(const std::string& site);

// The address on site of the Java 8 archive for this build's platform.
std::string java_address(const std::string& site);

// Tells which site is tried now, when there is more than one.
void trying(const std::vector<std::string>& list, std::size_t at);

// The settings an archive's SHA-256 comes from: the environment variable of
// each name, else the build's setting of that name.
constexpr const char* archive_pin = "VELLOMAR_ARCHIVE_SHA256";
constexpr const char* java_pin = "VELLOMAR_JAVA_SHA256";

// A SHA-256 as a setting gives it, blanks and line ends anywhere in it left
// out, in lower case: 64 hexadecimal digits, empty for none, "?" for what is
// neither.
std::string sha256_value(const std::string& text);

// The SHA-256 an archive must have, as sha256_value() reads the setting pin
// (archive_pin or java_pin); empty when any archive is taken.
std::string published_sha256(const char* pin);

// The notice for a setting pin that is not a SHA-256, naming it and file, the
// archive it checks; empty when it is one, or empty.
std::string pin_fault(const char* pin, const std::string& file);

// True when file is there and has the SHA-256 the setting pin gives (or it
// gives none). A file with other bytes is deleted with partial, the bytes an
// attempt broke off with, and the user is told why and whether it went;
// false then too.
bool verified(const std::string& file, const std::string& partial, const char* pin);
